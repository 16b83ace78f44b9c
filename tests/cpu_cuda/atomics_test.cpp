// Atomics from many blocks running at once on several cores, on global and on shared memory.
#include <cmath>
#include <limits>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr unsigned int kBlocks = 512;
constexpr unsigned int kThreads = 128;
constexpr unsigned long long kTotalThreads = static_cast<unsigned long long>(kBlocks) * kThreads;

struct Counters {
  int int_sum;
  unsigned int unsigned_sum;
  unsigned long long wide_sum;
  int int_max;
  int int_min;
  unsigned long long wide_max;
  unsigned long long wide_min;
  unsigned int bits;
  int exchanges;
  int cas_count;   // incremented only through compare-and-swap retries
  float float_sum;
  double double_sum;
};

__global__ void hammer(Counters* c) {
  const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
  atomicAdd(&c->int_sum, static_cast<int>(i % 7) - 3);
  atomicAdd(&c->unsigned_sum, i);
  atomicAdd(&c->wide_sum, 1ULL << 33);
  atomicMax(&c->int_max, static_cast<int>(i * 2654435761u % 1000003u));
  atomicMax(&c->wide_max, static_cast<unsigned long long>(i) << 20);
  atomicMin(&c->int_min, static_cast<int>(i * 2654435761u % 1000003u) - 500000);
  atomicMin(&c->wide_min, (static_cast<unsigned long long>(i) << 20) + 7);
  atomicOr(&c->bits, 1u << (i % 32));
  atomicExch(&c->exchanges, static_cast<int>(i));
  int seen = c->cas_count;
  for (int assumed = seen - 1; assumed != seen;) {
    assumed = seen;
    seen = atomicCAS(&c->cas_count, assumed, assumed + 1);
  }
  atomicAdd(&c->float_sum, 1.0f);
  atomicAdd(&c->double_sum, 0.1 * (i % 10));
}

using Atomics = StandInTest;

TEST_F(Atomics, ManyConcurrentBlocksGiveExactIntegerResults) {
  DeviceArray<Counters> counters(1);
  counters.upload({Counters{0, 0, 0, std::numeric_limits<int>::min(), std::numeric_limits<int>::max(), 0,
                            std::numeric_limits<unsigned long long>::max(), 0, -1, 0, 0.0f, 0.0}});
  cpu_cuda::launch<hammer>(dim3(kBlocks), dim3(kThreads), 0, counters.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const Counters c = counters.download()[0];
  long long int_sum = 0;
  int int_max = std::numeric_limits<int>::min();
  int int_min = std::numeric_limits<int>::max();
  double double_sum = 0.0;
  for (unsigned int i = 0; i < kTotalThreads; ++i) {
    int_sum += static_cast<int>(i % 7) - 3;
    int_max = std::max(int_max, static_cast<int>(i * 2654435761u % 1000003u));
    int_min = std::min(int_min, static_cast<int>(i * 2654435761u % 1000003u) - 500000);
    double_sum += 0.1 * (i % 10);
  }
  EXPECT_EQ(c.int_sum, int_sum);
  EXPECT_EQ(c.unsigned_sum, static_cast<unsigned int>(kTotalThreads * (kTotalThreads - 1) / 2));
  EXPECT_EQ(c.wide_sum, kTotalThreads << 33);
  EXPECT_EQ(c.int_max, int_max);
  EXPECT_EQ(c.wide_max, (kTotalThreads - 1) << 20);
  EXPECT_EQ(c.int_min, int_min);
  EXPECT_EQ(c.wide_min, 7u);
  EXPECT_EQ(c.bits, 0xffffffffu);
  EXPECT_GE(c.exchanges, 0);
  EXPECT_LT(c.exchanges, static_cast<int>(kTotalThreads));
  EXPECT_EQ(c.cas_count, static_cast<int>(kTotalThreads));
  EXPECT_EQ(c.float_sum, static_cast<float>(kTotalThreads));  // integers below 2^24 add exactly in float
  // Addition order varies between runs, as on the device: each of the 65536 double additions may round by
  // half an ulp of the running sum.
  EXPECT_NEAR(c.double_sum, double_sum, kTotalThreads * std::numeric_limits<double>::epsilon() * double_sum);
}

// A histogram in shared memory, then merged into global memory.
constexpr unsigned int kBins = 16;
__global__ void shared_histogram(const int* values, unsigned int* bins) {
  __shared__ unsigned int local[kBins];
  if (threadIdx.x < kBins) local[threadIdx.x] = 0;
  __syncthreads();
  atomicAdd(&local[values[blockIdx.x * blockDim.x + threadIdx.x] % kBins], 1u);
  __syncthreads();
  if (threadIdx.x < kBins) atomicAdd(&bins[threadIdx.x], local[threadIdx.x]);
}

TEST_F(Atomics, SharedMemoryAtomicsCountExactly) {
  std::vector<int> values(kTotalThreads);
  std::vector<unsigned int> expected(kBins, 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<int>((i * 31) % 1009);
    ++expected[static_cast<std::size_t>(values[i]) % kBins];
  }
  DeviceArray<int> device_values(values);
  DeviceArray<unsigned int> bins(kBins);
  bins.fill(0u);
  cpu_cuda::launch<shared_histogram>(dim3(kBlocks), dim3(kThreads), 0, device_values.get(), bins.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(bins.download(), expected);
}
}  // namespace
}  // namespace cpu_cuda_test
