#pragma once
// Device-wide prefix sums and totals of int32 device arrays, through Thrust on the default stream. Kept in a
// source file of their own so that no other device source mixes Thrust's headers with the CUDA platform
// header (the host build compiles Thrust for its sequential C++ system).
namespace quarvel::cuda_backend {

// out[k] = sum of first[0 .. k-1] for k < count (out may equal first). Thrust failures surface as
// thrust::system_error.
void exclusive_scan_device_ints(const int* first, int count, int* out);

// Sum of first[0 .. count-1].
int reduce_device_ints(const int* first, int count);

}  // namespace quarvel::cuda_backend
