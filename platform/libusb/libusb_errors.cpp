#include "platform/libusb/libusb_errors.h"

#include <libusb.h>

std::uint32_t UsbErrorFromLibusb(int libusbError) {
  switch (libusbError) {
    case LIBUSB_SUCCESS:
      return 0;
    case LIBUSB_ERROR_TIMEOUT:
      return USB_ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_NO_DEVICE:
      return USB_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_ERROR_INTERRUPTED:
      return USB_ERROR_OPERATION_ABORTED;
    case LIBUSB_ERROR_ACCESS:
      return USB_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_BUSY:
      return USB_ERROR_BUSY;
    case LIBUSB_ERROR_NOT_FOUND:
      return USB_ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM:
      return USB_ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:
      return USB_ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED:
      return USB_ERROR_NOT_SUPPORTED;
    default:  // IO, PIPE, OVERFLOW, OTHER and anything a later libusb adds
      return USB_ERROR_GEN_FAILURE;
  }
}

std::uint32_t UsbErrorFromTransferStatus(int transferStatus) {
  switch (transferStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
      return 0;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return USB_ERROR_SEM_TIMEOUT;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return USB_ERROR_DEVICE_NOT_CONNECTED;
    case LIBUSB_TRANSFER_CANCELLED:
      return USB_ERROR_OPERATION_ABORTED;
    default:  // ERROR, STALL, OVERFLOW
      return USB_ERROR_GEN_FAILURE;
  }
}
