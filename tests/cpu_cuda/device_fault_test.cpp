// Device faults: a barrier or warp collective that a named thread can never join. The launch fails with the
// sticky "unspecified launch failure" and one report on standard error, and nothing hangs.
#include <ostream>
#include <string>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr unsigned int kFullMask = 0xffffffffu;

__global__ void shuffle_after_half_warp_exits(int* out) {
  if (threadIdx.x >= 16) return;
  out[threadIdx.x] = __shfl_down_sync(kFullMask, static_cast<int>(threadIdx.x), 1);
}

__global__ void shuffle_against_barrier(int* out) {
  if (threadIdx.x < 16) {
    out[threadIdx.x] = __shfl_sync(kFullMask, 1, 0);
  } else {
    __syncthreads();
  }
}

__global__ void shuffles_at_two_call_sites(int* out) {
  int value = 0;
  if (threadIdx.x % 2 == 0) {
    value = __shfl_sync(kFullMask, 1, 0);
  } else {
    value = __shfl_sync(kFullMask, 2, 0);
  }
  out[threadIdx.x] = value;
}

// Half a warp shuffles among itself and exits; the other half waits at a whole-warp shuffle.
__global__ void shuffle_after_half_warp_shuffled_and_exited(int* out) {
  if (threadIdx.x < 16) {
    out[threadIdx.x] = __shfl_xor_sync(0x0000ffffu, 1, 1);
    return;
  }
  out[threadIdx.x] = __shfl_xor_sync(kFullMask, 1, 1);
}

// Half a warp shuffles among itself, then the two halves wait at whole-warp shuffles of different call sites.
__global__ void subset_shuffle_then_two_call_sites(int* out) {
  int value = 1;
  if (threadIdx.x < 16) {
    value = __shfl_xor_sync(0x0000ffffu, value, 1);
    value = __shfl_xor_sync(kFullMask, value, 16);
  } else {
    value = __shfl_xor_sync(kFullMask, value, 16);
  }
  out[threadIdx.x] = value;
}

__global__ void barriers_at_two_call_sites(int* out) {
  if (threadIdx.x < 64) {
    __syncthreads();
  } else {
    __syncthreads();
  }
  out[threadIdx.x] = 1;
}

__global__ void mask_without_own_lane(int* out) {
  out[threadIdx.x] = __shfl_sync(0x1u, 1, 0);
}

__global__ void shuffle_of_width_three(int* out) {
  out[threadIdx.x] = __shfl_sync(kFullMask, 1, 0, 3);
}

__global__ void full_mask_in_partial_warp(int* out) {
  out[threadIdx.x] = static_cast<int>(__ballot_sync(kFullMask, 1));
}

__global__ void one_block_exits_before_shuffle(int* out) {
  if (blockIdx.x == 37 && threadIdx.x == 5) return;
  out[blockIdx.x * blockDim.x + threadIdx.x] = __shfl_xor_sync(kFullMask, 1, 1);
}

// Each thread reads its right neighbour's value through shared memory.
__global__ void rotate_through_shared(int* out) {
  __shared__ int slots[32];
  slots[threadIdx.x] = static_cast<int>(threadIdx.x);
  __syncthreads();
  out[threadIdx.x] = slots[(threadIdx.x + 1) % 32];
}

struct FaultCase {
  const char* name;
  void (*launch)(int* out);
  std::vector<std::string> report;  // pieces the one line on standard error must contain
};
void PrintTo(const FaultCase& tested, std::ostream* out) { *out << tested.name; }  // names the row in listings

template <auto Kernel>
void launch_one_block(unsigned int threads, int* out) {
  cpu_cuda::launch<Kernel>(dim3(1), dim3(threads), 0, out);
}

std::vector<FaultCase> fault_cases() {
  return {
      {"LanesExitedBeforeShuffle", [](int* out) { launch_one_block<shuffle_after_half_warp_exits>(32, out); },
       {"kernel cpu_cuda_test::", "shuffle_after_half_warp_exits", "block (0, 0, 0), warp 0",
        "__shfl_down_sync(mask 0xffffffff)", "waits for lanes 16-31, which have exited"}},
      {"LanesAtBarrierInsteadOfShuffle", [](int* out) { launch_one_block<shuffle_against_barrier>(32, out); },
       {"shuffle_against_barrier", "warp 0", "waits for lanes 16-31, which wait at __syncthreads at "
                                             "device_fault_test.cpp"}},
      {"ShufflesAtTwoCallSites", [](int* out) { launch_one_block<shuffles_at_two_call_sites>(64, out); },
       {"shuffles_at_two_call_sites", "warp 0", "lanes 1, 3, 5", "which wait at __shfl_sync(mask 0xffffffff) at "
                                                                 "device_fault_test.cpp"}},
      {"LanesExitedAfterTheirOwnShuffle",
       [](int* out) { launch_one_block<shuffle_after_half_warp_shuffled_and_exited>(32, out); },
       {"shuffle_after_half_warp_shuffled_and_exited", "warp 0", "__shfl_xor_sync(mask 0xffffffff)",
        "in lane 16 waits for lanes 0-15, which have exited"}},
      {"SubsetShuffleThenTwoCallSites",
       [](int* out) { launch_one_block<subset_shuffle_then_two_call_sites>(32, out); },
       {"subset_shuffle_then_two_call_sites", "warp 0", "in lane 0 waits for lanes 16-31, which wait at "
                                                        "__shfl_xor_sync(mask 0xffffffff) at device_fault_test.cpp"}},
      {"BarriersAtTwoCallSites", [](int* out) { launch_one_block<barriers_at_two_call_sites>(128, out); },
       {"barriers_at_two_call_sites", "warp 2", "waits for lanes 0-31", "__syncthreads at device_fault_test.cpp"}},
      {"MaskLeavesOutTheCaller", [](int* out) { launch_one_block<mask_without_own_lane>(32, out); },
       {"mask_without_own_lane", "warp 0", "lane ", "__shfl_sync(mask 0x00000001)", "whose mask leaves it out"}},
      {"WidthNotAPowerOfTwo", [](int* out) { launch_one_block<shuffle_of_width_three>(32, out); },
       {"shuffle_of_width_three", "with width 3, not a power of two from 1 to 32"}},
      {"FullMaskInPartialWarp", [](int* out) { launch_one_block<full_mask_in_partial_warp>(48, out); },
       {"full_mask_in_partial_warp", "warp 1", "__ballot_sync(mask 0xffffffff)",
        "waits for lanes 16-31, which have exited"}},
      {"OneLaneOfOneBlockAmongMany",
       [](int* out) { cpu_cuda::launch<one_block_exits_before_shuffle>(dim3(64), dim3(32), 0, out); },
       {"one_block_exits_before_shuffle", "block (37, 0, 0), warp 0", "waits for lanes 5, which have exited"}},
  };
}

class DeviceFaults : public StandInTest, public ::testing::WithParamInterface<FaultCase> {
 protected:
  DeviceFaults() { expect_all_freed_ = false; }
};

TEST_P(DeviceFaults, FailTheLaunchStickilyWithOneReport) {
  DeviceArray<int> out(64 * 128);
  ::testing::internal::CaptureStderr();
  GetParam().launch(out.get());
  const std::string report = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(report.rfind("cpu_cuda: device fault in kernel ", 0), 0u) << report;
  EXPECT_EQ(report.find('\n'), report.size() - 1) << "one line: " << report;
  for (const std::string& piece : GetParam().report) EXPECT_NE(report.find(piece), std::string::npos) << piece;
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure) << "sticky";
  EXPECT_STREQ(cudaGetErrorString(cudaErrorLaunchFailure), "unspecified launch failure");
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorLaunchFailure);
  std::vector<int> host(4);
  EXPECT_EQ(cudaMemcpy(host.data(), out.get(), sizeof(int) * host.size(), cudaMemcpyDeviceToHost),
            cudaErrorLaunchFailure);
  void* more = nullptr;
  EXPECT_EQ(cudaMalloc(&more, 8), cudaErrorLaunchFailure);
}

INSTANTIATE_TEST_SUITE_P(Kernels, DeviceFaults, ::testing::ValuesIn(fault_cases()),
                         [](const auto& tested) { return std::string(tested.param.name); });

class DeviceFault : public StandInTest {
 protected:
  DeviceFault() { expect_all_freed_ = false; }
};

TEST_F(DeviceFault, SpoilsOnlyTheDeviceItHappenedOn) {
  cpu_cuda::set_devices({cpu_cuda::default_device(), cpu_cuda::default_device()});
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  {
    DeviceArray<int> out(32);
    ::testing::internal::CaptureStderr();
    launch_one_block<shuffle_after_half_warp_exits>(32, out.get());
    ::testing::internal::GetCapturedStderr();
  }
  EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  DeviceArray<int> out(32);
  launch_one_block<shuffle_of_width_three>(0, out.get());  // refused shape: an ordinary, non-sticky error
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  // The threads abandoned by the fault leave nothing behind that troubles the next block on this thread.
  launch_one_block<rotate_through_shared>(32, out.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = out.download();
  for (int t = 0; t < 32; ++t) EXPECT_EQ(got[static_cast<std::size_t>(t)], (t + 1) % 32);
}
}  // namespace
}  // namespace cpu_cuda_test
