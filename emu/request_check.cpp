#include "emu/request_check.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <iterator>

#include "emu/block_crc.h"

namespace {
constexpr const char* NAMES[] = {nullptr,      "BLK_ACK",   "BLK_NAK",         "BLK_PING",      "BLK_GET_MODE",
                                 nullptr,      "BLK_START", "BLK_ERASE",       "BLK_WRITE",     "BLK_READ",
                                 "BLK_FINISH", "BLK_RESET", "BLK_GET_VERSION", "BLK_GET_FLAGS", "BLK_GET_HWID"};

bool IsRequest(std::uint32_t id) {
  return id == BLK_PING || id == BLK_GET_MODE || (id >= BLK_START && id <= BLK_GET_HWID);
}

struct Checker {
  RequestProblemFn problem;
  void* context;
  bool ok = true;

  void Report(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    problem(context, text);
    ok = false;
  }
};

bool Within(std::uint32_t address, std::uint32_t length, std::uint32_t flashSize) {
  return address <= flashSize && length <= flashSize - address;
}
}  // namespace

std::string BlockIdName(std::uint32_t blockId) {
  if (blockId < std::size(NAMES) && NAMES[blockId]) return NAMES[blockId];
  return "id " + std::to_string(blockId);
}

bool CheckRequestBlockWith(const UsbBlock& block, std::uint32_t flashSize, RequestProblemFn problem, void* context) {
  Checker check{problem, context};
  const std::uint32_t crc = BlockCrc(block);
  if (crc != block.BlockCRC) {
    check.Report("BlockCRC is 0x%08" PRIx32 ", the CRC-32 of bytes 0 to 267 is 0x%08" PRIx32, block.BlockCRC, crc);
  }
  const std::uint32_t id = block.BlockID;
  if (!IsRequest(id)) {
    check.Report("BlockID %" PRIu32 " is no request", id);
    return false;
  }
  const std::uint32_t address = block.BlockAddress;
  const std::uint32_t length = block.BlockLength;

  // BlockData is zero except for the bytes that a write carries.
  const std::uint32_t carried = id == BLK_WRITE && length <= BLOCK_DATA_SIZE ? length : 0;
  for (std::uint32_t i = carried; i < BLOCK_DATA_SIZE; ++i) {
    if (block.BlockData[i] != 0) {
      check.Report("BlockData byte %" PRIu32 " is 0x%02x, not 0 (the request carries %" PRIu32 " data bytes)", i,
                   block.BlockData[i], carried);
      break;
    }
  }

  switch (id) {
    case BLK_PING:
    case BLK_GET_MODE:
    case BLK_GET_VERSION:
    case BLK_GET_FLAGS:
    case BLK_GET_HWID:
      if (address != 0 || length != 0) {
        check.Report("BlockAddress 0x%08" PRIx32 " and BlockLength %" PRIu32 " must both be 0", address, length);
      }
      break;
    case BLK_START:
    case BLK_FINISH:
      if (length == 0 || !Within(address, length, flashSize)) {
        check.Report("image of %" PRIu32 " bytes at 0x%08" PRIx32 " does not fit into the flash of %" PRIu32 " bytes",
                     length, address, flashSize);
      }
      break;
    case BLK_ERASE:
      if (address % 0x10000 != 0) check.Report("BlockAddress 0x%08" PRIx32 " is not 64 KiB-aligned", address);
      if (length < 1 || length > 0x10000) check.Report("BlockLength %" PRIu32 " is not 1 to 65536", length);
      if (!Within(address, length, flashSize)) {
        check.Report("0x%08" PRIx32 " + %" PRIu32 " lies outside the flash of %" PRIu32 " bytes", address, length,
                     flashSize);
      }
      break;
    case BLK_WRITE:
    case BLK_READ:
      if (length < 1 || length > BLOCK_DATA_SIZE) check.Report("BlockLength %" PRIu32 " is not 1 to 256", length);
      if (!Within(address, length, flashSize)) {
        check.Report("0x%08" PRIx32 " + %" PRIu32 " lies outside the flash of %" PRIu32 " bytes", address, length,
                     flashSize);
      }
      break;
    case BLK_RESET:
      if ((address != 0 || length != 0) && !Within(address, length, flashSize)) {
        check.Report("image of %" PRIu32 " bytes at 0x%08" PRIx32 " does not fit into the flash of %" PRIu32 " bytes",
                     length, address, flashSize);
      }
      break;
    default:
      break;
  }
  return check.ok;
}
