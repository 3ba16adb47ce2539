#pragma once
// The USB capture: every block exchange of the device link as a pcapng file that Wireshark opens (USBPcap
// link type, pcapng_blocks.h). The loader hands each exchange to the capture at the one place every exchange
// passes (UsbFwLoader::WriteUsbPipeData), and each opening of the unit (UsbPort::OpenUsbConnection) as the
// unit's device descriptor, read by a GET_DESCRIPTOR control transfer; the capture therefore starts with it,
// and Wireshark knows the unit's vendor and product ids before the first block.
//
// Each exchange is its request (bulk OUT submission, 272 bytes, irpId = the exchange's number, time = its
// start) and its answer (bulk IN completion, same irpId, time = its end): the bytes read (a short read keeps
// its length) or a failure as a USBD status with a comment naming it; a failed write is the OUT's completion
// with its status and no IN record.
//
// The section header names the program and its version, and the plan, which the capture learns from the
// first START request (so the header waits in memory until then, or until the held records fill their
// buffer). A bounded capture (the window program's) keeps every exchange that is not a plain WRITE or READ of
// a pass whole, and so every exchange within CAPTURE_WHOLE_NEAR exchanges of a failure or a retry and the last
// ones; the plain pass blocks beyond those keep their 16-byte block header only. It never passes its bound:
// records beyond it are left out.
//
// No allocation per exchange: the records are formatted into a buffer made with the capture.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/capture_output.h"
#include "usb/usb_block.h"
#include "usb/usb_platform.h"

inline constexpr std::uint16_t CAPTURE_DEFAULT_VENDOR_ID = 0x7A31;
inline constexpr std::uint16_t CAPTURE_DEFAULT_PRODUCT_ID = 0xACDC;
// Exchanges kept whole before and after a failure or a retry in a bounded capture.
inline constexpr std::size_t CAPTURE_WHOLE_NEAR = 8;
// A cut record keeps the block's id, address, length and the first data word.
inline constexpr std::uint32_t CAPTURE_CUT_BLOCK_BYTES = 16;
// The window program's bound.
inline constexpr std::uint64_t CAPTURE_WINDOW_BOUND = 8 * 1024 * 1024;
// The comment of a bounded capture's section header.
inline constexpr const char CAPTURE_CUT_COMMENT[] =
    "bounded capture: plain WRITE and READ blocks of the passes away from failures and retries are cut to their "
    "16-byte block header (captured length below the original length)";

struct CaptureSetup {
  std::string application;            // shb_userappl: "helmet-update 1.1"
  std::vector<std::string> comments;  // the program's version, the command
  std::string plan;                   // set: the plan comment (e.g. "no update: info"); empty: learnt from START
  std::uint64_t bound = 0;            // bytes; 0: no bound, every record whole
};

// One exchange as the loader saw it.
struct CapturedExchange {
  std::uint64_t startMs = 0;
  std::uint64_t endMs = 0;
  std::uint8_t pipeOut = 0x02;
  std::uint8_t pipeIn = 0x81;
  std::uint32_t readTimeoutMs = 0;
  const UsbBlock* request = nullptr;  // 272 bytes sent (its CRC set)
  bool written = false;               // false: the write failed with writeError
  std::uint32_t writeError = 0;
  bool readOk = false;  // after a write: the read succeeded (answerLength bytes) or failed (readError)
  std::uint32_t readError = 0;
  std::uint32_t answerLength = 0;
  const UsbBlock* answer = nullptr;  // the bytes read (answerLength of them); set also when none were
};

class UsbCapture {
 public:
  UsbCapture(CaptureOutput& output, CaptureSetup setup);
  ~UsbCapture();
  UsbCapture(const UsbCapture&) = delete;
  UsbCapture& operator=(const UsbCapture&) = delete;

  // The unit was opened: its descriptor records.
  void UnitOpened(std::uint64_t timeMs, const UsbDeviceIds& ids);
  void Exchange(const CapturedExchange& exchange);
  // Writes what is held back; later records are still taken (and written by the next Finish).
  void Finish();
  // Finishes this capture and begins a new one on `output`: its own header, exchanges numbered from 0 (the
  // window program's loader keeps one capture, written to a new file for each update).
  void Restart(CaptureOutput& output);

  // The output refused bytes: the capture is incomplete.
  bool Failed() const;
  std::uint64_t ExchangeCount() const;
  // Records left out for the bound.
  std::uint64_t LeftOut() const;

 private:
  struct Held;
  void Take(const Held& held);
  void Emit(const Held& held, bool whole);
  void EmitOpen(const Held& held);
  void EmitExchange(std::uint64_t number, const CapturedExchange& exchange, const UsbBlock& request,
                    const UsbBlock& answer, bool whole);
  void Put(std::size_t size, std::uint64_t timeUs, const struct UsbPcapHeader& header, const std::uint8_t* data,
           std::uint32_t captured, std::uint32_t original, const char* comment);
  void HeaderFinal(const char* plan);
  void Flush();
  void FinishLocked();
  void LearnPlan(const UsbBlock& request);
  bool Notable(const Held& held);

  CaptureOutput* output_;
  CaptureSetup setup_;
  mutable std::mutex mutex_;
  bool headerWritten_ = false;
  bool failed_ = false;
  std::uint64_t exchanges_ = 0;
  std::uint64_t opens_ = 0;
  std::uint64_t total_ = 0;  // bytes given to the buffer, the header's included
  std::uint64_t leftOut_ = 0;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t used_ = 0;
  // Bounded: the last exchanges and the one being taken, held until it is known whether a failure or retry
  // follows them.
  std::unique_ptr<std::array<Held, CAPTURE_WHOLE_NEAR + 1>> ring_;
  std::size_t ringStart_ = 0;
  std::size_t ringCount_ = 0;
  std::uint64_t wholeUntil_ = 0;  // exchanges with numbers below this are kept whole
  bool anyNotable_ = false;
  std::uint32_t lastEraseAddress_ = 0xFFFFFFFF;
  std::unique_ptr<UsbBlock> lastWrite_;
  std::unique_ptr<Held> scratch_;  // the record being taken: no copy on the stack
};
