// The native settings file: its text read into a registry, written back and read again. Nothing may be lost:
// every line that is not blank is either a value or kept as it was; what one save writes, the next load gives
// back with the same values and kept lines, and the text settles: saving what was loaded changes nothing.
//
// Input: the file's text, as it is.

#include <cctype>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "app/trace.h"
#include "fuzz/fuzz_input.h"
#include "platform/posix/registry_file.h"

namespace {
std::string Written(const FileRegistry& registry) {
  std::ostringstream out;
  FUZZ_CHECK(registry.WriteText(out));
  return out.str();
}

// The lines that carry something: what getline gives, less those empty once a final CR is dropped.
std::size_t LinesWithContent(const std::string& text) {
  std::size_t count = 0;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) ++count;
  }
  return count;
}

std::string Folded(const std::string& text) {
  std::string folded = text;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return folded;
}

// The same values, with key paths and value names compared as the registry compares them: a key keeps the
// spelling of the line that made it first, and the kept lines come first in what is written.
bool SameValues(const FileRegistry& a, const FileRegistry& b) {
  const auto x = a.Values(RegistryRoot::CurrentUser);
  const auto y = b.Values(RegistryRoot::CurrentUser);
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (Folded(x[i].path) != Folded(y[i].path) || Folded(x[i].name) != Folded(y[i].name) ||
        x[i].value.type != y[i].value.type || x[i].value.data != y[i].value.data) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  StartTrace(nullptr);  // no trace: printing would cost more than the run itself
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  FileRegistry loaded("");  // no file: everything stays in memory
  std::istringstream in(text);
  loaded.ReadText(in);
  FUZZ_CHECK(loaded.KeptLines().size() + loaded.Values(RegistryRoot::CurrentUser).size() == LinesWithContent(text));
  const std::string saved = Written(loaded);

  FileRegistry reloaded("");
  std::istringstream again(saved);
  reloaded.ReadText(again);
  FUZZ_CHECK(SameValues(reloaded, loaded));
  FUZZ_CHECK(reloaded.KeptLines() == loaded.KeptLines());

  // From the second save on the text stays the same (the first may still respell a key, see SameValues).
  const std::string savedAgain = Written(reloaded);
  FileRegistry third("");
  std::istringstream onceMore(savedAgain);
  third.ReadText(onceMore);
  FUZZ_CHECK(Written(third) == savedAgain);
  return 0;
}
