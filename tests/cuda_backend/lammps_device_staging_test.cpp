#include "cuda_backend/lammps_device_staging.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cuda_backend/workspace_plan.hpp"
#include "support/device_test.hpp"
#include "support/lammps_lists.hpp"
#include "support/protocol_shapes.hpp"
#include "support/refusal_kind.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::DeviceCopy;
using test_support::DeviceLammpsInput;
using test_support::download;
using test_support::LammpsSystem;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::StrEq;

constexpr int kLammpsTypes = 2;
constexpr int kRowWidth = 6;
constexpr int kAtomCapacity = 8;
constexpr std::int32_t kFlagBit = 1 << 30;  // a LAMMPS flag in the top bits of a neighbor entry

// Four local atoms on the x axis at 0, 1, 2 and 3.5 Angstrom and a ghost at -1.5; every row names every other
// atom, and atom 0's row also names itself. Distances are exact in double precision.
LammpsSystem line_system() {
  LammpsSystem s;
  s.nlocal = 4;
  s.nall = 5;
  s.types = {1, 2, 1, 2, 1};
  const double xs[] = {0.0, 1.0, 2.0, 3.5, -1.5};
  for (double x : xs) s.positions.insert(s.positions.end(), {x, 0.0, 0.0});
  s.rows = {{0, 1, 2, 3, 4}, {0, 2, 3, 4}, {0, 1, 3, 4}, {0, 1, 2, 4}};
  return s;
}

ModelProtocol line_protocol() {
  ModelProtocol p = test_support::minimal_protocol();
  p.num_types = kLammpsTypes;
  p.cutoff_radial = 2.0;
  p.cutoff_radial_list = 2.0;
  p.cutoff_angular = 1.0;
  p.body_channels.l_max_3body = 2;  // angular lists exist
  p.neighbor_capacity_radial = 5;
  p.neighbor_capacity_angular = 4;
  return p;
}

DeviceWorkspace external_workspace(const ModelProtocol& p, std::uint64_t atoms = kAtomCapacity,
                                   std::uint64_t active = kAtomCapacity) {
  return DeviceWorkspace(make_external_neighbor_workspace_plan(p, atoms, active, false, false));
}

struct StagedLists {
  std::vector<std::vector<int>> radial, angular;
};

StagedLists read_lists(const DeviceWorkspaceView& v, const ModelProtocol& p, int atoms) {
  const std::size_t a = v.atom_capacity;
  const std::vector<std::int32_t> nn_r = download(v.nn_radial, a), nn_a = download(v.nn_angular, a);
  const std::vector<std::int32_t> nl_r = download(v.nl_radial_slot_major, p.neighbor_capacity_radial * a);
  const std::vector<std::int32_t> nl_a = download(v.nl_angular_slot_major, p.neighbor_capacity_angular * a);
  StagedLists lists;
  for (int i = 0; i < atoms; ++i) {
    lists.radial.emplace_back();
    lists.angular.emplace_back();
    for (int s = 0; s < nn_r[i]; ++s) lists.radial.back().push_back(nl_r[s * a + i]);
    for (int s = 0; s < nn_a[i]; ++s) lists.angular.back().push_back(nl_a[s * a + i]);
  }
  return lists;
}

class LammpsDeviceStagingTest : public test_support::DeviceTest {
 protected:
  LammpsSystem system_ = line_system();
  ModelProtocol protocol_ = line_protocol();
};

// Inclusive cutoffs (atom 2 sits exactly at 2 Angstrom from atom 0), row order kept, self entry dropped.
TEST_F(LammpsDeviceStagingTest, SplitsRowsByCutoffInRowOrder) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  const StagedLists lists = read_lists(ws.view(), protocol_, system_.nlocal);
  EXPECT_THAT(lists.radial, ElementsAre(ElementsAre(1, 2, 4), ElementsAre(0, 2), ElementsAre(0, 1, 3), ElementsAre(2)));
  EXPECT_THAT(lists.angular, ElementsAre(ElementsAre(1), ElementsAre(0, 2), ElementsAre(1), ElementsAre()));
  EXPECT_THAT(download(ws.view().types, 5), ElementsAre(0, 1, 0, 1, 0));
}

TEST_F(LammpsDeviceStagingTest, RadialListCoversTheZblRangeAndFlagBitsAreMasked) {
  protocol_.has_zbl = true;
  protocol_.zbl_rc_outer = 2.5;
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  for (std::int32_t& entry : in.host_neighbors) entry |= kFlagBit;
  in.refresh_lists();
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  const StagedLists lists = read_lists(ws.view(), protocol_, system_.nlocal);
  EXPECT_THAT(lists.radial,
              ElementsAre(ElementsAre(1, 2, 4), ElementsAre(0, 2, 3, 4), ElementsAre(0, 1, 3), ElementsAre(1, 2)));
}

// Many blocks of 16 active atoms, rows longer than one warp round, lists against brute-force filtering.
TEST_F(LammpsDeviceStagingTest, ListsOfALargerSystemMatchBruteForceFiltering) {
  constexpr double kListCutoff = 4.0;  // Angstrom
  const LammpsSystem big = LammpsSystem::random(40, 6.0, kListCutoff, kLammpsTypes);
  ASSERT_GT(big.longest_row(), 40);
  protocol_.cutoff_radial_list = 3.5;
  protocol_.cutoff_angular = 2.5;
  protocol_.neighbor_capacity_radial = big.longest_row();
  protocol_.neighbor_capacity_angular = big.longest_row();
  DeviceLammpsInput in(big, kLammpsTypes, big.longest_row());
  DeviceWorkspace ws = external_workspace(protocol_, static_cast<std::uint64_t>(big.nall), 64);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  const StagedLists lists = read_lists(ws.view(), protocol_, big.nlocal);
  for (int i = 0; i < big.nlocal; ++i) {
    std::vector<int> radial, angular;
    for (int j : big.rows[i]) {
      double d2 = 0.0;  // the kernel's order of operations, so the comparison with the cutoff is the same
      for (int c = 0; c < 3; ++c) {
        const double d = big.positions[3 * j + c] - big.positions[3 * i + c];
        d2 += d * d;
      }
      if (d2 <= 3.5 * 3.5) radial.push_back(j);
      if (d2 <= 2.5 * 2.5) angular.push_back(j);
    }
    EXPECT_EQ(lists.radial[i], radial) << "atom " << i;
    EXPECT_EQ(lists.angular[i], angular) << "atom " << i;
  }
}

// Tiles of more than the 48 KiB every device grants without opting in: the kernel's limit is raised to what they
// need, within what the device allows (99 KiB on the stand-in's device).
TEST_F(LammpsDeviceStagingTest, ListsBeyondTheDefaultSharedMemoryRaiseTheKernelsLimit) {
  protocol_.neighbor_capacity_radial = 500;
  protocol_.neighbor_capacity_angular = 400;
  ASSERT_GT(sizeof(std::int32_t) * 16 * (500 + 400 + 2), 48u * 1024);
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  const StagedLists lists = read_lists(ws.view(), protocol_, system_.nlocal);
  EXPECT_THAT(lists.radial, ElementsAre(ElementsAre(1, 2, 4), ElementsAre(0, 2), ElementsAre(0, 1, 3), ElementsAre(2)));
}

TEST_F(LammpsDeviceStagingTest, ListsBeyondTheDevicesSharedMemoryAreRefusedBeforeAnyDeviceWork) {
  protocol_.neighbor_capacity_radial = 1000;
  protocol_.neighbor_capacity_angular = 1000;
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);
  const std::vector<std::int32_t> before = download(ws.view().types, kAtomCapacity);
  EXPECT_THAT([&] { stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true); },
              ::testing::ThrowsMessage<std::runtime_error>(
                  StrEq("device LAMMPS neighbor lists exceed the CUDA shared-memory limit: capacity_radial=1000 "
                        "capacity_angular=1000")));
  const std::vector<std::int32_t> after = download(ws.view().types, kAtomCapacity);
  EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * sizeof(std::int32_t)), 0);
}

// Models without angular channels get only the radial list.
TEST_F(LammpsDeviceStagingTest, WithoutAngularChannelsOnlyTheRadialListIsStaged) {
  protocol_.body_channels.l_max_3body = 0;
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);
  const std::vector<std::int32_t> before = download(ws.view().nn_angular, kAtomCapacity);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  EXPECT_THAT(read_lists(ws.view(), protocol_, 4).radial[0], ElementsAre(1, 2, 4));
  const std::vector<std::int32_t> after = download(ws.view().nn_angular, kAtomCapacity);
  EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * sizeof(std::int32_t)), 0);
}

// Atom-major positions are gathered; an array already strided by the atom capacity is used as it is, and so are
// model types given without a map. The next staging points the workspace back at its own arrays.
TEST_F(LammpsDeviceStagingTest, UsesCallerTypesAndPositionsInPlaceWhenTheLayoutAllows) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  std::vector<double> soa(3 * kAtomCapacity, 0.0);
  for (int i = 0; i < system_.nall; ++i) {
    for (int c = 0; c < 3; ++c) soa[c * kAtomCapacity + i] = system_.positions[3 * i + c];
  }
  const DeviceCopy<double> positions(soa);
  const DeviceCopy<std::int32_t> model_types(std::vector<std::int32_t>{1, 1, 0, 0, 1});
  QrvlLammpsDeviceNeighborInput record = in.view();
  record.positions = positions.get();
  record.position_atom_stride = 1;
  record.position_component_stride = kAtomCapacity;
  record.types = model_types.get();
  record.type_map = nullptr;
  record.type_map_length = 0;
  DeviceWorkspace ws = external_workspace(protocol_);
  const DeviceWorkspaceView owned = ws.view();
  stage_lammps_device_neighbors_on_device(record, protocol_, ws, true);
  EXPECT_EQ(ws.view().positions_soa3, positions.get());
  EXPECT_EQ(ws.view().types, model_types.get());
  EXPECT_THAT(read_lists(ws.view(), protocol_, 4).radial[0], ElementsAre(1, 2, 4));

  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true);
  EXPECT_EQ(ws.view().positions_soa3, owned.positions_soa3);
  EXPECT_EQ(ws.view().types, owned.types);
  const std::vector<double> gathered = download(owned.positions_soa3, 3 * kAtomCapacity);
  for (int i = 0; i < system_.nall; ++i) EXPECT_EQ(gathered[i], system_.positions[3 * i]) << "atom " << i;
}

TEST_F(LammpsDeviceStagingTest, SpinsAreDirectionTimesMagnitudeFromStridedRows) {
  protocol_.spin_mode = 1;
  protocol_.spin_compress = 1;
  protocol_.spin_basis_size_radial = 1;
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  constexpr int kSpinAtomStride = 5;  // four values and one unused per atom
  std::vector<double> rows(kSpinAtomStride * system_.nall, -1.0);
  for (int i = 0; i < system_.nall; ++i) {
    const double row[4] = {0.6, 0.0, 0.8, 2.0 + i};
    std::copy(row, row + 4, rows.begin() + kSpinAtomStride * i);
  }
  const DeviceCopy<double> spins(rows);
  QrvlLammpsDeviceNeighborInput record = in.view();
  record.spins = spins.get();
  record.spin_atom_stride = kSpinAtomStride;
  record.spin_component_stride = 1;
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(record, protocol_, ws, false);
  const std::vector<double> staged = download(ws.view().spins_soa3, 3 * kAtomCapacity);
  for (int i = 0; i < system_.nall; ++i) {
    EXPECT_EQ(staged[i], 0.6 * (2.0 + i));
    EXPECT_EQ(staged[kAtomCapacity + i], 0.0);
    EXPECT_EQ(staged[2 * kAtomCapacity + i], 0.8 * (2.0 + i));
  }
}

// Counts are cleared on every staging, so an atom an earlier call listed and this one leaves out has none.
TEST_F(LammpsDeviceStagingTest, AtomsLeftOutOfIlistHaveEmptyLists) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, false);
  in.host_ilist = {0, 1, 3};
  in.refresh_lists();
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, false);
  const StagedLists lists = read_lists(ws.view(), protocol_, 4);
  EXPECT_THAT(lists.radial[2], ElementsAre());
  EXPECT_THAT(lists.angular[2], ElementsAre());
  EXPECT_THAT(lists.radial[3], ElementsAre(2));
}

// Two problems in one report, in bit order, with the maxima before truncation.
TEST_F(LammpsDeviceStagingTest, ValidationReportsEveryProblemInOneMessage) {
  protocol_.neighbor_capacity_radial = 2;
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  in.upload({1, 7, 1, 2, 1}, {-1, 0, 1}, system_.positions);
  DeviceWorkspace ws = external_workspace(protocol_);
  EXPECT_THAT([&] { stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true); },
              ::testing::ThrowsMessage<std::invalid_argument>(
                  StrEq("invalid device LAMMPS neighbor input: type out of range radial neighbor count exceeds "
                        "workspace capacity max_radial=3 max_angular=2 capacity_radial=2 capacity_angular=4 "
                        "cutoff_radial=2.000000 cutoff_angular=1.000000")));
  // The workspace holds the clamped staging: the bad type as 0, lists truncated after two entries.
  EXPECT_EQ(download(ws.view().types, 2)[1], 0);
  EXPECT_THAT(read_lists(ws.view(), protocol_, 4).radial[0], ElementsAre(1, 2));
}

TEST_F(LammpsDeviceStagingTest, WithoutValidationBadEntriesAreClampedSilently) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  in.host_numneigh[1] = kRowWidth + 3;  // read only up to max_neighbors
  in.host_neighbors[kRowWidth * 1 + 4] = 9;  // beyond nall: dropped
  in.host_neighbors[kRowWidth * 1 + 5] = 1;  // the atom itself: dropped
  in.host_ilist = {0, 1, 2, 3, 4};  // a ghost as an active atom: skipped
  in.refresh_lists();
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, false);
  EXPECT_THAT(read_lists(ws.view(), protocol_, 5).radial, ElementsAre(ElementsAre(1, 2, 4), ElementsAre(0, 2),
                                                                      ElementsAre(0, 1, 3), ElementsAre(2),
                                                                      ElementsAre()));
}

struct ProblemCase {
  const char* name;
  std::function<void(DeviceLammpsInput&, ModelProtocol&)> change;
  const char* problem;
};

std::vector<ProblemCase> problem_cases() {
  using In = DeviceLammpsInput;
  using P = ModelProtocol;
  const std::vector<double> unused;
  return {
      {"TypeBeyondMap", [](In& in, P&) { in.types = DeviceCopy<std::int32_t>({1, 3, 1, 2, 1}); }, " type out of range"},
      {"UnmappedType", [](In& in, P&) { in.types = DeviceCopy<std::int32_t>({1, 0, 1, 2, 1}); }, " unmapped type"},
      {"GhostAsActiveAtom", [](In& in, P&) { in.host_ilist = {0, 1, 2, 3, 4}; }, " active atom index out of range"},
      {"RowLongerThanMaxNeighbors", [](In& in, P&) { in.host_numneigh[1] = kRowWidth + 1; },
       " input row count out of range"},
      {"NegativeRowCount", [](In& in, P&) { in.host_numneigh[1] = -1; }, " input row count out of range"},
      {"NeighborBeyondNall", [](In& in, P&) { in.host_neighbors[kRowWidth * 2] = 5; }, " neighbor index out of range"},
      {"RadialOverflow", [](In&, P& p) { p.neighbor_capacity_radial = 2; },
       " radial neighbor count exceeds workspace capacity"},
      {"AngularOverflow", [](In&, P& p) { p.neighbor_capacity_angular = 1; },
       " angular neighbor count exceeds workspace capacity"},
      {"MappedTypeBeyondTheModel", [](In& in, P&) { in.type_map = DeviceCopy<std::int32_t>({-1, 0, 2}); },
       " model type out of range"},
  };
}

class LammpsDeviceStagingFinds : public LammpsDeviceStagingTest, public ::testing::WithParamInterface<ProblemCase> {};

TEST_P(LammpsDeviceStagingFinds, TheProblemWhenValidatingOnly) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  GetParam().change(in, protocol_);
  in.refresh_lists();
  DeviceWorkspace ws = external_workspace(protocol_);
  stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, false);
  const std::string expected = std::string("invalid device LAMMPS neighbor input:") + GetParam().problem + " max_radial=";
  EXPECT_THAT([&] { stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true); },
              ::testing::ThrowsMessage<std::invalid_argument>(::testing::StartsWith(expected)));
}

INSTANTIATE_TEST_SUITE_P(Inputs, LammpsDeviceStagingFinds, ::testing::ValuesIn(problem_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

// Refusals before any device work: caller arguments (std::invalid_argument), then the workspace
// (std::runtime_error).
struct RefusalCase {
  const char* name;
  std::function<void(QrvlLammpsDeviceNeighborInput&)> change_record;
  std::function<WorkspacePlan(const ModelProtocol&)> plan;  // null: the ordinary external plan
  bool argument;
  const char* message;
};

WorkspacePlan external_plan(const ModelProtocol& p) {
  return make_external_neighbor_workspace_plan(p, kAtomCapacity, kAtomCapacity, false, false);
}

std::function<WorkspacePlan(const ModelProtocol&)> lacking(const char* array) {
  return [array](const ModelProtocol& p) { return test_support::without_array(external_plan(p), array); };
}

std::vector<RefusalCase> refusal_cases() {
  using R = QrvlLammpsDeviceNeighborInput;
  return {
      {"NegativeNlocal", [](R& r) { r.nlocal = -1; }, nullptr, true, "negative nlocal"},
      {"NallBelowNlocal", [](R& r) { r.nall = 3; }, nullptr, true, "nall must be at least nlocal"},
      {"NoActiveAtoms", [](R& r) { r.inum = 0; }, nullptr, true, "device LAMMPS input must have active atoms"},
      {"NegativeMaxNeighbors", [](R& r) { r.max_neighbors = -1; }, nullptr, true, "negative max_neighbors"},
      {"NoNeighborRows", [](R& r) { r.neighbor_rows = 0; }, nullptr, true, "invalid device neighbor row count"},
      {"NoNumneigh", [](R& r) { r.numneigh_length = 0; }, nullptr, true, "invalid device numneigh length"},
      {"MissingIlist", [](R& r) { r.ilist = nullptr; }, nullptr, true, "missing device ilist"},
      {"MissingNumneigh", [](R& r) { r.numneigh = nullptr; }, nullptr, true, "missing device numneigh"},
      {"MissingNeighbors", [](R& r) { r.neighbors = nullptr; }, nullptr, true, "missing device neighbors"},
      {"NeighborAtomStride", [](R& r) { r.neighbor_atom_stride = 0; }, nullptr, true, "invalid neighbor atom stride"},
      {"NeighborSlotStride", [](R& r) { r.neighbor_slot_stride = 0; }, nullptr, true, "invalid neighbor slot stride"},
      {"MissingTypes", [](R& r) { r.types = nullptr; }, nullptr, true, "missing device types"},
      {"MissingPositions", [](R& r) { r.positions = nullptr; }, nullptr, true, "missing device positions"},
      {"PositionAtomStride", [](R& r) { r.position_atom_stride = 0; }, nullptr, true, "invalid position atom stride"},
      {"PositionComponentStride", [](R& r) { r.position_component_stride = 0; }, nullptr, true,
       "invalid position component stride"},
      {"InternalWorkspace", nullptr,
       [](const ModelProtocol& p) { return make_internal_neighbor_workspace_plan(p, kAtomCapacity, 1, false); },
       false, "device LAMMPS staging requires external workspace"},
      {"TooManyAtoms", nullptr,
       [](const ModelProtocol& p) { return make_external_neighbor_workspace_plan(p, 4, 4, false, false); }, false,
       "device LAMMPS input exceeds workspace atom capacity"},
      {"TooManyActiveAtoms", nullptr,
       [](const ModelProtocol& p) { return make_external_neighbor_workspace_plan(p, kAtomCapacity, 3, false, false); },
       false, "device LAMMPS input exceeds active atom capacity"},
      {"FewerRowsThanLocalAtoms", [](R& r) { r.neighbor_rows = 3; }, nullptr, false,
       "device LAMMPS local atoms exceed neighbor rows"},
      {"ShortNumneigh", [](R& r) { r.numneigh_length = 3; }, nullptr, false,
       "device LAMMPS local atoms exceed numneigh length"},
      {"WorkspaceWithoutTypes", nullptr, lacking("types"), false, "workspace missing types"},
      {"WorkspaceWithoutPositions", nullptr, lacking("positions_soa3"), false, "workspace missing positions"},
      {"WorkspaceWithoutRadialCounts", nullptr, lacking("nn_radial"), false, "workspace missing radial counts"},
      {"WorkspaceWithoutOverflowRecord", nullptr, lacking("neighbor_overflow"), false,
       "workspace missing neighbor overflow flag"},
      {"WorkspaceWithoutRadialList", nullptr, lacking("nl_radial_slot_major"), false,
       "workspace missing radial neighbors"},
      {"WorkspaceWithoutAngularCounts", nullptr, lacking("nn_angular"), false, "workspace missing angular counts"},
      {"WorkspaceWithoutAngularList", nullptr, lacking("nl_angular_slot_major"), false,
       "workspace missing angular neighbors"},
      {"TypeMapWithoutLength", [](R& r) { r.type_map_length = 0; }, nullptr, true,
       "invalid device LAMMPS type map length"},
  };
}

class LammpsDeviceStagingRefuses : public LammpsDeviceStagingTest,
                                   public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LammpsDeviceStagingRefuses, WithItsKindAndMessage) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  QrvlLammpsDeviceNeighborInput record = in.view();
  if (GetParam().change_record) GetParam().change_record(record);
  DeviceWorkspace ws(GetParam().plan ? GetParam().plan(protocol_) : external_plan(protocol_));
  test_support::expect_refusal([&] { stage_lammps_device_neighbors_on_device(record, protocol_, ws, true); },
                               GetParam().argument, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Inputs, LammpsDeviceStagingRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(LammpsDeviceStagingTest, SpinModelWorkspaceWithoutSpinsIsRefused) {
  DeviceLammpsInput in(system_, kLammpsTypes, kRowWidth);
  DeviceWorkspace ws = external_workspace(protocol_);  // planned for an ordinary model
  protocol_.spin_mode = 1;
  EXPECT_THAT([&] { stage_lammps_device_neighbors_on_device(in.view(), protocol_, ws, true); },
              ::testing::ThrowsMessage<std::runtime_error>(StrEq("workspace missing spins")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
