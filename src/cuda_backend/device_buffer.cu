#include "device_buffer.hpp"

#include "cuda_checks.hpp"
#include "cuda_platform.cuh"

namespace quarvel::cuda_backend {
namespace {
constexpr cudaStream_t kDefaultStream{};
}  // namespace

DeviceBuffer::DeviceBuffer(std::size_t bytes, const char* what) {
  if (bytes == 0) return;
  check_cuda(cudaMalloc(&data_, bytes), what);
}

DeviceBuffer DeviceBuffer::stream_ordered_or_plain(std::size_t bytes, const char* what) {
  if (bytes == 0) return DeviceBuffer();
  void* data = nullptr;
  if (cudaMallocAsync(&data, bytes, kDefaultStream) == cudaSuccess) {
    return DeviceBuffer(data, AllocationMode::stream_ordered);
  }
  (void)cudaGetLastError();
  return DeviceBuffer(bytes, what);
}

DeviceBuffer::~DeviceBuffer() {
  if (data_ == nullptr) return;
  if (mode_ == AllocationMode::stream_ordered) {
    (void)cudaFreeAsync(data_, kDefaultStream);
  } else {
    (void)cudaFree(data_);
  }
}

}  // namespace quarvel::cuda_backend
