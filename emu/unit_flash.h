#pragma once
// The unit's NOR flash: erased bytes read 0xFF, an erase works on a whole 64 KiB sector, a write can only
// clear bits (so a write over unerased flash reads back wrong). It also keeps which bytes were written since
// they were last erased or the mark was cleared, stuck bits that cannot be cleared, and bits that read back
// wrong once.

#include <cstdint>
#include <vector>

inline constexpr std::uint32_t UNIT_SECTOR_SIZE = 0x10000;

class UnitFlash {
 public:
  explicit UnitFlash(std::uint32_t size);

  std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes_.size()); }
  bool Contains(std::uint32_t address, std::uint32_t length) const {
    return address <= Size() && length <= Size() - address;
  }
  const std::uint8_t* Data() const { return bytes_.data(); }

  // Erases `length` bytes from the start of the sector that holds `address` (a whole sector normally; less
  // when the power fails during the erase).
  void Erase(std::uint32_t address, std::uint32_t length = UNIT_SECTOR_SIZE);
  // Programs bytes the NOR way: each byte becomes old AND new, except for stuck bits, which stay set.
  void Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);
  // Reads bytes; a pending transient error flips its bits in this read and is then gone.
  void Read(std::uint32_t address, std::uint8_t* out, std::uint32_t length);
  // Sets bytes as they are (test set-up), without marking them written.
  void Load(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);

  void AddStuckBit(std::uint32_t address, std::uint8_t mask);
  void AddTransientError(std::uint32_t address, std::uint8_t mask);

  void ClearWritten(std::uint32_t address, std::uint32_t length);
  bool AllWritten(std::uint32_t address, std::uint32_t length) const;

 private:
  struct BitFault {
    std::uint32_t address;
    std::uint8_t mask;
  };
  void MarkWritten(std::uint32_t address, std::uint32_t length);
  void SetWrittenBits(std::uint32_t address, std::uint32_t length, bool written);

  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint64_t> written_;  // one bit per byte
  std::vector<BitFault> stuck_;
  std::vector<BitFault> transient_;
};
