#pragma once
// A capture written to a file: made (or emptied) when opened, closed with the object.

#include <cstdio>
#include <memory>
#include <string>

#include "usb/capture_output.h"

class FileCaptureOutput final : public CaptureOutput {
 public:
  // `path` in UTF-8. False, with the system's reason, when the file cannot be made.
  bool Open(const std::string& path, std::string* reason);
  bool Write(const std::uint8_t* bytes, std::size_t size) override;
  // Writes what the C library holds; false when that failed.
  bool Close();

 private:
  struct Closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
};
