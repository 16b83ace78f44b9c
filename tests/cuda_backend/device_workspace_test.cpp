#include "cuda_backend/device_workspace.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::minimal_protocol;

class DeviceWorkspaceTest : public test_support::DeviceTest {};

TEST_F(DeviceWorkspaceTest, InternalWorkspaceOfAnOrdinaryModelPublishesOnlyItsArrays) {
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(minimal_protocol(), 6, 2, false);
  const DeviceWorkspace workspace(plan);
  const DeviceWorkspaceView v = workspace.view();
  EXPECT_EQ(v.neighbor_source, 0);
  EXPECT_EQ(v.atom_capacity, 6u);
  EXPECT_EQ(v.active_atom_capacity, 6u);
  EXPECT_EQ(v.structure_capacity, 2u);
  EXPECT_NE(v.types, nullptr);
  EXPECT_NE(v.structure_virial_row_major9, nullptr);
  EXPECT_NE(v.descriptors, nullptr);
  EXPECT_EQ(v.spins_soa3, nullptr);
  EXPECT_EQ(v.mforce_soa3, nullptr);
  EXPECT_EQ(v.output_mforces_aos3, nullptr);
  EXPECT_EQ(v.spin_density_rho0, nullptr);
  EXPECT_EQ(v.active_atom_indices, nullptr);
  EXPECT_EQ(v.lammps_partial_sums, nullptr);
  EXPECT_EQ(v.per_atom_virial_float_soa9, nullptr);
  EXPECT_EQ(workspace.summary().total_bytes, plan.total_bytes());
  EXPECT_EQ(workspace.summary().array_count, plan.arrays.size());
}

TEST_F(DeviceWorkspaceTest, ExternalWorkspaceHasNoStructureCellOrPackingArrays) {
  const DeviceWorkspace workspace(make_external_neighbor_workspace_plan(minimal_protocol(), 5, 3, true, false));
  const DeviceWorkspaceView v = workspace.view();
  EXPECT_EQ(v.neighbor_source, 1);
  EXPECT_EQ(v.structure_capacity, 0u);
  EXPECT_EQ(v.active_atom_capacity, 3u);
  EXPECT_NE(v.active_atom_indices, nullptr);
  EXPECT_NE(v.per_atom_virial_float_soa9, nullptr);
  EXPECT_EQ(v.atom_to_structure, nullptr);
  EXPECT_EQ(v.cell_counts, nullptr);
  EXPECT_EQ(v.output_forces_aos3, nullptr);
  EXPECT_EQ(v.structure_energy, nullptr);
}

// Every array of the richest plans lands in a view field of its own name.
TEST_F(DeviceWorkspaceTest, EveryPlannedArrayHasAViewField) {
  ModelProtocol p = test_support::spin_protocol(2, 3, 4, 1);
  p.charge_mode = 1;  // not a real family, but it plans every conditional array at once
  p.num_types = 2;
  p.body_channels.l_max_3body = 2;
  for (const WorkspacePlan& plan : {make_internal_neighbor_workspace_plan(p, 3, 2, true),
                                    make_external_neighbor_workspace_plan(p, 3, 2, true, true)}) {
    DeviceWorkspace workspace(plan);
    for (const DeviceArrayPlan& array : plan.arrays) {
      const DeviceWorkspace::Allocation* record = workspace.find_allocation(array.name);
      ASSERT_NE(record, nullptr) << array.name;
      ASSERT_NE(record->buffer.data(), nullptr) << array.name;
      // Some pointer field of the view holds the array's allocation.
      const DeviceWorkspaceView before = workspace.view();
      const auto* raw = reinterpret_cast<const unsigned char*>(&before);
      bool found = false;
      for (std::size_t offset = 0; offset + sizeof(void*) <= sizeof(before); offset += sizeof(void*)) {
        void* field = nullptr;
        std::memcpy(&field, raw + offset, sizeof(void*));
        found = found || field == record->buffer.data();
      }
      EXPECT_TRUE(found) << array.name;
    }
  }
}

TEST_F(DeviceWorkspaceTest, ZeroElementArrayGetsARecordButNoMemory) {
  ModelProtocol p = minimal_protocol();
  p.neighbor_capacity_angular = 0;
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(p, 4, 1, false);
  const DeviceWorkspace workspace(plan);
  const DeviceWorkspace::Allocation* record = workspace.find_allocation("nl_angular_slot_major");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->buffer.data(), nullptr);
  EXPECT_EQ(workspace.view().nl_angular_slot_major, nullptr);
  EXPECT_EQ(workspace.summary().array_count, plan.arrays.size());
  EXPECT_EQ(workspace.summary().total_bytes, plan.total_bytes());
}

TEST_F(DeviceWorkspaceTest, OverridesPointElsewhereUntilReset) {
  DeviceWorkspace workspace(make_external_neighbor_workspace_plan(minimal_protocol(), 4, 4, false, false));
  const DeviceWorkspaceView owned = workspace.view();
  std::int32_t caller_types = 0;
  double caller_positions = 0.0;
  workspace.override_types(&caller_types);
  workspace.override_positions_soa3(&caller_positions);
  EXPECT_EQ(workspace.view().types, &caller_types);
  EXPECT_EQ(workspace.view().positions_soa3, &caller_positions);
  EXPECT_EQ(workspace.find_allocation("types")->buffer.data(), owned.types);
  workspace.reset_runtime_overrides();
  EXPECT_EQ(workspace.view().types, owned.types);
  EXPECT_EQ(workspace.view().positions_soa3, owned.positions_soa3);
}

TEST_F(DeviceWorkspaceTest, MovingLeavesTheSourceEmptyAndSelfMoveChangesNothing) {
  DeviceWorkspace source(make_internal_neighbor_workspace_plan(minimal_protocol(), 4, 1, false));
  const DeviceWorkspaceView before = source.view();
  DeviceWorkspace target(std::move(source));
  EXPECT_EQ(target.view().types, before.types);
  EXPECT_EQ(source.view().types, nullptr);
  EXPECT_EQ(source.view().atom_capacity, 0u);
  EXPECT_EQ(source.summary().total_bytes, 0u);
  EXPECT_EQ(source.find_allocation("types"), nullptr);
  DeviceWorkspace& alias = target;
  target = std::move(alias);
  EXPECT_EQ(target.view().types, before.types);
  target.release();
  target.release();
  EXPECT_EQ(target.view().types, nullptr);
}

}  // namespace
}  // namespace quarvel::cuda_backend
