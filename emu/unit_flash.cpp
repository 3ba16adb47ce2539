#include "emu/unit_flash.h"

#include <algorithm>
#include <cstring>
#include <iterator>

UnitFlash::UnitFlash(std::uint32_t size, std::uint64_t seed)
    : bytes_(size, 0xFF), written_((size + 63) / 64, 0), random_(seed != 0 ? seed : 1) {}

void UnitFlash::Erase(std::uint32_t address, std::uint32_t length, bool unstableEdge) {
  const std::uint32_t sector = address - address % UNIT_SECTOR_SIZE;
  if (sector >= Size()) return;
  const std::uint32_t room = std::min(UNIT_SECTOR_SIZE, Size() - sector);
  length = std::min(length, room);
  std::memset(bytes_.data() + sector, 0xFF, length);
  ClearWritten(sector, length);
  SettleUnstable(sector, length);
  if (!unstableEdge) return;
  // The bits that were on their way to 1 at the edge of the erase.
  const std::uint32_t edge = std::min(UNSTABLE_ERASE_EDGE, room - length);
  for (std::uint32_t a = sector + length; a < sector + length + edge; ++a) {
    AddUnstable(a, static_cast<std::uint8_t>(~bytes_[a]));
    bytes_[a] = 0xFF;
  }
}

void UnitFlash::Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length, bool unstableNext,
                        std::uint8_t nextByte) {
  if (!Contains(address, length)) return;
  std::uint8_t* target = bytes_.data() + address;
  for (std::uint32_t i = 0; i < length; ++i) target[i] &= data[i];
  for (const BitFault& stuck : stuck_) {
    if (stuck.address - address < length) bytes_[stuck.address] |= stuck.mask;
  }
  // A bit that is cleared now is settled; one that stays 1 keeps its state.
  for (auto it = unstable_.lower_bound(address); it != unstable_.end() && it->first - address < length;) {
    it->second &= data[it->first - address];
    it = it->second == 0 ? unstable_.erase(it) : std::next(it);
  }
  MarkWritten(address, length);
  const std::uint32_t next = address + length;
  if (unstableNext && next < Size()) {
    AddUnstable(next, static_cast<std::uint8_t>(bytes_[next] & ~nextByte));
    bytes_[next] &= nextByte;
  }
}

void UnitFlash::Read(std::uint32_t address, std::uint8_t* out, std::uint32_t length) {
  if (!Contains(address, length)) return;
  std::memcpy(out, bytes_.data() + address, length);
  for (auto it = transient_.begin(); it != transient_.end();) {
    if (it->address - address < length) {
      out[it->address - address] ^= it->mask;
      it = transient_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = unstable_.lower_bound(address); it != unstable_.end() && it->first - address < length; ++it) {
    std::uint8_t& byte = out[it->first - address];
    byte = static_cast<std::uint8_t>((byte & ~it->second) | (RandomByte() & it->second));
  }
}

std::uint32_t UnitFlash::UnstableBytes(std::uint32_t address, std::uint32_t length) const {
  std::uint32_t count = 0;
  for (auto it = unstable_.lower_bound(address); it != unstable_.end() && it->first - address < length; ++it) ++count;
  return count;
}

void UnitFlash::SettleUnstable(std::uint32_t address, std::uint32_t length) {
  unstable_.erase(unstable_.lower_bound(address), unstable_.lower_bound(address + length));
}

void UnitFlash::AddUnstable(std::uint32_t address, std::uint8_t mask) {
  if (mask != 0) unstable_[address] |= mask;
}

// xorshift64: the same unit, seed and reads give the same bits, so a run can be repeated.
std::uint8_t UnitFlash::RandomByte() {
  random_ ^= random_ << 13;
  random_ ^= random_ >> 7;
  random_ ^= random_ << 17;
  return static_cast<std::uint8_t>(random_ >> 32);
}

void UnitFlash::Load(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  if (!Contains(address, length) || length == 0) return;
  std::memcpy(bytes_.data() + address, data, length);
  SettleUnstable(address, length);
}

void UnitFlash::AddStuckBit(std::uint32_t address, std::uint8_t mask) {
  if (address < Size()) stuck_.push_back({address, mask});
}

void UnitFlash::AddTransientError(std::uint32_t address, std::uint8_t mask) {
  if (address < Size()) transient_.push_back({address, mask});
}

void UnitFlash::MarkWritten(std::uint32_t address, std::uint32_t length) { SetWrittenBits(address, length, true); }

void UnitFlash::ClearWritten(std::uint32_t address, std::uint32_t length) { SetWrittenBits(address, length, false); }

// Whole 64-bit words where the range covers them, single bits at its ends.
void UnitFlash::SetWrittenBits(std::uint32_t address, std::uint32_t length, bool written) {
  if (address >= Size()) return;
  std::uint64_t a = address;
  const std::uint64_t end = std::min<std::uint64_t>(std::uint64_t{address} + length, Size());
  const auto setBit = [&](std::uint64_t bit) {
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    written_[bit / 64] = written ? written_[bit / 64] | mask : written_[bit / 64] & ~mask;
  };
  for (; a < end && a % 64 != 0; ++a) setBit(a);
  for (; a + 64 <= end; a += 64) written_[a / 64] = written ? ~std::uint64_t{0} : 0;
  for (; a < end; ++a) setBit(a);
}

bool UnitFlash::AllWritten(std::uint32_t address, std::uint32_t length) const {
  if (!Contains(address, length)) return false;
  std::uint64_t a = address;
  const std::uint64_t end = std::uint64_t{address} + length;
  for (; a < end && a % 64 != 0; ++a) {
    if (!(written_[a / 64] >> (a % 64) & 1)) return false;
  }
  for (; a + 64 <= end; a += 64) {
    if (written_[a / 64] != ~std::uint64_t{0}) return false;
  }
  for (; a < end; ++a) {
    if (!(written_[a / 64] >> (a % 64) & 1)) return false;
  }
  return true;
}
