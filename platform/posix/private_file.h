#pragma once
// A small file of the current user's own (the settings file), replaced whole: written into a fresh temporary
// file beside it (mkstemp: a new name, mode 0600, never a file or link that was there before), flushed to the
// disk, then renamed over the old file. A write that fails or is cut leaves the old file as it was. Folders
// missing on the way are made 0700; folders that exist are left as they are.

#include <string>
#include <string_view>

// Replaces the file at `path` with `bytes`; false with the system's reason in `reason` (may be null).
bool ReplacePrivateFile(const std::string& path, std::string_view bytes, std::string* reason);
