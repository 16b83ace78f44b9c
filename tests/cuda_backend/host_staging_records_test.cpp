#include "cuda_backend/host_staging_records.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

#include "support/batch_builder.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

TEST(HostBatchStaging, LaysOutPositionsStructureOfArraysAndClaimsAtoms) {
  const BatchArrays arrays = BatchArrays::consecutive({2, 3}, 2);
  const HostBatchStaging staging = stage_batch_for_internal_neighbors(arrays.view());
  ASSERT_EQ(staging.positions_soa3.size(), 15u);
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(staging.positions_soa3[c * 5 + i], arrays.positions[3 * i + c]);
  }
  EXPECT_THAT(staging.atom_to_structure, ElementsAre(0, 0, 1, 1, 1));
  EXPECT_EQ(staging.types, arrays.types);
  EXPECT_EQ(staging.boxes_row_major9, arrays.boxes);
  EXPECT_THAT(staging.pbc_flags3, ElementsAre(1, 1, 1, 1, 1, 1));
}

TEST(HostBatchStaging, AcceptsStructuresListedInAnyOrderOfOffsets) {
  BatchArrays arrays = BatchArrays::consecutive({2, 3}, 1);
  arrays.counts = {3, 2};
  arrays.offsets = {2, 0};
  EXPECT_THAT(stage_batch_for_internal_neighbors(arrays.view()).atom_to_structure, ElementsAre(1, 1, 0, 0, 0));
}

struct BatchRefusal {
  const char* name;
  std::function<void(BatchArrays&, QrvlStructureBatch&)> break_batch;
  const char* message;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const BatchRefusal& c, std::ostream* os) { *os << c.name; }

std::vector<BatchRefusal> batch_refusals() {
  return {
      {"NoStructures", [](BatchArrays&, QrvlStructureBatch& b) { b.num_structures = 0; }, "batch must contain structures"},
      {"NoAtoms", [](BatchArrays&, QrvlStructureBatch& b) { b.num_atoms = 0; }, "batch must contain atoms"},
      {"NoCounts", [](BatchArrays&, QrvlStructureBatch& b) { b.atom_counts = nullptr; }, "missing atom counts"},
      {"NoOffsets", [](BatchArrays&, QrvlStructureBatch& b) { b.atom_offsets = nullptr; }, "missing atom offsets"},
      {"NoTypes", [](BatchArrays&, QrvlStructureBatch& b) { b.types = nullptr; }, "missing atom types"},
      {"NoPositions", [](BatchArrays&, QrvlStructureBatch& b) { b.positions = nullptr; }, "missing atom positions"},
      {"NoBoxes", [](BatchArrays&, QrvlStructureBatch& b) { b.boxes = nullptr; }, "missing boxes"},
      {"NoPbc", [](BatchArrays&, QrvlStructureBatch& b) { b.pbc = nullptr; }, "missing periodic boundary flags"},
      // The flag check comes before every range check: the broken range below is never reached.
      {"OneAxisOpen",
       [](BatchArrays& a, QrvlStructureBatch&) {
         a.pbc[5] = 0;
         a.counts[0] = 0;
       },
       "Quarvel supports fully periodic structures only"},
      {"EmptyStructure", [](BatchArrays& a, QrvlStructureBatch&) { a.counts[1] = 0; },
       "structure atom count must be positive"},
      {"NegativeOffset", [](BatchArrays& a, QrvlStructureBatch&) { a.offsets[1] = -1; },
       "structure atom offset must be non-negative"},
      {"RangePastEnd", [](BatchArrays& a, QrvlStructureBatch&) { a.counts[1] = 11; },
       "structure atom range exceeds batch atom count"},
      // offset + count would wrap past 2^31 in 32-bit arithmetic and pass a naive check.
      {"RangeWrapsPastTwoToThe31",
       [](BatchArrays& a, QrvlStructureBatch&) {
         a.offsets[1] = std::numeric_limits<std::int32_t>::max() - 1;
         a.counts[1] = 10;
       },
       "structure atom range exceeds batch atom count"},
      {"Overlap",
       [](BatchArrays& a, QrvlStructureBatch&) {
         a.offsets[1] = 5;  // 0..9 and 5..14 of 20 atoms
       },
       "overlapping structure atom ranges"},
      {"Gap",
       [](BatchArrays& a, QrvlStructureBatch& b) {
         a.offsets[1] = 11;  // 0..9 and 11..20 of 21 atoms
         a.types.push_back(0);
         a.positions.insert(a.positions.end(), {0.0, 0.0, 0.0});
         b = a.view();
       },
       "batch atom is not covered by any structure"},
  };
}

class HostBatchStagingRefuses : public ::testing::TestWithParam<BatchRefusal> {};

TEST_P(HostBatchStagingRefuses, WithItsMessage) {
  BatchArrays arrays = BatchArrays::consecutive({10, 10}, 1);
  QrvlStructureBatch batch = arrays.view();
  GetParam().break_batch(arrays, batch);
  EXPECT_THAT([&] { stage_batch_for_internal_neighbors(batch); },
              ThrowsMessage<std::invalid_argument>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Checks, HostBatchStagingRefuses, ::testing::ValuesIn(batch_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

struct OrthorhombicCase {
  const char* name;
  int index;
  double value;
  bool expected;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const OrthorhombicCase& c, std::ostream* os) { *os << c.name; }

class Orthorhombic : public ::testing::TestWithParam<OrthorhombicCase> {};

TEST_P(Orthorhombic, ByDiagonalAndOffDiagonalValues) {
  BatchArrays arrays = BatchArrays::consecutive({1, 1}, 1);
  arrays.boxes[9 + GetParam().index] = GetParam().value;  // second structure's cell
  EXPECT_EQ(batch_boxes_are_orthorhombic(arrays.view()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cells, Orthorhombic,
    ::testing::Values(OrthorhombicCase{"Diagonal", 0, 3.0, true},
                      OrthorhombicCase{"OffDiagonalAtTolerance", 1, 1e-14, true},
                      OrthorhombicCase{"OffDiagonalAboveTolerance", 7, -2e-14, false},
                      OrthorhombicCase{"ZeroDiagonal", 4, 0.0, false},
                      OrthorhombicCase{"NegativeDiagonal", 8, -1.0, false},
                      OrthorhombicCase{"InfiniteDiagonal", 0, std::numeric_limits<double>::infinity(), false},
                      OrthorhombicCase{"NaNDiagonal", 4, std::nan(""), false}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

TEST(Orthorhombic, ABatchWithoutStructuresIs) {
  QrvlStructureBatch batch{};
  EXPECT_TRUE(batch_boxes_are_orthorhombic(batch));
}

// A host LAMMPS list with rows owned by the record.
struct LammpsArrays {
  std::int32_t nlocal = 0;
  std::vector<std::int32_t> ilist;
  std::vector<std::int32_t> numneigh;
  std::vector<std::vector<std::int32_t>> neighbors;
  std::vector<const std::int32_t*> rows;
  std::vector<std::int32_t> types;
  std::vector<std::int32_t> type_map = {-1, 0, 1};  // LAMMPS types 1 and 2
  std::vector<std::vector<double>> position_rows;
  std::vector<const double*> positions;

  QrvlLammpsNeighborInput view() {
    rows.clear();
    for (const auto& row : neighbors) rows.push_back(row.empty() ? nullptr : row.data());
    positions.clear();
    for (const auto& row : position_rows) positions.push_back(row.data());
    QrvlLammpsNeighborInput input{};
    input.nlocal = nlocal;
    input.inum = static_cast<std::int32_t>(ilist.size());
    input.ilist = ilist.data();
    input.numneigh = numneigh.data();
    input.firstneigh = rows.data();
    input.types = types.data();
    input.type_map = type_map.data();
    input.positions = positions.data();
    return input;
  }

  // `atoms` atoms with LAMMPS types alternating 1, 2 and distinct positions, no neighbors.
  static LammpsArrays with_atoms(std::int32_t atoms, std::int32_t local) {
    LammpsArrays a;
    a.nlocal = local;
    a.numneigh.assign(static_cast<std::size_t>(atoms), 0);
    a.neighbors.assign(static_cast<std::size_t>(atoms), {});
    for (std::int32_t i = 0; i < atoms; ++i) {
      a.types.push_back(1 + i % 2);
      a.position_rows.push_back({1.0 * i, 2.0 * i, 3.0 * i});
    }
    return a;
  }
};

TEST(LammpsStaging, StagesGhostsReachedByNeighborsAndMasksFlagBits) {
  LammpsArrays a = LammpsArrays::with_atoms(16, 10);
  a.ilist = {7, 3};
  a.numneigh[7] = 2;
  a.neighbors[7] = {15, (1 << 30) | 5};  // a LAMMPS flag in the top bits above atom 5
  a.numneigh[3] = 1;
  a.neighbors[3] = {7};
  const ModelProtocol protocol = test_support::minimal_protocol();  // radial 10 slots, angular 5
  const HostExternalNeighborStaging s = stage_lammps_external_neighbors(a.view(), protocol);
  EXPECT_EQ(s.atom_count, 16);
  EXPECT_EQ(s.active_count, 2);
  EXPECT_THAT(s.active_atom_indices, ElementsAre(7, 3));
  EXPECT_EQ(s.types[15], 1);  // LAMMPS type 2 maps to model type 1
  EXPECT_EQ(s.positions_soa3[2 * 16 + 15], 45.0);
  EXPECT_EQ(s.nn_radial[7], 2);
  EXPECT_EQ(s.nn_radial[3], 1);
  EXPECT_EQ(s.nn_radial[12], 0);
  EXPECT_EQ(s.nl_radial_slot_major[0 * 16 + 7], 15);
  EXPECT_EQ(s.nl_radial_slot_major[1 * 16 + 7], 5);
  EXPECT_EQ(s.nl_angular_slot_major[1 * 16 + 7], 5);
  EXPECT_EQ(s.nl_radial_slot_major.size(), 160u);
  EXPECT_EQ(s.nl_angular_slot_major.size(), 80u);
}

TEST(LammpsStaging, AnEmptyListGivesAnEmptyRecord) {
  // Every array is present but holds nothing to read: no local atom and no active atom.
  const std::int32_t unused_index = 0;
  const std::int32_t* const unused_row = &unused_index;
  const double unused_position[3] = {0.0, 0.0, 0.0};
  const double* const unused_position_row = unused_position;
  QrvlLammpsNeighborInput input{};
  input.ilist = &unused_index;
  input.numneigh = &unused_index;
  input.firstneigh = &unused_row;
  input.types = &unused_index;
  input.type_map = &unused_index;
  input.positions = &unused_position_row;
  const HostExternalNeighborStaging s = stage_lammps_external_neighbors(input, test_support::minimal_protocol());
  EXPECT_EQ(s.atom_count, 0);
  EXPECT_EQ(s.active_count, 0);
  EXPECT_TRUE(s.types.empty());
  EXPECT_TRUE(s.active_atom_indices.empty());
  EXPECT_TRUE(s.nl_radial_slot_major.empty());
}

struct LammpsRefusal {
  const char* name;
  std::function<void(LammpsArrays&, QrvlLammpsNeighborInput&)> break_input;
  const char* message;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const LammpsRefusal& c, std::ostream* os) { *os << c.name; }

std::vector<LammpsRefusal> lammps_refusals() {
  using L = LammpsArrays;
  using In = QrvlLammpsNeighborInput;
  return {
      {"NegativeNlocal", [](L&, In& in) { in.nlocal = -1; }, "negative nlocal"},
      {"NegativeInum", [](L&, In& in) { in.inum = -1; }, "negative inum"},
      {"NoIlist", [](L&, In& in) { in.ilist = nullptr; }, "missing ilist"},
      {"NoNumneigh", [](L&, In& in) { in.numneigh = nullptr; }, "missing numneigh"},
      {"NoFirstneigh", [](L&, In& in) { in.firstneigh = nullptr; }, "missing firstneigh"},
      {"NoTypes", [](L&, In& in) { in.types = nullptr; }, "missing types"},
      {"NoTypeMap", [](L&, In& in) { in.type_map = nullptr; }, "missing type_map"},
      {"NoPositions", [](L&, In& in) { in.positions = nullptr; }, "missing positions"},
      {"NegativeActiveIndex", [](L& a, In&) { a.ilist[0] = -2; }, "negative active atom index"},
      {"NegativeCount", [](L& a, In&) { a.numneigh[0] = -1; }, "negative neighbor count"},
      {"MissingRow", [](L& a, In&) { a.rows[0] = nullptr; }, "missing LAMMPS neighbor row"},
      {"MissingPositionRow", [](L& a, In&) { a.positions[3] = nullptr; }, "missing LAMMPS position row"},
      {"NegativeType", [](L& a, In&) { a.types[2] = -1; }, "negative LAMMPS atom type"},
      {"UnmappedType", [](L& a, In&) { a.type_map[2] = -1; }, "unmapped LAMMPS atom type"},
      // Within the radial capacity (10) but beyond the angular one (5).
      {"AboveAngularCapacity",
       [](L& a, In&) {
         a.numneigh[0] = 6;
         a.neighbors[0] = {1, 2, 3, 1, 2, 3};
         a.rows[0] = a.neighbors[0].data();
       },
       "neighbor count exceeds CUDA workspace capacity"},
  };
}

class LammpsStagingRefuses : public ::testing::TestWithParam<LammpsRefusal> {};

TEST_P(LammpsStagingRefuses, WithItsMessage) {
  LammpsArrays a = LammpsArrays::with_atoms(4, 4);
  a.ilist = {0, 1};
  a.numneigh[0] = 1;
  a.neighbors[0] = {1};
  QrvlLammpsNeighborInput input = a.view();
  GetParam().break_input(a, input);
  EXPECT_THAT([&] { stage_lammps_external_neighbors(input, test_support::minimal_protocol()); },
              ThrowsMessage<std::invalid_argument>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(Checks, LammpsStagingRefuses, ::testing::ValuesIn(lammps_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

}  // namespace
}  // namespace quarvel::cuda_backend
