#pragma once
// The emulated unit's own work for one request, as a short list of steps on its flash and flags, so that a power
// cut can land inside it: the steps before the cut are done, the step at the cut is done in part (an erase or a
// program up to a point; a flag kept outside the flash not at all), the steps after it not at all.

#include <array>
#include <cstddef>
#include <cstdint>

struct WorkStep {
  enum class Kind { Erase, Program, SetFlag };
  Kind kind = Kind::Erase;
  std::uint32_t address = 0;           // Erase: an address in the sector; Program: the first byte
  std::uint32_t length = 0;            // Program: bytes
  const std::uint8_t* data = nullptr;  // Program: the bytes (the request's or the plan's own)
  std::size_t slot = 0;                // SetFlag: the slot whose flag (kept outside the flash) is set
};

class WorkPlan {
 public:
  static constexpr std::size_t MAX_STEPS = 8;

  void Erase(std::uint32_t address) { Add({WorkStep::Kind::Erase, address, 0, nullptr, 0}); }
  void Program(std::uint32_t address, const std::uint8_t* data, std::uint32_t length) {
    Add({WorkStep::Kind::Program, address, length, data, 0});
  }
  void SetFlag(std::size_t slot) { Add({WorkStep::Kind::SetFlag, 0, 0, nullptr, slot}); }
  // Room for the bytes of a Program step that the plan keeps itself (a seal, the flag words), zeroed.
  std::uint8_t* Bytes(std::size_t count);

  std::size_t Size() const { return count_; }
  const WorkStep& operator[](std::size_t i) const { return steps_[i]; }

 private:
  void Add(const WorkStep& step) {
    if (count_ < MAX_STEPS) steps_[count_++] = step;
  }
  std::array<WorkStep, MAX_STEPS> steps_{};
  std::size_t count_ = 0;
  std::array<std::uint8_t, 64> bytes_{};
  std::size_t used_ = 0;
};

// Where `thousandths` of a plan of `steps` steps ends: the step at the cut and how far into it, in thousandths.
// At 1000 (all of it) the step is `steps`: every step is done.
struct WorkCut {
  std::size_t step;
  std::uint32_t into;
};
inline WorkCut CutPoint(std::size_t steps, std::uint32_t thousandths) {
  const std::uint64_t at = std::uint64_t{thousandths} * steps;
  return {static_cast<std::size_t>(at / 1000), static_cast<std::uint32_t>(at % 1000)};
}

inline std::uint8_t* WorkPlan::Bytes(std::size_t count) {
  if (used_ + count > bytes_.size()) return nullptr;
  std::uint8_t* p = bytes_.data() + used_;
  used_ += count;
  return p;
}
