#pragma once
// Bytes that look like a firmware image: a fixed sequence per seed (a linear congruential generator's high
// bytes), so that a test or a benchmark sees the same image on every run and a byte out of place shows.

#include <cstdint>
#include <vector>

inline std::vector<std::uint8_t> RandomBytes(std::uint32_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t x = seed;
  for (auto& b : bytes) {
    x = x * 1664525 + 1013904223;
    b = static_cast<std::uint8_t>(x >> 24);
  }
  return bytes;
}
