#pragma once
// The one way the update worker reaches a window: posting a message, never sending it.
// PostMessageW on Windows; a thread-safe queue natively (tests, a terminal front end).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

using WindowRef = void*;  // an HWND on Windows; any non-null token elsewhere

class MessagePoster {
 public:
  virtual ~MessagePoster() = default;
  virtual bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

struct PostedMessage {
  WindowRef window;
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

// A queue that another thread pumps.
class PostedMessageQueue final : public MessagePoster {
 public:
  bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;
  std::optional<PostedMessage> TryTake();
  // Waits up to `realTime` for a message (a worker's post wakes it at once); nullopt when none came.
  std::optional<PostedMessage> WaitTake(std::chrono::milliseconds realTime);
  std::size_t Size();

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<PostedMessage> queue_;
};
