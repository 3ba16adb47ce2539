#include "emu/unit_slots.h"

#include <algorithm>
#include <cstring>

#include "emu/unit_flash.h"
#include "image/crc32.h"

SlotRange SlotRangeOf(UnitSlot slot, std::uint32_t flashSize) {
  switch (slot) {
    case UnitSlot::Bootloader1:
      return {UNIT_BOOTLOADER1_ADDRESS, std::min(UNIT_BOOTLOADER2_ADDRESS, flashSize)};
    case UnitSlot::Bootloader2:
      return {UNIT_BOOTLOADER2_ADDRESS, std::min(UNIT_APPLICATION_ADDRESS, flashSize)};
    case UnitSlot::Application:
      break;
  }
  return {UNIT_APPLICATION_ADDRESS, flashSize};
}

std::optional<UnitSlot> SlotAt(std::uint32_t address) {
  if (address == UNIT_APPLICATION_ADDRESS) return UnitSlot::Application;
  if (address == UNIT_BOOTLOADER1_ADDRESS) return UnitSlot::Bootloader1;
  if (address == UNIT_BOOTLOADER2_ADDRESS) return UnitSlot::Bootloader2;
  return std::nullopt;
}

std::uint32_t FlagWordAddress(UnitSlot slot) {
  return UNIT_FLAG_SECTOR + static_cast<std::uint32_t>(SlotIndex(slot)) * 4;
}

bool ReadFlagWord(UnitFlash& flash, UnitSlot slot) {
  std::uint32_t word = 0;
  std::uint8_t bytes[4] = {};
  flash.Read(FlagWordAddress(slot), bytes, sizeof bytes);
  std::memcpy(&word, bytes, sizeof word);
  return word == FLAG_WORD_SET;
}

bool SettledFlagWord(const UnitFlash& flash, UnitSlot slot) {
  const std::uint32_t address = FlagWordAddress(slot);
  if (!flash.Contains(address, 4) || flash.UnstableBytes(address, 4) != 0) return false;
  std::uint32_t word = 0;
  std::memcpy(&word, flash.Data() + address, sizeof word);
  return word == FLAG_WORD_SET;
}

std::uint32_t SealAddress(UnitSlot slot, std::uint32_t flashSize) {
  return SlotRangeOf(slot, flashSize).end - SEAL_SIZE;
}

bool CopyFitsBesideSeal(UnitSlot slot, std::uint32_t length, std::uint32_t flashSize) {
  const SlotRange range = SlotRangeOf(slot, flashSize);
  if (range.end < range.begin + UNIT_SECTOR_SIZE) return false;
  return length <= range.end - UNIT_SECTOR_SIZE - range.begin;
}

CopySeal MakeSeal(std::uint32_t length, std::uint32_t crc) { return {SEAL_MAGIC, length, crc, ~crc}; }

std::uint32_t ReadCopyCrc(UnitFlash& flash, UnitSlot slot, std::uint32_t length) {
  const std::uint32_t begin = SlotRangeOf(slot, flash.Size()).begin;
  std::uint8_t buffer[4096];
  std::uint32_t crc = 0;
  for (std::uint32_t done = 0; done < length;) {
    const std::uint32_t n = std::min<std::uint32_t>(sizeof buffer, length - done);
    flash.Read(begin + done, buffer, n);
    crc = Crc32Update(crc, buffer, n);
    done += n;
  }
  return crc;
}

bool CopyMatchesSeal(UnitFlash& flash, UnitSlot slot) {
  const SlotRange range = SlotRangeOf(slot, flash.Size());
  if (range.end < range.begin + UNIT_SECTOR_SIZE) return false;
  CopySeal seal;
  flash.Read(SealAddress(slot, flash.Size()), reinterpret_cast<std::uint8_t*>(&seal), sizeof seal);
  if (seal.magic != SEAL_MAGIC || seal.check != ~seal.crc) return false;
  if (!CopyFitsBesideSeal(slot, seal.length, flash.Size()) || seal.length == 0) return false;
  return ReadCopyCrc(flash, slot, seal.length) == seal.crc;
}
