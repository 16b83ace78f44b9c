#pragma once
// Double-precision reference of the spin descriptor rows and spin densities of one atom, written from their
// definitions: weighted sums over the counted neighbors, then the invariants. The chirality is the full
// pseudo-scalar contraction of the quadrupole with the traceless rank-3 and rank-4 moments, not the kernels'
// 50-term table.
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

#include "support/descriptor_structures.hpp"
#include "support/model_file_writer.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::test_support {

using Spin = std::array<double, 3>;

// Densities of one channel, components in the device order.
struct SpinChannelReference {
  std::array<double, 3> rho0{};
  std::array<double, 9> raw1{};  // rhat_a S_j,b at 3a + b
  std::array<double, 15> angular2{};
  std::array<double, 21> angular3{};
  std::array<double, 27> angular4{};
  std::array<double, 6> geom{};  // xx, xy, xz, yy, yz, zz
  std::array<double, 3> rho0_dot{};
  std::array<double, 9> raw1_dot{};
  std::array<double, 3> polar{};
  std::array<double, 7> octupoles{};
  std::array<double, 9> hexadecapoles{};
  double chirality = 0.0;
  // Full weighted moments for the chirality.
  double cubic[3][3][3] = {};
  double quartic[3][3][3][3] = {};
};

struct SpinAtomReference {
  std::vector<double> rows;  // spin_descriptor_dim values, row 0 first
  std::vector<SpinChannelReference> channels;
  int counted = 0;  // neighbors that contributed
};

struct SpinModelSettings {
  int channels;
  int basis_size;
  int l_max;
  bool chiral;
  double cutoff;
  int type_count;
  std::vector<int> dof_active;
  std::vector<int> env_active;
  std::vector<std::vector<float>> spin_by_pair;  // [centre x T + neighbor][channel x (B+1) + k]
};

inline double dot(const Spin& a, const Spin& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// Orthonormal real spherical harmonics of orders 2 to 4 from their exact factors (unit direction).
inline std::vector<double> spin_harmonics_reference(int order, const Vec3& u) {
  const double x = u[0], y = u[1], z = u[2];
  const double pi = kPi;
  if (order == 2) {
    const double a = std::sqrt(15.0 / (4.0 * pi)), b = std::sqrt(5.0 / (16.0 * pi)), c = std::sqrt(15.0 / (16.0 * pi));
    return {a * x * y, a * y * z, b * (2 * z * z - x * x - y * y), a * x * z, c * (x * x - y * y)};
  }
  if (order == 3) {
    const double a = std::sqrt(35.0 / (32.0 * pi)), b = std::sqrt(105.0 / (4.0 * pi)),
                 c = std::sqrt(21.0 / (32.0 * pi)), d = std::sqrt(7.0 / (16.0 * pi)),
                 e = std::sqrt(105.0 / (16.0 * pi));
    return {a * y * (3 * x * x - y * y),         b * x * y * z,
            c * y * (4 * z * z - x * x - y * y), d * z * (2 * z * z - 3 * x * x - 3 * y * y),
            c * x * (4 * z * z - x * x - y * y), e * z * (x * x - y * y),
            a * x * (x * x - 3 * y * y)};
  }
  const double a = 0.75 * std::sqrt(35.0 / pi), b = 0.75 * std::sqrt(35.0 / (2.0 * pi)), c = 0.75 * std::sqrt(5.0 / pi),
               d = 0.75 * std::sqrt(5.0 / (2.0 * pi)), e = 3.0 / 16.0 * std::sqrt(1.0 / pi),
               f = 3.0 / 8.0 * std::sqrt(5.0 / pi), g = 3.0 / 16.0 * std::sqrt(35.0 / pi);
  const double x2 = x * x, y2 = y * y, z2 = z * z;
  return {a * x * y * (x2 - y2),        b * y * z * (3 * x2 - y2),        c * x * y * (7 * z2 - 1),
          d * y * z * (7 * z2 - 3),     e * (35 * z2 * z2 - 30 * z2 + 3), d * x * z * (7 * z2 - 3),
          f * (x2 - y2) * (7 * z2 - 1), b * x * z * (x2 - 3 * y2),        g * (x2 * x2 - 6 * x2 * y2 + y2 * y2)};
}

inline int levi_civita(int a, int b, int c) {
  if (a == b || b == c || a == c) return 0;
  return ((b - a + 3) % 3 == 1) ? 1 : -1;
}

// eps_abc G_ad Ot_bef Ht_cdef with Ot, Ht the traceless parts of the weighted rank-3 and rank-4 moments.
inline double chirality_reference(const SpinChannelReference& ch) {
  double v[3] = {};
  for (int a = 0; a < 3; ++a) {
    for (int e = 0; e < 3; ++e) v[a] += ch.cubic[a][e][e];
  }
  double b2[3][3] = {};
  double b0 = 0.0;
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) {
      for (int e = 0; e < 3; ++e) b2[a][b] += ch.quartic[a][b][e][e];
    }
    b0 += b2[a][a];
  }
  const auto delta = [](int p, int q) { return p == q ? 1.0 : 0.0; };
  const auto ot = [&](int a, int b, int c) {
    return ch.cubic[a][b][c] - (delta(a, b) * v[c] + delta(a, c) * v[b] + delta(b, c) * v[a]) / 5.0;
  };
  const auto ht = [&](int a, int b, int c, int d) {
    const double pairs = delta(a, b) * b2[c][d] + delta(a, c) * b2[b][d] + delta(a, d) * b2[b][c] +
                         delta(b, c) * b2[a][d] + delta(b, d) * b2[a][c] + delta(c, d) * b2[a][b];
    const double full = delta(a, b) * delta(c, d) + delta(a, c) * delta(b, d) + delta(a, d) * delta(b, c);
    return ch.quartic[a][b][c][d] - pairs / 7.0 + full * b0 / 35.0;
  };
  const double g[3][3] = {
      {ch.geom[0], ch.geom[1], ch.geom[2]}, {ch.geom[1], ch.geom[3], ch.geom[4]}, {ch.geom[2], ch.geom[4], ch.geom[5]}};
  double chi = 0.0;
  for (int a = 0; a < 3; ++a)
    for (int b = 0; b < 3; ++b)
      for (int c = 0; c < 3; ++c) {
        const int eps = levi_civita(a, b, c);
        if (eps == 0) continue;
        for (int d = 0; d < 3; ++d)
          for (int e = 0; e < 3; ++e)
            for (int f = 0; f < 3; ++f) chi += eps * g[a][d] * ot(b, e, f) * ht(c, d, e, f);
      }
  return chi;
}

// The spin rows and densities of atom i of structure s with neighbor candidates `candidates` and spins.
inline SpinAtomReference spin_atom_reference(const SpinModelSettings& m, const Structure& s,
                                             const std::vector<Spin>& spins, const std::vector<int>& candidates,
                                             int i) {
  const int c_count = m.channels;
  const int k_count = c_count < 2 ? c_count : 2;
  const int l = m.l_max;
  SpinAtomReference out;
  out.channels.resize(static_cast<std::size_t>(c_count));
  const Spin& si = spins[i];
  const int ti = s.types[i];
  const bool has_spin = m.dof_active[ti] != 0;
  std::vector<std::array<double, 4>> pair_sums(static_cast<std::size_t>(c_count), std::array<double, 4>{});
  if (has_spin) {
    for (int j : candidates) {
      const int tj = s.types[j];
      if (m.env_active[tj] == 0) continue;
      const Vec3 d = s.separation(i, j);
      const double r = norm(d);
      if (r <= 1e-12 || r >= m.cutoff) continue;
      ++out.counted;
      const Vec3 u{d[0] / r, d[1] / r, d[2] / r};
      const Spin& sj = spins[j];
      const std::vector<double> phi = basis_reference(r, m.cutoff, m.basis_size);
      const double sisj = dot(si, sj);
      const double us_i = u[0] * si[0] + u[1] * si[1] + u[2] * si[2];
      const double us_j = u[0] * sj[0] + u[1] * sj[1] + u[2] * sj[2];
      for (int n = 0; n < c_count; ++n) {
        double g = 0.0;
        for (int k = 0; k <= m.basis_size; ++k) {
          g += m.spin_by_pair[static_cast<std::size_t>(ti * m.type_count + tj)]
                             [static_cast<std::size_t>(n * (m.basis_size + 1) + k)] *
               phi[k];
        }
        SpinChannelReference& ch = out.channels[n];
        pair_sums[n][0] += g * sisj;
        pair_sums[n][1] += g * sisj * sisj;
        pair_sums[n][2] += g * dot(sj, sj);
        pair_sums[n][3] += g * us_i * us_j;
        for (int a = 0; a < 3; ++a) {
          ch.rho0[a] += g * sj[a];
          ch.rho0_dot[a] += g * sisj * sj[a];
          ch.polar[a] += g * u[a];
          for (int b = 0; b < 3; ++b) {
            ch.raw1[3 * a + b] += g * u[a] * sj[b];
            ch.raw1_dot[3 * a + b] += g * u[a] * sj[b] * sisj;
            for (int c = 0; c < 3; ++c) {
              ch.cubic[a][b][c] += g * u[a] * u[b] * u[c];
              for (int e = 0; e < 3; ++e) ch.quartic[a][b][c][e] += g * u[a] * u[b] * u[c] * u[e];
            }
          }
        }
        const double third = 1.0 / 3.0;
        const double q[6] = {u[0] * u[0] - third, u[0] * u[1], u[0] * u[2],
                             u[1] * u[1] - third, u[1] * u[2], u[2] * u[2] - third};
        for (int k = 0; k < 6; ++k) ch.geom[k] += g * q[k];
        const std::array<std::pair<int, double*>, 3> harmonics = {
            std::pair<int, double*>{2, ch.angular2.data()}, {3, ch.angular3.data()}, {4, ch.angular4.data()}};
        for (const auto& [order, target] : harmonics) {
          const std::vector<double> y = spin_harmonics_reference(order, u);
          for (std::size_t mm = 0; mm < y.size(); ++mm) {
            for (int b = 0; b < 3; ++b) target[3 * mm + b] += g * y[mm] * sj[b];
          }
        }
        const double x = u[0], y = u[1], z = u[2];
        const double o[7] = {y * (y * y - 3 * z * z), z * (z * z - 3 * y * y), y * (x * x - z * z),
                             z * (x * x - y * y),     x * (y * y - z * z),     x * y * z,
                             x * (3 * z * z - x * x)};
        for (int k = 0; k < 7; ++k) ch.octupoles[k] += g * o[k];
        const double x2 = x * x, y2 = y * y, z2 = z * z;
        const double h[9] = {x * z * (6 * y2 - x2 - z2),
                             x * y * (x2 + y2 - 6 * z2),
                             x * z * (4 * x2 - 3 * y2 - 3 * z2),
                             x * y * (3 * y2 + 3 * z2 - 4 * x2),
                             y * z * (12 * x2 - 2 * y2 - 2 * z2),
                             2 * (y2 - z2) * (y2 + z2 - 6 * x2),
                             y * z * (4 * y2 - 3 * x2 - 3 * z2),
                             (y2 - x2) * (x2 + y2 - 6 * z2),
                             4 * x2 * x2 + y2 * y2 + 2 * z2 * z2 - 9 * x2 * y2 - 15 * x2 * z2 + 3 * y2 * z2};
        for (int k = 0; k < 9; ++k) ch.hexadecapoles[k] += g * h[k] / 7.0;
      }
    }
  }
  // Rows in the order: onsite, four pair sums, then per-channel blocks of the invariants present for l.
  const double onsite = has_spin ? dot(si, si) : 0.0;
  out.rows = {onsite, onsite * onsite};
  for (int q = 0; q < 4; ++q) {
    for (int n = 0; n < c_count; ++n) out.rows.push_back(pair_sums[n][q]);
  }
  const auto block = [&](auto value_of) {
    for (int n = 0; n < c_count; ++n) out.rows.push_back(value_of(out.channels[n]));
  };
  const auto squares = [](const auto& v) {
    double sum = 0.0;
    for (double e : v) sum += e * e;
    return sum;
  };
  block([&](const SpinChannelReference& ch) { return squares(ch.rho0); });
  if (l >= 1) {
    const auto trace = [](const SpinChannelReference& ch) { return ch.raw1[0] + ch.raw1[4] + ch.raw1[8]; };
    block([&](const SpinChannelReference& ch) { return trace(ch) * trace(ch); });
    block([&](const SpinChannelReference& ch) {
      const double a0 = ch.raw1[5] - ch.raw1[7], a1 = ch.raw1[6] - ch.raw1[2], a2 = ch.raw1[1] - ch.raw1[3];
      return a0 * a0 + a1 * a1 + a2 * a2;
    });
    block([&](const SpinChannelReference& ch) {
      double sum = 0.0;
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) {
          const double e = 0.5 * (ch.raw1[3 * a + b] + ch.raw1[3 * b + a]) - (a == b ? trace(ch) / 3.0 : 0.0);
          sum += e * e;
        }
      return sum;
    });
  }
  if (l >= 2) block([&](const SpinChannelReference& ch) { return squares(ch.angular2); });
  if (l >= 3) block([&](const SpinChannelReference& ch) { return squares(ch.angular3); });
  if (l >= 4) block([&](const SpinChannelReference& ch) { return squares(ch.angular4); });
  block([&](const SpinChannelReference& ch) {
    const auto& g = ch.geom;
    return g[0] * si[0] * si[0] + g[3] * si[1] * si[1] + g[5] * si[2] * si[2] +
           2 * (g[1] * si[0] * si[1] + g[2] * si[0] * si[2] + g[4] * si[1] * si[2]);
  });
  block([&](const SpinChannelReference& ch) {
    return ch.rho0[0] * ch.rho0_dot[0] + ch.rho0[1] * ch.rho0_dot[1] + ch.rho0[2] * ch.rho0_dot[2];
  });
  if (l >= 1) {
    block([&](const SpinChannelReference& ch) {
      double sum = 0.0;
      for (int k = 0; k < 9; ++k) sum += ch.raw1[k] * ch.raw1_dot[k];
      return sum;
    });
  }
  if (!m.chiral) return out;
  for (int n = 0; n < k_count; ++n) {
    SpinChannelReference& ch = out.channels[n];
    ch.chirality = chirality_reference(ch);
    const double axial[3] = {ch.raw1[5] - ch.raw1[7], ch.raw1[6] - ch.raw1[2], ch.raw1[1] - ch.raw1[3]};
    out.rows.push_back(-ch.chirality * (axial[0] * si[0] + axial[1] * si[1] + axial[2] * si[2]));
  }
  block([&](const SpinChannelReference& ch) {
    const double tr = ch.raw1[0] + ch.raw1[4] + ch.raw1[8];
    double sum = 0.0;
    for (int b = 0; b < 3; ++b) {
      double rts = 0.0;
      for (int a = 0; a < 3; ++a) rts += ch.raw1[3 * a + b] * si[a];
      sum += ch.polar[b] * (tr * si[b] - rts);
    }
    return sum;
  });
  block([&](const SpinChannelReference& ch) {
    // M = sym(Y), Y_ab = eps_acd G_de T_ecb, with T the full weighted rank-3 moment.
    const double g[3][3] = {{ch.geom[0], ch.geom[1], ch.geom[2]},
                            {ch.geom[1], ch.geom[3], ch.geom[4]},
                            {ch.geom[2], ch.geom[4], ch.geom[5]}};
    double y[3][3] = {};
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        for (int c = 0; c < 3; ++c)
          for (int d = 0; d < 3; ++d)
            for (int e = 0; e < 3; ++e) y[a][b] += levi_civita(a, c, d) * g[d][e] * ch.cubic[e][c][b];
    double sum = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double ra[3] = {ch.raw1[3 * a], ch.raw1[3 * a + 1], ch.raw1[3 * a + 2]};
      const double cross[3] = {si[1] * ra[2] - si[2] * ra[1], si[2] * ra[0] - si[0] * ra[2],
                               si[0] * ra[1] - si[1] * ra[0]};
      for (int b = 0; b < 3; ++b) sum += 0.5 * (y[a][b] + y[b][a]) * cross[b];
    }
    return sum;
  });
  return out;
}

}  // namespace quarvel::test_support
