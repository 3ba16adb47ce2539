#pragma once
// The CRC-32 routines behind image/crc32.h. They work on the register itself: the caller complements it on the
// way in and out.

#include <cstddef>
#include <cstdint>

std::uint32_t Crc32TableKernel(std::uint32_t state, const std::uint8_t* p, std::size_t length);

#if defined(__x86_64__)
#define CRC32_HAVE_CLMUL_KERNEL 1
// Whether this processor runs Crc32ClmulKernel (PCLMULQDQ and SSE4.1).
bool Crc32ClmulSupported();
// Any length; the bytes after the last whole sixteen go through the table.
std::uint32_t Crc32ClmulKernel(std::uint32_t state, const std::uint8_t* p, std::size_t length);
#endif
