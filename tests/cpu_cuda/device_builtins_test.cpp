// Device built-ins with CUDA's own conventions: bit counts and positions, bit casts, and the math CUDA adds.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

#include "stand_in_fixture.hpp"

namespace cpu_cuda_test {
namespace {
struct BitCase {
  int value;
  int popc;
  int ffs;  // 1-based position of the lowest set bit, 0 for none
  int clz;  // leading zero bits of the 32-bit value
};

class BitOperations : public ::testing::TestWithParam<BitCase> {};

TEST_P(BitOperations, FollowTheDevicesConventions) {
  const BitCase& c = GetParam();
  EXPECT_EQ(__popc(static_cast<unsigned int>(c.value)), c.popc);
  EXPECT_EQ(__ffs(c.value), c.ffs);
  EXPECT_EQ(__clz(c.value), c.clz);
}

INSTANTIATE_TEST_SUITE_P(Values, BitOperations,
                         ::testing::Values(BitCase{0, 0, 0, 32}, BitCase{1, 1, 1, 31}, BitCase{8, 1, 4, 28},
                                           BitCase{0x00f0f000, 8, 13, 8}, BitCase{-1, 32, 1, 0},
                                           BitCase{std::numeric_limits<int>::min(), 1, 32, 0}),
                         [](const auto& bits) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Value0x%08x", static_cast<unsigned int>(bits.param.value));
                           return std::string(name);
                         });

TEST(DeviceBuiltins, WideBitOperationsAndBitCasts) {
  EXPECT_EQ(__popcll(0xffff0000ffff0000ULL), 32);
  EXPECT_EQ(__ffsll(1LL << 40), 41);
  EXPECT_EQ(__float_as_int(1.0f), 0x3f800000);
  EXPECT_EQ(__int_as_float(0x40490fdb), 3.14159274101257324f);
  EXPECT_EQ(__float_as_uint(-0.0f), 0x80000000u);
  EXPECT_EQ(__double_as_longlong(1.0), 0x3ff0000000000000LL);
  EXPECT_EQ(__longlong_as_double(0x4000000000000000LL), 2.0);
}

TEST(DeviceBuiltins, MathCudaAddsToTheCLibrary) {
  EXPECT_EQ(rsqrtf(4.0f), 0.5f);  // exact: the square root and the reciprocal of a power of four are exact
  EXPECT_EQ(rsqrt(0.25), 2.0);
  EXPECT_EQ(norm3df(2.0f, 3.0f, 6.0f), 7.0f);  // exact: a Pythagorean quadruple
  EXPECT_EQ(norm3d(1.0, 4.0, 8.0), 9.0);
  EXPECT_EQ(min(3, -4), -4);
  EXPECT_EQ(max(3u, 4u), 4u);
  EXPECT_EQ(max(-1.5f, 2.5f), 2.5f);
  EXPECT_EQ(min(-1.5, 2.5), -1.5);
  float s = 0.0f;
  float c = 0.0f;
  sincosf(0.0f, &s, &c);
  EXPECT_EQ(s, 0.0f);
  EXPECT_EQ(c, 1.0f);
  const float3 f = make_float3(1.0f, 2.0f, 3.0f);
  const double3 d = make_double3(4.0, 5.0, 6.0);
  EXPECT_EQ(f.z + static_cast<float>(d.x), 7.0f);
  EXPECT_EQ(alignof(float4), 16u);
  EXPECT_EQ(alignof(double2), 16u);
  EXPECT_EQ(sizeof(float3), 12u);
}
}  // namespace
}  // namespace cpu_cuda_test
