// The network and schedule launchers' shared-memory paths, on stand-in devices with chosen shared-memory limits.
// Descriptor and type counts this large never come from a model file, so the models are assembled by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "cuda_backend/ann_energy.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"
#include "support/standin_shared_memory.hpp"

namespace quarvel::cuda_backend {
namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr std::size_t kKiB = 1024;
constexpr int kWideDescriptor = 400;  // with 2 hidden neurons: 128-thread tiles need 51456 bytes
constexpr int kHidden = 2;
constexpr int kAtoms = 70;

// One type, one hidden layer of kHidden neurons over kWideDescriptor descriptors, every scaler 1.
HostModelParameters wide_model() {
  HostModelParameters host;
  ModelProtocol& p = host.protocol;
  p = test_support::minimal_protocol();
  p.descriptor_dim = p.structural_descriptor_dim = kWideDescriptor;
  p.hidden_neurons = kHidden;
  const int block = kHidden * (kWideDescriptor + 2);
  p.ann_parameter_count = static_cast<std::uint64_t>(block) + 1;
  for (int k = 0; k <= block; ++k) {
    host.ann_type_major_qscaled.push_back(0.01f * static_cast<float>((k * 37) % 23 - 11));
  }
  host.ann_type_major = host.ann_type_major_qscaled;
  host.q_scaler.assign(kWideDescriptor, 1.0f);
  return host;
}

class NetworkSharedMemory : public test_support::StandinSharedMemoryTest {
 protected:
  // Energies and fp of kAtoms atoms against the network evaluated in double from the same weights.
  static void expect_reference_network() {
    const HostModelParameters host = wide_model();
    const DeviceModel model(host);
    DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(host.protocol, kAtoms, 1, false));
    const DeviceWorkspaceView v = workspace.view();
    std::vector<float> q(static_cast<std::size_t>(kWideDescriptor) * kAtoms);
    for (std::size_t k = 0; k < q.size(); ++k) q[k] = 0.002f * static_cast<float>(k % 101) - 0.1f;
    test_support::upload(v.descriptors, q);
    test_support::upload(v.types, std::vector<std::int32_t>(kAtoms, 0));
    evaluate_ann_energy_on_device(host.protocol, kAtoms, model, workspace);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<double> potential = test_support::download(v.potential, kAtoms);
    const std::vector<float> fp = test_support::download(v.fp, q.size());
    const std::vector<float>& w = host.ann_type_major_qscaled;
    const int d_count = kWideDescriptor;
    for (int i = 0; i < kAtoms; ++i) {
      double energy = -static_cast<double>(w.back());
      std::vector<double> slope(kHidden);
      for (int j = 0; j < kHidden; ++j) {
        double z = -static_cast<double>(w[kHidden * d_count + j]);
        for (int d = 0; d < d_count; ++d) z += static_cast<double>(w[j * d_count + d]) * q[d * kAtoms + i];
        const double a = std::tanh(z);
        const double out = w[kHidden * d_count + kHidden + j];
        energy += out * a;
        slope[j] = out * (1.0 - a * a);
      }
      // Float sums of 400 products of size ~0.01: a few units of 1e-6.
      EXPECT_NEAR(potential[i], energy, 1e-5) << "atom " << i;
      for (int d = 0; d < d_count; ++d) {
        double expected = 0.0;
        for (int j = 0; j < kHidden; ++j) expected += slope[j] * w[j * d_count + d];
        EXPECT_NEAR(fp[d * kAtoms + i], expected, 1e-6) << "atom " << i << " component " << d;
      }
    }
  }
};

TEST_F(NetworkSharedMemory, WideTilesOptInAboveTheDefaultLimit) {
  use_device(48 * kKiB, 64 * kKiB);
  expect_reference_network();
}

TEST_F(NetworkSharedMemory, WideTilesFallBackToSmallerBlocks) {
  use_device(30 * kKiB, 30 * kKiB);  // 128 threads do not fit; 64 threads (25728 bytes) do
  expect_reference_network();
}

TEST_F(NetworkSharedMemory, RefusesWhenEvenOneWarpDoesNotFit) {
  use_device(10 * kKiB, 10 * kKiB);  // 32 threads need 12864 bytes
  const HostModelParameters host = wide_model();
  const DeviceModel model(host);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(host.protocol, kAtoms, 1, false));
  EXPECT_THAT(
      [&] { evaluate_ann_energy_on_device(host.protocol, kAtoms, model, workspace); },
      ThrowsMessage<std::runtime_error>(StrEq("scheduled ANN subwarp state exceeds CUDA shared-memory capacity")));
}

// 8 bytes of shared counters per type: past 6144 types the schedule needs more than 48 KiB.
constexpr int kManyTypes = 7000;

TEST_F(NetworkSharedMemory, ScheduleOfManyTypesOptsInOrRefuses) {
  ModelProtocol p = test_support::minimal_protocol();
  p.num_types = kManyTypes;
  use_device(48 * kKiB, 64 * kKiB);
  {
    DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(p, kAtoms, 1, false));
    std::vector<std::int32_t> types;
    for (int i = 0; i < kAtoms; ++i) types.push_back((kManyTypes - 1) - 97 * i);
    test_support::upload(workspace.view().types, types);
    build_atom_type_schedule_on_device(p, kAtoms, workspace);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<std::int32_t> schedule = test_support::download(workspace.view().type_scheduled_atoms, kAtoms);
    // Types fall with the index, so the grouped order is the reversed one.
    for (int k = 0; k < kAtoms; ++k) EXPECT_EQ(schedule[k], kAtoms - 1 - k);
  }
  use_device(48 * kKiB, 48 * kKiB);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(p, kAtoms, 1, false));
  EXPECT_THAT([&] { build_atom_type_schedule_on_device(p, kAtoms, workspace); },
              ThrowsMessage<std::runtime_error>(StrEq("local type grouping exceeds CUDA shared-memory capacity")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
