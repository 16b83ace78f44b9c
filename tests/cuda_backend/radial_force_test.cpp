// The radial force launchers on one staged structure: what each virial target books, clearing, the batched
// kernel, and every refusal.
#include "cuda_backend/radial_force.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cuda_backend/zbl_force.hpp"
#include "support/finite_difference.hpp"
#include "support/force_fixture.hpp"
#include "support/radial_basis_reference.hpp"
#include "support/model_file_writer.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::component_total;
using test_support::kUnwritten;
using test_support::StagedStructure;

// Float pair sums in a different order (owner against scatter booking, gather against its batched twin).
constexpr double kRoundingTolerance = 1e-5;
// Float pair terms summed over a dozen neighbors against double arithmetic, relative to the size of the value.
constexpr double kFloatRelative = 1e-4;
constexpr int kAtoms = 10;

test_support::ModelShape radial_shape() {
  test_support::ModelShape s = test_support::compact_shape("nep4", {"C", "H", "O"}, 5);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.0};
  s.basis_size_radial = 5;
  return s;
}

class RadialForces : public test_support::DeviceTest {
 protected:
  void SetUp() override {
    test_support::DeviceTest::SetUp();
    if (IsSkipped()) return;
    staged_ = test_support::stage_for_forces(radial_shape(), kAtoms, 21);
  }

  test_support::ForceOutputs run(VirialTarget target, bool clear = true) {
    staged_.fill_outputs(kUnwritten);
    accumulate_radial_forces_on_device(staged_.protocol(), kAtoms, staged_.structure.box(), staged_.model->device,
                                       staged_.workspace, target, clear);
    return staged_.outputs();
  }

  std::size_t capacity() const { return staged_.view().atom_capacity; }

  StagedStructure staged_;
};

TEST_F(RadialForces, TargetsShareTheForcesAndBookingsShareTheVirial) {
  const test_support::ForceOutputs none = run(VirialTarget::none);
  const test_support::ForceOutputs owner = run(VirialTarget::fp64_owner);
  const test_support::ForceOutputs scatter = run(VirialTarget::fp64_scatter);
  double largest = 0.0;
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < kAtoms; ++i) {
      const std::size_t at = c * capacity() + i;
      EXPECT_EQ(owner.force[at], none.force[at]);
      EXPECT_NEAR(scatter.force[at], none.force[at], kRoundingTolerance);
      largest = std::max(largest, std::abs(none.force[at]));
    }
    EXPECT_NEAR(component_total(none.force, capacity(), kAtoms, c), 0.0, kRoundingTolerance);  // Newton's third law
  }
  EXPECT_GT(largest, 0.01) << "the structure must have radial forces to compare";
  // Target none leaves the virial alone, not even clearing it.
  EXPECT_THAT(none.virial, ::testing::Each(kUnwritten));
  // A symmetric full list gives the same per-atom virials whichever atom books the pair terms.
  for (int k = 0; k < 9; ++k) {
    for (int i = 0; i < kAtoms; ++i) {
      EXPECT_NEAR(owner.virial[k * capacity() + i], scatter.virial[k * capacity() + i], kRoundingTolerance);
    }
  }
}

// Forces and owner virials from the device's fp, recomputed in double from the written coefficient tables:
// F_i = sum_j (fp_i g'(t_i, t_j) + fp_j g'(t_j, t_i)) d / r and W_i = -sum_j fp_j g'(t_j, t_i) d d^T / r.
TEST_F(RadialForces, MatchesTheDoublePrecisionReference) {
  const test_support::ForceOutputs device = run(VirialTarget::fp64_owner);
  const ModelProtocol& p = staged_.protocol();
  const int types = p.num_types;
  const int nb = p.basis_size_radial + 1;
  const std::vector<float> fp =
      test_support::download(staged_.view().fp, static_cast<std::size_t>(p.descriptor_dim) * capacity());
  const auto slope = [&](int ti, int tj, int n, double r) {
    constexpr double kStep = 1e-6;  // Angstrom; double differences of the double basis
    const std::vector<double> basis_slopes = test_support::central_difference(
        [&](double h) { return test_support::basis_reference(r + h, p.cutoff_radial, nb - 1); }, kStep);
    const std::vector<float>& c = staged_.model->written.radial_by_pair[ti * types + tj];
    double g = 0.0;
    for (int k = 0; k < nb; ++k) g += c[n * nb + k] * basis_slopes[k];
    return g;
  };
  const test_support::Structure& s = staged_.structure;
  for (int i = 0; i < kAtoms; ++i) {
    double force[3] = {0.0, 0.0, 0.0};
    double virial[3][3] = {};
    for (const int j : staged_.lists.radial[i]) {
      const test_support::Vec3 d = s.separation(i, j);
      const double r = test_support::norm(d);
      double along = 0.0;
      double onto_i = 0.0;
      for (int n = 0; n <= p.n_max_radial; ++n) {
        along += fp[n * capacity() + i] * slope(s.types[i], s.types[j], n, r);
        onto_i += fp[n * capacity() + j] * slope(s.types[j], s.types[i], n, r);
      }
      for (int a = 0; a < 3; ++a) {
        force[a] += (along + onto_i) * d[a] / r;
        for (int b = 0; b < 3; ++b) virial[a][b] -= onto_i * d[a] * d[b] / r;
      }
    }
    for (int a = 0; a < 3; ++a) {
      EXPECT_NEAR(device.force[a * capacity() + i], force[a], kFloatRelative * std::max(1.0, std::abs(force[a]))) << i;
    }
    // Device component order xx, yy, zz, xy, xz, yz, yx, zx, zy.
    const int rows[9] = {0, 1, 2, 0, 0, 1, 1, 2, 2};
    const int columns[9] = {0, 1, 2, 1, 2, 2, 0, 0, 1};
    for (int q = 0; q < 9; ++q) {
      const double expected = virial[rows[q]][columns[q]];
      EXPECT_NEAR(device.virial[q * capacity() + i], expected, kFloatRelative * std::max(1.0, std::abs(expected))) << i;
    }
  }
}

TEST_F(RadialForces, WithoutClearingAddsOntoPresentForces) {
  const test_support::ForceOutputs cleared = run(VirialTarget::fp64_owner, true);
  const test_support::ForceOutputs added = run(VirialTarget::fp64_owner, false);
  for (int i = 0; i < kAtoms; ++i) {
    EXPECT_NEAR(added.force[i], cleared.force[i] + kUnwritten, kRoundingTolerance);
    EXPECT_NEAR(added.virial[i], cleared.virial[i] + kUnwritten, kRoundingTolerance);
  }
}

TEST_F(RadialForces, BatchedKernelMatchesTheOneSetKernel) {
  for (const VirialTarget target : {VirialTarget::fp64_owner, VirialTarget::fp64_scatter}) {
    const test_support::ForceOutputs one = run(target);
    staged_.fill_outputs(kUnwritten);
    accumulate_radial_forces_batched(staged_.protocol(), kAtoms, staged_.model->device, staged_.workspace, target);
    const test_support::ForceOutputs batched = staged_.outputs();
    for (int i = 0; i < kAtoms; ++i) {
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(batched.force[c * capacity() + i], one.force[c * capacity() + i], kRoundingTolerance);
      }
      for (int k = 0; k < 9; ++k) {
        EXPECT_NEAR(batched.virial[k * capacity() + i], one.virial[k * capacity() + i], kRoundingTolerance);
      }
    }
    // The batched launcher clears the whole capacity first.
    EXPECT_EQ(batched.force[kAtoms], 0.0);
  }
}

TEST_F(RadialForces, CoincidentAtomsAddNothingAndStayFinite) {
  ASSERT_FALSE(staged_.lists.radial[0].empty());
  const int partner = staged_.lists.radial[0].front();
  std::vector<double> positions = test_support::download(staged_.view().positions_soa3, 3 * capacity());
  for (int c = 0; c < 3; ++c) positions[c * capacity() + partner] = positions[c * capacity()];
  test_support::upload(staged_.view().positions_soa3, positions);
  const test_support::ForceOutputs o = run(VirialTarget::fp64_scatter);
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < kAtoms; ++i) EXPECT_TRUE(std::isfinite(o.force[c * capacity() + i])) << "atom " << i;
    EXPECT_NEAR(component_total(o.force, capacity(), kAtoms, c), 0.0, kRoundingTolerance);
  }
  for (double v : o.virial) EXPECT_TRUE(std::isfinite(v));
}

TEST_F(RadialForces, AtomsOfUnknownTypeNeitherReceiveNorCause) {
  staged_.make_first_atom_unknown();
  const test_support::ForceOutputs o = run(VirialTarget::fp64_scatter);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(o.force[c * capacity()], 0.0);  // cleared, and its own thread adds nothing
    double others = 0.0;
    for (int i = 1; i < kAtoms; ++i) others += o.force[c * capacity() + i];
    EXPECT_NEAR(others, 0.0, kRoundingTolerance);  // no pair with atom 0 booked on one side only
  }
  for (int k = 0; k < 9; ++k) EXPECT_EQ(o.virial[k * capacity()], 0.0);  // cleared, and nobody books on it
}

TEST_F(RadialForces, NoAtomsLaunchesNothing) {
  staged_.fill_outputs(kUnwritten);
  accumulate_radial_forces_on_device(staged_.protocol(), 0, staged_.structure.box(), staged_.model->device,
                                     staged_.workspace, VirialTarget::fp64_scatter, false);
  EXPECT_THAT(staged_.outputs().force, ::testing::Each(kUnwritten));
}

std::vector<test_support::LauncherRefusal> radial_refusals() {
  const auto same = [](ModelProtocol&) {};
  const VirialTarget owner = VirialTarget::fp64_owner;
  return {
      {"FloatSink", false, VirialTarget::float_sink, same, nullptr,
       "internal radial forces do not support the float virial sink"},
      {"BatchedWithoutVirial", true, VirialTarget::none, same, nullptr,
       "batched radial forces require an FP64 virial target"},
      {"NoTypes", false, owner, [](ModelProtocol& p) { p.num_types = 0; }, nullptr, "num_types must be positive"},
      {"NegativeRadialOrder", false, owner, [](ModelProtocol& p) { p.n_max_radial = -1; }, nullptr,
       "n_max_radial must be non-negative"},
      {"NegativeBasis", true, owner, [](ModelProtocol& p) { p.basis_size_radial = -1; }, nullptr,
       "basis_size_radial must be non-negative"},
      {"ZeroCutoff", false, owner, [](ModelProtocol& p) { p.cutoff_radial = 0.0; }, nullptr,
       "radial cutoff must be positive"},
      {"NoTypesArray", false, owner, same, "types", "workspace missing atom types"},
      {"NoPositions", true, owner, same, "positions_soa3", "workspace missing positions"},
      {"NoCounts", false, owner, same, "nn_radial", "workspace missing radial counts"},
      {"NoNeighbors", false, owner, same, "nl_radial_slot_major", "workspace missing radial neighbors"},
      {"NoDerivatives", false, owner, same, "fp", "workspace missing descriptor derivatives"},
      {"NoForce", true, owner, same, "force_soa3", "workspace missing force output"},
      {"NoVirial", false, owner, same, "virial_soa9", "workspace missing virial output"},
      {"NoStructureMap", true, owner, same, "atom_to_structure", "workspace missing atom_to_structure"},
      {"NoBoxes", true, owner, same, "boxes_row_major9", "workspace missing boxes"},
      {"NoInverses", true, owner, same, "box_inverse_row_major9", "workspace missing box inverses"},
      {"NoPbc", true, owner, same, "pbc_flags3", "workspace missing pbc flags"},
  };
}

class RadialLauncherRefuses : public test_support::LauncherRefusalTest {};

TEST_P(RadialLauncherRefuses, WithItsMessage) {
  const auto one_set = [](const ModelProtocol& p, int atoms, const DeviceModel& model, DeviceWorkspace& workspace,
                          VirialTarget target) {
    accumulate_radial_forces_on_device(p, atoms, SimulationBox{}, model, workspace, target, true);
  };
  test_support::expect_launcher_refusal(GetParam(), radial_shape(), one_set, accumulate_radial_forces_batched);
}

INSTANTIATE_TEST_SUITE_P(Limits, RadialLauncherRefuses, ::testing::ValuesIn(radial_refusals()),
                         [](const auto& refusal) { return std::string(refusal.param.name); });

TEST_F(RadialForces, RefusesMoreAtomsThanTheWorkspaceHolds) {
  EXPECT_THAT([&] {
    accumulate_radial_forces_on_device(staged_.protocol(), static_cast<int>(capacity()) + 1, staged_.structure.box(),
                                       staged_.model->device, staged_.workspace, VirialTarget::none, true);
  }, ::testing::ThrowsMessage<std::runtime_error>(::testing::StrEq("atom_count exceeds workspace atom capacity")));
}

// A ZBL model whose radial cutoff covers the ZBL range, with close pairs: what the fused kernel serves.
test_support::ModelShape fused_shape() {
  test_support::ModelShape s = test_support::compact_shape("nep4_zbl", {"C", "O"}, 6);
  s.cutoff_radial = {4.0};
  s.cutoff_angular = {3.0};
  s.basis_size_radial = 5;
  s.zbl = {1.0, 2.2, std::nullopt};
  return s;
}

// Float pair sums of the radial and ZBL terms in one accumulator instead of two, relative to forces of tens of
// eV/Angstrom from the ZBL repulsion of close pairs.
constexpr double kFusedRelative = 2e-5;

class FusedRadialZblForces : public test_support::DeviceTest {};

// The fused kernel gives the radial forces plus the ZBL forces of the separate kernels, and no energy or virial.
TEST_F(FusedRadialZblForces, EqualRadialPlusZblComputedSeparately) {
  StagedStructure s = test_support::stage_for_forces(fused_shape(), kAtoms, 23);
  const std::size_t a = s.view().atom_capacity;
  s.fill_outputs(kUnwritten);
  accumulate_radial_forces_on_device(s.protocol(), kAtoms, s.structure.box(), s.model->device, s.workspace,
                                     VirialTarget::none, true);
  const test_support::ForceOutputs radial = s.outputs();
  accumulate_zbl_forces_on_device(s.protocol(), kAtoms, s.structure.box(), s.model->device, s.workspace, false,
                                  VirialTarget::none);
  const test_support::ForceOutputs separate = s.outputs();

  s.fill_outputs(kUnwritten);
  accumulate_radial_and_zbl_forces_on_device(s.protocol(), kAtoms, s.structure.box(), s.model->device, s.workspace);
  const test_support::ForceOutputs fused = s.outputs();
  double largest_zbl = 0.0;
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < kAtoms; ++i) {
      const std::size_t at = c * a + i;
      const double expected = separate.force[at];
      EXPECT_NEAR(fused.force[at], expected, kFusedRelative * std::max(1.0, std::abs(expected))) << "atom " << i;
      largest_zbl = std::max(largest_zbl, std::abs(separate.force[at] - radial.force[at]));
    }
    EXPECT_EQ(fused.force[c * a + kAtoms], 0.0);  // the whole capacity is cleared first
  }
  EXPECT_GT(largest_zbl, 0.1) << "the structure must have pairs within the ZBL range";
  EXPECT_THAT(fused.potential, ::testing::Each(kUnwritten));
  EXPECT_THAT(fused.virial, ::testing::Each(kUnwritten));
}

std::vector<test_support::LauncherRefusal> fused_refusals() {
  const auto same = [](ModelProtocol&) {};
  const VirialTarget none = VirialTarget::none;
  return {
      {"NoTypes", false, none, [](ModelProtocol& p) { p.num_types = 0; }, nullptr, "num_types must be positive"},
      {"ZeroCutoff", false, none, [](ModelProtocol& p) { p.cutoff_radial = 0.0; }, nullptr,
       "radial cutoff must be positive"},
      {"NotAZblModel", false, none, [](ModelProtocol& p) { p.has_zbl = false; }, nullptr,
       "fused radial/ZBL force kernel requires ZBL"},
      {"FlexibleZbl", false, none, [](ModelProtocol& p) { p.flexible_zbl = true; }, nullptr,
       "flexible ZBL is not supported yet"},
      {"TypewiseZbl", false, none, [](ModelProtocol& p) { p.typewise_zbl = true; }, nullptr,
       "typewise ZBL is not supported by the fused radial/ZBL force kernel"},
      {"NegativeInnerCutoff", false, none, [](ModelProtocol& p) { p.zbl_rc_inner = -0.5; }, nullptr,
       "ZBL inner cutoff must be non-negative"},
      {"OuterNotBeyondInner", false, none, [](ModelProtocol& p) { p.zbl_rc_outer = p.zbl_rc_inner; }, nullptr,
       "ZBL outer cutoff must exceed inner"},
      {"ZblBeyondTheRadialList", false, none, [](ModelProtocol& p) { p.cutoff_radial = 2.0; }, nullptr,
       "fused radial/ZBL force kernel reuses the radial neighbor list"},
      {"TooManyTypesForTheAtomicNumbers", false, none, [](ModelProtocol& p) { p.num_types = 3; }, nullptr,
       "model atomic number buffer is too small"},
      {"NoTypesArray", false, none, same, "types", "workspace missing atom types"},
      {"NoPositions", false, none, same, "positions_soa3", "workspace missing positions"},
      {"NoCounts", false, none, same, "nn_radial", "workspace missing radial counts"},
      {"NoNeighbors", false, none, same, "nl_radial_slot_major", "workspace missing radial neighbors"},
      {"NoDerivatives", false, none, same, "fp", "workspace missing descriptor derivatives"},
      {"NoForce", false, none, same, "force_soa3", "workspace missing force output"},
  };
}

class FusedLauncherRefuses : public test_support::LauncherRefusalTest {};

TEST_P(FusedLauncherRefuses, WithItsMessage) {
  const auto one_set = [](const ModelProtocol& p, int atoms, const DeviceModel& model, DeviceWorkspace& workspace,
                          VirialTarget) {
    accumulate_radial_and_zbl_forces_on_device(p, atoms, SimulationBox{}, model, workspace);
  };
  test_support::expect_launcher_refusal(GetParam(), fused_shape(), one_set);
}

INSTANTIATE_TEST_SUITE_P(Limits, FusedLauncherRefuses, ::testing::ValuesIn(fused_refusals()),
                         [](const auto& refusal) { return std::string(refusal.param.name); });

// The fused kernel books no virial, so a workspace without one serves it.
TEST_F(FusedRadialZblForces, NeedsNoVirialArray) {
  const auto model = test_support::load_model(fused_shape());
  const test_support::LauncherRefusal no_virial{"NoVirial", false, VirialTarget::none, nullptr, "virial_soa9", ""};
  DeviceWorkspace workspace = test_support::refusal_workspace(model->protocol(), no_virial);
  const SimulationBox box{};
  EXPECT_NO_THROW(accumulate_radial_and_zbl_forces_on_device(model->protocol(), 0, box, model->device, workspace));
}

}  // namespace
}  // namespace quarvel::cuda_backend
