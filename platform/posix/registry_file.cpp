#include "platform/posix/registry_file.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <system_error>
#include <vector>

#include "app/trace.h"
#include "platform/posix/private_file.h"
#include "platform/program_context.h"

namespace {
constexpr std::size_t kQuotedLength = 40;  // of a field quoted in a message

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == '\t') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

// A key path or value name that a line can hold.
bool Storable(const std::string& text) { return text.find_first_of("\t\r\n") == std::string::npos; }

// A field as a message shows it: in quotes, control bytes as \xNN, cut after kQuotedLength bytes.
std::string Quoted(const std::string& field) {
  std::string quoted = "\"";
  for (std::size_t i = 0; i < field.size() && i < kQuotedLength; ++i) {
    const auto c = static_cast<unsigned char>(field[i]);
    if (c < 0x20 || c == 0x7F) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
      quoted += escaped;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  return quoted + (field.size() > kQuotedLength ? "...\"" : "\"");
}

// The type: decimal digits only, no sign or blank, at most 4294967295.
bool ParseType(const std::string& text, std::uint32_t& type) {
  if (text.empty() || text.size() > 10) return false;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  type = static_cast<std::uint32_t>(value);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The data: pairs of hex digits and nothing else (no sign, no blank).
bool ParseHex(const std::string& hex, std::vector<std::uint8_t>& data) {
  if (hex.size() % 2 != 0) return false;
  data.clear();
  data.reserve(hex.size() / 2);
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int high = HexDigit(hex[i]);
    const int low = HexDigit(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    data.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return true;
}

std::string ToHex(const std::vector<std::uint8_t>& data) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(data.size() * 2);
  for (std::uint8_t byte : data) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  return hex;
}

// Path and name as the registry compares them: letter case and empty parts of the path do not count.
std::string ValueKey(const std::string& path, const std::string& name) {
  const auto fold = [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); };
  std::string key;
  std::string part;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      if (!part.empty()) key += (key.empty() ? "" : "\\") + part;
      part.clear();
    } else {
      part += fold(path[i]);
    }
  }
  key += '\t';
  for (char c : name) key += fold(c);
  return key;
}
}  // namespace

FileRegistry::FileRegistry(std::string file) : file_(std::move(file)) { Load(); }

const char* FileRegistry::Name() const { return file_.empty() ? "(in memory)" : file_.c_str(); }

RegistryStatus FileRegistry::CreateKey(RegistryHandle parent, const char* path, std::uint32_t access,
                                       RegistryHandle* key) {
  if (path != nullptr && !Storable(path)) return WIN_ERROR_ACCESS_DENIED;
  return MemoryRegistry::CreateKey(parent, path, access, key);
}

RegistryStatus FileRegistry::SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                                      std::uint32_t size) {
  if (name != nullptr && !Storable(name)) return WIN_ERROR_ACCESS_DENIED;
  const RegistryStatus status = MemoryRegistry::SetValue(key, name, type, data, size);
  if (status != WIN_ERROR_SUCCESS) return status;
  return Save() ? WIN_ERROR_SUCCESS : WIN_ERROR_ACCESS_DENIED;
}

void FileRegistry::Load() {
  if (file_.empty()) return;
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(file_, error);
  if (!std::filesystem::exists(status)) return;  // nothing stored yet
  std::ifstream in(file_);
  if (std::filesystem::is_regular_file(status) && in) {
    ReadText(in);
    if (!in.bad()) return;
  }
  unreadable_ = true;
  Trace("Settings file %s could not be read; it is left as it is and no setting is saved in this run", Name());
}

void FileRegistry::Keep(std::size_t number, const std::string& text, const std::string& why) {
  Trace("Settings file %s, line %zu: %s; the line is not used and stays in the file", Name(), number, why.c_str());
  kept_.push_back(KeptLine{number, text});
}

void FileRegistry::ReadText(std::istream& in) {
  std::string raw;
  std::size_t number = 0;
  while (std::getline(in, raw)) {
    ++number;
    std::string line = raw;
    if (!line.empty() && line.back() == '\r') line.pop_back();  // a file saved with CR LF
    if (line.empty()) continue;                                 // a blank line holds nothing

    const std::vector<std::string> fields = SplitFields(line);
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
    if (fields.size() != 4) {
      Keep(number, raw, "it is not four fields separated by tabs (it has " + std::to_string(fields.size()) + ")");
    } else if (!Storable(fields[0]) || !Storable(fields[1])) {
      Keep(number, raw, "its key path or value name holds a carriage return");
    } else if (!ParseType(fields[2], type)) {
      Keep(number, raw, "its type " + Quoted(fields[2]) + " is not a decimal number from 0 to 4294967295");
    } else if (!ParseHex(fields[3], data)) {
      Keep(number, raw, "its data " + Quoted(fields[3]) + " is not pairs of hex digits");
    } else {
      // The later of two lines that set the same value counts; the earlier one is kept like a malformed one.
      const auto [at, added] = valueLines_.try_emplace(ValueKey(fields[0], fields[1]), KeptLine{number, raw});
      if (!added) {
        Keep(at->second.number, at->second.text,
             "line " + std::to_string(number) + " sets the same value again, and counts");
        at->second = KeptLine{number, raw};
      }
      PutValue(RegistryRoot::CurrentUser, fields[0], fields[1], type, std::move(data));
    }
  }
  std::stable_sort(kept_.begin(), kept_.end(),
                   [](const KeptLine& a, const KeptLine& b) { return a.number < b.number; });
}

std::vector<std::string> FileRegistry::KeptLines() const {
  std::vector<std::string> lines;
  for (const KeptLine& line : kept_) lines.push_back(line.text);
  return lines;
}

bool FileRegistry::Save() const {
  if (file_.empty()) return true;
  if (unreadable_) {
    Trace("Settings file %s was not written: it could not be read, and writing would lose what it holds", Name());
    return false;
  }
  // Written into a fresh private file beside it and renamed over it, so that a cut write never loses what was
  // stored and no other user reads or plants anything on the way.
  std::ostringstream text;
  if (!WriteText(text) || !ReplacePrivateFile(file_, text.str(), nullptr)) {
    Trace("Settings file %s could not be written; the setting holds for this run only", Name());
    return false;
  }
  return true;
}

bool FileRegistry::WriteText(std::ostream& out) const {
  for (const KeptLine& line : kept_) out << line.text << '\n';
  for (const Entry& entry : Values(RegistryRoot::CurrentUser)) {
    // Only a test's direct set-up can store a name that no line can hold; CreateKey and SetValue refuse them.
    if (!Storable(entry.path) || !Storable(entry.name)) continue;
    out << entry.path << '\t' << entry.name << '\t' << entry.value.type << '\t' << ToHex(entry.value.data) << '\n';
  }
  return static_cast<bool>(out.flush());
}

std::string UserRegistryFile() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config != nullptr && config[0] == '/') return std::string(config) + "/ostrel/registry.txt";
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return std::string(home) + "/.config/ostrel/registry.txt";
  return {};
}

Registry& PlatformRegistry() {
  static FileRegistry registry(UserRegistryFile());
  return registry;
}
