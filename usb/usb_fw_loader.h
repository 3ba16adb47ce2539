#pragma once
// UsbFwLoader: the update engine. The block exchange, the device information query, the start of a step,
// the worker thread and the programming and verification passes are all its operations.

#include <atomic>
#include <cstdint>
#include <mutex>

#include "image/image_resources.h"
#include "usb/device_info.h"
#include "usb/result_code.h"
#include "usb/usb_block.h"
#include "usb/usb_port.h"

// Where imageData came from; decides how FirmwareUpdateCleanup releases it.
inline constexpr std::int32_t FWL_DATA_NONE = 0;
inline constexpr std::int32_t FWL_DATA_FROM_RESOURCE = 1;
inline constexpr std::int32_t FWL_DATA_FROM_FILE = 2;
inline constexpr std::int32_t FWL_DATA_LOCAL_ALLOC = 3;

// Pass constants.
inline constexpr std::uint32_t CHUNK_SIZE = 65536;
inline constexpr std::uint32_t FLASH_BLOCK_SIZE = 256;
inline constexpr int CHUNK_TRIES = 3;
inline constexpr std::uint32_t ERASE_TIMEOUT_MS = AnswerWaitMs(AnswerWait::Erase);
inline constexpr std::uint32_t BLOCK_TIMEOUT_MS = AnswerWaitMs(AnswerWait::Command);

class UsbFwLoader : public UsbPort {
 public:
  explicit UsbFwLoader(const DeviceLinkContext& context);
  ~UsbFwLoader() override;

  // What code outside the device link reads and asks of a running step (the shared words below).
  bool IsBusy() const { return busy.load() != 0; }
  void RequestAbort() { abortRequested.store(1); }
  std::uint32_t ProgramPercent() const { return programPercent.load(); }
  std::uint32_t VerifyPercent() const { return verifyPercent.load(); }

  // The block exchange.
  ResultCode WriteUsbPipeData(UsbBlock& block, std::uint32_t readTimeoutMs, int copyBack);
  ResultCode SendUsbCommand(std::uint32_t blockId, std::uint32_t address, std::uint32_t length,
                            std::uint32_t readTimeoutMs);

  // The device information query.
  ResultCode ReadDeviceInfo(DeviceInfo* info);
  ResultCode QueryDeviceMode(DeviceInfo* info);
  ResultCode QueryDeviceVersions(DeviceInfo* info);
  ResultCode QueryDeviceFlags(DeviceInfo* info);

  // Start of a step and the worker.
  ResultCode UpdateFirmwareFromResource(std::uint16_t resourceId, std::uint32_t flashAddress);
  ResultCode UpdateFirmwareFromMemory(const std::uint8_t* image, std::uint32_t size, std::uint32_t flashAddress);
  ResultCode StartUpdateFirmwareData(std::uint32_t flashAddress);
  void FirmwareUpdateWorker();
  void FirmwareUpdateCleanup();
  void SendUpdateResult(ResultCode code);

  // The programming and verification passes.
  ResultCode ProgramFlash();
  ResultCode EraseAndWriteChunk(std::uint32_t chunkAddress, std::uint32_t chunkLength);
  ResultCode WriteFlashBlock();
  ResultCode VerifyFlash();
  ResultCode VerifyFlashBlock();
  static ResultCode DataCompare(const UsbBlock& readBack, const UsbBlock& expected);

  // Fields, in order. The words shared between the interface thread and the worker are atomics.
  const std::uint8_t* imageData = nullptr;
  std::uint32_t imageSize = 0;
  std::uint32_t flashAddress = 0;
  std::uint32_t imageOffset = 0;
  std::atomic<std::uint32_t> busy{0};
  std::atomic<std::uint32_t> abortRequested{0};
  std::int32_t firmwareSource = FWL_DATA_NONE;
  ResourceHandle resourceHandle = nullptr;
  void* fileHandle;  // the invalid-handle value while no file is open
  std::atomic<std::uint32_t> programPercent{0};
  std::atomic<std::uint32_t> verifyPercent{0};

 private:
  void AbortTransfersInFlight();
  void EndAbortableTransfers();

  // The destructor may abort the pipes while the worker's transfers can be in flight on them: from the worker's
  // start until it resets the unit or closes the connection. The mutex keeps the two apart.
  std::mutex transferMutex_;
  bool transfersAbortable_ = false;
};
