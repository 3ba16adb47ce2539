// The USB capture's bytes, checked field by field against the pcapng and USBPcap layouts (read here at their
// offsets, apart from the program's reader), its bounded form, and the reader on broken files.
#include "usb/usb_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/windows_numbers.h"
#include "usb/capture_exchanges.h"
#include "usb/pcapng_reader.h"
#include "usb/update_captures.h"

namespace {

class MemoryOutput final : public CaptureOutput {
 public:
  bool Write(const std::uint8_t* data, std::size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return true;
  }
  std::vector<std::uint8_t> bytes;
};

std::uint16_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(U16(b, at)) | static_cast<std::uint32_t>(U16(b, at + 2)) << 16;
}
std::uint64_t U64(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint64_t>(U32(b, at)) | static_cast<std::uint64_t>(U32(b, at + 4)) << 32;
}

// The blocks of a file: their offsets, after checking each one's two lengths.
std::vector<std::size_t> Blocks(const std::vector<std::uint8_t>& b) {
  std::vector<std::size_t> at;
  for (std::size_t i = 0; i + 12 <= b.size();) {
    const std::uint32_t length = U32(b, i + 4);
    EXPECT_EQ(length % 4, 0u);
    EXPECT_LE(i + length, b.size());
    if (length < 12 || i + length > b.size()) break;
    EXPECT_EQ(U32(b, i + length - 4), length);
    at.push_back(i);
    i += length;
  }
  return at;
}

// The first comment option of an enhanced packet block at `at` (empty when none).
std::string PacketComment(const std::vector<std::uint8_t>& b, std::size_t at) {
  const std::uint32_t length = U32(b, at + 4);
  std::size_t o = at + 28 + ((U32(b, at + 20) + 3) & ~3u);
  while (o + 4 <= at + length - 4) {
    const std::uint16_t code = U16(b, o);
    const std::uint16_t size = U16(b, o + 2);
    if (code == OPT_END) break;
    if (code == OPT_COMMENT) return std::string(reinterpret_cast<const char*>(&b[o + 4]), size);
    o += 4 + ((size + 3u) & ~3u);
  }
  return {};
}

UsbBlock Request(std::uint32_t id, std::uint32_t address = 0, std::uint32_t length = 0) {
  UsbBlock block;
  std::memset(&block, 0, sizeof block);
  block.BlockID = id;
  block.BlockAddress = address;
  block.BlockLength = length;
  for (std::size_t i = 0; i < BLOCK_DATA_SIZE; ++i) block.BlockData[i] = static_cast<std::uint8_t>(i * 7);
  block.BlockCRC = 0x12345678;
  return block;
}

CaptureSetup InfoSetup(std::uint64_t bound = 0) {
  CaptureSetup setup;
  setup.application = "helmet-update 9.9";
  setup.comments = {"program: helmet-update 9.9"};
  setup.plan = "no update: info";
  setup.bound = bound;
  return setup;
}

TEST(UsbCapture, SectionAndInterfaceHeaders) {
  MemoryOutput output;
  { UsbCapture capture(output, InfoSetup()); }
  const std::vector<std::uint8_t>& b = output.bytes;
  const std::vector<std::size_t> blocks = Blocks(b);
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(U32(b, 0), PCAPNG_SHB);
  EXPECT_EQ(U32(b, 8), PCAPNG_BYTE_ORDER_MAGIC);
  EXPECT_EQ(U16(b, 12), 1);
  EXPECT_EQ(U16(b, 14), 0);
  std::vector<std::string> comments;
  std::string application;
  for (std::size_t o = 24; U16(b, o) != OPT_END; o += 4 + ((U16(b, o + 2) + 3u) & ~3u)) {
    const std::string value(reinterpret_cast<const char*>(&b[o + 4]), U16(b, o + 2));
    if (U16(b, o) == OPT_COMMENT) comments.push_back(value);
    if (U16(b, o) == SHB_USERAPPL) application = value;
  }
  EXPECT_EQ(application, "helmet-update 9.9");
  EXPECT_EQ(comments, (std::vector<std::string>{"program: helmet-update 9.9", "no update: info"}));
  const std::size_t idb = blocks[1];
  EXPECT_EQ(U32(b, idb), PCAPNG_IDB);
  EXPECT_EQ(U16(b, idb + 8), LINKTYPE_USBPCAP);
  EXPECT_EQ(U32(b, idb + 12), 65535u);
  EXPECT_EQ(U16(b, idb + 16), IF_TSRESOL);
  EXPECT_EQ(U16(b, idb + 18), 1);
  EXPECT_EQ(b[idb + 20], 6);
}

TEST(UsbCapture, TheUnitsDescriptorOnOpening) {
  MemoryOutput output;
  {
    UsbCapture capture(output, InfoSetup());
    capture.UnitOpened(5, UsbDeviceIds{0x7A31, 0xACDD});
  }
  const std::vector<std::uint8_t>& b = output.bytes;
  const std::vector<std::size_t> blocks = Blocks(b);
  ASSERT_EQ(blocks.size(), 4u);
  const std::uint8_t setup[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
  for (int i = 0; i < 2; ++i) {
    const std::size_t p = blocks[2 + i] + 28;
    SCOPED_TRACE(i);
    EXPECT_EQ(U32(b, blocks[2 + i] + 16), 5000u);  // microseconds
    EXPECT_EQ(U16(b, p), 28);
    EXPECT_EQ(U16(b, p + 14), URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(b[p + 16], i);  // submission, completion
    EXPECT_EQ(b[p + 21], 0x80);
    EXPECT_EQ(b[p + 22], USBPCAP_TRANSFER_CONTROL);
    EXPECT_EQ(U32(b, p + 23), i == 0 ? 8u : 18u);
    EXPECT_EQ(b[p + 27], i == 0 ? USBPCAP_STAGE_SETUP : USBPCAP_STAGE_COMPLETE);
    if (i == 0) {
      EXPECT_EQ(std::memcmp(&b[p + 28], setup, 8), 0);
    }
  }
  const std::size_t descriptor = blocks[3] + 28 + 28;
  EXPECT_EQ(b[descriptor], 18);
  EXPECT_EQ(b[descriptor + 1], 1);
  EXPECT_EQ(U16(b, descriptor + 8), 0x7A31);
  EXPECT_EQ(U16(b, descriptor + 10), 0xACDD);
}

// One exchange of each kind: the OUT submission and its answer or failure, field by field.
TEST(UsbCapture, OneExchangeOfEachKind) {
  struct Case {
    const char* name;
    bool written;
    std::uint32_t writeError;
    bool readOk;
    std::uint32_t readError;
    std::uint32_t answerLength;
    // expected of the second record
    std::uint8_t endpoint;
    std::uint32_t status;
    std::uint32_t dataLength;
    const char* comment;
  };
  const Case cases[] = {
      {"ok", true, 0, true, 0, 272, 0x81, USBD_STATUS_SUCCESS, 272, ""},
      {"short read", true, 0, true, 0, 100, 0x81, USBD_STATUS_SUCCESS, 100, "short read: 100 bytes"},
      {"timeout", true, 0, false, WIN_ERROR_SEM_TIMEOUT, 0, 0x81, USBD_STATUS_CANCELED, 0, "timeout after 1000 ms"},
      {"unit left", true, 0, false, WIN_ERROR_DEVICE_NOT_CONNECTED, 0, 0x81, USBD_STATUS_DEVICE_GONE, 0, "unit left"},
      {"aborted", true, 0, false, WIN_ERROR_OPERATION_ABORTED, 0, 0x81, USBD_STATUS_CANCELED, 0, "aborted"},
      {"write failed", false, WIN_ERROR_DEVICE_NOT_CONNECTED, false, 0, 0, 0x02, USBD_STATUS_DEVICE_GONE, 0,
       "write failed: error 1167"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryOutput output;
    const UsbBlock request = Request(BLK_WRITE, 0x20100, 256);
    UsbBlock answer = Request(BLK_ACK, 0x20100, 256);
    {
      UsbCapture capture(output, InfoSetup());
      CapturedExchange e;
      e.startMs = 1234;
      e.endMs = 1240;
      e.pipeOut = 0x02;
      e.pipeIn = 0x81;
      e.readTimeoutMs = 1000;
      e.request = &request;
      e.written = c.written;
      e.writeError = c.writeError;
      e.readOk = c.readOk;
      e.readError = c.readError;
      e.answerLength = c.answerLength;
      e.answer = &answer;
      capture.Exchange(e);
      capture.Exchange(e);  // the second one's number is 1
    }
    const std::vector<std::uint8_t>& b = output.bytes;
    const std::vector<std::size_t> blocks = Blocks(b);
    ASSERT_EQ(blocks.size(), 6u);
    // The request: bulk OUT submission, 27 + 272 bytes, at the exchange's start.
    const std::size_t out = blocks[2];
    EXPECT_EQ(U32(b, out), PCAPNG_EPB);
    EXPECT_EQ(U32(b, out + 8), 0u);
    EXPECT_EQ((std::uint64_t{U32(b, out + 12)} << 32 | U32(b, out + 16)), 1234000u);
    EXPECT_EQ(U32(b, out + 20), 299u);
    EXPECT_EQ(U32(b, out + 24), 299u);
    std::size_t p = out + 28;
    EXPECT_EQ(U16(b, p), 27);
    EXPECT_EQ(U64(b, p + 2), 0u);
    EXPECT_EQ(U32(b, p + 10), 0u);
    EXPECT_EQ(U16(b, p + 14), URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(b[p + 16], 0);
    EXPECT_EQ(U16(b, p + 17), 1);
    EXPECT_EQ(U16(b, p + 19), 1);
    EXPECT_EQ(b[p + 21], 0x02);
    EXPECT_EQ(b[p + 22], USBPCAP_TRANSFER_BULK);
    EXPECT_EQ(U32(b, p + 23), 272u);
    EXPECT_EQ(std::memcmp(&b[p + 27], &request, sizeof request), 0);
    EXPECT_EQ(PacketComment(b, out), "");
    // The answer or the failure: same irpId, at the exchange's end.
    const std::size_t in = blocks[3];
    EXPECT_EQ((std::uint64_t{U32(b, in + 12)} << 32 | U32(b, in + 16)), 1240000u);
    EXPECT_EQ(U32(b, in + 20), 27u + c.dataLength);
    EXPECT_EQ(U32(b, in + 24), 27u + c.dataLength);
    p = in + 28;
    EXPECT_EQ(U64(b, p + 2), 0u);
    EXPECT_EQ(U32(b, p + 10), c.status);
    EXPECT_EQ(b[p + 16], USBPCAP_INFO_COMPLETION);
    EXPECT_EQ(b[p + 21], c.endpoint);
    EXPECT_EQ(U32(b, p + 23), c.dataLength);
    if (c.dataLength != 0) {
      EXPECT_EQ(std::memcmp(&b[p + 27], &answer, c.dataLength), 0);
    }
    EXPECT_EQ(PacketComment(b, in), c.comment);
    EXPECT_EQ(U64(b, blocks[4] + 28 + 2), 1u);
    EXPECT_EQ(U64(b, blocks[5] + 28 + 2), 1u);

    // Read back, the exchange is what the loader saw.
    CaptureContents contents;
    ASSERT_EQ(ReadCapture(b.data(), b.size(), &contents).error, CaptureReadError::None);
    std::string problem;
    const std::vector<CaptureEvent> events = CaptureEvents(contents, &problem);
    EXPECT_EQ(problem, "");
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].written, c.written);
    EXPECT_EQ(events[0].readOk, c.readOk);
    EXPECT_EQ(events[0].error, c.written ? c.readError : c.writeError);
    EXPECT_EQ(events[0].answerLength, c.answerLength);
  }
}

// A pass of plain WRITE/READ blocks with one timeout in the middle, in a bounded capture.
struct BoundedRun {
  std::vector<std::uint8_t> bytes;
  std::uint64_t leftOut = 0;
};

BoundedRun RunBounded(std::uint64_t bound, int exchanges, int failureAt) {
  MemoryOutput output;
  BoundedRun run;
  UsbCapture capture(output, InfoSetup(bound));
  capture.UnitOpened(0, UsbDeviceIds{0x7A31, 0xACDC});
  UsbBlock write = Request(BLK_WRITE, 0x100000, 256);
  UsbBlock answer = write;
  answer.BlockID = BLK_ACK;
  for (int i = 0; i < exchanges; ++i) {
    const bool read = i % 2 == 1;
    UsbBlock request = write;
    request.BlockID = read ? BLK_READ : BLK_WRITE;
    request.BlockAddress = 0x100000 + static_cast<std::uint32_t>(i / 2) * 256;
    answer.BlockAddress = request.BlockAddress;
    CapturedExchange e;
    e.startMs = e.endMs = static_cast<std::uint64_t>(i);
    e.request = &request;
    e.written = true;
    e.readOk = i != failureAt;
    e.readError = WIN_ERROR_SEM_TIMEOUT;
    e.answerLength = 272;
    e.answer = &answer;
    capture.Exchange(e);
  }
  capture.Finish();
  run.leftOut = capture.LeftOut();
  run.bytes = output.bytes;
  return run;
}

TEST(UsbCapture, BoundedKeepsWholeWhatItMustAndCutsTheRest) {
  constexpr int kExchanges = 60;
  constexpr int kFailure = 30;
  const BoundedRun run = RunBounded(1024 * 1024, kExchanges, kFailure);
  EXPECT_EQ(run.leftOut, 0u);
  CaptureContents contents;
  ASSERT_EQ(ReadCapture(run.bytes.data(), run.bytes.size(), &contents).error, CaptureReadError::None);
  EXPECT_NE(std::find(contents.comments.begin(), contents.comments.end(), CAPTURE_CUT_COMMENT),
            contents.comments.end());
  std::string problem;
  const std::vector<CaptureEvent> events = CaptureEvents(contents, &problem);
  ASSERT_EQ(events.size(), 1u + kExchanges);
  for (int i = 0; i < kExchanges; ++i) {
    const CaptureEvent& e = events[1 + static_cast<std::size_t>(i)];
    const bool near = i >= kFailure - 8 && i <= kFailure + 8;
    const bool last = i >= kExchanges - 8;
    SCOPED_TRACE(i);
    EXPECT_EQ(e.request.size(), near || last ? 272u : 16u);
    EXPECT_EQ(e.answerLength, i == kFailure ? 0u : 272u);
    if (i != kFailure) {
      EXPECT_EQ(e.answer.size(), near || last ? 272u : 16u);
    }
  }
  // Every cut record keeps its original length.
  for (const CapturedPacket& packet : contents.packets) {
    if (packet.header.transfer == USBPCAP_TRANSFER_BULK && packet.header.status == 0) {
      EXPECT_EQ(packet.originalLength, 27u + packet.header.dataLength);
    }
  }
}

TEST(UsbCapture, BoundedStaysUnderItsBound) {
  for (const std::uint64_t bound : {std::uint64_t{2000}, std::uint64_t{6000}, std::uint64_t{20000}}) {
    SCOPED_TRACE(bound);
    const BoundedRun run = RunBounded(bound, 400, 200);
    EXPECT_LE(run.bytes.size(), bound);
    EXPECT_GT(run.leftOut, 0u);
    CaptureContents contents;
    EXPECT_EQ(ReadCapture(run.bytes.data(), run.bytes.size(), &contents).error, CaptureReadError::None);
  }
}

// A read-back that differs from the block written (a chunk that will be written again) is kept whole, with the
// exchanges around it.
TEST(UsbCapture, BoundedKeepsAReadBackThatDiffers) {
  MemoryOutput output;
  {
    UsbCapture capture(output, InfoSetup(1 << 20));
    for (int i = 0; i < 40; ++i) {
      UsbBlock request =
          Request(i % 2 == 0 ? BLK_WRITE : BLK_READ, 0x100000 + static_cast<std::uint32_t>(i / 2) * 256, 256);
      UsbBlock answer = Request(BLK_ACK, request.BlockAddress, 256);
      if (i == 21) answer.BlockData[3] ^= 1;
      CapturedExchange e;
      e.request = &request;
      e.written = true;
      e.readOk = true;
      e.answerLength = 272;
      e.answer = &answer;
      capture.Exchange(e);
    }
  }
  CaptureContents contents;
  ASSERT_EQ(ReadCapture(output.bytes.data(), output.bytes.size(), &contents).error, CaptureReadError::None);
  const std::vector<CaptureEvent> events = CaptureEvents(contents, nullptr);
  ASSERT_EQ(events.size(), 40u);
  EXPECT_EQ(events[5].request.size(), 16u);
  EXPECT_EQ(events[13].request.size(), 272u);
  EXPECT_EQ(events[21].answer.size(), 272u);
  EXPECT_EQ(events[29].request.size(), 272u);
  EXPECT_EQ(events[30].request.size(), 16u);
}

// A file cut off anywhere, or one that is no capture, is an error with its place: never a read past the end.
TEST(PcapngReader, CutOffOrForeignFilesAreErrors) {
  MemoryOutput output;
  {
    UsbCapture capture(output, InfoSetup());
    capture.UnitOpened(0, UsbDeviceIds{0x7A31, 0xACDC});
    const UsbBlock request = Request(BLK_PING);
    CapturedExchange e;
    e.request = &request;
    e.written = true;
    e.readOk = false;
    e.readError = WIN_ERROR_SEM_TIMEOUT;
    capture.Exchange(e);
  }
  const std::vector<std::uint8_t>& whole = output.bytes;
  CaptureContents contents;
  ASSERT_EQ(ReadCapture(whole.data(), whole.size(), &contents).error, CaptureReadError::None);
  const std::vector<std::size_t> starts = Blocks(whole);
  for (std::size_t size = 0; size < whole.size(); ++size) {
    // A copy of exactly `size` bytes, so that a read past it is seen by the sanitizers.
    const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    const CaptureReadResult result = ReadCapture(cut.data(), cut.size(), &contents);
    SCOPED_TRACE(size);
    // Cut between two blocks after the section header, it is a shorter capture; anywhere else an error.
    if (size > starts[0] && std::find(starts.begin(), starts.end(), size) != starts.end()) {
      EXPECT_EQ(result.error, CaptureReadError::None);
      continue;
    }
    EXPECT_NE(result.error, CaptureReadError::None);
    EXPECT_FALSE(result.text.empty());
  }
  struct Foreign {
    const char* name;
    std::string bytes;
    CaptureReadError error;
  };
  const Foreign foreign[] = {
      {"text", "2026-12-10 13:45:07.123 [Tavik_FW_Update] Start Application\r\n", CaptureReadError::NotPcapng},
      {"classic pcap", std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00", 8) + std::string(16, '\0'),
       CaptureReadError::NotPcapng},
      {"big endian", std::string("\x0a\x0d\x0d\x0a\x00\x00\x00\x1c\x1a\x2b\x3c\x4d", 12) + std::string(16, '\0'),
       CaptureReadError::NotPcapng},
  };
  for (const Foreign& f : foreign) {
    SCOPED_TRACE(f.name);
    const std::vector<std::uint8_t> bytes(f.bytes.begin(), f.bytes.end());
    EXPECT_EQ(ReadCapture(bytes.data(), bytes.size(), &contents).error, f.error);
  }
  // A packet whose captured length runs past its block.
  std::vector<std::uint8_t> lying = whole;
  const std::vector<std::size_t> blocks = Blocks(whole);
  lying[blocks[2] + 20] = 0xFF;
  lying[blocks[2] + 21] = 0xFF;
  EXPECT_EQ(ReadCapture(lying.data(), lying.size(), &contents).error, CaptureReadError::Malformed);
}

// The window program's two files: each update's capture in the current file, the one before kept.
class FakeCaptureFiles final : public CaptureFileStorage {
 public:
  bool KeepAsPrevious() override {
    if (current.opened) previous = current;
    current = File{};
    return true;
  }
  CaptureOutput* OpenCurrent() override {
    if (refuse) return nullptr;
    current = File{};
    current.opened = true;
    return &current.output;
  }
  void CloseCurrent() override { current.closed = true; }

  struct File {
    bool opened = false;
    bool closed = false;
    MemoryOutput output;
  };
  File current;
  File previous;
  bool refuse = false;
};

void OneExchange(UsbCapture& capture, std::uint32_t id) {
  const UsbBlock request = Request(id);
  CapturedExchange e;
  e.request = &request;
  e.answer = &request;
  e.written = true;
  e.readOk = true;
  e.answerLength = 272;
  capture.Exchange(e);
}

TEST(UpdateCaptures, EachUpdateItsFileAndTheOneBeforeKept) {
  FakeCaptureFiles files;
  CaptureSetup setup = InfoSetup();
  setup.plan.clear();
  UpdateCaptures captures(files, setup);
  OneExchange(captures.Capture(), BLK_PING);  // before any update: written nowhere
  ASSERT_TRUE(captures.BeginUpdate());
  OneExchange(captures.Capture(), BLK_PING);
  OneExchange(captures.Capture(), BLK_START);
  captures.EndUpdate();
  EXPECT_TRUE(files.current.closed);
  ASSERT_TRUE(captures.BeginUpdate());
  OneExchange(captures.Capture(), BLK_GET_MODE);
  captures.EndUpdate();

  CaptureContents first;
  CaptureContents second;
  ASSERT_EQ(ReadCapture(files.previous.output.bytes.data(), files.previous.output.bytes.size(), &first).error,
            CaptureReadError::None);
  ASSERT_EQ(ReadCapture(files.current.output.bytes.data(), files.current.output.bytes.size(), &second).error,
            CaptureReadError::None);
  ASSERT_EQ(first.packets.size(), 4u);
  EXPECT_EQ(first.packets[0].data[0], BLK_PING);
  EXPECT_EQ(first.packets[2].data[0], BLK_START);
  EXPECT_EQ(first.packets[2].header.irpId, 1u);
  EXPECT_NE(std::find(first.comments.begin(), first.comments.end(), CAPTURE_CUT_COMMENT), first.comments.end());
  EXPECT_NE(std::find(first.comments.begin(), first.comments.end(), "plan: 5"), first.comments.end());
  ASSERT_EQ(second.packets.size(), 2u);
  EXPECT_EQ(second.packets[0].data[0], BLK_GET_MODE);
  EXPECT_EQ(second.packets[0].header.irpId, 0u);

  files.refuse = true;  // a file that cannot be made costs the capture only
  EXPECT_FALSE(captures.BeginUpdate());
  OneExchange(captures.Capture(), BLK_PING);
  captures.EndUpdate();
}

}  // namespace
