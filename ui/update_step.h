#pragma once
// The steps of an update plan and the stages that the status list reports, with their tables.
// There are exactly two plans: 1 -> 4 -> 5 (bootloader-2 flag set) and 3 -> 2 -> 5 (flag clear).

#include <cstdint>

#include "image/image_resources.h"
#include "ui/resource_ids.h"

using UpdateStep = std::int32_t;
inline constexpr UpdateStep STEP_NONE = 0;  // no step chosen yet
inline constexpr UpdateStep STEP_BOOT1_FIRST = 1;
inline constexpr UpdateStep STEP_BOOT1_SECOND = 2;
inline constexpr UpdateStep STEP_BOOT2_FIRST = 3;
inline constexpr UpdateStep STEP_BOOT2_SECOND = 4;
inline constexpr UpdateStep STEP_APPLICATION = 5;

using UpdateStage = std::int32_t;
inline constexpr UpdateStage STAGE_NONE = 0;
inline constexpr UpdateStage STAGE_STARTED = 1;
inline constexpr UpdateStage STAGE_PROGRAMMING = 2;
inline constexpr UpdateStage STAGE_VERIFYING = 3;
inline constexpr UpdateStage STAGE_COMPLETED = 4;
inline constexpr UpdateStage STAGE_FAILED = 5;

inline constexpr std::uint32_t BOOTLOADER_1_ADDRESS = 0x20000;
inline constexpr std::uint32_t BOOTLOADER_2_ADDRESS = 0x80000;
inline constexpr std::uint32_t APPLICATION_ADDRESS = 0x100000;

// One row of the step table.
struct UpdateStepEntry {
  std::uint16_t resourceId;    // the image written
  std::uint32_t flashAddress;  // where its first byte goes
  std::uint16_t programText;   // status line when programming starts
  std::uint32_t barFrom;       // the step's span of the progress bar
  std::uint32_t barTo;
  UpdateStep nextStep;  // the timer identifier on success; STEP_NONE: the update is complete
};

// Indexed by step; row 0 stands for no step.
inline constexpr UpdateStepEntry UPDATE_STEP_TABLE[] = {
    {0, 0, 0, 0, 0, STEP_NONE},
    {IDR_BOOTLOADER_IMAGE, BOOTLOADER_1_ADDRESS, IDS_PROGRAM_BOOTLOADER1, 0, 10, STEP_BOOT2_SECOND},
    {IDR_BOOTLOADER_IMAGE, BOOTLOADER_1_ADDRESS, IDS_PROGRAM_BOOTLOADER1, 10, 20, STEP_APPLICATION},
    {IDR_BOOTLOADER_IMAGE, BOOTLOADER_2_ADDRESS, IDS_PROGRAM_BOOTLOADER2, 0, 10, STEP_BOOT1_SECOND},
    {IDR_BOOTLOADER_IMAGE, BOOTLOADER_2_ADDRESS, IDS_PROGRAM_BOOTLOADER2, 10, 20, STEP_APPLICATION},
    {IDR_APPLICATION_IMAGE, APPLICATION_ADDRESS, IDS_PROGRAM_APPLICATION, 20, 100, STEP_NONE},
};

inline constexpr bool IsUpdateStep(UpdateStep step) { return step >= STEP_BOOT1_FIRST && step <= STEP_APPLICATION; }

// The status line added when `stage` is entered during `step`; 0 when the stage adds none.
inline constexpr std::uint16_t StageLine(UpdateStage stage, UpdateStep step) {
  switch (stage) {
    case STAGE_STARTED:  // only the first step of a plan announces the start
      return (step == STEP_BOOT1_FIRST || step == STEP_BOOT2_FIRST) ? IDS_UPDATE_STARTED : 0;
    case STAGE_PROGRAMMING:
      return IsUpdateStep(step) ? UPDATE_STEP_TABLE[step].programText : IDS_PROGRAM_APPLICATION;
    case STAGE_VERIFYING:  // only the application step announces its verification
      return step == STEP_APPLICATION ? IDS_VERIFY_DEVICE : 0;
    case STAGE_COMPLETED:
      return IDS_UPDATE_COMPLETED;
    case STAGE_FAILED:
      return IDS_UPDATE_FAILED;
    default:
      return 0;
  }
}
