#pragma once
// An out-of-memory inside the library, on demand: a test program that links failing_allocations.cpp replaces the
// plain allocation functions, and while a FailingAllocations object lives every plain allocation of its thread
// throws std::bad_alloc. Otherwise they allocate as the standard ones do.

namespace quarvel::test_support {

class FailingAllocations {
 public:
  FailingAllocations();
  ~FailingAllocations();
  FailingAllocations(const FailingAllocations&) = delete;
  FailingAllocations& operator=(const FailingAllocations&) = delete;
};

}  // namespace quarvel::test_support
