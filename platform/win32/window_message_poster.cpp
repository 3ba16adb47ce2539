#include <windows.h>

#include "app/message_poster.h"
#include "platform/program_context.h"

namespace {
class Win32MessagePoster final : public MessagePoster {
 public:
  bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override {
    return PostMessageW(static_cast<HWND>(window), message, wParam, lParam) != FALSE;
  }
};
}  // namespace

MessagePoster& PlatformMessagePoster() {
  static Win32MessagePoster poster;
  return poster;
}
