#include "platform/libusb/pipe_transfer.h"

#include <atomic>

#include "platform/libusb/libusb_errors.h"

namespace {
// How long one round of event handling may wait. A completion, a cancellation or the transfer's own
// timeout ends the wait at once; the bound only keeps a thread from waiting on a lost wake-up forever.
constexpr timeval kEventRound = {1, 0};
}  // namespace

PipeTransfer::PipeTransfer(libusb_context* context, libusb_device_handle* handle, std::uint8_t endpoint,
                           std::uint8_t type)
    : context_(context), handle_(handle), endpoint_(endpoint), type_(type), transfer_(libusb_alloc_transfer(0)) {}

PipeTransfer::~PipeTransfer() {
  if (transfer_ != nullptr) libusb_free_transfer(transfer_);
}

void LIBUSB_CALL PipeTransfer::Completed(libusb_transfer* transfer) {
  // Any thread may be the one that handles the events: the flag is published to the thread that waits on it.
  std::atomic_ref<int>(static_cast<PipeTransfer*>(transfer->user_data)->completed_).store(1, std::memory_order_release);
}

PipeOutcome PipeTransfer::Run(std::uint8_t* buffer, std::uint32_t length, std::uint32_t timeoutMs) {
  std::lock_guard run(runMutex_);
  PipeOutcome outcome;
  if (transfer_ == nullptr) {
    outcome.error = WIN_ERROR_NOT_ENOUGH_MEMORY;
    return outcome;
  }
  if (length > static_cast<std::uint32_t>(INT32_MAX)) {
    outcome.error = WIN_ERROR_INVALID_PARAMETER;
    return outcome;
  }
  const auto size = static_cast<int>(length);
  if (type_ == LIBUSB_TRANSFER_TYPE_INTERRUPT) {
    libusb_fill_interrupt_transfer(transfer_, handle_, endpoint_, buffer, size, Completed, this, timeoutMs);
  } else {
    libusb_fill_bulk_transfer(transfer_, handle_, endpoint_, buffer, size, Completed, this, timeoutMs);
  }
  std::atomic_ref<int>(completed_).store(0, std::memory_order_relaxed);
  {
    // Submitted under the state lock, so that an Abort either finds the transfer in flight or none at all.
    std::lock_guard state(stateMutex_);
    if (closed_) {
      outcome.error = WIN_ERROR_OPERATION_ABORTED;
      return outcome;
    }
    const int submitted = libusb_submit_transfer(transfer_);
    if (submitted < 0) {
      outcome.error = UsbErrorFromLibusb(submitted);
      return outcome;
    }
    inFlight_ = true;
  }
  while (std::atomic_ref<int>(completed_).load(std::memory_order_acquire) == 0) {
    timeval round = kEventRound;
    const int handled = libusb_handle_events_timeout_completed(context_, &round, &completed_);
    // Event handling that fails for good would leave the transfer pending: cancel it and wait for its end,
    // as libusb's own synchronous calls do.
    if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) libusb_cancel_transfer(transfer_);
  }
  {
    std::lock_guard state(stateMutex_);
    inFlight_ = false;
  }
  ended_.notify_all();

  outcome.error = UsbErrorFromTransferStatus(transfer_->status);
  outcome.stalled = transfer_->status == LIBUSB_TRANSFER_STALL;
  outcome.transferred = transfer_->actual_length > 0 ? static_cast<std::uint32_t>(transfer_->actual_length) : 0;
  return outcome;
}

void PipeTransfer::Abort() {
  std::unique_lock state(stateMutex_);
  AbortLocked(state);
}

void PipeTransfer::Close() {
  std::unique_lock state(stateMutex_);
  closed_ = true;
  AbortLocked(state);
}

void PipeTransfer::AbortLocked(std::unique_lock<std::mutex>& state) {
  if (!inFlight_) return;
  // LIBUSB_ERROR_NOT_FOUND: the transfer has just ended on its own; its Run is about to clear inFlight_.
  libusb_cancel_transfer(transfer_);
  ended_.wait(state, [this] { return !inFlight_; });
}
