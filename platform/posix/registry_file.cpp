#include "platform/posix/registry_file.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <istream>
#include <ostream>
#include <system_error>
#include <vector>

namespace {
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

bool Storable(const std::string& text) { return text.find_first_of("\t\r\n") == std::string::npos; }

std::string ToHex(const std::vector<std::uint8_t>& data) {
  std::string hex;
  char pair[3];
  for (std::uint8_t byte : data) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

bool FromHex(const std::string& hex, std::vector<std::uint8_t>& data) {
  if (hex.size() % 2 != 0) return false;
  data.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    char* end = nullptr;
    const std::string pair = hex.substr(i, 2);
    const unsigned long byte = std::strtoul(pair.c_str(), &end, 16);
    if (end != pair.c_str() + 2) return false;
    data.push_back(static_cast<std::uint8_t>(byte));
  }
  return true;
}
}  // namespace

FileRegistry::FileRegistry(std::string file) : file_(std::move(file)) { Load(); }

RegistryStatus FileRegistry::SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                                      std::uint32_t size) {
  const RegistryStatus status = MemoryRegistry::SetValue(key, name, type, data, size);
  if (status == REGISTRY_OK) Save();
  return status;
}

void FileRegistry::Load() {
  if (file_.empty()) return;
  std::ifstream in(file_);
  ReadText(in);
}

void FileRegistry::ReadText(std::istream& in) {
  std::string line;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = SplitFields(line);
    std::vector<std::uint8_t> data;
    char* end = nullptr;
    if (fields.size() != 4 || fields[2].empty()) continue;  // not a value line: ignored
    const unsigned long type = std::strtoul(fields[2].c_str(), &end, 10);
    if (*end != '\0' || !FromHex(fields[3], data)) continue;
    PutValue(RegistryRoot::CurrentUser, fields[0], fields[1], static_cast<std::uint32_t>(type), std::move(data));
  }
}

void FileRegistry::Save() const {
  if (file_.empty()) return;
  std::error_code error;
  const std::filesystem::path target(file_);
  if (target.has_parent_path()) std::filesystem::create_directories(target.parent_path(), error);

  // Written aside and renamed over the old file, so that a cut write never loses what was stored.
  const std::string temporary = file_ + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    if (!WriteText(out)) return;
  }
  std::filesystem::rename(temporary, target, error);
}

bool FileRegistry::WriteText(std::ostream& out) const {
  for (const Entry& entry : Values(RegistryRoot::CurrentUser)) {
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
