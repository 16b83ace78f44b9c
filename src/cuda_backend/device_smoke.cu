#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {
__global__ void fill_ones(int* out, int n) {
  const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
  if (i < n) out[i] = 1;
}
}  // namespace

int device_smoke_launch(int* out, int n) {
  launch_kernel<fill_ones>(dim3((n + 127) / 128), dim3(128), 0, out, n);
  return static_cast<int>(cudaGetLastError());
}
}  // namespace quarvel::cuda_backend
