// The runtime report behind quarvel_gpu.cuda_runtime_info, on the CPU stand-in's drivers and devices (host build).
#include "cuda_runtime_report.hpp"

#include <gtest/gtest.h>

#include <cpu_cuda/control.hpp>
#include <string>
#include <vector>

namespace quarvel::python {
namespace {

constexpr const char* kAvailableDetail =
    "CUDA allocation, kernel launch, synchronization, and copyback passed on at least one device.";

class CudaRuntimeReportTest : public ::testing::Test {
 protected:
  void SetUp() override { cpu_cuda::reset(); }
  void TearDown() override {
    // Without a usable driver every call answers the driver error, as the real runtime does.
    if (driver_usable_) {
      EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the report left a CUDA error pending";
    }
    cpu_cuda::reset();
  }
  bool driver_usable_ = true;
};

cpu_cuda::DeviceConfig named_device(const std::string& name, int major, int minor, std::size_t bytes) {
  cpu_cuda::DeviceConfig device = cpu_cuda::default_device();
  device.name = name;
  device.major = major;
  device.minor = minor;
  device.total_global_mem = bytes;
  return device;
}

int current_device() {
  int device = -1;
  EXPECT_EQ(cudaGetDevice(&device), cudaSuccess);
  return device;
}

TEST_F(CudaRuntimeReportTest, AWorkingDeviceIsListedWithItsPropertiesAndFreeMemory) {
  constexpr std::size_t kTotal = std::size_t{4} << 30;
  constexpr std::size_t kBudget = std::size_t{1} << 30;
  cpu_cuda::set_devices({named_device("first", 7, 5, kTotal)});
  cpu_cuda::set_memory_budget(0, kBudget);
  int runtime_version = 0;
  ASSERT_EQ(cudaRuntimeGetVersion(&runtime_version), cudaSuccess);

  const CudaRuntimeReport report = collect_cuda_runtime_report();
  ASSERT_TRUE(report.driver_version.has_value());
  EXPECT_GE(*report.driver_version, 12000);
  EXPECT_EQ(report.runtime_version, runtime_version);
  ASSERT_EQ(report.devices.size(), 1u);
  EXPECT_EQ(report.devices[0].index, 0);
  EXPECT_EQ(report.devices[0].name, "first");
  EXPECT_EQ(report.devices[0].major, 7);
  EXPECT_EQ(report.devices[0].minor, 5);
  EXPECT_EQ(report.devices[0].total_memory_bytes, kTotal);
  EXPECT_EQ(report.free_memory_bytes, kBudget);  // the probe's word is freed again before the measurement
  EXPECT_TRUE(report.available);
  EXPECT_EQ(report.reason, "available");
  EXPECT_EQ(report.detail, kAvailableDetail);
}

TEST_F(CudaRuntimeReportTest, OnlyDevicesThatPassTheProbeAreListedAndTheFirstOfThemIsSelected) {
  cpu_cuda::set_devices({named_device("broken", 8, 9, std::size_t{2} << 30),
                         named_device("good", 8, 6, std::size_t{3} << 30)});
  cpu_cuda::set_memory_budget(1, 12345);
  cpu_cuda::fail_kernels_on_device(0);

  const CudaRuntimeReport report = collect_cuda_runtime_report();
  ASSERT_EQ(report.devices.size(), 1u);
  EXPECT_EQ(report.devices[0].index, 1);
  EXPECT_EQ(report.devices[0].name, "good");
  EXPECT_EQ(report.free_memory_bytes, 12345u);
  EXPECT_EQ(report.reason, "available");
  EXPECT_EQ(report.detail, kAvailableDetail);  // device 0's failure is recorded but not reported
  EXPECT_EQ(current_device(), 1);
}

TEST_F(CudaRuntimeReportTest, DevicesThatAllFailReportTheFirstFailure) {
  cpu_cuda::set_devices({named_device("zero", 8, 9, std::size_t{1} << 30),
                         named_device("one", 8, 9, std::size_t{1} << 30)});
  cpu_cuda::fail_kernels_on_device(0, cudaErrorNoKernelImageForDevice);
  cpu_cuda::fail_kernels_on_device(1, cudaErrorLaunchOutOfResources);

  const CudaRuntimeReport report = collect_cuda_runtime_report();
  EXPECT_TRUE(report.devices.empty());
  EXPECT_FALSE(report.available);
  EXPECT_FALSE(report.free_memory_bytes.has_value());
  EXPECT_EQ(report.reason, "kernel_probe_failed");
  EXPECT_EQ(report.detail, std::string("device 0 (zero): CUDA probe kernel failed: ") +
                               cudaGetErrorString(cudaErrorNoKernelImageForDevice));
  EXPECT_EQ(current_device(), 1);  // the last device the probe selected
}

// Device-count failures: the reason follows the runtime's error, the detail is its text.
struct CountFailureCase {
  const char* name;
  int driver_version;  // 0: none installed
  bool has_devices;
  cudaError_t error;
  const char* reason;
};

class CountFailure : public CudaRuntimeReportTest, public ::testing::WithParamInterface<CountFailureCase> {};

TEST_P(CountFailure, IsReportedWithTheRuntimeText) {
  const CountFailureCase& c = GetParam();
  if (!c.has_devices) cpu_cuda::set_devices({});
  cpu_cuda::set_driver_version(c.driver_version);
  driver_usable_ = c.error != cudaErrorInsufficientDriver;

  const CudaRuntimeReport report = collect_cuda_runtime_report();
  EXPECT_EQ(report.driver_version, c.driver_version);  // the runtime answers the driver query without a driver too
  EXPECT_TRUE(report.runtime_version.has_value());
  EXPECT_TRUE(report.devices.empty());
  EXPECT_FALSE(report.free_memory_bytes.has_value());
  EXPECT_FALSE(report.available);
  EXPECT_EQ(report.reason, c.reason);
  EXPECT_EQ(report.detail, std::string(cudaGetErrorString(c.error)));
}

INSTANTIATE_TEST_SUITE_P(Runtime, CountFailure,
                         ::testing::Values(CountFailureCase{"no_driver", 0, true, cudaErrorInsufficientDriver,
                                                            "driver_unavailable"},
                                           CountFailureCase{"driver_older_than_12", 11080, true,
                                                            cudaErrorInsufficientDriver, "driver_unavailable"},
                                           CountFailureCase{"no_device", 12040, false, cudaErrorNoDevice,
                                                            "runtime_unavailable"}),
                         [](const auto& test) { return std::string(test.param.name); });

}  // namespace
}  // namespace quarvel::python
