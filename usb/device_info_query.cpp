// The device information query: mode, version texts, hardware identifier and flags, in one short connection.

#include <algorithm>
#include <cstring>

#include "app/clock.h"
#include "app/trace.h"
#include "app/unit_text.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t kQueryTimeoutMs = 1000;
constexpr std::uint32_t kRestartPauseMs = 2000;
constexpr int kAttempts = 2;
constexpr std::size_t kMaxVersionLength = sizeof(DeviceInfo::appVersion) - 2;

UsbBlock RequestBlock(std::uint32_t blockId) {
  UsbBlock block;
  std::memset(&block, 0, sizeof block);
  block.BlockID = blockId;
  return block;
}

// A zero-terminated text of the answer data starting at offset; the end of the data ends it too.
struct DataText {
  char text[BLOCK_DATA_SIZE + 1];
  std::size_t next;  // offset behind the text's terminating zero
};

DataText TextAt(const UsbBlock& answer, std::size_t offset) {
  DataText result{};
  const std::size_t room = offset < BLOCK_DATA_SIZE ? BLOCK_DATA_SIZE - offset : 0;
  const void* end = room != 0 ? std::memchr(answer.BlockData + offset, 0, room) : nullptr;
  const std::size_t length =
      end != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(end) - answer.BlockData) - offset
                     : room;
  if (length != 0) std::memcpy(result.text, answer.BlockData + offset, length);
  result.text[length] = '\0';
  result.next = offset + length + 1;
  return result;
}

void StoreVersion(char (&field)[32], const char* text) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, text, std::min(std::strlen(text), kMaxVersionLength));
}

const char* FlagText(std::int32_t flag) { return flag != 0 ? "TRUE" : "FALSE"; }
}  // namespace

ResultCode UsbFwLoader::ReadDeviceInfo(DeviceInfo* info) {
  if (info == nullptr) return FWL_ERR_FAILED;

  ResultCode result = FWL_ERR_FAILED;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    std::memset(info, 0, sizeof *info);
    interfaceGuid = TAVIK_INTERFACE_GUID;
    if (!OpenUsbConnection()) {
      result = FWL_ERR_NOT_FOUND;
    } else {
      abortRequested = 0;
      result = QueryDeviceMode(info);
      if (result == FWL_OK) result = QueryDeviceVersions(info);
      if (result == FWL_OK) result = QueryDeviceFlags(info);
      CloseUsbConnection();
    }
    if (result == FWL_OK || result == FWL_ERR_NOT_FOUND) return result;

    // Reset the unit and, if it acknowledged, give it time to restart.
    interfaceGuid = TAVIK_INTERFACE_GUID;
    if (OpenUsbConnection()) {
      const ResultCode reset = SendUsbCommand(BLK_RESET, 0, 0, kQueryTimeoutMs);
      CloseUsbConnection();
      if (reset == FWL_OK) context_.clock->SleepMs(kRestartPauseMs);
    }
  }
  return result;
}

ResultCode UsbFwLoader::QueryDeviceMode(DeviceInfo* info) {
  if (info == nullptr) return FWL_ERR_FAILED;
  if (SendUsbCommand(BLK_PING, 0, 0, kQueryTimeoutMs) != FWL_OK) {
    Trace("Tavik is in Application Mode (old)\n");
    info->mode = DEVICE_MODE_OLD_APPLICATION;
    return FWL_OK;
  }
  if (SendUsbCommand(BLK_GET_MODE, 0, 0, kQueryTimeoutMs) == FWL_OK) {
    Trace("Tavik is in Application Mode\n");
    info->mode = DEVICE_MODE_APPLICATION;
  } else {
    Trace("Tavik is in Bootloader Mode\n");
    info->mode = DEVICE_MODE_BOOTLOADER;
  }
  return FWL_OK;
}

ResultCode UsbFwLoader::QueryDeviceVersions(DeviceInfo* info) {
  if (info == nullptr) return FWL_ERR_FAILED;
  UsbBlock block = RequestBlock(BLK_GET_VERSION);
  const ResultCode result = WriteUsbPipeData(block, kQueryTimeoutMs, 1);
  if (result != FWL_OK) return result;

  // Two texts back to back; neither is read past the end of the data.
  const DataText application = TextAt(block, 0);
  const DataText bootloader = TextAt(block, application.next);
  // Traced escaped, so that each stays one line whatever the unit sends; stored as sent.
  Trace("Application Version = %s\n", UnitText(application.text).c_str());
  StoreVersion(info->appVersion, application.text);
  Trace("Bootloader Version = %s\n", UnitText(bootloader.text).c_str());
  StoreVersion(info->bootVersion, bootloader.text);

  block = RequestBlock(BLK_GET_HWID);
  if (WriteUsbPipeData(block, kQueryTimeoutMs, 1) == FWL_OK) {
    std::memcpy(&info->hardwareId, block.BlockData, sizeof info->hardwareId);
  } else {
    info->hardwareId = 0;
  }
  return result;
}

ResultCode UsbFwLoader::QueryDeviceFlags(DeviceInfo* info) {
  if (info == nullptr) return FWL_ERR_FAILED;
  UsbBlock block = RequestBlock(BLK_GET_FLAGS);
  const ResultCode result = WriteUsbPipeData(block, kQueryTimeoutMs, 1);
  if (result != FWL_OK) return result;

  info->appFlag = block.BlockData[0] != 0 ? 1 : 0;
  Trace("Application Flag = %s\n", FlagText(info->appFlag));
  info->boot1Flag = block.BlockData[1] != 0 ? 1 : 0;
  Trace("Bootloader 1 Flag = %s\n", FlagText(info->boot1Flag));
  info->boot2Flag = block.BlockData[2] != 0 ? 1 : 0;
  Trace("Bootloader 2 Flag = %s\n", FlagText(info->boot2Flag));
  return FWL_OK;
}
