// Micro benchmark of the stand-in (not a test): launch cost, and the cost of the fiber switches that barriers and
// warp shuffles make. Prints one line per measurement.
#include <chrono>
#include <cstdio>
#include <functional>

#include "cpu_cuda/control.hpp"
#include "cpu_cuda/cuda_runtime.hpp"

namespace {
constexpr unsigned int kBlock = 128;
constexpr unsigned int kBlocks = 32;  // 4096 threads: a few thousand atoms, one thread each

__global__ void empty_kernel() {}

__global__ void scale(float* values) {
  const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
  values[i] = 2.0f * values[i];
}

__global__ void barriers(float* values, int rounds) {
  __shared__ float tile[kBlock];
  const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
  float v = values[i];
  for (int r = 0; r < rounds; ++r) {
    tile[threadIdx.x] = v;
    __syncthreads();
    v += tile[(threadIdx.x + 1) % kBlock];
    __syncthreads();
  }
  values[i] = v;
}

__global__ void warp_sums(float* values) {
  const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
  float v = values[i];
  for (unsigned int offset = 16; offset > 0; offset /= 2) v += __shfl_down_sync(0xffffffffu, v, offset);
  values[i] = v;
}

// One warp meeting at many barriers: every thread switches out and back in at each.
constexpr int kSwitchRounds = 10000;
__global__ void warp_barriers() {
  for (int r = 0; r < kSwitchRounds; ++r) __syncwarp();
}

// Average wall time of one call of `body`, in microseconds.
double time_us(int repeats, const std::function<void()>& body) {
  body();
  const auto start = std::chrono::steady_clock::now();
  for (int r = 0; r < repeats; ++r) body();
  const auto stop = std::chrono::steady_clock::now();
  return std::chrono::duration<double, std::micro>(stop - start).count() / repeats;
}

void measure(const char* mode) {
  float* values = nullptr;
  cudaMalloc(reinterpret_cast<void**>(&values), kBlock * kBlocks * sizeof(float));
  cudaMemset(values, 0, kBlock * kBlocks * sizeof(float));
  const int barrier_rounds = 3;
  const double empty = time_us(2000, [] { cpu_cuda::launch<empty_kernel>(dim3(1), dim3(1), 0); });
  const double straight = time_us(200, [&] { cpu_cuda::launch<scale>(dim3(kBlocks), dim3(kBlock), 0, values); });
  const double with_barriers =
      time_us(50, [&] { cpu_cuda::launch<barriers>(dim3(kBlocks), dim3(kBlock), 0, values, barrier_rounds); });
  const double with_shuffles =
      time_us(50, [&] { cpu_cuda::launch<warp_sums>(dim3(kBlocks), dim3(kBlock), 0, values); });
  const double switching = time_us(5, [] { cpu_cuda::launch<warp_barriers>(dim3(1), dim3(32), 0); });
  const double threads = kBlock * kBlocks;
  std::printf("%-8s launch of 1x1 empty kernel: %8.2f us\n", mode, empty);
  std::printf("%-8s %ux%u threads, no collective: %8.2f us (%.1f ns/thread)\n", mode, kBlocks, kBlock, straight,
              1e3 * straight / threads);
  std::printf("%-8s %ux%u threads, %d barriers: %8.2f us (%.1f ns per thread and barrier beyond the plain run)\n",
              mode, kBlocks, kBlock, 2 * barrier_rounds, with_barriers,
              1e3 * (with_barriers - straight) / (threads * 2 * barrier_rounds));
  std::printf("%-8s %ux%u threads, 5 shuffles: %8.2f us (%.1f ns per thread and shuffle beyond the plain run)\n",
              mode, kBlocks, kBlock, with_shuffles, 1e3 * (with_shuffles - straight) / (threads * 5));
  std::printf("%-8s fiber switch (32 threads at %d __syncwarp, two switches each): %.1f ns\n", mode, kSwitchRounds,
              1e3 * switching / (32.0 * kSwitchRounds * 2));
  cudaFree(values);
}
}  // namespace

int main() {
  cpu_cuda::set_serial_blocks(true);
  measure("serial");
  cpu_cuda::set_serial_blocks(false);
  measure("parallel");
  return cudaGetLastError() == cudaSuccess ? 0 : 1;
}
