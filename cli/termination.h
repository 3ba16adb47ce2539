#pragma once
// A request from outside to end the program: SIGTERM or SIGHUP (a service manager stopping it, a closed
// terminal), on Windows the console's close, logoff or shutdown. The program ends on it as on a confirmed
// "Cancel": the block in flight is finished and the unit reset, never left in the middle of a block; an open
// question is answered by it (no to the question before the update, yes to the cancel question).

#include <atomic>

struct TerminationRequest {
  // Called from a signal handler: lock-free atomics only. The name (a literal) is the first request's.
  void Note(const char* name) {
    const char* none = nullptr;
    what.compare_exchange_strong(none, name);
    count.fetch_add(1);
  }
  bool Requested() const { return count.load() != 0; }
  const char* What() const {
    const char* name = what.load();
    return name != nullptr ? name : "?";
  }

  std::atomic<int> count{0};
  std::atomic<const char*> what{nullptr};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<const char*>::is_always_lock_free,
              "a signal handler may only touch lock-free atomics");

// Whether `request` (may be null) came.
inline bool TerminationRequested(const TerminationRequest* request) {
  return request != nullptr && request->Requested();
}
