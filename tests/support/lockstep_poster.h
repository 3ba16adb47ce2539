#pragma once
// A message queue whose Post waits until the interface thread has handled the message, so that the loader's
// worker is never ahead of the notification being handled: the percentages that the handler reads are the
// ones of the moment of posting, and a test sees every bar position and status line exactly.
//
// The interface side takes a message, handles it, then calls Done. Release lets every waiting and later Post
// return at once (before a loader with a running worker is destroyed).

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "app/message_poster.h"

class LockstepPoster final : public MessagePoster {
 public:
  bool Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) override;

  // The next message; waits for one up to `limitMs` of real time (a guard against a hang, never reached by a
  // working update), nullopt if none came.
  std::optional<PostedMessage> Take(unsigned limitMs = 10000);
  std::optional<PostedMessage> TryTake();
  void Done();
  void Release();
  std::size_t Posted();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<PostedMessage> queue_;
  std::uint64_t posted_ = 0;
  std::uint64_t handled_ = 0;
  bool released_ = false;
};
