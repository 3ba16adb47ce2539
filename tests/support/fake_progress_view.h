#pragma once
// A progress view without windows for the sequencer's tests: it records status lines, bar positions, boxes and
// timers in the order of the calls, answers boxes as the test says (and may run messages meanwhile, as a real
// box's own loop does), and delivers messages and timers to the controller only while its window exists.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "app/message_poster.h"
#include "ui/progress_window_view.h"

struct FakeBox {
  WindowRef owner;
  std::uint16_t text;
  std::uint16_t caption;
  std::uint32_t style;
  friend bool operator==(const FakeBox&, const FakeBox&) = default;
};

class FakeProgressView final : public ProgressWindowView {
 public:
  WindowRef CreateProgressWindow(WindowRef parent, UpdateController& controller) override;
  void ShowProgressWindow(WindowRef window) override;
  void DestroyProgressWindow(WindowRef window) override;
  void AddStatusLine(WindowRef window, std::uint16_t textId) override;
  void SetBarPosition(WindowRef window, std::uint32_t position) override;
  void SetBarError(WindowRef window) override;
  int ShowMessage(WindowRef owner, std::uint16_t textId, std::uint16_t captionId, std::uint32_t style) override;
  void SetTimer(WindowRef window, std::uintptr_t id, std::uint32_t ms) override;
  void KillTimer(WindowRef window, std::uintptr_t id) override;
  void EnableParent(WindowRef parent, bool enable) override;
  void ForegroundParent(WindowRef parent) override;

  // The window that exists now, or null.
  WindowRef Window() const { return open_ ? window_ : nullptr; }
  bool IsOpen() const { return open_; }
  // Hands a posted notification of the loader to the controller, as the window system would: dropped when its
  // window is gone. Returns whether it was delivered.
  bool Deliver(const PostedMessage& message);
  // Fires an armed timer; false if no such timer is armed.
  bool FireTimer(std::uintptr_t id);
  // Fires a timer with this identifier whether armed or not (as a stray timer message would).
  bool FireAnyTimer(std::uintptr_t id);
  // "Cancel" pressed; false when no window is open.
  bool AskCancel();

  // What the test decides.
  std::function<int(const FakeBox&)> answer;  // the button pressed; without it, 1 (OK) for every box
  bool failCreation = false;                  // the window cannot be made at all
  bool handsBackDestroyed = false;            // creation gives the handle even of a window that destroyed
                                              // itself during its initialisation

  // What happened, in order.
  std::vector<std::string> events;   // every call, as text ("line 40002", "bar 10", "box 40008 40010 0x10" ...)
  std::vector<std::uint16_t> lines;  // status lines added
  std::vector<std::uint32_t> bar;    // bar positions set
  std::vector<FakeBox> boxes;        // boxes shown
  std::map<std::uintptr_t, std::uint32_t> timers;  // armed now: id -> milliseconds
  std::vector<std::uint32_t> timerPeriods;         // every timer armed, its milliseconds
  bool barError = false;
  bool parentEnabled = true;
  bool shown = false;
  int windowsCreated = 0;
  int destroyCalls = 0;  // calls of DestroyProgressWindow, harmless ones included
  int foregrounds = 0;

 private:
  UpdateController* controller_ = nullptr;
  WindowRef window_ = nullptr;
  bool open_ = false;
};
