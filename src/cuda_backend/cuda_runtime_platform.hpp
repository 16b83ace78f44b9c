#pragma once
// The CUDA runtime API for host code of the engine (.cpp drivers and the shared checks): the real runtime in the
// cuda build, the CPU stand-in in the host build. Kernels and launch helpers come from cuda_platform.cuh instead.
#if defined(__CUDACC__) || defined(QUARVEL_BACKEND_CUDA)
#include <cuda_runtime_api.h>
#else
#include <cpu_cuda/cuda_runtime.hpp>
#endif
