#pragma once
// The unit's NOR flash: erased bytes read 0xFF, an erase works on a whole 64 KiB sector, a write can only
// clear bits (so a write over unerased flash reads back wrong). It also keeps which bytes were written since
// they were last erased or the mark was cleared, stuck bits that cannot be cleared, bits that read back
// wrong once, and unstable bits: where a cut stopped an erase or a program midway, the bits that were changing
// read back differently from read to read until the next erase or program settles them.

#include <cstdint>
#include <map>
#include <vector>

inline constexpr std::uint32_t UNIT_SECTOR_SIZE = 0x10000;
// Bytes at the edge of an erase cut midway whose bits are left unstable.
inline constexpr std::uint32_t UNSTABLE_ERASE_EDGE = 16;

class UnitFlash {
 public:
  explicit UnitFlash(std::uint32_t size, std::uint64_t seed = 1);

  std::uint32_t Size() const { return static_cast<std::uint32_t>(bytes_.size()); }
  bool Contains(std::uint32_t address, std::uint32_t length) const {
    return address <= Size() && length <= Size() - address;
  }
  // The bytes as they settle (an unstable bit as the value it was moving to).
  const std::uint8_t* Data() const { return bytes_.data(); }

  // Erases `length` bytes from the start of the sector that holds `address` (a whole sector normally; less
  // when the power fails during the erase). With `unstableEdge`, the bits that were still to be set in the
  // next UNSTABLE_ERASE_EDGE bytes become unstable.
  void Erase(std::uint32_t address, std::uint32_t length = UNIT_SECTOR_SIZE, bool unstableEdge = false);
  // Programs bytes the NOR way: each byte becomes old AND new, except for stuck bits, which stay set. A bit
  // that this clears is settled. With `unstableNext`, the bits that the byte after them was to clear become
  // unstable (the power failed while that byte was being programmed).
  void Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length, bool unstableNext = false,
               std::uint8_t nextByte = 0xFF);
  // Reads bytes; a pending transient error flips its bits in this read and is then gone; each unstable bit
  // reads 0 or 1 at random.
  void Read(std::uint32_t address, std::uint8_t* out, std::uint32_t length);
  // Sets bytes as they are (test set-up), without marking them written.
  void Load(std::uint32_t address, const std::uint8_t* data, std::uint32_t length);

  void AddStuckBit(std::uint32_t address, std::uint8_t mask);
  void AddTransientError(std::uint32_t address, std::uint8_t mask);

  void ClearWritten(std::uint32_t address, std::uint32_t length);
  bool AllWritten(std::uint32_t address, std::uint32_t length) const;

  // Bytes in the range that have unstable bits.
  std::uint32_t UnstableBytes(std::uint32_t address, std::uint32_t length) const;
  // The random state of the unstable reads, so that a look that must not change later reads can restore it.
  std::uint64_t RandomState() const { return random_; }
  void SetRandomState(std::uint64_t state) { random_ = state; }

 private:
  struct BitFault {
    std::uint32_t address;
    std::uint8_t mask;
  };
  void MarkWritten(std::uint32_t address, std::uint32_t length);
  void SetWrittenBits(std::uint32_t address, std::uint32_t length, bool written);
  void SettleUnstable(std::uint32_t address, std::uint32_t length);
  void AddUnstable(std::uint32_t address, std::uint8_t mask);
  std::uint8_t RandomByte();

  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint64_t> written_;  // one bit per byte
  std::vector<BitFault> stuck_;
  std::vector<BitFault> transient_;
  std::map<std::uint32_t, std::uint8_t> unstable_;  // address -> the bits that read at random
  std::uint64_t random_;
};
