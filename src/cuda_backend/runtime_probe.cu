#include "runtime_probe.hpp"

#include <cstdint>

#include "cuda_platform.cuh"

namespace quarvel {
namespace {

constexpr std::uint32_t kProbeMarker = 0x5152564C;  // written by the kernel, compared by the host

__global__ void runtime_probe_kernel(std::uint32_t* word) {
  if ((blockIdx.x | threadIdx.x) == 0) *word = kProbeMarker;
}

std::string cuda_failure_detail(const char* message, cudaError_t status) {
  return std::string(message) + ": " + cudaGetErrorString(status);
}

// Reads and discards the last CUDA error so that the probe's failure does not reach the caller's next call.
bool fail() {
  (void)cudaGetLastError();
  return false;
}

}  // namespace

bool probe_cuda_device(int device, std::string& detail) {
  detail.clear();
  (void)cudaGetLastError();
  cudaError_t status = cudaSetDevice(device);
  if (status != cudaSuccess) {
    detail = cuda_failure_detail("cudaSetDevice failed", status);
    return fail();
  }
  void* allocation = nullptr;
  status = cudaMalloc(&allocation, sizeof(std::uint32_t));
  if (status != cudaSuccess) {
    detail = cuda_failure_detail("CUDA probe allocation failed", status);
    return fail();
  }
  auto* word = static_cast<std::uint32_t*>(allocation);
  std::uint32_t host_word = 0;
  cuda_backend::launch_kernel<runtime_probe_kernel>(dim3(1), dim3(1), 0, word);
  status = cudaGetLastError();
  if (status == cudaSuccess) status = cudaDeviceSynchronize();
  if (status != cudaSuccess) {
    (void)cudaFree(allocation);
    detail = cuda_failure_detail("CUDA probe kernel failed", status);
    return fail();
  }
  const cudaError_t copy_status = cudaMemcpy(&host_word, word, sizeof(host_word), cudaMemcpyDeviceToHost);
  const cudaError_t free_status = cudaFree(allocation);
  if (copy_status != cudaSuccess) {
    detail = cuda_failure_detail("CUDA probe kernel failed", copy_status);
    return fail();
  }
  if (free_status != cudaSuccess) {
    detail = cuda_failure_detail("CUDA probe cleanup failed", free_status);
    return fail();
  }
  if (host_word != kProbeMarker) {
    detail = "CUDA probe kernel returned an invalid result";
    return false;
  }
  detail = "CUDA allocation, kernel launch, synchronization, and copyback passed.";
  return true;
}

}  // namespace quarvel
