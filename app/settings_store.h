#pragma once
// The interface language, the one setting kept from run to run: "UI Language" (REG_DWORD) under the current
// user's key "software\ostrel\Velmora Communication System Software Update", cached once known. Only the
// user-interface thread calls it.

#include <cstdint>

inline constexpr std::uint16_t DEFAULT_UI_LANGUAGE = 1033;  // US English
inline constexpr const char SETTINGS_COMPANY[] = "ostrel";
inline constexpr const char SETTINGS_PRODUCT[] = "Velmora Communication System Software Update";
inline constexpr const char SETTINGS_UI_LANGUAGE_VALUE[] = "UI Language";
inline constexpr int SETTINGS_KEY_PATH_SIZE = 259;

class Registry;

// The process has one store, made at start-up on the program's registry; a new store knows nothing yet.
class SettingsStore {
 public:
  explicit SettingsStore(Registry& registry) : registry_(&registry) {}

  // The interface language; never 0. Reads the registry only while nothing is cached, and stores the default
  // when nothing usable is stored.
  std::uint16_t ReadUiLanguage();

  // Stores the language in the registry (not checked) and in the cache (always).
  void WriteUiLanguage(std::uint16_t languageId);

 private:
  Registry* registry_;
  std::uint16_t uiLanguage_ = 0;  // 0: nothing read or written yet
};
