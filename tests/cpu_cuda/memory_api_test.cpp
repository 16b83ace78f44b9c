// Device memory on the stand-in: every pointer and range checked against live allocations, fresh memory filled
// with a pattern that is not zero, budgets, stream-ordered allocation, injected failures and per-device accounting.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr std::size_t kBytes = 256;

// A misuse of the memory calls, given a live device allocation of kBytes and a host buffer of the same size.
struct MemoryMisuse {
  const char* name;
  std::function<cudaError_t(unsigned char* device, unsigned char* host)> call;
  cudaError_t error;
};
void PrintTo(const MemoryMisuse& tested, std::ostream* out) { *out << tested.name; }  // names the row in listings

std::vector<MemoryMisuse> memory_misuses() {
  return {
      {"FreeInsideAllocation", [](unsigned char* d, unsigned char*) { return cudaFree(d + 16); },
       cudaErrorInvalidValue},
      {"FreeHostPointer", [](unsigned char*, unsigned char* h) { return cudaFree(h); }, cudaErrorInvalidValue},
      {"UploadPastEnd",
       [](unsigned char* d, unsigned char* h) { return cudaMemcpy(d + 1, h, kBytes, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"DownloadPastEnd",
       [](unsigned char* d, unsigned char* h) { return cudaMemcpy(h, d + 8, kBytes, cudaMemcpyDeviceToHost); },
       cudaErrorInvalidValue},
      {"UploadToHostMemory",
       [](unsigned char*, unsigned char* h) { return cudaMemcpy(h, h + 1, 8, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"UploadWrongWay",
       [](unsigned char* d, unsigned char* h) { return cudaMemcpy(h, d, kBytes, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"DownloadWrongWay",
       [](unsigned char* d, unsigned char* h) { return cudaMemcpy(d, h, kBytes, cudaMemcpyDeviceToHost); },
       cudaErrorInvalidValue},
      {"UploadFromNull",
       [](unsigned char* d, unsigned char*) { return cudaMemcpy(d, nullptr, kBytes, cudaMemcpyHostToDevice); },
       cudaErrorInvalidValue},
      {"DeviceToDeviceNotEmulated",
       [](unsigned char* d, unsigned char*) { return cudaMemcpy(d, d + 128, 64, cudaMemcpyDeviceToDevice); },
       cudaErrorInvalidMemcpyDirection},
      {"SetPastEnd", [](unsigned char* d, unsigned char*) { return cudaMemset(d + 128, 0, kBytes - 127); },
       cudaErrorInvalidValue},
      {"SetHostMemory", [](unsigned char*, unsigned char* h) { return cudaMemset(h, 0, 8); }, cudaErrorInvalidValue},
      {"AllocateIntoNull", [](unsigned char*, unsigned char*) { return cudaMalloc(nullptr, 8); },
       cudaErrorInvalidValue},
  };
}

class MemoryMisuses : public StandInTest, public ::testing::WithParamInterface<MemoryMisuse> {};

TEST_P(MemoryMisuses, AnswerInvalidValueAndTouchNothing) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, kBytes), cudaSuccess);
  std::vector<unsigned char> host(kBytes, 7);
  ASSERT_EQ(cudaMemset(device, 1, kBytes), cudaSuccess);
  EXPECT_EQ(GetParam().call(static_cast<unsigned char*>(device), host.data()), GetParam().error);
  EXPECT_EQ(cudaGetLastError(), GetParam().error);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "memory errors are not sticky";
  std::vector<unsigned char> back(kBytes);
  ASSERT_EQ(cudaMemcpy(back.data(), device, kBytes, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(back, std::vector<unsigned char>(kBytes, 1));
  EXPECT_EQ(host, std::vector<unsigned char>(kBytes, 7));
  EXPECT_EQ(cudaFree(device), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(Calls, MemoryMisuses, ::testing::ValuesIn(memory_misuses()),
                         [](const auto& tested) { return std::string(tested.param.name); });

using DeviceMemory = StandInTest;

TEST_F(DeviceMemory, DoubleFreeIsRefused) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, kBytes), cudaSuccess);
  ASSERT_EQ(cudaFree(device), cudaSuccess);
  EXPECT_EQ(cudaFree(device), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
}

TEST_F(DeviceMemory, FreshMemoryIsNeitherZeroNorANumber) {
  DeviceArray<float> floats(33);
  DeviceArray<double> doubles(5);
  DeviceArray<int> ints(5);
  for (float v : floats.download()) EXPECT_TRUE(std::isnan(v));
  for (double v : doubles.download()) EXPECT_TRUE(std::isnan(v));
  for (int v : ints.download()) EXPECT_LT(v, 0);
}

TEST_F(DeviceMemory, RoundTripAndZeroByteCalls) {
  std::vector<double> values{1.5, -2.25, 3.0e300};
  DeviceArray<double> device(values);
  EXPECT_EQ(device.download(), values);
  EXPECT_EQ(cudaMemcpy(nullptr, nullptr, 0, cudaMemcpyHostToDevice), cudaSuccess);
  EXPECT_EQ(cudaMemset(nullptr, 0, 0), cudaSuccess);
  void* empty = reinterpret_cast<void*>(1);
  EXPECT_EQ(cudaMalloc(&empty, 0), cudaSuccess);
  EXPECT_EQ(empty, nullptr);
  ASSERT_EQ(cudaMemset(device.get(), 0, sizeof(double)), cudaSuccess);
  EXPECT_EQ(device.download()[0], 0.0);
}

TEST_F(DeviceMemory, BudgetRefusesWithOutOfMemoryAndTracksFreeMemory) {
  constexpr std::size_t kBudget = 1 << 20;
  cpu_cuda::set_memory_budget(0, kBudget);
  std::size_t free = 0;
  std::size_t total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, kBudget);
  EXPECT_EQ(total, cpu_cuda::default_device().total_global_mem);
  void* first = nullptr;
  void* second = nullptr;
  ASSERT_EQ(cudaMalloc(&first, kBudget - 64), cudaSuccess);
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, 64u);
  EXPECT_EQ(cudaMalloc(&second, 65), cudaErrorMemoryAllocation);
  EXPECT_EQ(second, nullptr);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "out of memory");
  ASSERT_EQ(cudaMalloc(&second, 64), cudaSuccess);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 2u);
  EXPECT_EQ(cpu_cuda::live_allocation_bytes(), kBudget);
  EXPECT_EQ(cudaFree(first), cudaSuccess);
  EXPECT_EQ(cudaFree(second), cudaSuccess);
  EXPECT_EQ(cpu_cuda::live_allocation_bytes(), 0u);
}

TEST_F(DeviceMemory, BudgetsAndAllocationsArePerDevice) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  cpu_cuda::set_memory_budget(1, 128);
  void* on_zero = nullptr;
  void* on_one = nullptr;
  ASSERT_EQ(cudaMalloc(&on_zero, 1024), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&on_one, 1024), cudaErrorMemoryAllocation);
  ASSERT_EQ(cudaMalloc(&on_one, 128), cudaSuccess);
  std::size_t free = 0;
  std::size_t total = 0;
  ASSERT_EQ(cudaMemGetInfo(&free, &total), cudaSuccess);
  EXPECT_EQ(free, 0u);
  EXPECT_EQ(cudaFree(on_zero), cudaSuccess);
  EXPECT_EQ(cudaFree(on_one), cudaSuccess);
}

TEST_F(DeviceMemory, StreamOrderedAllocationWorksAndCanBeRefused) {
  void* memory = nullptr;
  ASSERT_EQ(cudaMallocAsync(&memory, kBytes, nullptr), cudaSuccess);
  EXPECT_EQ(cpu_cuda::live_allocation_count(), 1u);
  EXPECT_EQ(cudaFreeAsync(memory, nullptr), cudaSuccess);
  cpu_cuda::set_async_allocation_supported(false);
  EXPECT_EQ(cudaMallocAsync(&memory, kBytes, nullptr), cudaErrorNotSupported);
  EXPECT_STREQ(cudaGetErrorString(cudaGetLastError()), "operation not supported");
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&memory, kBytes), cudaSuccess) << "plain allocation still works";
  EXPECT_EQ(cudaFree(memory), cudaSuccess);
}

struct InjectedFailure {
  const char* name;
  cpu_cuda::Operation operation;
  cudaError_t error;
};
void PrintTo(const InjectedFailure& tested, std::ostream* out) { *out << tested.name; }  // names the row in listings

class InjectedMemoryFailures : public StandInTest, public ::testing::WithParamInterface<InjectedFailure> {};

TEST_P(InjectedMemoryFailures, HitOnlyTheNthCall) {
  const InjectedFailure& c = GetParam();
  std::vector<int> host(4, 3);
  auto call = [&](void*& memory) -> cudaError_t {
    switch (c.operation) {
      case cpu_cuda::Operation::allocation: return cudaMalloc(&memory, 64);
      case cpu_cuda::Operation::copy:
        return cudaMemcpy(memory, host.data(), host.size() * sizeof(int), cudaMemcpyHostToDevice);
      case cpu_cuda::Operation::launch: break;
    }
    return cudaErrorUnknown;
  };
  void* buffers[3] = {nullptr, nullptr, nullptr};
  if (c.operation == cpu_cuda::Operation::copy) {
    for (void*& b : buffers) ASSERT_EQ(cudaMalloc(&b, 64), cudaSuccess);
  }
  cpu_cuda::inject_failure(c.operation, 2, c.error);
  EXPECT_EQ(call(buffers[0]), cudaSuccess);
  EXPECT_EQ(call(buffers[1]), c.error);
  EXPECT_EQ(cudaGetLastError(), c.error);
  EXPECT_EQ(call(buffers[2]), cudaSuccess);
  for (void* b : buffers) EXPECT_EQ(cudaFree(b), cudaSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Operations, InjectedMemoryFailures,
    ::testing::Values(InjectedFailure{"Allocation", cpu_cuda::Operation::allocation, cudaErrorMemoryAllocation},
                      InjectedFailure{"Copy", cpu_cuda::Operation::copy, cudaErrorUnknown}),
    [](const auto& tested) { return std::string(tested.param.name); });
}  // namespace
}  // namespace cpu_cuda_test
