// The registry seam over the Win32 registry (the A-functions).
#include <windows.h>

#include "app/registry.h"
#include "platform/program_context.h"

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
