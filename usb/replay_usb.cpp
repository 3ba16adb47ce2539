#include "usb/replay_usb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/windows_numbers.h"
#include "image/crc32.h"

namespace {
constexpr char kPath[] = "\\\\?\\replay#capture";
constexpr char16_t kLocation[] = u"Port_#0001.Hub_#0001";
int g_token;  // the address of the replay's handles and list

std::string Hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
  return text;
}

std::uint32_t Word(const std::uint8_t* bytes, std::size_t at) {
  std::uint32_t value;
  std::memcpy(&value, bytes + at, 4);
  return value;
}
}  // namespace

ReplayUsb::ReplayUsb(std::vector<CaptureEvent> events, VirtualClock& clock)
    : events_(std::move(events)), clock_(clock), startMs_(clock.NowMs()) {
  for (const CaptureEvent& event : events_) {
    if (event.open) continue;
    if (captured_ == 0) {
      pipeIn_ = event.pipeIn;
      pipeOut_ = event.pipeOut;
    }
    ++captured_;
  }
  if (!events_.empty()) firstUs_ = events_.front().startUs;
}

bool ReplayUsb::Fail(std::uint32_t error) {
  lastError_ = error;
  return false;
}

void ReplayUsb::MoveClockTo(std::uint64_t timeUs) {
  const std::uint64_t target = startMs_ + (timeUs - std::min(timeUs, firstUs_)) / 1000;
  if (target > clock_.NowMs()) clock_.Advance(target - clock_.NowMs());
}

UsbDeviceList ReplayUsb::GetClassDevs(const Guid&) { return &g_token; }

bool ReplayUsb::EnumDeviceInterfaces(UsbDeviceList, const Guid&, std::uint32_t memberIndex, UsbInterfaceRef* iface) {
  if (memberIndex != 0 || !Present()) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  std::memset(iface, 0, sizeof *iface);
  return true;
}

bool ReplayUsb::GetDeviceInterfaceDetail(UsbDeviceList, const UsbInterfaceRef&, void* detail, std::uint32_t detailSize,
                                         std::uint32_t* requiredSize, UsbDeviceRef* device) {
  if (requiredSize != nullptr) *requiredSize = sizeof kPath;
  if (detail == nullptr || detailSize < sizeof kPath) return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(detail, kPath, sizeof kPath);
  if (device != nullptr) std::memset(device, 0, sizeof *device);
  return true;
}

const char* ReplayUsb::DetailDevicePath(const void* detail) { return static_cast<const char*>(detail); }

bool ReplayUsb::GetDeviceLocation(UsbDeviceList, const UsbDeviceRef&, void* buffer, std::uint32_t bufferSize,
                                  std::uint32_t* requiredSize) {
  if (requiredSize != nullptr) *requiredSize = sizeof kLocation;
  if (buffer == nullptr || bufferSize < sizeof kLocation) return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(buffer, kLocation, sizeof kLocation);
  return true;
}

bool ReplayUsb::GetDeviceIds(UsbDeviceList, const UsbDeviceRef&, UsbDeviceIds* ids) {
  if (!Present()) return Fail(WIN_ERROR_FILE_NOT_FOUND);
  *ids = events_[next_].ids;
  return true;
}

void ReplayUsb::DestroyDeviceInfoList(UsbDeviceList) {}

UsbFileHandle ReplayUsb::OpenDeviceFile(const char*) {
  if (!Present()) {
    lastError_ = WIN_ERROR_FILE_NOT_FOUND;
    return UsbInvalidHandle();
  }
  MoveClockTo(events_[next_].startUs);
  ++next_;
  reading_ = nullptr;
  return &g_token;
}

bool ReplayUsb::CloseDeviceFile(UsbFileHandle) { return true; }

bool ReplayUsb::InitializeInterface(UsbFileHandle, UsbInterfaceHandle* handle) {
  *handle = &g_token;
  return true;
}

bool ReplayUsb::QueryInterfaceSettings(UsbInterfaceHandle, std::uint8_t, UsbInterfaceDescriptor* descriptor) {
  *descriptor = UsbInterfaceDescriptor{9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
  return true;
}

bool ReplayUsb::QueryPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t pipeIndex, UsbPipeInformation* pipe) {
  if (pipeIndex > 1) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *pipe = UsbPipeInformation{USB_PIPE_BULK, pipeIndex == 0 ? pipeIn_ : pipeOut_, 64, 0};
  return true;
}

bool ReplayUsb::SetPipePolicy(UsbInterfaceHandle, std::uint8_t, std::uint32_t, std::uint32_t, const void*) {
  return true;
}

void ReplayUsb::Compare(const CaptureEvent& event, const std::uint8_t* request, std::uint32_t length) {
  if (difference_) return;
  const std::vector<std::uint8_t>& was = event.request;
  const std::size_t compared = std::min<std::size_t>(was.size(), length);
  for (std::size_t i = 0; i < compared; ++i) {
    if (was[i] == request[i]) continue;
    RequestDifference d;
    d.exchange = event.number;
    if (i < 12 || i >= BLOCK_CRC_OFFSET) {
      const std::size_t word = i < 12 ? i / 4 * 4 : BLOCK_CRC_OFFSET;
      static const char* const names[] = {"BlockID", "BlockAddress", "BlockLength"};
      d.field = word < 12 ? names[word / 4] : "BlockCRC";
      if (word + 4 <= was.size()) d.captured = Hex(Word(was.data(), word));
      d.now = Hex(Word(request, word));
    } else {
      d.field = "BlockData[" + std::to_string(i - 12) + "]";
      char text[2][8];
      std::snprintf(text[0], sizeof text[0], "0x%02X", was[i]);
      std::snprintf(text[1], sizeof text[1], "0x%02X", request[i]);
      d.captured = text[0];
      d.now = text[1];
    }
    difference_ = d;
    return;
  }
}

bool ReplayUsb::WritePipe(UsbInterfaceHandle, std::uint8_t, const std::uint8_t* buffer, std::uint32_t length,
                          std::uint32_t* transferred) {
  *transferred = 0;
  reading_ = nullptr;
  if (next_ >= events_.size() || events_[next_].open) {
    // The program asks more than the capture holds (or asks where the unit had gone): the unit is not there.
    if (!difference_) difference_ = RequestDifference{captured_, "request", "none (the capture ends)", "a request"};
    return Fail(WIN_ERROR_DEVICE_NOT_CONNECTED);
  }
  const CaptureEvent& event = events_[next_++];
  ++played_;
  MoveClockTo(event.startUs);
  Compare(event, buffer, length);
  if (length >= USB_BLOCK_SIZE) {
    UsbBlock block;
    std::memcpy(&block, buffer, sizeof block);
    if (block.BlockID == BLK_WRITE) written_[block.BlockAddress] = block;
  }
  if (!event.written) {
    MoveClockTo(event.endUs);
    return Fail(event.error);
  }
  *transferred = length;
  reading_ = &event;
  return true;
}

bool ReplayUsb::ReadPipe(UsbInterfaceHandle, std::uint8_t, std::uint8_t* buffer, std::uint32_t length,
                         std::uint32_t* transferred) {
  *transferred = 0;
  const CaptureEvent* event = reading_;
  reading_ = nullptr;
  if (event == nullptr) return Fail(WIN_ERROR_SEM_TIMEOUT);  // nothing was asked: nothing comes
  MoveClockTo(event->endUs);
  if (!event->answered) return Fail(WIN_ERROR_SEM_TIMEOUT);
  if (!event->readOk) return Fail(event->error);
  const std::uint32_t size = std::min(event->answerLength, length);
  if (event->answer.size() < size && size == USB_BLOCK_SIZE) {
    // A cut answer: its header as captured, its data as this replay wrote it there, its CRC made again.
    UsbBlock block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(&block, event->answer.data(), std::min(event->answer.size(), sizeof block));
    const auto found = written_.find(block.BlockAddress);
    if (found != written_.end()) std::memcpy(block.BlockData, found->second.BlockData, BLOCK_DATA_SIZE);
    block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET);
    std::memcpy(buffer, &block, size);
  } else {
    const std::size_t copied = std::min<std::size_t>(size, event->answer.size());
    std::memcpy(buffer, event->answer.data(), copied);
  }
  *transferred = size;
  return true;
}

bool ReplayUsb::AbortPipe(UsbInterfaceHandle, std::uint8_t) { return true; }
bool ReplayUsb::FreeInterface(UsbInterfaceHandle) { return true; }
