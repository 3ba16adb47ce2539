#pragma once
// Whether the process runs elevated: with an administrator's full rights, after the elevation prompt (the driver
// repair starts the program so). An elevated process writes no file in the user's own folders: any process of
// that user may have planted a link or junction there first, and an elevated write through it would create,
// append to or replace a file of the planter's choosing. It keeps its other output (the debugger output).

class ProcessElevation {
 public:
  virtual ~ProcessElevation() = default;
  // True also when the system cannot tell. The program's context asks it once, for the trace.
  virtual bool IsElevated() = 0;
};
