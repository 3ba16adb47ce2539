#include "platform/win32/taskbar_progress.h"

#include <objbase.h>
#include <shobjidl.h>

#include "ui/resource_ids.h"

static_assert(Taskbar::NoProgress == static_cast<std::uint32_t>(TBPF_NOPROGRESS) &&
              Taskbar::Normal == static_cast<std::uint32_t>(TBPF_NORMAL) &&
              Taskbar::Error == static_cast<std::uint32_t>(TBPF_ERROR));

namespace {
constexpr std::uint64_t kBarRange = 100;  // the progress bar's range: the control's default, 0 to 100
}  // namespace

// The shell's interface and the COM apartment it lives in, both given back when the taskbar goes.
struct SystemTaskbar::Shell {
  bool comStarted = false;
  ITaskbarList3* list = nullptr;

  ~Shell() {
    if (list != nullptr) list->Release();
    if (comStarted) CoUninitialize();
  }
};

SystemTaskbar::SystemTaskbar() : shell_(std::make_unique<Shell>()) {}

SystemTaskbar::~SystemTaskbar() = default;

void SystemTaskbar::ButtonCreated(HWND) {
  if (shell_->list != nullptr) return;  // one interface serves every button of the thread
  if (!shell_->comStarted) {
    // S_FALSE: the thread had COM already; it still takes one reference to give back.
    shell_->comStarted = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
  }
  ITaskbarList3* list = nullptr;
  if (FAILED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&list)))) return;
  if (FAILED(list->HrInit())) {
    list->Release();
    return;
  }
  shell_->list = list;
}

void SystemTaskbar::SetProgressState(HWND window, State state) {
  if (shell_->list != nullptr) shell_->list->SetProgressState(window, static_cast<TBPFLAG>(state));
}

void SystemTaskbar::SetProgressValue(HWND window, std::uint64_t completed, std::uint64_t total) {
  if (shell_->list != nullptr) shell_->list->SetProgressValue(window, completed, total);
}

bool SystemTaskbar::ProgramInForeground() {
  HWND foreground = GetForegroundWindow();
  if (foreground == nullptr) return false;
  DWORD process = 0;
  GetWindowThreadProcessId(foreground, &process);
  return process == GetCurrentProcessId();
}

void SystemTaskbar::Flash(HWND window, bool on) {
  FLASHWINFO flash{};
  flash.cbSize = sizeof flash;
  flash.hwnd = window;
  flash.dwFlags = on ? (FLASHW_ALL | FLASHW_TIMERNOFG) : FLASHW_STOP;
  FlashWindowEx(&flash);
}

bool SystemTaskbar::Connected() const { return shell_->list != nullptr; }

void TaskbarProgress::OnButtonCreated(HWND window) {
  taskbar_.ButtonCreated(window);
  // A button made anew (the shell restarted) shows nothing until told again.
  if (state_ != Taskbar::NoProgress) Show(window);
}

void TaskbarProgress::OnUpdateShown(HWND window) {
  state_ = Taskbar::Normal;
  position_ = 0;
  Show(window);
}

void TaskbarProgress::OnBarPosition(HWND window, std::uint32_t position) {
  if (state_ == Taskbar::NoProgress) {
    state_ = Taskbar::Normal;
    position_ = position;
    Show(window);
    return;
  }
  // The bar is set at every notification; the button only when it moves.
  if (position == position_) return;
  position_ = position;
  taskbar_.SetProgressValue(window, position_, kBarRange);
}

void TaskbarProgress::OnBarError(HWND window) {
  if (state_ == Taskbar::Error) return;
  state_ = Taskbar::Error;
  taskbar_.SetProgressState(window, state_);
}

void TaskbarProgress::OnUpdateGone(HWND window) {
  if (state_ == Taskbar::NoProgress) return;  // a window that never showed an update
  state_ = Taskbar::NoProgress;
  position_ = 0;
  taskbar_.SetProgressState(window, state_);
}

void TaskbarProgress::OnFinalMessage(HWND window) {
  if (window == nullptr || taskbar_.ProgramInForeground()) return;
  taskbar_.Flash(window, true);
  flashing_ = true;
}

void TaskbarProgress::OnFinalMessageAnswered(HWND window) {
  // Answered means the user came back; the flashing of a button whose window never came to the foreground
  // itself (the message box did) ends here.
  if (!flashing_) return;
  flashing_ = false;
  taskbar_.Flash(window, false);
}

void TaskbarProgress::Show(HWND window) {
  taskbar_.SetProgressState(window, state_);
  taskbar_.SetProgressValue(window, position_, kBarRange);
}

UINT TaskbarButtonCreatedMessage() {
  static const UINT message = RegisterWindowMessageW(L"TaskbarButtonCreated");
  return message;
}

void AllowTaskbarButtonCreated(HWND window) {
  const UINT message = TaskbarButtonCreatedMessage();
  if (message != 0) ChangeWindowMessageFilterEx(window, message, MSGFLT_ALLOW, nullptr);
}

TaskbarProgress& ProgramTaskbarProgress() {
  // Kept for the whole process, like the update controller that drives it.
  static SystemTaskbar* const taskbar = new SystemTaskbar;
  static TaskbarProgress* const progress = new TaskbarProgress(*taskbar);
  return *progress;
}

bool IsFinalUpdateMessage(std::uint16_t textId) {
  return textId == IDS_UPDATE_COMPLETED || textId == IDS_UPDATE_FAILED;
}

FinalMessageAttention::FinalMessageAttention(TaskbarProgress& taskbar, HWND window, std::uint16_t textId)
    : taskbar_(taskbar), window_(window), final_(IsFinalUpdateMessage(textId)) {
  if (final_) taskbar_.OnFinalMessage(window_);
}

FinalMessageAttention::~FinalMessageAttention() {
  if (final_) taskbar_.OnFinalMessageAnswered(window_);
}
