#pragma once
// Where the emulated unit keeps its firmware: three slots (bootloader copy 1, copy 2, the application), the flag
// sector that holds the slots' valid flags when they live in flash, and the seal that FINISH writes beside a copy.
//
//   0x000000  boot stage (not writable)
//   0x010000  flag sector: one 32-bit word per slot (application, copy 1, copy 2); FLAG_WORD_SET means set,
//             anything else clear. Clearing programs the word to 0 (no erase); setting erases the sector and
//             programs all three words again.
//   0x020000  bootloader copy 1, up to 0x080000; its seal in the last 16 bytes of that range
//   0x080000  bootloader copy 2, up to 0x100000; its seal likewise
//   0x100000  application, up to the end of the flash; its seal likewise
//
// A seal is the copy's length and CRC-32, written when FINISH sets the copy's flag. It lies in the slot's last
// sector, apart from the flags and from the other copy's seal, so that no single erase can take both copies'
// seals, and a torn flag sector leaves the seals whole.

#include <cstdint>
#include <optional>

class UnitFlash;

// The three firmware slots, in the order of the flag bytes of the GET_FLAGS answer.
enum class UnitSlot { Application = 0, Bootloader1 = 1, Bootloader2 = 2 };
inline constexpr UnitSlot UNIT_SLOTS[] = {UnitSlot::Application, UnitSlot::Bootloader1, UnitSlot::Bootloader2};
inline constexpr UnitSlot UNIT_BOOT_COPIES[] = {UnitSlot::Bootloader1, UnitSlot::Bootloader2};
inline constexpr std::uint32_t UNIT_BOOTLOADER1_ADDRESS = 0x20000;
inline constexpr std::uint32_t UNIT_BOOTLOADER2_ADDRESS = 0x80000;
inline constexpr std::uint32_t UNIT_APPLICATION_ADDRESS = 0x100000;
inline constexpr std::uint32_t UNIT_FLAG_SECTOR = 0x10000;
inline constexpr std::uint32_t FLAG_WORD_SET = 0x5EA1F1A6;
inline constexpr std::uint32_t SEAL_MAGIC = 0x5EA15EA1;
inline constexpr std::uint32_t SEAL_SIZE = 16;

inline std::size_t SlotIndex(UnitSlot slot) { return static_cast<std::size_t>(slot); }

struct SlotRange {
  std::uint32_t begin;
  std::uint32_t end;
};
SlotRange SlotRangeOf(UnitSlot slot, std::uint32_t flashSize);
// The slot that starts at this address.
std::optional<UnitSlot> SlotAt(std::uint32_t address);

std::uint32_t FlagWordAddress(UnitSlot slot);
// The flag as the unit's firmware reads it now (an unstable bit reads at random).
bool ReadFlagWord(UnitFlash& flash, UnitSlot slot);
// The flag as it has settled: set only when the word is FLAG_WORD_SET and none of its bits is unstable.
bool SettledFlagWord(const UnitFlash& flash, UnitSlot slot);

struct CopySeal {
  std::uint32_t magic = 0;
  std::uint32_t length = 0;
  std::uint32_t crc = 0;
  std::uint32_t check = 0;  // ~crc
};
std::uint32_t SealAddress(UnitSlot slot, std::uint32_t flashSize);
// Whether a copy of this length leaves its slot's last sector, which holds the seal, free.
bool CopyFitsBesideSeal(UnitSlot slot, std::uint32_t length, std::uint32_t flashSize);
CopySeal MakeSeal(std::uint32_t length, std::uint32_t crc);
// The CRC-32 of the slot's first `length` bytes, as the unit reads them now.
std::uint32_t ReadCopyCrc(UnitFlash& flash, UnitSlot slot, std::uint32_t length);
// Whether the seal beside the copy is whole and the copy's content matches it, as the unit reads them now.
bool CopyMatchesSeal(UnitFlash& flash, UnitSlot slot);
