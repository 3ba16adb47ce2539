#pragma once
// The unit of a capture, served to the program's own update: a USB platform on which the captured unit is
// present while the capture's next event is an opening of it, answers each request with the captured answer
// (or fails it as the capture says: a timeout, an abort, a unit that left, a failed write), and notes where the
// program's requests first differ from the captured ones. The clock moves with the capture's times. Beyond the
// capture's last event the unit is gone. A cut record (a bounded capture) keeps the block header only: its
// request is compared by that header, and a cut READ answer carries the bytes this replay's program wrote at
// that address (the capture cut only blocks that read back as written).

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/clock.h"
#include "usb/capture_exchanges.h"
#include "usb/usb_block.h"
#include "usb/usb_platform.h"

struct RequestDifference {
  std::uint64_t exchange = 0;  // the captured exchange's number
  std::string field;           // "BlockID", "BlockAddress", "BlockLength", "BlockData[i]", "BlockCRC", "request"
  std::string captured;        // the values, as text
  std::string now;
};

class ReplayUsb final : public UsbPlatform {
 public:
  ReplayUsb(std::vector<CaptureEvent> events, VirtualClock& clock);

  std::optional<RequestDifference> FirstDifference() const { return difference_; }
  std::uint64_t ExchangesPlayed() const { return played_; }
  std::uint64_t ExchangesCaptured() const { return captured_; }

  UsbDeviceList GetClassDevs(const Guid& interfaceClass) override;
  bool EnumDeviceInterfaces(UsbDeviceList list, const Guid& interfaceClass, std::uint32_t memberIndex,
                            UsbInterfaceRef* iface) override;
  bool GetDeviceInterfaceDetail(UsbDeviceList list, const UsbInterfaceRef& iface, void* detail,
                                std::uint32_t detailSize, std::uint32_t* requiredSize, UsbDeviceRef* device) override;
  const char* DetailDevicePath(const void* detail) override;
  bool GetDeviceLocation(UsbDeviceList list, const UsbDeviceRef& device, void* buffer, std::uint32_t bufferSize,
                         std::uint32_t* requiredSize) override;
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
  bool Present() const { return next_ < events_.size() && events_[next_].open; }
  void MoveClockTo(std::uint64_t timeUs);
  void Compare(const CaptureEvent& event, const std::uint8_t* request, std::uint32_t length);
  bool Fail(std::uint32_t error);

  std::vector<CaptureEvent> events_;
  VirtualClock& clock_;
  std::size_t next_ = 0;
  const CaptureEvent* reading_ = nullptr;  // the exchange whose answer the next read takes
  std::uint64_t firstUs_ = 0;
  std::uint64_t startMs_ = 0;
  std::uint32_t lastError_ = 0;
  std::uint64_t played_ = 0;
  std::uint64_t captured_ = 0;
  std::optional<RequestDifference> difference_;
  std::map<std::uint32_t, UsbBlock> written_;  // the WRITE blocks of this replay, by address
  std::uint8_t pipeIn_ = 0x81;
  std::uint8_t pipeOut_ = 0x02;
};
