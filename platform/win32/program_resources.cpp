// The program's resources on Windows: RT_RCDATA resources of the program's own module, read in place where
// the loader mapped them.

#include <windows.h>

#include <cstdint>

#include "image/image_resources.h"

namespace {
class ModuleResources final : public ResourceLoader {
 public:
  ResourceInfo FindRawData(std::uint16_t id) override {
    return FindResourceW(Module(), MAKEINTRESOURCEW(id), RT_RCDATA);
  }
  std::uint32_t SizeOf(ResourceInfo info) override {
    return info != nullptr ? SizeofResource(Module(), static_cast<HRSRC>(info)) : 0;
  }
  ResourceHandle Load(ResourceInfo info) override {
    return info != nullptr ? LoadResource(Module(), static_cast<HRSRC>(info)) : nullptr;
  }
  const std::uint8_t* Lock(ResourceHandle handle) override {
    return handle != nullptr ? static_cast<const std::uint8_t*>(LockResource(handle)) : nullptr;
  }
  void Free(ResourceHandle handle) override {
    if (handle != nullptr) FreeResource(handle);
  }

 private:
  // The program's own module: the executable that carries the images.
  static HMODULE Module() { return GetModuleHandleW(nullptr); }
};
}  // namespace

ResourceLoader& ProgramResources() {
  static ModuleResources resources;
  return resources;
}
