// Natively there is no window system: the platform's progress window cannot be created, so an update opened
// through UpdateController::Instance() does not start. Front ends without windows (the tests, a terminal)
// hand their own ProgressView to an UpdateController of their own.

#include "ui/progress_view.h"

namespace {
class NoProgressView final : public ProgressView {
 public:
  WindowRef CreateProgressWindow(WindowRef, UpdateController&) override { return nullptr; }
  void ShowProgressWindow(WindowRef) override {}
  void DestroyProgressWindow(WindowRef) override {}
  void AddStatusLine(WindowRef, std::uint16_t) override {}
  void SetBarPosition(WindowRef, std::uint32_t) override {}
  void SetBarError(WindowRef) override {}
  int ShowMessage(WindowRef, std::uint16_t, std::uint16_t, std::uint32_t) override { return 0; }
  void SetTimer(WindowRef, std::uintptr_t, std::uint32_t) override {}
  void KillTimer(WindowRef, std::uintptr_t) override {}
  void EnableParent(WindowRef, bool) override {}
  void ForegroundParent(WindowRef) override {}
};
}  // namespace

ProgressView& PlatformProgressView() {
  static NoProgressView view;
  return view;
}
