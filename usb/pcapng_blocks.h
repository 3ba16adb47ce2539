#pragma once
// The pcapng blocks a USB capture is made of, formatted into a caller's buffer (no allocation): the section
// header, one interface description (USBPcap link type) and enhanced packet blocks whose packet is a USBPcap
// header followed by the transfer's bytes. Little endian throughout. The reader is pcapng_reader.h.

#include <cstddef>
#include <cstdint>
#include <string_view>

inline constexpr std::uint32_t PCAPNG_SHB = 0x0A0D0D0A;
inline constexpr std::uint32_t PCAPNG_IDB = 0x00000001;
inline constexpr std::uint32_t PCAPNG_EPB = 0x00000006;
inline constexpr std::uint32_t PCAPNG_BYTE_ORDER_MAGIC = 0x1A2B3C4D;
inline constexpr std::uint16_t LINKTYPE_USBPCAP = 249;
inline constexpr std::uint32_t CAPTURE_SNAPLEN = 65535;

// Option codes.
inline constexpr std::uint16_t OPT_END = 0;
inline constexpr std::uint16_t OPT_COMMENT = 1;
inline constexpr std::uint16_t SHB_USERAPPL = 4;
inline constexpr std::uint16_t IF_TSRESOL = 9;

// The USBPcap packet header: 27 bytes, 28 for a control transfer (its stage byte).
inline constexpr std::uint16_t USBPCAP_HEADER_SIZE = 27;
inline constexpr std::uint16_t USBPCAP_CONTROL_HEADER_SIZE = 28;
inline constexpr std::uint16_t URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr std::uint16_t URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr std::uint8_t USBPCAP_INFO_COMPLETION = 0x01;  // from the device: the transfer's completion
inline constexpr std::uint8_t USBPCAP_TRANSFER_CONTROL = 2;
inline constexpr std::uint8_t USBPCAP_TRANSFER_BULK = 3;
inline constexpr std::uint8_t USBPCAP_STAGE_SETUP = 0;
inline constexpr std::uint8_t USBPCAP_STAGE_COMPLETE = 3;

// USBD status words.
inline constexpr std::uint32_t USBD_STATUS_SUCCESS = 0;
inline constexpr std::uint32_t USBD_STATUS_CANCELED = 0xC0010000;
inline constexpr std::uint32_t USBD_STATUS_DEVICE_GONE = 0xC0007000;
inline constexpr std::uint32_t USBD_STATUS_XACT_ERROR = 0xC0000011;

struct UsbPcapHeader {
  std::uint64_t irpId = 0;
  std::uint32_t status = USBD_STATUS_SUCCESS;
  std::uint16_t function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
  std::uint8_t info = 0;
  std::uint16_t bus = 1;
  std::uint16_t device = 1;
  std::uint8_t endpoint = 0;
  std::uint8_t transfer = USBPCAP_TRANSFER_BULK;
  std::uint32_t dataLength = 0;
  std::uint8_t stage = 0;  // control transfers only
};

// Appends to a fixed buffer; a block that does not fit is not written and marks the writer as overflowed.
class PcapngBuffer {
 public:
  PcapngBuffer(std::uint8_t* bytes, std::size_t capacity) : bytes_(bytes), capacity_(capacity) {}

  std::size_t Size() const { return size_; }
  const std::uint8_t* Data() const { return bytes_; }
  void Clear() { size_ = 0; }
  std::size_t Room() const { return capacity_ - size_; }

  // Section header: byte order magic, version 1.0, section length unknown; shb_userappl and comments.
  // Returns false (nothing written) when it does not fit.
  bool SectionHeader(std::string_view application, const std::string_view* comments, std::size_t commentCount);
  // The one interface: USBPcap, snaplen 65535, microsecond timestamps.
  bool InterfaceDescription();
  // One packet: the USBPcap header, then `data` cut to `captured` bytes of its `original` length (captured
  // counts the header too). `comment` may be empty.
  bool EnhancedPacket(std::uint64_t timeUs, const UsbPcapHeader& header, const std::uint8_t* data,
                      std::uint32_t captured, std::uint32_t original, std::string_view comment);

  // The size an enhanced packet block with this much packet data and comment takes.
  static std::size_t EnhancedPacketSize(std::uint32_t captured, std::size_t commentLength);

 private:
  void Put16(std::uint16_t value);
  void Put32(std::uint32_t value);
  void Put64(std::uint64_t value);
  void PutBytes(const void* data, std::size_t length);
  void Pad();
  void Option(std::uint16_t code, std::string_view value);

  std::uint8_t* bytes_;
  std::size_t capacity_;
  std::size_t size_ = 0;
};

// The size of an option with a value of `length` bytes, padded to 32 bits.
constexpr std::size_t PcapngOptionSize(std::size_t length) { return 4 + ((length + 3) & ~std::size_t{3}); }
