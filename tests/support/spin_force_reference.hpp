#pragma once
// Double-precision host reference of a spin model's core spin rows (onsite rows, pair sums, density invariants)
// and of the spin densities behind them, straight from their formulas, for checking the spin force kernels
// against finite differences of sum over atoms and rows of fp times the row.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/descriptor_structures.hpp"

namespace quarvel::test_support {

// What the spin rows of a model depend on besides the atoms.
struct SpinReferenceModel {
  int channels = 1;     // C
  int basis_size = 3;   // B
  int l_max = 0;        // L
  bool chiral = false;
  int num_types = 1;    // T
  double cutoff = 5.5;  // Angstrom
  std::vector<std::int32_t> dof;  // per type
  std::vector<std::int32_t> env;  // per type
  std::vector<std::vector<float>> spin_by_pair;  // [ti T + tj][n (B + 1) + k]
};

// Atoms with spins and fixed neighbour lists.
struct SpinSystem {
  Structure structure;
  std::vector<Vec3> spins;
  NeighborLists lists;
};

inline int spin_core_rows(int c, int l) { return (l == 0 ? 7 : l + 10) * c + 2; }
inline int reference_geom_row(int c, int l) { return (l == 0 ? 5 : l + 7) * c + 2; }
inline int reference_angular_rows(int l) { return 3 * (2 * l + 1); }

// The spin densities of one atom, per channel.
struct SpinDensities {
  std::vector<std::array<double, 3>> rho0, rho0_dot;
  std::vector<std::array<double, 9>> raw1, raw1_dot;
  std::vector<std::array<double, 6>> geom;
  std::array<std::vector<std::vector<double>>, 5> angular;  // [order][channel][3m + b], orders 2..4
  std::vector<std::array<double, 4>> pair_sums;            // [channel][q]
  std::vector<std::array<double, 3>> polar;                // chiral models
  std::vector<std::array<double, 7>> octupoles;
  std::vector<std::array<double, 9>> hexadecapoles;        // first min(C, 2) channels
};

// The 50 terms Q[q] O[o] H[h] coeff of the chirality (q, o, h, coeff).
struct ChiralTerm {
  int q, o, h;
  double coeff;
};
inline const std::vector<ChiralTerm>& chiral_terms() {
  static const std::vector<ChiralTerm> terms = {
      {0, 0, 0, 1},  {0, 2, 0, -2}, {0, 2, 2, 1},  {0, 3, 1, 2},    {0, 4, 4, 1},  {0, 4, 6, -1},   {0, 5, 7, 2},
      {0, 6, 4, 0.5}, {1, 0, 1, 1}, {1, 0, 3, 1},  {1, 1, 0, 1},    {1, 1, 2, 1},  {1, 2, 1, -4},   {1, 2, 3, -3},
      {1, 3, 0, -4}, {1, 3, 2, -3}, {1, 4, 5, -0.5}, {1, 4, 7, -2}, {1, 4, 8, -1}, {1, 5, 4, -1},   {1, 5, 6, -4},
      {1, 6, 5, -0.5}, {2, 0, 5, 1}, {2, 0, 7, -2}, {2, 1, 4, 1},   {2, 1, 6, 2},  {2, 2, 5, -1},   {2, 2, 8, -2},
      {2, 3, 4, 1},  {2, 4, 1, -2}, {2, 4, 3, 6},  {2, 5, 0, -4},   {2, 5, 2, -8}, {2, 6, 3, 2},    {3, 0, 6, 1},
      {3, 1, 7, 1},  {3, 2, 4, -0.5}, {3, 3, 8, 1}, {3, 4, 0, 1},   {3, 5, 1, -2}, {3, 5, 3, -4},   {3, 6, 2, 1},
      {4, 1, 1, 1},  {4, 2, 0, 2},  {4, 3, 1, -2}, {4, 3, 3, 1},    {4, 4, 6, 1},  {4, 5, 5, 1},    {4, 5, 7, -2},
      {4, 6, 4, -0.5}};
  return terms;
}

inline int levi_civita_of(int a, int b, int c) { return (a - b) * (b - c) * (c - a) / 2; }

inline std::vector<double> reference_harmonics(int order, const Vec3& u) {
  const double x = u[0], y = u[1], z = u[2];
  const double x2 = x * x, y2 = y * y, z2 = z * z;
  const double pi = std::acos(-1.0);
  if (order == 2) {
    const double a = std::sqrt(15.0 / (4 * pi)), b = std::sqrt(5.0 / (16 * pi)), c = std::sqrt(15.0 / (16 * pi));
    return {a * x * y, a * y * z, b * (2 * z2 - x2 - y2), a * x * z, c * (x2 - y2)};
  }
  if (order == 3) {
    const double a = std::sqrt(35.0 / (32 * pi)), b = std::sqrt(105.0 / (4 * pi)), c = std::sqrt(21.0 / (32 * pi)),
                 d = std::sqrt(7.0 / (16 * pi)), e = std::sqrt(105.0 / (16 * pi));
    return {a * y * (3 * x2 - y2), b * x * y * z,         c * y * (4 * z2 - x2 - y2), d * z * (2 * z2 - 3 * x2 - 3 * y2),
            c * x * (4 * z2 - x2 - y2), e * z * (x2 - y2), a * x * (x2 - 3 * y2)};
  }
  const double a = 0.75 * std::sqrt(35.0 / pi), b = 0.75 * std::sqrt(35.0 / (2 * pi)), c = 0.75 * std::sqrt(5.0 / pi),
               d = 0.75 * std::sqrt(5.0 / (2 * pi)), e = 3.0 / 16.0 * std::sqrt(1.0 / pi),
               f = 3.0 / 8.0 * std::sqrt(5.0 / pi), g = 3.0 / 16.0 * std::sqrt(35.0 / pi);
  return {a * x * y * (x2 - y2),         b * y * z * (3 * x2 - y2),        c * x * y * (7 * z2 - 1),
          d * y * z * (7 * z2 - 3),      e * (35 * z2 * z2 - 30 * z2 + 3), d * x * z * (7 * z2 - 3),
          f * (x2 - y2) * (7 * z2 - 1), b * x * z * (x2 - 3 * y2),        g * (x2 * x2 - 6 * x2 * y2 + y2 * y2)};
}

// Edge weights g_n(r) of channels n for the pair index.
inline std::vector<double> reference_edge_weights(const SpinReferenceModel& m, int pair, double r) {
  const double pi = std::acos(-1.0);
  const double u = r / m.cutoff;
  const double fc = 0.5 * std::cos(pi * u) + 0.5;
  const double xi = 2.0 * (u - 1.0) * (u - 1.0) - 1.0;
  std::vector<double> phi(static_cast<std::size_t>(m.basis_size) + 1);
  double t_prev = 1.0, t_cur = xi;
  phi[0] = fc;
  for (int k = 1; k <= m.basis_size; ++k) {
    phi[k] = 0.5 * (t_cur + 1.0) * fc;
    const double next = 2.0 * xi * t_cur - t_prev;
    t_prev = t_cur;
    t_cur = next;
  }
  std::vector<double> g(static_cast<std::size_t>(m.channels), 0.0);
  for (int n = 0; n < m.channels; ++n) {
    for (int k = 0; k <= m.basis_size; ++k) {
      g[n] += static_cast<double>(m.spin_by_pair[pair][n * (m.basis_size + 1) + k]) * phi[k];
    }
  }
  return g;
}

inline SpinDensities reference_densities(const SpinReferenceModel& m, const SpinSystem& s, int i) {
  const int c = m.channels;
  SpinDensities d;
  d.rho0.assign(c, {});
  d.rho0_dot.assign(c, {});
  d.raw1.assign(c, {});
  d.raw1_dot.assign(c, {});
  d.geom.assign(c, {});
  d.pair_sums.assign(c, {});
  d.polar.assign(c, {});
  d.octupoles.assign(c, {});
  d.hexadecapoles.assign(std::min(c, 2), {});
  for (int l = 2; l <= 4; ++l) d.angular[l].assign(c, std::vector<double>(reference_angular_rows(l), 0.0));
  const int ti = s.structure.types[i];
  if (m.dof[ti] == 0) return d;
  const Vec3& si = s.spins[i];
  for (const int j : s.lists.radial[i]) {
    const int tj = s.structure.types[j];
    if (m.env[tj] == 0) continue;
    const Vec3 dv = s.structure.separation(i, j);
    const double r = norm(dv);
    if (r >= m.cutoff || r <= 1e-12) continue;
    const Vec3 u{dv[0] / r, dv[1] / r, dv[2] / r};
    const Vec3& sj = s.spins[j];
    const double dot = si[0] * sj[0] + si[1] * sj[1] + si[2] * sj[2];
    const double s2 = sj[0] * sj[0] + sj[1] * sj[1] + sj[2] * sj[2];
    const double ui = u[0] * si[0] + u[1] * si[1] + u[2] * si[2];
    const double uj = u[0] * sj[0] + u[1] * sj[1] + u[2] * sj[2];
    const double t = 1.0 / 3.0;  // |u|^2 / 3 for a unit vector
    const std::array<double, 6> q{u[0] * u[0] - t, u[0] * u[1], u[0] * u[2], u[1] * u[1] - t, u[1] * u[2],
                                  u[2] * u[2] - t};
    const std::vector<double> g = reference_edge_weights(m, ti * m.num_types + tj, r);
    for (int n = 0; n < c; ++n) {
      d.pair_sums[n][0] += g[n] * dot;
      d.pair_sums[n][1] += g[n] * dot * dot;
      d.pair_sums[n][2] += g[n] * s2;
      d.pair_sums[n][3] += g[n] * ui * uj;
      for (int a = 0; a < 3; ++a) {
        d.rho0[n][a] += g[n] * sj[a];
        d.rho0_dot[n][a] += g[n] * dot * sj[a];
        for (int b = 0; b < 3; ++b) {
          d.raw1[n][3 * a + b] += g[n] * u[a] * sj[b];
          d.raw1_dot[n][3 * a + b] += g[n] * u[a] * sj[b] * dot;
        }
      }
      for (int k = 0; k < 6; ++k) d.geom[n][k] += g[n] * q[k];
      if (m.chiral) {
        const double x = u[0], y = u[1], z = u[2];
        const std::array<double, 7> o{y * (y * y - 3 * z * z), z * (z * z - 3 * y * y), y * (x * x - z * z),
                                      z * (x * x - y * y),     x * (y * y - z * z),     x * y * z,
                                      x * (3 * z * z - x * x)};
        const std::array<double, 9> h{x * z * (6 * y * y - x * x - z * z),
                                      x * y * (x * x + y * y - 6 * z * z),
                                      x * z * (4 * x * x - 3 * y * y - 3 * z * z),
                                      x * y * (3 * y * y + 3 * z * z - 4 * x * x),
                                      y * z * (12 * x * x - 2 * y * y - 2 * z * z),
                                      2 * (y * y - z * z) * (y * y + z * z - 6 * x * x),
                                      y * z * (4 * y * y - 3 * x * x - 3 * z * z),
                                      (y * y - x * x) * (x * x + y * y - 6 * z * z),
                                      4 * x * x * x * x + y * y * y * y + 2 * z * z * z * z - 9 * x * x * y * y -
                                          15 * x * x * z * z + 3 * y * y * z * z};
        for (int a = 0; a < 3; ++a) d.polar[n][a] += g[n] * u[a];
        for (int k = 0; k < 7; ++k) d.octupoles[n][k] += g[n] * o[k];
        if (n < 2) {
          for (int k = 0; k < 9; ++k) d.hexadecapoles[n][k] += g[n] * h[k] / 7.0;
        }
      }
      for (int l = 2; l <= m.l_max; ++l) {
        const std::vector<double> y = reference_harmonics(l, u);
        for (int mi = 0; mi < 2 * l + 1; ++mi) {
          for (int b = 0; b < 3; ++b) d.angular[l][n][3 * mi + b] += g[n] * y[mi] * sj[b];
        }
      }
    }
  }
  return d;
}

// The chirality of channel n from its moments.
inline double reference_chirality(const SpinDensities& d, int n) {
  const auto& g = d.geom[n];
  const std::array<double, 5> q{g[0] - g[5], -g[4], 0.5 * g[2], g[1], g[0] - g[3]};
  double chi = 0.0;
  for (const ChiralTerm& t : chiral_terms()) chi += t.coeff * q[t.q] * d.octupoles[n][t.o] * d.hexadecapoles[n][t.h];
  return chi;
}

// The chirality, polar and coupling rows of channel n (chirality only for n < 2), appended to rows.
inline void add_reference_chiral_rows(const SpinDensities& d, const Vec3& s, int c, int core, std::vector<double>& rows) {
  const int k_channels = std::min(c, 2);
  for (int n = 0; n < c; ++n) {
    const auto& r = d.raw1[n];
    const auto& p = d.polar[n];
    const auto& o = d.octupoles[n];
    if (n < k_channels) {
      const double axial_dot_s = (r[5] - r[7]) * s[0] + (r[6] - r[2]) * s[1] + (r[1] - r[3]) * s[2];
      rows[core + n] = -reference_chirality(d, n) * axial_dot_s;
    }
    const double tr = r[0] + r[4] + r[8];
    double polar = 0.0;
    for (int b = 0; b < 3; ++b) polar += p[b] * (tr * s[b] - (r[b] * s[0] + r[3 + b] * s[1] + r[6 + b] * s[2]));
    rows[core + k_channels + n] = polar;
    // The symmetric rank-3 moment from the polar and octupole moments, then M = sym(eps G T).
    double t[3][3][3];
    const double txxx = 0.6 * p[0] - 0.6 * o[4] - 0.4 * o[6], tyyy = 0.6 * p[1] + 0.4 * o[0] - 0.6 * o[2],
                 tzzz = 0.6 * p[2] + 0.4 * o[1] - 0.6 * o[3], txxy = 0.2 * p[1] - 0.2 * o[0] + 0.8 * o[2],
                 txxz = 0.2 * p[2] - 0.2 * o[1] + 0.8 * o[3], txyy = 0.2 * p[0] + 0.8 * o[4] + 0.2 * o[6],
                 tyyz = 0.2 * p[2] - 0.2 * o[1] - 0.2 * o[3], txzz = 0.2 * p[0] - 0.2 * o[4] + 0.2 * o[6],
                 tyzz = 0.2 * p[1] - 0.2 * o[0] - 0.2 * o[2], txyz = o[5];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) {
        for (int e = 0; e < 3; ++e) {
          const int nx = (a == 0) + (b == 0) + (e == 0), ny = (a == 1) + (b == 1) + (e == 1), nz = 3 - nx - ny;
          double v = txyz;
          if (nx == 3) v = txxx;
          else if (ny == 3) v = tyyy;
          else if (nz == 3) v = tzzz;
          else if (nx == 2) v = ny == 1 ? txxy : txxz;
          else if (ny == 2) v = nx == 1 ? txyy : tyyz;
          else if (nz == 2) v = nx == 1 ? txzz : tyzz;
          t[a][b][e] = v;
        }
      }
    }
    const auto& gg = d.geom[n];
    const double gm[3][3] = {{gg[0], gg[1], gg[2]}, {gg[1], gg[3], gg[4]}, {gg[2], gg[4], gg[5]}};
    double y[3][3] = {};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        for (int cc = 0; cc < 3; ++cc)
          for (int dd = 0; dd < 3; ++dd)
            for (int e = 0; e < 3; ++e) y[a][b] += levi_civita_of(a, cc, dd) * gm[dd][e] * t[e][cc][b];
    double coupling = 0.0;
    for (int a = 0; a < 3; ++a) {
      const Vec3 row{r[3 * a], r[3 * a + 1], r[3 * a + 2]};
      const Vec3 cross{s[1] * row[2] - s[2] * row[1], s[2] * row[0] - s[0] * row[2], s[0] * row[1] - s[1] * row[0]};
      for (int b = 0; b < 3; ++b) coupling += 0.5 * (y[a][b] + y[b][a]) * cross[b];
    }
    rows[core + k_channels + c + n] = coupling;
  }
}

// The spin rows of atom i (relative to the first spin row), with the chiral block for chiral models.
inline std::vector<double> reference_spin_rows(const SpinReferenceModel& m, const SpinSystem& s, int i) {
  const int c = m.channels;
  const int l_max = m.l_max;
  const int core = spin_core_rows(c, l_max);
  std::vector<double> rows(static_cast<std::size_t>(core + (m.chiral ? std::min(c, 2) + 2 * c : 0)), 0.0);
  const Vec3& si = s.spins[i];
  const double v = m.dof[s.structure.types[i]] != 0 ? si[0] * si[0] + si[1] * si[1] + si[2] * si[2] : 0.0;
  rows[0] = v;
  rows[1] = v * v;
  const SpinDensities d = reference_densities(m, s, i);
  const int geom_row = reference_geom_row(c, l_max);
  for (int n = 0; n < c; ++n) {
    for (int q = 0; q < 4; ++q) rows[2 + q * c + n] = d.pair_sums[n][q];
    const auto& rho = d.rho0[n];
    rows[4 * c + 2 + n] = rho[0] * rho[0] + rho[1] * rho[1] + rho[2] * rho[2];
    if (l_max >= 1) {
      const auto& r = d.raw1[n];
      const double tr = r[0] + r[4] + r[8];
      rows[5 * c + 2 + n] = tr * tr;
      rows[6 * c + 2 + n] = (r[5] - r[7]) * (r[5] - r[7]) + (r[6] - r[2]) * (r[6] - r[2]) + (r[1] - r[3]) * (r[1] - r[3]);
      double sym = 0.0;
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
          const double e = 0.5 * (r[3 * a + b] + r[3 * b + a]) - (a == b ? tr / 3.0 : 0.0);
          sym += e * e;
        }
      }
      rows[7 * c + 2 + n] = sym;
      double dot = 0.0;
      for (int k = 0; k < 9; ++k) dot += r[k] * d.raw1_dot[n][k];
      rows[geom_row + 2 * c + n] = dot;
    }
    for (int l = 2; l <= l_max; ++l) {
      double sum = 0.0;
      for (const double x : d.angular[l][n]) sum += x * x;
      rows[(l + 6) * c + 2 + n] = sum;
    }
    const auto& g = d.geom[n];
    rows[geom_row + n] = g[0] * si[0] * si[0] + g[3] * si[1] * si[1] + g[5] * si[2] * si[2] +
                         2.0 * (g[1] * si[0] * si[1] + g[2] * si[0] * si[2] + g[4] * si[1] * si[2]);
    rows[geom_row + c + n] = rho[0] * d.rho0_dot[n][0] + rho[1] * d.rho0_dot[n][1] + rho[2] * d.rho0_dot[n][2];
  }
  if (m.chiral) add_reference_chiral_rows(d, si, c, core, rows);
  return rows;
}

// sum over atoms i and spin rows r of fp[i][r] times row r of atom i.
inline double reference_spin_functional(const SpinReferenceModel& m, const SpinSystem& s,
                                        const std::vector<std::vector<double>>& fp) {
  double sum = 0.0;
  for (int i = 0; i < s.structure.size(); ++i) {
    const std::vector<double> rows = reference_spin_rows(m, s, i);
    for (std::size_t r = 0; r < rows.size(); ++r) sum += fp[i][r] * rows[r];
  }
  return sum;
}

}  // namespace quarvel::test_support
