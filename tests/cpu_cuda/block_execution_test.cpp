// Blocks and barriers on the stand-in: reductions through __syncthreads, privacy of shared memory between blocks
// running at once, thread coordinates, and the orders in which threads and blocks run.
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr unsigned int kMaxBlock = 1024;

// Tree reduction in static shared memory; any block size, with a barrier before every level.
__global__ void block_sum(const int* values, int* block_sums) {
  __shared__ int partial[kMaxBlock];
  const unsigned int t = threadIdx.x;
  partial[t] = values[blockIdx.x * blockDim.x + t];
  __syncthreads();
  for (unsigned int active = blockDim.x; active > 1;) {
    const unsigned int half = (active + 1) / 2;
    if (t + half < active) partial[t] += partial[t + half];
    __syncthreads();
    active = half;
  }
  if (t == 0) block_sums[blockIdx.x] = partial[0];
}

class BlockReduction : public StandInTest, public ::testing::WithParamInterface<unsigned int> {};

TEST_P(BlockReduction, SumsEveryBlockExactly) {
  const unsigned int block = GetParam();
  const unsigned int blocks = 37;
  std::vector<int> values(block * blocks);
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i % 1000) - 300;
  DeviceArray<int> device_values(values);
  DeviceArray<int> sums(blocks);
  cpu_cuda::launch<block_sum>(dim3(blocks), dim3(block), 0, device_values.get(), sums.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = sums.download();
  for (unsigned int b = 0; b < blocks; ++b) {
    int expected = 0;
    for (unsigned int t = 0; t < block; ++t) expected += values[b * block + t];
    EXPECT_EQ(got[b], expected) << "block " << b;
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, BlockReduction, ::testing::Values(1u, 32u, 96u, 128u, 1000u, 1024u),
                         [](const auto& block) { return "Threads" + std::to_string(block.param); });

// Each block stamps its shared memory with its own index, crosses several barriers with work in between, and
// checks that no other block's stamp arrived meanwhile.
constexpr unsigned int kPrivacyThreads = 64;
__global__ void stamp_shared(int* foreign_entries) {
  __shared__ int stamp[kPrivacyThreads];
  int* dynamic_stamp = static_cast<int*>(cpu_cuda::dynamic_shared_memory());
  const unsigned int t = threadIdx.x;
  const int own = static_cast<int>(blockIdx.x);
  int foreign = 0;
  for (int round = 0; round < 4; ++round) {
    stamp[t] = own;
    dynamic_stamp[t] = own;
    __syncthreads();
    volatile double busy = 0.0;  // keeps blocks overlapping in time
    for (int i = 0; i < 2000; ++i) busy = busy + i;
    for (unsigned int i = 0; i < blockDim.x; ++i) {
      foreign += (stamp[i] != own) + (dynamic_stamp[i] != own);
    }
    __syncthreads();
  }
  atomicAdd(foreign_entries, foreign);
}

using SharedMemory = StandInTest;
using BlockExecution = StandInTest;

TEST_F(SharedMemory, IsPrivateToEachOfManyConcurrentBlocks) {
  DeviceArray<int> foreign(1);
  foreign.fill(0);
  cpu_cuda::launch<stamp_shared>(dim3(256), dim3(kPrivacyThreads), kPrivacyThreads * sizeof(int), foreign.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(foreign.download()[0], 0);
}

__global__ void read_fresh_dynamic_shared(float* first_value) {
  *first_value = static_cast<float*>(cpu_cuda::dynamic_shared_memory())[0];
}

TEST_F(SharedMemory, DynamicSharedMemoryStartsUndefinedNotZero) {
  DeviceArray<float> value(1);
  value.fill(0.0f);
  cpu_cuda::launch<read_fresh_dynamic_shared>(dim3(1), dim3(1), 64, value.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_TRUE(std::isnan(value.download()[0]));
}

// Missing barrier: each thread reads its neighbours' slots right after writing its own.
constexpr unsigned int kRaceThreads = 32;
__global__ void read_neighbours_without_barrier(int* wrong_reads) {
  int* slots = static_cast<int*>(cpu_cuda::dynamic_shared_memory());
  const unsigned int t = threadIdx.x;
  slots[t] = static_cast<int>(t);
  const unsigned int up = (t + 1) % blockDim.x;
  const unsigned int down = (t + blockDim.x - 1) % blockDim.x;
  const int wrong = (slots[up] != static_cast<int>(up)) + (slots[down] != static_cast<int>(down));
  atomicAdd(&wrong_reads[blockIdx.x], wrong);
}

TEST_F(SharedMemory, MissingBarrierShowsInBothDirections) {
  DeviceArray<int> wrong(2);
  wrong.fill(0);
  cpu_cuda::launch<read_neighbours_without_barrier>(dim3(2), dim3(kRaceThreads), kRaceThreads * sizeof(int),
                                                    wrong.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = wrong.download();
  // Neighbours below are read before they write in one block, those above in the other.
  EXPECT_GT(got[0], 0);
  EXPECT_GT(got[1], 0);
}

// Thread and block coordinates of a 2-D grid of 3-D blocks, each thread writing its own global cell once.
__global__ void write_coordinates(unsigned int* hits, unsigned int width) {
  const unsigned int x = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned int y = (blockIdx.y * blockDim.y + threadIdx.y) * blockDim.z + threadIdx.z;
  atomicAdd(&hits[y * width + x], 1u + (gridDim.x == 3 && gridDim.y == 2 ? 0u : 100u));
}

TEST_F(BlockExecution, TwoDimensionalGridsCoverEveryThreadOnce) {
  const dim3 grid(3, 2);
  const dim3 block(8, 4, 2);
  const unsigned int width = grid.x * block.x;
  const unsigned int height = grid.y * block.y * block.z;
  DeviceArray<unsigned int> hits(width * height);
  hits.fill(0u);
  cpu_cuda::launch<write_coordinates>(grid, block, 0, hits.get(), width);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<unsigned int> got = hits.download();
  EXPECT_EQ(std::count(got.begin(), got.end(), 1u), static_cast<long>(got.size()));
}

// Threads that exit early do not hold a barrier up: the barrier waits for live threads only.
__global__ void barrier_after_early_exit(int* out) {
  __shared__ int value[kMaxBlock];
  if (threadIdx.x % 3 == 0) return;
  value[threadIdx.x] = static_cast<int>(threadIdx.x);
  __syncthreads();
  const unsigned int other = threadIdx.x % 3 == 1 ? threadIdx.x + 1 : threadIdx.x - 1;
  out[threadIdx.x] = value[other];
}

TEST_F(BlockExecution, BarrierWaitsOnlyForLiveThreads) {
  const unsigned int threads = 96;
  DeviceArray<int> out(threads);
  out.fill(-1);
  cpu_cuda::launch<barrier_after_early_exit>(dim3(1), dim3(threads), 0, out.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = out.download();
  for (unsigned int t = 0; t < threads; ++t) {
    const int expected = t % 3 == 0 ? -1 : static_cast<int>(t % 3 == 1 ? t + 1 : t - 1);
    EXPECT_EQ(got[t], expected) << "thread " << t;
  }
}

// A full block of threads, each with a few KiB of local data alive across barriers.
constexpr int kLocalInts = 1024;
__global__ void local_arrays_across_barriers(long long* sums) {
  int local[kLocalInts];
  for (int i = 0; i < kLocalInts; ++i) local[i] = static_cast<int>(threadIdx.x) + i;
  __syncthreads();
  long long sum = 0;
  for (int i = 0; i < kLocalInts; ++i) sum += local[i];
  __syncthreads();
  sums[threadIdx.x] = sum;
}

TEST_F(BlockExecution, FullBlockKeepsLocalArraysAcrossBarriers) {
  DeviceArray<long long> sums(kMaxBlock);
  cpu_cuda::launch<local_arrays_across_barriers>(dim3(2), dim3(kMaxBlock), 0, sums.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<long long> got = sums.download();
  const long long base = static_cast<long long>(kLocalInts) * (kLocalInts - 1) / 2;
  for (unsigned int t = 0; t < kMaxBlock; ++t) EXPECT_EQ(got[t], base + static_cast<long long>(t) * kLocalInts);
}

// The host threads that ran a launch's blocks.
struct HostThreads {
  std::mutex mutex;
  std::set<std::thread::id> ids;
};

// Records which host thread ran each block and in which order blocks began.
__global__ void record_block(unsigned int* order, unsigned int* next, HostThreads* threads) {
  if (threadIdx.x != 0) return;
  order[atomicAdd(next, 1u)] = blockIdx.x;
  volatile double busy = 0.0;  // keeps blocks overlapping in time
  for (int i = 0; i < 200000; ++i) busy = busy + i;
  const std::lock_guard<std::mutex> lock(threads->mutex);
  threads->ids.insert(std::this_thread::get_id());
}

constexpr unsigned int kRecordedBlocks = 64;

// Runs record_block over kRecordedBlocks blocks; answers the order in which they began.
std::vector<unsigned int> record_block_order(HostThreads& threads) {
  DeviceArray<unsigned int> order(kRecordedBlocks);
  DeviceArray<unsigned int> next(1);
  next.fill(0u);
  cpu_cuda::launch<record_block>(dim3(kRecordedBlocks), dim3(32), 0, order.get(), next.get(), &threads);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  return order.download();
}

TEST_F(BlockExecution, SerialSettingRunsBlocksInOrderOnTheCallingThread) {
  cpu_cuda::set_serial_blocks(true);
  HostThreads threads;
  const std::vector<unsigned int> got = record_block_order(threads);
  for (unsigned int b = 0; b < kRecordedBlocks; ++b) EXPECT_EQ(got[b], b);
  EXPECT_EQ(threads.ids, std::set<std::thread::id>{std::this_thread::get_id()});
}

TEST_F(BlockExecution, BlocksRunOnSeveralCoresByDefault) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one core only";
  cpu_cuda::set_serial_blocks(false);
  HostThreads threads;
  std::vector<unsigned int> got = record_block_order(threads);
  std::sort(got.begin(), got.end());
  for (unsigned int b = 0; b < kRecordedBlocks; ++b) EXPECT_EQ(got[b], b);
  EXPECT_GT(threads.ids.size(), 1u);
}
TEST_F(BlockExecution, SerialSettingComesFromTheEnvironmentAtReset) {
  ASSERT_EQ(setenv("CPU_CUDA_SERIAL_BLOCKS", "1", 1), 0);
  cpu_cuda::reset();
  EXPECT_TRUE(cpu_cuda::serial_blocks());
  ASSERT_EQ(unsetenv("CPU_CUDA_SERIAL_BLOCKS"), 0);
  cpu_cuda::reset();
  EXPECT_FALSE(cpu_cuda::serial_blocks());
}

// Several host threads allocate, launch, copy and free at once, each on its own data.
__global__ void add_offset(int* values, int offset) {
  __shared__ int tile[kPrivacyThreads];
  tile[threadIdx.x] = values[blockIdx.x * blockDim.x + threadIdx.x];
  __syncthreads();
  values[blockIdx.x * blockDim.x + threadIdx.x] = tile[(threadIdx.x + 1) % blockDim.x] + offset;
}

TEST_F(BlockExecution, HostThreadsLaunchConcurrently) {
  constexpr int kHostThreads = 6;
  constexpr unsigned int kBlocks = 16;
  constexpr int kRounds = 20;
  std::vector<int> failures(kHostThreads, 0);
  std::vector<std::thread> threads;
  for (int h = 0; h < kHostThreads; ++h) {
    threads.emplace_back([h, &failures] {
      std::vector<int> values(kBlocks * kPrivacyThreads);
      for (std::size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int>(i);
      int* device = nullptr;
      if (cudaMalloc(reinterpret_cast<void**>(&device), values.size() * sizeof(int)) != cudaSuccess) {
        ++failures[static_cast<std::size_t>(h)];
        return;
      }
      cudaMemcpy(device, values.data(), values.size() * sizeof(int), cudaMemcpyHostToDevice);
      for (int r = 0; r < kRounds; ++r) {
        cpu_cuda::launch<add_offset>(dim3(kBlocks), dim3(kPrivacyThreads), 0, device, h);
        if (cudaGetLastError() != cudaSuccess) ++failures[static_cast<std::size_t>(h)];
      }
      std::vector<int> got(values.size());
      cudaMemcpy(got.data(), device, got.size() * sizeof(int), cudaMemcpyDeviceToHost);
      cudaFree(device);
      for (std::size_t i = 0; i < got.size(); ++i) {
        // Each round rotates every block's values by one place and adds the thread's offset.
        const std::size_t block_start = i / kPrivacyThreads * kPrivacyThreads;
        const std::size_t source = block_start + (i - block_start + kRounds) % kPrivacyThreads;
        if (got[i] != values[source] + kRounds * h) ++failures[static_cast<std::size_t>(h)];
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(kHostThreads, 0));
}
}  // namespace
}  // namespace cpu_cuda_test
