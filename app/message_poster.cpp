#include "app/message_poster.h"

bool PostedMessageQueue::Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> lock(mutex_);
  queue_.push_back({window, message, wParam, lParam});
  return true;
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
