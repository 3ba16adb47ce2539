#pragma once
// The 272-byte request and answer frame of the block exchange, and the block identifiers.

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "the frame's words are little-endian");

inline constexpr std::uint32_t BLK_ACK = 1;
inline constexpr std::uint32_t BLK_NAK = 2;
inline constexpr std::uint32_t BLK_PING = 3;
inline constexpr std::uint32_t BLK_GET_MODE = 4;
inline constexpr std::uint32_t BLK_START = 6;
inline constexpr std::uint32_t BLK_ERASE = 7;
inline constexpr std::uint32_t BLK_WRITE = 8;
inline constexpr std::uint32_t BLK_READ = 9;
inline constexpr std::uint32_t BLK_FINISH = 10;
inline constexpr std::uint32_t BLK_RESET = 11;
inline constexpr std::uint32_t BLK_GET_VERSION = 12;
inline constexpr std::uint32_t BLK_GET_FLAGS = 13;
inline constexpr std::uint32_t BLK_GET_HWID = 14;

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
