// Which interface carries which class on the unit's products, and the device paths built from port chains.

#include "platform/libusb/libusb_device_naming.h"

#include <gtest/gtest.h>

#include <optional>

namespace {
constexpr Guid kSecondClass = {0xAA7192B3, 0x37B8, 0x40E2, {0x9E, 0x87, 0x22, 0xA6, 0x60, 0x9B, 0xEF, 0xC6}};
constexpr Guid kThirdClass = {0x808D5088, 0xF877, 0x4A8D, {0x94, 0x70, 0xB1, 0xCA, 0x50, 0xD4, 0x63, 0x2A}};

UsbPortChain Chain(std::uint8_t bus, std::initializer_list<std::uint8_t> ports) {
  UsbPortChain chain;
  chain.bus = bus;
  for (std::uint8_t port : ports) chain.ports[chain.portCount++] = port;
  return chain;
}
}  // namespace

TEST(LibusbDeviceNaming, EachClassIsTheInterfaceThatTheDriverEntriesGiveItOnTheProduct) {
  struct Case {
    Guid interfaceClass;
    std::uint16_t vendorId;
    std::uint16_t productId;
    std::optional<std::uint8_t> number;
  };
  const Case cases[] = {
      {TAVIK_INTERFACE_GUID, 0x7A31, 0xACDC, 0},
      {kSecondClass, 0x7A31, 0xACDC, 1},
      {kThirdClass, 0x7A31, 0xACDC, 2},
      {TAVIK_INTERFACE_GUID, 0x7A31, 0xACDD, 1},
      {kSecondClass, 0x7A31, 0xACDD, 2},
      {kThirdClass, 0x7A31, 0xACDD, 0},
      {TAVIK_INTERFACE_GUID, 0x7A31, 0xACDE, {}},
      {TAVIK_INTERFACE_GUID, 0x7A32, 0xACDC, {}},
      {Guid{}, 0x7A31, 0xACDC, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(GuidText(c.interfaceClass) + " " + std::to_string(c.productId));
    EXPECT_EQ(UnitInterfaceNumber(c.interfaceClass, c.vendorId, c.productId), c.number);
  }
  EXPECT_EQ(GuidText(TAVIK_INTERFACE_GUID), "{C0850FA1-2B83-47DB-BCB7-738AB1A8B498}");
}

TEST(LibusbDeviceNaming, APathNamesOneInterfaceOfTheDeviceAtOnePortChain) {
  const UsbPortChain hubbed = Chain(3, {1, 4, 2});
  EXPECT_EQ(UsbLocationText(hubbed), "3-1.4.2");
  EXPECT_EQ(UsbDevicePath(hubbed, 1), "usb:3-1.4.2/1");
  EXPECT_EQ(UsbLocationText(Chain(1, {})), "1");

  struct Case {
    const char* path;
    bool matches;
    std::uint8_t number;
  };
  const Case cases[] = {
      {"usb:3-1.4.2/1", true, 1},   {"usb:3-1.4.2/255", true, 255}, {"usb:3-1.4.2/256", false, 0},
      {"usb:3-1.4/1", false, 0},    {"usb:3-1.4.2.5/1", false, 0},  {"usb:3-1.4.2/", false, 0},
      {"usb:3-1.4.2", false, 0},    {"usb:3-1.4.2/1x", false, 0},   {"usb:3-1.4.2/-1", false, 0},
      {"usb:13-1.4.2/1", false, 0}, {"USB:3-1.4.2/1", false, 0},    {"", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::uint8_t number = 99;
    EXPECT_EQ(UsbDevicePathMatches(c.path, hubbed, &number), c.matches);
    if (c.matches) {
      EXPECT_EQ(number, c.number);
    }
  }
  std::uint8_t number = 0;
  EXPECT_FALSE(UsbDevicePathMatches(nullptr, hubbed, &number));
}
