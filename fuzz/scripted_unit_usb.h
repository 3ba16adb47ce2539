#pragma once
// A UsbPlatform with one unit whose answers the fuzzer's bytes choose. At each request a mode byte picks what
// happens: the answer of a sound unit in its bootloader, that answer with some bytes flipped (with the CRC
// sealed again or not), 272 raw bytes, a failed or short read, or a failed write. A sound answer to a read
// comes from a model of the flash that the erases and writes keep, so a whole step goes through when the bytes
// say so, and every flipped byte of a read-back reaches the comparison. Once the input has run out every
// read times out, so a run costs no more exchanges than its input has bytes.
//
// Single-threaded, no allocation per exchange; the flash model is the caller's buffer.

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "usb/usb_block.h"
#include "usb/usb_platform.h"

struct ScriptedUnitCounters {
  std::uint64_t exchanges = 0;
  std::uint64_t soundAnswers = 0;
  std::uint64_t flippedAnswers = 0;
  std::uint64_t rawAnswers = 0;
  std::uint64_t failedTransfers = 0;
  std::uint64_t repeatedErases = 0;  // an erase of the chunk erased just before: the programming pass retried
};

class ScriptedUnitUsb final : public UsbPlatform {
 public:
  // The unit's flash is modelled over [flashBase, flashBase + flash.size()), addresses wrapping at 2^32;
  // elsewhere it reads erased. applicationMode: the unit acknowledges the mode query instead of refusing it.
  ScriptedUnitUsb(FuzzInput& input, std::uint32_t flashBase, std::vector<std::uint8_t>& flash, bool present,
                  bool applicationMode, ScriptedUnitCounters& counters);

  // Handles still open: device lists, files and interfaces.
  int OpenHandles() const { return openHandles_; }

  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override;
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override;
  const char* DetailDevicePath(const void* detail) override;
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override;
  // The ids of the unit it stands for: vendor 0x7A31, product 0xACDC.
  bool GetDeviceIds(UsbDeviceList list, const UsbDeviceRef& device, UsbDeviceIds* ids) override;
  void DestroyDeviceInfoList(UsbDeviceList list) override;
  UsbFileHandle OpenDeviceFile(const char* path) override;
  bool CloseDeviceFile(UsbFileHandle file) override;
  bool InitializeInterface(UsbFileHandle file, UsbInterfaceHandle* handle) override;
  bool QueryInterfaceSettings(UsbInterfaceHandle handle, std::uint8_t alternateIndex,
                              UsbInterfaceDescriptor* descriptor) override;
  bool QueryPipe(UsbInterfaceHandle handle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                 UsbPipeInformation* pipe) override;
  bool SetPipePolicy(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint32_t policyType,
                     std::uint32_t valueLength, const void* value) override;
  bool WritePipe(UsbInterfaceHandle handle, std::uint8_t pipeId, const std::uint8_t* buffer, std::uint32_t length,
                 std::uint32_t* transferred) override;
  bool ReadPipe(UsbInterfaceHandle handle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                std::uint32_t* transferred) override;
  bool AbortPipe(UsbInterfaceHandle handle, std::uint8_t pipeId) override;
  bool FreeInterface(UsbInterfaceHandle handle) override;
  std::uint32_t LastError() override { return lastError_; }

 private:
  enum class Plan { Sound, Flipped, Raw, ReadFails, ShortRead, NoAnswer };

  bool Fail(std::uint32_t error);
  void CarryOut(const UsbBlock& request);  // the sound unit's answer, and its effect on the flash
  void ProgramBlock(const UsbBlock& request, std::uint32_t length);  // NOR flash: a write only clears bits
  void ReadBlock(const UsbBlock& request, std::uint32_t length);
  void EraseRange(std::uint32_t address, std::uint32_t length);
  std::uint8_t FlashByte(std::uint32_t address) const;
  std::uint32_t ErrorCode(std::uint8_t choice) const;

  FuzzInput& input_;
  std::uint32_t flashBase_;
  std::vector<std::uint8_t>& flash_;
  bool present_;
  bool applicationMode_;
  ScriptedUnitCounters& counters_;

  int openHandles_ = 0;
  std::uint32_t lastError_ = 0;
  Plan plan_ = Plan::NoAnswer;
  UsbBlock answer_{};
  std::uint32_t shortLength_ = 0;
  std::uint32_t readError_ = 0;
  bool lastWasErase_ = false;
  std::uint32_t lastEraseAddress_ = 0;
};
