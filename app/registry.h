#pragma once
// What the settings store and the driver registry check need of the registry: open or create a key below the
// current user's or the local machine's root with given rights, query a value into a caller's buffer, set a
// value, enumerate subkey names by index, close. Shaped after the Win32 A-functions; status codes, value types
// and access rights carry the Windows values. Implementations: the Win32 registry, an in-memory registry
// (tests), and natively a per-user file.

#include <cstdint>

#include "app/windows_numbers.h"

using RegistryHandle = void*;  // an HKEY on Windows; opaque elsewhere

// Status codes are Windows system error numbers (WIN_ERROR_*); value types and access rights WIN_REG_* and
// WIN_KEY_* (app/windows_numbers.h).
using RegistryStatus = std::uint32_t;

enum class RegistryRoot { CurrentUser, LocalMachine };

class Registry {
 public:
  virtual ~Registry() = default;

  // The root's predefined handle; it is never closed.
  virtual RegistryHandle Root(RegistryRoot root) = 0;
  // Opens an existing key at `path` below `parent` (a root or an open key).
  virtual RegistryStatus OpenKey(RegistryHandle parent, const char* path, std::uint32_t access,
                                 RegistryHandle* key) = 0;
  // Opens the key, creating it (and the keys on its path) if needed: non-volatile, default security.
  virtual RegistryStatus CreateKey(RegistryHandle parent, const char* path, std::uint32_t access,
                                   RegistryHandle* key) = 0;
  // Copies the value into data (room: *size bytes) and sets *type and *size. A value larger than the room
  // fails with WIN_ERROR_MORE_DATA (*size then tells its size). A null type is allowed.
  virtual RegistryStatus QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                                    std::uint32_t* size) = 0;
  virtual RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                                  std::uint32_t size) = 0;
  // The name of the index-th subkey into name (room: *length characters, NUL included); on success *length
  // is the name's length without the NUL. WIN_ERROR_MORE_DATA for a longer name, WIN_ERROR_NO_MORE_ITEMS past
  // the last subkey.
  virtual RegistryStatus EnumKey(RegistryHandle key, std::uint32_t index, char* name, std::uint32_t* length) = 0;
  virtual RegistryStatus CloseKey(RegistryHandle key) = 0;
};

// An open key, closed when it goes. Opening again closes the key held before.
class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { Close(); }
  RegistryKey(RegistryKey&& other) noexcept;
  RegistryKey& operator=(RegistryKey&& other) noexcept;
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  RegistryStatus Open(Registry& registry, RegistryRoot root, const char* path, std::uint32_t access);
  RegistryStatus Open(const RegistryKey& parent, const char* path, std::uint32_t access);
  RegistryStatus Create(Registry& registry, RegistryRoot root, const char* path, std::uint32_t access);

  RegistryStatus QueryValue(const char* name, std::uint32_t* type, void* data, std::uint32_t* size) const;
  RegistryStatus SetValue(const char* name, std::uint32_t type, const void* data, std::uint32_t size) const;
  RegistryStatus EnumKey(std::uint32_t index, char* name, std::uint32_t* length) const;

  bool IsOpen() const { return registry_ != nullptr; }
  void Close();

 private:
  RegistryStatus Adopt(Registry& registry, RegistryStatus status, RegistryHandle handle);

  Registry* registry_ = nullptr;
  RegistryHandle handle_ = nullptr;
};
