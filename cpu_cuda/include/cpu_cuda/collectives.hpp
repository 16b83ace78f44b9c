#pragma once
// Barriers and warp collectives. Each one suspends the calling thread's fiber until every thread it waits for has
// arrived at the same collective (same kind, same call site, same mask); a thread it waits for that has exited or
// waits elsewhere is a device fault that fails the launch.
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "cpu_cuda/device_builtins.hpp"

namespace cpu_cuda::detail {
enum class CollectiveKind : std::uint8_t { sync_threads, sync_warp, shuffle_idx, shuffle_up, shuffle_down,
                                           shuffle_xor, ballot, any, all };

// Where in the source a collective is called, so that lanes at two different calls are told apart.
struct CallSite {
  const char* file;
  int line;
};

// What one thread brings to a collective and what it takes away.
struct CollectiveRequest {
  CollectiveKind kind;
  CallSite site;
  unsigned int mask;       // lanes of the warp taking part (warp collectives)
  int lane_operand;        // source lane, delta or xor mask (shuffles)
  int width;               // shuffle segment width
  std::uint64_t payload;   // value bits (shuffles) or predicate (votes)
};

// Suspends the calling thread until the collective completes; returns the thread's result bits.
std::uint64_t arrive_at_collective(const CollectiveRequest& request);

template <typename T>
inline std::uint64_t to_payload(T value) {
  static_assert(std::is_trivially_copyable_v<T> && sizeof(T) <= sizeof(std::uint64_t), "shuffle of a 1-8 byte value");
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(T));
  return bits;
}

template <typename T>
inline T from_payload(std::uint64_t bits) {
  T value;
  std::memcpy(&value, &bits, sizeof(T));
  return value;
}

template <typename T>
inline T shuffle(CollectiveKind kind, unsigned int mask, T value, int lane_operand, int width, CallSite site) {
  static_assert(std::is_arithmetic_v<T>, "shuffles move int, unsigned, 64-bit integer, float or double values");
  return from_payload<T>(arrive_at_collective({kind, site, mask, lane_operand, width, to_payload(value)}));
}

inline unsigned int vote(CollectiveKind kind, unsigned int mask, int predicate, CallSite site) {
  return static_cast<unsigned int>(
      arrive_at_collective({kind, site, mask, 0, 0, static_cast<std::uint64_t>(predicate != 0)}));
}
}  // namespace cpu_cuda::detail

// The trailing call-site arguments are filled in at each call (they must stay plain default arguments to name the
// caller's line), so that lanes at two different calls are told apart.
#define CPU_CUDA_CALL_SITE const char *site_file = __builtin_FILE(), int site_line = __builtin_LINE()
#define CPU_CUDA_SITE (::cpu_cuda::detail::CallSite{site_file, site_line})

inline void __syncthreads(CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  cpu_cuda::detail::arrive_at_collective({CollectiveKind::sync_threads, CPU_CUDA_SITE, 0, 0, 0, 0});
}
inline void __syncwarp(unsigned int mask = 0xffffffffu, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  cpu_cuda::detail::arrive_at_collective({CollectiveKind::sync_warp, CPU_CUDA_SITE, mask, 0, 0, 0});
}

template <typename T>
inline T __shfl_sync(unsigned int mask, T var, int src_lane, int width = warpSize, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return cpu_cuda::detail::shuffle(CollectiveKind::shuffle_idx, mask, var, src_lane, width, CPU_CUDA_SITE);
}
template <typename T>
inline T __shfl_up_sync(unsigned int mask, T var, unsigned int delta, int width = warpSize, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return cpu_cuda::detail::shuffle(CollectiveKind::shuffle_up, mask, var, static_cast<int>(delta), width,
                                   CPU_CUDA_SITE);
}
template <typename T>
inline T __shfl_down_sync(unsigned int mask, T var, unsigned int delta, int width = warpSize, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return cpu_cuda::detail::shuffle(CollectiveKind::shuffle_down, mask, var, static_cast<int>(delta), width,
                                   CPU_CUDA_SITE);
}
template <typename T>
inline T __shfl_xor_sync(unsigned int mask, T var, int lane_mask, int width = warpSize, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return cpu_cuda::detail::shuffle(CollectiveKind::shuffle_xor, mask, var, lane_mask, width, CPU_CUDA_SITE);
}

inline unsigned int __ballot_sync(unsigned int mask, int predicate, CPU_CUDA_CALL_SITE) {
  return cpu_cuda::detail::vote(cpu_cuda::detail::CollectiveKind::ballot, mask, predicate, CPU_CUDA_SITE);
}
inline int __any_sync(unsigned int mask, int predicate, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return static_cast<int>(cpu_cuda::detail::vote(CollectiveKind::any, mask, predicate, CPU_CUDA_SITE));
}
inline int __all_sync(unsigned int mask, int predicate, CPU_CUDA_CALL_SITE) {
  using cpu_cuda::detail::CollectiveKind;
  return static_cast<int>(cpu_cuda::detail::vote(CollectiveKind::all, mask, predicate, CPU_CUDA_SITE));
}
#undef CPU_CUDA_CALL_SITE
#undef CPU_CUDA_SITE
