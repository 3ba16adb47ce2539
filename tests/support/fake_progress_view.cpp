#include "support/fake_progress_view.h"

#include <cstdio>

#include "ui/update_controller.h"

namespace {
std::string Text(const char* format, unsigned long a, unsigned long b = 0, unsigned long c = 0) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, a, b, c);
  return buffer;
}
}  // namespace

WindowRef FakeProgressView::CreateProgressWindow(WindowRef, UpdateController& controller) {
  events.push_back("create");
  if (failCreation) return nullptr;
  controller_ = &controller;
  ++windowsCreated;
  // A fresh token per window, never dereferenced.
  window_ = reinterpret_cast<WindowRef>(static_cast<std::uintptr_t>(0x1000 + windowsCreated));
  open_ = true;
  shown = false;
  controller.OnOpened(window_);
  return open_ || handsBackDestroyed ? window_ : nullptr;
}

void FakeProgressView::ShowProgressWindow(WindowRef window) {
  if (window == window_ && open_) shown = true;
  events.push_back("show");
}

void FakeProgressView::DestroyProgressWindow(WindowRef window) {
  ++destroyCalls;
  if (!open_ || window != window_) {
    events.push_back("destroy (gone)");
    return;
  }
  events.push_back("destroy");
  open_ = false;
  shown = false;
  timers.clear();
  controller_->OnClosed();
}

void FakeProgressView::AddStatusLine(WindowRef, std::uint16_t textId) {
  events.push_back(Text("line %lu", textId));
  lines.push_back(textId);
}

void FakeProgressView::SetBarPosition(WindowRef, std::uint32_t position) {
  events.push_back(Text("bar %lu", position));
  bar.push_back(position);
}

void FakeProgressView::SetBarError(WindowRef) {
  events.push_back("bar error");
  barError = true;
}

int FakeProgressView::ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) {
  events.push_back(Text("box %lu %lu 0x%lx", textId, captionId, style));
  const FakeBox box{owner, textId, captionId, style};
  boxes.push_back(box);
  return answer ? answer(box) : 1;
}

void FakeProgressView::SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) {
  events.push_back(Text("timer %lu %lu", id, ms));
  timerPeriods.push_back(ms);
  if (open_ && window == window_) timers[id] = ms;
}

void FakeProgressView::KillTimer(WindowRef, std::uintptr_t id) {
  events.push_back(Text("kill %lu", id));
  timers.erase(id);
}

void FakeProgressView::EnableParent(WindowRef, bool enable) {
  events.push_back(enable ? "enable parent" : "disable parent");
  parentEnabled = enable;
}

void FakeProgressView::ForegroundParent(WindowRef) {
  events.push_back("foreground parent");
  ++foregrounds;
}

bool FakeProgressView::Deliver(const PostedMessage& message) {
  if (!open_ || message.window != window_ || message.message != WM_UPDATE_NOTIFY) return false;
  controller_->OnUpdateNotify(message.window, static_cast<ResultCode>(message.lParam));
  return true;
}

bool FakeProgressView::FireTimer(std::uintptr_t id) {
  if (!open_ || timers.count(id) == 0) return false;
  return FireAnyTimer(id);
}

bool FakeProgressView::FireAnyTimer(std::uintptr_t id) {
  if (!open_) return false;
  controller_->OnStepTimer(window_, id);
  return true;
}

bool FakeProgressView::AskCancel() {
  if (!open_) return false;
  controller_->OnCancelAsked(window_);
  return true;
}
