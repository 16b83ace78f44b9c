#include "cuda_backend/device_staging.hpp"

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
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::BatchArrays;
using test_support::download;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr int kTypes = 2;

class DeviceStagingTest : public test_support::DeviceTest {
 protected:
  static DeviceWorkspace workspace(std::uint64_t atoms, std::uint64_t structures, bool spin = false) {
    const ModelProtocol p = spin ? test_support::spin_protocol(1, 1, 0, 0) : test_support::minimal_protocol();
    return DeviceWorkspace(make_internal_neighbor_workspace_plan(p, atoms, structures, false));
  }
};

TEST_F(DeviceStagingTest, StagesTypesPositionsStructuresAndCells) {
  BatchArrays arrays = BatchArrays::consecutive({2, 3}, kTypes);
  arrays.boxes[9 + 1] = 0.5;  // a tilted second cell
  DeviceWorkspace ws = workspace(8, 3);
  stage_batch_on_device(arrays.view(), kTypes, ws);
  const DeviceWorkspaceView v = ws.view();
  EXPECT_THAT(download(v.types, 5), ElementsAre(0, 1, 0, 1, 0));
  const std::vector<double> positions = download(v.positions_soa3, 24);
  for (std::size_t i = 0; i < 5; ++i) {
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(positions[c * 8 + i], arrays.positions[3 * i + c]);
  }
  EXPECT_THAT(download(v.atom_to_structure, 5), ElementsAre(0, 0, 1, 1, 1));
  EXPECT_THAT(download(v.structure_atom_counts, 2), ElementsAre(2, 3));
  EXPECT_THAT(download(v.structure_atom_offsets, 2), ElementsAre(0, 2));
  EXPECT_EQ(download(v.boxes_row_major9, 18), arrays.boxes);
  EXPECT_THAT(download(v.pbc_flags3, 6), ElementsAre(1, 1, 1, 1, 1, 1));
  const std::vector<double> inverse = download(v.box_inverse_row_major9, 18);
  for (int s = 0; s < 2; ++s) {
    for (int r = 0; r < 3; ++r) {
      for (int c = 0; c < 3; ++c) {
        double product = 0.0;
        for (int k = 0; k < 3; ++k) product += arrays.boxes[9 * s + 3 * r + k] * inverse[9 * s + 3 * k + c];
        EXPECT_NEAR(product, r == c ? 1.0 : 0.0, 1e-15);  // double rounding of a 10 Angstrom cell's inverse
      }
    }
  }
}

TEST_F(DeviceStagingTest, ABatchWithoutFlagsIsStagedNonPeriodic) {
  BatchArrays arrays = BatchArrays::consecutive({1}, 1);
  QrvlStructureBatch batch = arrays.view();
  batch.pbc = nullptr;
  DeviceWorkspace ws = workspace(1, 1);
  stage_batch_on_device(batch, 1, ws);
  EXPECT_THAT(download(ws.view().pbc_flags3, 3), ElementsAre(0, 0, 0));
}

TEST_F(DeviceStagingTest, SpinWorkspaceStagesSpinsStrided) {
  BatchArrays arrays = BatchArrays::consecutive({3}, 1);
  arrays.spins = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  DeviceWorkspace ws = workspace(4, 1, true);
  stage_batch_on_device(arrays.view(), 1, ws);
  EXPECT_THAT(download(ws.view().spins_soa3, 12), ElementsAre(1, 4, 7, ::testing::_, 2, 5, 8, ::testing::_, 3, 6, 9,
                                                              ::testing::_));
}

TEST_F(DeviceStagingTest, AcceptsStructuresInAnyOrderOfOffsets) {
  BatchArrays arrays = BatchArrays::consecutive({2, 3}, 1);
  arrays.counts = {3, 2};
  arrays.offsets = {2, 0};
  DeviceWorkspace ws = workspace(5, 2);
  stage_batch_on_device(arrays.view(), 1, ws);
  EXPECT_THAT(download(ws.view().atom_to_structure, 5), ElementsAre(1, 1, 0, 0, 0));
}

struct StagingRefusal {
  const char* name;
  std::function<void(BatchArrays&, QrvlStructureBatch&, int&)> break_input;
  const char* message;
  bool invalid_argument;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const StagingRefusal& c, std::ostream* os) { *os << c.name; }

std::vector<StagingRefusal> staging_refusals() {
  using B = BatchArrays;
  using Q = QrvlStructureBatch;
  const int max = std::numeric_limits<std::int32_t>::max();
  return {
      {"NoStructures", [](B&, Q& q, int&) { q.num_structures = 0; }, "batch must contain structures", false},
      {"NoAtoms", [](B&, Q& q, int&) { q.num_atoms = 0; }, "batch must contain atoms", false},
      {"AtomsAboveCapacity", [](B&, Q& q, int&) { q.num_atoms = 11; }, "batch exceeds workspace atom capacity", false},
      {"StructuresAboveCapacity", [](B&, Q& q, int&) { q.num_structures = 3; },
       "batch exceeds workspace structure capacity", false},
      {"NoCounts", [](B&, Q& q, int&) { q.atom_counts = nullptr; }, "missing atom counts", false},
      {"NoOffsets", [](B&, Q& q, int&) { q.atom_offsets = nullptr; }, "missing atom offsets", false},
      {"NoTypes", [](B&, Q& q, int&) { q.types = nullptr; }, "missing atom types", false},
      {"NoPositions", [](B&, Q& q, int&) { q.positions = nullptr; }, "missing atom positions", false},
      {"NoModelTypes", [](B&, Q&, int& types) { types = 0; }, "model must contain atom types", true},
      {"NoBoxes", [](B&, Q& q, int&) { q.boxes = nullptr; }, "missing boxes", false},
      {"EmptyStructure", [](B& b, Q&, int&) { b.counts[1] = 0; }, "structure atom count must be positive", false},
      {"NegativeOffset", [](B& b, Q&, int&) { b.offsets[1] = -1; }, "structure atom offset must be non-negative",
       false},
      {"RangePastEnd", [](B& b, Q&, int&) { b.counts[1] = 6; }, "structure atom range exceeds batch atom count", false},
      {"RangeWrapsPastTwoToThe31",
       [max](B& b, Q&, int&) {
         b.offsets[1] = max - 1;
         b.counts[1] = 5;
       },
       "structure atom range exceeds batch atom count", false},
      {"Overlap", [](B& b, Q&, int&) { b.offsets[1] = 4; }, "overlapping structure atom ranges", false},
      {"Gap",
       [](B& b, Q&, int&) {
         b.counts[0] = 4;  // atom 4 belongs to no structure; structure 1 is 5..9
       },
       "batch atom is not covered by any structure", false},
      {"TypeEqualToTypeCount", [](B& b, Q&, int& types) { b.types[3] = types; },
       "atom type index is outside the model type range", true},
      {"NegativeType", [](B& b, Q&, int&) { b.types[0] = -1; }, "atom type index is outside the model type range",
       true},
      // A cell of determinant exactly 1e-12 is singular.
      {"SingularCell",
       [](B& b, Q&, int&) {
         b.boxes[9] = 1e-12;
         b.boxes[13] = 1.0;
         b.boxes[17] = 1.0;
       },
       "singular simulation box", false},
  };
}

class DeviceStagingRefuses : public DeviceStagingTest, public ::testing::WithParamInterface<StagingRefusal> {};

TEST_P(DeviceStagingRefuses, WithItsMessageAndExceptionType) {
  BatchArrays arrays = BatchArrays::consecutive({5, 5}, kTypes);
  QrvlStructureBatch batch = arrays.view();
  int types = kTypes;
  GetParam().break_input(arrays, batch, types);
  DeviceWorkspace ws = workspace(10, 2);
  if (GetParam().invalid_argument) {
    EXPECT_THAT([&] { stage_batch_on_device(batch, types, ws); },
                ThrowsMessage<std::invalid_argument>(StrEq(GetParam().message)));
  } else {
    EXPECT_THAT([&] { stage_batch_on_device(batch, types, ws); },
                ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
  }
}

INSTANTIATE_TEST_SUITE_P(Checks, DeviceStagingRefuses, ::testing::ValuesIn(staging_refusals()),
                         [](const auto& test_case) { return std::string(test_case.param.name); });

TEST_F(DeviceStagingTest, SpinWorkspaceRequiresSpins) {
  const BatchArrays arrays = BatchArrays::consecutive({2}, 1);
  DeviceWorkspace ws = workspace(2, 1, true);
  EXPECT_THAT([&] { stage_batch_on_device(arrays.view(), 1, ws); },
              ThrowsMessage<std::runtime_error>(StrEq("spin model requires atom spins")));
}

struct MissingArray {
  const char* array;
  const char* message;
};

void PrintTo(const MissingArray& c, std::ostream* os) { *os << c.array; }

class DeviceStagingNeeds : public test_support::DeviceTest, public ::testing::WithParamInterface<MissingArray> {};

TEST_P(DeviceStagingNeeds, EachArrayItWrites) {
  const BatchArrays arrays = BatchArrays::consecutive({2}, 1);
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 2, 1, false);
  DeviceWorkspace ws(test_support::without_array(plan, GetParam().array));
  EXPECT_THAT([&] { stage_batch_on_device(arrays.view(), 1, ws); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, DeviceStagingNeeds,
    ::testing::Values(MissingArray{"types", "workspace missing types"},
                      MissingArray{"positions_soa3", "workspace missing positions"},
                      MissingArray{"atom_to_structure", "workspace missing atom_to_structure"},
                      MissingArray{"structure_atom_counts", "workspace missing structure counts"},
                      MissingArray{"structure_atom_offsets", "workspace missing structure offsets"},
                      MissingArray{"boxes_row_major9", "workspace missing boxes"},
                      MissingArray{"box_inverse_row_major9", "workspace missing box inverses"},
                      MissingArray{"pbc_flags3", "workspace missing pbc flags"},
                      MissingArray{"output_forces_aos3", "workspace missing batch AoS staging buffer"}),
    [](const auto& test_case) { return std::string(test_case.param.array); });

}  // namespace
}  // namespace quarvel::cuda_backend
