#include "usb/pcapng_reader.h"

#include <cstring>

namespace {
class Cursor {
 public:
  Cursor(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
  bool Has(std::size_t at, std::size_t length) const { return at <= size_ && length <= size_ - at; }
  std::uint16_t U16(std::size_t at) const { return Get<std::uint16_t>(at); }
  std::uint32_t U32(std::size_t at) const { return Get<std::uint32_t>(at); }
  std::uint64_t U64(std::size_t at) const { return Get<std::uint64_t>(at); }
  const std::uint8_t* At(std::size_t at) const { return bytes_ + at; }

 private:
  template <typename T>
  T Get(std::size_t at) const {
    T value{};
    std::memcpy(&value, bytes_ + at, sizeof value);  // checked by the caller with Has()
    return value;
  }
  const std::uint8_t* bytes_;
  std::size_t size_;
};

CaptureReadResult Fail(CaptureReadError error, std::size_t offset, const char* text) {
  return CaptureReadResult{error, offset, text};
}

// The options from `at` to `end` (both inside the cursor's bytes); calls `take(code, at, length)`.
template <typename Take>
bool ReadOptions(const Cursor& cursor, std::size_t at, std::size_t end, Take take) {
  while (at + 4 <= end) {
    const std::uint16_t code = cursor.U16(at);
    const std::uint16_t length = cursor.U16(at + 2);
    if (code == 0) return true;
    const std::size_t padded = (std::size_t{length} + 3) & ~std::size_t{3};
    if (padded > end - at - 4) return false;
    take(code, at + 4, length);
    at += 4 + padded;
  }
  return at == end;
}
}  // namespace

CaptureReadResult ReadCapture(const std::uint8_t* bytes, std::size_t size, CaptureContents* contents) {
  *contents = CaptureContents{};
  const Cursor cursor(bytes, size);
  if (!cursor.Has(0, 12) || cursor.U32(0) != PCAPNG_SHB) {
    return Fail(CaptureReadError::NotPcapng, 0, "not a pcapng file (no section header block at its start)");
  }
  if (cursor.U32(8) != PCAPNG_BYTE_ORDER_MAGIC) {
    return Fail(CaptureReadError::NotPcapng, 8, "not a little-endian pcapng section");
  }
  bool interfaceSeen = false;
  std::size_t at = 0;
  while (at < size) {
    if (!cursor.Has(at, 12)) return Fail(CaptureReadError::CutOff, at, "the file ends inside a block's header");
    const std::uint32_t type = cursor.U32(at);
    const std::uint32_t length = cursor.U32(at + 4);
    if (length < 12 || length % 4 != 0)
      return Fail(CaptureReadError::Malformed, at, "a block has an impossible length");
    if (!cursor.Has(at, length)) return Fail(CaptureReadError::CutOff, at, "the file ends inside a block");
    if (cursor.U32(at + length - 4) != length) {
      return Fail(CaptureReadError::Malformed, at, "a block's two lengths differ");
    }
    const std::size_t end = at + length - 4;  // the options end before the trailing length
    if (type == PCAPNG_SHB) {
      if (length < 28 || cursor.U32(at + 8) != PCAPNG_BYTE_ORDER_MAGIC) {
        return Fail(CaptureReadError::Malformed, at, "a section header is not little endian or too short");
      }
      const bool ok = ReadOptions(cursor, at + 24, end, [&](std::uint16_t code, std::size_t value, std::size_t n) {
        const std::string text(reinterpret_cast<const char*>(cursor.At(value)), n);
        if (code == OPT_COMMENT) contents->comments.push_back(text);
        if (code == SHB_USERAPPL) contents->application = text;
      });
      if (!ok) return Fail(CaptureReadError::Malformed, at, "a section header's options run past it");
    } else if (type == PCAPNG_IDB) {
      if (length < 20) return Fail(CaptureReadError::Malformed, at, "an interface description is too short");
      if (cursor.U16(at + 8) != LINKTYPE_USBPCAP) {
        return Fail(CaptureReadError::Malformed, at, "the interface is not a USBPcap capture (link type 249)");
      }
      interfaceSeen = true;
    } else if (type == PCAPNG_EPB) {
      if (!interfaceSeen) return Fail(CaptureReadError::Malformed, at, "a packet before any interface");
      if (length < 32) return Fail(CaptureReadError::Malformed, at, "a packet block is too short");
      const std::uint32_t captured = cursor.U32(at + 20);
      const std::uint32_t original = cursor.U32(at + 24);
      const std::size_t data = at + 28;
      if (captured > end - data) return Fail(CaptureReadError::Malformed, at, "a packet runs past its block");
      if (captured < USBPCAP_HEADER_SIZE)
        return Fail(CaptureReadError::Malformed, at, "a packet without its USB header");
      CapturedPacket packet;
      packet.timeUs = (std::uint64_t{cursor.U32(at + 12)} << 32) | cursor.U32(at + 16);
      packet.originalLength = original;
      const std::uint16_t headerLength = cursor.U16(data);
      if (headerLength < USBPCAP_HEADER_SIZE || headerLength > captured) {
        return Fail(CaptureReadError::Malformed, at, "a packet's USB header has a wrong length");
      }
      UsbPcapHeader& h = packet.header;
      h.irpId = cursor.U64(data + 2);
      h.status = cursor.U32(data + 10);
      h.function = cursor.U16(data + 14);
      h.info = *cursor.At(data + 16);
      h.bus = cursor.U16(data + 17);
      h.device = cursor.U16(data + 19);
      h.endpoint = *cursor.At(data + 21);
      h.transfer = *cursor.At(data + 22);
      h.dataLength = cursor.U32(data + 23);
      if (h.transfer == USBPCAP_TRANSFER_CONTROL) {
        if (headerLength < USBPCAP_CONTROL_HEADER_SIZE) {
          return Fail(CaptureReadError::Malformed, at, "a control packet without its stage");
        }
        h.stage = *cursor.At(data + 27);
      }
      packet.data.assign(cursor.At(data + headerLength), cursor.At(data + captured));
      const std::size_t options = data + ((std::size_t{captured} + 3) & ~std::size_t{3});
      if (options > end) return Fail(CaptureReadError::Malformed, at, "a packet's padding runs past its block");
      const bool ok = ReadOptions(cursor, options, end, [&](std::uint16_t code, std::size_t value, std::size_t n) {
        if (code == OPT_COMMENT && packet.comment.empty()) {
          packet.comment.assign(reinterpret_cast<const char*>(cursor.At(value)), n);
        }
      });
      if (!ok) return Fail(CaptureReadError::Malformed, at, "a packet's options run past its block");
      contents->packets.push_back(std::move(packet));
    }
    at += length;
  }
  return CaptureReadResult{};
}
