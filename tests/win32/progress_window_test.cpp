// The real progress window (template 119) driven by the UpdateController through whole emulated updates: the
// dialog, its list box and progress bar read back through the controls, real message boxes answered by the
// test from inside their own message loop, the loader's notifications posted with PostMessageW, and a
// screenshot of the screen saved as screenshots/*.png in the build tree.

#include "platform/win32/progress_window.h"

#include <windows.h>
#include <commctrl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/clock.h"
#include "app/message_poster.h"
#include "emu/emulated_usb.h"
#include "image/firmware_image.h"
#include "platform/program_context.h"
#include "platform/win32/ui_dialog.h"
#include "support/emu_violations.h"
#include "support/trace_capture.h"
#include "support/win32_pump.h"
#include "ui/resource_ids.h"
#include "ui/ui_language.h"
#include "ui/update_controller.h"
#include "usb/usb_fw_loader.h"

namespace {

// ---------------------------------------------------------------------------------------------------------
// A screenshot of the whole screen, written as a PNG (zlib for the image data and the chunk checksums).

void PutBigEndian(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}

void WriteChunk(std::FILE* file, const char* type, const std::vector<unsigned char>& data) {
  std::vector<unsigned char> chunk;
  PutBigEndian(chunk, static_cast<std::uint32_t>(data.size()));
  chunk.insert(chunk.end(), type, type + 4);
  chunk.insert(chunk.end(), data.begin(), data.end());
  PutBigEndian(chunk, static_cast<std::uint32_t>(crc32(0, chunk.data() + 4, static_cast<uInt>(chunk.size() - 4))));
  std::fwrite(chunk.data(), 1, chunk.size(), file);
}

bool SaveScreenshot(const std::wstring& name) {
  const int width = GetSystemMetrics(SM_CXSCREEN);
  const int height = GetSystemMetrics(SM_CYSCREEN);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
  GdiFlush();
  std::vector<unsigned char> rows;
  rows.reserve(static_cast<std::size_t>(width * 3 + 1) * height);
  const unsigned char* pixels = static_cast<const unsigned char*>(bits);
  for (int y = 0; y < height; ++y) {
    rows.push_back(0);  // no filter
    for (int x = 0; x < width; ++x) {
      const unsigned char* bgra = pixels + (static_cast<std::size_t>(y) * width + x) * 4;
      rows.insert(rows.end(), {bgra[2], bgra[1], bgra[0]});
    }
  }
  SelectObject(memory, previous);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  uLongf packedSize = compressBound(static_cast<uLong>(rows.size()));
  std::vector<unsigned char> packed(packedSize);
  if (compress2(packed.data(), &packedSize, rows.data(), static_cast<uLong>(rows.size()), 6) != Z_OK) return false;
  packed.resize(packedSize);

  CreateDirectoryW(L"screenshots", nullptr);
  std::FILE* file = _wfopen((L"screenshots\\" + name).c_str(), L"wb");
  if (file == nullptr) return false;
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', 13, 10, 26, 10};
  std::fwrite(signature, 1, sizeof signature, file);
  std::vector<unsigned char> header;
  PutBigEndian(header, static_cast<std::uint32_t>(width));
  PutBigEndian(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB
  WriteChunk(file, "IHDR", header);
  WriteChunk(file, "IDAT", packed);
  WriteChunk(file, "IEND", {});
  return std::fclose(file) == 0;
}

// ---------------------------------------------------------------------------------------------------------
// Message boxes, answered from inside their own loop: a hook sees each box come up and arms a thread timer,
// which the box's loop dispatches once the box has been drawn. The test decides the answer from what it sees
// then; 0 means "not yet", and the box is looked at again a little later.

std::wstring Text(HWND window) {
  wchar_t text[1024] = L"";
  GetWindowTextW(window, text, 1024);
  return text;
}

struct SeenBox {
  std::wstring caption;
  std::wstring text;
  bool progressExists = false;
  bool progressVisible = false;
  bool parentEnabled = false;
  std::vector<std::wstring> lines;  // the progress window's status list
  LRESULT barPosition = -1;
  LRESULT barState = -1;
};

class BoxAnswerer {
 public:
  using Decide = std::function<int(const SeenBox&, int look)>;

  BoxAnswerer(HWND parent, std::function<HWND()> progress, Decide decide)
      : parent_(parent), progress_(std::move(progress)), decide_(std::move(decide)) {
    active_ = this;
    hook_ = SetWindowsHookExW(WH_CBT, Hook, nullptr, GetCurrentThreadId());
  }
  ~BoxAnswerer() {
    UnhookWindowsHookEx(hook_);
    for (const auto& entry : timers_) KillTimer(nullptr, entry.first);
    active_ = nullptr;
  }

  std::vector<SeenBox> seen;  // every box, as it was when answered

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && active_ != nullptr) active_->Activated(reinterpret_cast<HWND>(wParam));
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static VOID CALLBACK Tick(HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(nullptr, id);
    if (active_ != nullptr) active_->Look(id);
  }

  void Activated(HWND window) {
    wchar_t name[32] = L"";
    GetClassNameW(window, name, 32);
    if (std::wstring(name) != L"#32770" || window == parent_ || window == progress_()) return;
    if (answered_.count(window) != 0) return;
    for (const auto& entry : timers_) {
      if (entry.second.box == window) return;  // already being looked at
    }
    timers_[SetTimer(nullptr, 0, 10, Tick)] = {window, 0};
  }

  void Look(UINT_PTR id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    const Pending pending = found->second;
    timers_.erase(found);
    if (!IsWindow(pending.box) || answered_.count(pending.box) != 0) return;

    SeenBox box;
    box.caption = Text(pending.box);
    // The box's text is its static control with text (the icon has none).
    EnumChildWindows(
        pending.box,
        [](HWND child, LPARAM param) -> BOOL {
          wchar_t name[32] = L"";
          GetClassNameW(child, name, 32);
          std::wstring text = Text(child);
          if (std::wstring(name) == L"Static" && !text.empty()) *reinterpret_cast<std::wstring*>(param) = text;
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&box.text));
    const HWND progress = progress_();
    box.progressExists = progress != nullptr && IsWindow(progress);
    box.parentEnabled = IsWindowEnabled(parent_) != FALSE;
    if (box.progressExists) {
      box.progressVisible = IsWindowVisible(progress) != FALSE;
      const HWND list = GetDlgItem(progress, IDC_STATUS_LIST);
      const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
      for (LRESULT i = 0; i < count; ++i) {
        wchar_t line[256] = L"";
        if (SendMessageW(list, LB_GETTEXTLEN, i, 0) < 256)
          SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        box.lines.push_back(line);
      }
      box.barPosition = SendDlgItemMessageW(progress, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0);
      box.barState = SendDlgItemMessageW(progress, IDC_PROGRESS_BAR, PBM_GETSTATE, 0, 0);
    }

    const int answer = decide_(box, pending.looks);
    if (answer == 0) {
      timers_[SetTimer(nullptr, 0, 10, Tick)] = {pending.box, pending.looks + 1};
      return;
    }
    seen.push_back(box);
    answered_.insert(pending.box);
    PostMessageW(pending.box, WM_COMMAND, static_cast<WPARAM>(answer), 0);
  }

  struct Pending {
    HWND box;
    int looks;
  };
  static inline BoxAnswerer* active_ = nullptr;
  HWND parent_;
  std::function<HWND()> progress_;
  Decide decide_;
  HHOOK hook_ = nullptr;
  std::map<UINT_PTR, Pending> timers_;
  std::set<HWND> answered_;
};

// ---------------------------------------------------------------------------------------------------------

std::vector<UINT> g_requestedIntervals;

// The five-second waits pass at once; what was asked is kept.
UINT ShortInterval(UINT requestedMs) {
  g_requestedIntervals.push_back(requestedMs);
  return 1;
}

// The states that the progress bar was asked to take.
std::vector<WPARAM> g_barStates;
WNDPROC g_barProc = nullptr;

LRESULT CALLBACK RecordingBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == PBM_SETSTATE) g_barStates.push_back(wParam);
  return CallWindowProcW(g_barProc, window, message, wParam, lParam);
}

bool UnderWine() { return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

INT_PTR CALLBACK PlainDialogProc(HWND, UINT message, WPARAM, LPARAM) { return message == WM_INITDIALOG; }

std::wstring UiString(unsigned id) {
  wchar_t text[UI_TEXT_CAPACITY];
  return LoadUiString(id, text) > 0 ? text : L"";
}

std::vector<std::wstring> UiStrings(std::initializer_list<unsigned> ids) {
  std::vector<std::wstring> texts;
  for (unsigned id : ids) texts.push_back(UiString(id));
  return texts;
}

// Holds the worker at each erase after the first until the test lets one more through.
class EraseGate {
 public:
  void Hook(EmulatedUnit& unit) {
    unit.SetExchangeHook([this](const UsbBlock& request, std::uint64_t) {
      if (request.BlockID != BLK_ERASE) return;
      std::unique_lock<std::mutex> lock(mutex_);
      if (erases_++ == 0) return;
      changed_.wait(lock, [&] { return open_ || permits_ > 0; });
      if (!open_) --permits_;
    });
  }
  void Permit() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++permits_;
    changed_.notify_all();
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int erases_ = 0;
  int permits_ = 0;
  bool open_ = false;
};

class ProgressWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_requestedIntervals.clear();
    ASSERT_NE(ScanFirmwareImage(IDR_APPLICATION_IMAGE, image, ProgramResources()), 0);
    UseLanguage(UILANG_ENGLISH);
  }

  // The interface language, and a main window made in it to own the progress window.
  void UseLanguage(UiLanguageId language) {
    SetUiLanguage(language);
    if (parent != nullptr) DestroyWindow(parent);
    parent = CreateUiDialog(IDD_MAIN_WINDOW, nullptr, PlainDialogProc);
    ASSERT_NE(parent, nullptr);
    ShowWindow(parent, SW_SHOW);
  }

  // Records what reaches the real progress bar once the window exists.
  void WatchBar() {
    HWND bar = GetDlgItem(Progress(), IDC_PROGRESS_BAR);
    ASSERT_NE(bar, nullptr);
    g_barStates.clear();
    g_barProc =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(RecordingBarProc)));
  }
  void TearDown() override {
    gate.Open();
    PumpMessagesUntil([&] { return !loader.IsBusy(); });
    if (IsWindow(parent)) DestroyWindow(parent);
    SetUiLanguage(UILANG_ENGLISH);
    EXPECT_NO_USB_VIOLATIONS(usb);
  }

  HWND Progress() const { return static_cast<HWND>(controller.progressWindow); }

  void RunToTheEnd() {
    PumpMessagesUntil([&] { return !IsWindow(Progress()) && !loader.IsBusy(); });
  }

  std::size_t Requests(std::uint32_t blockId) {
    std::size_t count = 0;
    for (const ExchangeRecord& record : usb.Unit(0).Exchanges()) count += record.request.BlockID == blockId;
    return count;
  }

  TraceCapture trace;
  VirtualClock clock;
  EmulatedUsb usb{clock};
  EraseGate gate;
  UsbFwLoader loader{DeviceLinkContext{&usb, &clock, &PlatformMessagePoster(), &ProgramResources()}};
  Win32ProgressView view{ShortInterval};
  UpdateController controller{view};
  FirmwareImageInfo image{};
  HWND parent = nullptr;
};

TEST_F(ProgressWindowTest, AWholeUpdateInGermanShowsEveryLineAndEndsAtAFullBar) {
  UseLanguage(UILANG_GERMAN);
  EmulatedUnit& unit = usb.AddUnit();
  bool shot = false;
  BoxAnswerer boxes(
      parent, [&] { return Progress(); },
      [&](const SeenBox&, int) {
        shot = SaveScreenshot(L"progress_window_de.png");
        return IDOK;
      });

  ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
  const HWND progress = Progress();
  EXPECT_TRUE(IsWindowVisible(progress));
  EXPECT_FALSE(IsWindowEnabled(parent));
  EXPECT_EQ(GetWindow(progress, GW_OWNER), parent);
  RunToTheEnd();

  ASSERT_EQ(boxes.seen.size(), 1u);
  const SeenBox& done = boxes.seen[0];
  EXPECT_EQ(done.caption, L"Update-Informationen");
  EXPECT_EQ(done.text, L"Firmware Aktualisierung erfolgreich beendet!");
  EXPECT_EQ(done.lines, UiStrings({IDS_UPDATE_STARTED, IDS_PROGRAM_BOOTLOADER1, IDS_PROGRAM_BOOTLOADER2,
                                   IDS_PROGRAM_APPLICATION, IDS_VERIFY_DEVICE, IDS_UPDATE_COMPLETED}));
  ASSERT_EQ(done.lines.size(), 6u);
  EXPECT_EQ(done.lines[4], L"Verifiziere Ger\u00E4t!");
  EXPECT_EQ(done.barPosition, 100);
  EXPECT_EQ(done.barState, PBST_NORMAL);
  EXPECT_TRUE(shot);

  EXPECT_EQ(g_requestedIntervals, (std::vector<UINT>{5000, 5000}));
  EXPECT_FALSE(IsWindow(progress));
  EXPECT_TRUE(IsWindowEnabled(parent));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader1));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Bootloader2));
  EXPECT_TRUE(unit.SlotFlag(UnitSlot::Application));
  EXPECT_EQ(Requests(BLK_FINISH), 3u);
}

TEST_F(ProgressWindowTest, AFailedStepPutsTheRealBarInItsErrorStateAtFull) {
  EmulatedUnit& unit = usb.AddUnit();
  Fault finish;
  finish.kind = FaultKind::DropAnswer;
  finish.blockId = BLK_FINISH;
  unit.AddFault(finish);
  BoxAnswerer boxes(
      parent, [&] { return Progress(); },
      [&](const SeenBox&, int) {
        SaveScreenshot(L"progress_window_failed_en.png");
        return IDOK;
      });

  ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
  WatchBar();
  RunToTheEnd();

  ASSERT_EQ(boxes.seen.size(), 1u);
  const SeenBox& failed = boxes.seen[0];
  EXPECT_EQ(g_barStates, std::vector<WPARAM>{PBST_ERROR});
  EXPECT_EQ(failed.caption, L"Update error");
  EXPECT_EQ(failed.text, L"Firmware update failed!");
  EXPECT_EQ(failed.lines, (std::vector<std::wstring>{L"Start firmware update!", L"Program bootloader 1!",
                                                     L"Firmware update failed!"}));
  EXPECT_EQ(failed.barPosition, 100);
  // Wine 8's progress bar takes the message but keeps its normal state ("state 2 not yet handled").
  if (!UnderWine()) {
    EXPECT_EQ(failed.barState, PBST_ERROR);
  }
  EXPECT_TRUE(g_requestedIntervals.empty());
  EXPECT_TRUE(IsWindowEnabled(parent));
}

TEST_F(ProgressWindowTest, ARefusedUnitGetsItsWarningWhileTheWindowIsStillHidden) {
  UnitConfig config;
  config.application.version = "001.005.020";
  usb.AddUnit(config);
  BoxAnswerer boxes(
      parent, [&] { return Progress(); }, [](const SeenBox&, int) { return IDOK; });

  EXPECT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 0);

  ASSERT_EQ(boxes.seen.size(), 1u);
  const SeenBox& refused = boxes.seen[0];
  EXPECT_EQ(refused.caption, L"Update error");
  EXPECT_EQ(refused.text, UiString(IDS_NEWER_FIRMWARE));
  EXPECT_TRUE(refused.progressExists);
  EXPECT_FALSE(refused.progressVisible);
  EXPECT_TRUE(refused.lines.empty());
  EXPECT_FALSE(refused.parentEnabled);            // the main window waits while the checks run
  EXPECT_EQ(controller.progressWindow, nullptr);  // the window destroyed itself during its initialisation
  EXPECT_TRUE(IsWindowEnabled(parent));
  EXPECT_EQ(Requests(BLK_START), 0u);
}

// What the dialog manager is told: only the cancel command counts as handled, whatever its notification code
// and whatever the answer.
TEST_F(ProgressWindowTest, TheDialogProcedureReportsOnlyTheCancelCommandAsHandled) {
  EmulatedUnit& unit = usb.AddUnit();
  gate.Hook(unit);  // the first step waits at its first chunk: the window stays open
  int answer = IDNO;
  BoxAnswerer boxes(
      parent, [&] { return Progress(); }, [&](const SeenBox&, int) { return answer; });
  ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
  const HWND window = Progress();

  const struct {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
  } unhandled[] = {
      {WM_COMMAND, IDOK, 0},
      {WM_COMMAND, MAKEWPARAM(IDC_PROGRESS_BAR, 2), 0},  // another control's notification
      {WM_UPDATE_NOTIFY, 0, FWL_PROGRESS},
      {WM_PAINT, 0, 0},
  };
  for (const auto& m : unhandled) {
    EXPECT_EQ(ProgressDialogProc(window, m.message, m.wParam, m.lParam), FALSE) << m.message;
  }
  EXPECT_TRUE(boxes.seen.empty());

  EXPECT_EQ(ProgressDialogProc(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0), TRUE);  // "No": it stays
  EXPECT_TRUE(IsWindow(window));
  answer = IDYES;
  EXPECT_EQ(ProgressDialogProc(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0xFFFF), 0), TRUE);
  EXPECT_FALSE(IsWindow(window));
  EXPECT_EQ(boxes.seen.size(), 2u);
}

TEST_F(ProgressWindowTest, TheBarMovesUnderTheCancelQuestionAndYesAbortsTheWorker) {
  EmulatedUnit& unit = usb.AddUnit();
  gate.Hook(unit);
  LRESULT barWhenAsked = -1;
  BoxAnswerer boxes(
      parent, [&] { return Progress(); },
      [&](const SeenBox& box, int look) {
        if (look == 0) {
          barWhenAsked = box.barPosition;
          gate.Permit();  // one more chunk: its report arrives while the question is open
          return 0;
        }
        return box.barPosition != barWhenAsked || look > 2000 ? IDYES : 0;
      });

  ASSERT_EQ(controller.OpenProgressWindow(parent, &loader, &image), 1);
  // Programming has begun: the worker waits at the second chunk.
  PumpMessagesUntil([&] { return SendDlgItemMessageW(Progress(), IDC_STATUS_LIST, LB_GETCOUNT, 0, 0) == 2; });
  PostMessageW(Progress(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  PumpMessagesUntil([&] { return !IsWindow(Progress()); });
  EXPECT_EQ(loader.abortRequested.load(), 1u);
  gate.Open();  // the worker, held at the next chunk, finds the abort
  RunToTheEnd();

  ASSERT_EQ(boxes.seen.size(), 1u);
  const SeenBox& question = boxes.seen[0];
  EXPECT_EQ(question.caption, L"Update information");
  EXPECT_EQ(question.text, UiString(IDS_CONFIRM_ABORT));
  EXPECT_EQ(barWhenAsked, 0);
  EXPECT_EQ(question.barPosition, 3);  // 41 % of the first bootloader step
  EXPECT_EQ(question.lines, (std::vector<std::wstring>{L"Start firmware update!", L"Program bootloader 1!"}));
  EXPECT_EQ(Requests(BLK_RESET), 1u);
  EXPECT_EQ(Requests(BLK_FINISH), 0u);
  EXPECT_TRUE(IsWindowEnabled(parent));
}

}  // namespace
