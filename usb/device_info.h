#pragma once
// What the unit reports of itself.

#include <cstdint>

inline constexpr std::int32_t DEVICE_MODE_BOOTLOADER = 1;
inline constexpr std::int32_t DEVICE_MODE_APPLICATION = 2;
inline constexpr std::int32_t DEVICE_MODE_OLD_APPLICATION = 3;

struct DeviceInfo {
  std::int32_t mode;         // 0 until the mode query has run
  char appVersion[32];       // at most 30 characters and a terminating zero
  char bootVersion[32];      // at most 30 characters and a terminating zero
  std::int32_t appFlag;      // 1 if set
  std::int32_t boot1Flag;    // 1 if set
  std::int32_t boot2Flag;    // 1 if set
  std::uint32_t hardwareId;  // 0 if its request failed
};
