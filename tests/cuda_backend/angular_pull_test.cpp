// The angular pull coefficients and the pair gradient, evaluated on the host through the CPU stand-in's names,
// against double-precision derivatives of the energy they differentiate.
#include "cuda_backend/angular_pull.cuh"
#include "cuda_backend/radial_basis.cuh"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/angular_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::Vec3;

// Float sums of a few dozen products of values of order one, relative to the largest coefficient.
constexpr double kFloatRelative = 2e-5;
constexpr double kDifferenceStep = 1e-6;  // double-precision central differences of the references

struct PullCase {
  const char* name;
  int l_max;
  std::array<int, 6> coupling;  // q222, q1111, q112, q123, q233, q134
};

// E(S) = sum_l F_{l-1} q_l(S) + sum over enabled couplings of F_c q_c(S), in double.
double channel_energy(const PullCase& c, const std::vector<double>& s, const std::vector<double>& fp) {
  double e = 0.0;
  int k = 0;
  for (int l = 1; l <= c.l_max; ++l) {
    double q = test_support::harmonic_weight(l, 0) * s[k] * s[k];
    for (int m = 1; m <= l; ++m) {
      q += 2.0 * test_support::harmonic_weight(l, m) * (s[k + 2 * m - 1] * s[k + 2 * m - 1] + s[k + 2 * m] * s[k + 2 * m]);
    }
    e += fp[l - 1] * q;
    k += 2 * l + 1;
  }
  const std::array<double, 6> couplings = test_support::coupling_invariants(s);
  int channel = c.l_max;
  for (int f = 0; f < 6; ++f) {
    if (c.coupling[f] != 0) e += fp[channel++] * couplings[f];
  }
  return e;
}

template <int K>
void expect_pull_is_gradient(const PullCase& c) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> value(-1.5, 1.5);
  const int abc = (c.l_max + 1) * (c.l_max + 1) - 1;
  std::vector<double> s(K, 0.0);
  std::vector<double> fp(K == kLowOrderPullWidth ? kLowOrderFpWidth : kHighOrderFpWidth, 0.0);
  float sums[K] = {};
  float channel_fp[kHighOrderFpWidth] = {};
  for (int k = 0; k < abc; ++k) sums[k] = static_cast<float>(s[k] = value(rng));
  for (std::size_t ch = 0; ch < fp.size(); ++ch) channel_fp[ch] = static_cast<float>(fp[ch] = value(rng));
  float pull[K];
  for (float& p : pull) p = -7.0f;
  build_angular_pull<K>(c.l_max, c.coupling.data(), sums, channel_fp, pull);
  for (int k = 0; k < abc; ++k) {
    std::vector<double> plus = s;
    std::vector<double> minus = s;
    plus[k] += kDifferenceStep;
    minus[k] -= kDifferenceStep;
    const double gradient = (channel_energy(c, plus, fp) - channel_energy(c, minus, fp)) / (2.0 * kDifferenceStep);
    EXPECT_NEAR(pull[k], gradient, kFloatRelative * std::fmax(1.0, std::fabs(gradient))) << "k = " << k;
  }
  if constexpr (K == kLowOrderPullWidth) {
    for (int k = abc; k < K; ++k) EXPECT_EQ(pull[k], 0.0f) << "k = " << k;
  }
}

class AngularPull : public ::testing::TestWithParam<PullCase> {};

TEST_P(AngularPull, IsTheGradientOfTheChannelEnergy) {
  const PullCase& c = GetParam();
  if (c.l_max <= 4) {
    expect_pull_is_gradient<kLowOrderPullWidth>(c);
  } else {
    expect_pull_is_gradient<kHighOrderPullWidth>(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, AngularPull,
                         ::testing::Values(PullCase{"DegreeOne", 1, {0, 0, 0, 0, 0, 0}},
                                           PullCase{"DegreeOneQuartic", 1, {0, 1, 0, 0, 0, 0}},
                                           PullCase{"DegreeTwoCouplings", 2, {1, 1, 1, 0, 0, 0}},
                                           PullCase{"DegreeThreeCouplings", 3, {1, 0, 1, 1, 1, 0}},
                                           PullCase{"DegreeFourAllCouplings", 4, {1, 1, 1, 1, 1, 1}},
                                           PullCase{"DegreeFourOnlyQ134", 4, {0, 0, 0, 0, 0, 1}},
                                           PullCase{"DegreeSixWideTile", 6, {1, 1, 1, 1, 1, 1}},
                                           PullCase{"DegreeEight", 8, {0, 0, 0, 0, 0, 0}}),
                         [](const auto& pull_case) { return std::string(pull_case.param.name); });

TEST(AngularPullEdges, EmptySumsPullNothing) {
  const int coupling[6] = {1, 1, 1, 1, 1, 1};
  float sums[kLowOrderPullWidth] = {};
  float fp[kLowOrderFpWidth] = {1.0f, 2.0f, 3.0f, 4.0f, 5.0f, 6.0f, 7.0f, 8.0f, 9.0f, 10.0f};
  float pull[kLowOrderPullWidth];
  build_angular_pull<kLowOrderPullWidth>(4, coupling, sums, fp, pull);
  for (float p : pull) EXPECT_EQ(p, 0.0f);
}

// One pair's energy contribution E(d) = sum_k sum_n P_{n,k} g_n(r) Y_k(d / r), with radial functions
// g_n(r) = sum_b c_{n,b} f_b(r), in double.
struct PairModel {
  int l_max;
  int radial_count;
  int basis_count;
  double rc;
  std::vector<std::vector<double>> pull;  // [n][k]
  std::vector<std::vector<double>> c;     // [n][b]

  double radial(int n, double r) const {
    if (r >= rc) return 0.0;
    const double fc = 0.5 * std::cos(M_PI * r / rc) + 0.5;
    const double t = r / rc - 1.0;
    const double x = 2.0 * t * t - 1.0;
    double g = 0.0;
    for (int b = 0; b < basis_count; ++b) {
      const double f = b == 0 ? fc : 0.5 * fc * (std::cos(b * std::acos(x)) + 1.0);
      g += c[n][b] * f;
    }
    return g;
  }

  double energy(const Vec3& d) const {
    const double r = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    const std::vector<double> y = test_support::real_harmonics(l_max, {d[0] / r, d[1] / r, d[2] / r});
    double e = 0.0;
    for (int n = 0; n < radial_count; ++n) {
      const double g = radial(n, r);
      for (std::size_t k = 0; k < y.size(); ++k) e += pull[n][k] * g * y[k];
    }
    return e;
  }
};

struct GradientCase {
  const char* name;
  int l_max;
  int radial_count;
  Vec3 d;  // Angstrom
};

class PairGradient : public ::testing::TestWithParam<GradientCase> {};

TEST_P(PairGradient, IsTheDerivativeOfThePairEnergy) {
  const GradientCase& gc = GetParam();
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> value(-1.0, 1.0);
  PairModel m{gc.l_max, gc.radial_count, 4, 4.0, {}, {}};
  const int abc = (gc.l_max + 1) * (gc.l_max + 1) - 1;
  std::vector<std::vector<float>> pull_f(gc.radial_count, std::vector<float>(abc));
  for (int n = 0; n < gc.radial_count; ++n) {
    m.pull.emplace_back();
    m.c.emplace_back();
    for (int k = 0; k < abc; ++k) {
      pull_f[n][k] = static_cast<float>(value(rng));
      m.pull[n].push_back(pull_f[n][k]);
    }
    for (int b = 0; b < m.basis_count; ++b) m.c[n].push_back(static_cast<float>(value(rng)));
  }
  // The device side: radial functions from the float basis, then the pair gradient.
  const float r = static_cast<float>(std::sqrt(gc.d[0] * gc.d[0] + gc.d[1] * gc.d[1] + gc.d[2] * gc.d[2]));
  std::vector<float> g(gc.radial_count, 0.0f);
  std::vector<float> g_prime(gc.radial_count, 0.0f);
  PairBasisWithSlope basis(r, static_cast<float>(m.rc));
  for (int b = 0; b < m.basis_count; ++b) {
    const BasisTerm term = basis.next();
    for (int n = 0; n < gc.radial_count; ++n) {
      g[n] = fmaf(static_cast<float>(m.c[n][b]), term.value, g[n]);
      g_prime[n] = fmaf(static_cast<float>(m.c[n][b]), term.slope, g_prime[n]);
    }
  }
  const float inv_r = 1.0f / r;
  const float unit[3] = {static_cast<float>(gc.d[0]) * inv_r, static_cast<float>(gc.d[1]) * inv_r,
                         static_cast<float>(gc.d[2]) * inv_r};
  float v[3] = {0.0f, 0.0f, 0.0f};
  const auto fetch = [&](int k, int n) { return pull_f[n][k]; };
  accumulate_pair_gradient<ah::kMaxDegree>(gc.l_max, fetch, gc.radial_count, g.data(), g_prime.data(), inv_r, unit, v);
  double scale = 1.0;
  double expected[3];
  for (int c = 0; c < 3; ++c) {
    Vec3 plus = gc.d;
    Vec3 minus = gc.d;
    plus[c] += kDifferenceStep;
    minus[c] -= kDifferenceStep;
    expected[c] = (m.energy(plus) - m.energy(minus)) / (2.0 * kDifferenceStep);
    scale = std::fmax(scale, std::fabs(expected[c]));
  }
  const double tolerance = kFloatRelative * scale;
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(v[c], expected[c], tolerance) << "axis " << c;
}

INSTANTIATE_TEST_SUITE_P(Pairs, PairGradient,
                         ::testing::Values(GradientCase{"DegreeOneAlongZ", 1, 1, {0.0, 0.0, 1.7}},
                                           GradientCase{"DegreeTwoOblique", 2, 2, {0.9, -1.1, 0.4}},
                                           GradientCase{"DegreeFour", 4, 3, {-1.3, 0.7, 1.9}},
                                           GradientCase{"DegreeFive", 5, 2, {1.2, 0.5, -0.8}},
                                           GradientCase{"DegreeEight", 8, 3, {0.4, 1.6, 1.1}},
                                           GradientCase{"BeyondTheCutoff", 4, 2, {3.0, 2.9, 0.0}}),
                         [](const auto& gradient_case) { return std::string(gradient_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
