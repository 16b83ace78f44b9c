#pragma once
// Device-side names of CUDA for code compiled as C++: qualifiers, vector types, thread coordinates, math,
// bit operations and atomics. Barriers and warp collectives are in collectives.hpp.
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <math.h>

#include "cpu_cuda/runtime_api.hpp"

// Execution-space qualifiers mean nothing on the CPU. __restrict__ is the compiler's own keyword already.
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __launch_bounds__(...)
#define __constant__
// One copy per worker thread: a worker runs one block at a time, and every thread of that block runs as a fiber
// on that worker, so the block's threads share the variable and concurrent blocks each have their own.
#define __shared__ static thread_local

// CUDA's vector types with CUDA's alignment (the 2- and 4-wide types are aligned to their full size).
struct alignas(8) float2 { float x, y; };
struct float3 { float x, y, z; };
struct alignas(16) float4 { float x, y, z, w; };
struct alignas(16) double2 { double x, y; };
struct double3 { double x, y, z; };
struct alignas(8) int2 { int x, y; };
struct int3 { int x, y, z; };
struct alignas(16) int4 { int x, y, z, w; };

inline float2 make_float2(float x, float y) { return {x, y}; }
inline float3 make_float3(float x, float y, float z) { return {x, y, z}; }
inline float4 make_float4(float x, float y, float z, float w) { return {x, y, z, w}; }
inline double2 make_double2(double x, double y) { return {x, y}; }
inline double3 make_double3(double x, double y, double z) { return {x, y, z}; }
inline int2 make_int2(int x, int y) { return {x, y}; }
inline int3 make_int3(int x, int y, int z) { return {x, y, z}; }
inline int4 make_int4(int x, int y, int z, int w) { return {x, y, z, w}; }
inline uint3 make_uint3(unsigned int x, unsigned int y, unsigned int z) { return {x, y, z}; }

namespace cpu_cuda::detail {
// Coordinates of the thread now running on this worker; the block runner sets them before it enters a thread.
inline thread_local uint3 thread_index{0, 0, 0};
inline thread_local uint3 block_index{0, 0, 0};
inline thread_local dim3 block_dim{1, 1, 1};
inline thread_local dim3 grid_dim{1, 1, 1};
}  // namespace cpu_cuda::detail

#define threadIdx (::cpu_cuda::detail::thread_index)
#define blockIdx (::cpu_cuda::detail::block_index)
#define blockDim (::cpu_cuda::detail::block_dim)
#define gridDim (::cpu_cuda::detail::grid_dim)
constexpr int warpSize = 32;

// Math CUDA offers beyond the C library.
inline float rsqrtf(float x) { return 1.0f / sqrtf(x); }
inline double rsqrt(double x) { return 1.0 / sqrt(x); }
inline float norm3df(float a, float b, float c) { return sqrtf(a * a + b * b + c * c); }
inline double norm3d(double a, double b, double c) { return sqrt(a * a + b * b + c * c); }
inline int min(int a, int b) { return a < b ? a : b; }
inline int max(int a, int b) { return a > b ? a : b; }
inline unsigned int min(unsigned int a, unsigned int b) { return a < b ? a : b; }
inline unsigned int max(unsigned int a, unsigned int b) { return a > b ? a : b; }
inline long long min(long long a, long long b) { return a < b ? a : b; }
inline long long max(long long a, long long b) { return a > b ? a : b; }
inline float min(float a, float b) { return fminf(a, b); }
inline float max(float a, float b) { return fmaxf(a, b); }
inline double min(double a, double b) { return fmin(a, b); }
inline double max(double a, double b) { return fmax(a, b); }

// Bit operations.
inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned int>(x)); }
inline int __float_as_int(float x) { int r; std::memcpy(&r, &x, sizeof r); return r; }
inline float __int_as_float(int x) { float r; std::memcpy(&r, &x, sizeof r); return r; }
inline unsigned int __float_as_uint(float x) { unsigned int r; std::memcpy(&r, &x, sizeof r); return r; }
inline float __uint_as_float(unsigned int x) { float r; std::memcpy(&r, &x, sizeof r); return r; }
inline long long __double_as_longlong(double x) { long long r; std::memcpy(&r, &x, sizeof r); return r; }
inline double __longlong_as_double(long long x) { double r; std::memcpy(&r, &x, sizeof r); return r; }

// Read-only cached load: an ordinary load on the CPU.
template <typename T>
inline T __ldg(const T* address) { return *address; }

inline void __threadfence() { std::atomic_thread_fence(std::memory_order_seq_cst); }
inline void __threadfence_block() { std::atomic_thread_fence(std::memory_order_seq_cst); }

// Atomics are real atomic read-modify-writes, since blocks run concurrently on several cores. Like the device's
// they order nothing but their own address; fences order the rest.
namespace cpu_cuda::detail {
template <typename T>
inline T atomic_fetch_add(T* address, T value) { return __atomic_fetch_add(address, value, __ATOMIC_RELAXED); }

// Floating-point addition as a compare-and-swap loop on the value's bits.
template <typename T>
inline T atomic_fetch_add_float(T* address, T value) {
  T expected;
  __atomic_load(address, &expected, __ATOMIC_RELAXED);
  T desired = expected + value;
  while (!__atomic_compare_exchange(address, &expected, &desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    desired = expected + value;
  }
  return expected;
}

template <typename T>
inline T atomic_exchange(T* address, T value) {
  T previous;
  __atomic_exchange(address, &value, &previous, __ATOMIC_RELAXED);
  return previous;
}

template <typename T>
inline T atomic_compare_swap(T* address, T compare, T value) {
  __atomic_compare_exchange(address, &compare, &value, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
  return compare;  // the value found, whether or not it was replaced
}

// Stores `value` unless what the address holds already comes before it in `order`; answers the value found.
template <typename T, typename Order>
inline T atomic_fetch_first(T* address, T value, Order order) {
  T expected = __atomic_load_n(address, __ATOMIC_RELAXED);
  while (order(value, expected) &&
         !__atomic_compare_exchange_n(address, &expected, value, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  return expected;
}

template <typename T>
inline T atomic_fetch_max(T* address, T value) {
  return atomic_fetch_first(address, value, [](T a, T b) { return b < a; });
}

template <typename T>
inline T atomic_fetch_min(T* address, T value) {
  return atomic_fetch_first(address, value, [](T a, T b) { return a < b; });
}
}  // namespace cpu_cuda::detail

inline int atomicAdd(int* a, int v) { return cpu_cuda::detail::atomic_fetch_add(a, v); }
inline unsigned int atomicAdd(unsigned int* a, unsigned int v) { return cpu_cuda::detail::atomic_fetch_add(a, v); }
inline unsigned long long atomicAdd(unsigned long long* a, unsigned long long v) {
  return cpu_cuda::detail::atomic_fetch_add(a, v);
}
inline float atomicAdd(float* a, float v) { return cpu_cuda::detail::atomic_fetch_add_float(a, v); }
inline double atomicAdd(double* a, double v) { return cpu_cuda::detail::atomic_fetch_add_float(a, v); }
inline int atomicExch(int* a, int v) { return cpu_cuda::detail::atomic_exchange(a, v); }
inline unsigned int atomicExch(unsigned int* a, unsigned int v) { return cpu_cuda::detail::atomic_exchange(a, v); }
inline unsigned long long atomicExch(unsigned long long* a, unsigned long long v) {
  return cpu_cuda::detail::atomic_exchange(a, v);
}
inline float atomicExch(float* a, float v) { return cpu_cuda::detail::atomic_exchange(a, v); }
inline int atomicOr(int* a, int v) { return __atomic_fetch_or(a, v, __ATOMIC_RELAXED); }
inline unsigned int atomicOr(unsigned int* a, unsigned int v) { return __atomic_fetch_or(a, v, __ATOMIC_RELAXED); }
inline unsigned long long atomicOr(unsigned long long* a, unsigned long long v) {
  return __atomic_fetch_or(a, v, __ATOMIC_RELAXED);
}
inline int atomicMax(int* a, int v) { return cpu_cuda::detail::atomic_fetch_max(a, v); }
inline unsigned int atomicMax(unsigned int* a, unsigned int v) { return cpu_cuda::detail::atomic_fetch_max(a, v); }
inline long long atomicMax(long long* a, long long v) { return cpu_cuda::detail::atomic_fetch_max(a, v); }
inline unsigned long long atomicMax(unsigned long long* a, unsigned long long v) {
  return cpu_cuda::detail::atomic_fetch_max(a, v);
}
inline int atomicMin(int* a, int v) { return cpu_cuda::detail::atomic_fetch_min(a, v); }
inline unsigned int atomicMin(unsigned int* a, unsigned int v) { return cpu_cuda::detail::atomic_fetch_min(a, v); }
inline long long atomicMin(long long* a, long long v) { return cpu_cuda::detail::atomic_fetch_min(a, v); }
inline unsigned long long atomicMin(unsigned long long* a, unsigned long long v) {
  return cpu_cuda::detail::atomic_fetch_min(a, v);
}
inline int atomicCAS(int* a, int compare, int v) { return cpu_cuda::detail::atomic_compare_swap(a, compare, v); }
inline unsigned int atomicCAS(unsigned int* a, unsigned int compare, unsigned int v) {
  return cpu_cuda::detail::atomic_compare_swap(a, compare, v);
}
inline unsigned long long atomicCAS(unsigned long long* a, unsigned long long compare, unsigned long long v) {
  return cpu_cuda::detail::atomic_compare_swap(a, compare, v);
}
