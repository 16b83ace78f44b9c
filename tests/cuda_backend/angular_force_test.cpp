// The angular force launchers on one staged structure: what each virial target books, the type-grouped tiles,
// and every refusal.
#include "cuda_backend/angular_force.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "support/angular_force_reference.hpp"
#include "support/force_fixture.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::component_total;
using test_support::ForceOutputs;
using test_support::kUnwritten;
using test_support::StagedStructure;

// Float pair gradients summed in another order (atomics, lane groups, the float sink itself), eV/Angstrom and eV.
constexpr double kRoundingTolerance = 2e-5;
constexpr int kAtoms = 11;
// Float pulls and pair gradients over a dozen neighbors against double arithmetic, relative to the value's size.
constexpr double kFloatRelative = 1e-4;

// Seven angular radial functions make tiles of two atoms, so three types in a block select the grouped order.
test_support::ModelShape angular_shape(int n_max_angular, int l_max) {
  test_support::ModelShape s = test_support::compact_shape("nep4", {"C", "H", "O"}, 9);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.6};
  s.n_max_angular = n_max_angular;
  s.basis_size_angular = 3;
  s.l_max_3body = l_max;
  s.q222 = 1;
  s.coupling_flags = {1, 1};
  return s;
}

class AngularForces : public test_support::DeviceTest {
 protected:
  ForceOutputs run(StagedStructure& s, VirialTarget target, bool batched = false) {
    s.fill_outputs(0.0);
    if (batched) {
      accumulate_l2_angular_forces_batched(s.protocol(), s.atoms(), s.model->device,
                                           s.workspace, target);
    } else {
      accumulate_l2_angular_forces_on_device(s.protocol(), s.atoms(), s.model->device,
                                             s.workspace, target);
    }
    return s.outputs();
  }
};

TEST_F(AngularForces, EveryTargetGivesTheSameForcesAndTotalVirial) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(3, 4), kAtoms, 31, true);
  const std::size_t a = s.view().atom_capacity;
  const ForceOutputs none = run(s, VirialTarget::none);
  const ForceOutputs owner = run(s, VirialTarget::fp64_owner);
  const ForceOutputs scatter = run(s, VirialTarget::fp64_scatter);
  const ForceOutputs sink = run(s, VirialTarget::float_sink);
  const ForceOutputs batched = run(s, VirialTarget::fp64_scatter, true);
  double largest = 0.0;
  for (std::size_t e = 0; e < 3 * a; ++e) {
    for (const ForceOutputs* o : {&owner, &scatter, &sink, &batched}) {
      EXPECT_NEAR(o->force[e], none.force[e], kRoundingTolerance);
    }
    largest = std::max(largest, std::abs(none.force[e]));
  }
  EXPECT_GT(largest, 0.01) << "the structure must have angular forces to compare";
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(component_total(none.force, a, kAtoms, c), 0.0, kRoundingTolerance);
  EXPECT_THAT(none.virial, ::testing::Each(0.0));
  for (int k = 0; k < 9; ++k) {
    const double total = component_total(owner.virial, a, kAtoms, k);
    EXPECT_NEAR(component_total(scatter.virial, a, kAtoms, k), total, kRoundingTolerance);
    // The sink variant books on the centre in double and on the neighbour in float: the same pair terms twice.
    EXPECT_NEAR(component_total(sink.virial, a, kAtoms, k), total, kRoundingTolerance);
    for (int i = 0; i < kAtoms; ++i) {
      EXPECT_NEAR(sink.sink[k * a + i], scatter.virial[k * a + i], kRoundingTolerance) << "atom " << i;
      EXPECT_NEAR(batched.virial[k * a + i], scatter.virial[k * a + i], kRoundingTolerance) << "atom " << i;
    }
  }
}

// Forces and owner virials from the device's sums and fp, recomputed in double: the pull as the gradient of each
// radial function's channel energy, each pair's gradient v by differences of its share of the sums, then
// F_i += v, F_j -= v and W_i -= d (x) v.
TEST_F(AngularForces, MatchesTheDoublePrecisionReference) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(3, 4), kAtoms, 35);
  const ForceOutputs device = run(s, VirialTarget::fp64_owner);
  const ModelProtocol& p = s.protocol();
  const std::size_t a = s.view().atom_capacity;
  const int abc = p.body_channels.abc_count();
  const int channels = p.body_channels.channel_count();
  const int radial = p.n_max_angular + 1;
  const int nb = p.basis_size_angular + 1;
  const std::vector<float> sums = test_support::download(s.view().sum_fxyz, static_cast<std::size_t>(radial) * abc * a);
  const std::vector<float> fp = test_support::download(s.view().fp, static_cast<std::size_t>(p.descriptor_dim) * a);
  const test_support::AngularChannels c{p.body_channels.l_max_3body, {1, 1, 1, 0, 0, 0}};
  std::vector<std::array<double, 3>> force(kAtoms, {0.0, 0.0, 0.0});
  std::vector<std::array<double, 9>> virial(kAtoms, std::array<double, 9>{});
  const int rows[9] = {0, 1, 2, 0, 0, 1, 1, 2, 2};  // device order xx, yy, zz, xy, xz, yz, yx, zx, zy
  const int columns[9] = {0, 1, 2, 1, 2, 2, 0, 0, 1};
  for (int i = 0; i < kAtoms; ++i) {
    std::vector<std::vector<double>> pull;
    for (int n = 0; n < radial; ++n) {
      std::vector<double> sn(abc);
      std::vector<double> fpn(channels);
      for (int k = 0; k < abc; ++k) sn[k] = sums[(n * abc + k) * a + i];
      for (int ch = 0; ch < channels; ++ch) fpn[ch] = fp[(p.n_max_radial + 1 + ch * radial + n) * a + i];
      pull.push_back(test_support::channel_energy_gradient(c, sn, fpn));
    }
    for (const int j : s.lists.angular[i]) {
      const std::vector<float>& table = s.model->written.angular_by_pair[s.structure.types[i] * p.num_types +
                                                                          s.structure.types[j]];
      std::vector<std::vector<double>> coefficients(radial, std::vector<double>(nb));
      for (int n = 0; n < radial; ++n) {
        for (int b = 0; b < nb; ++b) coefficients[n][b] = table[n * nb + b];
      }
      const test_support::Vec3 d = s.structure.separation(i, j);
      const test_support::Vec3 v =
          test_support::pair_angular_gradient(c.l_max, pull, coefficients, p.cutoff_angular, d);
      for (int axis = 0; axis < 3; ++axis) {
        force[i][axis] += v[axis];
        force[j][axis] -= v[axis];
      }
      for (int q = 0; q < 9; ++q) virial[i][q] -= d[rows[q]] * v[columns[q]];
    }
  }
  double largest = 0.0;
  for (int i = 0; i < kAtoms; ++i) {
    for (int axis = 0; axis < 3; ++axis) {
      const double expected = force[i][axis];
      largest = std::max(largest, std::abs(expected));
      EXPECT_NEAR(device.force[axis * a + i], expected, kFloatRelative * std::max(1.0, std::abs(expected))) << i;
    }
    for (int q = 0; q < 9; ++q) {
      const double expected = virial[i][q];
      EXPECT_NEAR(device.virial[q * a + i], expected, kFloatRelative * std::max(1.0, std::abs(expected))) << i;
    }
  }
  EXPECT_GT(largest, 0.01) << "the structure must have angular forces to compare";
}

// Tiles of two atoms with three types in their schedule block read the atoms grouped by type and the
// centre-type-major coefficients; a block reporting one type takes the natural order and the type-pair-major
// coefficients. Both must give the same forces.
TEST_F(AngularForces, GroupedTilesMatchTheNaturalOrder) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(6, 5), kAtoms, 32);
  const std::size_t a = s.view().atom_capacity;
  const ForceOutputs grouped = run(s, VirialTarget::fp64_owner);
  const DeviceWorkspaceView v = s.view();
  std::vector<std::int32_t> counts(1, 1);
  test_support::upload(v.type_schedule_active_type_counts, counts);
  s.fill_outputs(0.0);
  accumulate_l2_angular_forces_on_device(s.protocol(), kAtoms, s.model->device,
                                         s.workspace, VirialTarget::fp64_owner);
  const ForceOutputs natural = s.outputs();
  for (std::size_t e = 0; e < 3 * a; ++e) EXPECT_NEAR(grouped.force[e], natural.force[e], kRoundingTolerance);
  for (std::size_t e = 0; e < 9 * a; ++e) EXPECT_NEAR(grouped.virial[e], natural.virial[e], kRoundingTolerance);
}

TEST_F(AngularForces, ZeroDistanceSlotsAreSkipped) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(1, 2), kAtoms, 33);
  const std::size_t a = s.view().atom_capacity;
  ASSERT_GT(s.lists.angular[0].size(), 0u);
  const ForceOutputs before = run(s, VirialTarget::fp64_owner);
  // Atom 0's first pair cached at distance 0: it contributes nothing (and divides by nothing).
  test_support::upload(s.view().r12_angular, std::vector<float>(1, 0.0f));
  const ForceOutputs after = run(s, VirialTarget::fp64_owner);
  for (std::size_t e = 0; e < 3 * a; ++e) EXPECT_TRUE(std::isfinite(after.force[e]));
  double change = 0.0;
  for (std::size_t e = 0; e < 3 * a; ++e) change += std::abs(after.force[e] - before.force[e]);
  EXPECT_GT(change, 0.0);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(component_total(after.force, a, kAtoms, c), 0.0, kRoundingTolerance);
}

TEST_F(AngularForces, AtomsOfUnknownTypeNeitherReceiveNorCause) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(3, 4), kAtoms, 36);
  const std::size_t a = s.view().atom_capacity;
  s.make_first_atom_unknown();
  const ForceOutputs o = run(s, VirialTarget::fp64_scatter);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(o.force[c * a], 0.0);
    EXPECT_NEAR(component_total(o.force, a, kAtoms, c), 0.0, kRoundingTolerance);
  }
  for (int k = 0; k < 9; ++k) EXPECT_EQ(o.virial[k * a], 0.0);
}

TEST_F(AngularForces, NoAtomsLaunchesNothingAndUnknownTargetsNothingEither) {
  StagedStructure s = test_support::stage_for_forces(angular_shape(1, 2), kAtoms, 34);
  s.fill_outputs(kUnwritten);
  auto& workspace = s.workspace;
  accumulate_l2_angular_forces_on_device(s.protocol(), 0, s.model->device, workspace, VirialTarget::float_sink);
  accumulate_l2_angular_forces_on_device(s.protocol(), kAtoms, s.model->device, workspace,
                                         static_cast<VirialTarget>(7));
  accumulate_l2_angular_forces_batched(s.protocol(), 0, s.model->device, workspace, VirialTarget::fp64_owner);
  EXPECT_THAT(s.outputs().force, ::testing::Each(kUnwritten));
}

std::vector<test_support::LauncherRefusal> angular_refusals() {
  const auto same = [](ModelProtocol&) {};
  const VirialTarget owner = VirialTarget::fp64_owner;
  return {
      {"BatchedWithoutVirial", true, VirialTarget::none, same, "types",
       "batched angular forces require an FP64 virial target"},
      {"BatchedFloatSink", true, VirialTarget::float_sink, same, nullptr,
       "batched angular forces require an FP64 virial target"},
      {"NoTypes", false, owner, [](ModelProtocol& p) { p.num_types = 0; }, nullptr, "num_types must be positive"},
      {"RadialOrderTooHigh", false, owner, [](ModelProtocol& p) { p.n_max_angular = 9; }, nullptr,
       "angular force kernel supports n_max_angular 0..8"},
      {"NoAngularOrder", false, owner, [](ModelProtocol& p) { p.body_channels.l_max_3body = 0; }, nullptr,
       "angular force kernel supports l_max_3body 1..8"},
      {"Q222BelowDegreeTwo", false, owner, [](ModelProtocol& p) { p.body_channels.l_max_3body = 1; }, nullptr,
       "q222 angular force requires l_max_3body >= 2"},
      {"Q123BelowDegreeThree", false, owner,
       [](ModelProtocol& p) {
         p.body_channels.l_max_3body = 2;
         p.body_channels.has_q_123 = true;
       },
       nullptr, "q123 angular force requires l_max_3body >= 3"},
      {"ZeroCutoff", false, owner, [](ModelProtocol& p) { p.cutoff_angular = 0.0; }, nullptr,
       "angular cutoff must be positive"},
      {"NoTypesArray", false, owner, same, "types", "workspace missing atom types"},
      {"NoSchedule", false, owner, same, "type_scheduled_atoms", "workspace missing atom type schedule"},
      {"NoScheduleCounts", true, owner, same, "type_schedule_active_type_counts",
       "workspace missing atom type schedule active-type counts"},
      {"NoCounts", false, owner, same, "nn_angular", "workspace missing angular counts"},
      {"NoNeighbors", false, owner, same, "nl_angular_slot_major", "workspace missing angular neighbors"},
      {"NoDistances", false, owner, same, "r12_angular", "workspace missing angular distance cache"},
      {"NoGeometry", false, owner, same, "f12y", "workspace missing angular pair geometry"},
      {"NoDerivatives", false, owner, same, "fp", "workspace missing descriptor derivatives"},
      {"NoSums", false, owner, same, "sum_fxyz", "workspace missing angular sums"},
      {"NoForce", false, owner, same, "force_soa3", "workspace missing force output"},
      {"NoVirialEvenWithoutTarget", false, VirialTarget::none, same, "virial_soa9", "workspace missing virial output"},
      {"NoSink", false, VirialTarget::float_sink, same, nullptr, "workspace missing per-atom virial sink"},
  };
}

class AngularLauncherRefuses : public test_support::LauncherRefusalTest {};

TEST_P(AngularLauncherRefuses, WithItsMessage) {
  test_support::expect_launcher_refusal(GetParam(), angular_shape(2, 3), accumulate_l2_angular_forces_on_device,
                                        accumulate_l2_angular_forces_batched);
}

INSTANTIATE_TEST_SUITE_P(Limits, AngularLauncherRefuses, ::testing::ValuesIn(angular_refusals()),
                         [](const auto& refusal) { return std::string(refusal.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
