// The device link of the real program: WinUSB, the system clock, posted window messages, own resources.

#include "app/clock.h"
#include "app/message_poster.h"
#include "image/image_resources.h"
#include "usb/device_link_context.h"
#include "usb/usb_platform.h"

DeviceLinkContext ProgramDeviceLinkContext() {
  return DeviceLinkContext{&ProgramUsbPlatform(), &SystemClock(), &PlatformMessagePoster(), &ProgramResources()};
}
