#pragma once
// Double-precision reference of what the angular forces differentiate: the energy of one radial function's
// channels as a function of its angular sums, and one pair's share of the sums as a function of the pair
// displacement. Derivatives are taken by central differences in double.
#include <array>
#include <cmath>
#include <vector>

#include "support/angular_reference.hpp"
#include "support/finite_difference.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::test_support {

constexpr double kReferenceStep = 1e-6;  // central differences of double-precision references

// The channels of an angular descriptor: degrees 1..l_max, then the enabled couplings (q222, q1111, q112, q123,
// q233, q134).
struct AngularChannels {
  int l_max;
  std::array<int, 6> coupling;
};

// E(S) = sum_l F_{l-1} q_l(S) + sum over enabled couplings of F_c q_c(S), fp in channel order.
inline double channel_energy(const AngularChannels& c, const std::vector<double>& s, const std::vector<double>& fp) {
  double e = 0.0;
  int k = 0;
  for (int l = 1; l <= c.l_max; ++l) {
    double q = harmonic_weight(l, 0) * s[k] * s[k];
    for (int m = 1; m <= l; ++m) {
      const double cosine = s[k + 2 * m - 1];
      const double sine = s[k + 2 * m];
      q += 2.0 * harmonic_weight(l, m) * (cosine * cosine + sine * sine);
    }
    e += fp[l - 1] * q;
    k += 2 * l + 1;
  }
  const std::array<double, 6> couplings = coupling_invariants(s);
  int channel = c.l_max;
  for (int f = 0; f < 6; ++f) {
    if (c.coupling[f] != 0) e += fp[channel++] * couplings[f];
  }
  return e;
}

// dE/dS_k for every k of the sums.
inline std::vector<double> channel_energy_gradient(const AngularChannels& c, const std::vector<double>& s,
                                                   const std::vector<double>& fp) {
  return gradient(s, [&](const std::vector<double>& moved) { return channel_energy(c, moved, fp); }, kReferenceStep);
}

// sum_n sum_k pull[n][k] g_n(r) Y_k(d / r), with g_n(r) = sum_b coefficients[n][b] f_b(r) (cutoff rc).
inline double pair_angular_energy(int l_max, const std::vector<std::vector<double>>& pull,
                                  const std::vector<std::vector<double>>& coefficients, double rc, const Vec3& d) {
  const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
  const std::vector<double> y = real_harmonics(l_max, {d[0] / r, d[1] / r, d[2] / r});
  const std::vector<double> f = basis_reference(r, rc, static_cast<int>(coefficients.front().size()) - 1);
  double e = 0.0;
  for (std::size_t n = 0; n < pull.size(); ++n) {
    double g = 0.0;
    for (std::size_t b = 0; b < f.size(); ++b) g += coefficients[n][b] * f[b];
    for (std::size_t k = 0; k < y.size(); ++k) e += pull[n][k] * g * y[k];
  }
  return e;
}

// The gradient of pair_angular_energy with respect to d.
inline Vec3 pair_angular_gradient(int l_max, const std::vector<std::vector<double>>& pull,
                                  const std::vector<std::vector<double>>& coefficients, double rc, const Vec3& d) {
  return gradient(
      d, [&](const Vec3& moved) { return pair_angular_energy(l_max, pull, coefficients, rc, moved); }, kReferenceStep);
}

}  // namespace quarvel::test_support
