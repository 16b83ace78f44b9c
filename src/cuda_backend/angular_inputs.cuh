#pragma once
// What the angular descriptor and force kernels share of their inputs: the model's angular channels, and the
// angular list with the pair cache the descriptor kernel fills for the force kernels. Only .cu files include this
// header.
#include <cstdint>

#include "cuda_platform.cuh"
#include "device_workspace.hpp"
#include "model_protocol.hpp"

namespace quarvel::cuda_backend {
namespace {

constexpr int kCouplingCount = 6;  // q222, q1111, q112, q123, q233, q134, in channel order

// The largest degree L, the coupling switches as 0/1 in channel order, and the angular sums a radial function
// keeps, (L + 1)^2 - 1.
struct AngularChannels {
  int l_max;
  int coupling[kCouplingCount];
  int abc;
};

// Descriptor channels per radial function: q_1 .. q_L, then one per coupling switched on.
__host__ __device__ __forceinline__ int channel_count(const AngularChannels& a) {
  int count = a.l_max;
  for (int f = 0; f < kCouplingCount; ++f) count += a.coupling[f];
  return count;
}

inline AngularChannels make_angular_channels(const BodyChannelConfig& ch) {
  const bool flags[kCouplingCount] = {ch.has_q_222, ch.has_q_1111, ch.has_q_112,
                                      ch.has_q_123, ch.has_q_233,  ch.has_q_134};
  AngularChannels a{};
  a.l_max = ch.l_max_3body;
  for (int f = 0; f < kCouplingCount; ++f) a.coupling[f] = flags[f] ? 1 : 0;
  a.abc = ch.abc_count();
  return a;
}

// The angular list and its pair cache, slot s of atom i at s A + i: the neighbor, r_j - r_i rounded to float
// (f12x, f12y, f12z) and its length. The descriptor kernel writes the cache (Cache = float), the force kernels
// read it (Cache = const float).
template <typename Cache>
struct AngularPairs {
  const std::int32_t* nn_angular;
  const std::int32_t* nl_angular_slot_major;
  Cache* r12_angular;
  Cache* f12x;
  Cache* f12y;
  Cache* f12z;
};

template <typename Cache>
inline AngularPairs<Cache> make_angular_pairs(const DeviceWorkspaceView& w) {
  return {w.nn_angular, w.nl_angular_slot_major, w.r12_angular, w.f12x, w.f12y, w.f12z};
}

}  // namespace
}  // namespace quarvel::cuda_backend
