#include "image/crc32.h"

#include "image/crc32_kernels.h"

namespace {
#if defined(CRC32_HAVE_CLMUL_KERNEL)
// Below this length the table is as fast or faster (measured with bench/crc32_bench.cpp).
constexpr std::size_t kClmulMinLength = 32;

bool ClmulAvailable() {
  static const bool available = Crc32ClmulSupported();
  return available;
}
#endif
}  // namespace

bool Crc32ImplAvailable(Crc32Impl impl) {
  switch (impl) {
    case Crc32Impl::Table:
      return true;
    case Crc32Impl::Clmul:
#if defined(CRC32_HAVE_CLMUL_KERNEL)
      return ClmulAvailable();
#else
      return false;
#endif
  }
  return false;
}

std::uint32_t Crc32With(Crc32Impl impl, std::uint32_t crc, const void* data, std::size_t length) {
  const auto* p = static_cast<const std::uint8_t*>(data);
#if defined(CRC32_HAVE_CLMUL_KERNEL)
  if (impl == Crc32Impl::Clmul && ClmulAvailable()) return ~Crc32ClmulKernel(~crc, p, length);
#endif
  (void)impl;
  return ~Crc32TableKernel(~crc, p, length);
}

std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length) {
#if defined(CRC32_HAVE_CLMUL_KERNEL)
  if (length >= kClmulMinLength) return Crc32With(Crc32Impl::Clmul, crc, data, length);
#endif
  return Crc32With(Crc32Impl::Table, crc, data, length);
}

std::uint32_t Crc32(const void* data, std::size_t length) { return Crc32Update(0, data, length); }
