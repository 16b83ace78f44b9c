#include "last_error.hpp"

#include "quarvel/engine.hpp"

namespace quarvel {
namespace {

// One text per thread, created empty at the thread's first use and destroyed when the thread ends, so threads
// never see each other's failures.
std::string& thread_last_error() {
  thread_local std::string text;
  return text;
}

}  // namespace

const std::string& last_error() { return thread_last_error(); }

void set_last_error(const std::string& message) { thread_last_error() = message; }

// clear() keeps the storage, so clearing at the start of every flat call allocates nothing.
void clear_last_error() { thread_last_error().clear(); }

}  // namespace quarvel
