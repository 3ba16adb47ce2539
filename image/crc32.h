#pragma once
// CRC-32 as zlib and IEEE 802.3 compute it: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement. It checks the embedded images and seals every USB block.

#include <cstddef>
#include <cstdint>

std::uint32_t Crc32(const void* data, std::size_t length);

// Continues a CRC over more bytes: Crc32Update(Crc32(a), b) == Crc32(a + b). Start with 0.
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length);

// The routines behind Crc32Update, which picks one per call by length and by what the processor offers. All give
// the same result. Tests and benchmarks force each one.
enum class Crc32Impl {
  Table,  // sixteen bytes per step through lookup tables; any processor
  Clmul,  // sixty-four bytes per step by carry-less multiplication; x86-64 with PCLMULQDQ and SSE4.1
};

bool Crc32ImplAvailable(Crc32Impl impl);

// Crc32Update through the given routine at every length. A routine the processor lacks falls back to the table.
std::uint32_t Crc32With(Crc32Impl impl, std::uint32_t crc, const void* data, std::size_t length);
