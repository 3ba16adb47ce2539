#pragma once
// The enumeration of a class through the raw seam, as the connection makes it, with the contract of each step
// checked on the way (gtest expectations): every size query fails with WIN_ERROR_INSUFFICIENT_BUFFER and gives
// the size, a record one byte short is refused and nothing is written past it, the location is zero-terminated
// UTF-16, and the list ends with WIN_ERROR_NO_MORE_ITEMS.

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "usb/usb_platform.h"

struct WalkedInterface {
  std::string path;
  std::optional<std::string> location;  // UTF-16 units below 0x100 as 8-bit characters; none when not read
  std::optional<UsbDeviceIds> ids;      // none when they could not be read
};
std::ostream& operator<<(std::ostream& out, const WalkedInterface& walked);

// The interfaces of the class, in the platform's order; the location is read (and must be readable) when
// `readLocation` is set.
std::vector<WalkedInterface> WalkInterfaces(UsbPlatform& usb, const Guid& interfaceClass, bool readLocation);

// The location of a UTF-16 record of `size` bytes, up to its terminator, as 8-bit text.
std::string LocationText(const std::uint8_t* record, std::uint32_t size);
