#pragma once
// CRC-32 as zlib and IEEE 802.3 compute it: reflected polynomial 0xEDB88320, initial value 0xFFFFFFFF,
// final complement. It checks the embedded images and seals every USB block.

#include <cstddef>
#include <cstdint>

std::uint32_t Crc32(const void* data, std::size_t length);

// Continues a CRC over more bytes: Crc32Update(Crc32(a), b) == Crc32(a + b). Start with 0.
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length);
