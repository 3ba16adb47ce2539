#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "support/emu_violations.h"
#include "support/random_bytes.h"
#include "support/trace_capture.h"
#include "usb/usb_fw_loader.h"

namespace {
UsbBlock DataBlock(std::uint32_t address, std::uint32_t length, std::uint8_t seed) {
  UsbBlock block{};
  block.BlockID = BLK_ACK;
  block.BlockAddress = address;
  block.BlockLength = length;
  for (std::size_t i = 0; i < BLOCK_DATA_SIZE; ++i) block.BlockData[i] = static_cast<std::uint8_t>(seed + i);
  return block;
}
}  // namespace

TEST(DataCompare, EqualBlocksGiveOkWithoutATrace) {
  TraceCapture capture;
  const UsbBlock a = DataBlock(0x100000, 256, 3);
  UsbBlock b = a;
  b.BlockID = BLK_READ;  // neither the id nor the CRC is compared
  b.BlockCRC = 0xDEADBEEF;
  EXPECT_EQ(UsbFwLoader::DataCompare(a, b), FWL_OK);
  EXPECT_TRUE(capture.Texts().empty());
}

TEST(DataCompare, ALengthOfZeroComparesNoData) {
  TraceCapture capture;
  const UsbBlock a = DataBlock(0x20000, 0, 1);
  const UsbBlock b = DataBlock(0x20000, 0, 2);
  EXPECT_EQ(UsbFwLoader::DataCompare(a, b), FWL_OK);
  EXPECT_TRUE(capture.Texts().empty());
}

TEST(DataCompare, AnotherAddressOrLengthIsReportedAndNoByteIsCompared) {
  struct Case {
    std::uint32_t readAddress, readLength;
    const char* line;
  };
  const Case cases[] = {
      {0x20100, 256, "DataCompare(): BlockAddress error, expected 0x00020000, got 0x00020100"},
      {0x20000, 240, "DataCompare(): BlockLength error, expected 0x00000100, got 0x000000f0"},
      {0x00000, 0, "DataCompare(): BlockAddress error, expected 0x00020000, got 0x00000000"},
  };
  for (const Case& c : cases) {
    TraceCapture capture;
    const UsbBlock expected = DataBlock(0x20000, 256, 0);
    const UsbBlock read = DataBlock(c.readAddress, c.readLength, 9);  // every data byte differs too
    EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_ERR_COMPARE);
    EXPECT_EQ(capture.Texts(), std::vector<std::string>{c.line});
  }
}

TEST(DataCompare, EveryDifferingByteGetsALineThenBothDumpsFromTheFirst) {
  TraceCapture capture;
  const UsbBlock expected = DataBlock(0x100200, 256, 0x10);
  UsbBlock read = expected;
  read.BlockData[5] = 0xAA;
  read.BlockData[7] = 0xBB;
  read.BlockData[200] = 0x00;
  EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_ERR_COMPARE);
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                 "DataCompare(): BlockData error at address 0x00100205, expected 0x15, got 0xaa",
                                 "DataCompare(): BlockData error at address 0x00100207, expected 0x17, got 0xbb",
                                 "DataCompare(): BlockData error at address 0x001002c8, expected 0xd8, got 0x00",
                                 "Flash data at 0x00100205 = [ 0xaa,0x16,0xbb,0x18,]",
                                 "File  data at 0x00100205 = [ 0x15,0x16,0x17,0x18,]",
                             }));
}

TEST(DataCompare, BytesPastTheLengthAreNotComparedButShownInTheDump) {
  TraceCapture capture;
  const UsbBlock expected = DataBlock(0x1000, 10, 0);
  UsbBlock read = expected;
  read.BlockData[9] = 0x99;
  read.BlockData[10] = 0x77;  // beyond the length: shown, not compared
  EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_ERR_COMPARE);
  EXPECT_EQ(capture.Texts(), (std::vector<std::string>{
                                 "DataCompare(): BlockData error at address 0x00001009, expected 0x09, got 0x99",
                                 "Flash data at 0x00001009 = [ 0x99,0x77,0x0b,0x0c,]",
                                 "File  data at 0x00001009 = [ 0x09,0x0a,0x0b,0x0c,]",
                             }));
}

TEST(DataCompare, ADumpNearTheEndOfTheDataRunsIntoTheCrcWord) {
  struct Case {
    std::size_t index;
    const char* flash;
    const char* file;
  };
  // The CRC words are 0x44332211 (read back) and 0x88776655 (expected), little-endian in the frame.
  const Case cases[] = {
      {252, "Flash data at 0x000200fc = [ 0xee,0xfd,0xfe,0xff,]", "File  data at 0x000200fc = [ 0xfc,0xfd,0xfe,0xff,]"},
      {254, "Flash data at 0x000200fe = [ 0xee,0xff,0x11,0x22,]", "File  data at 0x000200fe = [ 0xfe,0xff,0x55,0x66,]"},
      {255, "Flash data at 0x000200ff = [ 0xee,0x11,0x22,0x33,]", "File  data at 0x000200ff = [ 0xff,0x55,0x66,0x77,]"},
  };
  for (const Case& c : cases) {
    TraceCapture capture;
    UsbBlock expected = DataBlock(0x20000, 256, 0);
    expected.BlockCRC = 0x88776655;
    UsbBlock read = expected;
    read.BlockCRC = 0x44332211;
    read.BlockData[c.index] = 0xEE;
    EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_ERR_COMPARE);
    const auto texts = capture.Texts();
    ASSERT_EQ(texts.size(), 3u) << c.index;
    EXPECT_EQ(texts[1], c.flash);
    EXPECT_EQ(texts[2], c.file);
  }
}

TEST(DataCompare, ALengthBeyondTheDataFieldComparesTheDataFieldOnly) {
  // Nothing the passes build, but the comparison must still stay inside the frame.
  TraceCapture capture;
  UsbBlock expected = DataBlock(0x0, 0xFFFFFFFF, 0);
  UsbBlock read = expected;
  read.BlockCRC = expected.BlockCRC + 1;
  EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_OK);
  read.BlockData[255] = 0;
  EXPECT_EQ(UsbFwLoader::DataCompare(read, expected), FWL_ERR_COMPARE);
  EXPECT_EQ(capture.Texts().size(), 3u);
}

// ---- The passes against the emulated unit, run on the test thread ----

namespace {
constexpr std::uint32_t kFlashAddress = 0x20000;
int g_windowToken;
WindowRef const kWindow = &g_windowToken;

std::vector<std::uint8_t> TestImage(std::uint32_t size) { return RandomBytes(size, 0x12345678); }

std::string ProgramLine(int percent) {
  char text[64];
  std::snprintf(text, sizeof text, "Tavik: Program Device ...   %3d %%", percent);
  return text;
}
std::string VerifyLine(int percent) {
  char text[64];
  std::snprintf(text, sizeof text, "Tavik:  Verify Device ...   %3d %%", percent);
  return text;
}

// A loader with an open connection to an emulated unit in its bootloader and an image in place, as the
// worker has it when the passes begin.
struct FlashPasses : ::testing::Test {
  VirtualClock clock;
  EmulatedUsb usb{clock};
  EmulatedUnit& unit = usb.AddUnit();
  PostedMessageQueue queue;
  DeviceLinkContext context{&usb, &clock, &queue, nullptr};
  UsbFwLoader loader{context};
  std::vector<std::uint8_t> image;

  // Opens the connection (again) for a fresh image of this size, without faults.
  void Load(std::uint32_t size) {
    loader.CloseUsbConnection();
    unit.ClearFaults();
    image = TestImage(size);
    loader.SetNotifyWindow(kWindow, 0, WM_UPDATE_NOTIFY);
    loader.checkLocation = 0;
    loader.interfaceGuid = TAVIK_INTERFACE_GUID;
    ASSERT_TRUE(loader.OpenUsbConnection());
    loader.imageData = image.data();
    loader.imageSize = size;
    loader.flashAddress = kFlashAddress;
    loader.imageOffset = 0;
    unit.ClearExchanges();
  }
  std::vector<std::intptr_t> Posted() {
    std::vector<std::intptr_t> codes;
    while (auto m = queue.TryTake()) codes.push_back(m->lParam);
    return codes;
  }
  std::vector<ExchangeRecord> Requests(std::uint32_t blockId) {
    std::vector<ExchangeRecord> found;
    for (const ExchangeRecord& r : unit.Exchanges()) {
      if (r.request.BlockID == blockId) found.push_back(r);
    }
    return found;
  }
  bool FlashHoldsImage() { return unit.ReadFlash(kFlashAddress, loader.imageSize) == image; }
  std::vector<std::string> Lines(const TraceCapture& capture, const std::string& start) {
    std::vector<std::string> found;
    for (const std::string& text : capture.Texts()) {
      if (text.rfind(start, 0) == 0) found.push_back(text);
    }
    return found;
  }
  void TearDown() override {
    loader.CloseUsbConnection();
    loader.imageData = nullptr;
    EXPECT_NO_USB_VIOLATIONS(usb);
  }
};
}  // namespace

TEST_F(FlashPasses, ProgressOfBothPassesByImageSize) {
  struct Case {
    std::uint32_t size;
    std::vector<int> program;
    std::vector<int> verify;
  };
  std::vector<int> everyFifth;
  for (int p = 0; p <= 100; p += 5) everyFifth.push_back(p);
  const Case cases[] = {
      {10000, {0, 100}, {0, 5, 10, 15, 20, 25, 30, 35, 40, 100}},
      {131072, {0, 50, 100}, everyFifth},
      {156400, {0, 41, 83, 100}, everyFifth},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    Load(c.size);
    TraceCapture capture;
    ASSERT_EQ(loader.ProgramFlash(), FWL_OK);
    EXPECT_EQ(loader.programPercent.load(), 100u);
    ASSERT_EQ(loader.VerifyFlash(), FWL_OK);
    EXPECT_EQ(loader.verifyPercent.load(), 100u);

    std::vector<std::string> expected;
    for (int p : c.program) expected.insert(expected.end(), {ProgramLine(p), "SendUpdateResult = 9"});
    for (int p : c.verify) expected.insert(expected.end(), {VerifyLine(p), "SendUpdateResult = 9"});
    EXPECT_EQ(capture.Texts(), expected);
    EXPECT_EQ(Posted(), std::vector<std::intptr_t>(c.program.size() + c.verify.size(), FWL_PROGRESS));
    EXPECT_TRUE(FlashHoldsImage());
  }
}

TEST_F(FlashPasses, ChunksAndTheShortLastBlockOfAnImageOf156400Bytes) {
  Load(156400);
  ASSERT_EQ(loader.ProgramFlash(), FWL_OK);
  const auto erases = Requests(BLK_ERASE);
  ASSERT_EQ(erases.size(), 3u);
  const std::uint32_t chunks[3][2] = {{0x20000, 65536}, {0x30000, 65536}, {0x40000, 25328}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(erases[i].request.BlockAddress, chunks[i][0]);
    EXPECT_EQ(erases[i].request.BlockLength, chunks[i][1]);
  }
  const auto writes = Requests(BLK_WRITE);
  ASSERT_EQ(writes.size(), 611u);
  const UsbBlock& last = writes.back().request;
  EXPECT_EQ(last.BlockAddress, kFlashAddress + 156160);
  EXPECT_EQ(last.BlockLength, 240u);
  EXPECT_EQ(std::memcmp(last.BlockData, image.data() + 156160, 240), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(last.BlockData + 240, last.BlockData + 256), std::vector<std::uint8_t>(16, 0));
  // Every write is read back at once, at the same address and length.
  const auto exchanges = unit.Exchanges();
  for (std::size_t i = 0; i + 1 < exchanges.size(); ++i) {
    if (exchanges[i].request.BlockID != BLK_WRITE) continue;
    EXPECT_EQ(exchanges[i + 1].request.BlockID, BLK_READ);
    EXPECT_EQ(exchanges[i + 1].request.BlockAddress, exchanges[i].request.BlockAddress);
    EXPECT_EQ(exchanges[i + 1].request.BlockLength, exchanges[i].request.BlockLength);
  }
}

TEST_F(FlashPasses, ACompareFailureInAChunksSecondBlockRewritesTheChunkFromItsStart) {
  Load(156400);
  // The 258th read is the second block of the second chunk.
  unit.AddFault({.kind = FaultKind::WrongData, .blockId = BLK_READ, .skip = 257, .times = 1, .value = 7});
  TraceCapture capture;
  ASSERT_EQ(loader.ProgramFlash(), FWL_OK);

  const auto erases = Requests(BLK_ERASE);
  ASSERT_EQ(erases.size(), 4u);
  EXPECT_EQ(erases[1].request.BlockAddress, 0x30000u);
  EXPECT_EQ(erases[2].request.BlockAddress, 0x30000u);
  EXPECT_EQ(erases[2].request.BlockLength, 65536u);
  // After the second erase of the chunk the writes start again at its first block.
  const auto exchanges = unit.Exchanges();
  std::size_t secondErase = 0;
  for (std::size_t i = 0, seen = 0; i < exchanges.size(); ++i) {
    if (exchanges[i].request.BlockID == BLK_ERASE && ++seen == 3) secondErase = i;
  }
  ASSERT_LT(secondErase + 2, exchanges.size());
  EXPECT_EQ(exchanges[secondErase + 1].request.BlockID, BLK_WRITE);
  EXPECT_EQ(exchanges[secondErase + 1].request.BlockAddress, 0x30000u);
  EXPECT_EQ(Requests(BLK_WRITE).size(), 611u + 2u);
  EXPECT_TRUE(FlashHoldsImage());
  const std::uint8_t byte = image[65536 + 256 + 7];
  char line[128];
  std::snprintf(line, sizeof line, "DataCompare(): BlockData error at address 0x00030107, expected 0x%02x, got 0x%02x",
                byte, byte ^ 0xFF);
  EXPECT_EQ(Lines(capture, "DataCompare()"), std::vector<std::string>{line});
  EXPECT_EQ(Lines(capture, "Tavik: Program"),
            (std::vector<std::string>{ProgramLine(0), ProgramLine(41), ProgramLine(83), ProgramLine(100)}));
}

TEST_F(FlashPasses, ThreeCompareFailuresInAChunkEndThePassAfterItsProgressLine) {
  Load(156400);
  // A bit that can no longer be cleared, under a byte of the second chunk whose image value has it clear.
  std::uint32_t offset = 65536 + 300;
  while ((image[offset] & 0x01) != 0) ++offset;
  unit.AddStuckBit(kFlashAddress + offset, 0x01);
  TraceCapture capture;
  EXPECT_EQ(loader.ProgramFlash(), FWL_ERR_COMPARE);

  EXPECT_EQ(Requests(BLK_ERASE).size(), 1u + 3u);
  EXPECT_EQ(Lines(capture, "Tavik: Program"), (std::vector<std::string>{ProgramLine(0), ProgramLine(41)}));
  const auto texts = capture.Texts();
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], ProgramLine(41));
  EXPECT_EQ(texts.back(), "SendUpdateResult = 9");
  EXPECT_EQ(Lines(capture, "DataCompare(): BlockData error").size(), 3u);
  EXPECT_EQ(loader.programPercent.load(), 41u);
}

TEST_F(FlashPasses, EraseTimeouts) {
  struct Case {
    std::uint32_t slowErases;
    ResultCode result;
    std::size_t writes;
  };
  const Case cases[] = {{2, FWL_OK, 40}, {3, FWL_ERR_FAILED, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.slowErases);
    Load(10000);
    unit.AddFault({.kind = FaultKind::SlowErase, .blockId = BLK_ERASE, .times = c.slowErases});
    const std::uint64_t start = clock.NowMs();
    TraceCapture capture;
    EXPECT_EQ(loader.ProgramFlash(), c.result);
    EXPECT_EQ(Requests(BLK_ERASE).size(), std::min<std::size_t>(c.slowErases + 1, 3));
    EXPECT_EQ(Requests(BLK_WRITE).size(), c.writes);
    EXPECT_EQ(clock.NowMs() - start, c.slowErases * std::uint64_t{ERASE_TIMEOUT_MS});
    EXPECT_EQ(Lines(capture, "WriteUsbPipeData: USBDev_PipeRd() failed!"),
              std::vector<std::string>(c.slowErases,
                                       "WriteUsbPipeData: USBDev_PipeRd() failed! error = 121, bytesWritten = 0"));
  }
}

TEST_F(FlashPasses, AFailedWriteOrReadExchangeEndsThePassWithoutARetry) {
  for (const std::uint32_t blockId : {BLK_WRITE, BLK_READ}) {
    SCOPED_TRACE(blockId);
    Load(10000);
    unit.AddFault({.kind = FaultKind::BadCrc, .blockId = blockId, .skip = 3, .times = 1});
    EXPECT_EQ(loader.ProgramFlash(), FWL_ERR_FAILED);
    EXPECT_EQ(Requests(BLK_ERASE).size(), 1u);
    EXPECT_EQ(Requests(BLK_WRITE).size(), 4u);
    EXPECT_EQ(Posted(), std::vector<std::intptr_t>{FWL_PROGRESS});
  }
}

TEST_F(FlashPasses, ACancelDuringAnEraseUsesUpTheTriesWithoutSending) {
  Load(10000);
  unit.SetExchangeHook([this](const UsbBlock& request, std::uint64_t) {
    if (request.BlockID == BLK_ERASE) loader.abortRequested.store(1);
  });
  EXPECT_EQ(loader.ProgramFlash(), FWL_ABORTED);
  EXPECT_EQ(unit.Exchanges().size(), 1u);
  EXPECT_EQ(Posted(), std::vector<std::intptr_t>{FWL_PROGRESS});
  unit.SetExchangeHook(nullptr);
  loader.abortRequested.store(0);
}

TEST_F(FlashPasses, AVerifiedReadAnswerWithAnotherAddressOrLengthComparesNoByte) {
  struct Case {
    FaultKind kind;
    std::string line;
  };
  const Case cases[] = {
      {FaultKind::WrongAddress, "DataCompare(): BlockAddress error, expected 0x00020a00, got 0x00020b00"},
      {FaultKind::WrongLength, "DataCompare(): BlockLength error, expected 0x00000100, got 0x00000101"},
  };
  for (const Case& c : cases) {
    Load(10000);
    ASSERT_EQ(loader.ProgramFlash(), FWL_OK);
    unit.ClearExchanges();
    unit.AddFault({.kind = c.kind, .blockId = BLK_READ, .skip = 10, .times = 1});
    TraceCapture capture;
    EXPECT_EQ(loader.VerifyFlash(), FWL_ERR_COMPARE);
    EXPECT_EQ(Lines(capture, "DataCompare"), std::vector<std::string>{c.line});
    EXPECT_EQ(Requests(BLK_READ).size(), 11u);  // no retry
    EXPECT_EQ(unit.Exchanges().size(), 11u);
  }
}

TEST_F(FlashPasses, AVerifiedBlockWithThreeDifferingBytes) {
  Load(10000);
  ASSERT_EQ(loader.ProgramFlash(), FWL_OK);
  const std::uint8_t changed[3] = {0x00, 0x5A, 0xFF};
  const std::uint32_t offsets[3] = {0x310, 0x311, 0x3F0};
  for (int i = 0; i < 3; ++i) {
    const std::uint8_t value = static_cast<std::uint8_t>(image[offsets[i]] == changed[i] ? ~changed[i] : changed[i]);
    unit.LoadFlash(kFlashAddress + offsets[i], &value, 1);
  }
  const auto flash = unit.ReadFlash(kFlashAddress, 10000);
  unit.ClearExchanges();
  TraceCapture capture;
  EXPECT_EQ(loader.VerifyFlash(), FWL_ERR_COMPARE);

  std::vector<std::string> expected;
  char line[128];
  for (const std::uint32_t o : offsets) {
    std::snprintf(line, sizeof line, "DataCompare(): BlockData error at address 0x%08x, expected 0x%02x, got 0x%02x",
                  kFlashAddress + o, image[o], flash[o]);
    expected.push_back(line);
  }
  std::snprintf(line, sizeof line, "Flash data at 0x%08x = [ 0x%02x,0x%02x,0x%02x,0x%02x,]", kFlashAddress + 0x310,
                flash[0x310], flash[0x311], flash[0x312], flash[0x313]);
  expected.push_back(line);
  std::snprintf(line, sizeof line, "File  data at 0x%08x = [ 0x%02x,0x%02x,0x%02x,0x%02x,]", kFlashAddress + 0x310,
                image[0x310], image[0x311], image[0x312], image[0x313]);
  expected.push_back(line);
  EXPECT_EQ(Lines(capture, "DataCompare"), std::vector<std::string>(expected.begin(), expected.begin() + 3));
  EXPECT_EQ(Lines(capture, "Flash data"), std::vector<std::string>{expected[3]});
  EXPECT_EQ(Lines(capture, "File  data"), std::vector<std::string>{expected[4]});
  EXPECT_EQ(Requests(BLK_READ).size(), 4u);  // the fourth block failed; no retry
  EXPECT_EQ(loader.imageOffset, 0x400u);
}

TEST_F(FlashPasses, ABlockOperationWithNoImageBytesLeftSendsNothing) {
  Load(10000);
  loader.imageOffset = 10000;
  EXPECT_EQ(loader.WriteFlashBlock(), FWL_ERR_FAILED);
  EXPECT_EQ(loader.VerifyFlashBlock(), FWL_ERR_FAILED);
  EXPECT_TRUE(unit.Exchanges().empty());
}
