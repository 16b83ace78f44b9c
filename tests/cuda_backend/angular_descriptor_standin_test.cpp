// The descriptor launcher's shared-memory fallback, on stand-in devices with chosen shared-memory limits. Basis
// sizes this large never come from a model file, so the model is assembled by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <vector>

#include "cuda_backend/angular_descriptor.hpp"
#include "cuda_backend/workspace_plan.hpp"
#include "support/descriptor_structures.hpp"
#include "support/device_test.hpp"
#include "support/protocol_shapes.hpp"
#include "support/standin_shared_memory.hpp"
#include "support/radial_basis_reference.hpp"

namespace quarvel::cuda_backend {
namespace {

using test_support::NeighborLists;
using test_support::Structure;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

constexpr double kCutoff = 5.0;  // Angstrom
constexpr std::size_t kKiB = 1024;
constexpr int kAtoms = 12;

// One type, one radial function, no angular channels, `basis_size` + 1 basis functions.
HostModelParameters radial_model(int basis_size) {
  HostModelParameters host;
  ModelProtocol& p = host.protocol;
  p = test_support::minimal_protocol();
  p.basis_size_radial = basis_size;
  p.cutoff_radial = p.cutoff_radial_list = p.cutoff_max = kCutoff;
  p.cutoff_angular = kCutoff - 1.0;
  p.neighbor_capacity_radial = kAtoms;
  p.structural_coefficient_count = static_cast<std::uint64_t>(basis_size) + 1;
  for (int b = 0; b <= basis_size; ++b) {
    host.type_pair_major_descriptor_coefficients.push_back(0.25f * static_cast<float>((b % 7) - 3));
  }
  host.radial_pair_cutoffs = {static_cast<float>(kCutoff)};
  host.angular_pair_cutoffs = {static_cast<float>(kCutoff - 1.0)};
  return host;
}

class DescriptorSharedMemory : public test_support::StandinSharedMemoryTest {
 protected:
  // Runs the descriptors of a small structure and compares them with the double reference.
  static void expect_reference_descriptors(const HostModelParameters& host) {
    const DeviceModel model(host);
    DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(host.protocol, kAtoms, 1, false));
    const Structure s = test_support::random_structure(kAtoms, 1, kCutoff, 5);
    const NeighborLists lists = test_support::brute_force_lists(s, kCutoff, 0.0, 1);
    test_support::stage_structures({s}, {lists}, workspace.view());
    build_descriptor_core_from_positions_on_device(host.protocol, kAtoms, s.box(), model, workspace,
                                                   DescriptorCoreTopology::single_box);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    const std::vector<float> d = test_support::download(workspace.view().descriptors, kAtoms);
    const int nb = host.protocol.basis_size_radial + 1;
    for (int i = 0; i < kAtoms; ++i) {
      double expected = 0.0;
      double magnitude = 0.0;
      for (int j : lists.radial[i]) {
        const std::vector<double> f =
            test_support::basis_reference(test_support::norm(s.separation(i, j)), kCutoff, nb - 1);
        for (int b = 0; b < nb; ++b) {
          const double term = host.type_pair_major_descriptor_coefficients[b] * f[b];
          expected += term;
          magnitude += std::fabs(term);
        }
      }
      // Float Chebyshev recurrence over a hundred orders and a float sum: relative to the summed magnitudes.
      EXPECT_NEAR(d[i], expected, 1e-4 * magnitude + 1e-6) << "atom " << i;
    }
  }
};

TEST_F(DescriptorSharedMemory, LargeBasisFallsBackToSmallerBlocks) {
  use_device(48 * kKiB, 48 * kKiB);
  expect_reference_descriptors(radial_model(96));  // 97 floats per thread: 128 threads need 49664 bytes
}

TEST_F(DescriptorSharedMemory, FallbackBlocksAboveTheDefaultLimitOptIn) {
  use_device(48 * kKiB, 96 * kKiB);
  expect_reference_descriptors(radial_model(400));  // 32 threads need 51328 bytes: above the default limit
}

TEST_F(DescriptorSharedMemory, RefusesWhenOneThreadDoesNotFit) {
  use_device(256, 256);
  const HostModelParameters host = radial_model(96);
  const DeviceModel model(host);
  DeviceWorkspace workspace(make_internal_neighbor_workspace_plan(host.protocol, kAtoms, 1, false));
  const Structure s = test_support::random_structure(kAtoms, 1, kCutoff, 5);
  EXPECT_THAT(
      [&] {
        build_descriptor_core_from_positions_on_device(host.protocol, kAtoms, s.box(), model, workspace,
                                                       DescriptorCoreTopology::single_box);
      },
      ThrowsMessage<std::runtime_error>(StrEq("descriptor core per-atom shared state exceeds the CUDA device limit")));
}

}  // namespace
}  // namespace quarvel::cuda_backend
