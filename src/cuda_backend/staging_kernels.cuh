#pragma once
// Device kernels shared by the staging sources (batches and host LAMMPS lists). Each including .cu file gets its
// own copy (anonymous namespace).
#include "device_layout.cuh"

namespace quarvel::cuda_backend {
namespace {

// Atom-major x, y, z rows of `count` atoms into capacity-strided components.
__global__ void stage_positions_aos_to_soa(int count, int capacity, const double* aos3, double* soa3) {
  const std::int64_t i = global_thread_x();
  if (i >= count) return;
  const int atom = static_cast<int>(i);
  for (int c = 0; c < 3; ++c) soa3[soa(c, atom, capacity)] = aos3[aos(c, atom, 3)];
}

}  // namespace
}  // namespace quarvel::cuda_backend
