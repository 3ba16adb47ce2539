// MessageBoxFromIds with the real message box: a CBT hook on this thread sees each box as it is activated,
// records it and answers it, so no test waits for a person.

#include "platform/win32/message_box.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/resource_ids.h"
#include "ui/ui_language.h"

namespace {

struct SeenBox {
  std::wstring caption;
  std::wstring text;
  bool hasYes = false;
  bool hasNo = false;
  bool hasOk = false;
  int defaultButton = 0;
  bool topmost = false;
};

// Records every message box shown on this thread while it exists and presses `answer` in it. The hook sees a box
// when it is first activated, which can be before its initialisation ends; so it subclasses the box and posts
// itself a message that the box handles once it is whole.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(int answer) : answer_(answer) {
    current_ = this;
    hook_ = SetWindowsHookExW(WH_CBT, &BoxAnswerer::Hook, nullptr, GetCurrentThreadId());
    // A box that the hook misses is closed after a bound, and the test fails.
    timer_ = SetTimer(nullptr, 0, 5000, &BoxAnswerer::Rescue);
  }
  ~BoxAnswerer() {
    KillTimer(nullptr, timer_);
    UnhookWindowsHookEx(hook_);
    current_ = nullptr;
  }
  BoxAnswerer(const BoxAnswerer&) = delete;
  BoxAnswerer& operator=(const BoxAnswerer&) = delete;

  bool hooked() const { return hook_ != nullptr; }
  const std::vector<SeenBox>& boxes() const { return boxes_; }
  int rescued() const { return rescued_; }

 private:
  static constexpr UINT kInspect = WM_APP + 0x42;
  static constexpr wchar_t kOriginalProcedure[] = L"BoxAnswerer.OriginalProcedure";

  static std::wstring Text(HWND window) {
    wchar_t text[512];
    const int length = GetWindowTextW(window, text, 512);
    return std::wstring(text, static_cast<std::size_t>(length > 0 ? length : 0));
  }

  static bool IsDefault(HWND box, int button) {
    HWND control = GetDlgItem(box, button);
    return control != nullptr && (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
  }

  void Inspect(HWND box) {
    SeenBox seen;
    seen.caption = Text(box);
    seen.text = Text(GetDlgItem(box, 0xFFFF));  // the message box's text control
    seen.hasYes = GetDlgItem(box, IDYES) != nullptr;
    seen.hasNo = GetDlgItem(box, IDNO) != nullptr;
    seen.hasOk = GetDlgItem(box, IDOK) != nullptr;
    for (int button : {IDOK, IDYES, IDNO}) {
      if (IsDefault(box, button)) seen.defaultButton = button;
    }
    seen.topmost = (GetWindowLongW(box, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    boxes_.push_back(seen);
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer_, BN_CLICKED), 0);
  }

  static LRESULT CALLBACK BoxProcedure(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    auto original = reinterpret_cast<WNDPROC>(GetPropW(box, kOriginalProcedure));
    if (message == kInspect && current_ != nullptr) {
      current_->Inspect(box);
      return 0;
    }
    if (message == WM_NCDESTROY) {
      SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
      RemovePropW(box, kOriginalProcedure);
    }
    return CallWindowProcW(original, box, message, wParam, lParam);
  }

  static LRESULT CALLBACK Hook(int code, WPARAM wParam, LPARAM lParam) {
    HWND box = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_ACTIVATE && current_ != nullptr && GetPropW(box, kOriginalProcedure) == nullptr) {
      wchar_t className[32] = {};
      GetClassNameW(box, className, 32);
      if (std::wstring(className) == L"#32770") {
        const LONG_PTR original =
            SetWindowLongPtrW(box, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&BoxAnswerer::BoxProcedure));
        SetPropW(box, kOriginalProcedure, reinterpret_cast<HANDLE>(original));
        PostMessageW(box, kInspect, 0, 0);
      }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
  }

  static void CALLBACK Rescue(HWND, UINT, UINT_PTR, DWORD) {
    HWND box = GetActiveWindow();
    if (box == nullptr || current_ == nullptr) return;
    ++current_->rescued_;
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(current_->answer_, BN_CLICKED), 0);
  }

  static inline BoxAnswerer* current_ = nullptr;
  int answer_;
  HHOOK hook_ = nullptr;
  UINT_PTR timer_ = 0;
  int rescued_ = 0;
  std::vector<SeenBox> boxes_;
};

class MessageBoxFromIdsTest : public ::testing::Test {
 protected:
  void TearDown() override { SetUiLanguage(UILANG_ENGLISH); }
};

constexpr UINT kQuestion = MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2;

TEST_F(MessageBoxFromIdsTest, ShowsTextAndCaptionOfTheInterfaceLanguage) {
  SetUiLanguage(UILANG_GERMAN);
  BoxAnswerer answerer(IDOK);
  ASSERT_TRUE(answerer.hooked());
  EXPECT_EQ(MessageBoxFromIds(nullptr, IDS_UPDATE_FAILED, IDS_CAPTION_ERROR, MB_ICONERROR), IDOK);
  ASSERT_EQ(answerer.boxes().size(), 1u);
  EXPECT_EQ(answerer.boxes()[0].text, L"Firmware Aktualisierung fehlgeschlagen!");
  EXPECT_EQ(answerer.boxes()[0].caption, L"Update-Fehler");
  EXPECT_TRUE(answerer.boxes()[0].hasOk);
  EXPECT_EQ(answerer.rescued(), 0);
}

// The style reaches the box unchanged: its buttons, its default button, system modality. The answer is returned.
TEST_F(MessageBoxFromIdsTest, PassesTheStyleAndReturnsTheAnswer) {
  struct Case {
    UINT style;
    int answer;
    int defaultButton;
    bool topmost;
  };
  const Case cases[] = {
      {kQuestion | MB_SYSTEMMODAL, IDYES, IDNO, true},
      {kQuestion | MB_SYSTEMMODAL, IDNO, IDNO, true},
      {kQuestion, IDYES, IDNO, false},
      {MB_YESNO | MB_ICONQUESTION, IDNO, IDYES, false},
  };
  SetUiLanguage(UILANG_SPANISH);
  for (const Case& test : cases) {
    SCOPED_TRACE(testing::Message() << "style " << std::hex << test.style << ", answer " << std::dec << test.answer);
    BoxAnswerer answerer(test.answer);
    EXPECT_EQ(MessageBoxFromIds(nullptr, IDS_CONFIRM_QUIT, IDS_CAPTION_INFORMATION, test.style), test.answer);
    ASSERT_EQ(answerer.boxes().size(), 1u);
    const SeenBox& box = answerer.boxes()[0];
    EXPECT_EQ(box.text,
              L"La actualizaci\u00F3n de firmware se est\u00E1 ejecutando.\n"
              L"\u00BFDesea salir del programa de actualizaci\u00F3n?");
    EXPECT_EQ(box.caption, L"Actualizar informaci\u00F3n");
    EXPECT_TRUE(box.hasYes);
    EXPECT_TRUE(box.hasNo);
    EXPECT_EQ(box.defaultButton, test.defaultButton);
    EXPECT_EQ(box.topmost, test.topmost);
    EXPECT_EQ(answerer.rescued(), 0);
  }
}

TEST_F(MessageBoxFromIdsTest, AMissingTextShowsNoBox) {
  for (UINT textId : {0, IDS_FIRST - 1, IDS_LAST + 1}) {
    BoxAnswerer answerer(IDOK);
    EXPECT_EQ(MessageBoxFromIds(nullptr, textId, IDS_CAPTION_ERROR, MB_ICONERROR), 0) << "text " << textId;
    EXPECT_TRUE(answerer.boxes().empty());
  }
}

TEST_F(MessageBoxFromIdsTest, AMissingCaptionLeavesTheSystemsDefault) {
  SetUiLanguage(UILANG_ITALIAN);
  std::wstring defaultCaption;
  {
    BoxAnswerer answerer(IDOK);
    MessageBoxW(nullptr, L"x", nullptr, MB_OK);
    ASSERT_EQ(answerer.boxes().size(), 1u);
    defaultCaption = answerer.boxes()[0].caption;
  }
  ASSERT_FALSE(defaultCaption.empty());
  BoxAnswerer answerer(IDOK);
  EXPECT_EQ(MessageBoxFromIds(nullptr, IDS_IMAGE_CORRUPTED, IDS_LAST + 1, MB_ICONWARNING), IDOK);
  ASSERT_EQ(answerer.boxes().size(), 1u);
  EXPECT_EQ(answerer.boxes()[0].text, L"Firmware immagine \u00E8 danneggiato.");
  EXPECT_EQ(answerer.boxes()[0].caption, defaultCaption);
}

}  // namespace
