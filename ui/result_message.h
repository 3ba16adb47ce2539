#pragma once
// The message that tells the user why an update did not start, by its result code: its text, its caption and
// its icon. The window program shows it as a box; the terminal program prints its text.

#include <cstdint>

#include "app/windows_numbers.h"
#include "ui/resource_ids.h"
#include "usb/result_code.h"

struct ResultMessage {
  std::uint16_t text;
  std::uint16_t caption;
  std::uint32_t style;  // the box's icon
};

// False for FWL_OK, which has no message.
inline constexpr bool ResultMessageFor(ResultCode code, ResultMessage* message) {
  switch (code) {
    case FWL_OK:
      return false;
    case FWL_ERR_NOT_FOUND:
      *message = {IDS_DEVICE_NOT_FOUND, IDS_CAPTION_ERROR, WIN_MB_ICONWARNING};
      return true;
    case FWL_ERR_APP_MODE:
      *message = {IDS_DEVICE_IN_APP_MODE, IDS_CAPTION_ERROR, WIN_MB_ICONWARNING};
      return true;
    case FWL_BUSY:
      *message = {IDS_UPDATE_RUNNING, IDS_CAPTION_INFORMATION, WIN_MB_ICONINFORMATION};
      return true;
    case FWL_ERR_NEWER_FIRMWARE:
      *message = {IDS_NEWER_FIRMWARE, IDS_CAPTION_ERROR, WIN_MB_ICONWARNING};
      return true;
    case FWL_ERR_WRONG_DEVICE:
      *message = {IDS_WRONG_DEVICE, IDS_CAPTION_ERROR, WIN_MB_ICONWARNING};
      return true;
    default:
      *message = {IDS_FIRMWARE_DATA_INVALID, IDS_CAPTION_ERROR, WIN_MB_ICONERROR};
      return true;
  }
}
