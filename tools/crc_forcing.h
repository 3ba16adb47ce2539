#pragma once
// CRC-32 forcing: four chosen bytes give any CRC-32 to a byte range (the CRC-32 of four bytes is a bijection
// of the register), so that a stand-in image can carry the checksum that the program expects.

#include <cstddef>
#include <cstdint>

// Overwrites the last four bytes of data[0, size) so that Crc32(data, size) == target. size must be at least 4.
void ForceCrc32(std::uint8_t* data, std::size_t size, std::uint32_t target);
