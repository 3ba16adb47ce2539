#include "app/settings_store.h"

#include <cstdio>

#include "app/registry.h"

namespace {
struct SettingsKeyPath {
  char text[SETTINGS_KEY_PATH_SIZE];
  SettingsKeyPath() { std::snprintf(text, sizeof text, "software\\%s\\%s", SETTINGS_COMPANY, SETTINGS_PRODUCT); }
};
}  // namespace

std::uint16_t SettingsStore::ReadUiLanguage() {
  if (uiLanguage_ != 0) return uiLanguage_;

  const SettingsKeyPath path;
  RegistryKey key;
  if (key.Open(*registry_, RegistryRoot::CurrentUser, path.text, WIN_KEY_QUERY_VALUE) == WIN_ERROR_SUCCESS) {
    std::uint8_t data[4] = {};
    std::uint32_t size = sizeof data;
    std::uint32_t type = WIN_REG_NONE;
    // Only a whole 32-bit value counts; a shorter one is of another size, like a longer one.
    if (key.QueryValue(SETTINGS_UI_LANGUAGE_VALUE, &type, data, &size) == WIN_ERROR_SUCCESS && type == WIN_REG_DWORD &&
        size == sizeof data) {
      uiLanguage_ = static_cast<std::uint16_t>(data[0] | (data[1] << 8));  // the high 16 bits are ignored
    }
  }
  if (uiLanguage_ == 0) WriteUiLanguage(DEFAULT_UI_LANGUAGE);
  return uiLanguage_;
}

void SettingsStore::WriteUiLanguage(std::uint16_t languageId) {
  const SettingsKeyPath path;
  RegistryKey key;
  if (key.Create(*registry_, RegistryRoot::CurrentUser, path.text, WIN_KEY_ALL_ACCESS) == WIN_ERROR_SUCCESS) {
    // Widened to 32 bits with zeros, little-endian as REG_DWORD is.
    const std::uint8_t data[4] = {static_cast<std::uint8_t>(languageId), static_cast<std::uint8_t>(languageId >> 8), 0,
                                  0};
    key.SetValue(SETTINGS_UI_LANGUAGE_VALUE, WIN_REG_DWORD, data, sizeof data);
  }
  uiLanguage_ = languageId;
}
