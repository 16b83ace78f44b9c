// The ZBL force launchers: a pair's energy and force against the screened Coulomb form, what the flags and
// targets book, atoms of unknown type, the batched twin, and every refusal.
#include "cuda_backend/zbl_force.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/finite_difference.hpp"
#include "support/force_fixture.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::component_total;
using test_support::ForceOutputs;
using test_support::kUnwritten;
using test_support::StagedStructure;

// Float exponentials and pair sums: relative to the pair energy of a few eV.
constexpr double kFloatRelative = 2e-5;
constexpr double kRoundingTolerance = 1e-4;  // eV, eV/Angstrom: float sums in another order
constexpr int kAtoms = 12;

test_support::ModelShape zbl_shape() {
  test_support::ModelShape s = test_support::compact_shape("nep4_zbl", {"C", "O"}, 4);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.0};
  s.zbl = {1.0, 2.2, std::nullopt};
  return s;
}

// E(r) of carbon and oxygen with the universal screening and the switch of zbl_shape, in double.
double carbon_oxygen_energy(double r) {
  const double a = 0.46848 / (std::pow(6.0, 0.23) + std::pow(8.0, 0.23));
  const double coefficients[4] = {0.18175, 0.50986, 0.28022, 0.02817};
  const double exponents[4] = {3.1998, 0.94229, 0.4029, 0.20162};
  double phi = 0.0;
  for (int k = 0; k < 4; ++k) phi += coefficients[k] * std::exp(-exponents[k] * r / a);
  const double fs = r < 1.0 ? 1.0 : 0.5 * std::cos(M_PI * (r - 1.0) / 1.2) + 0.5;
  return fs * 14.399645 * 48.0 * phi / r;
}

class ZblForces : public test_support::DeviceTest {
 protected:
  ForceOutputs run(StagedStructure& s, bool energy_and_virial, VirialTarget target, int atoms) {
    s.fill_outputs(0.0);
    accumulate_zbl_forces_on_device(s.protocol(), atoms, s.structure.box(), s.model->device, s.workspace,
                                    energy_and_virial, target);
    return s.outputs();
  }
};

// Two atoms 1.6 Angstrom apart (inside the switch) in a large cell: half the pair energy each, equal and
// opposite forces along the pair, pair virial -d (x) F/2 on each.
TEST_F(ZblForces, IsolatedPairFollowsTheScreenedCoulombForm) {
  StagedStructure s = test_support::stage_for_forces(zbl_shape(), 2, 41);
  s.structure.positions = {{1.0, 1.0, 1.0}, {2.2, 1.8, 1.0 + std::sqrt(1.6 * 1.6 - 1.2 * 1.2 - 0.8 * 0.8)}};
  s.structure.types = {0, 1};
  s.lists = test_support::brute_force_lists(s.structure, 4.0, 3.0, 2);
  test_support::stage_structures({s.structure}, {s.lists}, s.view());
  const std::size_t a = s.view().atom_capacity;
  const ForceOutputs o = run(s, true, VirialTarget::fp64_owner, 2);
  const double r = 1.6;
  const double energy = carbon_oxygen_energy(r);
  const double step = 1e-6;
  const double slope = test_support::central_difference([&](double h) { return carbon_oxygen_energy(r + h); }, step);
  EXPECT_NEAR(o.potential[0] + o.potential[1], energy, kFloatRelative * energy);
  EXPECT_NEAR(o.potential[0], o.potential[1], kFloatRelative * energy);
  for (int c = 0; c < 3; ++c) {
    const double d = s.structure.positions[1][c] - s.structure.positions[0][c];
    EXPECT_NEAR(o.force[c * a], slope * d / r, kFloatRelative * std::abs(slope));  // pushed away from atom 1
    EXPECT_NEAR(o.force[c * a + 1], -o.force[c * a], kFloatRelative * std::abs(slope));
  }
}

TEST_F(ZblForces, ForcesOnlyLeaveEnergyAndVirialAloneAndBookingsAgree) {
  StagedStructure s = test_support::stage_for_forces(zbl_shape(), kAtoms, 42);
  const std::size_t a = s.view().atom_capacity;
  s.fill_outputs(kUnwritten);
  accumulate_zbl_forces_on_device(s.protocol(), kAtoms, s.structure.box(), s.model->device, s.workspace, false,
                                  VirialTarget::fp64_scatter);
  const ForceOutputs forces_only = s.outputs();
  EXPECT_THAT(forces_only.potential, ::testing::Each(kUnwritten));
  EXPECT_THAT(forces_only.virial, ::testing::Each(kUnwritten));
  const ForceOutputs none = run(s, true, VirialTarget::none, kAtoms);  // energies bring the owner virial along
  const ForceOutputs owner = run(s, true, VirialTarget::fp64_owner, kAtoms);
  const ForceOutputs scatter = run(s, true, VirialTarget::fp64_scatter, kAtoms);
  double largest = 0.0;
  for (int i = 0; i < kAtoms; ++i) {
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(forces_only.force[c * a + i] - kUnwritten, owner.force[c * a + i], kRoundingTolerance);
      largest = std::max(largest, std::abs(owner.force[c * a + i]));
    }
    for (int k = 0; k < 9; ++k) {
      EXPECT_EQ(none.virial[k * a + i], owner.virial[k * a + i]);
      EXPECT_NEAR(scatter.virial[k * a + i], owner.virial[k * a + i], kRoundingTolerance) << "atom " << i;
    }
  }
  EXPECT_GT(largest, 0.01) << "the structure must have close pairs";
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(component_total(owner.force, a, kAtoms, c), 0.0, kRoundingTolerance);
}

// The float sink of the device LAMMPS path: the owner virial in double as without it, and each pair term in
// float on the neighbor, where the scatter booking puts it.
TEST_F(ZblForces, FloatSinkBooksTheOwnerVirialAndTheNeighborTermsInFloat) {
  StagedStructure s = test_support::stage_for_forces(zbl_shape(), kAtoms, 45, true);
  const std::size_t a = s.view().atom_capacity;
  const ForceOutputs owner = run(s, true, VirialTarget::fp64_owner, kAtoms);
  const ForceOutputs scatter = run(s, true, VirialTarget::fp64_scatter, kAtoms);
  const ForceOutputs sink = run(s, true, VirialTarget::float_sink, kAtoms);
  double largest = 0.0;
  for (int i = 0; i < kAtoms; ++i) {
    EXPECT_EQ(sink.potential[i], owner.potential[i]);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(sink.force[c * a + i], owner.force[c * a + i]);
    for (int k = 0; k < 9; ++k) {
      EXPECT_EQ(sink.virial[k * a + i], owner.virial[k * a + i]);
      EXPECT_NEAR(sink.sink[k * a + i], scatter.virial[k * a + i], kRoundingTolerance) << "atom " << i;
      largest = std::max(largest, std::abs(scatter.virial[k * a + i]));
    }
  }
  EXPECT_GT(largest, 0.01) << "the structure must have close pairs";
  EXPECT_THAT(owner.sink, ::testing::Each(0.0f));  // the sink is written only when it is the target
}

// The batched twin reads each atom's cell from the workspace and always books energies and virials.
TEST_F(ZblForces, BatchedKernelMatchesTheOneSetKernel) {
  StagedStructure s = test_support::stage_for_forces(zbl_shape(), kAtoms, 44);
  const std::size_t a = s.view().atom_capacity;
  for (const VirialTarget target : {VirialTarget::fp64_owner, VirialTarget::fp64_scatter}) {
    const ForceOutputs one = run(s, true, target, kAtoms);
    s.fill_outputs(0.0);
    accumulate_zbl_forces_batched(s.protocol(), kAtoms, s.model->device, s.workspace, target);
    const ForceOutputs batched = s.outputs();
    for (int i = 0; i < kAtoms; ++i) {
      EXPECT_NEAR(batched.potential[i], one.potential[i], kRoundingTolerance);
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(batched.force[c * a + i], one.force[c * a + i], kRoundingTolerance);
      for (int k = 0; k < 9; ++k) EXPECT_NEAR(batched.virial[k * a + i], one.virial[k * a + i], kRoundingTolerance);
    }
  }
}

TEST_F(ZblForces, AtomsOfUnknownTypeNeitherReceiveNorCause) {
  StagedStructure s = test_support::stage_for_forces(zbl_shape(), kAtoms, 43);
  const std::size_t a = s.view().atom_capacity;
  s.make_first_atom_unknown();
  const ForceOutputs o = run(s, true, VirialTarget::fp64_owner, kAtoms);
  // Atom 0 is skipped entirely: its entries stay zero, and no other atom feels it.
  EXPECT_EQ(o.potential[0], 0.0);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(o.force[c * a], 0.0);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(component_total(o.force, a, kAtoms, c), 0.0, kRoundingTolerance);
}

std::vector<test_support::LauncherRefusal> zbl_refusals() {
  const auto same = [](ModelProtocol&) {};
  const VirialTarget owner = VirialTarget::fp64_owner;
  return {
      {"FloatSinkMissing", false, VirialTarget::float_sink, same, nullptr, "workspace missing per-atom virial sink"},
      {"BatchedWithoutVirial", true, VirialTarget::none, same, nullptr,
       "batched ZBL forces require an FP64 virial target"},
      {"NotAZblModel", false, owner, [](ModelProtocol& p) { p.has_zbl = false; }, nullptr,
       "ZBL force kernel requires a ZBL model"},
      {"TooManyTypesForTheTables", false, owner, [](ModelProtocol& p) { p.num_types = 3; }, nullptr,
       "model atomic number buffer is too small"},
      {"NoStructureMap", true, owner, same, "atom_to_structure", "workspace missing atom_to_structure"},
      {"NoBoxes", true, owner, same, "boxes_row_major9", "workspace missing boxes"},
      {"NoInverses", true, owner, same, "box_inverse_row_major9", "workspace missing box inverses"},
      {"NoPbc", true, owner, same, "pbc_flags3", "workspace missing pbc flags"},
      {"NoTypesArray", true, owner, same, "types", "workspace missing atom types"},
      {"NoPositions", false, owner, same, "positions_soa3", "workspace missing positions"},
      {"NoCounts", false, owner, same, "nn_radial", "workspace missing radial counts"},
      {"NoNeighbors", false, owner, same, "nl_radial_slot_major", "workspace missing radial neighbors"},
      {"NoPotential", false, VirialTarget::none, same, "potential", "workspace missing potential output"},
      {"NoForce", false, owner, same, "force_soa3", "workspace missing force output"},
      {"NoVirialEvenForForcesOnly", false, VirialTarget::none, same, "virial_soa9", "workspace missing virial output"},
  };
}

class ZblLauncherRefuses : public test_support::LauncherRefusalTest {};

TEST_P(ZblLauncherRefuses, WithItsMessage) {
  const auto one_set = [](const ModelProtocol& p, int atoms, const DeviceModel& model, DeviceWorkspace& workspace,
                          VirialTarget target) {
    accumulate_zbl_forces_on_device(p, atoms, SimulationBox{}, model, workspace, false, target);
  };
  test_support::expect_launcher_refusal(GetParam(), zbl_shape(), one_set, accumulate_zbl_forces_batched);
}

INSTANTIATE_TEST_SUITE_P(Limits, ZblLauncherRefuses, ::testing::ValuesIn(zbl_refusals()),
                         [](const auto& refusal) { return std::string(refusal.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
