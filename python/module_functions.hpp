#pragma once
// The module functions: the engine registry, the record `BackendInfo` one of them returns, and the CUDA runtime
// report. They hold the interpreter lock throughout.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace quarvel::python {

// A snapshot of one registered engine; the texts are copies, valid however many calls follow.
struct BackendInfo {
  std::string name;
  std::string version;
  std::uint64_t capabilities = 0;  // QRVL_CAP_* bits
};

// Registers the CUDA engine (once per process); throws std::runtime_error "failed to register cuda engine" when
// the registration was refused.
void register_cuda();

// Engines registered in the process.
int backend_count();

// Describes engine `index`; an index outside the registry raises "backend unavailable" by the status rule.
BackendInfo backend_info(std::int32_t index);

// The CUDA runtime report as a dict with the keys "driver_version", "runtime_version", "devices",
// "free_memory_bytes", "available", "reason", "detail" in that order; CUDA failures never raise.
pybind11::dict cuda_runtime_info();

}  // namespace quarvel::python
