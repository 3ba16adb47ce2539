#pragma once
// The CRC-32 over bytes 0 to 267 of a block, as the unit checks requests and seals answers. Most blocks carry no
// data; for them the 256 zero bytes are passed over at once by a table that advances the CRC across them, so
// that a whole update on the emulated unit costs less. The value is that of Crc32 in every case.

#include <cstdint>

#include "usb/usb_block.h"

std::uint32_t BlockCrc(const UsbBlock& block);
