#ifndef QUARVEL_CORE_FLAT_GUARD_HPP
#define QUARVEL_CORE_FLAT_GUARD_HPP

#include <exception>

#include "quarvel/engine.hpp"
#include "quarvel/quarvel.h"

namespace quarvel {

// Last-error text of an exception that does not derive from std::exception and so carries no text.
inline constexpr const char* kUnknownExceptionText = "unknown exception";

// Stores a failure text without letting an allocation failure escape: the guard below must not throw.
inline void record_failure(const char* text) noexcept {
  try {
    set_last_error(text);
  } catch (...) {
    clear_last_error();
  }
}

// Runs the part of a flat function that calls into an engine or a model. No exception may cross the flat
// interface: a C caller cannot unwind, so one that escaped would end the process. Whatever is thrown answers
// QRVL_STATUS_RUNTIME_ERROR with its text as the thread's last error.
template <typename Operation>
int run_guarded(Operation&& operation) noexcept {
  try {
    return operation();
  } catch (const std::exception& failure) {
    record_failure(failure.what());
  } catch (...) {
    record_failure(kUnknownExceptionText);
  }
  return QRVL_STATUS_RUNTIME_ERROR;
}

}  // namespace quarvel

#endif
