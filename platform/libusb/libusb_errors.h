#pragma once
// The one place where libusb's outcomes become the system error codes of the USB seam. Every failure of the
// libusb backend passes through here, so the device link and the front ends see Windows-numbered codes only.
//
//   libusb error / transfer status          code (usb_platform.h, or below)
//   SUCCESS / COMPLETED                      0
//   ERROR_TIMEOUT / TIMED_OUT                WIN_ERROR_SEM_TIMEOUT (121)
//   ERROR_NO_DEVICE / NO_DEVICE              WIN_ERROR_DEVICE_NOT_CONNECTED (1167)
//   ERROR_INTERRUPTED / CANCELLED            WIN_ERROR_OPERATION_ABORTED (995)
//   ERROR_ACCESS                             WIN_ERROR_ACCESS_DENIED (5): no permission on the device node
//   ERROR_BUSY                               WIN_ERROR_BUSY (170): another program holds the interface
//   ERROR_NOT_FOUND                          WIN_ERROR_FILE_NOT_FOUND (2)
//   ERROR_INVALID_PARAM                      WIN_ERROR_INVALID_PARAMETER (87)
//   ERROR_NO_MEM                             WIN_ERROR_NOT_ENOUGH_MEMORY (8)
//   ERROR_NOT_SUPPORTED                      WIN_ERROR_NOT_SUPPORTED (50)
//   ERROR_IO, ERROR_PIPE / STALL, ERROR_OVERFLOW / OVERFLOW, ERROR_OTHER / ERROR, anything else
//                                            WIN_ERROR_GEN_FAILURE (31), as WinUSB reports a failed transfer

#include <cstdint>

#include "usb/usb_platform.h"

// A libusb_error value (0 or negative) as a seam code; 0 stays 0.
std::uint32_t UsbErrorFromLibusb(int libusbError);
// A libusb_transfer_status value as a seam code; LIBUSB_TRANSFER_COMPLETED gives 0.
std::uint32_t UsbErrorFromTransferStatus(int transferStatus);
