#include "app/message_poster.h"

bool PostedMessageQueue::Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back({window, message, wParam, lParam});
  }
  posted_.notify_all();
  return true;
}

std::optional<PostedMessage> PostedMessageQueue::WaitTake(std::chrono::milliseconds realTime) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!posted_.wait_for(lock, realTime, [this] { return !queue_.empty(); })) return std::nullopt;
  PostedMessage m = queue_.front();
  queue_.pop_front();
  return m;
}

std::optional<PostedMessage> PostedMessageQueue::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  PostedMessage m = queue_.front();
  queue_.pop_front();
  return m;
}

std::size_t PostedMessageQueue::Size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return queue_.size();
}
