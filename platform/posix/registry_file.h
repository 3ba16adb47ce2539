#pragma once
// Natively there is no registry: the current user's part is kept in a per-user file, so that the interface
// language lasts from run to run; the local machine's part stays empty (no driver entries to check).
//
// One line per value: key path, value name, type (decimal, 32 bits) and data (pairs of hex digits), separated
// by tabs; a line may end in CR LF. A line that is not such a value, and a value that a later line sets again,
// is reported in the trace with the file's name and the line's number, is not used, and is written back as it
// was, ahead of the values, whenever the file is saved: nothing written in the file is ever lost, and a kept
// line never overrides a value. Blank lines are dropped. The file is the user's own: mode 0600, in folders made
// 0700, replaced whole through a fresh temporary file (platform/posix/private_file.h).

#include <cstddef>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include "app/memory_registry.h"

class FileRegistry final : public MemoryRegistry {
 public:
  // Loads the file if it exists; an empty path keeps everything in memory. Every value set is written back
  // (an empty key holds nothing worth keeping).
  explicit FileRegistry(std::string file);

  // Key paths and value names that a line cannot hold (a tab, CR or LF in them) are refused with
  // WIN_ERROR_ACCESS_DENIED, so that every value stored can be saved. A value that cannot be written to the
  // file stays set for this run; the call then reports WIN_ERROR_ACCESS_DENIED and the trace says why.
  RegistryStatus CreateKey(RegistryHandle parent, const char* path, std::uint32_t access, RegistryHandle* key) override;
  RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                          std::uint32_t size) override;

  // The file's text: Read takes its value lines into the current user's part and keeps the other lines; Write
  // gives the kept lines, then a line for every value stored there. Load and save are these two over the file.
  void ReadText(std::istream& in);
  bool WriteText(std::ostream& out) const;

  // The lines read that are not used, as they were, in the file's order.
  std::vector<std::string> KeptLines() const;

 private:
  // A line of the file, as it was read.
  struct KeptLine {
    std::size_t number;
    std::string text;
  };

  void Load();
  bool Save() const;
  const char* Name() const;
  void Keep(std::size_t number, const std::string& text, const std::string& why);

  std::string file_;
  bool unreadable_ = false;  // the file exists but could not be read: it is never written over
  std::vector<KeptLine> kept_;
  std::map<std::string, KeptLine> valueLines_;  // by path and name as the registry compares them
};

// ${XDG_CONFIG_HOME:-$HOME/.config}/ostrel/registry.txt, or empty without a home.
std::string UserRegistryFile();
