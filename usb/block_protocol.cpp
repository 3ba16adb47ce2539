// The block exchange: one CRC-sealed 272-byte request on the OUT pipe, one 272-byte answer from the IN pipe.

#include <cstring>

#include "app/clock.h"
#include "app/trace.h"
#include "image/crc32.h"
#include "usb/usb_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
// Every request is written within this time; the answer's time is the caller's.
constexpr std::uint32_t kWriteTimeoutMs = 1000;

std::uint32_t BlockCrc(const UsbBlock& block) { return Crc32(&block, BLOCK_CRC_OFFSET); }

// The answer's checks: its CRC, then its id. Copies the answer over the request when asked (or for a READ).
ResultCode Answered(UsbBlock& block, const UsbBlock& answer, int copyBack) {
  if (const std::uint32_t crc = BlockCrc(answer); crc != answer.BlockCRC) {
    Trace("WriteUsbPipeData: CRC error! Expected crc = %8x, received crc = %8x", crc, answer.BlockCRC);
  } else if (answer.BlockID == BLK_ACK) {
    if (block.BlockID == BLK_READ || copyBack != 0) block = answer;
    return FWL_OK;
  } else if (block.BlockID == BLK_GET_MODE && answer.BlockID == BLK_NAK) {
    block = answer;
    return FWL_IN_BOOTLOADER;
  } else {
    Trace("WriteUsbPipeData: BlockID error! Expected ID ACK(%d), received ID (%d)", static_cast<int>(BLK_ACK),
          static_cast<int>(answer.BlockID));
  }
  return FWL_ERR_FAILED;
}
}  // namespace

ResultCode UsbFwLoader::WriteUsbPipeData(UsbBlock& block, std::uint32_t readTimeoutMs, int copyBack) {
  if (abortRequested.load() != 0) return FWL_ABORTED;

  UsbPlatform& usb = *context_.usb;
  block.BlockCRC = BlockCrc(block);

  // The answer is cleared first, so that a short answer fails the CRC test instead of leaving bytes
  // undefined.
  UsbBlock answer;
  std::memset(&answer, 0, sizeof answer);

  ResultCode result = FWL_ERR_FAILED;
  std::uint32_t transferred = 0;
  UsbCapture* const capture = context_.capture;
  CapturedExchange captured;
  if (capture != nullptr) {
    captured.startMs = context_.clock->NowMs();
    captured.pipeOut = pipeOut;
    captured.pipeIn = pipeIn;
    captured.readTimeoutMs = readTimeoutMs;
    captured.request = &block;
    captured.answer = &answer;
  }
  usb.SetPipePolicy(winUsbHandle, pipeOut, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof kWriteTimeoutMs, &kWriteTimeoutMs);
  if (!usb.WritePipe(winUsbHandle, pipeOut, reinterpret_cast<const std::uint8_t*>(&block), USB_BLOCK_SIZE,
                     &transferred)) {
    const std::uint32_t error = usb.LastError();
    captured.writeError = error;
    Trace("WriteUsbPipeData: WinUsb_WritePipe() failed! error = %d, bytesWritten = %d", static_cast<int>(error),
          static_cast<int>(transferred));
  } else {
    captured.written = true;
    transferred = 0;
    usb.SetPipePolicy(winUsbHandle, pipeIn, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof readTimeoutMs, &readTimeoutMs);
    if (!usb.ReadPipe(winUsbHandle, pipeIn, reinterpret_cast<std::uint8_t*>(&answer), USB_BLOCK_SIZE, &transferred)) {
      const std::uint32_t error = usb.LastError();
      captured.readError = error;
      Trace("WriteUsbPipeData: USBDev_PipeRd() failed! error = %d, bytesWritten = %d", static_cast<int>(error),
            static_cast<int>(transferred));
    } else {
      captured.readOk = true;
      captured.answerLength = transferred;
      if (capture != nullptr) {
        // Recorded before the answer may replace the request below.
        captured.endMs = context_.clock->NowMs();
        capture->Exchange(captured);
      }
      result = Answered(block, answer, copyBack);
    }
  }
  if (capture != nullptr && !captured.readOk) {
    captured.endMs = context_.clock->NowMs();
    capture->Exchange(captured);
  }

  // A cancel that came during the exchange turns its result into an abort; a copied answer stays.
  if (abortRequested.load() != 0) result = FWL_ABORTED;
  return result;
}

ResultCode UsbFwLoader::SendUsbCommand(std::uint32_t blockId, std::uint32_t address, std::uint32_t length,
                                       std::uint32_t readTimeoutMs) {
  UsbBlock block;
  std::memset(&block, 0, sizeof block);
  block.BlockID = blockId;
  block.BlockAddress = address;
  block.BlockLength = length;
  return WriteUsbPipeData(block, readTimeoutMs, 0);
}
