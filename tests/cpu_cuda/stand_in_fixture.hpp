#pragma once
// Shared pieces of the stand-in's tests: a fixture that starts from a fresh runtime and checks that every device
// byte was returned, and a small owner of one device array.
#include <gtest/gtest.h>

#include <cstddef>
#include <vector>

#include "cpu_cuda/control.hpp"
#include "cpu_cuda/cuda_runtime.hpp"

namespace cpu_cuda_test {
class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override { cpu_cuda::reset(); }
  void TearDown() override {
    if (expect_all_freed_) {
      EXPECT_EQ(cpu_cuda::live_allocation_count(), 0u) << "device allocations left behind";
    }
    cpu_cuda::reset();
  }
  // After a device fault every call fails, cudaFree too, as on a device whose context is lost.
  bool expect_all_freed_ = true;
};

// One device array of `count` elements, freed on destruction.
template <typename T>
class DeviceArray {
 public:
  explicit DeviceArray(std::size_t count) : count_(count) {
    EXPECT_EQ(cudaMalloc(reinterpret_cast<void**>(&data_), count * sizeof(T)), cudaSuccess);
  }
  explicit DeviceArray(const std::vector<T>& values) : DeviceArray(values.size()) { upload(values); }
  ~DeviceArray() { cudaFree(data_); }
  DeviceArray(const DeviceArray&) = delete;
  DeviceArray& operator=(const DeviceArray&) = delete;

  T* get() const { return data_; }
  void upload(const std::vector<T>& values) {
    ASSERT_EQ(cudaMemcpy(data_, values.data(), values.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
  }
  void fill(const T& value) { upload(std::vector<T>(count_, value)); }
  std::vector<T> download() const {
    std::vector<T> values(count_);
    EXPECT_EQ(cudaMemcpy(values.data(), data_, count_ * sizeof(T), cudaMemcpyDeviceToHost), cudaSuccess);
    return values;
  }

 private:
  std::size_t count_;
  T* data_ = nullptr;
};

}  // namespace cpu_cuda_test
