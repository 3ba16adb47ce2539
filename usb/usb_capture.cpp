#include "usb/usb_capture.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/windows_numbers.h"
#include "ui/update_step.h"
#include "usb/pcapng_blocks.h"

namespace {
// Records wait here and go to the output in few large writes.
constexpr std::size_t kBufferSize = 64 * 1024;
constexpr std::uint32_t kWholeRecord = USBPCAP_HEADER_SIZE + USB_BLOCK_SIZE;
constexpr std::uint64_t kDescriptorIrp = std::uint64_t{1} << 63;  // apart from the exchanges' numbers
constexpr std::uint8_t kGetDeviceDescriptor[8] = {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};

void DeviceDescriptor(const UsbDeviceIds& ids, std::uint8_t (&out)[18]) {
  const std::uint8_t bytes[18] = {18,
                                  1,
                                  0x00,
                                  0x02,
                                  0,
                                  0,
                                  0,
                                  64,
                                  static_cast<std::uint8_t>(ids.vendorId),
                                  static_cast<std::uint8_t>(ids.vendorId >> 8),
                                  static_cast<std::uint8_t>(ids.productId),
                                  static_cast<std::uint8_t>(ids.productId >> 8),
                                  0x00,
                                  0x01,
                                  0,
                                  0,
                                  0,
                                  1};
  std::memcpy(out, bytes, sizeof out);
}

// A failed transfer's status and comment.
std::uint32_t FailureStatus(std::uint32_t error) {
  switch (error) {
    case WIN_ERROR_SEM_TIMEOUT:
    case WIN_ERROR_OPERATION_ABORTED:
      return USBD_STATUS_CANCELED;
    case WIN_ERROR_DEVICE_NOT_CONNECTED:
      return USBD_STATUS_DEVICE_GONE;
    default:
      return USBD_STATUS_XACT_ERROR;
  }
}

void ReadFailureComment(std::uint32_t error, std::uint32_t timeoutMs, char (&out)[64]) {
  switch (error) {
    case WIN_ERROR_SEM_TIMEOUT:
      std::snprintf(out, sizeof out, "timeout after %u ms", static_cast<unsigned>(timeoutMs));
      break;
    case WIN_ERROR_OPERATION_ABORTED:
      std::snprintf(out, sizeof out, "aborted");
      break;
    case WIN_ERROR_DEVICE_NOT_CONNECTED:
      std::snprintf(out, sizeof out, "unit left");
      break;
    default:
      std::snprintf(out, sizeof out, "read failed: error %u", static_cast<unsigned>(error));
  }
}

// A WRITE or READ of a pass that went as it should: the records a bounded capture may cut.
bool PlainPassBlock(const CapturedExchange& e, const UsbBlock& request, const UsbBlock& answer) {
  return (request.BlockID == BLK_WRITE || request.BlockID == BLK_READ) && e.written && e.readOk &&
         e.answerLength == USB_BLOCK_SIZE && answer.BlockID == BLK_ACK;
}
}  // namespace

struct UsbCapture::Held {
  bool open = false;
  std::uint64_t number = 0;
  bool whole = true;
  UsbDeviceIds ids{};
  CapturedExchange exchange;
  UsbBlock request;
  UsbBlock answer;
};

UsbCapture::UsbCapture(CaptureOutput& output, CaptureSetup setup)
    : output_(&output),
      setup_(std::move(setup)),
      buffer_(new std::uint8_t[kBufferSize]),
      scratch_(std::make_unique<Held>()) {
  if (setup_.bound != 0) ring_ = std::make_unique<std::array<Held, CAPTURE_WHOLE_NEAR + 1>>();
  lastWrite_ = std::make_unique<UsbBlock>();
  std::memset(lastWrite_.get(), 0, sizeof(UsbBlock));
  lastWrite_->BlockID = 0;
  if (!setup_.plan.empty()) HeaderFinal(nullptr);
}

UsbCapture::~UsbCapture() { Finish(); }

bool UsbCapture::Failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}

std::uint64_t UsbCapture::ExchangeCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exchanges_;
}

std::uint64_t UsbCapture::LeftOut() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return leftOut_;
}

void UsbCapture::HeaderFinal(const char* plan) {
  if (headerWritten_) return;
  headerWritten_ = true;
  // The header is small and made once: a buffer of its own.
  std::size_t length = 64 + setup_.application.size() + setup_.plan.size() + sizeof CAPTURE_CUT_COMMENT + 64;
  for (const std::string& comment : setup_.comments) length += comment.size() + 8;
  std::vector<std::uint8_t> bytes(length);
  std::vector<std::string_view> comments(setup_.comments.begin(), setup_.comments.end());
  comments.emplace_back(!setup_.plan.empty() ? std::string_view(setup_.plan) : std::string_view(plan));
  if (setup_.bound != 0) comments.emplace_back(CAPTURE_CUT_COMMENT);
  PcapngBuffer header(bytes.data(), bytes.size());
  header.SectionHeader(setup_.application, comments.data(), comments.size());
  header.InterfaceDescription();
  total_ += header.Size();
  if (!failed_ && !output_->Write(header.Data(), header.Size())) failed_ = true;
}

void UsbCapture::Flush() {
  if (!headerWritten_) HeaderFinal("plan: none (no step started)");
  if (used_ != 0 && !failed_ && !output_->Write(buffer_.get(), used_)) failed_ = true;
  used_ = 0;
}

void UsbCapture::Put(std::size_t size, std::uint64_t timeUs, const UsbPcapHeader& header, const std::uint8_t* data,
                     std::uint32_t captured, std::uint32_t original, const char* comment) {
  if (setup_.bound != 0 && total_ + size > setup_.bound) {
    ++leftOut_;
    return;
  }
  if (kBufferSize - used_ < size) Flush();
  PcapngBuffer records(buffer_.get() + used_, kBufferSize - used_);
  if (records.EnhancedPacket(timeUs, header, data, captured, original, comment != nullptr ? comment : "")) {
    used_ += records.Size();
    total_ += records.Size();
  }
}

void UsbCapture::EmitOpen(const Held& held) {
  const std::uint64_t timeUs = held.exchange.startMs * 1000;
  UsbPcapHeader setup;
  setup.irpId = kDescriptorIrp | held.number;
  setup.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  setup.endpoint = 0x80;
  setup.transfer = USBPCAP_TRANSFER_CONTROL;
  setup.dataLength = sizeof kGetDeviceDescriptor;
  setup.stage = USBPCAP_STAGE_SETUP;
  std::uint32_t captured = USBPCAP_CONTROL_HEADER_SIZE + sizeof kGetDeviceDescriptor;
  Put(PcapngBuffer::EnhancedPacketSize(captured, 0), timeUs, setup, kGetDeviceDescriptor, captured, captured, nullptr);

  std::uint8_t descriptor[18];
  DeviceDescriptor(held.ids, descriptor);
  UsbPcapHeader complete = setup;
  complete.info = USBPCAP_INFO_COMPLETION;
  complete.dataLength = sizeof descriptor;
  complete.stage = USBPCAP_STAGE_COMPLETE;
  captured = USBPCAP_CONTROL_HEADER_SIZE + sizeof descriptor;
  Put(PcapngBuffer::EnhancedPacketSize(captured, 0), timeUs, complete, descriptor, captured, captured, nullptr);
}

void UsbCapture::EmitExchange(std::uint64_t number, const CapturedExchange& e, const UsbBlock& request,
                              const UsbBlock& answer, bool whole) {
  const std::uint32_t kept = whole ? kWholeRecord : USBPCAP_HEADER_SIZE + CAPTURE_CUT_BLOCK_BYTES;
  UsbPcapHeader out;
  out.irpId = number;
  out.endpoint = e.pipeOut;
  out.dataLength = USB_BLOCK_SIZE;
  Put(PcapngBuffer::EnhancedPacketSize(kept, 0), e.startMs * 1000, out, reinterpret_cast<const std::uint8_t*>(&request),
      kept, kWholeRecord, nullptr);

  char comment[64] = {};
  UsbPcapHeader in = out;
  in.info = USBPCAP_INFO_COMPLETION;
  in.dataLength = 0;
  if (!e.written) {
    in.status = FailureStatus(e.writeError);
    std::snprintf(comment, sizeof comment, "write failed: error %u", static_cast<unsigned>(e.writeError));
    Put(PcapngBuffer::EnhancedPacketSize(USBPCAP_HEADER_SIZE, std::strlen(comment)), e.endMs * 1000, in, nullptr,
        USBPCAP_HEADER_SIZE, USBPCAP_HEADER_SIZE, comment);
    return;
  }
  in.endpoint = e.pipeIn;
  if (!e.readOk) {
    in.status = FailureStatus(e.readError);
    ReadFailureComment(e.readError, e.readTimeoutMs, comment);
    Put(PcapngBuffer::EnhancedPacketSize(USBPCAP_HEADER_SIZE, std::strlen(comment)), e.endMs * 1000, in, nullptr,
        USBPCAP_HEADER_SIZE, USBPCAP_HEADER_SIZE, comment);
    return;
  }
  const std::uint32_t length = e.answerLength < USB_BLOCK_SIZE ? e.answerLength : USB_BLOCK_SIZE;
  if (length < USB_BLOCK_SIZE) {
    std::snprintf(comment, sizeof comment, "short read: %u bytes", static_cast<unsigned>(length));
  }
  in.dataLength = length;
  const std::uint32_t data = whole ? length : (length < CAPTURE_CUT_BLOCK_BYTES ? length : CAPTURE_CUT_BLOCK_BYTES);
  Put(PcapngBuffer::EnhancedPacketSize(USBPCAP_HEADER_SIZE + data, std::strlen(comment)), e.endMs * 1000, in,
      reinterpret_cast<const std::uint8_t*>(&answer), USBPCAP_HEADER_SIZE + data, USBPCAP_HEADER_SIZE + length,
      comment);
}

void UsbCapture::Emit(const Held& held, bool whole) {
  if (held.open) {
    EmitOpen(held);
  } else {
    EmitExchange(held.number, held.exchange, held.request, held.answer, whole);
  }
}

void UsbCapture::LearnPlan(const UsbBlock& request) {
  if (headerWritten_ || request.BlockID != BLK_START) return;
  HeaderFinal(request.BlockAddress == BOOTLOADER_2_ADDRESS   ? "plan: 3 -> 2 -> 5"
              : request.BlockAddress == BOOTLOADER_1_ADDRESS ? "plan: 1 -> 4 -> 5"
                                                             : "plan: 5");
}

// A failure, or the sign of a retry: an erase of the sector erased last (a chunk written again), or a read-back
// that differs from the block written last (the chunk will be written again).
bool UsbCapture::Notable(const Held& held) {
  const CapturedExchange& e = held.exchange;
  const UsbBlock& request = held.request;
  bool notable = !e.written || !e.readOk || e.answerLength != USB_BLOCK_SIZE;
  if (request.BlockID == BLK_ERASE) {
    notable = notable || request.BlockAddress == lastEraseAddress_;
    lastEraseAddress_ = request.BlockAddress;
  } else if (request.BlockID == BLK_WRITE) {
    *lastWrite_ = request;
  } else if (request.BlockID == BLK_READ && lastWrite_->BlockID == BLK_WRITE && e.readOk && !notable) {
    notable = held.answer.BlockAddress != lastWrite_->BlockAddress ||
              held.answer.BlockLength != lastWrite_->BlockLength ||
              std::memcmp(held.answer.BlockData, lastWrite_->BlockData,
                          std::min<std::uint32_t>(lastWrite_->BlockLength, BLOCK_DATA_SIZE)) != 0;
    lastWrite_->BlockID = 0;
  }
  return notable;
}

void UsbCapture::Take(const Held& held) {
  if (!ring_) {
    Emit(held, true);
    return;
  }
  std::array<Held, CAPTURE_WHOLE_NEAR + 1>& ring = *ring_;
  if (ringCount_ == ring.size()) {
    const Held& oldest = ring[ringStart_];
    Emit(oldest, oldest.whole);
    ringStart_ = (ringStart_ + 1) % ring.size();
    --ringCount_;
  }
  Held& slot = ring[(ringStart_ + ringCount_) % ring.size()];
  slot = held;
  ++ringCount_;
  if (held.open) return;
  if (Notable(slot)) {
    wholeUntil_ = held.number + CAPTURE_WHOLE_NEAR + 1;
    for (std::size_t i = 0; i < ringCount_; ++i) ring[(ringStart_ + i) % ring.size()].whole = true;
  }
  slot.whole = slot.whole || !PlainPassBlock(slot.exchange, slot.request, slot.answer) || held.number < wholeUntil_;
}

void UsbCapture::UnitOpened(std::uint64_t timeMs, const UsbDeviceIds& ids) {
  std::lock_guard<std::mutex> lock(mutex_);
  Held& held = *scratch_;
  held.open = true;
  held.number = opens_++;
  held.whole = true;
  held.ids = ids;
  held.exchange = CapturedExchange{};
  held.exchange.startMs = timeMs;
  Take(held);
}

void UsbCapture::Exchange(const CapturedExchange& exchange) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t number = exchanges_++;
  LearnPlan(*exchange.request);
  if (!ring_) {
    // Every record whole: formatted straight from the loader's blocks.
    // The answer's bytes are read only after a read that succeeded, which always has them.
    EmitExchange(number, exchange, *exchange.request, exchange.answer != nullptr ? *exchange.answer : *exchange.request,
                 true);
    return;
  }
  Held& held = *scratch_;
  held.open = false;
  held.number = number;
  held.whole = false;
  held.exchange = exchange;
  std::memcpy(&held.request, exchange.request, sizeof held.request);
  if (exchange.written && exchange.readOk && exchange.answer != nullptr) {
    std::memcpy(&held.answer, exchange.answer,
                exchange.answerLength < USB_BLOCK_SIZE ? exchange.answerLength : USB_BLOCK_SIZE);
  }
  held.exchange.request = nullptr;
  held.exchange.answer = nullptr;
  Take(held);
}

void UsbCapture::Finish() {
  std::lock_guard<std::mutex> lock(mutex_);
  FinishLocked();
}

void UsbCapture::Restart(CaptureOutput& output) {
  std::lock_guard<std::mutex> lock(mutex_);
  FinishLocked();
  output_ = &output;
  headerWritten_ = false;
  failed_ = false;
  exchanges_ = 0;
  opens_ = 0;
  total_ = 0;
  leftOut_ = 0;
  wholeUntil_ = 0;
  lastEraseAddress_ = 0xFFFFFFFF;
  lastWrite_->BlockID = 0;
  if (!setup_.plan.empty()) HeaderFinal(nullptr);
}

void UsbCapture::FinishLocked() {
  // The last exchanges show how the capture ended: whole.
  if (ring_) {
    for (std::size_t i = 0; i < ringCount_; ++i) {
      const Held& held = (*ring_)[(ringStart_ + i) % ring_->size()];
      Emit(held, held.whole || i + CAPTURE_WHOLE_NEAR >= ringCount_);
    }
    ringCount_ = 0;
  }
  Flush();
}
