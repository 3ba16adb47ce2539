#include "tools/update_drive.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "ui/progress_view.h"
#include "ui/resource_ids.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

namespace {
// A guard against a hang, in real time; a working update never comes near it.
constexpr std::chrono::seconds HANG_GUARD{120};
int g_parent;

// The loader's notifications, taken by the driving thread; it sleeps while the worker runs.
class WaitingQueue final : public MessagePoster {
 public:
  bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard lock(mutex_);
    queue_.push_back({window, message, wParam, lParam});
    posted_.notify_one();
    return true;
  }
  std::optional<PostedMessage> Take(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    if (!posted_.wait_for(lock, limit, [&] { return !queue_.empty(); })) return std::nullopt;
    return Pop();
  }
  std::optional<PostedMessage> TryTake() {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return std::nullopt;
    return Pop();
  }

 private:
  PostedMessage Pop() {
    const PostedMessage message = queue_.front();
    queue_.pop_front();
    return message;
  }
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<PostedMessage> queue_;
};

// A progress window without a window: it answers every box with OK, keeps the armed timers, and hands messages to
// the controller while it exists.
class DriveView final : public ProgressView {
 public:
  WindowRef CreateProgressWindow(WindowRef, UpdateController& controller) override {
    controller_ = &controller;
    window_ = &windows_[++created_ % 2];  // a fresh token per window
    open_ = true;
    timers.clear();
    controller.OnOpened(window_);
    return open_ ? window_ : nullptr;
  }
  void ShowProgressWindow(WindowRef) override {}
  void DestroyProgressWindow(WindowRef window) override {
    if (!open_ || window != window_) return;
    open_ = false;
    timers.clear();
    controller_->OnClosed();
  }
  void AddStatusLine(WindowRef, std::uint16_t) override {}
  void SetBarPosition(WindowRef, std::uint32_t) override {}
  void SetBarError(WindowRef) override {}
  int ShowMessage(WindowRef, std::uint16_t textId, std::uint16_t, std::uint32_t) override {
    lastBox = textId;
    return 1;  // OK
  }
  void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) override {
    if (open_ && window == window_) timers[id] = ms;
  }
  void KillTimer(WindowRef, std::uintptr_t id) override { timers.erase(id); }
  void EnableParent(WindowRef, bool) override {}
  void ForegroundParent(WindowRef) override {}

  bool IsOpen() const { return open_; }
  void FireTimer(std::uintptr_t id) {
    if (open_) controller_->OnStepTimer(window_, id);
  }
  void Deliver(const PostedMessage& message) {
    if (open_ && message.window == window_ && message.message == WM_UPDATE_NOTIFY) {
      controller_->OnUpdateNotify(message.window, static_cast<ResultCode>(message.lParam));
    }
  }

  std::map<std::uintptr_t, std::uint32_t> timers;  // armed: id -> milliseconds
  std::uint16_t lastBox = 0;

 private:
  UpdateController* controller_ = nullptr;
  WindowRef window_ = nullptr;
  bool open_ = false;
  int windows_[2] = {};
  int created_ = 0;
};

// The application image's record, scanned once for every drive.
const FirmwareImageInfo& ApplicationImage() {
  static const FirmwareImageInfo info = [] {
    FirmwareImageInfo scanned{};
    ScanFirmwareImage(IDR_APPLICATION_IMAGE, scanned, ProgramResources());
    return scanned;
  }();
  return info;
}
}  // namespace

struct UpdateDrive::Parts {
  Parts(EmulatedUsb& usb, VirtualClock& clock)
      : clock(clock), loader(DeviceLinkContext{&usb, &clock, &queue, &ProgramResources()}), controller(view, clock) {}

  // The worker clears busy right after it has posted its result.
  void WaitIdle() {
    while (loader.IsBusy()) std::this_thread::yield();
  }

  VirtualClock& clock;
  DriveView view;
  WaitingQueue queue;
  UsbFwLoader loader;
  UpdateController controller;
};

UpdateDrive::UpdateDrive(EmulatedUsb& usb, VirtualClock& clock) : parts_(std::make_unique<Parts>(usb, clock)) {}

UpdateDrive::~UpdateDrive() = default;

UpdateResult UpdateDrive::PressUpdate() {
  Parts& p = *parts_;
  p.view.lastBox = 0;
  if (p.controller.OpenProgressWindow(&g_parent, &p.loader, &ApplicationImage()) == 0) {
    return {UpdateOutcome::NotStarted, p.view.lastBox};
  }
  while (p.view.IsOpen()) {
    std::optional<PostedMessage> message = p.queue.TryTake();
    if (!message && p.loader.IsBusy()) {
      message = p.queue.Take(HANG_GUARD);
      if (!message) return {UpdateOutcome::Hung, p.view.lastBox};
    }
    if (message) {
      p.view.Deliver(*message);
      if (message->lParam != FWL_PROGRESS) p.WaitIdle();
      continue;
    }
    if (p.view.timers.empty()) return {UpdateOutcome::Hung, p.view.lastBox};  // open, and nothing to come
    // The pause between two steps passes, then its timer fires.
    const auto [next, ms] = *p.view.timers.begin();
    if (beforeStepPause) beforeStepPause(static_cast<int>(next));
    p.clock.Advance(ms);
    p.view.FireTimer(next);
  }
  p.WaitIdle();
  while (p.queue.TryTake()) {
  }
  switch (p.view.lastBox) {
    case IDS_UPDATE_COMPLETED:
      return {UpdateOutcome::Completed, p.view.lastBox};
    case IDS_UPDATE_FAILED:
      return {UpdateOutcome::Failed, p.view.lastBox};
    default:
      return {UpdateOutcome::NotStarted, p.view.lastBox};
  }
}
