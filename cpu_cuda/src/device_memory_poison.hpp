#pragma once
// The bit pattern the stand-in puts where the device leaves values undefined.
#include <cstdint>

namespace cpu_cuda::detail {
// Read as float or double it is a quiet NaN, as int a negative number far from any index, so code that relies on
// fresh memory being zero, or on a value the device does not define, goes visibly wrong.
constexpr std::uint32_t kPoisonWord = 0xFFFADEADu;
constexpr std::uint64_t kUndefinedShuffleBits = (std::uint64_t{kPoisonWord} << 32) | kPoisonWord;
}  // namespace cpu_cuda::detail
