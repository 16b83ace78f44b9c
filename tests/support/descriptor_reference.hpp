#pragma once
// Double-precision reference of an atom's descriptor vector, built from the written model's coefficient tables,
// host neighbor lists and the first-principles angular reference; each component carries the tolerance its
// single-precision evaluation earns.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "support/angular_reference.hpp"
#include "support/descriptor_structures.hpp"
#include "support/loaded_model.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::test_support {

// Single precision: float basis values, coefficients and sums of a few dozen terms, relative to the sum of
// their magnitudes.
constexpr double kRadialRelative = 1e-5;
// Float sums of harmonics and their squares, relative to (2l + 1)/(4 pi) (sum |g|)^2.
constexpr double kQlRelative = 2e-5;
// Float products of sums in the coupling invariants, relative to the largest low-degree sum to their degree.
constexpr double kCouplingRelative = 4e-6;

// The reference of one atom: each descriptor component with the tolerance its float evaluation earns, and the
// angular sums S[n][k].
struct ReferenceAtom {
  std::vector<double> value;
  std::vector<double> tolerance;
  std::vector<std::vector<double>> sums;
  std::vector<double> sums_tolerance;  // per n
};

// Largest coefficient magnitude of the unnormalised harmonics up to degree l: bounds each |Y_k|.
inline double harmonic_bound(int l) {
  double bound = 1.0;
  for (int d = 1; d <= l; ++d) {
    for (int m = 0; m <= d; ++m) {
      for (std::int64_t c : legendre_derivative(d, m).coefficients) {
        bound = std::max(bound, std::fabs(static_cast<double>(c)) * (d + 1));
      }
    }
  }
  return bound;
}

inline ReferenceAtom reference_atom(const LoadedModel& model, const Structure& s, const NeighborLists& lists, int i) {
  const cuda_backend::ModelProtocol& p = model.protocol();
  const int t = p.num_types;
  const int nr = p.n_max_radial;
  const int br = p.basis_size_radial;
  const int na = p.n_max_angular;
  const int ba = p.basis_size_angular;
  const int l_max = p.body_channels.l_max_3body;
  const int ti = s.types[i];
  ReferenceAtom ref;
  ref.value.assign(static_cast<std::size_t>(p.descriptor_dim), 0.0);
  ref.tolerance.assign(static_cast<std::size_t>(p.descriptor_dim), 0.0);
  std::vector<double> magnitude(static_cast<std::size_t>(nr) + 1, 0.0);
  for (int j : lists.radial[i]) {
    const int pair = ti * t + s.types[j];
    const double rc = model.host.radial_pair_cutoffs[pair];
    const std::vector<double> f = basis_reference(norm(s.separation(i, j)), rc, br);
    for (int n = 0; n <= nr; ++n) {
      for (int b = 0; b <= br; ++b) {
        const double term = model.written.radial_by_pair[pair][n * (br + 1) + b] * f[b];
        ref.value[n] += term;
        magnitude[n] += std::fabs(term);
      }
    }
  }
  for (int n = 0; n <= nr; ++n) ref.tolerance[n] = kRadialRelative * magnitude[n] + 1e-6;
  const int channels = p.body_channels.channel_count();
  if (channels == 0) return ref;
  const int abc = p.body_channels.abc_count();
  const double y_bound = harmonic_bound(l_max);
  const bool flags[6] = {p.body_channels.has_q_222, p.body_channels.has_q_1111, p.body_channels.has_q_112,
                         p.body_channels.has_q_123, p.body_channels.has_q_233,  p.body_channels.has_q_134};
  const int coupling_degree[6] = {3, 4, 3, 3, 3, 3};
  for (int n = 0; n <= na; ++n) {
    std::vector<double> g;
    std::vector<Vec3> u;
    double weight_sum = 0.0;
    std::vector<double> sums(static_cast<std::size_t>(abc), 0.0);
    for (int j : lists.angular[i]) {
      const int pair = ti * t + s.types[j];
      const Vec3 d = s.separation(i, j);
      const double r = norm(d);
      const std::vector<double> f = basis_reference(r, model.host.angular_pair_cutoffs[pair], ba);
      double gn = 0.0;
      for (int b = 0; b <= ba; ++b) gn += f[b] * model.written.angular_by_pair[pair][n * (ba + 1) + b];
      const Vec3 unit{d[0] / r, d[1] / r, d[2] / r};
      g.push_back(gn);
      u.push_back(unit);
      weight_sum += std::fabs(gn);
      const std::vector<double> y = real_harmonics(l_max, unit);
      for (int k = 0; k < abc; ++k) sums[k] += gn * y[k];
    }
    int channel = 0;
    const auto put = [&](double value, double tolerance) {
      const std::size_t row = static_cast<std::size_t>(nr + 1 + channel * (na + 1) + n);
      ref.value[row] = value;
      ref.tolerance[row] = tolerance + 1e-6;
      ++channel;
    };
    for (int l = 1; l <= l_max; ++l) {
      put(q_by_addition_theorem(l, g, u), kQlRelative * (2.0 * l + 1.0) / (4.0 * kPi) * weight_sum * weight_sum);
    }
    double largest = 0.0;
    for (int k = 0; k < std::min(abc, 24); ++k) largest = std::max(largest, std::fabs(sums[k]));
    const std::array<double, 6> couplings = coupling_invariants(sums);
    for (int c = 0; c < 6; ++c) {
      if (flags[c]) put(couplings[c], kCouplingRelative * std::pow(largest + weight_sum, coupling_degree[c]));
    }
    ref.sums.push_back(sums);
    ref.sums_tolerance.push_back(1e-6 * y_bound * weight_sum + 1e-6);  // float sums of harmonics
  }
  return ref;
}

}  // namespace quarvel::test_support
