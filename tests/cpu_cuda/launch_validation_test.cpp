// Launch checks as the CUDA runtime makes them: refused shapes and shared-memory sizes, the kernel attribute that
// raises the limit, injected launch failures and devices whose kernels cannot run.
#include <ostream>
#include <string>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr std::size_t kDefaultSharedLimit = 48 * 1024;

__global__ void mark_ran(int* ran) { atomicAdd(ran, 1); }

__global__ void fill_dynamic_shared(std::size_t bytes, int* ok) {
  auto* memory = static_cast<unsigned char*>(cpu_cuda::dynamic_shared_memory());
  for (std::size_t i = threadIdx.x; i < bytes; i += blockDim.x) memory[i] = static_cast<unsigned char>(i);
  __syncthreads();
  int good = 1;
  for (std::size_t i = threadIdx.x; i < bytes; i += blockDim.x) good &= memory[i] == static_cast<unsigned char>(i);
  if (!good) atomicExch(ok, 0);
}

struct RefusedLaunch {
  const char* name;
  dim3 grid;
  dim3 block;
  std::size_t dynamic_shared_bytes;
  cudaError_t error;
  const char* text;
};
void PrintTo(const RefusedLaunch& tested, std::ostream* out) { *out << tested.name; }  // names the row in listings

class RefusedLaunches : public StandInTest, public ::testing::WithParamInterface<RefusedLaunch> {};

TEST_P(RefusedLaunches, AnswerTheRuntimesErrorAndDoNotRun) {
  const RefusedLaunch& c = GetParam();
  DeviceArray<int> ran(1);
  ran.fill(0);
  cpu_cuda::launch<mark_ran>(c.grid, c.block, c.dynamic_shared_bytes, ran.get());
  const cudaError_t error = cudaGetLastError();
  EXPECT_EQ(error, c.error);
  EXPECT_STREQ(cudaGetErrorString(error), c.text);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "a refused launch is not sticky";
  EXPECT_EQ(ran.download()[0], 0);
}

constexpr const char* kInvalidConfiguration = "invalid configuration argument";
INSTANTIATE_TEST_SUITE_P(
    Shapes, RefusedLaunches,
    ::testing::Values(
        RefusedLaunch{"GridXZero", dim3(0), dim3(32), 0, cudaErrorInvalidConfiguration, kInvalidConfiguration},
        RefusedLaunch{"GridYZero", dim3(1, 0), dim3(32), 0, cudaErrorInvalidConfiguration, kInvalidConfiguration},
        RefusedLaunch{"GridYAboveLimit", dim3(1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration,
                      kInvalidConfiguration},
        RefusedLaunch{"BlockXZero", dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration, kInvalidConfiguration},
        RefusedLaunch{"BlockXAboveLimit", dim3(1), dim3(1025), 0, cudaErrorInvalidConfiguration,
                      kInvalidConfiguration},
        RefusedLaunch{"BlockZAboveLimit", dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration,
                      kInvalidConfiguration},
        RefusedLaunch{"BlockThreadsAboveLimit", dim3(1), dim3(32, 16, 3), 0, cudaErrorInvalidConfiguration,
                      kInvalidConfiguration},
        RefusedLaunch{"DynamicSharedAboveDefault", dim3(1), dim3(32), kDefaultSharedLimit + 1, cudaErrorInvalidValue,
                      "invalid argument"}),
    [](const auto& tested) { return std::string(tested.param.name); });

using LaunchValidation = StandInTest;

TEST_F(LaunchValidation, LargestAcceptedShapesRun) {
  DeviceArray<int> ran(1);
  ran.fill(0);
  cpu_cuda::launch<mark_ran>(dim3(2, 2), dim3(16, 4, 16), kDefaultSharedLimit, ran.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(ran.download()[0], 4 * 1024);
}

TEST_F(LaunchValidation, RaisedAttributeAdmitsMoreDynamicSharedMemoryUpToTheOptInLimit) {
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  const std::size_t optin = prop.sharedMemPerBlockOptin;
  DeviceArray<int> ok(1);
  ok.fill(1);
  EXPECT_EQ(cudaFuncSetAttribute(fill_dynamic_shared, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                 static_cast<int>(optin) + 1),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  ASSERT_EQ(cudaFuncSetAttribute(fill_dynamic_shared, cudaFuncAttributeMaxDynamicSharedMemorySize,
                                 static_cast<int>(optin)),
            cudaSuccess);
  cpu_cuda::launch<fill_dynamic_shared>(dim3(3), dim3(128), optin, optin, ok.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(ok.download()[0], 1);
  // The attribute belongs to that kernel alone.
  DeviceArray<int> ran(1);
  ran.fill(0);
  cpu_cuda::launch<mark_ran>(dim3(1), dim3(1), optin, ran.get());
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(LaunchValidation, InjectedFailureHitsOnlyTheNthLaunch) {
  DeviceArray<int> ran(1);
  ran.fill(0);
  cpu_cuda::inject_failure(cpu_cuda::Operation::launch, 2, cudaErrorLaunchOutOfResources);
  cpu_cuda::launch<mark_ran>(dim3(1), dim3(1), 0, ran.get());
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  cpu_cuda::launch<mark_ran>(dim3(1), dim3(1), 0, ran.get());
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchOutOfResources);
  cpu_cuda::launch<mark_ran>(dim3(1), dim3(1), 0, ran.get());
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(ran.download()[0], 2);
}

TEST_F(LaunchValidation, KernelsFailOnlyOnTheChosenDevice) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  cpu_cuda::fail_kernels_on_device(1);
  for (int device = 0; device < 2; ++device) {
    ASSERT_EQ(cudaSetDevice(device), cudaSuccess);
    DeviceArray<int> ran(1);
    ran.fill(0);
    cpu_cuda::launch<mark_ran>(dim3(1), dim3(1), 0, ran.get());
    const cudaError_t error = cudaGetLastError();
    EXPECT_EQ(error, device == 1 ? cudaErrorNoKernelImageForDevice : cudaSuccess) << "device " << device;
    EXPECT_EQ(ran.download()[0], device == 1 ? 0 : 1) << "device " << device;
  }
  EXPECT_STREQ(cudaGetErrorString(cudaErrorNoKernelImageForDevice),
               "no kernel image is available for execution on the device");
}
}  // namespace
}  // namespace cpu_cuda_test
