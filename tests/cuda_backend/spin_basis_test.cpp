// The spin helpers shared by the descriptor and force kernels, evaluated on the host through the CPU stand-in's
// device names: edge weights and their distance derivative, the row layout, the angular tables on the unit sphere.
#include "cuda_backend/spin_basis.cuh"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "support/case_names.hpp"
#include "support/finite_difference.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

// Float Chebyshev recurrences of up to 8 terms and a sum of 8 products: a few float roundings relative to the
// size of the weight or slope.
constexpr double kFloatRelative = 2e-5;
constexpr double kDifferenceStep = 1e-6;  // Angstrom; double-precision differences of the reference
constexpr int kTypes = 2;
constexpr int kChannels = 3;

struct WeightPoint {
  int basis_size;
  float r;
  float rc;
};

// Coefficients of the spin block after `offset` structural ones, deterministic and of both signs.
std::vector<float> spin_coefficients(int offset, int basis_size) {
  std::vector<float> c(static_cast<std::size_t>(offset + kChannels * (basis_size + 1) * kTypes * kTypes), 99.0f);
  for (std::size_t k = static_cast<std::size_t>(offset); k < c.size(); ++k) c[k] = std::sin(0.7f * float(k)) * 0.8f;
  return c;
}

// g_n(r) of the pair (1, 0) from the double-precision basis.
double weight_reference(const std::vector<float>& c, int offset, int basis_size, int n, double r, double rc) {
  const std::vector<double> phi = test_support::basis_reference(r, rc, basis_size);
  const int pair = 1 * kTypes + 0;
  double g = 0.0;
  for (int k = 0; k <= basis_size; ++k) g += c[offset + (n * (basis_size + 1) + k) * kTypes * kTypes + pair] * phi[k];
  return g;
}

class SpinEdgeWeights : public ::testing::TestWithParam<WeightPoint> {};

TEST_P(SpinEdgeWeights, AndTheirSlopesFollowTheBasis) {
  const WeightPoint p = GetParam();
  constexpr int kOffset = 5;
  const std::vector<float> c = spin_coefficients(kOffset, p.basis_size);
  float g[kChannels], dg[kChannels], plain[kChannels];
  evaluate_spin_edge_weights_generic_f32<kChannels, true>(p.basis_size, p.rc, p.r, kTypes, 1 * kTypes + 0, c.data(),
                                                          kOffset, g, dg);
  evaluate_spin_edge_weights_generic_f32<kChannels, false>(p.basis_size, p.rc, p.r, kTypes, 1 * kTypes + 0, c.data(),
                                                           kOffset, plain, nullptr);
  for (int n = 0; n < kChannels; ++n) {
    const double value = weight_reference(c, kOffset, p.basis_size, n, p.r, p.rc);
    const double slope = test_support::central_difference(
        [&](double h) { return weight_reference(c, kOffset, p.basis_size, n, p.r + h, p.rc); }, kDifferenceStep);
    EXPECT_NEAR(g[n], value, kFloatRelative * std::fmax(1.0, std::fabs(value))) << "channel " << n;
    EXPECT_NEAR(dg[n], slope, kFloatRelative * std::fmax(1.0, std::fabs(slope))) << "channel " << n;
    EXPECT_EQ(plain[n], g[n]) << "channel " << n;
  }
}

INSTANTIATE_TEST_SUITE_P(Distances, SpinEdgeWeights,
                         ::testing::Values(WeightPoint{3, 0.4f, 5.0f}, WeightPoint{3, 2.6f, 4.5f},
                                           WeightPoint{0, 1.9f, 4.0f}, WeightPoint{7, 3.3f, 5.5f},
                                           WeightPoint{5, 4.95f, 5.0f}),
                         [](const auto& point) {
                           return "Basis" + std::to_string(point.param.basis_size) + "R" +
                                  test_support::number_name(point.param.r) + "Cutoff" +
                                  test_support::number_name(point.param.rc);
                         });

// The two layouts worked out by hand: C = 1, L = 0 plain (9 rows) and C = 2, L = 2 chiral (32 rows).
TEST(SpinCoreLayout, MatchesTheWorkedLayouts) {
  const SpinCoreLayout small = spin_core_layout(1, 0, false);
  EXPECT_EQ(small.rho0_norm_row, 6);
  EXPECT_EQ(small.raw1_trace_row, -1);
  EXPECT_EQ(small.geom_row, 7);
  EXPECT_EQ(small.rho0_dot_row, 8);
  EXPECT_EQ(small.raw1_dot_row, -1);
  EXPECT_EQ(small.chiral_row, -1);
  EXPECT_EQ(small.total_rows, 9);
  const SpinCoreLayout chiral = spin_core_layout(2, 2, true);
  EXPECT_EQ(chiral.rho0_norm_row, 10);
  EXPECT_EQ(chiral.raw1_trace_row, 12);
  EXPECT_EQ(chiral.raw1_antisymmetric_row, 14);
  EXPECT_EQ(chiral.raw1_symmetric_row, 16);
  EXPECT_EQ(chiral.angular2_norm_row, 18);
  EXPECT_EQ(chiral.angular3_norm_row, -1);
  EXPECT_EQ(chiral.geom_row, 20);
  EXPECT_EQ(chiral.rho0_dot_row, 22);
  EXPECT_EQ(chiral.raw1_dot_row, 24);
  EXPECT_EQ(chiral.chiral_row, 26);
  EXPECT_EQ(chiral.total_rows, 32);
  EXPECT_EQ(spin_core_layout(4, 4, true).total_rows, 68);  // the largest shape
}

// A single unit direction: the rank-3 moment rebuilt from its polar vector and harmonic cubics is rhat rhat rhat,
// and each harmonic order has the unit norm (2l + 1)/(4 pi) summed over its orders m.
TEST(SpinAngularTables, AreExactOnTheUnitSphere) {
  std::mt19937 rng(3);
  std::normal_distribution<float> gauss(0.0f, 1.0f);
  for (int trial = 0; trial < 20; ++trial) {
    float d[3] = {gauss(rng), gauss(rng), gauss(rng)};
    const float n = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (float& e : d) e /= n;
    float o[kSpinOctupoleWidth];
    spin_direction_octupoles(d, o);
    float t[3][3][3];
    spin_cubic_moment(d, o, t);
    for (int a = 0; a < 3; ++a)
      for (int b = 0; b < 3; ++b)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(t[a][b][c], d[a] * d[b] * d[c], 1e-6);  // float rounding of O(1)
    for (int order = 2; order <= kSpinMaxAngularOrder; ++order) {
      float y[2 * kSpinMaxAngularOrder + 1];
      real_spherical_harmonics_spinf(d, order, y);
      double sum = 0.0;
      for (int m = 0; m < 2 * order + 1; ++m) sum += double(y[m]) * y[m];
      EXPECT_NEAR(sum, (2 * order + 1) / (4.0 * test_support::kPi), 1e-5);  // float rounding of O(1) values
    }
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
