#pragma once
// One pipe's transfer: run synchronously on the caller's thread, abortable from any other thread.
//
// The seam's WritePipe and ReadPipe block until the transfer ends, and AbortPipe, called on another thread,
// must end a transfer in flight at once. libusb's synchronous calls cannot be cancelled, so a transfer here is
// an asynchronous libusb transfer that the calling thread submits and then waits for by handling libusb's
// events itself (libusb_handle_events_timeout_completed with the transfer's own completion flag, the pattern of
// libusb's own synchronous calls; several such threads share the event handling safely). Abort cancels the
// transfer (libusb_cancel_transfer) and waits until the running thread has seen it end with
// LIBUSB_TRANSFER_CANCELLED. The timeout is libusb's own transfer timeout, so no thread ever sleeps.
//
// The libusb transfer is allocated once, when the pipe is opened: a block exchange allocates nothing here.

#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct PipeOutcome {
  std::uint32_t error = 0;  // a seam code (libusb_errors.h); 0 when the transfer completed
  bool stalled = false;     // the endpoint answered with a stall
  std::uint32_t transferred = 0;
};

class PipeTransfer {
 public:
  // endpoint: the endpoint address (bit 7 set for IN); type: LIBUSB_TRANSFER_TYPE_BULK or _INTERRUPT.
  PipeTransfer(libusb_context* context, libusb_device_handle* handle, std::uint8_t endpoint, std::uint8_t type);
  // The transfer must have ended: the owner aborts first and lets every Run return.
  ~PipeTransfer();
  PipeTransfer(const PipeTransfer&) = delete;
  PipeTransfer& operator=(const PipeTransfer&) = delete;

  // False when libusb could not allocate the transfer; Run then fails with WIN_ERROR_NOT_ENOUGH_MEMORY.
  bool Valid() const { return transfer_ != nullptr; }

  // Moves `length` bytes from or to `buffer` and returns when the transfer has ended: completed, timed out
  // after timeoutMs (0: it never times out), cancelled by Abort (WIN_ERROR_OPERATION_ABORTED), or failed
  // (the device gone: WIN_ERROR_DEVICE_NOT_CONNECTED). Calls on one pipe run one after the other.
  PipeOutcome Run(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs);

  // Ends the transfer in flight, if any, and returns once its Run has seen it end. A Run that starts after
  // Abort returned is not affected, as with WinUsb_AbortPipe.
  void Abort();
  // Abort, and every later Run fails at once with WIN_ERROR_OPERATION_ABORTED: the pipe is being closed.
  void Close();

 private:
  static void LIBUSB_CALL Completed(libusb_transfer* transfer);
  void AbortLocked(std::unique_lock<std::mutex>& state);

  libusb_context* context_;
  libusb_device_handle* handle_;
  std::uint8_t endpoint_;
  std::uint8_t type_;
  libusb_transfer* transfer_;

  std::mutex runMutex_;  // one Run at a time
  std::mutex stateMutex_;
  std::condition_variable ended_;
  bool inFlight_ = false;                                                // guarded by stateMutex_
  bool closed_ = false;                                                  // guarded by stateMutex_
  alignas(std::atomic_ref<int>::required_alignment) int completed_ = 0;  // set by the callback on the thread that
                                                                         // handles the events; read through atomic_ref
};
