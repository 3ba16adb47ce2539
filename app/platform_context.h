#pragma once
// Every part of the platform that the program reaches, in one place: made once at start-up (the program's own
// parts on Windows, the native stand-ins elsewhere, the emulated unit in the demo, fakes in the tests) and
// handed to whoever needs a part. Nothing below reaches the platform any other way.

#include "usb/device_link_context.h"

class Clock;
class KeepAwake;
class MessagePoster;
class ProcessElevation;
class ProgressWindowView;
class Registry;
class RegistryCheckPlatform;
class ResourceLoader;
class TraceSink;
class UnitLocks;
class UpdateCaptures;
class UsbCapture;
class UsbPlatform;

struct PlatformContext {
  Clock* clock = nullptr;
  UsbPlatform* usb = nullptr;
  Registry* registry = nullptr;                    // the current user's settings and the driver's entries
  RegistryCheckPlatform* registryCheck = nullptr;  // token, own path and arguments, elevation, early boxes
  ResourceLoader* resources = nullptr;             // the embedded images
  TraceSink* trace = nullptr;
  MessagePoster* poster = nullptr;             // how the worker reaches the progress window
  ProgressWindowView* progressView = nullptr;  // the progress window's view
  KeepAwake* keepAwake = nullptr;              // keeps the PC awake while the unit is written; null: none
  UnitLocks* unitLocks = nullptr;              // one process per unit while it is updated; null: not locked
  ProcessElevation* elevation = nullptr;       // whether the process runs elevated; `trace` follows its answer
  UsbCapture* capture = nullptr;               // the USB capture of the device link; null: none
  UpdateCaptures* updateCaptures = nullptr;    // the window program's capture file of each update (its `capture`)

  // The part that the device link runs on.
  DeviceLinkContext DeviceLink() const { return DeviceLinkContext{usb, clock, poster, resources, capture}; }
};
