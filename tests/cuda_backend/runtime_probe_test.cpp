#include "cuda_backend/runtime_probe.hpp"

#include <gtest/gtest.h>

#include <string>

#include "support/device_test.hpp"

namespace quarvel {
namespace {

class RuntimeProbeTest : public test_support::DeviceTest {};

TEST_F(RuntimeProbeTest, PassesOnAWorkingDeviceAndLeavesNoErrorPending) {
  std::string detail = "stale";
  EXPECT_TRUE(probe_cuda_device(0, detail));
  EXPECT_EQ(detail, "CUDA allocation, kernel launch, synchronization, and copyback passed.");
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  int current = -1;
  ASSERT_EQ(cudaGetDevice(&current), cudaSuccess);
  EXPECT_EQ(current, 0);
}

TEST_F(RuntimeProbeTest, ADeviceThatDoesNotExistFailsAtSelection) {
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  std::string detail;
  EXPECT_FALSE(probe_cuda_device(count, detail));
  EXPECT_EQ(detail, std::string("cudaSetDevice failed: ") + cudaGetErrorString(cudaErrorInvalidDevice));
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

}  // namespace
}  // namespace quarvel
