#pragma once
// File-private validation helpers: each including source file gets its own copy (anonymous namespace), so the
// helpers never become part of the library's interface.
#include <stdexcept>

namespace quarvel::cuda_backend {
namespace {

// A false condition throws std::runtime_error carrying `message` (a fixed text that tests compare).
inline void require(bool condition, const char* message) {
  if (!condition) throw std::runtime_error(message);
}

}  // namespace
}  // namespace quarvel::cuda_backend
