#pragma once
// File-private failure helpers of the engine's sources: each includer gets its own copies (anonymous namespace).
#include <stdexcept>
#include <string>

#include "cuda_runtime_platform.hpp"

namespace quarvel::cuda_backend {
namespace {

// A failed CUDA status throws std::runtime_error "<step>: <CUDA error string>".
inline void check_cuda(cudaError_t status, const char* step) {
  if (status != cudaSuccess) throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(status));
}

// A broken internal or device limit throws std::runtime_error with the message.
inline void require(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

// Bad caller input throws std::invalid_argument with the message.
inline void require_argument(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(message);
}

}  // namespace
}  // namespace quarvel::cuda_backend
