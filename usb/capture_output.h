#pragma once
// Where a USB capture's bytes go: a file (capture_file.h), or in the tests and the benchmark a buffer or
// nothing at all. Written from the loader's threads, one capture's bytes in order, under the capture's lock.

#include <cstddef>
#include <cstdint>

class CaptureOutput {
 public:
  virtual ~CaptureOutput() = default;
  // Appends the bytes; false when they could not be written (the capture then stops writing).
  virtual bool Write(const std::uint8_t* bytes, std::size_t size) = 0;
};

// Takes the bytes and keeps none: the capture is formatted in full, nothing is stored (the benchmark).
class NullCaptureOutput final : public CaptureOutput {
 public:
  bool Write(const std::uint8_t*, std::size_t size) override {
    written += size;
    return true;
  }
  std::uint64_t written = 0;
};
