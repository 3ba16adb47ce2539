#pragma once
// KeepAwake on Windows: the thread's execution state asks the system to stay awake (the display may still
// turn off). The state belongs to the calling thread: Hold and Release are called on the same thread, the
// interface thread.

#include <windows.h>

#include "app/keep_awake.h"

class Win32KeepAwake final : public KeepAwake {
 public:
  // The system call, replaceable so that a test records what is asked.
  using SetExecutionStateFn = EXECUTION_STATE(WINAPI*)(EXECUTION_STATE);
  explicit Win32KeepAwake(SetExecutionStateFn setState = SetThreadExecutionState) : setState_(setState) {}
  // A hold never outlives its holder.
  ~Win32KeepAwake() override { Release(); }
  Win32KeepAwake(const Win32KeepAwake&) = delete;
  Win32KeepAwake& operator=(const Win32KeepAwake&) = delete;

  void Hold() override;
  void Release() override;

 private:
  SetExecutionStateFn setState_;
  bool held_ = false;
};
