#include "support/lockstep_poster.h"

#include <chrono>

bool LockstepPoster::Post(WindowRef window, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back({window, message, wParam, lParam});
  const std::uint64_t ticket = ++posted_;
  changed_.notify_all();
  changed_.wait(lock, [&] { return released_ || handled_ >= ticket; });
  return true;
}

std::optional<PostedMessage> LockstepPoster::Take(unsigned limitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, std::chrono::milliseconds(limitMs), [&] { return !queue_.empty(); })) {
    return std::nullopt;
  }
  PostedMessage m = queue_.front();
  queue_.pop_front();
  return m;
}

std::optional<PostedMessage> LockstepPoster::TryTake() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (queue_.empty()) return std::nullopt;
  PostedMessage m = queue_.front();
  queue_.pop_front();
  return m;
}

void LockstepPoster::Done() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++handled_;
  changed_.notify_all();
}

void LockstepPoster::Release() {
  std::lock_guard<std::mutex> lock(mutex_);
  released_ = true;
  changed_.notify_all();
}

std::size_t LockstepPoster::Posted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return posted_;
}
