#pragma once
// File-private failure helpers of the engine's sources that reach CUDA or take caller input: each includer gets
// its own copies (anonymous namespace). `require` comes from error_checks.hpp.
#include <stdexcept>
#include <string>

#include "cuda_runtime_platform.hpp"
#include "error_checks.hpp"

namespace quarvel::cuda_backend {
namespace {

// A failed CUDA status throws std::runtime_error "<step>: <CUDA error string>". The runtime's last error is read
// and discarded first, so that the failure cannot resurface at a later, unrelated call.
inline void check_cuda(cudaError_t status, const char* step) {
  if (status == cudaSuccess) return;
  (void)cudaGetLastError();
  throw std::runtime_error(std::string(step) + ": " + cudaGetErrorString(status));
}

// Bad caller input throws std::invalid_argument with the message.
inline void require_argument(bool condition, const char* message) {
  if (!condition) throw std::invalid_argument(message);
}

}  // namespace
}  // namespace quarvel::cuda_backend
