#pragma once
// Progress on the taskbar: the main window's taskbar button mirrors the progress window's bar (normal with the
// bar's position while an update runs, in error at the bar's 100 on the failure road, no progress once the
// progress window is gone), and flashes while the final message waits for a user who is elsewhere.
//
// The shell's taskbar interface exists only once the window system has reported the button (the registered
// message "TaskbarButtonCreated"); a system without it (older systems, Wine) shows the progress window alone,
// and flashing works all the same.

#include <windows.h>

#include <cstdint>
#include <memory>

// What the mirror needs of the shell. Implementation: SystemTaskbar; tests record the calls with a fake.
class Taskbar {
 public:
  // The button's progress states, numbered as the shell's TBPFLAG.
  enum State : std::uint32_t { NoProgress = 0x0, Normal = 0x2, Error = 0x4 };

  virtual ~Taskbar() = default;
  // The window system has made (or made anew) the window's button: the shell's interface can be reached.
  virtual void ButtonCreated(HWND window) = 0;
  virtual void SetProgressState(HWND window, State state) = 0;
  virtual void SetProgressValue(HWND window, std::uint64_t completed, std::uint64_t total) = 0;
  // Whether one of this program's windows is the foreground window.
  virtual bool ProgramInForeground() = 0;
  // Flashes the window's button until the window comes to the foreground (on), or stops it (off).
  virtual void Flash(HWND window, bool on) = 0;
};

// The shell's ITaskbarList3, made on the first ButtonCreated; FlashWindowEx; the foreground window's process.
class SystemTaskbar final : public Taskbar {
 public:
  SystemTaskbar();
  ~SystemTaskbar() override;
  SystemTaskbar(const SystemTaskbar&) = delete;
  SystemTaskbar& operator=(const SystemTaskbar&) = delete;

  void ButtonCreated(HWND window) override;
  void SetProgressState(HWND window, State state) override;
  void SetProgressValue(HWND window, std::uint64_t completed, std::uint64_t total) override;
  bool ProgramInForeground() override;
  void Flash(HWND window, bool on) override;

  // Whether the shell's taskbar interface was reached.
  bool Connected() const;

 private:
  struct Shell;
  std::unique_ptr<Shell> shell_;
};

// The mirror. `window` is always the main window, whose button it is. Runs on the interface thread.
class TaskbarProgress {
 public:
  explicit TaskbarProgress(Taskbar& taskbar) : taskbar_(taskbar) {}

  // The main window's procedure got the registered message: reach the shell and show the state again.
  void OnButtonCreated(HWND window);
  // The progress window is shown: an update runs, at 0.
  void OnUpdateShown(HWND window);
  void OnBarPosition(HWND window, std::uint32_t position);
  void OnBarError(HWND window);
  // The progress window is gone.
  void OnUpdateGone(HWND window);
  // The final message is about to show (flashes if the user is elsewhere) / has been answered (stops it).
  void OnFinalMessage(HWND window);
  void OnFinalMessageAnswered(HWND window);

 private:
  void Show(HWND window);

  Taskbar& taskbar_;
  Taskbar::State state_ = Taskbar::NoProgress;
  std::uint32_t position_ = 0;
  bool flashing_ = false;
};

// The message that the window system sends to a top-level window when its taskbar button exists; 0 if it
// could not be registered.
UINT TaskbarButtonCreatedMessage();

// Lets the message through to a program that runs elevated (the shell runs with fewer rights).
void AllowTaskbarButtonCreated(HWND window);

// The program's mirror, on the system's taskbar.
TaskbarProgress& ProgramTaskbarProgress();

// True for the messages that end an update: "Firmware update completed successfully!" and "... failed!".
bool IsFinalUpdateMessage(std::uint16_t textId);

// Flashes the main window's button for the final message while it is open (one line in a ShowMessage).
class FinalMessageAttention {
 public:
  FinalMessageAttention(TaskbarProgress& taskbar, HWND window, std::uint16_t textId);
  ~FinalMessageAttention();
  FinalMessageAttention(const FinalMessageAttention&) = delete;
  FinalMessageAttention& operator=(const FinalMessageAttention&) = delete;

 private:
  TaskbarProgress& taskbar_;
  HWND window_;
  bool final_;
};
