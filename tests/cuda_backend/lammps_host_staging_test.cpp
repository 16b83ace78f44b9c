#include "cuda_backend/lammps_host_staging.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
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

using test_support::download;
using test_support::HostLammpsInput;
using test_support::LammpsSystem;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr int kLammpsTypes = 2;
constexpr double kEdge = 5.0;          // Angstrom
constexpr double kListCutoff = 2.6;    // Angstrom: the rows of the test lists
constexpr double kAngularCutoff = 2.0;  // Angstrom: the angular list keeps a part of each row
constexpr std::int32_t kFlagBit = 1 << 30;  // a LAMMPS flag in the top bits of a neighbor entry

ModelProtocol protocol_for(const LammpsSystem& s, bool spin = false) {
  ModelProtocol p = spin ? test_support::spin_protocol(1, 1, 0, 0) : test_support::minimal_protocol();
  p.num_types = kLammpsTypes;
  p.cutoff_radial = kListCutoff;
  p.cutoff_radial_list = kListCutoff;
  p.cutoff_angular = kAngularCutoff;
  p.neighbor_capacity_radial = s.longest_row() + 2;
  p.neighbor_capacity_angular = s.longest_row() + 1;
  return p;
}

// The entries of a row within `cutoff` of atom i, in row order, computed as the staging computes distances.
std::vector<int> within(const LammpsSystem& s, int i, const std::vector<int>& row, double cutoff) {
  std::vector<int> kept;
  for (int j : row) {
    double d2 = 0.0;
    for (int c = 0; c < 3; ++c) {
      const double d = s.positions[3 * j + c] - s.positions[3 * i + c];
      d2 += d * d;
    }
    if (d2 <= cutoff * cutoff) kept.push_back(j);
  }
  return kept;
}

DeviceWorkspace workspace_for(const ModelProtocol& p, int atoms, int active) {
  return DeviceWorkspace(make_external_neighbor_workspace_plan(p, static_cast<std::uint64_t>(atoms),
                                                               static_cast<std::uint64_t>(active), false, false));
}

class LammpsHostStagingTest : public test_support::DeviceTest {
 protected:
  LammpsSystem system_ = LammpsSystem::random(6, kEdge, kListCutoff, kLammpsTypes);
};

// Both lists hold the caller's rows masked and kept within their cutoffs (the radial one keeps every entry of the
// test rows), slot-major with stride A; ghost atoms have none.
void expect_lists(const DeviceWorkspaceView& v, const ModelProtocol& p, const LammpsSystem& s,
                  const std::vector<std::vector<int>>& rows) {
  const std::size_t a = v.atom_capacity;
  const std::vector<std::int32_t> nn_radial = download(v.nn_radial, a);
  const std::vector<std::int32_t> nn_angular = download(v.nn_angular, a);
  const std::vector<std::int32_t> radial = download(v.nl_radial_slot_major, p.neighbor_capacity_radial * a);
  const std::vector<std::int32_t> angular = download(v.nl_angular_slot_major, p.neighbor_capacity_angular * a);
  for (std::size_t i = 0; i < a; ++i) {
    const std::vector<int> none;
    const std::vector<int>& row = i < rows.size() ? rows[i] : none;
    const std::vector<int> angular_row = within(s, static_cast<int>(i), row, p.cutoff_angular);
    ASSERT_EQ(nn_radial[i], static_cast<int>(row.size())) << "atom " << i;
    ASSERT_EQ(nn_angular[i], static_cast<int>(angular_row.size())) << "atom " << i;
    for (std::size_t k = 0; k < row.size(); ++k) EXPECT_EQ(radial[k * a + i], row[k]) << "atom " << i << " slot " << k;
    for (std::size_t k = 0; k < angular_row.size(); ++k) {
      EXPECT_EQ(angular[k * a + i], angular_row[k]) << "atom " << i << " slot " << k;
    }
  }
}

TEST_F(LammpsHostStagingTest, StagesMappedTypesPositionsAndMaskedRowsOfEveryAtom) {
  HostLammpsInput in(system_, kLammpsTypes);
  for (auto& row : in.neighbor_rows) {
    for (std::size_t k = 0; k < row.size(); k += 2) row[k] |= kFlagBit;
  }
  in.refresh_rows();
  const ModelProtocol p = protocol_for(system_);
  const int n = system_.referenced_count();
  DeviceWorkspace ws = workspace_for(p, n, system_.nlocal);
  stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, ws);
  const DeviceWorkspaceView v = ws.view();
  const std::size_t a = v.atom_capacity;
  const std::vector<std::int32_t> types = download(v.types, a);
  const std::vector<double> positions = download(v.positions_soa3, 3 * a);
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(types[i], system_.types[i] - 1) << "atom " << i;
    for (int c = 0; c < 3; ++c) EXPECT_EQ(positions[c * a + i], system_.positions[3 * i + c]) << "atom " << i;
  }
  EXPECT_EQ(download(v.active_atom_indices, system_.nlocal), in.ilist);
  expect_lists(v, p, system_, system_.rows);
}

// The largest masked neighbor index decides the staged atom count: a workspace one atom short is refused.
TEST_F(LammpsHostStagingTest, MaskedNeighborIndexSetsTheStagedAtomCount) {
  HostLammpsInput in(system_, kLammpsTypes);
  const int last = system_.nall - 1;  // a ghost no row names, moved next to atom 0
  const double next_to_atom0[3] = {system_.positions[0] + 1.0, system_.positions[1], system_.positions[2]};
  in.positions[static_cast<std::size_t>(last)] = next_to_atom0;
  in.neighbor_rows[0] = {last | kFlagBit};
  in.numneigh[0] = 1;
  in.refresh_rows();
  const ModelProtocol p = protocol_for(system_);
  DeviceWorkspace short_ws = workspace_for(p, last, system_.nlocal);
  EXPECT_THAT([&] { stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, short_ws); },
              ThrowsMessage<std::runtime_error>(StrEq("LAMMPS input exceeds workspace atom capacity")));
  DeviceWorkspace ws = workspace_for(p, last + 1, system_.nlocal);
  stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, ws);
  EXPECT_THAT(download(ws.view().nl_radial_slot_major, 1), ElementsAre(last));
}

// Staging clears every count first: an atom that ilist leaves out gets empty lists, not leftover memory.
TEST_F(LammpsHostStagingTest, AtomsOutsideIlistHaveEmptyLists) {
  HostLammpsInput in(system_, kLammpsTypes);
  in.ilist = {0, 1, 3, 4, 5};
  const ModelProtocol p = protocol_for(system_);
  DeviceWorkspace ws = workspace_for(p, system_.nall, system_.nlocal);
  stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, ws);
  std::vector<std::vector<int>> rows = system_.rows;
  rows[2].clear();
  expect_lists(ws.view(), p, system_, rows);
}

// Only neighbors within the cutoffs count against the capacities: rows as long as LAMMPS hands them over (cutoff
// plus skin) fit lists sized for the cutoffs.
TEST_F(LammpsHostStagingTest, NeighborsBeyondTheCutoffsDoNotCountAgainstTheCapacities) {
  HostLammpsInput in(system_, kLammpsTypes);
  ModelProtocol p = protocol_for(system_);
  p.cutoff_radial = p.cutoff_radial_list = kAngularCutoff;
  std::size_t longest = 0;
  std::vector<std::vector<int>> kept;
  for (int i = 0; i < system_.nlocal; ++i) {
    kept.push_back(within(system_, i, system_.rows[i], kAngularCutoff));
    longest = std::max(longest, kept.back().size());
  }
  ASSERT_LT(longest, static_cast<std::size_t>(system_.longest_row()));
  p.neighbor_capacity_radial = p.neighbor_capacity_angular = static_cast<std::int32_t>(longest);
  DeviceWorkspace ws = workspace_for(p, system_.nall, system_.nlocal);
  stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, ws);
  expect_lists(ws.view(), p, system_, kept);
}

TEST_F(LammpsHostStagingTest, SpinsAreDirectionTimesMagnitude) {
  HostLammpsInput in(system_, kLammpsTypes);
  std::vector<std::vector<double>> spins;
  for (int i = 0; i < system_.nall; ++i) spins.push_back({0.0, 0.6, 0.8, 1.5 + i});
  in.add_spins(spins);
  const ModelProtocol p = protocol_for(system_, true);
  DeviceWorkspace ws = workspace_for(p, system_.nall, system_.nlocal);
  stage_lammps_external_neighbors_on_device(in.view(system_.nlocal), p, ws);
  const std::size_t a = ws.view().atom_capacity;
  const std::vector<double> staged = download(ws.view().spins_soa3, 3 * a);
  for (int i = 0; i < system_.referenced_count(); ++i) {
    for (int c = 0; c < 3; ++c) EXPECT_EQ(staged[c * a + i], spins[i][c] * spins[i][3]) << "atom " << i;
  }
}

// A case changes the caller's arrays and the model shape, or the record built from the arrays. The list's layout
// faults are runtime errors, as this road has always answered them; what no evaluation can use is a bad argument.
struct RefusalCase {
  const char* name;
  std::function<void(HostLammpsInput&, ModelProtocol&)> change_input;
  std::function<void(QrvlLammpsNeighborInput&)> change_record;
  bool argument;
  const char* message;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

// The largest atom index that a neighbor row names: a ghost atom.
std::size_t last_named(const HostLammpsInput& in) {
  int last = 0;
  for (const auto& row : in.neighbor_rows) {
    for (int j : row) last = std::max(last, j);
  }
  return static_cast<std::size_t>(last);
}

std::vector<RefusalCase> refusal_cases() {
  using In = HostLammpsInput;
  using Rec = QrvlLammpsNeighborInput;
  using P = ModelProtocol;
  static const double nan_row[3] = {1.0, std::nan(""), 1.0};
  static const double infinite_row[3] = {1.0, 1.0, -std::numeric_limits<double>::infinity()};
  return {
      {"NegativeNlocal", nullptr, [](Rec& r) { r.nlocal = -1; }, false, "negative nlocal"},
      {"NegativeInum", nullptr, [](Rec& r) { r.inum = -1; }, false, "negative inum"},
      {"MissingIlist", nullptr, [](Rec& r) { r.ilist = nullptr; }, false, "missing ilist"},
      {"MissingNumneigh", nullptr, [](Rec& r) { r.numneigh = nullptr; }, false, "missing numneigh"},
      {"MissingFirstneigh", nullptr, [](Rec& r) { r.firstneigh = nullptr; }, false, "missing firstneigh"},
      {"MissingTypes", nullptr, [](Rec& r) { r.types = nullptr; }, false, "missing types"},
      {"MissingTypeMap", nullptr, [](Rec& r) { r.type_map = nullptr; }, false, "missing type_map"},
      {"MissingPositions", nullptr, [](Rec& r) { r.positions = nullptr; }, false, "missing positions"},
      {"SpinModelWithoutSpins", [](In&, P& p) { p.spin_mode = 1; }, nullptr, false,
       "spin model requires LAMMPS spins"},
      {"NegativeActiveIndex", [](In& in, P&) { in.ilist[1] = -1; }, nullptr, false, "negative active atom index"},
      {"GhostAsActiveAtom", [](In& in, P&) { in.ilist[1] = static_cast<std::int32_t>(in.ilist.size()); }, nullptr,
       true, "active atom index out of range"},
      // Refused before its count is read or index + 1 is formed.
      {"ActiveIndexAtTheTopOfInt32", [](In& in, P&) { in.ilist[1] = std::numeric_limits<std::int32_t>::max(); },
       nullptr, true, "active atom index out of range"},
      {"NegativeNeighborCount", [](In& in, P&) { in.numneigh[2] = -1; }, nullptr, false, "negative neighbor count"},
      {"CountWithoutRow", [](In& in, P&) { in.firstneigh[3] = nullptr; }, nullptr, false,
       "missing LAMMPS neighbor row"},
      {"GhostWithoutPositionRow", [](In& in, P&) { in.positions[last_named(in)] = nullptr; }, nullptr, false,
       "missing LAMMPS position row"},
      {"LocalAtomWithoutPositionRow", [](In& in, P&) { in.positions[5] = nullptr; }, nullptr, false,
       "missing LAMMPS position row"},
      {"NanPosition", [](In& in, P&) { in.positions[2] = nan_row; }, nullptr, true,
       "atom 2 has a non-finite position"},
      {"InfinitePosition", [](In& in, P&) { in.positions[4] = infinite_row; }, nullptr, true,
       "atom 4 has a non-finite position"},
      {"NegativeLammpsType", [](In& in, P&) { in.types[last_named(in)] = -2; }, nullptr, false,
       "negative LAMMPS atom type"},
      {"UnmappedTypeOfAnInactiveAtom",
       [](In& in, P&) {
         in.ilist = {0};
         in.types[4] = 0;  // LAMMPS type 0 is unmapped; atom 4 is local but not active
       },
       nullptr, false, "unmapped LAMMPS atom type"},
      {"MappedTypeBeyondModel", [](In& in, P&) { in.type_map[2] = kLammpsTypes; }, nullptr, true,
       "mapped LAMMPS atom type exceeds model type count"},
      {"NonFiniteSpin",
       [](In& in, P& p) {
         p.spin_mode = 1;
         std::vector<std::vector<double>> spins(in.types.size(), std::vector<double>{0.0, 0.6, 0.8, 1.0});
         spins[3][3] = std::numeric_limits<double>::infinity();
         in.add_spins(spins);
       },
       nullptr, true, "atom 3 has a non-finite spin"},
      {"RowLongerThanAngularCapacityOnly",
       [](In&, P& p) {
         p.cutoff_angular = kListCutoff;  // both lists keep whole rows
         p.neighbor_capacity_angular = p.neighbor_capacity_radial - 3;
       },
       nullptr, false, "neighbor count exceeds CUDA workspace capacity"},
  };
}

class LammpsHostStagingRefuses : public LammpsHostStagingTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(LammpsHostStagingRefuses, WithItsKindAndMessageBeforeAnyDeviceWrite) {
  HostLammpsInput in(system_, kLammpsTypes);
  ModelProtocol p = protocol_for(system_);
  if (GetParam().change_input) GetParam().change_input(in, p);
  QrvlLammpsNeighborInput record = in.view(system_.nlocal);
  if (GetParam().change_record) GetParam().change_record(record);
  DeviceWorkspace ws = workspace_for(protocol_for(system_), system_.nall, system_.nlocal);
  const std::vector<std::int32_t> before = download(ws.view().nn_radial, ws.view().atom_capacity);
  test_support::expect_refusal([&] { stage_lammps_external_neighbors_on_device(record, p, ws); }, GetParam().argument,
                               GetParam().message);
  const std::vector<std::int32_t> after = download(ws.view().nn_radial, ws.view().atom_capacity);
  EXPECT_EQ(std::memcmp(before.data(), after.data(), before.size() * sizeof(std::int32_t)), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, LammpsHostStagingRefuses, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
