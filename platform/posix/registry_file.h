#pragma once
// Natively there is no registry: the current user's part is kept in a per-user file, so that the interface
// language lasts from run to run; the local machine's part stays empty (no driver entries to check).
// One line per value: key path, value name, type, data in hex, separated by tabs.

#include <iosfwd>
#include <string>

#include "app/memory_registry.h"

class FileRegistry final : public MemoryRegistry {
 public:
  // Loads the file if it exists; an empty path keeps everything in memory. Every value set is written back
  // (an empty key holds nothing worth keeping).
  explicit FileRegistry(std::string file);

  RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                          std::uint32_t size) override;

  // The file's text: Read takes its value lines into the current user's part; Write gives a line for every
  // value stored there. Load and save are these two over the file.
  void ReadText(std::istream& in);
  bool WriteText(std::ostream& out) const;

 private:
  void Load();
  void Save() const;

  std::string file_;
};

// ${XDG_CONFIG_HOME:-$HOME/.config}/ostrel/registry.txt, or empty without a home.
std::string UserRegistryFile();
