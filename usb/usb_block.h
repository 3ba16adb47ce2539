#pragma once
// The 272-byte request and answer frame of the block exchange (the block ids and requests: block_requests.h).

#include <bit>
#include <cstddef>
#include <cstdint>

#include "usb/block_requests.h"  // the block ids

static_assert(std::endian::native == std::endian::little, "the frame's words are little-endian");

inline constexpr std::size_t USB_BLOCK_SIZE = 272;
inline constexpr std::size_t BLOCK_DATA_SIZE = 256;
inline constexpr std::size_t BLOCK_CRC_OFFSET = 268;  // the CRC covers bytes 0 to 267

struct UsbBlock {
  std::uint32_t BlockID;
  std::uint32_t BlockAddress;
  std::uint32_t BlockLength;
  std::uint8_t BlockData[BLOCK_DATA_SIZE];
  std::uint32_t BlockCRC;
};
static_assert(sizeof(UsbBlock) == USB_BLOCK_SIZE);
static_assert(offsetof(UsbBlock, BlockData) == 12);
static_assert(offsetof(UsbBlock, BlockCRC) == BLOCK_CRC_OFFSET);
