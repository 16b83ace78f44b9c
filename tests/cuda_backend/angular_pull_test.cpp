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

#include "support/angular_force_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::Vec3;

// Float sums of a few dozen products of values of order one, relative to the largest coefficient.
constexpr double kFloatRelative = 2e-5;

struct PullCase {
  const char* name;
  test_support::AngularChannels channels;
};

template <int K>
void expect_pull_is_gradient(const test_support::AngularChannels& c) {
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
  const std::vector<double> gradient = test_support::channel_energy_gradient(c, s, fp);
  for (int k = 0; k < abc; ++k) {
    EXPECT_NEAR(pull[k], gradient[k], kFloatRelative * std::fmax(1.0, std::fabs(gradient[k]))) << "k = " << k;
  }
  if constexpr (K == kLowOrderPullWidth) {
    for (int k = abc; k < K; ++k) EXPECT_EQ(pull[k], 0.0f) << "k = " << k;
  }
}

class AngularPull : public ::testing::TestWithParam<PullCase> {};

TEST_P(AngularPull, IsTheGradientOfTheChannelEnergy) {
  const test_support::AngularChannels& c = GetParam().channels;
  if (c.l_max <= 4) {
    expect_pull_is_gradient<kLowOrderPullWidth>(c);
  } else {
    expect_pull_is_gradient<kHighOrderPullWidth>(c);
  }
}

INSTANTIATE_TEST_SUITE_P(Channels, AngularPull,
                         ::testing::Values(PullCase{"DegreeOne", {1, {0, 0, 0, 0, 0, 0}}},
                                           PullCase{"DegreeOneQuartic", {1, {0, 1, 0, 0, 0, 0}}},
                                           PullCase{"DegreeTwoCouplings", {2, {1, 1, 1, 0, 0, 0}}},
                                           PullCase{"DegreeThreeCouplings", {3, {1, 0, 1, 1, 1, 0}}},
                                           PullCase{"DegreeFourAllCouplings", {4, {1, 1, 1, 1, 1, 1}}},
                                           PullCase{"DegreeFourOnlyQ134", {4, {0, 0, 0, 0, 0, 1}}},
                                           PullCase{"DegreeSixWideTile", {6, {1, 1, 1, 1, 1, 1}}},
                                           PullCase{"DegreeEight", {8, {0, 0, 0, 0, 0, 0}}}),
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
  const Vec3 expected = test_support::pair_angular_gradient(gc.l_max, m.pull, m.c, m.rc, gc.d);
  double scale = 1.0;
  for (double e : expected) scale = std::fmax(scale, std::fabs(e));
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
