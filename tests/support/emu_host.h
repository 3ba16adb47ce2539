#pragma once
// A bare host for the emulated unit's own tests: opens the first unit through the UsbPlatform calls and runs
// one block exchange the way the device link does (OUT timeout 1000 ms, write, IN timeout, read). It checks
// nothing of the answer; the tests do.

#include <cstdint>

#include "usb/usb_block.h"
#include "usb/usb_platform.h"

// A cleared request block with its CRC sealed.
UsbBlock MakeRequest(std::uint32_t blockId, std::uint32_t address = 0, std::uint32_t length = 0);
void SealBlock(UsbBlock& block);
bool HasValidCrc(const UsbBlock& block);

class EmuHost {
 public:
  explicit EmuHost(UsbPlatform& usb) : usb_(usb) {}
  ~EmuHost() { Close(); }
  EmuHost(const EmuHost&) = delete;
  EmuHost& operator=(const EmuHost&) = delete;

  // The first present unit of the class, with its last IN and last OUT pipe; false if any step fails.
  bool Open(const Guid& interfaceClass = TAVIK_INTERFACE_GUID);
  void Close();
  bool IsOpen() const { return interface_ != UsbInvalidHandle(); }

  struct Result {
    bool written = false;
    bool read = false;
    std::uint32_t error = 0;  // LastError of the failed call
    std::uint32_t bytesRead = 0;
    UsbBlock answer{};
  };
  // Writes the block as it stands (seal it first) and reads the answer with this timeout.
  Result Exchange(const UsbBlock& request, std::uint32_t readTimeoutMs = 1000);
  // Sends an image the way an update step does: START, per 64 KiB chunk an ERASE and 256-byte WRITEs, then
  // FINISH; true when every answer was an acknowledgement.
  bool WriteImage(std::uint32_t address, const std::uint8_t* image, std::uint32_t size);
  // Writes raw bytes (any length) after setting the OUT timeout.
  bool WriteRaw(const void* bytes, std::uint32_t length);

  UsbInterfaceHandle Interface() const { return interface_; }
  std::uint8_t PipeIn() const { return pipeIn_; }
  std::uint8_t PipeOut() const { return pipeOut_; }

 private:
  bool SetTimeout(std::uint8_t pipe, std::uint32_t ms);

  UsbPlatform& usb_;
  UsbFileHandle file_ = UsbInvalidHandle();
  UsbInterfaceHandle interface_ = UsbInvalidHandle();
  std::uint8_t pipeIn_ = 0;
  std::uint8_t pipeOut_ = 0;
};
