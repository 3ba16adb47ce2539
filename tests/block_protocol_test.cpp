// The block exchange against the emulated unit: the abort flag before and during an exchange, what is copied
// back into the caller's block, and every way an answer is rejected, with whole trace lines.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/crc32.h"
#include "support/emu_violations.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
UsbBlock Request(std::uint32_t blockId, std::uint32_t address = 0, std::uint32_t length = 0) {
  UsbBlock block;
  std::memset(&block, 0, sizeof block);
  block.BlockID = blockId;
  block.BlockAddress = address;
  block.BlockLength = length;
  return block;
}

bool SameBytes(const UsbBlock& a, const UsbBlock& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string Line(const char* format, std::uint32_t a, std::uint32_t b) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  return std::string("[Tavik_FW_Update] ") + text + "\r\n";
}

class BlockExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    UnitConfig config;
    config.hardwareId = 0x00010203;
    usb_.AddUnit(config);
    loader_.interfaceGuid = TAVIK_INTERFACE_GUID;
    ASSERT_EQ(loader_.OpenUsbConnection(), 1);
    trace_.Clear();
  }

  void TearDown() override {
    loader_.CloseUsbConnection();
    EXPECT_EQ(usb_.OpenHandleCount(), 0u);
    EXPECT_NO_USB_VIOLATIONS(usb_);
  }

  EmulatedUnit& Unit() { return usb_.Unit(0); }
  ExchangeRecord LastExchange() { return Unit().Exchanges().back(); }

  TraceCapture trace_;
  VirtualClock clock_;
  EmulatedUsb usb_{clock_};
  PostedMessageQueue queue_;
  UsbFwLoader loader_{DeviceLinkContext{&usb_, &clock_, &queue_, nullptr}};
};

TEST_F(BlockExchange, AnAcknowledgedRequestGoesOutSealedWithItsTimeouts) {
  EXPECT_EQ(loader_.SendUsbCommand(BLK_START, 0x20000, 156400, 1000), FWL_OK);
  const ExchangeRecord record = LastExchange();
  EXPECT_EQ(record.requestLength, USB_BLOCK_SIZE);
  EXPECT_EQ(record.request.BlockID, BLK_START);
  EXPECT_EQ(record.request.BlockAddress, 0x20000u);
  EXPECT_EQ(record.request.BlockLength, 156400u);
  EXPECT_EQ(record.request.BlockCRC, Crc32(&record.request, BLOCK_CRC_OFFSET));

  EXPECT_EQ(loader_.SendUsbCommand(BLK_ERASE, 0x20000, 0x10000, 20000), FWL_OK);
  EXPECT_EQ(Unit().PipePolicy(loader_.pipeOut)->transferTimeoutMs, 1000u);
  EXPECT_EQ(Unit().PipePolicy(loader_.pipeIn)->transferTimeoutMs, 20000u);
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(BlockExchange, WithTheAbortFlagSetNothingIsSentAndTheBlockIsUntouched) {
  loader_.abortRequested = 1;
  UsbBlock block = Request(BLK_WRITE, 0x20000, 256);
  for (std::size_t i = 0; i < BLOCK_DATA_SIZE; ++i) block.BlockData[i] = static_cast<std::uint8_t>(i);
  block.BlockCRC = 0xDEADBEEF;  // not stamped either
  const UsbBlock before = block;

  for (int copyBack : {0, 1}) EXPECT_EQ(loader_.WriteUsbPipeData(block, 1000, copyBack), FWL_ABORTED);
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ABORTED);
  EXPECT_TRUE(SameBytes(block, before));
  EXPECT_EQ(Unit().ExchangeCount(), 0u);
  EXPECT_EQ(usb_.CallCount(UsbCall::WritePipe), 0u);
  EXPECT_EQ(usb_.CallCount(UsbCall::ReadPipe), 0u);
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(BlockExchange, AnAbortDuringAnExchangeTurnsItsResultIntoAbortedAndKeepsACopiedAnswer) {
  struct Case {
    const char* name;
    std::uint32_t blockId;
    bool dropAnswer;
    bool answerCopied;
    std::vector<std::string> traces;
  };
  const Case cases[] = {
      {"acknowledged", BLK_PING, false, false, {}},
      {"read back", BLK_READ, false, true, {}},
      {"mode in bootloader", BLK_GET_MODE, false, true, {}},
      {"no answer",
       BLK_PING,
       true,
       false,
       {"[Tavik_FW_Update] WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0\r\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace_.Clear();
    loader_.abortRequested = 0;
    Unit().SetExchangeHook([this](const UsbBlock&, std::uint64_t) { loader_.abortRequested = 1; });
    if (c.dropAnswer) Unit().AddFault(Fault{FaultKind::DropAnswer});

    UsbBlock block = Request(c.blockId, c.blockId == BLK_READ ? 0x20000 : 0, c.blockId == BLK_READ ? 256 : 0);
    EXPECT_EQ(loader_.WriteUsbPipeData(block, 1000, 0), FWL_ABORTED);
    const ExchangeRecord record = LastExchange();
    if (c.answerCopied) {
      EXPECT_TRUE(SameBytes(block, record.answer));
    } else {
      EXPECT_TRUE(SameBytes(block, record.request));
    }
    EXPECT_EQ(trace_.Lines(), c.traces);

    // Every later exchange ends at once.
    const std::uint64_t exchanges = Unit().ExchangeCount();
    EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ABORTED);
    EXPECT_EQ(Unit().ExchangeCount(), exchanges);
    Unit().SetExchangeHook(nullptr);
  }
}

TEST_F(BlockExchange, TheAnswerIsCopiedBackForReadsForNakToModeAndOnRequest) {
  struct Case {
    const char* name;
    UnitMode mode;
    std::uint32_t blockId;
    int copyBack;
    ResultCode result;
    bool answerCopied;
  };
  const Case cases[] = {
      {"ack, no copy-back", UnitMode::Bootloader, BLK_PING, 0, FWL_OK, false},
      {"ack with copy-back", UnitMode::Bootloader, BLK_GET_HWID, 1, FWL_OK, true},
      {"ack without copy-back drops the data", UnitMode::Bootloader, BLK_GET_HWID, 0, FWL_OK, false},
      {"read always", UnitMode::Bootloader, BLK_READ, 0, FWL_OK, true},
      {"nak to mode", UnitMode::Bootloader, BLK_GET_MODE, 0, FWL_IN_BOOTLOADER, true},
      {"ack to mode", UnitMode::Application, BLK_GET_MODE, 0, FWL_OK, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Unit().SetMode(c.mode);
    UsbBlock block = Request(c.blockId, c.blockId == BLK_READ ? 0x20000 : 0, c.blockId == BLK_READ ? 256 : 0);
    EXPECT_EQ(loader_.WriteUsbPipeData(block, 1000, c.copyBack), c.result);
    const ExchangeRecord record = LastExchange();
    if (c.answerCopied) {
      EXPECT_TRUE(SameBytes(block, record.answer));
    } else {
      // The block stays as sent, with its CRC stamped.
      EXPECT_TRUE(SameBytes(block, record.request));
      EXPECT_EQ(block.BlockCRC, Crc32(&block, BLOCK_CRC_OFFSET));
    }
  }
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(BlockExchange, AnyAnswerButAckAndNakToModeIsABlockIdError) {
  struct Case {
    std::uint32_t request;
    std::uint32_t answerId;
  };
  const Case cases[] = {
      {BLK_PING, BLK_NAK}, {BLK_GET_VERSION, BLK_NAK}, {BLK_READ, BLK_NAK},
      {BLK_PING, 3},       {BLK_GET_MODE, 3},          {BLK_PING, 14},
      {BLK_PING, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.request) + " answered with " + std::to_string(c.answerId));
    trace_.Clear();
    Unit().AddFault(Fault{FaultKind::WrongId, ANY_EXCHANGE, 0, 0, 1, c.answerId});
    UsbBlock block = Request(c.request, c.request == BLK_READ ? 0x20000 : 0, c.request == BLK_READ ? 256 : 0);
    EXPECT_EQ(loader_.WriteUsbPipeData(block, 1000, 1), FWL_ERR_FAILED);
    EXPECT_TRUE(SameBytes(block, LastExchange().request));  // nothing copied
    EXPECT_EQ(trace_.Lines(),
              std::vector<std::string>{
                  Line("WriteUsbPipeData: BlockID error! Expected ID ACK(%d), received ID (%d)", 1, c.answerId)});
  }
}

TEST_F(BlockExchange, AnAnswerWithAWrongCrcFailsEvenWhenItIsAnAck) {
  UsbBlock block = Request(BLK_GET_FLAGS);
  Unit().AddFault(Fault{FaultKind::BadCrc});
  EXPECT_EQ(loader_.WriteUsbPipeData(block, 1000, 1), FWL_ERR_FAILED);
  const ExchangeRecord record = LastExchange();
  ASSERT_EQ(record.answer.BlockID, BLK_ACK);
  EXPECT_TRUE(SameBytes(block, record.request));
  EXPECT_EQ(trace_.Lines(),
            std::vector<std::string>{Line("WriteUsbPipeData: CRC error! Expected crc = %8x, received crc = %8x",
                                          Crc32(&record.answer, BLOCK_CRC_OFFSET), record.answer.BlockCRC)});
}

// A short answer leaves the rest of the answer block zero, so it fails the CRC test.
TEST_F(BlockExchange, AShortAnswerFailsTheCrcTest) {
  Unit().AddFault(Fault{FaultKind::ShortRead, ANY_EXCHANGE, 0, 0, 1, 100});
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ERR_FAILED);
  UsbBlock received = LastExchange().answer;
  std::memset(reinterpret_cast<std::uint8_t*>(&received) + 100, 0, USB_BLOCK_SIZE - 100);
  EXPECT_EQ(trace_.Lines(),
            std::vector<std::string>{Line("WriteUsbPipeData: CRC error! Expected crc = %8x, received crc = %8x",
                                          Crc32(&received, BLOCK_CRC_OFFSET), 0)});
}

TEST_F(BlockExchange, AnAnswerThatDoesNotComeFailsAfterTheReadTimeout) {
  for (std::uint32_t timeoutMs : {1000u, 20000u}) {
    SCOPED_TRACE(timeoutMs);
    trace_.Clear();
    Unit().AddFault(Fault{FaultKind::DropAnswer});
    const std::uint64_t start = clock_.NowMs();
    EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, timeoutMs), FWL_ERR_FAILED);
    EXPECT_EQ(clock_.NowMs() - start, timeoutMs);
    EXPECT_EQ(trace_.Lines(),
              std::vector<std::string>{
                  "[Tavik_FW_Update] WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0\r\n"});
  }
  // The connection stays open and usable.
  EXPECT_EQ(loader_.connected, 1);
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_OK);
}

// The interface thread sets the flag while another thread exchanges: that thread's exchanges end aborted and
// no request goes out after the one in progress.
TEST_F(BlockExchange, AnAbortFromAnotherThreadStopsTheExchangingThread) {
  std::atomic<ResultCode> last{FWL_OK};
  std::thread worker([this, &last] {
    ResultCode result = FWL_OK;
    while (result == FWL_OK) result = loader_.SendUsbCommand(BLK_PING, 0, 0, 1000);
    last = result;
  });
  while (Unit().ExchangeCount() == 0) std::this_thread::yield();
  loader_.abortRequested = 1;
  worker.join();
  EXPECT_EQ(last.load(), FWL_ABORTED);
  const std::uint64_t exchanges = Unit().ExchangeCount();
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ABORTED);
  EXPECT_EQ(Unit().ExchangeCount(), exchanges);
  EXPECT_TRUE(trace_.Lines().empty());
}

TEST_F(BlockExchange, AFailedWriteReadsNothing) {
  Unit().AddFault(Fault{FaultKind::Unplug});
  EXPECT_EQ(loader_.SendUsbCommand(BLK_PING, 0, 0, 1000), FWL_ERR_FAILED);
  EXPECT_EQ(usb_.CallCount(UsbCall::ReadPipe), 0u);
  EXPECT_EQ(trace_.Lines(),
            std::vector<std::string>{
                "[Tavik_FW_Update] WriteUsbPipeData: WinUsb_WritePipe() failed! error = 1167, bytesWritten = 0\r\n"});
}
}  // namespace
