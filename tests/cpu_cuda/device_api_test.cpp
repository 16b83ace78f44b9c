// Devices, versions, error texts, events and the per-thread state of the stand-in runtime, and the mode in which
// no usable driver is installed.
#include <chrono>
#include <cstring>
#include <ostream>
#include <string>
#include <thread>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
using DeviceApi = StandInTest;

TEST_F(DeviceApi, ReportsTheConfiguredDevices) {
  cpu_cuda::DeviceConfig small = cpu_cuda::default_device();
  small.name = "small test device";
  small.major = 7;
  small.minor = 5;
  small.total_global_mem = std::size_t{1} << 30;
  small.shared_mem_per_block_optin = 64 * 1024;
  small.multi_processor_count = 4;
  cpu_cuda::set_devices({cpu_cuda::default_device(), small});
  int count = 0;
  ASSERT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 2);
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 1), cudaSuccess);
  EXPECT_STREQ(prop.name, "small test device");
  EXPECT_EQ(prop.major, 7);
  EXPECT_EQ(prop.minor, 5);
  EXPECT_EQ(prop.totalGlobalMem, std::size_t{1} << 30);
  EXPECT_EQ(prop.sharedMemPerBlock, 48u * 1024u);
  EXPECT_EQ(prop.sharedMemPerBlockOptin, 64u * 1024u);
  EXPECT_EQ(prop.multiProcessorCount, 4);
  EXPECT_EQ(prop.warpSize, 32);
  EXPECT_EQ(cudaGetDeviceProperties(&prop, 2), cudaErrorInvalidDevice);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "invalid device ordinal");
  int attribute = 0;
  ASSERT_EQ(cudaDeviceGetAttribute(&attribute, cudaDevAttrMaxSharedMemoryPerBlockOptin, 1), cudaSuccess);
  EXPECT_EQ(attribute, 64 * 1024) << "each attribute alone, as the device record has it";
  ASSERT_EQ(cudaDeviceGetAttribute(&attribute, cudaDevAttrMaxSharedMemoryPerBlock, 1), cudaSuccess);
  EXPECT_EQ(attribute, 48 * 1024);
  EXPECT_EQ(cudaDeviceGetAttribute(&attribute, cudaDevAttrMaxSharedMemoryPerBlock, 2), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaDeviceGetAttribute(nullptr, cudaDevAttrMaxSharedMemoryPerBlock, 0), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceGetAttribute(&attribute, static_cast<cudaDeviceAttr>(1), 0), cudaErrorInvalidValue)
      << "an attribute the stand-in does not report";
  (void)cudaGetLastError();
  EXPECT_EQ(cudaSetDevice(-1), cudaErrorInvalidDevice);
  int device = -1;
  ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 0) << "a refused selection keeps the current device";
}

TEST_F(DeviceApi, NoDeviceIsReportedAsTheRuntimeDoes) {
  cpu_cuda::set_devices({});
  int count = 7;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "no CUDA-capable device is detected");
  void* memory = nullptr;
  EXPECT_EQ(cudaMalloc(&memory, 8), cudaErrorNoDevice);
}

TEST_F(DeviceApi, LastErrorAndCurrentDeviceBelongToEachHostThread) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(5), cudaErrorInvalidDevice);
  int other_device = -1;
  cudaError_t other_error = cudaErrorUnknown;
  std::thread([&] {
    other_error = cudaGetLastError();
    cudaGetDevice(&other_device);
  }).join();
  EXPECT_EQ(other_error, cudaSuccess);
  EXPECT_EQ(other_device, 0);
  int device = -1;
  ASSERT_EQ(cudaGetDevice(&device), cudaSuccess);
  EXPECT_EQ(device, 1);
  EXPECT_EQ(cudaPeekAtLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(DeviceApi, VersionsFollowTheRuntimesConvention) {
  int driver = 0;
  int runtime = 0;
  ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess);
  ASSERT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  EXPECT_EQ(runtime, 12040);
  EXPECT_GE(driver, runtime);
  EXPECT_EQ(cudaDriverGetVersion(nullptr), cudaErrorInvalidValue);
}

struct ErrorText {
  cudaError_t error;
  const char* text;
};
void PrintTo(const ErrorText& tested, std::ostream* out) { *out << tested.text; }  // names the row in listings

class ErrorTexts : public ::testing::TestWithParam<ErrorText> {};

TEST_P(ErrorTexts, AreTheRuntimesOwn) { EXPECT_STREQ(cudaGetErrorString(GetParam().error), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorTexts,
    ::testing::Values(ErrorText{cudaSuccess, "no error"}, ErrorText{cudaErrorInvalidValue, "invalid argument"},
                      ErrorText{cudaErrorMemoryAllocation, "out of memory"},
                      ErrorText{cudaErrorInvalidConfiguration, "invalid configuration argument"},
                      ErrorText{cudaErrorInsufficientDriver,
                                "CUDA driver version is insufficient for CUDA runtime version"},
                      ErrorText{cudaErrorNoDevice, "no CUDA-capable device is detected"},
                      ErrorText{cudaErrorInvalidDevice, "invalid device ordinal"},
                      ErrorText{cudaErrorLaunchFailure, "unspecified launch failure"},
                      ErrorText{cudaErrorNotSupported, "operation not supported"},
                      ErrorText{static_cast<cudaError_t>(1000), "unrecognized error code"}),
    [](const auto& tested) { return "Code" + std::to_string(static_cast<int>(tested.param.error)); });

// Every call that needs a driver, given that none is usable.
struct DriverCall {
  const char* name;
  cudaError_t (*call)();
};

class WithoutDriver : public StandInTest, public ::testing::WithParamInterface<int> {};

TEST_P(WithoutDriver, EveryCallAnswersInsufficientDriverForGood) {
  cpu_cuda::set_driver_version(GetParam());
  const DriverCall calls[] = {
      {"cudaGetDeviceCount", [] { int n = 0; return cudaGetDeviceCount(&n); }},
      {"cudaSetDevice", [] { return cudaSetDevice(0); }},
      {"cudaGetDeviceProperties", [] { cudaDeviceProp p; return cudaGetDeviceProperties(&p, 0); }},
      {"cudaDeviceGetAttribute",
       [] { int v = 0; return cudaDeviceGetAttribute(&v, cudaDevAttrMaxSharedMemoryPerBlockOptin, 0); }},
      {"cudaMalloc", [] { void* p = nullptr; return cudaMalloc(&p, 4); }},
      {"cudaMemGetInfo", [] { std::size_t f = 0, t = 0; return cudaMemGetInfo(&f, &t); }},
      {"cudaDeviceSynchronize", [] { return cudaDeviceSynchronize(); }},
      {"cudaEventCreate", [] { cudaEvent_t e = nullptr; return cudaEventCreate(&e); }},
      {"cudaGetLastError", [] { return cudaGetLastError(); }},
  };
  for (const DriverCall& c : calls) EXPECT_EQ(c.call(), cudaErrorInsufficientDriver) << c.name;
  int driver = -1;
  ASSERT_EQ(cudaDriverGetVersion(&driver), cudaSuccess) << "the version query works without a driver";
  EXPECT_EQ(driver, GetParam());
  int runtime = 0;
  EXPECT_EQ(cudaRuntimeGetVersion(&runtime), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInsufficientDriver) << "sticky";
}

INSTANTIATE_TEST_SUITE_P(Drivers, WithoutDriver, ::testing::Values(0, 11080), [](const auto& tested) {
  return tested.param == 0 ? std::string("NotInstalled") : std::string("TooOld");
});

TEST_F(DeviceApi, EventsMeasureWallClockTime) {
  cudaEvent_t start = nullptr;
  cudaEvent_t stop = nullptr;
  ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
  float ms = 0.0f;
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle) << "not yet recorded";
  ASSERT_EQ(cudaEventRecord(start), cudaSuccess);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_EQ(cudaEventRecord(stop), cudaSuccess);
  ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
  ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
  EXPECT_GE(ms, 19.0f);  // the sleep lasts at least its 20 ms; float milliseconds keep far finer steps
  EXPECT_LT(ms, 2000.0f);
  EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(start), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidResourceHandle);
}
}  // namespace
}  // namespace cpu_cuda_test
