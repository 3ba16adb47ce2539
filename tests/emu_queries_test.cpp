#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/clock.h"
#include "emu/emulated_usb.h"
#include "support/emu_fixture.h"
#include "support/emu_host.h"
#include "support/emu_violations.h"

namespace {
struct EmuQueries : EmuHostTest {};

TEST_F(EmuQueries, BootloaderUnitAnswersTheInformationRequests) {
  UnitConfig config;
  config.hardwareId = 0x01020306;
  usb.AddUnit(config);
  ASSERT_TRUE(host.Open());

  auto ping = host.Exchange(MakeRequest(BLK_PING));
  ASSERT_TRUE(ping.read);
  EXPECT_EQ(ping.bytesRead, USB_BLOCK_SIZE);
  EXPECT_EQ(ping.answer.BlockID, BLK_ACK);
  EXPECT_TRUE(HasValidCrc(ping.answer));

  EXPECT_EQ(host.Exchange(MakeRequest(BLK_GET_MODE)).answer.BlockID, BLK_NAK);

  auto version = host.Exchange(MakeRequest(BLK_GET_VERSION));
  ASSERT_EQ(version.answer.BlockID, BLK_ACK);
  const char* data = reinterpret_cast<const char*>(version.answer.BlockData);
  EXPECT_STREQ(data, "001.005.010");
  EXPECT_STREQ(data + std::strlen(data) + 1, "001.005.007");

  auto flags = host.Exchange(MakeRequest(BLK_GET_FLAGS));
  ASSERT_EQ(flags.answer.BlockID, BLK_ACK);
  EXPECT_EQ(flags.answer.BlockData[0], 1);
  EXPECT_EQ(flags.answer.BlockData[1], 1);
  EXPECT_EQ(flags.answer.BlockData[2], 1);

  auto hwid = host.Exchange(MakeRequest(BLK_GET_HWID));
  ASSERT_EQ(hwid.answer.BlockID, BLK_ACK);
  std::uint32_t id = 0;
  std::memcpy(&id, hwid.answer.BlockData, sizeof id);
  EXPECT_EQ(id, 0x01020306u);
  EXPECT_EQ(clock.NowMs(), 0u);
}
}  // namespace
