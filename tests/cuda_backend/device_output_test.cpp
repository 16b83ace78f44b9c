#include "cuda_backend/device_output.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::download;
using test_support::upload;
using ::testing::ElementsAre;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr int kVirial = 9;
// Row-major position p reads device component kDeviceOfRowMajor[p] (device order xx, yy, zz, xy, xz, yz, yx, zx, zy).
constexpr int kDeviceOfRowMajor[kVirial] = {0, 3, 4, 6, 1, 5, 7, 8, 2};

// A workspace whose accumulators hold values that are multiples of 1/8 and small, so every summation order gives
// the same double exactly.
class DeviceOutputTest : public test_support::DeviceTest {
 protected:
  void fill(const std::vector<std::int32_t>& counts, const std::vector<std::int32_t>& offsets, int atoms,
            std::uint64_t capacity) {
    workspace_ = DeviceWorkspace(make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), capacity,
                                                                       counts.size(), false));
    capacity_ = capacity;
    atoms_ = atoms;
    potential_.assign(capacity, 0.0);
    force_.assign(3 * capacity, 0.0);
    virial_.assign(kVirial * capacity, 0.0);
    for (int i = 0; i < atoms; ++i) {
      potential_[i] = -0.125 * (i % 17);
      for (int c = 0; c < 3; ++c) force_[c * capacity + i] = 0.25 * (c + 1) * (i % 5);
      for (int k = 0; k < kVirial; ++k) virial_[k * capacity + i] = 0.125 * (k + 1) + (i % 3);
    }
    const DeviceWorkspaceView v = workspace_.view();
    upload(v.potential, potential_);
    upload(v.force_soa3, force_);
    upload(v.virial_soa9, virial_);
    upload(v.structure_atom_counts, counts);
    upload(v.structure_atom_offsets, offsets);
  }

  double expected_energy(int offset, int count) const {
    double sum = 0.0;
    for (int i = offset; i < offset + count; ++i) sum += potential_[i];
    return sum;
  }
  double expected_virial(int offset, int count, int p) const {
    double sum = 0.0;
    for (int i = offset; i < offset + count; ++i) sum += virial_[kDeviceOfRowMajor[p] * capacity_ + i];
    return sum;
  }

  DeviceWorkspace workspace_;
  std::uint64_t capacity_ = 0;
  int atoms_ = 0;
  std::vector<double> potential_, force_, virial_;
};

TEST_F(DeviceOutputTest, PacksAtomsAndSumsEachStructure) {
  // The middle structure has more atoms than a block has threads, so per-thread partial sums come first.
  const std::vector<std::int32_t> counts = {3, 700, 1};
  const std::vector<std::int32_t> offsets = {0, 3, 703};
  fill(counts, offsets, 704, 710);
  prepare_batched_outputs(3, 704, workspace_);
  const DeviceWorkspaceView v = workspace_.view();
  const std::vector<double> forces = download(v.output_forces_aos3, 3 * 704);
  const std::vector<double> virials = download(v.output_virials_per_atom_row_major9, kVirial * 704);
  for (int i = 0; i < 704; ++i) {
    for (int c = 0; c < 3; ++c) ASSERT_EQ(forces[3 * i + c], force_[c * capacity_ + i]);
    for (int p = 0; p < kVirial; ++p) ASSERT_EQ(virials[kVirial * i + p], virial_[kDeviceOfRowMajor[p] * capacity_ + i]);
  }
  const std::vector<double> energy = download(v.structure_energy, 3);
  const std::vector<double> virial = download(v.structure_virial_row_major9, 27);
  for (int s = 0; s < 3; ++s) {
    EXPECT_EQ(energy[s], expected_energy(offsets[s], counts[s]));
    for (int p = 0; p < kVirial; ++p) EXPECT_EQ(virial[kVirial * s + p], expected_virial(offsets[s], counts[s], p));
  }
  // The one-atom structure's totals are its atom's values bit for bit.
  EXPECT_EQ(energy[2], potential_[703]);
}

TEST_F(DeviceOutputTest, AtomVirialComponentsPackRowMajor) {
  fill({1}, {0}, 1, 1);
  upload(workspace_.view().virial_soa9, std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9});
  prepare_batched_outputs(1, 1, workspace_);
  EXPECT_THAT(download(workspace_.view().output_virials_per_atom_row_major9, 9), ElementsAre(1, 4, 5, 7, 2, 6, 8, 9, 3));
  EXPECT_THAT(download(workspace_.view().structure_virial_row_major9, 9), ElementsAre(1, 4, 5, 7, 2, 6, 8, 9, 3));
}

TEST_F(DeviceOutputTest, RepeatedRunsGiveIdenticalBits) {
  fill({600}, {0}, 600, 600);
  prepare_batched_outputs(1, 600, workspace_);
  const std::vector<double> first = download(workspace_.view().structure_virial_row_major9, 9);
  prepare_batched_outputs(1, 600, workspace_);
  EXPECT_EQ(download(workspace_.view().structure_virial_row_major9, 9), first);
}

TEST_F(DeviceOutputTest, SpinWorkspacePacksMagneticForces) {
  DeviceWorkspace ws(make_internal_neighbor_workspace_plan(test_support::spin_protocol(1, 1, 0, 0), 2, 1, false));
  const DeviceWorkspaceView v = ws.view();
  upload(v.structure_atom_counts, std::vector<std::int32_t>{2});
  upload(v.structure_atom_offsets, std::vector<std::int32_t>{0});
  upload(v.potential, std::vector<double>{1, 2});
  upload(v.force_soa3, std::vector<double>(6, 0.0));
  upload(v.virial_soa9, std::vector<double>(18, 0.0));
  upload(v.mforce_soa3, std::vector<double>{1, 2, 3, 4, 5, 6});
  prepare_batched_outputs(1, 2, ws);
  EXPECT_THAT(download(v.output_mforces_aos3, 6), ElementsAre(1, 3, 5, 2, 4, 6));
}

struct OutputRefusal {
  const char* name;
  int structures;
  int atoms;
  const char* message;
};

// Test names and failure output show the case by its name, not its bytes.
void PrintTo(const OutputRefusal& c, std::ostream* os) { *os << c.name; }

class DeviceOutputRefuses : public DeviceOutputTest, public ::testing::WithParamInterface<OutputRefusal> {};

TEST_P(DeviceOutputRefuses, WithItsMessage) {
  fill({2}, {0}, 2, 2);
  EXPECT_THAT([&] { prepare_batched_outputs(GetParam().structures, GetParam().atoms, workspace_); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, DeviceOutputRefuses,
    ::testing::Values(OutputRefusal{"NoStructures", 0, 2, "structure_count must be positive"},
                      OutputRefusal{"NoAtoms", 1, 0, "atom_count must be positive"},
                      OutputRefusal{"AtomsAboveCapacity", 1, 3, "atom_count exceeds workspace atom capacity"},
                      OutputRefusal{"StructuresAboveCapacity", 2, 2,
                                    "structure_count exceeds workspace structure capacity"}),
    [](const auto& test_case) { return std::string(test_case.param.name); });

struct MissingArray {
  const char* array;
  const char* message;
};

void PrintTo(const MissingArray& c, std::ostream* os) { *os << c.array; }

class DeviceOutputNeeds : public test_support::DeviceTest, public ::testing::WithParamInterface<MissingArray> {};

TEST_P(DeviceOutputNeeds, EachArrayItReads) {
  const WorkspacePlan plan = make_internal_neighbor_workspace_plan(test_support::minimal_protocol(), 2, 1, false);
  DeviceWorkspace ws(test_support::without_array(plan, GetParam().array));
  EXPECT_THAT([&] { prepare_batched_outputs(1, 2, ws); },
              ThrowsMessage<std::runtime_error>(StrEq(GetParam().message)));
}

INSTANTIATE_TEST_SUITE_P(
    Arrays, DeviceOutputNeeds,
    ::testing::Values(MissingArray{"structure_atom_counts", "workspace missing structure atom counts"},
                      MissingArray{"structure_atom_offsets", "workspace missing structure atom offsets"},
                      MissingArray{"potential", "workspace missing potential"},
                      MissingArray{"force_soa3", "workspace missing force output"},
                      MissingArray{"virial_soa9", "workspace missing virial output"},
                      MissingArray{"output_forces_aos3", "workspace missing packed forces"},
                      MissingArray{"output_virials_per_atom_row_major9", "workspace missing packed per-atom virials"},
                      MissingArray{"structure_energy", "workspace missing structure energy"},
                      MissingArray{"structure_virial_row_major9", "workspace missing structure virial"}),
    [](const auto& test_case) { return std::string(test_case.param.array); });

}  // namespace
}  // namespace quarvel::cuda_backend
