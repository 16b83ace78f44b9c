#pragma once
// Runs the blocks of a launch: on the launching thread alone, or spread over a pool of worker threads (one per
// core beside the launching thread, which works too). Each block runs whole on one thread.
#include <string>

#include "cpu_cuda/cuda_runtime.hpp"

namespace cpu_cuda::detail {
// Runs every block of `launch`; answers false after a device fault, with `fault` describing the first one. Once a
// block faults no further block starts.
bool run_blocks(const KernelLaunch& launch, bool serial, std::string& fault);
}  // namespace cpu_cuda::detail
