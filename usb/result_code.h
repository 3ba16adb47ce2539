#pragma once
// Results of the device-link operations; also carried in the posted update notification.

#include <cstdint>

using ResultCode = std::int32_t;

inline constexpr ResultCode FWL_OK = 0;                   // success, or a block acknowledged
inline constexpr ResultCode FWL_DONE = 1;                 // a pass handled the image's last block (never posted)
inline constexpr ResultCode FWL_ERR_NOT_FOUND = 3;        // no unit found, or it did not open
inline constexpr ResultCode FWL_ERR_COMPARE = 5;          // read-back address, length or data differ
inline constexpr ResultCode FWL_IN_BOOTLOADER = 6;        // the unit answered the mode query as its bootloader
inline constexpr ResultCode FWL_ERR_APP_MODE = 7;         // the unit runs its application, or ignores the probe
inline constexpr ResultCode FWL_STARTED = 8;              // a worker was started; the result follows by notification
inline constexpr ResultCode FWL_BUSY = 9;                 // an update is already running
inline constexpr ResultCode FWL_PROGRESS = 9;             // posted by a running worker: progress, not a failure
inline constexpr ResultCode FWL_ABORTED = 10;             // the user cancelled
inline constexpr ResultCode FWL_ERR_FAILED = 11;          // any other failure
inline constexpr ResultCode FWL_ERR_NEWER_FIRMWARE = 12;  // refused by the update's start: unit has newer firmware
inline constexpr ResultCode FWL_ERR_WRONG_DEVICE = 13;    // refused by the update's start: hardware out of range

// The posted message that carries results and progress from the loader to the progress window.
inline constexpr std::uint32_t WM_UPDATE_NOTIFY = 0x8000;
