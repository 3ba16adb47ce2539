#include "contract/seam_walk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {
constexpr std::uint8_t kFill = 0xA5;
constexpr std::uint32_t kGuard = 16;

// A record of `size` bytes, aligned for any of the platforms' records, with guard bytes behind it.
struct Record {
  std::vector<std::uint64_t> words;
  explicit Record(std::uint32_t size) : words((size + kGuard) / 8 + 1) {
    std::memset(words.data(), kFill, words.size() * 8);
  }
  std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words.data()); }
  // Whether everything from `from` on is as it was filled.
  bool UntouchedFrom(std::uint32_t from) {
    return std::all_of(bytes() + from, bytes() + words.size() * 8, [](std::uint8_t b) { return b == kFill; });
  }
};

// The size query of a variable record: fails with WIN_ERROR_INSUFFICIENT_BUFFER and gives a size; then a
// record one byte short is refused the same way, with nothing written past it.
template <typename Call>
std::uint32_t QuerySize(UsbPlatform& usb, const char* what, Call call) {
  std::uint32_t size = 0;
  EXPECT_FALSE(call(nullptr, 0, &size)) << what;
  EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER) << what;
  EXPECT_GT(size, 0u) << what;
  if (size > 1) {
    Record shortRecord(size);
    std::uint32_t again = 0;
    EXPECT_FALSE(call(shortRecord.bytes(), size - 1, &again)) << what << ": a record one byte short";
    // WinUSB refuses a record without room for its size field otherwise; every record here has that room.
    EXPECT_EQ(usb.LastError(), WIN_ERROR_INSUFFICIENT_BUFFER) << what << ": a record one byte short";
    EXPECT_TRUE(shortRecord.UntouchedFrom(size - 1)) << what << ": written past the record";
  }
  return size;
}
}  // namespace

std::ostream& operator<<(std::ostream& out, const WalkedInterface& walked) {
  out << walked.path << " @ " << walked.location.value_or("(not read)");
  if (walked.ids) {
    char ids[16];
    std::snprintf(ids, sizeof ids, " %04x:%04x", walked.ids->vendorId, walked.ids->productId);
    out << ids;
  }
  return out;
}

std::string LocationText(const std::uint8_t* record, std::uint32_t size) {
  std::string text;
  for (std::uint32_t i = 0; i + 1 < size; i += 2) {
    const auto unit = static_cast<std::uint16_t>(record[i] | record[i + 1] << 8);
    if (unit == 0) break;
    text += static_cast<char>(unit < 0x100 ? unit : '?');
  }
  return text;
}

std::vector<WalkedInterface> WalkInterfaces(UsbPlatform& usb, const Guid& interfaceClass, bool readLocation) {
  std::vector<WalkedInterface> walked;
  UsbDeviceList list = usb.GetClassDevs(interfaceClass);
  EXPECT_NE(list, nullptr) << "error " << usb.LastError();
  if (list == nullptr) return walked;
  for (std::uint32_t index = 0;; ++index) {
    UsbInterfaceRef iface{};
    if (!usb.EnumDeviceInterfaces(list, interfaceClass, index, &iface)) {
      EXPECT_EQ(usb.LastError(), WIN_ERROR_NO_MORE_ITEMS) << "at " << index;
      break;
    }
    const std::uint32_t detailSize =
        QuerySize(usb, "detail", [&](void* record, std::uint32_t size, std::uint32_t* out) {
          return usb.GetDeviceInterfaceDetail(list, iface, record, size, out, nullptr);
        });
    Record detail(detailSize);
    UsbDeviceRef device{};
    std::uint32_t written = 0;
    if (!usb.GetDeviceInterfaceDetail(list, iface, detail.bytes(), detailSize, &written, &device)) {
      ADD_FAILURE() << "the detail of interface " << index << " failed with " << usb.LastError();
      break;
    }
    EXPECT_TRUE(detail.UntouchedFrom(detailSize)) << "detail: written past the record";
    WalkedInterface entry;
    entry.path = usb.DetailDevicePath(detail.bytes());

    if (readLocation) {
      const std::uint32_t locationSize =
          QuerySize(usb, "location", [&](void* record, std::uint32_t size, std::uint32_t* out) {
            return usb.GetDeviceLocation(list, device, record, size, out);
          });
      Record location(locationSize);
      EXPECT_TRUE(usb.GetDeviceLocation(list, device, location.bytes(), locationSize, &written)) << usb.LastError();
      EXPECT_TRUE(location.UntouchedFrom(locationSize)) << "location: written past the record";
      EXPECT_EQ(locationSize % 2, 0u);
      EXPECT_TRUE(locationSize >= 2 && location.bytes()[locationSize - 2] == 0 &&
                  location.bytes()[locationSize - 1] == 0)
          << "the location ends with its terminator";
      entry.location = LocationText(location.bytes(), locationSize);
    }

    UsbDeviceIds ids{};
    if (usb.GetDeviceIds(list, device, &ids)) {
      entry.ids = ids;
    } else {
      ADD_FAILURE() << "the ids of " << entry.path << " failed with " << usb.LastError();
    }
    walked.push_back(entry);
  }
  usb.DestroyDeviceInfoList(list);
  return walked;
}
