// Warp collectives on the stand-in: every shuffle variant and width against the lanes the device reads from,
// for 32- and 64-bit payloads, votes, and an ordered compaction built from ballots.
#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
constexpr unsigned int kFullMask = 0xffffffffu;
constexpr int kLanes = 32;

enum class Variant { idx, up, down, xor_mask };

// One shuffle and, for each lane, the lane whose value it must return.
struct ShuffleCase {
  const char* name;
  Variant variant;
  int operand;
  int width;
  std::vector<int> source;  // 32 entries
};
void PrintTo(const ShuffleCase& tested, std::ostream* out) { *out << tested.name; }  // names the row in listings

// A pattern for one segment of `width` lanes, repeated over the warp with each segment's offset added.
std::vector<int> per_segment(const std::vector<int>& pattern) {
  std::vector<int> lanes;
  const int width = static_cast<int>(pattern.size());
  for (int segment = 0; segment < kLanes; segment += width) {
    for (int p : pattern) lanes.push_back(segment + p);
  }
  return lanes;
}

std::vector<ShuffleCase> shuffle_cases() {
  return {
      {"IdxWidth32", Variant::idx, 5, 32, std::vector<int>(kLanes, 5)},
      {"IdxWidth32NegativeWraps", Variant::idx, -1, 32, std::vector<int>(kLanes, 31)},
      {"IdxWidth8", Variant::idx, 2, 8, per_segment({2, 2, 2, 2, 2, 2, 2, 2})},
      {"IdxWidth4WrapsModuloWidth", Variant::idx, 6, 4, per_segment({2, 2, 2, 2})},
      {"IdxWidth2", Variant::idx, 1, 2, per_segment({1, 1})},
      {"UpWidth32", Variant::up, 1, 32,
       per_segment({0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30})},
      {"UpWidth8", Variant::up, 3, 8, per_segment({0, 1, 2, 0, 1, 2, 3, 4})},
      {"UpWidth16", Variant::up, 4, 16, per_segment({0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11})},
      {"DownWidth32", Variant::down, 16, 32,
       per_segment({16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31,
                    16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31})},
      {"DownWidth16", Variant::down, 5, 16, per_segment({5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 11, 12, 13, 14, 15})},
      {"DownWidth2", Variant::down, 1, 2, per_segment({1, 1})},
      {"DownWidth4", Variant::down, 2, 4, per_segment({2, 3, 2, 3})},
      {"XorWidth32Pairs", Variant::xor_mask, 1, 32, per_segment({1, 0})},
      {"XorWidth32Mirror", Variant::xor_mask, 31, 32,
       per_segment({31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17, 16,
                    15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0})},
      {"XorWidth4", Variant::xor_mask, 2, 4, per_segment({2, 3, 0, 1})},
      // A lane may read from an earlier segment; a read from a later one returns its own value.
      {"XorWidth8ToLaterSegment", Variant::xor_mask, 16, 8,
       per_segment({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
                    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})},
  };
}

template <typename T>
T lane_value(int lane);
template <> int lane_value<int>(int lane) { return lane * 7 - 100; }
template <> unsigned int lane_value<unsigned int>(int lane) { return 0x80000000u + static_cast<unsigned int>(lane); }
template <> long long lane_value<long long>(int lane) { return (1LL << 40) * lane - 3; }
template <> unsigned long long lane_value<unsigned long long>(int lane) {
  return ~0ULL - static_cast<unsigned long long>(lane);
}
template <> float lane_value<float>(int lane) { return static_cast<float>(lane) + 0.25f; }
template <> double lane_value<double>(int lane) { return lane * 1e10 + 0.5; }

template <typename T>
__global__ void shuffle_kernel(Variant variant, int operand, int width, T* out) {
  const int lane = static_cast<int>(threadIdx.x);
  const T mine = lane_value<T>(lane);
  T got{};
  switch (variant) {
    case Variant::idx: got = __shfl_sync(kFullMask, mine, operand, width); break;
    case Variant::up: got = __shfl_up_sync(kFullMask, mine, static_cast<unsigned int>(operand), width); break;
    case Variant::down: got = __shfl_down_sync(kFullMask, mine, static_cast<unsigned int>(operand), width); break;
    case Variant::xor_mask: got = __shfl_xor_sync(kFullMask, mine, operand, width); break;
  }
  out[lane] = got;
}

class Shuffles : public StandInTest, public ::testing::WithParamInterface<ShuffleCase> {
 protected:
  template <typename T>
  void expect_sources() {
    const ShuffleCase& c = GetParam();
    DeviceArray<T> out(kLanes);
    cpu_cuda::launch<shuffle_kernel<T>>(dim3(1), dim3(kLanes), 0, c.variant, c.operand, c.width, out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<T> got = out.download();
    for (int lane = 0; lane < kLanes; ++lane) {
      EXPECT_EQ(got[static_cast<std::size_t>(lane)], lane_value<T>(c.source[static_cast<std::size_t>(lane)]))
          << "lane " << lane;
    }
  }
};

TEST_P(Shuffles, ReadTheDevicesSourceLaneForEveryPayloadType) {
  ASSERT_EQ(GetParam().source.size(), static_cast<std::size_t>(kLanes));
  expect_sources<int>();
  expect_sources<unsigned int>();
  expect_sources<long long>();
  expect_sources<unsigned long long>();
  expect_sources<float>();
  expect_sources<double>();
}

INSTANTIATE_TEST_SUITE_P(Variants, Shuffles, ::testing::ValuesIn(shuffle_cases()),
                         [](const auto& tested) { return std::string(tested.param.name); });

// Two half-warps shuffle separately under their own masks; a read from outside the mask is undefined.
__global__ void half_warp_shuffles(float* out) {
  const int lane = static_cast<int>(threadIdx.x);
  const unsigned int half = lane < 16 ? 0x0000ffffu : 0xffff0000u;
  out[lane] = __shfl_down_sync(half, static_cast<float>(lane), 8);
}

using WarpCollectives = StandInTest;

TEST_F(WarpCollectives, ShuffleUnderPartialMaskLeavesOutsideReadsUndefined) {
  DeviceArray<float> out(kLanes);
  cpu_cuda::launch<half_warp_shuffles>(dim3(1), dim3(kLanes), 0, out.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<float> got = out.download();
  for (int lane = 0; lane < kLanes; ++lane) {
    const float value = got[static_cast<std::size_t>(lane)];
    if (lane >= 8 && lane < 16) {
      EXPECT_TRUE(std::isnan(value)) << "lane " << lane << " read lane " << lane + 8 << " outside its mask";
    } else {
      EXPECT_EQ(value, static_cast<float>(lane + 8 < kLanes ? lane + 8 : lane)) << "lane " << lane;
    }
  }
}

// Nested subsets of a warp shuffle in turn: lanes 0-7, then lanes 0-15, then the whole warp, then the block meets
// at a barrier. Valid warp code: each collective completes once its lanes are through the ones before it, in
// either order in which the stand-in starts a block's threads.
__global__ void nested_subset_shuffles(int* out) {
  const int lane = static_cast<int>(threadIdx.x) % kLanes;
  int value = static_cast<int>(threadIdx.x);
  if (lane < 8) value = __shfl_xor_sync(0x000000ffu, value, 1);
  if (lane < 16) value = __shfl_xor_sync(0x0000ffffu, value, 2);
  value = __shfl_xor_sync(kFullMask, value, 16);
  __syncthreads();
  out[blockIdx.x * blockDim.x + threadIdx.x] = value;
}

TEST_F(WarpCollectives, SubsetShufflesBeforeAWholeWarpShuffleComplete) {
  constexpr unsigned int kBlocks = 2;  // the second block starts its threads from the other end
  constexpr unsigned int kThreads = 3 * kLanes;
  DeviceArray<int> out(kBlocks * kThreads);
  cpu_cuda::launch<nested_subset_shuffles>(dim3(kBlocks), dim3(kThreads), 0, out.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = out.download();
  for (unsigned int block = 0; block < kBlocks; ++block) {
    for (int thread = 0; thread < static_cast<int>(kThreads); ++thread) {
      const int warp_first = thread - thread % kLanes;
      int source = thread ^ 16;  // the whole-warp shuffle reads the lane 16 away
      if (source - warp_first < 16) source ^= 2;
      if (source - warp_first < 8) source ^= 1;
      EXPECT_EQ(got[block * kThreads + static_cast<unsigned int>(thread)], source) << "thread " << thread;
    }
  }
}

// Votes over a whole warp and over half a warp.
__global__ void votes(unsigned int* ballots, int* any, int* all) {
  const unsigned int lane = threadIdx.x;
  const int divisible_by_three = lane % 3 == 0;
  ballots[lane] = __ballot_sync(kFullMask, divisible_by_three);
  any[lane] = __any_sync(kFullMask, lane == 31);
  all[lane] = lane < 16 ? __all_sync(0x0000ffffu, lane < 16) : __all_sync(0xffff0000u, lane < 31);
}

TEST_F(WarpCollectives, VotesCombineTheLanesOfTheirMask) {
  DeviceArray<unsigned int> ballots(kLanes);
  DeviceArray<int> any(kLanes);
  DeviceArray<int> all(kLanes);
  cpu_cuda::launch<votes>(dim3(1), dim3(kLanes), 0, ballots.get(), any.get(), all.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<unsigned int> got_ballots = ballots.download();
  const std::vector<int> got_any = any.download();
  const std::vector<int> got_all = all.download();
  for (int lane = 0; lane < kLanes; ++lane) {
    const auto l = static_cast<std::size_t>(lane);
    EXPECT_EQ(got_ballots[l], 0x49249249u) << "lane " << lane;  // bits 0, 3, 6, ..., 30
    EXPECT_EQ(got_any[l], 1) << "lane " << lane;
    EXPECT_EQ(got_all[l], lane < 16 ? 1 : 0) << "lane " << lane;
  }
}

// Ordered compaction: keeps the values divisible by three in their original order, each warp finding its
// slots by ballot and population count, each block its warps' offsets through shared memory.
constexpr unsigned int kCompactBlock = 128;
constexpr unsigned int kCompactWarps = kCompactBlock / kLanes;
__global__ void compact_multiples_of_three(const int* values, int n, int* kept, int* kept_per_block) {
  __shared__ int warp_counts[kCompactWarps];
  const unsigned int t = threadIdx.x;
  const unsigned int lane = t % kLanes;
  const unsigned int warp = t / kLanes;
  const int i = static_cast<int>(blockIdx.x * blockDim.x + t);
  const bool keep = i < n && values[i] % 3 == 0;
  const unsigned int ballot = __ballot_sync(kFullMask, keep);
  if (lane == 0) warp_counts[warp] = __popc(ballot);
  __syncthreads();
  int offset = static_cast<int>(blockIdx.x * blockDim.x);
  for (unsigned int w = 0; w < warp; ++w) offset += warp_counts[w];
  if (keep) kept[offset + __popc(ballot & ((1u << lane) - 1u))] = values[i];
  if (t == 0) {
    int total = 0;
    for (unsigned int w = 0; w < kCompactWarps; ++w) total += warp_counts[w];
    kept_per_block[blockIdx.x] = total;
  }
}

TEST_F(WarpCollectives, BallotCompactionKeepsOrder) {
  const int n = 1000;
  const unsigned int blocks = (n + kCompactBlock - 1) / kCompactBlock;
  std::vector<int> values(n);
  for (int i = 0; i < n; ++i) values[static_cast<std::size_t>(i)] = (i * 7919) % 1013;
  DeviceArray<int> device_values(values);
  DeviceArray<int> kept(blocks * kCompactBlock);
  DeviceArray<int> kept_per_block(blocks);
  cpu_cuda::launch<compact_multiples_of_three>(dim3(blocks), dim3(kCompactBlock), 0, device_values.get(), n,
                                               kept.get(), kept_per_block.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> slots = kept.download();
  const std::vector<int> counts = kept_per_block.download();
  std::vector<int> got;
  for (unsigned int b = 0; b < blocks; ++b) {
    got.insert(got.end(), slots.begin() + b * kCompactBlock, slots.begin() + b * kCompactBlock + counts[b]);
  }
  std::vector<int> expected;
  std::copy_if(values.begin(), values.end(), std::back_inserter(expected), [](int v) { return v % 3 == 0; });
  EXPECT_EQ(got, expected);
}

// __syncwarp orders shared-memory traffic within a warp; two half-warps sync under their own masks.
__global__ void exchange_through_syncwarp(int* out) {
  __shared__ int slots[kLanes];
  const unsigned int lane = threadIdx.x;
  const unsigned int half = lane < 16 ? 0x0000ffffu : 0xffff0000u;
  slots[lane] = static_cast<int>(lane) * 10;
  __syncwarp(half);
  out[lane] = slots[lane ^ 1u];
}

TEST_F(WarpCollectives, SyncwarpOrdersSharedMemoryWithinItsMask) {
  DeviceArray<int> out(kLanes);
  cpu_cuda::launch<exchange_through_syncwarp>(dim3(1), dim3(kLanes), 0, out.get());
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  const std::vector<int> got = out.download();
  for (int lane = 0; lane < kLanes; ++lane) EXPECT_EQ(got[static_cast<std::size_t>(lane)], (lane ^ 1) * 10);
}
}  // namespace
}  // namespace cpu_cuda_test
