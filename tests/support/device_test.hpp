#pragma once
// Base fixture of tests that run device code: skipped where no CUDA device is present (the cuda build on a
// machine without a GPU); on the host build the CPU stand-in provides the device.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "cuda_backend/cuda_runtime_platform.hpp"

namespace quarvel::test_support {

inline bool cuda_device_present() {
  int count = 0;
  const bool present = cudaGetDeviceCount(&count) == cudaSuccess && count > 0;
  (void)cudaGetLastError();
  return present;
}

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cuda_device_present()) GTEST_SKIP() << "no CUDA device";
  }
};

// Blocking copies for checking device arrays from tests.
template <typename T>
std::vector<T> download(const T* device, std::size_t count) {
  std::vector<T> host(count);
  EXPECT_EQ(cudaMemcpy(host.data(), device, count * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
  return host;
}

template <typename T>
void upload(T* device, const std::vector<T>& host) {
  ASSERT_EQ(cudaMemcpy(device, host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
}

}  // namespace quarvel::test_support
