#include "app/registry.h"

#include <utility>

RegistryKey::RegistryKey(RegistryKey&& other) noexcept
    : registry_(std::exchange(other.registry_, nullptr)), handle_(std::exchange(other.handle_, nullptr)) {}

RegistryKey& RegistryKey::operator=(RegistryKey&& other) noexcept {
  if (this != &other) {
    Close();
    registry_ = std::exchange(other.registry_, nullptr);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

RegistryStatus RegistryKey::Adopt(Registry& registry, RegistryStatus status, RegistryHandle handle) {
  if (status == WIN_ERROR_SUCCESS) {
    registry_ = &registry;
    handle_ = handle;
  }
  return status;
}

RegistryStatus RegistryKey::Open(Registry& registry, RegistryRoot root, const char* path, std::uint32_t access) {
  Close();
  RegistryHandle handle = nullptr;
  const RegistryStatus status = registry.OpenKey(registry.Root(root), path, access, &handle);
  return Adopt(registry, status, handle);
}

RegistryStatus RegistryKey::Open(const RegistryKey& parent, const char* path, std::uint32_t access) {
  if (!parent.IsOpen()) return WIN_ERROR_INVALID_HANDLE;
  Registry& registry = *parent.registry_;
  RegistryHandle handle = nullptr;
  const RegistryStatus status = registry.OpenKey(parent.handle_, path, access, &handle);
  Close();  // after the open, so that a key may be reopened from itself
  return Adopt(registry, status, handle);
}

RegistryStatus RegistryKey::Create(Registry& registry, RegistryRoot root, const char* path, std::uint32_t access) {
  Close();
  RegistryHandle handle = nullptr;
  const RegistryStatus status = registry.CreateKey(registry.Root(root), path, access, &handle);
  return Adopt(registry, status, handle);
}

RegistryStatus RegistryKey::QueryValue(const char* name, std::uint32_t* type, void* data, std::uint32_t* size) const {
  return IsOpen() ? registry_->QueryValue(handle_, name, type, data, size) : WIN_ERROR_INVALID_HANDLE;
}

RegistryStatus RegistryKey::SetValue(const char* name, std::uint32_t type, const void* data, std::uint32_t size) const {
  return IsOpen() ? registry_->SetValue(handle_, name, type, data, size) : WIN_ERROR_INVALID_HANDLE;
}

RegistryStatus RegistryKey::EnumKey(std::uint32_t index, char* name, std::uint32_t* length) const {
  return IsOpen() ? registry_->EnumKey(handle_, index, name, length) : WIN_ERROR_INVALID_HANDLE;
}

void RegistryKey::Close() {
  if (registry_ != nullptr) {
    registry_->CloseKey(handle_);
    registry_ = nullptr;
    handle_ = nullptr;
  }
}
