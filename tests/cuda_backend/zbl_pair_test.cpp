// The ZBL pair energy and its distance derivative, evaluated on the host through the CPU stand-in's names.
#include "cuda_backend/zbl_pair.cuh"

#include <gtest/gtest.h>

#include <cmath>

#include "support/finite_difference.hpp"

namespace quarvel::cuda_backend {
namespace {

// Float exponentials, powers and a cosine of arguments of a few units: some float roundings, relative.
constexpr double kFloatRelative = 1e-5;
constexpr double kDifferenceStep = 1e-6;  // Angstrom; double-precision differences of the reference

// E(r) in double from its definition, universal screening.
double zbl_energy(double r, int zi, int zj, double r_in, double r_out) {
  if (r >= r_out) return 0.0;
  const double a = 0.46848 / (std::pow(zi, 0.23) + std::pow(zj, 0.23));
  const double coefficients[4] = {0.18175, 0.50986, 0.28022, 0.02817};
  const double exponents[4] = {3.1998, 0.94229, 0.4029, 0.20162};
  double phi = 0.0;
  for (int k = 0; k < 4; ++k) phi += coefficients[k] * std::exp(-exponents[k] * r / a);
  const double switch_off = r < r_in ? 1.0 : 0.5 * std::cos(M_PI * (r - r_in) / (r_out - r_in)) + 0.5;
  return switch_off * 14.399645 * zi * zj * phi / r;
}

struct ZblPoint {
  const char* name;
  float r;
  int zi;
  int zj;
};

class ZblPair : public ::testing::TestWithParam<ZblPoint> {};

TEST_P(ZblPair, EnergyAndSlopeFollowTheScreenedCoulombForm) {
  const ZblPoint p = GetParam();
  const float r_in = 1.0f;
  const float r_out = 2.0f;
  const ZblPairTerms terms = zbl_pair_terms(p.r, zbl_charge_power(p.zi), zbl_charge_power(p.zj), p.zi * p.zj,
                                            kUniversalZblScreening, r_in, r_out);
  const double energy = zbl_energy(p.r, p.zi, p.zj, r_in, r_out);
  const double slope = test_support::central_difference(
      [&](double h) { return zbl_energy(p.r + h, p.zi, p.zj, r_in, r_out); }, kDifferenceStep);
  EXPECT_NEAR(terms.energy, energy, kFloatRelative * std::fmax(1.0, std::fabs(energy)));
  EXPECT_NEAR(terms.slope, slope, kFloatRelative * std::fmax(1.0, std::fabs(slope)));
}

INSTANTIATE_TEST_SUITE_P(Pairs, ZblPair,
                         ::testing::Values(ZblPoint{"InsideInnerCutoff", 0.6f, 6, 1},
                                           ZblPoint{"WithinTheSwitch", 1.4f, 6, 8},
                                           ZblPoint{"NearTheOuterCutoff", 1.97f, 14, 8},
                                           ZblPoint{"HeavyPair", 0.3f, 74, 74}),
                         [](const auto& point) { return std::string(point.param.name); });

TEST(ZblPairSwitch, BelowTheInnerCutoffIsTheBareScreenedCoulombTerm) {
  const float r = 0.8f;
  const ZblPairTerms switched = zbl_pair_terms(r, zbl_charge_power(6), zbl_charge_power(6), 36,
                                               kUniversalZblScreening, 1.0f, 2.0f);
  const ZblPairTerms wider = zbl_pair_terms(r, zbl_charge_power(6), zbl_charge_power(6), 36, kUniversalZblScreening,
                                            1.5f, 3.0f);
  EXPECT_EQ(switched.energy, wider.energy);  // the switch is exactly 1 and has no derivative there
  EXPECT_EQ(switched.slope, wider.slope);
}

}  // namespace
}  // namespace quarvel::cuda_backend
