#pragma once
// The terminal program run in-process on a rig's bus through the real libusb, as helmet-update runs on Linux, with
// the program's own images; and what its tests read of a run: its JSON events, each unit's result, whether a
// unit's flash holds the images.

#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/message_poster.h"
#include "app/platform_context.h"
#include "cli/helmet_update.h"
#include "image/image_resources.h"
#include "libusb/libusb_rig.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_step.h"

class LibusbCliFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UmockdevUnits::InMockEnvironment()) << "run this test program under umockdev-wrapper";
  }
  ~LibusbCliFixture() override { SetUiLanguage(UILANG_ENGLISH); }

  // One run of the program on `usb` (the rig's libusb, as it is or following the units) and the rig's clock.
  int Run(const std::vector<std::string>& args, LibusbRig& rig, UsbPlatform& usb) {
    out.str("");
    err.str("");
    PlatformContext context;
    context.usb = &usb;
    context.clock = &rig.Clock();
    context.poster = &queue;
    context.resources = &ProgramResources();
    return RunHelmetUpdate(args, context, io);
  }

  // The JSON objects of the last run (--json), one per line.
  std::vector<nlohmann::json> Events() const {
    std::vector<nlohmann::json> events;
    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
    return events;
  }
  // Each unit's "result" event of the last run, by its unit.
  std::map<std::string, nlohmann::json> Results() const {
    std::map<std::string, nlohmann::json> results;
    for (const nlohmann::json& event : Events()) {
      if (event.at("event") == "result") results[event.at("unit")] = event;
    }
    return results;
  }

  // Both bootloader copies and the application, byte for byte as the program carries them.
  static bool HoldsProgramImages(const EmulatedUnit& unit) {
    const auto holds = [&unit](std::uint16_t id, std::uint32_t address) {
      ResourceLoader& resources = ProgramResources();
      const ResourceInfo info = resources.FindRawData(id);
      const ResourceHandle image = resources.Load(info);
      const bool held = unit.FlashHolds(address, resources.Lock(image), resources.SizeOf(info));
      resources.Free(image);
      return held;
    };
    return holds(IDR_BOOTLOADER_IMAGE, BOOTLOADER_1_ADDRESS) && holds(IDR_BOOTLOADER_IMAGE, BOOTLOADER_2_ADDRESS) &&
           holds(IDR_APPLICATION_IMAGE, APPLICATION_ADDRESS);
  }

  PostedMessageQueue queue;
  std::ostringstream out;
  std::ostringstream err;
  CliIo io{out, err};
};
