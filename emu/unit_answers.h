#pragma once
// The data of the unit's answers as its firmware lays it out, for the emulated unit and the fuzzers' scripted
// unit alike: what the answer to each query carries, once.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "usb/usb_block.h"

// The application's version text, a zero, the bootloader's version text (cut to what the block holds).
inline void PutVersions(UsbBlock& answer, std::string_view application, std::string_view bootloader) {
  const std::size_t app = std::min(application.size(), BLOCK_DATA_SIZE - 1);
  std::memcpy(answer.BlockData, application.data(), app);
  const std::size_t boot = std::min(bootloader.size(), BLOCK_DATA_SIZE - app - 1);
  std::memcpy(answer.BlockData + app + 1, bootloader.data(), boot);
}

// One byte per slot (bootloader 1, bootloader 2, application): 1 when valid.
inline void PutSlotFlags(UsbBlock& answer, const std::array<bool, 3>& valid) {
  for (std::size_t i = 0; i < valid.size(); ++i) answer.BlockData[i] = valid[i] ? 1 : 0;
}

// The hardware id, a 32-bit little-endian word.
inline void PutHardwareId(UsbBlock& answer, std::uint32_t id) { std::memcpy(answer.BlockData, &id, sizeof id); }
