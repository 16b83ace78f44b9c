// Spin models through the flat interface, checked against what physics makes exact: forces and magnetic forces
// against finite differences of the energy over positions and spins, the virial against its strain derivative,
// rotation of positions and spins together, and the evenness of the energy under reversal of all spins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "support/descriptor_structures.hpp"
#include "support/finite_difference.hpp"
#include "support/flat_model.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel {
namespace {

using test_support::every_atom;
using test_support::expect_minus_gradient;
using test_support::expect_minus_strain_derivative;
using test_support::largest_magnitude;
using test_support::Evaluation;
using test_support::ModelCase;
using test_support::ModelShape;
using test_support::Structure;
using test_support::Vec3;

// Central differences of an energy summed from float per-atom terms: the step balances the float rounding of the
// energy (about 1e-7 relative, divided by the step) against the truncation error.
constexpr double kStep = 5e-4;  // Angstrom, and spin units
// Forces, magnetic forces and virials against differences of the energy: float descriptor, network and pair
// arithmetic, amplified by 1/kStep, sets the scale.
constexpr double kDifferenceTolerance = 3e-3;
// Two evaluations that differ only by float rounding of reordered or rotated sums.
constexpr double kRoundingTolerance = 3e-4;
constexpr double kMeaningfulForce = 0.05;  // eV/Angstrom or eV per spin unit: smaller would check nothing
constexpr int kAtoms = 10;

// A spin model of `compress` channels up to order `l_max`, with the chiral terms when `chiral` is 1; `dof_types`
// lists the types with a spin degree of freedom (empty: all of them).
ModelCase spin_case(const char* name, int compress, int l_max, int chiral, std::vector<std::string> dof_types) {
  ModelShape shape = test_support::compact_shape("nep4_spin", {"Fe", "O"}, 5);
  shape.cutoff_radial = {4.0};
  shape.cutoff_angular = {3.5};
  shape.spin.cutoff = 4.0;
  shape.spin.compress = compress;
  shape.spin.basis_size_radial = 4;
  shape.spin.l_max = l_max;
  shape.spin.chiral = chiral;
  shape.spin.env_types = dof_types.empty() ? std::vector<std::string>{} : std::vector<std::string>{"Fe", "O"};
  shape.spin.dof_types = std::move(dof_types);
  return {name, shape};
}

struct SpinStructure {
  Structure structure;
  std::vector<Vec3> spins;
};

class SpinModelForces : public test_support::FlatModelTest {
 protected:
  static SpinStructure structure(unsigned seed) {
    SpinStructure s;
    s.structure = test_support::random_structure(kAtoms, 2, 2.4, seed);
    for (int i = 0; i < kAtoms; ++i) {
      const double a = 0.7 * i + 0.3 * seed;
      s.spins.push_back({std::cos(a) * (1.0 + 0.1 * i), std::sin(a), 0.4 - 0.1 * i});
    }
    return s;
  }

  Evaluation evaluate(const SpinStructure& s) const {
    return model().evaluate(s.structure, test_support::kMagneticForce, s.spins);
  }

  double energy(const SpinStructure& s) const { return evaluate(s).energy; }
};

TEST_P(SpinModelForces, ForcesAndMagneticForcesAreMinusTheEnergyGradients) {
  const SpinStructure s = structure(3);
  const Evaluation e = evaluate(s);
  ASSERT_GT(largest_magnitude(e.force), kMeaningfulForce) << "a structure without forces checks nothing";
  ASSERT_GT(largest_magnitude(e.mforce), kMeaningfulForce) << "spins without magnetic forces check nothing";
  const double force_scale = std::max(1.0, largest_magnitude(e.force));
  const double mforce_scale = std::max(1.0, largest_magnitude(e.mforce));
  const auto position = [](SpinStructure& moved, int atom) -> Vec3& { return moved.structure.positions[atom]; };
  const auto spin = [](SpinStructure& turned, int atom) -> Vec3& { return turned.spins[atom]; };
  const auto energy_of = [&](const SpinStructure& changed) { return energy(changed); };
  expect_minus_gradient("force", e.force, kDifferenceTolerance * force_scale, s, every_atom(kAtoms), position,
                        energy_of, kStep);
  // A type without a spin degree of freedom reports no magnetic force, although its spin is seen by others.
  std::vector<int> with_spin;
  for (int i = 0; i < kAtoms; ++i) {
    const bool spinless = !GetParam().shape.spin.dof_types.empty() && s.structure.types[i] != 0;
    if (spinless) {
      for (int c = 0; c < 3; ++c) EXPECT_EQ(e.mforce[3 * i + c], 0.0) << "atom " << i;
    } else {
      with_spin.push_back(i);
    }
  }
  expect_minus_gradient("magnetic force", e.mforce, kDifferenceTolerance * mforce_scale, s, with_spin, spin, energy_of,
                        kStep);
}

// W_ab = -sum over pairs of d_a F_b. Straining positions and cell by r_a -> r_a + e r_b (spins unchanged) gives
// -dE/de = W_ba; a spin model's energy changes when positions turn without their spins, so W is not symmetric.
TEST_P(SpinModelForces, VirialIsMinusTheStrainDerivative) {
  const SpinStructure s = structure(4);
  const Evaluation e = evaluate(s);
  const double scale = std::max(1.0, largest_magnitude(e.virial));
  // Component ab of W comes from the strain r_b -> r_b + e r_a.
  const auto strained_energy = [&](int a, int b, double epsilon) {
    SpinStructure t = s;
    t.structure = test_support::strained(s.structure, b, a, epsilon);
    return energy(t);
  };
  expect_minus_strain_derivative(e.virial, kDifferenceTolerance * scale, strained_energy, kStep);
}

// Rotating positions, cell and spins together leaves the energy and rotates forces and magnetic forces.
TEST_P(SpinModelForces, RotatingPositionsAndSpinsTogetherRotatesTheForces) {
  const SpinStructure s = structure(5);
  const Evaluation e = evaluate(s);
  const test_support::Cell rotation = test_support::tilted_rotation(0.9);
  SpinStructure moved{test_support::rotated(s.structure, rotation), s.spins};
  for (Vec3& m : moved.spins) m = test_support::matrix_times(rotation, m);
  const Evaluation m = evaluate(moved);
  EXPECT_NEAR(m.energy, e.energy, kRoundingTolerance * std::max(1.0, std::abs(e.energy)));
  for (int i = 0; i < kAtoms; ++i) {
    const Vec3 force = test_support::matrix_times(rotation, {e.force[3 * i], e.force[3 * i + 1], e.force[3 * i + 2]});
    const Vec3 mforce =
        test_support::matrix_times(rotation, {e.mforce[3 * i], e.mforce[3 * i + 1], e.mforce[3 * i + 2]});
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(m.force[3 * i + c], force[c], kRoundingTolerance * std::max(1.0, largest_magnitude(e.force))) << i;
      EXPECT_NEAR(m.mforce[3 * i + c], mforce[c], kRoundingTolerance * std::max(1.0, largest_magnitude(e.mforce)))
          << i;
    }
  }
}

// Every spin row is even in the spins, so reversing all spins keeps energy and forces and reverses the magnetic
// forces.
TEST_P(SpinModelForces, ReversingAllSpinsReversesOnlyTheMagneticForces) {
  const SpinStructure s = structure(6);
  const Evaluation e = evaluate(s);
  SpinStructure reversed = s;
  for (Vec3& m : reversed.spins) m = {-m[0], -m[1], -m[2]};
  const Evaluation r = evaluate(reversed);
  EXPECT_NEAR(r.energy, e.energy, kRoundingTolerance);
  for (std::size_t k = 0; k < e.force.size(); ++k) {
    EXPECT_NEAR(r.force[k], e.force[k], kRoundingTolerance) << k;
    EXPECT_NEAR(r.mforce[k], -e.mforce[k], kRoundingTolerance) << k;
  }
}

INSTANTIATE_TEST_SUITE_P(Models, SpinModelForces,
                         ::testing::Values(spin_case("TwoChannelsOrderTwo", 2, 2, 0, {}),
                                           spin_case("OneChannelChiral", 1, 0, 1, {}),
                                           spin_case("ThreeChannelsOrderFourChiralOneSpinType", 3, 4, 1, {"Fe"})),
                         [](const ::testing::TestParamInfo<ModelCase>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quarvel
