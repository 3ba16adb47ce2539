// The registry seam over the Win32 registry (the A-functions).
#include <windows.h>

#include "app/registry.h"

static_assert(REGISTRY_OK == ERROR_SUCCESS && REGISTRY_NOT_FOUND == ERROR_FILE_NOT_FOUND &&
              REGISTRY_ACCESS_DENIED == ERROR_ACCESS_DENIED && REGISTRY_INVALID_HANDLE == ERROR_INVALID_HANDLE &&
              REGISTRY_MORE_DATA == ERROR_MORE_DATA && REGISTRY_NO_MORE_ITEMS == ERROR_NO_MORE_ITEMS);
static_assert(REGISTRY_TYPE_NONE == REG_NONE && REGISTRY_TYPE_SZ == REG_SZ && REGISTRY_TYPE_BINARY == REG_BINARY &&
              REGISTRY_TYPE_DWORD == REG_DWORD && REGISTRY_TYPE_QWORD == REG_QWORD);
static_assert(REGISTRY_QUERY_VALUE == KEY_QUERY_VALUE && REGISTRY_SET_VALUE == KEY_SET_VALUE &&
              REGISTRY_ENUMERATE_SUB_KEYS == KEY_ENUMERATE_SUB_KEYS && REGISTRY_ALL_ACCESS == KEY_ALL_ACCESS);

namespace {
HKEY AsKey(RegistryHandle handle) { return static_cast<HKEY>(handle); }

class Win32Registry final : public Registry {
 public:
  RegistryHandle Root(RegistryRoot root) override {
    return root == RegistryRoot::CurrentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  }

  RegistryStatus OpenKey(RegistryHandle parent, const char* path, std::uint32_t access, RegistryHandle* key) override {
    HKEY opened = nullptr;
    const LONG status = RegOpenKeyExA(AsKey(parent), path, 0, access, &opened);
    if (status == ERROR_SUCCESS) *key = opened;
    return status;
  }

  RegistryStatus CreateKey(RegistryHandle parent, const char* path, std::uint32_t access,
                           RegistryHandle* key) override {
    HKEY created = nullptr;
    const LONG status =
        RegCreateKeyExA(AsKey(parent), path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &created, nullptr);
    if (status == ERROR_SUCCESS) *key = created;
    return status;
  }

  RegistryStatus QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                            std::uint32_t* size) override {
    DWORD valueType = REG_NONE;
    DWORD valueSize = size != nullptr ? *size : 0;
    const LONG status = RegQueryValueExA(AsKey(key), name, nullptr, &valueType, static_cast<BYTE*>(data),
                                         size != nullptr ? &valueSize : nullptr);
    if (type != nullptr) *type = valueType;
    if (size != nullptr) *size = valueSize;
    return status;
  }

  RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                          std::uint32_t size) override {
    return RegSetValueExA(AsKey(key), name, 0, type, static_cast<const BYTE*>(data), size);
  }

  RegistryStatus EnumKey(RegistryHandle key, std::uint32_t index, char* name, std::uint32_t* length) override {
    DWORD nameLength = *length;
    const LONG status = RegEnumKeyExA(AsKey(key), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) *length = nameLength;
    return status;
  }

  RegistryStatus CloseKey(RegistryHandle key) override { return RegCloseKey(AsKey(key)); }
};
}  // namespace

Registry& PlatformRegistry() {
  static Win32Registry registry;
  return registry;
}
