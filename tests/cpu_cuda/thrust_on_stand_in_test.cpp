// Thrust on its C++ back end over stand-in device memory, compiled beside the stand-in's CUDA names as a device
// source of the host build is. Device arrays go to Thrust as raw pointers under the `thrust::device` policy:
// thrust::device_ptr dereferences through a null policy pointer inside Thrust, which the sanitizer build refuses.
#include <thrust/execution_policy.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
using ThrustOnStandIn = StandInTest;

TEST_F(ThrustOnStandIn, ScansAndReducesDeviceArrays) {
  const std::vector<int> counts{3, 0, 2, 5, 1};
  DeviceArray<int> device_counts(counts);
  DeviceArray<int> offsets(counts.size());
  const int* first = device_counts.get();
  thrust::exclusive_scan(thrust::device, first, first + counts.size(), offsets.get());
  EXPECT_EQ(offsets.download(), (std::vector<int>{0, 3, 3, 5, 10}));
  EXPECT_EQ(thrust::reduce(thrust::device, first, first + counts.size()), 11);
}
}  // namespace
}  // namespace cpu_cuda_test
