#include "emu/request_check.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "emu/block_crc.h"

namespace {
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
  if (const BlockRequest* request = FindBlockRequest(blockId)) return request->name;
  if (blockId == BLK_ACK) return "BLK_ACK";
  if (blockId == BLK_NAK) return "BLK_NAK";
  return "id " + std::to_string(blockId);
}

bool CheckRequestBlockWith(const UsbBlock& block, std::uint32_t flashSize, RequestProblemFn problem, void* context) {
  Checker check{problem, context};
  const std::uint32_t crc = BlockCrc(block);
  if (crc != block.BlockCRC) {
    check.Report("BlockCRC is 0x%08" PRIx32 ", the CRC-32 of bytes 0 to 267 is 0x%08" PRIx32, block.BlockCRC, crc);
  }
  const std::uint32_t id = block.BlockID;
  const BlockRequest* request = FindBlockRequest(id);
  if (request == nullptr) {
    check.Report("BlockID %" PRIu32 " is no request", id);
    return false;
  }
  const std::uint32_t address = block.BlockAddress;
  const std::uint32_t length = block.BlockLength;

  // BlockData is zero except for the bytes that a write carries.
  const std::uint32_t carried = request->action == UnitAction::Program && length <= BLOCK_DATA_SIZE ? length : 0;
  for (std::uint32_t i = carried; i < BLOCK_DATA_SIZE; ++i) {
    if (block.BlockData[i] != 0) {
      check.Report("BlockData byte %" PRIu32 " is 0x%02x, not 0 (the request carries %" PRIu32 " data bytes)", i,
                   block.BlockData[i], carried);
      break;
    }
  }

  switch (request->fields) {
    case RequestFields::Zero:
      if (address != 0 || length != 0) {
        check.Report("BlockAddress 0x%08" PRIx32 " and BlockLength %" PRIu32 " must both be 0", address, length);
      }
      break;
    case RequestFields::Image:
    case RequestFields::ImageOrZero: {
      const bool none = request->fields == RequestFields::ImageOrZero && address == 0 && length == 0;
      const bool fits = Within(address, length, flashSize) && (length != 0 || request->fields != RequestFields::Image);
      if (!none && !fits) {
        check.Report("image of %" PRIu32 " bytes at 0x%08" PRIx32 " does not fit into the flash of %" PRIu32 " bytes",
                     length, address, flashSize);
      }
      break;
    }
    case RequestFields::Sector:
      if (address % 0x10000 != 0) check.Report("BlockAddress 0x%08" PRIx32 " is not 64 KiB-aligned", address);
      if (length < 1 || length > 0x10000) check.Report("BlockLength %" PRIu32 " is not 1 to 65536", length);
      if (!Within(address, length, flashSize)) {
        check.Report("0x%08" PRIx32 " + %" PRIu32 " lies outside the flash of %" PRIu32 " bytes", address, length,
                     flashSize);
      }
      break;
    case RequestFields::Block:
      if (length < 1 || length > BLOCK_DATA_SIZE) check.Report("BlockLength %" PRIu32 " is not 1 to 256", length);
      if (!Within(address, length, flashSize)) {
        check.Report("0x%08" PRIx32 " + %" PRIu32 " lies outside the flash of %" PRIu32 " bytes", address, length,
                     flashSize);
      }
      break;
  }
  return check.ok;
}
