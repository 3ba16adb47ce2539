// The firmware loader: the start of one update step on the interface thread, the worker thread that runs the
// step, and the release of the image and the connection when the step ends.

#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "app/clock.h"
#include "app/message_poster.h"
#include "app/trace.h"
#include "usb/usb_fw_loader.h"

namespace {
constexpr std::uint32_t PROBE_TIMEOUT_MS = 1000;
constexpr std::uint32_t COMMAND_TIMEOUT_MS = 1000;
constexpr std::uint32_t RESET_PAUSE_MS = 2000;
}  // namespace

UsbFwLoader::UsbFwLoader(const DeviceLinkContext& context) : UsbPort(context), fileHandle(UsbInvalidHandle()) {}

UsbFwLoader::~UsbFwLoader() {
  // A running worker is stopped cooperatively, never terminated: the abort flag turns its exchange in
  // progress and every later one into an abort, and aborting the pipes ends the transfer in flight at once
  // (an erase's answer may take 20 s). It resets the unit, releases the image, posts its result and ends. Only
  // then is anything released here. A finished worker is joined all the same, so no thread outlives the loader.
  if (threadHandle.joinable()) {
    if (busy.load() != 0) {
      stopRequested.store(1);  // no next step will follow: the worker skips its pause
      abortRequested.store(1);
      AbortTransfersInFlight();
    }
    threadHandle.join();
  }
  FirmwareUpdateCleanup();
  CloseUsbConnection();
}

ResultCode UsbFwLoader::UpdateFirmwareFromResource(std::uint16_t resourceId, std::uint32_t address) {
  if (busy.load() != 0) {
    Trace("FirmwareUpdate is already running!");
    return FWL_BUSY;
  }
  firmwareSource = FWL_DATA_FROM_RESOURCE;

  // The image is read in place from the program's own resources, never copied.
  ResourceLoader& resources = *context_.resources;
  const ResourceInfo info = resources.FindRawData(resourceId);
  const std::uint8_t* image = nullptr;
  std::uint32_t size = 0;
  if (info != nullptr) {
    size = resources.SizeOf(info);
    resourceHandle = resources.Load(info);
    if (resourceHandle != nullptr) image = resources.Lock(resourceHandle);
  }
  if (image == nullptr) {
    FirmwareUpdateCleanup();
    return FWL_ERR_FAILED;
  }

  Trace("Update Firmware from ID(%d) to Flash(0x%08x), Size(%d)", resourceId, address, static_cast<int>(size));
  const ResultCode result = UpdateFirmwareFromMemory(image, size, address);
  if (result != FWL_STARTED) FirmwareUpdateCleanup();
  return result;
}

ResultCode UsbFwLoader::UpdateFirmwareFromMemory(const std::uint8_t* image, std::uint32_t size, std::uint32_t address) {
  if (busy.load() != 0) {
    Trace("FirmwareUpdate is already running!");
    return FWL_BUSY;
  }
  if (image == nullptr || size == 0) return FWL_ERR_FAILED;

  // The pinned unit of the update, or (unpinned) the first unit present.
  interfaceGuid = TAVIK_INTERFACE_GUID;
  if (!OpenUsbConnection()) {
    Trace("NEV-Tavik Device not found!");
    return FWL_ERR_NOT_FOUND;
  }

  imageSize = size;
  imageData = image;
  imageOffset = 0;
  flashAddress = address;
  programPercent.store(0);
  verifyPercent.store(0);
  abortRequested.store(0);

  if (SendUsbCommand(BLK_PING, 0, 0, PROBE_TIMEOUT_MS) != FWL_OK) {
    Trace("NEV-Tavik Device found but not responding. Probably an old application.");
    CloseUsbConnection();
    return FWL_ERR_APP_MODE;
  }
  Trace("NEV-Tavik Device found and responding.");

  // Only a NAK to the mode query means the bootloader runs; anything else may be the application.
  if (SendUsbCommand(BLK_GET_MODE, 0, 0, PROBE_TIMEOUT_MS) != FWL_IN_BOOTLOADER) {
    Trace("NEV-Tavik Device is in Application Mode! Switch Off Tavik please and try again.");
    CloseUsbConnection();
    return FWL_ERR_APP_MODE;
  }
  Trace("NEV-Tavik Device is in Bootloader.");

  const ResultCode result = StartUpdateFirmwareData(address);
  if (result != FWL_STARTED) CloseUsbConnection();  // on success the worker owns the open connection
  return result;
}

ResultCode UsbFwLoader::StartUpdateFirmwareData(std::uint32_t address) {
  if (busy.load() != 0) {
    Trace("StartUpdateFirmwareData() -> Update always running!");
    return FWL_BUSY;
  }
  flashAddress = address;
  imageOffset = 0;

  // The previous worker has cleared busy as its last act; it is joined before its handle is replaced.
  if (threadHandle.joinable()) threadHandle.join();

  busy.store(1);
  {
    std::lock_guard lock(transferMutex_);
    transfersAbortable_ = true;
  }
  try {
    threadHandle = std::thread([this] {
      const TraceTag tag(traceTag_);
      FirmwareUpdateWorker();
    });
  } catch (const std::system_error&) {
    EndAbortableTransfers();
    busy.store(0);
    return FWL_ERR_FAILED;
  }
  return FWL_STARTED;
}

// Ends the transfer that is in flight now. One that the worker begins in the instant after (between its write
// and its read) is not ended: it runs to its answer or its timeout, and the abort flag does the rest, as before.
void UsbFwLoader::AbortTransfersInFlight() {
  std::lock_guard lock(transferMutex_);
  if (!transfersAbortable_) return;
  context_.usb->AbortPipe(winUsbHandle, pipeOut);
  context_.usb->AbortPipe(winUsbHandle, pipeIn);
}

void UsbFwLoader::EndAbortableTransfers() {
  std::lock_guard lock(transferMutex_);
  transfersAbortable_ = false;
}

void UsbFwLoader::FirmwareUpdateWorker() {
  busy.store(1);

  UsbBlock start{};
  start.BlockID = BLK_START;
  start.BlockAddress = flashAddress;
  start.BlockLength = imageSize;
  ResultCode result = WriteUsbPipeData(start, COMMAND_TIMEOUT_MS, 0);
  if (result == FWL_OK) result = ProgramFlash();
  if (result == FWL_OK) result = VerifyFlash();

  if (result == FWL_OK) {
    // A failed finish ends the step with its code; the unit is not reset.
    UsbBlock finish{};
    finish.BlockID = BLK_FINISH;
    finish.BlockAddress = flashAddress;
    finish.BlockLength = imageSize;
    result = WriteUsbPipeData(finish, COMMAND_TIMEOUT_MS, 0);
    EndAbortableTransfers();  // the connection is closed next
  } else {
    // The reset must go out even after a cancel: the pipes are no longer aborted and the flag is cleared
    // first. The pause gives the unit time to restart in its bootloader before the next step, unless the
    // loader is being destroyed.
    EndAbortableTransfers();
    abortRequested.store(0);
    UsbBlock reset{};
    reset.BlockID = BLK_RESET;
    reset.BlockAddress = flashAddress;
    reset.BlockLength = imageSize;
    WriteUsbPipeData(reset, COMMAND_TIMEOUT_MS, 0);
    CloseUsbConnection();
    if (stopRequested.load() == 0) context_.clock->SleepMs(RESET_PAUSE_MS);
  }

  FirmwareUpdateCleanup();
  SendUpdateResult(result);
  busy.store(0);
}

void UsbFwLoader::FirmwareUpdateCleanup() {
  // The memory of the FILE and LOCAL_ALLOC kinds comes from std::malloc, the file is a std::FILE*.
  switch (firmwareSource) {
    case FWL_DATA_FROM_RESOURCE:
      Trace("FirmwareUpdateCleanup for FWL_DATA_FROM_RESOURCE");
      if (resourceHandle != nullptr) {
        context_.resources->Free(resourceHandle);
        resourceHandle = nullptr;
      }
      break;
    case FWL_DATA_FROM_FILE:
      Trace("FirmwareUpdateCleanup for FWL_DATA_FROM_FILE");
      if (imageData != nullptr) {
        std::free(const_cast<std::uint8_t*>(imageData));
        imageData = nullptr;
      }
      if (fileHandle != UsbInvalidHandle()) {
        if (fileHandle != nullptr) std::fclose(static_cast<std::FILE*>(fileHandle));
        fileHandle = UsbInvalidHandle();
      }
      break;
    case FWL_DATA_LOCAL_ALLOC:
      Trace("FirmwareUpdateCleanup for FWL_DATA_LOCAL_ALLOC");
      if (imageData != nullptr) {
        std::free(const_cast<std::uint8_t*>(imageData));
        imageData = nullptr;
      }
      break;
    default:
      Trace("FirmwareUpdateCleanup for unknown Firmware Source!");
      break;
  }
  imageData = nullptr;
  firmwareSource = FWL_DATA_NONE;
  CloseUsbConnection();
}

void UsbFwLoader::SendUpdateResult(ResultCode code) {
  if (notifyWindow == nullptr || resultMessage == 0) return;
  Trace("SendUpdateResult = %d", code);
  // Posted, never sent: the worker does not wait for the window.
  context_.poster->Post(notifyWindow, resultMessage, reinterpret_cast<std::uintptr_t>(this), code);
}
