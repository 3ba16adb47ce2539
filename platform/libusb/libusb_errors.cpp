#include "platform/libusb/libusb_errors.h"

#include <libusb.h>

std::uint32_t UsbErrorFromLibusb(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS:
      return 0;
    case LIBUSB_ERROR_TIMEOUT:
      return WIN_ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
      return WIN_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_INTERRUPTED:
      return WIN_ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_ACCESS:
      return WIN_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return WIN_ERROR_BUSY;
    case LIBUSB_ERROR_NOT_FOUND:
      return WIN_ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM:
      return WIN_ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
      return WIN_ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return WIN_ERROR_NOT_SUPPORTED;
    default:  // IO, PIPE, OVERFLOW, OTHER and anything a later libusb adds
      return WIN_ERROR_GEN_FAILURE;
  }
}

std::uint32_t UsbErrorFromTransferStatus(int transferStatus) {
  switch (transferStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
      return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return WIN_ERROR_SEM_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return WIN_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_TRANSFER_CANCELLED:
      return WIN_ERROR_OPERATION_ABORTED;
    default:  // ERROR, STALL, OVERFLOW
      return WIN_ERROR_GEN_FAILURE;
  }
}
