#include "device_int_scan.hpp"

#include <thrust/execution_policy.h>
#include <thrust/reduce.h>
#include <thrust/scan.h>

namespace quarvel::cuda_backend {

void exclusive_scan_device_ints(const int* first, int count, int* out) {
  thrust::exclusive_scan(thrust::device, first, first + count, out, 0);
}

int reduce_device_ints(const int* first, int count) { return thrust::reduce(thrust::device, first, first + count, 0); }

}  // namespace quarvel::cuda_backend
