// The shared angular mathematics, evaluated on the host through the CPU stand-in's device names.
#include "cuda_backend/angular_harmonics.cuh"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <random>
#include <vector>

#include "support/angular_reference.hpp"

namespace quarvel::cuda_backend::angular_harmonics {
namespace {

using test_support::Vec3;

// Single precision: a table entry printed with nine significant digits, or a float sum of a few terms.
constexpr double kFloatRelative = 2e-6;

Vec3 random_unit(std::mt19937& rng) {
  std::normal_distribution<double> normal;
  Vec3 v{normal(rng), normal(rng), normal(rng)};
  const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  for (double& c : v) c /= n;
  return v;
}

// q_l of a run-time degree.
float invariant_q(int l, const float* s) {
  switch (l) {
    case 1:
      return invariant_q<1>(s);
    case 2:
      return invariant_q<2>(s);
    case 3:
      return invariant_q<3>(s);
    case 4:
      return invariant_q<4>(s);
    case 5:
      return invariant_q<5>(s);
    case 6:
      return invariant_q<6>(s);
    case 7:
      return invariant_q<7>(s);
    case 8:
      return invariant_q<8>(s);
    default:
      break;
  }
  ADD_FAILURE() << "no degree " << l;
  return 0.0f;
}

// Sums of all 80 harmonics over a neighborhood, as the descriptor kernel accumulates them.
std::array<float, kAngularIndexCount> device_sums(const std::vector<double>& g, const std::vector<Vec3>& u) {
  float sums[kAngularIndexCount] = {};
  for (std::size_t j = 0; j < g.size(); ++j) {
    add_weighted_harmonics(kMaxDegree, static_cast<float>(g[j]), static_cast<float>(u[j][0]),
                           static_cast<float>(u[j][1]), static_cast<float>(u[j][2]), sums);
  }
  std::array<float, kAngularIndexCount> out{};
  for (int k = 0; k < kAngularIndexCount; ++k) out[k] = sums[k];
  return out;
}

struct Neighborhood {
  std::vector<double> g;
  std::vector<Vec3> u;
};

Neighborhood random_neighborhood(unsigned seed, int count) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> weight(-1.0, 1.5);
  Neighborhood n;
  for (int j = 0; j < count; ++j) {
    n.g.push_back(weight(rng));
    n.u.push_back(random_unit(rng));
  }
  return n;
}

TEST(AngularTables, PolynomialTablesFollowTheLegendreDerivativeRule) {
  const float* tables[] = {kZ5, kZ6, kZ7, kZ8};
  for (int l = 5; l <= kMaxDegree; ++l) {
    const float* table = tables[l - 5];
    for (int m = 0; m <= l; ++m) {
      const test_support::LegendreDerivative z = test_support::legendre_derivative(l, m);
      for (int p = 0; p <= l; ++p) {
        const double expected =
            p < static_cast<int>(z.coefficients.size()) ? static_cast<double>(z.coefficients[p]) : 0.0;
        EXPECT_EQ(table[m * (l + 1) + p], expected) << "l " << l << " m " << m << " p " << p;
      }
    }
  }
}

TEST(AngularTables, HarmonicWeightsFollowTheirRule) {
  for (int l = 1; l <= kMaxDegree; ++l) {
    for (int m = 0; m <= l; ++m) {
      const double expected = test_support::harmonic_weight(l, m);
      const int first = first_index_of_degree(l);
      const std::vector<int> entries =
          m == 0 ? std::vector<int>{first} : std::vector<int>{first + 2 * m - 1, first + 2 * m};
      for (int k : entries) EXPECT_NEAR(kC3B[k], expected, kFloatRelative * expected) << "l " << l << " m " << m;
    }
  }
}

TEST(AngularHarmonics, MatchTheDirectFormulaForEveryIndex) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    const Vec3 u = random_unit(rng);
    const std::vector<double> expected = test_support::real_harmonics(kMaxDegree, u);
    const std::array<float, kAngularIndexCount> y = device_sums({1.0}, {u});
    for (int k = 0; k < kAngularIndexCount; ++k) {
      // Degree-8 polynomials reach coefficients of ~1e4 with cancelling terms: float rounding of the largest
      // term bounds the error.
      EXPECT_NEAR(y[k], expected[k], 2e-6 * 6435.0) << "k " << k;
    }
  }
}

TEST(AngularHarmonics, SumShapesHoldTheirDegrees) {
  EXPECT_EQ(degrees_held(24), 4);
  EXPECT_EQ(degrees_held(35), 5);
  EXPECT_EQ(degrees_held(48), 6);
  EXPECT_EQ(degrees_held(63), 7);
  EXPECT_EQ(degrees_held(80), 8);
}

TEST(AngularInvariants, QlStopsAtTheModelsDegree) {
  float sums[kAngularIndexCount] = {};
  add_weighted_harmonics(kMaxDegree, 1.0f, 0.48f, 0.6f, 0.64f, sums);
  std::vector<float> emitted;
  auto emit = [&](float q) { emitted.push_back(q); };
  for_each_q<1>(5, sums, emit);
  ASSERT_EQ(emitted.size(), 5u);
  for (int l = 1; l <= 5; ++l) EXPECT_EQ(emitted[l - 1], invariant_q(l, sums)) << l;
}

TEST(AngularHarmonics, OnlyTheRequestedDegreesAreAccumulated) {
  float sums[kAngularIndexCount] = {};
  add_weighted_harmonics(3, 1.0f, 0.48f, 0.6f, 0.64f, sums);
  EXPECT_NE(sums[index_count_up_to_degree(3) - 1], 0.0f);
  for (int k = index_count_up_to_degree(3); k < kAngularIndexCount; ++k) EXPECT_EQ(sums[k], 0.0f) << k;
}

TEST(AngularInvariants, SingleNeighborAlongZ) {
  const float g = 0.75f;
  float sums[kAngularIndexCount] = {};
  add_weighted_harmonics(kMaxDegree, g, 0.0f, 0.0f, 1.0f, sums);
  EXPECT_FLOAT_EQ(sums[0], g);
  EXPECT_EQ(sums[1], 0.0f);
  EXPECT_EQ(sums[2], 0.0f);
  EXPECT_FLOAT_EQ(invariant_q<1>(sums), 0.238732412f * g * g);
}

TEST(AngularInvariants, AllZeroWithoutNeighbors) {
  const float sums[kAngularIndexCount] = {};
  for (int l = 1; l <= kMaxDegree; ++l) EXPECT_EQ(invariant_q(l, sums), 0.0f);
  EXPECT_EQ(invariant_q222(sums), 0.0f);
  EXPECT_EQ(invariant_q1111(sums), 0.0f);
  EXPECT_EQ(invariant_q112(sums), 0.0f);
  EXPECT_EQ(invariant_q123(sums), 0.0f);
  EXPECT_EQ(invariant_q233(sums), 0.0f);
  EXPECT_EQ(invariant_q134(sums), 0.0f);
}

// Scale of a neighborhood's invariants of the given degree: (sum |g|)^degree.
double invariant_scale(const std::vector<double>& g, int degree) {
  double total = 0.0;
  for (double w : g) total += std::fabs(w);
  return std::pow(total, degree);
}

TEST(AngularInvariants, QlEqualsTheAdditionTheoremForEveryDegree) {
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const Neighborhood n = random_neighborhood(seed, 12);
    const std::array<float, kAngularIndexCount> s = device_sums(n.g, n.u);
    for (int l = 1; l <= kMaxDegree; ++l) {
      const double expected = test_support::q_by_addition_theorem(l, n.g, n.u);
      // Float sums of harmonics whose unnormalised size grows with the degree; relative to the scale of q_l.
      EXPECT_NEAR(invariant_q(l, s.data()), expected, 2e-5 * invariant_scale(n.g, 2)) << "seed " << seed << " l " << l;
    }
  }
}

std::array<double, 6> device_couplings(const std::array<float, kAngularIndexCount>& s) {
  return {invariant_q222(s.data()), invariant_q1111(s.data()), invariant_q112(s.data()),
          invariant_q123(s.data()), invariant_q233(s.data()),  invariant_q134(s.data())};
}

// Largest magnitude among the sums of degrees 1 to 4, which the coupling invariants read.
double largest_low_degree_sum(const std::vector<double>& s) {
  double largest = 0.0;
  for (int k = 0; k < index_count_up_to_degree(4); ++k) largest = std::fmax(largest, std::fabs(s[k]));
  return largest;
}

TEST(AngularInvariants, CouplingsMatchTheirFormulasAndAreRotationInvariant) {
  const int degrees[6] = {3, 4, 3, 3, 3, 3};  // polynomial degree of each invariant in the sums
  for (unsigned seed = 1; seed <= 5; ++seed) {
    const Neighborhood n = random_neighborhood(seed, 10);
    Neighborhood turned = n;
    const auto r = test_support::rotation({0.3, -1.0, 0.7}, 1.1 + 0.4 * seed);
    for (Vec3& u : turned.u) u = test_support::rotate(r, u);
    std::vector<double> exact_sums(kAngularIndexCount, 0.0);
    for (std::size_t j = 0; j < n.g.size(); ++j) {
      const std::vector<double> y = test_support::real_harmonics(kMaxDegree, n.u[j]);
      for (int k = 0; k < kAngularIndexCount; ++k) exact_sums[k] += n.g[j] * y[k];
    }
    const std::array<double, 6> expected = test_support::coupling_invariants(exact_sums);
    const std::array<double, 6> before = device_couplings(device_sums(n.g, n.u));
    const std::array<double, 6> after = device_couplings(device_sums(turned.g, turned.u));
    for (int c = 0; c < 6; ++c) {
      // Float rounding of some twenty products of sums, each at most the largest sum to the invariant's degree.
      const double tolerance = 2e-6 * std::pow(largest_low_degree_sum(exact_sums), degrees[c]);
      EXPECT_NEAR(before[c], expected[c], tolerance) << "seed " << seed << " channel " << c;
      EXPECT_NEAR(after[c], before[c], tolerance) << "seed " << seed << " channel " << c;
      EXPECT_GT(std::fabs(expected[c]), 10.0 * tolerance) << "a non-trivial check, channel " << c;
    }
    for (int l = 1; l <= kMaxDegree; ++l) {
      const std::array<float, kAngularIndexCount> s0 = device_sums(n.g, n.u);
      const std::array<float, kAngularIndexCount> s1 = device_sums(turned.g, turned.u);
      EXPECT_NEAR(invariant_q(l, s1.data()), invariant_q(l, s0.data()), 2e-5 * invariant_scale(n.g, 2)) << l;
    }
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend::angular_harmonics
