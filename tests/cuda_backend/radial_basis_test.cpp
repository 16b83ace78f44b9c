// The pair basis and its distance derivative, evaluated on the host through the CPU stand-in's device names.
#include "cuda_backend/radial_basis.cuh"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/case_names.hpp"
#include "support/finite_difference.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

// Float recurrences over up to 17 Chebyshev terms whose derivatives reach a few hundred per Angstrom: a few
// float rounding steps per term, relative to the size of the term.
constexpr double kFloatRelative = 2e-5;
constexpr double kDifferenceStep = 1e-6;  // Angstrom; double-precision differences of the reference
constexpr int kLargestBasis = 16;

double basis_value(int b, double r, double rc) { return test_support::basis_reference(r, rc, b)[b]; }

struct BasisPoint {
  float r;
  float rc;
};

class PairBasisSlopes : public ::testing::TestWithParam<BasisPoint> {};

TEST_P(PairBasisSlopes, AreTheDerivativesOfTheBasis) {
  const BasisPoint p = GetParam();
  PairBasisWithSlope basis(p.r, p.rc);
  for (int b = 0; b <= kLargestBasis; ++b) {
    const BasisTerm term = basis.next();
    const double value = basis_value(b, p.r, p.rc);
    const double slope =
        test_support::central_difference([&](double h) { return basis_value(b, p.r + h, p.rc); }, kDifferenceStep);
    EXPECT_NEAR(term.value, value, kFloatRelative * std::fmax(1.0, std::fabs(value))) << "b = " << b;
    EXPECT_NEAR(term.slope, slope, kFloatRelative * std::fmax(1.0, std::fabs(slope))) << "b = " << b;
  }
}

INSTANTIATE_TEST_SUITE_P(Distances, PairBasisSlopes,
                         ::testing::Values(BasisPoint{0.3f, 5.0f}, BasisPoint{1.7f, 4.0f}, BasisPoint{2.5f, 5.0f},
                                           BasisPoint{3.99f, 4.0f}, BasisPoint{4.9f, 6.0f}),
                         [](const auto& point) {
                           return "R" + test_support::number_name(point.param.r) + "Cutoff" +
                                  test_support::number_name(point.param.rc);
                         });

TEST(PairBasis, VanishesFromTheCutoffOn) {
  for (const float r : {4.0f, 4.5f}) {
    PairBasisWithSlope basis(r, 4.0f);
    for (int b = 0; b <= kLargestBasis; ++b) {
      const BasisTerm term = basis.next();
      EXPECT_EQ(term.value, 0.0f);
      EXPECT_EQ(term.slope, 0.0f);
    }
  }
}

}  // namespace
}  // namespace quarvel::cuda_backend
