#pragma once
// The fuzzer's bytes, taken from the front piece by piece. Past the end every read gives zeros, so a target
// never needs to check the length before it reads; Exhausted() tells when the bytes have run out.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool Exhausted() const { return offset_ >= size_; }
  std::size_t Remaining() const { return size_ - offset_; }

  std::uint8_t Byte() { return offset_ < size_ ? data_[offset_++] : 0; }
  bool Bit() { return (Byte() & 1) != 0; }
  // Little-endian; the low part is taken first.
  std::uint16_t U16() {
    const std::uint16_t low = Byte();
    return static_cast<std::uint16_t>(low | Byte() << 8);
  }
  std::uint32_t U32() {
    const std::uint32_t low = U16();
    return low | static_cast<std::uint32_t>(U16()) << 16;
  }

  // Up to `count` bytes into `out`; the part past the end is zero. Returns how many came from the input.
  std::size_t Bytes(void* out, std::size_t count) {
    if (count == 0) return 0;
    const std::size_t taken = count < Remaining() ? count : Remaining();
    if (taken != 0) std::memcpy(out, data_ + offset_, taken);
    std::memset(static_cast<std::uint8_t*>(out) + taken, 0, count - taken);
    offset_ += taken;
    return taken;
  }

  // A text of at most `maxLength` bytes, ended by a NUL byte in the input or by the input's end.
  std::string Text(std::size_t maxLength) {
    std::string text;
    while (!Exhausted() && text.size() < maxLength) {
      const char c = static_cast<char>(data_[offset_++]);
      if (c == '\0') break;
      text += c;
    }
    return text;
  }

  // Everything that is left.
  std::string Rest() {
    std::string rest(reinterpret_cast<const char*>(data_ + offset_), Remaining());
    offset_ = size_;
    return rest;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

// Stops the run with a message when a property of the code under test does not hold: libFuzzer reports it
// as a crash and keeps the input.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)
