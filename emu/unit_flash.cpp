#include "emu/unit_flash.h"

#include <algorithm>
#include <cstring>

UnitFlash::UnitFlash(std::uint32_t size) : bytes_(size, 0xFF), written_((size + 63) / 64, 0) {}

void UnitFlash::Erase(std::uint32_t address, std::uint32_t length) {
  const std::uint32_t sector = address - address % UNIT_SECTOR_SIZE;
  if (sector >= Size()) return;
  length = std::min({length, UNIT_SECTOR_SIZE, Size() - sector});
  std::memset(bytes_.data() + sector, 0xFF, length);
  ClearWritten(sector, length);
}

void UnitFlash::Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  if (!Contains(address, length)) return;
  std::uint8_t* target = bytes_.data() + address;
  for (std::uint32_t i = 0; i < length; ++i) target[i] &= data[i];
  for (const BitFault& stuck : stuck_) {
    if (stuck.address - address < length) bytes_[stuck.address] |= stuck.mask;
  }
  MarkWritten(address, length);
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
}

void UnitFlash::Load(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
  if (!Contains(address, length) || length == 0) return;
  std::memcpy(bytes_.data() + address, data, length);
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
