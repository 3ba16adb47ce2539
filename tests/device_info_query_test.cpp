// The device information query against the emulated unit: the roads through the two attempts, the resets
// and their pauses, and what the record holds afterwards, with whole trace lines.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/crc32.h"
#include "support/emu_violations.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
// The loader's clock: records its pauses and moves the bus's virtual time by them.
class PauseRecorder final : public Clock {
 public:
  explicit PauseRecorder(VirtualClock& clock) : clock_(clock) {}
  std::uint64_t NowMs() override { return clock_.NowMs(); }
  void SleepMs(std::uint32_t ms) override {
    pauses.push_back(ms);
    clock_.SleepMs(ms);
  }
  std::vector<std::uint32_t> pauses;

 private:
  VirtualClock& clock_;
};

std::string Line(const std::string& text) { return "[Tavik_FW_Update] " + text + "\r\n"; }

const std::string kReadFailed = Line("WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0");

std::vector<std::string> FlagLines(const char* app, const char* boot1, const char* boot2) {
  return {Line(std::string("Application Flag = ") + app), Line(std::string("Bootloader 1 Flag = ") + boot1),
          Line(std::string("Bootloader 2 Flag = ") + boot2)};
}

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool AllZero(const DeviceInfo& info) {
  DeviceInfo zero;
  std::memset(&zero, 0, sizeof zero);
  return std::memcmp(&info, &zero, sizeof info) == 0;
}

class DeviceInfoQuery : public ::testing::Test {
 protected:
  void SetUp() override { std::memset(&info_, 0xAB, sizeof info_); }

  void TearDown() override {
    EXPECT_EQ(loader_.connected, 0);
    EXPECT_EQ(usb_.OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb_);
  }

  EmulatedUnit& AddUnit(UnitConfig config = {}) {
    config.hardwareId = 0x00060001;
    return usb_.AddUnit(config);
  }

  std::vector<std::uint32_t> RequestIds() {
    std::vector<std::uint32_t> ids;
    for (const ExchangeRecord& r : usb_.Unit(0).Exchanges()) ids.push_back(r.request.BlockID);
    return ids;
  }

  int Resets() {
    int resets = 0;
    for (std::uint32_t id : RequestIds()) resets += id == BLK_RESET;
    return resets;
  }

  TraceCapture trace_;
  VirtualClock clock_;
  PauseRecorder pauses_{clock_};
  EmulatedUsb usb_{clock_};
  PostedMessageQueue queue_;
  UsbFwLoader loader_{DeviceLinkContext{&usb_, &pauses_, &queue_, nullptr}};
  DeviceInfo info_;
};

TEST_F(DeviceInfoQuery, ABootloaderUnitAnsweringEverythingFillsTheRecordInOneConnection) {
  AddUnit();
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(info_.mode, DEVICE_MODE_BOOTLOADER);
  EXPECT_STREQ(info_.appVersion, "001.005.010");
  EXPECT_STREQ(info_.bootVersion, "001.005.007");
  EXPECT_EQ(info_.appFlag, 1);
  EXPECT_EQ(info_.boot1Flag, 1);
  EXPECT_EQ(info_.boot2Flag, 1);
  EXPECT_EQ(info_.hardwareId, 0x00060001u);

  EXPECT_EQ(RequestIds(),
            (std::vector<std::uint32_t>{BLK_PING, BLK_GET_MODE, BLK_GET_VERSION, BLK_GET_HWID, BLK_GET_FLAGS}));
  EXPECT_EQ(usb_.CallCount(UsbCall::OpenDeviceFile), 1u);
  EXPECT_EQ(usb_.CallCount(UsbCall::CloseDeviceFile), 1u);
  EXPECT_TRUE(pauses_.pauses.empty());
  EXPECT_EQ(clock_.NowMs(), 0u);
  EXPECT_EQ(trace_.Lines(), Join({Line("Tavik is in Bootloader Mode"), Line("Application Version = 001.005.010"),
                                  Line("Bootloader Version = 001.005.007")},
                                 FlagLines("TRUE", "TRUE", "TRUE")));
}

TEST_F(DeviceInfoQuery, AnApplicationUnitIsRecordedAsSuchAndTheOtherQueriesGoOn) {
  UnitConfig config;
  config.mode = UnitMode::Application;
  AddUnit(config);
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(info_.mode, DEVICE_MODE_APPLICATION);
  EXPECT_STREQ(info_.appVersion, "001.005.010");
  EXPECT_EQ(info_.hardwareId, 0x00060001u);
  EXPECT_EQ(trace_.Lines().front(), Line("Tavik is in Application Mode"));
  EXPECT_EQ(trace_.Lines().size(), 6u);
}

// The mode query never fails the whole: a ping that fails is an old application, and a mode request that
// fails in any way counts as the bootloader, like a NAK.
TEST_F(DeviceInfoQuery, AFailedPingOrModeRequestStillGivesAModeAndTheQueryGoesOn) {
  struct Case {
    const char* name;
    Fault fault;
    std::int32_t mode;
    std::vector<std::string> lines;  // the first lines; the versions and flags follow
  };
  const Case cases[] = {
      {"mode request unanswered",
       {.kind = FaultKind::DropAnswer, .blockId = BLK_GET_MODE},
       DEVICE_MODE_BOOTLOADER,
       {kReadFailed, Line("Tavik is in Bootloader Mode")}},
      {"mode answered with id 3",
       {.kind = FaultKind::WrongId, .blockId = BLK_GET_MODE, .value = 3},
       DEVICE_MODE_BOOTLOADER,
       {Line("WriteUsbPipeData: BlockID error! Expected ID ACK(1), received ID (3)"),
        Line("Tavik is in Bootloader Mode")}},
      {"ping answered with NAK",
       {.kind = FaultKind::WrongId, .blockId = BLK_PING},
       DEVICE_MODE_OLD_APPLICATION,
       {Line("WriteUsbPipeData: BlockID error! Expected ID ACK(1), received ID (2)"),
        Line("Tavik is in Application Mode (old)")}},
  };
  EmulatedUnit& unit = AddUnit();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace_.Clear();
    unit.AddFault(c.fault);
    EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
    EXPECT_EQ(info_.mode, c.mode);
    EXPECT_STREQ(info_.appVersion, "001.005.010");
    EXPECT_EQ(info_.boot2Flag, 1);
    EXPECT_EQ(trace_.Lines(),
              Join(Join(c.lines, {Line("Application Version = 001.005.010"), Line("Bootloader Version = 001.005.007")}),
                   FlagLines("TRUE", "TRUE", "TRUE")));
  }
  EXPECT_EQ(Resets(), 0);
  EXPECT_TRUE(pauses_.pauses.empty());
}

TEST_F(DeviceInfoQuery, VersionTextsAreCutTo30CharactersAndNeverReadPastTheData) {
  struct Case {
    const char* name;
    std::string data;
    std::string appTraced;
    std::string bootTraced;
  };
  const std::string forty = "1234567890123456789012345678901234567890";
  const Case cases[] = {
      {"two short texts",
       std::string("1.2.3\0"
                   "0.9\0",
                   10),
       "1.2.3", "0.9"},
      {"40 characters", forty + std::string(1, '\0') + "0.9", forty, "0.9"},
      {"no terminator at all", std::string(256, 'x'), std::string(256, 'x'), ""},
      {"first text fills the data", std::string(255, 'y') + std::string(1, '\0'), std::string(255, 'y'), ""},
      {"second text unterminated", std::string("1.2.3\0", 6) + std::string(250, 'z'), "1.2.3", std::string(250, 'z')},
      {"no texts", std::string(1, '\0'), "", ""},
  };
  AddUnit();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace_.Clear();
    usb_.Unit(0).OverrideAnswerData(BLK_GET_VERSION, std::vector<std::uint8_t>(c.data.begin(), c.data.end()));
    EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
    EXPECT_EQ(std::string(info_.appVersion), c.appTraced.substr(0, 30));
    EXPECT_EQ(std::string(info_.bootVersion), c.bootTraced.substr(0, 30));
    // The texts are traced whole; an empty one leaves the line without its trailing blank.
    const auto lines = trace_.Lines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1],
              c.appTraced.empty() ? Line("Application Version =") : Line("Application Version = " + c.appTraced));
    EXPECT_EQ(lines[2],
              c.bootTraced.empty() ? Line("Bootloader Version =") : Line("Bootloader Version = " + c.bootTraced));
  }
}

TEST_F(DeviceInfoQuery, VersionTextsAreTracedEscapedOnOneLineAndStoredAsSent) {
  // An escape sequence, a line break that would begin a forged line, a byte that is not UTF-8.
  const std::string app = "\x1b]0;x\x07\r\n[Tavik_FW_Update] ok\xff";
  const std::string boot = "b\xc3\xa9ta\x1b[2K";
  std::vector<std::uint8_t> data(app.begin(), app.end());
  data.push_back(0);
  data.insert(data.end(), boot.begin(), boot.end());
  AddUnit();
  usb_.Unit(0).OverrideAnswerData(BLK_GET_VERSION, data);
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(std::string(info_.appVersion), app);
  EXPECT_EQ(std::string(info_.bootVersion), boot);
  const auto lines = trace_.Lines();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[1], Line("Application Version = \\x1b]0;x\\x07\\x0d\\x0a[Tavik_FW_Update] ok\\xff"));
  EXPECT_EQ(lines[2], Line("Bootloader Version = b\xc3\xa9ta\\x1b[2K"));
}

TEST_F(DeviceInfoQuery, FlagBytesCountAsSetWhenNonzero) {
  AddUnit().OverrideAnswerData(BLK_GET_FLAGS, std::vector<std::uint8_t>{0, 5, 0});
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(info_.appFlag, 0);
  EXPECT_EQ(info_.boot1Flag, 1);
  EXPECT_EQ(info_.boot2Flag, 0);
  const auto lines = trace_.Lines();
  EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()), FlagLines("FALSE", "TRUE", "FALSE"));
}

TEST_F(DeviceInfoQuery, AFailedHardwareIdentifierLeavesItZeroWithoutFailingTheQuery) {
  AddUnit().AddFault(Fault{FaultKind::BadCrc, ANY_EXCHANGE, BLK_GET_HWID});
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(info_.hardwareId, 0u);
  EXPECT_STREQ(info_.appVersion, "001.005.010");
  EXPECT_EQ(info_.boot2Flag, 1);
  EXPECT_EQ(Resets(), 0);

  const ExchangeRecord hwid = usb_.Unit(0).Exchanges()[3];
  ASSERT_EQ(hwid.request.BlockID, BLK_GET_HWID);
  char crcLine[120];
  std::snprintf(crcLine, sizeof crcLine, "WriteUsbPipeData: CRC error! Expected crc = %8x, received crc = %8x",
                Crc32(&hwid.answer, BLOCK_CRC_OFFSET), hwid.answer.BlockCRC);
  EXPECT_EQ(trace_.Lines(), Join({Line("Tavik is in Bootloader Mode"), Line("Application Version = 001.005.010"),
                                  Line("Bootloader Version = 001.005.007"), Line(crcLine)},
                                 FlagLines("TRUE", "TRUE", "TRUE")));
}

TEST_F(DeviceInfoQuery, WithNoUnitTheQueryEndsAtOnceWithAZeroRecord) {
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_ERR_NOT_FOUND);
  EXPECT_TRUE(AllZero(info_));
  EXPECT_EQ(usb_.CallCount(UsbCall::GetClassDevs), 1u);  // no second search for a reset
  EXPECT_TRUE(pauses_.pauses.empty());
  EXPECT_EQ(clock_.NowMs(), 0u);
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(DeviceInfoQuery, AVersionRequestFailingTwiceResetsTheUnitTwiceWithTwoPauses) {
  AddUnit().AddFault(Fault{FaultKind::DropAnswer, ANY_EXCHANGE, BLK_GET_VERSION, 0, 0});
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_ERR_FAILED);
  EXPECT_EQ(pauses_.pauses, (std::vector<std::uint32_t>{2000, 2000}));
  EXPECT_EQ(Resets(), 2);
  // Two read timeouts and two pauses; the unit was back on the bus for the second attempt.
  EXPECT_EQ(clock_.NowMs(), 6000u);
  EXPECT_EQ(usb_.CallCount(UsbCall::OpenDeviceFile), 4u);
  // What the second attempt reached.
  EXPECT_EQ(info_.mode, DEVICE_MODE_BOOTLOADER);
  EXPECT_STREQ(info_.appVersion, "");
  EXPECT_EQ(info_.boot2Flag, 0);
  const std::vector<std::string> attempt = {Line("Tavik is in Bootloader Mode"), kReadFailed};
  EXPECT_EQ(trace_.Lines(), Join(attempt, attempt));
}

TEST_F(DeviceInfoQuery, AFailureThatPassesIsOvercomeByTheSecondAttempt) {
  AddUnit().AddFault(Fault{FaultKind::DropAnswer, ANY_EXCHANGE, BLK_GET_FLAGS});
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(pauses_.pauses, std::vector<std::uint32_t>{2000});
  EXPECT_EQ(Resets(), 1);
  EXPECT_EQ(info_.mode, DEVICE_MODE_BOOTLOADER);
  EXPECT_STREQ(info_.bootVersion, "001.005.007");
  EXPECT_EQ(info_.boot1Flag, 1);
  EXPECT_EQ(info_.hardwareId, 0x00060001u);
}

TEST_F(DeviceInfoQuery, AUnitThatAnswersNothingIsResetTwiceWithoutPauses) {
  UnitConfig config;
  config.mode = UnitMode::OldApplication;
  AddUnit(config);
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_ERR_FAILED);
  EXPECT_EQ(info_.mode, DEVICE_MODE_OLD_APPLICATION);
  EXPECT_TRUE(pauses_.pauses.empty());
  EXPECT_EQ(Resets(), 2);
  EXPECT_EQ(clock_.NowMs(), 6000u);  // ping, version and reset time out in each attempt
  const std::vector<std::string> attempt = {kReadFailed, Line("Tavik is in Application Mode (old)"), kReadFailed,
                                            kReadFailed};
  EXPECT_EQ(trace_.Lines(), Join(attempt, attempt));
}

TEST_F(DeviceInfoQuery, AUnitThatCannotBeOpenedForTheResetGetsNoPause) {
  AddUnit().AddFault(Fault{FaultKind::DropAnswer, ANY_EXCHANGE, BLK_GET_VERSION, 0, 0});
  usb_.FailCall(UsbCall::OpenDeviceFile, WIN_ERROR_GEN_FAILURE, 1);  // the first reset's opening
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_ERR_FAILED);
  EXPECT_EQ(Resets(), 1);
  EXPECT_EQ(pauses_.pauses, std::vector<std::uint32_t>{2000});  // after the second, acknowledged reset only
  const std::vector<std::string> attempt = {Line("Tavik is in Bootloader Mode"), kReadFailed};
  EXPECT_EQ(trace_.Lines(), Join(Join(attempt, {Line("OpenUsbConnection-CreateFile failed!")}), attempt));
}

TEST_F(DeviceInfoQuery, AUnitThatHasNotComeBackAfterTheResetEndsTheQueryAsNotFound) {
  UnitConfig config;
  config.resetOffBusMs = 5000;
  AddUnit(config).AddFault(Fault{FaultKind::DropAnswer, ANY_EXCHANGE, BLK_GET_VERSION});
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_ERR_NOT_FOUND);
  EXPECT_TRUE(AllZero(info_));
  EXPECT_EQ(pauses_.pauses, std::vector<std::uint32_t>{2000});
  EXPECT_EQ(Resets(), 1);
}

TEST_F(DeviceInfoQuery, TheAbortFlagIsClearedOnceTheUnitIsReached) {
  AddUnit();
  loader_.abortRequested = 1;
  EXPECT_EQ(loader_.ReadDeviceInfo(&info_), FWL_OK);
  EXPECT_EQ(loader_.abortRequested.load(), 0u);
  EXPECT_EQ(info_.mode, DEVICE_MODE_BOOTLOADER);
}

TEST_F(DeviceInfoQuery, WithoutARecordEveryQueryFailsAndTouchesNothing) {
  AddUnit();
  EXPECT_EQ(loader_.ReadDeviceInfo(nullptr), FWL_ERR_FAILED);
  EXPECT_EQ(loader_.QueryDeviceMode(nullptr), FWL_ERR_FAILED);
  EXPECT_EQ(loader_.QueryDeviceVersions(nullptr), FWL_ERR_FAILED);
  EXPECT_EQ(loader_.QueryDeviceFlags(nullptr), FWL_ERR_FAILED);
  EXPECT_EQ(usb_.TotalCallCount(), 0u);
  EXPECT_TRUE(trace_.Lines().empty());
}
}  // namespace
