#include "cuda_backend/workspace_plan.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::minimal_protocol;
using test_support::spin_protocol;
using ::testing::ElementsAreArray;
using ::testing::ThrowsMessage;
using ::testing::StrEq;

std::vector<std::string> names(const WorkspacePlan& plan) {
  std::vector<std::string> out;
  for (const DeviceArrayPlan& array : plan.arrays) out.push_back(array.name);
  return out;
}

std::uint64_t count_of(const WorkspacePlan& plan, const char* name) {
  const DeviceArrayPlan* array = plan.find_array(name);
  EXPECT_NE(array, nullptr) << name;
  return array == nullptr ? 0 : array->count;
}

TEST(InternalPlan, OrdinaryOneTypeModelHasTheThirtyUnconditionalArraysInOrder) {
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(minimal_protocol(), 7, 2, false);
  EXPECT_EQ(plan.source, NeighborSource::internal);
  EXPECT_EQ(plan.atom_capacity, 7u);
  EXPECT_EQ(plan.active_atom_capacity, 7u);
  EXPECT_EQ(plan.structure_capacity, 2u);
  const std::vector<std::string> expected = {
      "types", "positions_soa3", "potential", "force_soa3", "virial_soa9", "atom_to_structure",
      "structure_atom_counts", "structure_atom_offsets", "boxes_row_major9", "box_inverse_row_major9",
      "pbc_flags3", "output_forces_aos3", "output_virials_per_atom_row_major9", "structure_energy",
      "structure_virial_row_major9", "nn_radial", "nl_radial_slot_major", "nn_angular", "nl_angular_slot_major",
      "cell_counts", "cell_offsets", "cell_fill", "cell_atoms", "atom_cell", "cell_dims", "neighbor_overflow",
      "structure_cell_offsets", "structure_cell_dims4", "fp", "descriptors"};
  EXPECT_THAT(names(plan), ElementsAreArray(expected));
  EXPECT_EQ(count_of(plan, "nl_radial_slot_major"), 70u);
  EXPECT_EQ(count_of(plan, "cell_offsets"), 8u);
  EXPECT_EQ(count_of(plan, "structure_cell_offsets"), 3u);
  EXPECT_EQ(count_of(plan, "cell_dims"), 4u);
  EXPECT_EQ(count_of(plan, "neighbor_overflow"), 3u);
}

TEST(InternalPlan, FindArrayMatchesWholeNamesOnly) {
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(minimal_protocol(), 4, 1, false);
  ASSERT_NE(plan.find_array("fp"), nullptr);
  EXPECT_EQ(plan.find_array("fp")->type, DeviceScalarType::float32);
  EXPECT_EQ(plan.find_array("f12"), nullptr);
  EXPECT_EQ(plan.find_array("f12x"), nullptr);  // no angular channels in the minimal shape
}

TEST(InternalPlan, TypeScheduleCountsGrowPerThousandTwentyFourAtoms) {
  ModelProtocol p = minimal_protocol();
  p.num_types = 2;
  EXPECT_EQ(count_of(make_internal_neighbor_workspace_plan(p, 1, 1, false), "type_schedule_active_type_counts"), 1u);
  EXPECT_EQ(count_of(make_internal_neighbor_workspace_plan(p, 1024, 1, false), "type_schedule_active_type_counts"),
            1u);
  EXPECT_EQ(count_of(make_internal_neighbor_workspace_plan(p, 1025, 1, false), "type_schedule_active_type_counts"),
            2u);
}

TEST(ExternalPlan, PartialSumsGrowPerTwoHundredFiftySixAtoms) {
  const ModelProtocol p = minimal_protocol();
  EXPECT_EQ(count_of(make_external_neighbor_workspace_plan(p, 1, 1, false, false), "neighbor_overflow"), 5u);
  EXPECT_EQ(count_of(make_external_neighbor_workspace_plan(p, 1, 1, false, false), "lammps_partial_sums"), 7u);
  EXPECT_EQ(count_of(make_external_neighbor_workspace_plan(p, 256, 1, false, false), "lammps_partial_sums"), 7u);
  EXPECT_EQ(count_of(make_external_neighbor_workspace_plan(p, 257, 1, false, false), "lammps_partial_sums"), 14u);
}

TEST(ExternalPlan, HasNoStructureOrCellArraysAndEndsWithTheFloatSink) {
  const WorkspacePlan plan = make_external_neighbor_workspace_plan(minimal_protocol(), 9, 9, true, false);
  EXPECT_EQ(plan.source, NeighborSource::external);
  EXPECT_EQ(plan.structure_capacity, 0u);
  EXPECT_EQ(plan.active_atom_capacity, 9u);
  const std::vector<std::string> expected = {
      "types", "positions_soa3", "potential", "force_soa3", "virial_soa9", "active_atom_indices", "nn_radial",
      "nl_radial_slot_major", "nn_angular", "nl_angular_slot_major", "neighbor_overflow", "lammps_partial_sums",
      "fp", "descriptors", "per_atom_virial_float_soa9"};
  EXPECT_THAT(names(plan), ElementsAreArray(expected));
}

TEST(SpinPlan, SpinTransferFollowsTheSpinBlockInBothPlans) {
  const ModelProtocol p = spin_protocol(2, 3, 1, 0);
  const std::vector<std::string> internal = names(make_internal_neighbor_workspace_plan(p, 3, 1, true));
  const std::vector<std::string> external = names(make_external_neighbor_workspace_plan(p, 3, 2, false, true));
  const std::vector<std::string> block = {"spins_soa3", "mforce_soa3", "spin_density_rho0", "spin_density_raw1",
                                          "spin_density_geom", "spin_density_rho0_dot", "spin_density_raw1_dot",
                                          "spin_transfer_soa9"};
  EXPECT_EQ(std::vector<std::string>(internal.begin() + 5, internal.begin() + 13), block);
  EXPECT_EQ(internal[13], "atom_to_structure");
  EXPECT_EQ(std::vector<std::string>(external.begin() + 5, external.begin() + 13), block);
  EXPECT_EQ(external[13], "active_atom_indices");
}

TEST(SpinPlan, AngularOrderDecidesTheAngularDensities) {
  const WorkspacePlan l1 = make_internal_neighbor_workspace_plan(spin_protocol(1, 1, 1, 0), 2, 1, false);
  EXPECT_EQ(l1.find_array("spin_density_angular2"), nullptr);
  const WorkspacePlan l4 = make_internal_neighbor_workspace_plan(spin_protocol(1, 1, 4, 0), 2, 1, false);
  EXPECT_EQ(count_of(l4, "spin_density_angular2"), 30u);
  EXPECT_EQ(count_of(l4, "spin_density_angular3"), 42u);
  EXPECT_EQ(count_of(l4, "spin_density_angular4"), 54u);
}

TEST(SpinPlan, ChiralArraysUseAtMostTwoChannelsWhereTheTableSaysSo) {
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(spin_protocol(3, 3, 0, 1), 5, 1, false);
  EXPECT_EQ(count_of(plan, "spin_chiral_polar"), 45u);                 // 3 x NC x A
  EXPECT_EQ(count_of(plan, "spin_chiral_hexadecapoles_raw"), 90u);     // 9 x min(NC, 2) x A
  EXPECT_EQ(count_of(plan, "spin_chiral_chirals"), 10u);               // min(NC, 2) x A
}

struct RefusalCase {
  const char* name;
  ModelProtocol protocol;
  std::uint64_t atoms;
  std::uint64_t structures_or_active;
  bool external;
  bool spin_transfer;
  const char* message;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

const char* const kSpinShapeMessage =
    "CUDA spin workspace requires 1 <= spin_compress <= 4, spin_compress <= spin_basis_size + 1 <= 8, and "
    "spin_l_max <= 4";

std::vector<RefusalCase> refusal_cases() {
  return {
      {"ZeroAtomsInternal", minimal_protocol(), 0, 0, false, false, "atom_capacity must be positive"},
      {"ZeroAtomsExternal", minimal_protocol(), 0, 0, true, false, "atom_capacity must be positive"},
      {"ZeroStructures", minimal_protocol(), 1, 0, false, false, "structure_capacity must be positive"},
      {"ZeroActive", minimal_protocol(), 4, 0, true, false, "active_atom_capacity must be in 1..atom_capacity"},
      {"ActiveAboveAtoms", minimal_protocol(), 4, 5, true, false, "active_atom_capacity must be in 1..atom_capacity"},
      {"SpinCompressFive", spin_protocol(5, 7, 0, 0), 4, 1, false, false, kSpinShapeMessage},
      {"SpinBasisBelowCompress", spin_protocol(3, 1, 0, 0), 4, 1, false, false, kSpinShapeMessage},
      {"SpinBasisAboveEight", spin_protocol(1, 8, 0, 0), 4, 1, false, false, kSpinShapeMessage},
      {"SpinOrderFive", spin_protocol(1, 1, 5, 0), 4, 1, true, false, kSpinShapeMessage},
      {"BadSpinShapeBeforeTransfer", spin_protocol(0, 1, 0, 0), 4, 1, false, true, kSpinShapeMessage},
      {"TransferWithoutSpin", minimal_protocol(), 4, 1, false, true, "spin-transfer output requires a spin model"},
      {"TransferWithoutSpinExternal", minimal_protocol(), 4, 1, true, true,
       "spin-transfer output requires a spin model"},
  };
}

class PlanRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(PlanRefuses, WithItsMessage) {
  const RefusalCase& c = GetParam();
  EXPECT_THAT(
      [&] {
        if (c.external) {
          make_external_neighbor_workspace_plan(c.protocol, c.atoms, c.structures_or_active, false, c.spin_transfer);
        } else {
          make_internal_neighbor_workspace_plan(c.protocol, c.atoms, c.structures_or_active, c.spin_transfer);
        }
      },
      ThrowsMessage<std::runtime_error>(StrEq(c.message)));
}

INSTANTIATE_TEST_SUITE_P(Limits, PlanRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(DeviceArrayPlan, BytesFollowTheScalarTypeAndRefuseUnknownCodes) {
  const std::uint64_t huge = (std::uint64_t{1} << 33) + 3;  // byte counts far beyond 2^32 stay exact
  EXPECT_EQ((DeviceArrayPlan{"a", DeviceScalarType::int32, huge}.bytes()), 4 * huge);
  EXPECT_EQ((DeviceArrayPlan{"a", DeviceScalarType::float32, huge}.bytes()), 4 * huge);
  EXPECT_EQ((DeviceArrayPlan{"a", DeviceScalarType::float64, huge}.bytes()), 8 * huge);
  const DeviceArrayPlan unknown{"a", static_cast<DeviceScalarType>(3), 1};
  EXPECT_THAT([&] { (void)unknown.bytes(); },
              ThrowsMessage<std::runtime_error>(StrEq("unknown scalar type")));
}

TEST(WorkspacePlan, TotalBytesIsTheSumOfItsRows) {
  ModelProtocol p = spin_protocol(2, 3, 3, 1);
  p.num_types = 3;
  p.body_channels.l_max_3body = 4;
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(p, 3000000000ull, 5, true);
  std::uint64_t sum = 0;
  for (const DeviceArrayPlan& array : plan.arrays) {
    sum += array.count * (array.type == DeviceScalarType::float64 ? 8 : 4);
  }
  EXPECT_EQ(plan.total_bytes(), sum);
  EXPECT_GT(plan.total_bytes(), std::uint64_t{1} << 32);
}

}  // namespace
}  // namespace quarvel::cuda_backend
