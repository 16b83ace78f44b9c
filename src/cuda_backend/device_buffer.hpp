#pragma once
// One device allocation and its owner: move-only, freed by its destructor the way it was allocated. Contents start
// uninitialised; clearing is the owner's named step.
#include <cstddef>
#include <utility>

namespace quarvel::cuda_backend {

enum class AllocationMode { plain, stream_ordered };

class DeviceBuffer {
 public:
  DeviceBuffer() = default;
  // Plain allocation of `bytes`; zero bytes allocate nothing and leave a null pointer. Throws std::runtime_error
  // "<what>: <CUDA error>" with nothing allocated.
  DeviceBuffer(std::size_t bytes, const char* what);
  // Stream-ordered on the default stream where the device and driver allow it; otherwise the refusal is read and
  // discarded (so it cannot resurface at a later launch) and the allocation is plain. Same errors as above.
  static DeviceBuffer stream_ordered_or_plain(std::size_t bytes, const char* what);

  DeviceBuffer(DeviceBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), mode_(other.mode_) {}
  DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(mode_, other.mode_);
    return *this;
  }
  DeviceBuffer(const DeviceBuffer&) = delete;
  DeviceBuffer& operator=(const DeviceBuffer&) = delete;
  ~DeviceBuffer();  // ignores errors at teardown

  void* data() const { return data_; }
  template <typename T>
  T* as() const {
    return static_cast<T*>(data_);
  }
  AllocationMode mode() const { return mode_; }

 private:
  DeviceBuffer(void* data, AllocationMode mode) : data_(data), mode_(mode) {}

  void* data_ = nullptr;
  AllocationMode mode_ = AllocationMode::plain;
};

}  // namespace quarvel::cuda_backend
