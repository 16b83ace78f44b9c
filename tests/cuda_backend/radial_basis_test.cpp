// The pair basis and its distance derivative, evaluated on the host through the CPU stand-in's device names.
#include "cuda_backend/radial_basis.cuh"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <ostream>
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

struct PassCase {
  const char* name;
  int basis_count;
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.name; }

class SlopePasses : public ::testing::TestWithParam<PassCase> {};

// Every slope once, in order, each the one the running basis gives, whatever the number of passes; each pass's
// contraction the fused multiply-add sum over its own slopes of coefficients read `step` apart.
TEST_P(SlopePasses, GiveEachSlopeOnceAndContractThePass) {
  const int count = GetParam().basis_count;
  constexpr float kR = 1.3f;
  constexpr float kRc = 4.5f;
  constexpr int kStep = 3;  // coefficients of consecutive k this far apart, as in the file-order table
  std::vector<float> coefficients(static_cast<std::size_t>(count) * kStep);
  for (std::size_t e = 0; e < coefficients.size(); ++e) coefficients[e] = 0.25f + 0.01f * static_cast<float>(e);
  PairBasisWithSlope running(kR, kRc);
  int expected_first = 0;
  for_each_slope_pass(kR, kRc, count, [&](int first, const float (&slopes)[kSlopesPerPass]) {
    EXPECT_EQ(first, expected_first);
    float sum = 0.0f;
    for (int k = 0; k < kSlopesPerPass; ++k) {
      if (first + k < count) {
        const float slope = running.next().slope;
        EXPECT_EQ(slopes[k], slope) << "k = " << first + k;
        sum = std::fma(slope, coefficients[static_cast<std::size_t>(first + k) * kStep], sum);
      } else {
        EXPECT_EQ(slopes[k], 0.0f) << "beyond the basis at " << first + k;
      }
    }
    EXPECT_EQ(contract_slopes(slopes, first, count, coefficients.data(), kStep), sum);
    expected_first += kSlopesPerPass;
  });
  EXPECT_EQ(expected_first, (count + kSlopesPerPass - 1) / kSlopesPerPass * kSlopesPerPass) << "passes taken";
}

INSTANTIATE_TEST_SUITE_P(BasisCounts, SlopePasses,
                         ::testing::Values(PassCase{"OneFunction", 1}, PassCase{"LargestModelBasis", kLargestBasis + 1},
                                           PassCase{"OneBeyondAPass", kSlopesPerPass + 1},
                                           PassCase{"ThreePasses", 3 * kSlopesPerPass - 2}),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
