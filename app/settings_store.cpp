#include "app/settings_store.h"

#include <cstdio>

#include "app/registry.h"

namespace {
std::uint16_t g_uiLanguage = 0;  // 0: nothing read or written yet

struct SettingsKeyPath {
  char text[SETTINGS_KEY_PATH_SIZE];
  SettingsKeyPath() { std::snprintf(text, sizeof text, "software\\%s\\%s", SETTINGS_COMPANY, SETTINGS_PRODUCT); }
};
}  // namespace

std::uint16_t ReadUiLanguage() {
  if (g_uiLanguage != 0) return g_uiLanguage;

  const SettingsKeyPath path;
  RegistryKey key;
  if (key.Open(ActiveRegistry(), RegistryRoot::CurrentUser, path.text, REGISTRY_QUERY_VALUE) == REGISTRY_OK) {
    std::uint8_t data[4] = {};
    std::uint32_t size = sizeof data;
    std::uint32_t type = REGISTRY_TYPE_NONE;
    // Only a whole 32-bit value counts; a shorter one is of another size, like a longer one.
    if (key.QueryValue(SETTINGS_UI_LANGUAGE_VALUE, &type, data, &size) == REGISTRY_OK && type == REGISTRY_TYPE_DWORD &&
        size == sizeof data) {
      g_uiLanguage = static_cast<std::uint16_t>(data[0] | (data[1] << 8));  // the high 16 bits are ignored
    }
  }
  if (g_uiLanguage == 0) WriteUiLanguage(DEFAULT_UI_LANGUAGE);
  return g_uiLanguage;
}

void WriteUiLanguage(std::uint16_t languageId) {
  const SettingsKeyPath path;
  RegistryKey key;
  if (key.Create(ActiveRegistry(), RegistryRoot::CurrentUser, path.text, REGISTRY_ALL_ACCESS) == REGISTRY_OK) {
    // Widened to 32 bits with zeros, little-endian as REG_DWORD is.
    const std::uint8_t data[4] = {static_cast<std::uint8_t>(languageId), static_cast<std::uint8_t>(languageId >> 8), 0,
                                  0};
    key.SetValue(SETTINGS_UI_LANGUAGE_VALUE, REGISTRY_TYPE_DWORD, data, sizeof data);
  }
  g_uiLanguage = languageId;
}

void ResetUiLanguageCache() { g_uiLanguage = 0; }
