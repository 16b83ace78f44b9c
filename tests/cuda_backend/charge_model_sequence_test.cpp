// Charge models through the flat interface: energies, forces, virials, charges and Born effective charges of
// whole structures, checked against what physics makes exact (the energy's finite differences and strain
// derivative, neutrality, the acoustic sum rule of the effective charges, invariances).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
using test_support::kChargeAndBec;
using test_support::kPotential;
using test_support::kVirialPerAtom;
using test_support::Evaluation;
using test_support::FlatOutputs;
using test_support::ModelCase;
using test_support::ModelShape;
using test_support::Structure;
using test_support::Vec3;

constexpr double kCutoff = 4.0;  // Angstrom: radial cutoff of every case; alpha = pi / kCutoff
// Central differences over double positions of an energy with float network terms and float-rounded pair
// separations: the step balances that rounding (about 1e-7 relative, divided by the step) against truncation.
constexpr double kStep = 2e-3;  // Angstrom, and strain
constexpr double kDifferenceTolerance = 2e-3;  // relative to the largest force or virial, as set above
// Sums whose terms are float pair contributions of the effective charges (e).
constexpr double kFloatSumTolerance = 2e-5;
// Two evaluations that differ only in the order of float sums.
constexpr double kRoundingTolerance = 2e-4;
constexpr double kMeaningfulForce = 0.1;  // eV/Angstrom: below it a difference test would be vacuous

ModelShape charge_shape(const char* family, std::vector<std::string> elements) {
  ModelShape s = test_support::compact_shape(family, std::move(elements), 5);
  s.cutoff_radial = {kCutoff};
  s.cutoff_angular = {3.5};
  s.hidden_neurons = 4;
  return s;
}

std::vector<ModelCase> charge_cases() {
  std::vector<ModelCase> cases;
  cases.push_back({"Ewald", charge_shape("nep4_charge1", {"Na", "Cl"})});
  cases.push_back({"ReciprocalOnly", charge_shape("nep4_charge2", {"Na", "Cl"})});
  cases.push_back({"ShiftedForce", charge_shape("nep4_charge3", {"Mg", "O", "H"})});
  ModelCase zbl{"EwaldWithZbl", charge_shape("nep4_zbl_charge1", {"Li", "F"})};
  zbl.shape.zbl = {1.0, 2.0, std::nullopt};
  cases.push_back(zbl);
  ModelCase typewise{"ShiftedForceTypewiseCutoffs", charge_shape("nep4_charge3", {"Na", "Cl"})};
  typewise.shape.cutoff_radial = {kCutoff, 3.0};
  typewise.shape.cutoff_angular = {3.5, 2.5};
  cases.push_back(typewise);
  return cases;
}

class ChargeModelRoad : public test_support::FlatModelTest {
 protected:
  // Atoms in a cell whose planes lie more than two cutoffs apart (no replication), close enough to interact.
  Structure structure(unsigned seed, int atoms = 16) const {
    return test_support::random_structure(atoms, type_count(), kCutoff, seed);
  }

  // Several structures in one batch, each with all outputs.
  std::vector<Evaluation> evaluate_batch(const std::vector<Structure>& structures, bool per_atom_virials = true) const {
    return model().evaluate_batch(structures, outputs(per_atom_virials));
  }

  Evaluation evaluate(const Structure& s, bool per_atom_virials = true) const {
    return model().evaluate(s, outputs(per_atom_virials));
  }
  double energy(const Structure& s) const { return evaluate(s, false).energy; }

 private:
  static FlatOutputs outputs(bool per_atom_virials) {
    const FlatOutputs all = kPotential | kChargeAndBec;
    return per_atom_virials ? all | kVirialPerAtom : all;
  }
};

TEST_P(ChargeModelRoad, ForcesAreMinusTheEnergyGradient) {
  const Structure s = structure(21);
  const Evaluation e = evaluate(s);
  ASSERT_GT(largest_magnitude(e.force), kMeaningfulForce) << "a structure without forces checks nothing";
  const auto energy_of = [&](const Structure& moved) { return energy(moved); };
  test_support::expect_forces_are_minus_the_energy_gradient(e.force, s, every_atom(s.size(), 3), energy_of, kStep,
                                                            kDifferenceTolerance, kRoundingTolerance);
}

// W = -dE/d(strain), positions and cell strained together.
TEST_P(ChargeModelRoad, VirialIsMinusTheStrainDerivative) {
  const Structure s = structure(22);
  const Evaluation e = evaluate(s);
  const auto energy_of = [&](const Structure& strained) { return energy(strained); };
  test_support::expect_virial_is_minus_the_strain_derivative(e.virial, s, energy_of, kStep, kDifferenceTolerance);
  // The per-structure virial is the sum of the per-atom ones, and both booking targets give it.
  const double scale = std::max(1.0, largest_magnitude(e.virial));
  test_support::expect_virial_totals_agree(e, evaluate(s, false), kRoundingTolerance * scale);
}

TEST_P(ChargeModelRoad, ChargesAreNeutralAndEffectiveChargesSumToZero) {
  const Structure s = structure(23);
  const Evaluation e = evaluate(s);
  double total = 0.0;
  for (double q : e.charge) total += q;
  EXPECT_NEAR(total, 0.0, 1e-12);  // the mean was subtracted in double precision
  ASSERT_GT(largest_magnitude(e.charge), 1e-3) << "charges that vanish check nothing";
  for (int k = 0; k < 9; ++k) {
    double sum = 0.0;
    for (int i = 0; i < s.size(); ++i) sum += e.bec[9 * i + k];
    // Pair terms cancel between the two atoms of each pair; the diagonal adds the (zero) total charge.
    EXPECT_NEAR(sum, 0.0, kFloatSumTolerance) << "component " << k;
  }
}

TEST_P(ChargeModelRoad, InvariantUnderTranslation) {
  const Structure s = structure(24);
  Structure moved = s;
  for (Vec3& r : moved.positions) {
    r[0] += 0.37;
    r[1] -= 1.21;
    r[2] += 2.53;
  }
  const Evaluation e = evaluate(s);
  const Evaluation f = evaluate(moved);
  const double scale = std::max(1.0, largest_magnitude(e.force));
  EXPECT_NEAR(f.energy, e.energy, kRoundingTolerance * std::max(1.0, std::abs(e.energy)));
  for (std::size_t k = 0; k < e.force.size(); ++k) EXPECT_NEAR(f.force[k], e.force[k], kRoundingTolerance * scale);
  for (std::size_t k = 0; k < e.charge.size(); ++k) EXPECT_NEAR(f.charge[k], e.charge[k], kRoundingTolerance);
  for (std::size_t k = 0; k < e.bec.size(); ++k) EXPECT_NEAR(f.bec[k], e.bec[k], kRoundingTolerance);
}

// Each structure of a batch is evaluated as if alone, and its rows land at its own atoms.
TEST_P(ChargeModelRoad, BatchMembersMatchSingleEvaluations) {
  const std::vector<Structure> structures = {structure(25, 12), structure(26, 17)};
  const std::vector<Evaluation> batch = evaluate_batch(structures);
  for (std::size_t s = 0; s < structures.size(); ++s) {
    const Evaluation alone = evaluate(structures[s]);
    EXPECT_EQ(batch[s].energy, alone.energy) << "structure " << s;
    EXPECT_EQ(batch[s].charge, alone.charge) << "structure " << s;
    // Forces on neighbours and the pair terms of the effective charges are double atomic adds, which may land in
    // another order: double rounding of terms of a few eV/Angstrom (or e).
    for (std::size_t k = 0; k < alone.force.size(); ++k) {
      EXPECT_NEAR(batch[s].force[k], alone.force[k], 1e-12) << "structure " << s << " value " << k;
    }
    for (std::size_t k = 0; k < alone.bec.size(); ++k) {
      EXPECT_NEAR(batch[s].bec[k], alone.bec[k], 1e-12) << "structure " << s << " value " << k;
    }
  }
}

// A cell thinner than twice the cutoff is replicated by the driver; its explicit 2 x 2 x 2 replica needs none.
TEST_P(ChargeModelRoad, ThinCellMatchesItsExplicitReplica) {
  const Structure thin = test_support::random_structure(5, type_count(), 2.0, 27);
  Structure replica;
  for (int k = 0; k < 9; ++k) replica.cell[k] = 2.0 * thin.cell[k];
  for (int copy = 0; copy < 8; ++copy) {
    const Vec3 shift = test_support::matrix_times(thin.cell, {double(copy & 1), double((copy >> 1) & 1),
                                                              double((copy >> 2) & 1)});
    for (int i = 0; i < thin.size(); ++i) {
      replica.types.push_back(thin.types[i]);
      replica.positions.push_back(
          {thin.positions[i][0] + shift[0], thin.positions[i][1] + shift[1], thin.positions[i][2] + shift[2]});
    }
  }
  const Evaluation e = evaluate(thin);
  const Evaluation f = evaluate(replica);
  // Same atoms and images; only summation orders differ (float network sums, double atomics).
  EXPECT_NEAR(f.energy / replica.size(), e.energy / thin.size(), kRoundingTolerance);
  for (int i = 0; i < thin.size(); ++i) {
    EXPECT_NEAR(f.charge[i], e.charge[i], kRoundingTolerance) << "atom " << i;
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(f.force[3 * i + c], e.force[3 * i + c], kRoundingTolerance) << "atom " << i;
    for (int c = 0; c < 9; ++c) EXPECT_NEAR(f.bec[9 * i + c], e.bec[9 * i + c], kRoundingTolerance) << "atom " << i;
  }
}

// Two atoms at one position: the pair has no direction, and like every other force term the real-space charge
// term skips it instead of dividing by its zero distance.
TEST_P(ChargeModelRoad, CoincidentPairGivesFiniteResults) {
  Structure s = structure(28);
  s.positions[1] = s.positions[0];
  const Evaluation e = evaluate(s);
  EXPECT_TRUE(std::isfinite(e.energy));
  for (const std::vector<double>* values : {&e.potential, &e.force, &e.virial_per_atom, &e.charge, &e.bec}) {
    for (double value : *values) EXPECT_TRUE(std::isfinite(value));
  }
  for (double value : e.virial) EXPECT_TRUE(std::isfinite(value));
}

INSTANTIATE_TEST_SUITE_P(Families, ChargeModelRoad, ::testing::ValuesIn(charge_cases()),
                         [](const ::testing::TestParamInfo<ModelCase>& c) { return std::string(c.param.name); });

}  // namespace
}  // namespace quarvel
