#pragma once
// The bit pattern the stand-in puts where the device leaves values undefined.
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cpu_cuda::detail {
// Read as float or double it is a quiet NaN, as int a negative number far from any index, so code that relies on
// fresh memory being zero, or on a value the device does not define, goes visibly wrong.
constexpr std::uint32_t kPoisonWord = 0xFFFADEADu;
constexpr std::uint64_t kUndefinedShuffleBits = (std::uint64_t{kPoisonWord} << 32) | kPoisonWord;

// Fills `bytes` bytes at `memory` with the pattern, word after word from the start.
inline void fill_with_poison(void* memory, std::size_t bytes) {
  auto* out = static_cast<unsigned char*>(memory);
  for (std::size_t done = 0; done < bytes; done += sizeof kPoisonWord) {
    std::memcpy(out + done, &kPoisonWord, bytes - done < sizeof kPoisonWord ? bytes - done : sizeof kPoisonWord);
  }
}
}  // namespace cpu_cuda::detail
