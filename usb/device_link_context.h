#pragma once
// The platform services the device link runs on. The real program wires the Win32 ones; tests and the
// demo wire the emulated unit and, for tests, a virtual clock and a message queue.

class UsbPlatform;
class Clock;
class MessagePoster;
class ResourceLoader;
class UsbCapture;

struct DeviceLinkContext {
  UsbPlatform* usb;
  Clock* clock;
  MessagePoster* poster;
  ResourceLoader* resources;
  UsbCapture* capture = nullptr;  // every opening and exchange of the unit, when set (usb/usb_capture.h)
};
