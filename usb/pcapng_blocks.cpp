#include "usb/pcapng_blocks.h"

#include <cstring>

namespace {
constexpr std::size_t Padded(std::size_t length) { return (length + 3) & ~std::size_t{3}; }
}  // namespace

void PcapngBuffer::Put16(std::uint16_t value) { PutBytes(&value, 2); }
void PcapngBuffer::Put32(std::uint32_t value) { PutBytes(&value, 4); }
void PcapngBuffer::Put64(std::uint64_t value) { PutBytes(&value, 8); }

void PcapngBuffer::PutBytes(const void* data, std::size_t length) {
  if (length != 0) std::memcpy(bytes_ + size_, data, length);
  size_ += length;
}

void PcapngBuffer::Pad() {
  while (size_ % 4 != 0) bytes_[size_++] = 0;
}

void PcapngBuffer::Option(std::uint16_t code, std::string_view value) {
  Put16(code);
  Put16(static_cast<std::uint16_t>(value.size()));
  PutBytes(value.data(), value.size());
  Pad();
}

bool PcapngBuffer::SectionHeader(std::string_view application, const std::string_view* comments,
                                 std::size_t commentCount) {
  std::size_t length = 28 + PcapngOptionSize(application.size()) + 4;
  for (std::size_t i = 0; i < commentCount; ++i) length += PcapngOptionSize(comments[i].size());
  if (length > Room()) return false;
  Put32(PCAPNG_SHB);
  Put32(static_cast<std::uint32_t>(length));
  Put32(PCAPNG_BYTE_ORDER_MAGIC);
  Put16(1);
  Put16(0);
  Put64(~std::uint64_t{0});  // section length: not given
  for (std::size_t i = 0; i < commentCount; ++i) Option(OPT_COMMENT, comments[i]);
  Option(SHB_USERAPPL, application);
  Put32(OPT_END);
  Put32(static_cast<std::uint32_t>(length));
  return true;
}

bool PcapngBuffer::InterfaceDescription() {
  constexpr std::size_t length = 20 + PcapngOptionSize(1) + 4;
  if (length > Room()) return false;
  Put32(PCAPNG_IDB);
  Put32(length);
  Put16(LINKTYPE_USBPCAP);
  Put16(0);
  Put32(CAPTURE_SNAPLEN);
  const char microseconds = 6;
  Option(IF_TSRESOL, std::string_view(&microseconds, 1));
  Put32(OPT_END);
  Put32(length);
  return true;
}

std::size_t PcapngBuffer::EnhancedPacketSize(std::uint32_t captured, std::size_t commentLength) {
  return 28 + Padded(captured) + (commentLength != 0 ? PcapngOptionSize(commentLength) + 4 : 0) + 4;
}

bool PcapngBuffer::EnhancedPacket(std::uint64_t timeUs, const UsbPcapHeader& header, const std::uint8_t* data,
                                  std::uint32_t captured, std::uint32_t original, std::string_view comment) {
  const std::size_t length = EnhancedPacketSize(captured, comment.size());
  const std::uint16_t headerSize =
      header.transfer == USBPCAP_TRANSFER_CONTROL ? USBPCAP_CONTROL_HEADER_SIZE : USBPCAP_HEADER_SIZE;
  if (length > Room() || captured < headerSize) return false;
  Put32(PCAPNG_EPB);
  Put32(static_cast<std::uint32_t>(length));
  Put32(0);  // interface 0
  Put32(static_cast<std::uint32_t>(timeUs >> 32));
  Put32(static_cast<std::uint32_t>(timeUs));
  Put32(captured);
  Put32(original);
  Put16(headerSize);
  Put64(header.irpId);
  Put32(header.status);
  Put16(header.function);
  bytes_[size_++] = header.info;
  Put16(header.bus);
  Put16(header.device);
  bytes_[size_++] = header.endpoint;
  bytes_[size_++] = header.transfer;
  Put32(header.dataLength);
  if (headerSize == USBPCAP_CONTROL_HEADER_SIZE) bytes_[size_++] = header.stage;
  PutBytes(data, captured - headerSize);
  Pad();
  if (!comment.empty()) {
    Option(OPT_COMMENT, comment);
    Put32(OPT_END);
  }
  Put32(static_cast<std::uint32_t>(length));
  return true;
}
