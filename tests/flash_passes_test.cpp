#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

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
