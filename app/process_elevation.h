#pragma once
// Whether the process runs elevated: with an administrator's full rights, after the elevation prompt (the driver
// repair starts the program so). An elevated process writes no file in the user's own folders: any process of
// that user may have planted a link or junction there first, and an elevated write through it would create,
// append to or replace a file of the planter's choosing. It keeps its other output (the debugger output).

class ProcessElevation {
 public:
  virtual ~ProcessElevation() = default;
  // Asked once, when the program's context is made; true also when the system cannot tell.
  virtual bool IsElevated() = 0;
};
