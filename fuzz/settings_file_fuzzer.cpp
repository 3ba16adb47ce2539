// The native settings file: its text read into a registry and written back, and read again. What one save
// writes, the next load must give back: writing the reloaded registry gives the same text.
//
// Input: the file's text, as it is.

#include <cstdint>
#include <sstream>
#include <string>

#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "platform/posix/registry_file.h"

namespace {
std::string Written(const FileRegistry& registry) {
  std::ostringstream out;
  FUZZ_CHECK(registry.WriteText(out));
  return out.str();
}

void NoTrace(const char*) {}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SetTraceSink(NoTrace);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FileRegistry loaded("");  // no file: everything stays in memory
  std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
  loaded.ReadText(in);
  const std::string saved = Written(loaded);

  FileRegistry reloaded("");
  std::istringstream again(saved);
  reloaded.ReadText(again);
  FUZZ_CHECK(Written(reloaded) == saved);
  return 0;
}
