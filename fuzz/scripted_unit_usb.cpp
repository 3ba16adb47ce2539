#include "fuzz/scripted_unit_usb.h"

#include <algorithm>
#include <cstring>

#include "emu/unit_answers.h"
#include "image/crc32.h"

namespace {
constexpr char kDevicePath[] = "\\\\?\\usb#vid_7a31&pid_acdc#fuzz#{c0850fa1-2b83-47db-bcb7-738ab1a8b498}";
constexpr std::uint32_t kDetailHeader = 4;  // the size field in front of the path, as on Windows
constexpr std::uint8_t kPipeIn = 0x81;
constexpr std::uint8_t kPipeOut = 0x01;
constexpr UsbDeviceIds kUnitIds = {0x7A31, 0xACDC};

// Any non-null tokens serve as the handles of the one device.
char g_listToken;
char g_fileToken;
char g_interfaceToken;

void Seal(UsbBlock& block) { block.BlockCRC = Crc32(&block, BLOCK_CRC_OFFSET); }

// What the mode byte's low three bits choose; half of the values give the sound answer, so that a run of
// random bytes still gets far into a step.
constexpr std::uint8_t kModeMask = 7;
constexpr std::uint8_t kModeFlipped = 4;
constexpr std::uint8_t kModeRaw = 5;
constexpr std::uint8_t kModeReadFails = 6;
constexpr std::uint8_t kModeWriteFails = 7;
constexpr std::uint8_t kResealBit = 0x08;
}  // namespace

ScriptedUnitUsb::ScriptedUnitUsb(FuzzInput& input, std::uint32_t flashBase, std::vector<std::uint8_t>& flash,
                                 bool present, bool applicationMode, ScriptedUnitCounters& counters)
    : input_(input),
      flashBase_(flashBase),
      flash_(flash),
      present_(present),
      applicationMode_(applicationMode),
      counters_(counters) {}

bool ScriptedUnitUsb::Fail(std::uint32_t error) {
  lastError_ = error;
  return false;
}

std::uint32_t ScriptedUnitUsb::ErrorCode(std::uint8_t choice) const {
  static constexpr std::uint32_t kErrors[] = {WIN_ERROR_SEM_TIMEOUT, WIN_ERROR_OPERATION_ABORTED, WIN_ERROR_GEN_FAILURE,
                                              WIN_ERROR_DEVICE_NOT_CONNECTED};
  return kErrors[choice % 4];
}

// ---- Enumeration and opening: one unit, always the same ----

UsbDeviceList ScriptedUnitUsb::GetClassDevs(const Guid&) {
  ++openHandles_;
  return &g_listToken;
}

bool ScriptedUnitUsb::EnumDeviceInterfaces(UsbDeviceList, const Guid& interfaceClass, std::uint32_t memberIndex,
                                           UsbInterfaceRef* iface) {
  if (!present_ || memberIndex != 0 || !(interfaceClass == TAVIK_INTERFACE_GUID)) {
    return Fail(WIN_ERROR_NO_MORE_ITEMS);
  }
  std::memset(iface, 0, sizeof *iface);
  return true;
}

bool ScriptedUnitUsb::GetDeviceInterfaceDetail(UsbDeviceList, const UsbInterfaceRef&, void* detail,
                                               std::uint32_t detailSize, std::uint32_t* requiredSize,
                                               UsbDeviceRef* device) {
  const std::uint32_t required = kDetailHeader + sizeof kDevicePath;
  if (requiredSize != nullptr) *requiredSize = required;
  if (detail == nullptr || detailSize < required) return Fail(WIN_ERROR_INSUFFICIENT_BUFFER);
  std::memset(detail, 0, kDetailHeader);
  std::memcpy(static_cast<char*>(detail) + kDetailHeader, kDevicePath, sizeof kDevicePath);
  if (device != nullptr) std::memset(device, 0, sizeof *device);
  return true;
}

const char* ScriptedUnitUsb::DetailDevicePath(const void* detail) {
  return static_cast<const char*>(detail) + kDetailHeader;
}

bool ScriptedUnitUsb::GetDeviceLocation(UsbDeviceList, const UsbDeviceRef&, void*, std::uint32_t, std::uint32_t*) {
  return Fail(WIN_ERROR_INVALID_PARAMETER);  // the loader never asks for a location
}

bool ScriptedUnitUsb::GetDeviceIds(UsbDeviceList, const UsbDeviceRef&, UsbDeviceIds* ids) {
  if (ids == nullptr) return Fail(WIN_ERROR_INVALID_PARAMETER);
  *ids = kUnitIds;
  return true;
}

void ScriptedUnitUsb::DestroyDeviceInfoList(UsbDeviceList) { --openHandles_; }

UsbFileHandle ScriptedUnitUsb::OpenDeviceFile(const char* path) {
  if (path == nullptr || std::strcmp(path, kDevicePath) != 0) {
    Fail(WIN_ERROR_FILE_NOT_FOUND);
    return UsbInvalidHandle();
  }
  ++openHandles_;
  return &g_fileToken;
}

bool ScriptedUnitUsb::CloseDeviceFile(UsbFileHandle) {
  --openHandles_;
  return true;
}

bool ScriptedUnitUsb::InitializeInterface(UsbFileHandle, UsbInterfaceHandle* handle) {
  ++openHandles_;
  *handle = &g_interfaceToken;
  return true;
}

bool ScriptedUnitUsb::QueryInterfaceSettings(UsbInterfaceHandle, std::uint8_t alternateIndex,
                                             UsbInterfaceDescriptor* descriptor) {
  if (alternateIndex != 0) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *descriptor = {9, 4, 0, 0, 2, 0xFF, 0, 0, 0};
  return true;
}

bool ScriptedUnitUsb::QueryPipe(UsbInterfaceHandle, std::uint8_t alternateIndex, std::uint8_t pipeIndex,
                                UsbPipeInformation* pipe) {
  if (alternateIndex != 0 || pipeIndex > 1) return Fail(WIN_ERROR_NO_MORE_ITEMS);
  *pipe = {USB_PIPE_BULK, pipeIndex == 0 ? kPipeIn : kPipeOut, 64, 0};
  return true;
}

bool ScriptedUnitUsb::SetPipePolicy(UsbInterfaceHandle, std::uint8_t, std::uint32_t, std::uint32_t, const void*) {
  return true;
}

bool ScriptedUnitUsb::AbortPipe(UsbInterfaceHandle, std::uint8_t) { return true; }

bool ScriptedUnitUsb::FreeInterface(UsbInterfaceHandle) {
  --openHandles_;
  return true;
}

// ---- The exchange ----

bool ScriptedUnitUsb::WritePipe(UsbInterfaceHandle, std::uint8_t pipeId, const std::uint8_t* buffer,
                                std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  ++counters_.exchanges;
  if (pipeId != kPipeOut || length != USB_BLOCK_SIZE) return Fail(WIN_ERROR_INVALID_PARAMETER);
  if (input_.Exhausted()) {
    plan_ = Plan::NoAnswer;  // the unit has gone quiet: every read from now on times out
    *transferred = length;
    return true;
  }

  const std::uint8_t mode = input_.Byte();
  if ((mode & kModeMask) == kModeWriteFails) {
    ++counters_.failedTransfers;
    *transferred = input_.Byte() % (length + 1);
    plan_ = Plan::NoAnswer;
    return Fail(ErrorCode(mode >> 4));
  }

  UsbBlock request;
  std::memcpy(&request, buffer, sizeof request);
  CarryOut(request);
  *transferred = length;

  switch (mode & kModeMask) {
    case kModeFlipped: {
      // One to eight bytes of the sound answer flipped; with the CRC sealed again they reach the checks behind
      // the CRC test: the block id, the copied-back texts and flags, and the read-back comparison.
      ++counters_.flippedAnswers;
      const int flips = 1 + ((mode >> 4) & 7);
      auto* bytes = reinterpret_cast<std::uint8_t*>(&answer_);
      for (int i = 0; i < flips; ++i) {
        const std::uint16_t at = input_.U16() % USB_BLOCK_SIZE;
        bytes[at] ^= input_.Byte() | 1;
      }
      if ((mode & kResealBit) != 0) Seal(answer_);
      plan_ = Plan::Flipped;
      break;
    }
    case kModeRaw:
      ++counters_.rawAnswers;
      input_.Bytes(&answer_, sizeof answer_);
      if ((mode & kResealBit) != 0) Seal(answer_);
      plan_ = Plan::Raw;
      break;
    case kModeReadFails:
      ++counters_.failedTransfers;
      if ((mode & kResealBit) != 0) {
        plan_ = Plan::ShortRead;  // the read succeeds with part of the sound answer
        shortLength_ = input_.Byte() % USB_BLOCK_SIZE;
      } else {
        plan_ = Plan::ReadFails;
        readError_ = ErrorCode(mode >> 4);
      }
      break;
    default:
      ++counters_.soundAnswers;
      plan_ = Plan::Sound;
      break;
  }
  return true;
}

bool ScriptedUnitUsb::ReadPipe(UsbInterfaceHandle, std::uint8_t pipeId, std::uint8_t* buffer, std::uint32_t length,
                               std::uint32_t* transferred) {
  *transferred = 0;
  if (pipeId != kPipeIn) return Fail(WIN_ERROR_INVALID_PARAMETER);
  const Plan plan = plan_;
  plan_ = Plan::NoAnswer;  // one answer per request
  switch (plan) {
    case Plan::NoAnswer:
      return Fail(WIN_ERROR_SEM_TIMEOUT);
    case Plan::ReadFails:
      return Fail(readError_);
    case Plan::ShortRead: {
      const std::uint32_t count = shortLength_ < length ? shortLength_ : length;
      std::memcpy(buffer, &answer_, count);
      *transferred = count;
      return true;
    }
    default: {
      const std::uint32_t count = length < USB_BLOCK_SIZE ? length : static_cast<std::uint32_t>(USB_BLOCK_SIZE);
      std::memcpy(buffer, &answer_, count);
      *transferred = count;
      return true;
    }
  }
}

void ScriptedUnitUsb::EraseRange(std::uint32_t address, std::uint32_t length) {
  // The range [address, address + length) of the 32-bit address space, against the window.
  const std::uint64_t size = flash_.size();
  const std::uint64_t start = static_cast<std::uint32_t>(address - flashBase_);
  const std::uint64_t end = start + length;
  if (start < size) std::memset(flash_.data() + start, 0xFF, static_cast<std::size_t>(std::min(end, size) - start));
  if (end > (std::uint64_t{1} << 32)) {  // wraps round into the window's start
    std::memset(flash_.data(), 0xFF, static_cast<std::size_t>(std::min(end - (std::uint64_t{1} << 32), size)));
  }
}

std::uint8_t ScriptedUnitUsb::FlashByte(std::uint32_t address) const {
  const std::uint32_t index = address - flashBase_;  // wraps like the loader's own address arithmetic
  return index < flash_.size() ? flash_[index] : 0xFF;
}

void ScriptedUnitUsb::CarryOut(const UsbBlock& request) {
  std::memset(&answer_, 0, sizeof answer_);
  answer_.BlockID = BLK_ACK;
  answer_.BlockAddress = request.BlockAddress;
  answer_.BlockLength = request.BlockLength;
  const std::uint32_t length = request.BlockLength;

  const bool erase = request.BlockID == BLK_ERASE;
  if (erase && lastWasErase_ && lastEraseAddress_ == request.BlockAddress) ++counters_.repeatedErases;
  if (erase) {
    lastWasErase_ = true;
    lastEraseAddress_ = request.BlockAddress;
  } else if (request.BlockID != BLK_WRITE && request.BlockID != BLK_READ) {
    lastWasErase_ = false;
  }

  const BlockRequest* kind = FindBlockRequest(request.BlockID);
  if (kind == nullptr) {
    answer_.BlockID = BLK_NAK;
    Seal(answer_);
    return;
  }
  switch (kind->action) {
    case UnitAction::EraseSector:
      EraseRange(request.BlockAddress, length);
      break;
    case UnitAction::Program:
      ProgramBlock(request, length);
      break;
    case UnitAction::ReadBack:
      ReadBlock(request, length);
      break;
    default:  // the scripted unit keeps no image sessions and does not restart
      break;
  }
  switch (kind->answer) {
    case AnswerData::ModeNak:
      if (!applicationMode_) answer_.BlockID = BLK_NAK;
      break;
    case AnswerData::Versions:
      PutVersions(answer_, "001.005.010", "001.005.007");
      break;
    case AnswerData::SlotFlags:
      PutSlotFlags(answer_, {true, true, true});
      break;
    case AnswerData::HardwareId:
      PutHardwareId(answer_, 6);
      break;
    default:
      break;
  }
  Seal(answer_);
}

void ScriptedUnitUsb::ProgramBlock(const UsbBlock& request, std::uint32_t length) {
  const std::uint32_t count = length < BLOCK_DATA_SIZE ? length : static_cast<std::uint32_t>(BLOCK_DATA_SIZE);
  const std::uint32_t start = request.BlockAddress - flashBase_;
  if (start < flash_.size() && flash_.size() - start >= count) {
    // The usual case, inside the window: eight bytes at a time.
    std::uint8_t* to = flash_.data() + start;
    std::uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
      std::uint64_t stored;
      std::uint64_t written;
      std::memcpy(&stored, to + i, 8);
      std::memcpy(&written, request.BlockData + i, 8);
      stored &= written;
      std::memcpy(to + i, &stored, 8);
    }
    for (; i < count; ++i) to[i] &= request.BlockData[i];
  } else {
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint32_t index = start + i;
      if (index < flash_.size()) flash_[index] &= request.BlockData[i];
    }
  }
}

void ScriptedUnitUsb::ReadBlock(const UsbBlock& request, std::uint32_t length) {
  const std::uint32_t count = length < BLOCK_DATA_SIZE ? length : static_cast<std::uint32_t>(BLOCK_DATA_SIZE);
  const std::uint32_t index = request.BlockAddress - flashBase_;
  if (index < flash_.size() && flash_.size() - index >= count) {
    std::memcpy(answer_.BlockData, flash_.data() + index, count);  // the usual case: inside the window
  } else {
    for (std::uint32_t i = 0; i < count; ++i) answer_.BlockData[i] = FlashByte(request.BlockAddress + i);
  }
}
