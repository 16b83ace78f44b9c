#include "support/failing_allocations.hpp"

#include <cstdlib>
#include <new>

namespace quarvel::test_support {
namespace {

thread_local bool t_allocations_fail = false;

}  // namespace

FailingAllocations::FailingAllocations() { t_allocations_fail = true; }
FailingAllocations::~FailingAllocations() { t_allocations_fail = false; }

}  // namespace quarvel::test_support

// In a file of their own, so that no caller is compiled against these bodies. The deletes free what these
// allocate; the array and aligned forms keep the standard definitions, which rest on these two.
void* operator new(std::size_t bytes) {
  if (quarvel::test_support::t_allocations_fail) throw std::bad_alloc();
  if (void* memory = std::malloc(bytes == 0 ? 1 : bytes)) return memory;
  throw std::bad_alloc();
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
