// The programming pass (erase each 64 KiB chunk, write it in 256-byte blocks, read every block back) and the
// verification pass (read the whole image back). Every block operation builds its frames on its own stack.

#include <cstring>

#include "app/trace.h"
#include "image/crc32.h"
#include "usb/usb_fw_loader.h"

namespace {
// Percentages are taken in 64 bits: for every image that fits the unit's flash this gives the 32-bit
// results, and a larger image cannot wrap the product.
std::uint32_t Percent(std::uint64_t part, std::uint32_t whole) {
  return static_cast<std::uint32_t>(part * 100 / whole);
}

// The length of the next block of the image: the rest of the image, at most one block.
std::uint32_t NextBlockLength(std::uint32_t imageSize, std::uint32_t imageOffset) {
  const std::uint32_t rest = imageSize - imageOffset;
  return rest < FLASH_BLOCK_SIZE ? rest : FLASH_BLOCK_SIZE;
}

// A frame built from zero with its id, address and length; with image bytes, they fill the data's start.
UsbBlock MakeBlock(std::uint32_t blockId, std::uint32_t address, std::uint32_t length,
                   const std::uint8_t* bytes = nullptr) {
  UsbBlock block{};
  block.BlockID = blockId;
  block.BlockAddress = address;
  block.BlockLength = length;
  if (bytes != nullptr) std::memcpy(block.BlockData, bytes, length);
  return block;
}

void TraceProgramPercent(std::uint32_t percent) { Trace("Tavik: Program Device ...   %3d %%", percent); }
void TraceVerifyPercent(std::uint32_t percent) { Trace("Tavik:  Verify Device ...   %3d %%", percent); }
}  // namespace

ResultCode UsbFwLoader::ProgramFlash() {
  if (imageSize == 0) return FWL_ERR_FAILED;  // nothing to program, and no percentage of nothing

  std::uint32_t chunkOffset = 0;
  std::uint32_t chunkNumber = 0;
  ResultCode result;
  do {
    // The last chunk is the rest of the image; a size that is a multiple of 64 KiB ends with a full chunk.
    const std::uint32_t rest = imageSize - chunkOffset;
    const std::uint32_t chunkLength = rest < CHUNK_SIZE ? rest : CHUNK_SIZE;
    result = EraseAndWriteChunk(flashAddress + chunkOffset, chunkLength);

    // The share of the image before the chunk just handled, reported after every chunk, failed or not.
    programPercent.store(Percent(std::uint64_t{chunkNumber} * CHUNK_SIZE, imageSize));
    TraceProgramPercent(programPercent.load());
    SendUpdateResult(FWL_PROGRESS);

    chunkOffset += CHUNK_SIZE;
    ++chunkNumber;
  } while (result == FWL_OK);

  if (result != FWL_DONE) return result;
  programPercent.store(100);
  TraceProgramPercent(100);
  SendUpdateResult(FWL_PROGRESS);
  return FWL_OK;
}

ResultCode UsbFwLoader::EraseAndWriteChunk(std::uint32_t chunkAddress, std::uint32_t chunkLength) {
  const std::uint32_t chunkStart = imageOffset;
  ResultCode result = FWL_ERR_FAILED;
  for (int attempt = 0; attempt < CHUNK_TRIES; ++attempt) {
    UsbBlock erase = MakeBlock(BLK_ERASE, chunkAddress, chunkLength);
    result = WriteUsbPipeData(erase, ERASE_TIMEOUT_MS, 0);
    if (result != FWL_OK) continue;  // a failed erase uses up a try; nothing was written

    std::uint32_t written = 0;
    do {
      result = WriteFlashBlock();
      if (result != FWL_OK) break;
      written += FLASH_BLOCK_SIZE;
    } while (written < chunkLength);
    if (result == FWL_OK) return FWL_OK;

    // Only a block that read back wrong earns another try: erase again and rewrite from the chunk's start.
    if (result != FWL_ERR_COMPARE) return result;
    imageOffset = chunkStart;
  }
  return result;
}

ResultCode UsbFwLoader::WriteFlashBlock() {
  const std::uint32_t length = NextBlockLength(imageSize, imageOffset);
  if (length == 0) return FWL_ERR_FAILED;

  UsbBlock write = MakeBlock(BLK_WRITE, flashAddress + imageOffset, length, imageData + imageOffset);
  imageOffset += length;

  ResultCode result = WriteUsbPipeData(write, BLOCK_TIMEOUT_MS, 0);
  if (result != FWL_OK) return result;

  UsbBlock read = MakeBlock(BLK_READ, write.BlockAddress, length);
  result = WriteUsbPipeData(read, BLOCK_TIMEOUT_MS, 0);  // the answer replaces the read block
  if (result != FWL_OK) return result;

  result = DataCompare(read, write);
  if (result != FWL_OK) return result;
  return imageOffset >= imageSize ? FWL_DONE : FWL_OK;
}

ResultCode UsbFwLoader::VerifyFlash() {
  if (imageSize == 0) return FWL_ERR_FAILED;  // nothing to verify, and no percentage of nothing

  verifyPercent.store(0);
  imageOffset = 0;
  TraceVerifyPercent(0);
  SendUpdateResult(FWL_PROGRESS);

  ResultCode result;
  do {
    result = VerifyFlashBlock();
    // Every change is kept; only multiples of 5 are traced and posted.
    const std::uint32_t percent = Percent(imageOffset, imageSize);
    if (percent != verifyPercent.load()) {
      verifyPercent.store(percent);
      if (percent % 5 == 0) {
        TraceVerifyPercent(percent);
        SendUpdateResult(FWL_PROGRESS);
      }
    }
  } while (result == FWL_OK);

  return result == FWL_DONE ? FWL_OK : result;
}

ResultCode UsbFwLoader::VerifyFlashBlock() {
  const std::uint32_t length = NextBlockLength(imageSize, imageOffset);
  if (length == 0) return FWL_ERR_FAILED;

  // The expected block has the form of the unit's acknowledging answer to the read.
  UsbBlock expected = MakeBlock(BLK_ACK, flashAddress + imageOffset, length, imageData + imageOffset);
  expected.BlockCRC = Crc32(&expected, BLOCK_CRC_OFFSET);

  UsbBlock read = MakeBlock(BLK_READ, expected.BlockAddress, length);
  imageOffset += length;

  ResultCode result = WriteUsbPipeData(read, BLOCK_TIMEOUT_MS, 0);  // the answer replaces the read block
  if (result != FWL_OK) return result;
  result = DataCompare(read, expected);
  if (result != FWL_OK) return result;
  return imageOffset >= imageSize ? FWL_DONE : FWL_OK;
}

ResultCode UsbFwLoader::DataCompare(const UsbBlock& readBack, const UsbBlock& expected) {
  if (readBack.BlockAddress != expected.BlockAddress) {
    Trace("DataCompare(): BlockAddress error, expected 0x%08x, got 0x%08x", expected.BlockAddress,
          readBack.BlockAddress);
    return FWL_ERR_COMPARE;
  }
  if (readBack.BlockLength != expected.BlockLength) {
    Trace("DataCompare(): BlockLength error, expected 0x%08x, got 0x%08x", expected.BlockLength, readBack.BlockLength);
    return FWL_ERR_COMPARE;
  }

  // A length beyond the data field compares the data field only: nothing past it is data.
  const std::uint32_t length = expected.BlockLength < BLOCK_DATA_SIZE ? expected.BlockLength : BLOCK_DATA_SIZE;
  if (std::memcmp(readBack.BlockData, expected.BlockData, length) == 0) return FWL_OK;  // the usual case, at once

  std::uint32_t first = length;
  for (std::uint32_t i = 0; i < length; ++i) {
    if (readBack.BlockData[i] == expected.BlockData[i]) continue;
    Trace("DataCompare(): BlockData error at address 0x%08x, expected 0x%02x, got 0x%02x", readBack.BlockAddress + i,
          expected.BlockData[i], readBack.BlockData[i]);
    if (first == length) first = i;
  }
  if (first == length) return FWL_OK;

  // The dumps show four frame bytes from the first difference on; near the end of the data they run into
  // the CRC word, never past the frame.
  const auto frameByte = [](const UsbBlock& block, std::size_t offset) -> unsigned {
    const std::size_t at = offsetof(UsbBlock, BlockData) + offset;
    return at < USB_BLOCK_SIZE ? reinterpret_cast<const std::uint8_t*>(&block)[at] : 0u;
  };
  Trace("Flash data at 0x%08x = [ 0x%02x,0x%02x,0x%02x,0x%02x,]", readBack.BlockAddress + first,
        frameByte(readBack, first), frameByte(readBack, first + 1), frameByte(readBack, first + 2),
        frameByte(readBack, first + 3));
  Trace("File  data at 0x%08x = [ 0x%02x,0x%02x,0x%02x,0x%02x,]", expected.BlockAddress + first,
        frameByte(expected, first), frameByte(expected, first + 1), frameByte(expected, first + 2),
        frameByte(expected, first + 3));
  return FWL_ERR_COMPARE;
}
