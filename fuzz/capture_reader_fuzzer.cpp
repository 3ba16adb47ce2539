// A capture file, as a user sends it: read back and paired into exchanges. Whatever the bytes, the reader stays
// inside them (ASan sees any read past the copy), and what it reads is consistent: every packet keeps at most its
// block's bytes, and a file it accepts is one it accepts again.
//
// Input: the file's bytes, as they are.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "usb/capture_exchanges.h"
#include "usb/pcapng_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size: a read past it is a heap overflow.
  const std::vector<std::uint8_t> bytes(data, data + size);
  CaptureContents contents;
  const CaptureReadResult result = ReadCapture(bytes.data(), bytes.size(), &contents);
  if (result.error != CaptureReadError::None) {
    FUZZ_CHECK(!result.text.empty());
    FUZZ_CHECK(result.offset <= size);
    return 0;
  }
  std::size_t kept = 0;
  for (const CapturedPacket& packet : contents.packets) kept += packet.data.size();
  FUZZ_CHECK(kept <= size);
  std::string problem;
  const std::vector<CaptureEvent> events = CaptureEvents(contents, &problem);
  FUZZ_CHECK(events.size() <= contents.packets.size());
  CaptureContents again;
  FUZZ_CHECK(ReadCapture(bytes.data(), bytes.size(), &again).error == CaptureReadError::None);
  FUZZ_CHECK(again.packets.size() == contents.packets.size());
  return 0;
}
