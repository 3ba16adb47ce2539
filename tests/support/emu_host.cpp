#include "support/emu_host.h"

#include <cstring>
#include <vector>

#include "image/crc32.h"

void SealBlock(UsbBlock& block) { block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET); }

bool HasValidCrc(const UsbBlock& block) { return block.BlockCRC == Crc32(&block, BLOCK_CRC_OFFSET); }

UsbBlock MakeRequest(std::uint32_t blockId, std::uint32_t address, std::uint32_t length) {
  UsbBlock block{};
  block.BlockID = blockId;
  block.BlockAddress = address;
  block.BlockLength = length;
  SealBlock(block);
  return block;
}

bool EmuHost::Open(const Guid& interfaceClass) {
  Close();
  UsbDeviceList list = usb_.GetClassDevs(interfaceClass);
  if (!list) return false;
  UsbInterfaceRef iface{};
  bool found = usb_.EnumDeviceInterfaces(list, interfaceClass, 0, &iface);
  std::vector<std::uint8_t> detail;
  if (found) {
    std::uint32_t size = 0;
    usb_.GetDeviceInterfaceDetail(list, iface, nullptr, 0, &size, nullptr);
    detail.resize(size);
    UsbDeviceRef device{};
    found = usb_.GetDeviceInterfaceDetail(list, iface, detail.data(), size, nullptr, &device);
  }
  std::vector<char> path;
  if (found) {
    const char* p = usb_.DetailDevicePath(detail.data());
    path.assign(p, p + std::strlen(p) + 1);
  }
  usb_.DestroyDeviceInfoList(list);
  if (!found) return false;

  file_ = usb_.OpenDeviceFile(path.data());
  if (file_ == UsbInvalidHandle()) return false;
  UsbInterfaceHandle handle = UsbInvalidHandle();
  if (!usb_.InitializeInterface(file_, &handle)) {
    Close();
    return false;
  }
  interface_ = handle;
  UsbInterfaceDescriptor descriptor{};
  if (!usb_.QueryInterfaceSettings(interface_, 0, &descriptor)) {
    Close();
    return false;
  }
  for (std::uint8_t i = 0; i < descriptor.bNumEndpoints; ++i) {
    UsbPipeInformation pipe{};
    if (!usb_.QueryPipe(interface_, 0, i, &pipe)) {
      Close();
      return false;
    }
    (pipe.pipeId & 0x80 ? pipeIn_ : pipeOut_) = pipe.pipeId;
    const std::uint32_t on = 1;
    usb_.SetPipePolicy(interface_, pipe.pipeId, USB_POLICY_AUTO_CLEAR_STALL, sizeof on, &on);
  }
  if (pipeIn_ == 0 || pipeOut_ == 0) {
    Close();
    return false;
  }
  return true;
}

void EmuHost::Close() {
  if (interface_ != UsbInvalidHandle()) {
    usb_.AbortPipe(interface_, pipeOut_);
    usb_.AbortPipe(interface_, pipeIn_);
  }
  pipeIn_ = pipeOut_ = 0;
  if (file_ != UsbInvalidHandle()) usb_.CloseDeviceFile(file_);
  file_ = UsbInvalidHandle();
  if (interface_ != UsbInvalidHandle()) usb_.FreeInterface(interface_);
  interface_ = UsbInvalidHandle();
}

bool EmuHost::SetTimeout(std::uint8_t pipe, std::uint32_t ms) {
  return usb_.SetPipePolicy(interface_, pipe, USB_POLICY_PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms);
}

bool EmuHost::WriteRaw(const void* bytes, std::uint32_t length) {
  SetTimeout(pipeOut_, 1000);
  std::uint32_t written = 0;
  return usb_.WritePipe(interface_, pipeOut_, static_cast<const std::uint8_t*>(bytes), length, &written);
}

EmuHost::Result EmuHost::Exchange(const UsbBlock& request, std::uint32_t readTimeoutMs) {
  Result result;
  if (!WriteRaw(&request, sizeof request)) {
    result.error = usb_.LastError();
    return result;
  }
  result.written = true;
  SetTimeout(pipeIn_, readTimeoutMs);
  result.read = usb_.ReadPipe(interface_, pipeIn_, reinterpret_cast<std::uint8_t*>(&result.answer),
                              sizeof result.answer, &result.bytesRead);
  if (!result.read) result.error = usb_.LastError();
  return result;
}

bool EmuHost::WriteImage(std::uint32_t address, const std::uint8_t* image, std::uint32_t size) {
  const auto acked = [&](const UsbBlock& block, std::uint32_t timeoutMs) {
    const Result result = Exchange(block, timeoutMs);
    return result.read && result.answer.BlockID == BLK_ACK;
  };
  if (!acked(MakeRequest(BLK_START, address, size), 1000)) return false;
  for (std::uint32_t chunk = 0; chunk < size; chunk += 0x10000) {
    const std::uint32_t chunkLength = size - chunk < 0x10000 ? size - chunk : 0x10000;
    if (!acked(MakeRequest(BLK_ERASE, address + chunk, chunkLength), 20000)) return false;
    for (std::uint32_t offset = chunk; offset < chunk + chunkLength; offset += BLOCK_DATA_SIZE) {
      const std::uint32_t n = size - offset < BLOCK_DATA_SIZE ? size - offset : BLOCK_DATA_SIZE;
      UsbBlock write = MakeRequest(BLK_WRITE, address + offset, n);
      std::memcpy(write.BlockData, image + offset, n);
      SealBlock(write);
      if (!acked(write, 1000)) return false;
    }
  }
  return acked(MakeRequest(BLK_FINISH, address, size), 1000);
}
