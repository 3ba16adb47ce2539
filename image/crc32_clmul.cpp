// CRC-32 by carry-less multiplication. A CRC is the remainder of the message polynomial modulo P; multiplying
// 128 message bits by (x^n mod P) moves them n bits further on without changing the remainder. So four 128-bit
// registers fold the next 64 bytes in per step (two multiplications each, independent of each other), are then
// folded into one, and the last 128 bits are brought down to 32 by a Barrett reduction. Bits are reflected as in
// the table routine, so the results are bit-identical.
#include "image/crc32_kernels.h"

#if defined(CRC32_HAVE_CLMUL_KERNEL)
#include <immintrin.h>

// Only these functions use the instructions, so the program still runs on a processor without them.
#define CRC32_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

namespace {
// Each constant is (x^n mod P) bit-reflected over 32 bits and shifted left by one (the product of two reflected
// operands lies one bit low). The low half multiplies the low 64 bits of a register, the high half the high.
alignas(16) constexpr std::uint64_t kFoldBy64Bytes[2] = {0x154442BD4u, 0x1C6E41596u};  // n = 512 + 32, 512 - 32
alignas(16) constexpr std::uint64_t kFoldBy16Bytes[2] = {0x1751997D0u, 0x0CCAA009Eu};  // n = 128 + 32, 128 - 32
alignas(16) constexpr std::uint64_t kFold64Bits[2] = {0x163CD6124u, 0};                // n = 64
// The reflected polynomial and the Barrett constant floor(x^64 / P), both over 33 bits.
alignas(16) constexpr std::uint64_t kBarrett[2] = {0x1DB710641u, 0x1F7011641u};

CRC32_CLMUL_TARGET inline __m128i Load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }

CRC32_CLMUL_TARGET inline __m128i Constants(const std::uint64_t (&k)[2]) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(k));
}

// Moves x on by the distance k is made for and adds the bytes found there.
CRC32_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k, __m128i next) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

// The remainder of the 128 bits in x, followed by 32 zero bits, modulo P: the CRC register.
CRC32_CLMUL_TARGET inline std::uint32_t Reduce(__m128i x) {
  const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
  // 128 to 96 bits: the first 64 bits are folded onto the last 64 and the 32 zero bits.
  x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, Constants(kFoldBy16Bytes), 0x10));
  // 96 to 64 bits: the first 32 are folded onto the last 64.
  x = _mm_xor_si128(_mm_srli_si128(x, 4), _mm_clmulepi64_si128(_mm_and_si128(x, low32), Constants(kFold64Bits), 0x00));
  // Barrett: q = floor(x * mu / x^64), remainder = x - q * P; the remainder is left in bits 32 to 63.
  const __m128i barrett = Constants(kBarrett);
  __m128i q = _mm_clmulepi64_si128(_mm_and_si128(x, low32), barrett, 0x10);
  q = _mm_clmulepi64_si128(_mm_and_si128(q, low32), barrett, 0x00);
  return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(x, q), 1));
}
}  // namespace

bool Crc32ClmulSupported() {
  __builtin_cpu_init();  // may run before the constructors, from another static initialiser
  return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

CRC32_CLMUL_TARGET std::uint32_t Crc32ClmulKernel(std::uint32_t state, const std::uint8_t* p, std::size_t length) {
  if (length < 16) return Crc32TableKernel(state, p, length);
  // The register enters as 32 bits added to the first message bits.
  __m128i x0 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  p += 16;
  length -= 16;
  if (length >= 48) {
    __m128i x1 = Load(p), x2 = Load(p + 16), x3 = Load(p + 32);
    p += 48;
    length -= 48;
    const __m128i k = Constants(kFoldBy64Bytes);
    while (length >= 64) {
      x0 = Fold(x0, k, Load(p));
      x1 = Fold(x1, k, Load(p + 16));
      x2 = Fold(x2, k, Load(p + 32));
      x3 = Fold(x3, k, Load(p + 48));
      p += 64;
      length -= 64;
    }
    const __m128i k16 = Constants(kFoldBy16Bytes);
    x0 = Fold(Fold(Fold(x0, k16, x1), k16, x2), k16, x3);
  }
  const __m128i k16 = Constants(kFoldBy16Bytes);
  while (length >= 16) {
    x0 = Fold(x0, k16, Load(p));
    p += 16;
    length -= 16;
  }
  return Crc32TableKernel(Reduce(x0), p, length);
}
#endif
