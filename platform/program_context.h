#pragma once
// The program's own platform parts, one object each for the life of the process, defined by each platform
// layer (platform/win32, platform/posix). Start-up gathers them into the PlatformContext; only start-up and
// the tests of the platform layers name them.

#include "app/platform_context.h"

class MessagePoster;
class ProcessElevation;
class ProgressWindowView;
class Registry;
class RegistryCheckPlatform;
class TraceSink;
class UnitLocks;
class UsbPlatform;

// The parts a program puts in place of the platform's own (null: the platform's). A program builds its context
// once, with the parts it needs, and does not change it afterwards.
struct ProgramParts {
  UsbPlatform* usb = nullptr;             // a demo's emulated bus; the terminal program's libusb
  MessagePoster* poster = nullptr;        // the terminal program's queue
  UnitLocks* unitLocks = nullptr;         // a demo's own locks (its units are not the machine's)
  bool withoutWindows = false;            // no progress window: the terminal program shows its own
  ProcessElevation* elevation = nullptr;  // the tests' answer to "does the process run elevated?"
};

// The program's context: every part below, the system clock and the program's own resources, with `parts` in
// place of the platform's.
PlatformContext ProgramContext(const ProgramParts& parts = {});

// The Win32 registry; natively a registry whose current-user part is kept in a per-user file.
Registry& PlatformRegistry();
// The token model, the program's path and arguments, the elevated start and early message boxes.
RegistryCheckPlatform& PlatformRegistryCheck();
// SetupAPI + WinUSB on Windows; natively a USB platform that finds no unit.
UsbPlatform& PlatformUsb();
// Whether the process runs elevated (the token's elevation on Windows; natively never).
ProcessElevation& PlatformElevation();
// The debugger output and the user's trace file on Windows, the debugger output alone in a process that runs
// elevated (app/process_elevation.h); standard error elsewhere.
TraceSink& PlatformTraceSink(ProcessElevation& elevation);
// PostMessageW on Windows; natively a process-wide message queue.
MessagePoster& PlatformMessagePoster();
// The progress window (the Win32 dialog); natively none can be created.
ProgressWindowView& PlatformProgressView();
