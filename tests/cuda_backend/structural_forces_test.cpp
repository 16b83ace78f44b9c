// Forces and virials of whole structures through the flat interface, checked against what physics makes exact:
// the energy's finite differences, its strain derivative, invariances, supercells and thin-cell replication.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/descriptor_structures.hpp"
#include "support/finite_difference.hpp"
#include "support/flat_model.hpp"
#include "support/model_file_writer.hpp"
#include "support/structure_checks.hpp"

namespace quarvel {
namespace {

using test_support::every_atom;
using test_support::largest_magnitude;
using test_support::kPotential;
using test_support::kVirialPerAtom;
using test_support::Evaluation;
using test_support::ModelCase;
using test_support::ModelShape;
using test_support::Structure;
using test_support::Vec3;

// Central differences over double positions of an energy summed from float per-atom terms: the step balances
// the float rounding of the energy (about 1e-7 relative, divided by the step) against the truncation error.
constexpr double kStep = 2e-3;  // Angstrom
// Forces and virials against differences of the energy: float descriptor and network arithmetic, amplified by
// 1/kStep, sets the scale.
constexpr double kDifferenceTolerance = 2e-3;
// Two evaluations that differ only by float rounding of reordered sums (eV, eV/Angstrom).
constexpr double kRoundingTolerance = 2e-4;

// Forces below this (eV/Angstrom) would make the difference test vacuous.
constexpr double kMeaningfulForce = 0.1;

ModelShape base_shape(const char* family, std::vector<std::string> elements) {
  ModelShape s = test_support::compact_shape(family, std::move(elements), 7);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.5};
  s.l_max_3body = 4;
  s.n_max_angular = 2;
  s.basis_size_angular = 3;
  s.hidden_neurons = 4;
  return s;
}

std::vector<ModelCase> force_cases() {
  std::vector<ModelCase> cases;
  cases.push_back({"Nep4OneType", base_shape("nep4", {"C"})});
  ModelCase q{"Nep4TwoTypesAllCouplings", base_shape("nep4", {"C", "H"})};
  q.shape.q222 = 1;
  q.shape.coupling_flags = {1, 1, 1, 1, 1};
  cases.push_back(q);
  cases.push_back({"Nep5ThreeTypes", base_shape("nep5", {"C", "H", "O"})});
  // Per-type cutoffs: lists reach the largest, so some listed pairs lie beyond their own pair cutoff.
  ModelCase typewise_cutoffs{"Nep4TypewiseCutoffs", base_shape("nep4", {"C", "H"})};
  typewise_cutoffs.shape.cutoff_radial = {4.0, 3.0};
  typewise_cutoffs.shape.cutoff_angular = {3.5, 2.5};
  cases.push_back(typewise_cutoffs);
  ModelCase wide{"Nep4HighOrderManyRadial", base_shape("nep4", {"Si", "O"})};
  wide.shape.l_max_3body = 6;
  wide.shape.n_max_angular = 6;
  cases.push_back(wide);
  // Tiles of two atoms with three types present: the angular kernel takes its atoms grouped by type.
  ModelCase grouped{"Nep4ThreeTypesGroupedTiles", base_shape("nep4", {"C", "H", "N"})};
  grouped.shape.n_max_angular = 7;
  cases.push_back(grouped);
  ModelCase single{"Nep4DegreeOneOneRadial", base_shape("nep4", {"C"})};
  single.shape.l_max_3body = 1;
  single.shape.n_max_angular = 0;
  single.shape.basis_size_angular = 0;
  cases.push_back(single);
  // The largest radial basis and the most radial functions a model file may declare.
  ModelCase radial{"Nep4LargestRadialBasis", base_shape("nep4", {"C", "H"})};
  radial.shape.basis_size_radial = 16;
  radial.shape.n_max_radial = 12;
  cases.push_back(radial);
  ModelCase zbl{"Nep4ZblFixed", base_shape("nep4_zbl", {"C", "H"})};
  zbl.shape.zbl = {1.0, 2.0, std::nullopt};
  cases.push_back(zbl);
  ModelCase typewise{"Nep4ZblTypewise", base_shape("nep4_zbl", {"C", "O"})};
  typewise.shape.zbl = {1.0, 2.0, 0.6};
  cases.push_back(typewise);
  ModelCase flexible{"Nep5ZblFlexible", base_shape("nep5_zbl", {"C", "H"})};
  flexible.shape.zbl = {0.0, 0.0, std::nullopt};
  cases.push_back(flexible);
  return cases;
}

class StructuralForces : public test_support::FlatModelTest {
 protected:
  // A structure with close pairs (so that ZBL acts) in a cell thick enough for no replication.
  Structure structure(unsigned seed, int atoms = 10) const {
    Structure s = test_support::random_structure(atoms, type_count(), 2.2, seed);
    return s;
  }

  Evaluation evaluate(const Structure& s, bool per_atom_virials = true) const {
    return model().evaluate(s, per_atom_virials ? kPotential | kVirialPerAtom : kPotential);
  }

  double energy(const Structure& s) const { return evaluate(s, false).energy; }
};

TEST_P(StructuralForces, ForcesAreMinusTheEnergyGradient) {
  const Structure s = structure(11);
  const Evaluation e = evaluate(s);
  ASSERT_GT(largest_magnitude(e.force), kMeaningfulForce) << "a structure without forces checks nothing";
  const auto energy_of = [&](const Structure& moved) { return energy(moved); };
  test_support::expect_forces_are_minus_the_energy_gradient(e.force, s, every_atom(s.size()), energy_of, kStep,
                                                            kDifferenceTolerance, kRoundingTolerance);
}

// W = -dE/d(strain) with positions and cell strained together; the energy is rotation invariant, so W is
// symmetric and the order of its indices does not matter.
TEST_P(StructuralForces, VirialIsMinusTheStrainDerivative) {
  const Structure s = structure(12);
  const auto energy_of = [&](const Structure& strained) { return energy(strained); };
  test_support::expect_virial_is_minus_the_strain_derivative(evaluate(s).virial, s, energy_of, kStep,
                                                             kDifferenceTolerance);
}

TEST_P(StructuralForces, PerAtomValuesSumToTheTotalsAndTotalsDoNotDependOnTheBooking) {
  const Structure s = structure(13);
  const Evaluation scattered = evaluate(s, true);
  const Evaluation owned = evaluate(s, false);
  double energy_sum = 0.0;
  for (double p : scattered.potential) energy_sum += p;
  EXPECT_NEAR(energy_sum, scattered.energy, kRoundingTolerance);
  test_support::expect_virial_totals_agree(scattered, owned, kRoundingTolerance);
  EXPECT_NEAR(owned.energy, scattered.energy, kRoundingTolerance);
  for (std::size_t k = 0; k < owned.force.size(); ++k) {
    EXPECT_NEAR(owned.force[k], scattered.force[k], kRoundingTolerance);
  }
}

// A rigid rotation with a translation, and a reversed atom order, change nothing but the frame and the labels.
TEST_P(StructuralForces, InvariantUnderRotationTranslationAndReordering) {
  const Structure s = structure(14);
  const Evaluation e = evaluate(s);
  const test_support::Cell rotation = test_support::tilted_rotation(0.7);
  const Evaluation m = evaluate(test_support::moved_and_reversed(s, rotation, {0.37, -1.21, 2.5}));
  EXPECT_NEAR(m.energy, e.energy, kRoundingTolerance);
  const int n = s.size();
  for (int i = 0; i < n; ++i) {
    const Vec3 force{e.force[3 * i], e.force[3 * i + 1], e.force[3 * i + 2]};
    const Vec3 expected = test_support::matrix_times(rotation, force);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(m.force[3 * (n - 1 - i) + c], expected[c], kRoundingTolerance) << i;
    EXPECT_NEAR(m.potential[n - 1 - i], e.potential[i], kRoundingTolerance) << i;
  }
}

void expect_replica_matches(const Evaluation& small, const Evaluation& big, int copies, int atoms) {
  EXPECT_NEAR(big.energy, copies * small.energy, copies * kRoundingTolerance);
  for (int k = 0; k < 9; ++k) EXPECT_NEAR(big.virial[k], copies * small.virial[k], copies * kRoundingTolerance);
  for (int copy = 0; copy < copies; ++copy) {
    for (int i = 0; i < atoms; ++i) {
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(big.force[3 * (copy * atoms + i) + c], small.force[3 * i + c], kRoundingTolerance) << i;
      }
      for (int k = 0; k < 9; ++k) {
        EXPECT_NEAR(big.virial_per_atom[9 * (copy * atoms + i) + k], small.virial_per_atom[9 * i + k],
                    kRoundingTolerance);
      }
    }
  }
}

TEST_P(StructuralForces, SupercellKeepsEnergyPerAtomAndForces) {
  const Structure s = structure(15);
  expect_replica_matches(evaluate(s), evaluate(test_support::repeated_along_first_vector(s, 2)), 2, s.size());
}

// A cell thinner than twice the cutoff along its first vector is replicated by the library; the explicit
// replica thick enough to need none gives the same physics.
TEST_P(StructuralForces, ThinCellEqualsItsExplicitReplica) {
  const Structure thin = test_support::thin_slice(structure(16, 12), 3, 4);
  ASSERT_GE(thin.size(), 2);
  // Keep only atoms that stay apart from each other's images in the replica.
  const Structure replica = test_support::repeated_along_first_vector(thin, 3);
  for (int i = 0; i < replica.size(); ++i) {
    for (int j = 0; j < i; ++j) {
      if (test_support::norm(replica.separation(i, j)) < 0.8) GTEST_SKIP() << "structure too crowded";
    }
  }
  expect_replica_matches(evaluate(thin), evaluate(replica), 3, thin.size());
}

INSTANTIATE_TEST_SUITE_P(Models, StructuralForces, ::testing::ValuesIn(force_cases()),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

}  // namespace
}  // namespace quarvel
