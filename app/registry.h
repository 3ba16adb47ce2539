#pragma once
// What the settings store and the driver registry check need of the registry: open or create a key below the
// current user's or the local machine's root with given rights, query a value into a caller's buffer, set a
// value, enumerate subkey names by index, close. Shaped after the Win32 A-functions; status codes, value types
// and access rights carry the Windows values. Implementations: the Win32 registry, an in-memory registry
// (tests), and natively a per-user file.

#include <cstdint>

using RegistryHandle = void*;  // an HKEY on Windows; opaque elsewhere

// Status codes (Windows system error codes).
using RegistryStatus = long;
inline constexpr RegistryStatus REGISTRY_OK = 0;
inline constexpr RegistryStatus REGISTRY_NOT_FOUND = 2;      // no such key or value
inline constexpr RegistryStatus REGISTRY_ACCESS_DENIED = 5;  // the handle lacks the right, or writing is refused
inline constexpr RegistryStatus REGISTRY_INVALID_HANDLE = 6;
inline constexpr RegistryStatus REGISTRY_MORE_DATA = 234;      // the caller's buffer is too small
inline constexpr RegistryStatus REGISTRY_NO_MORE_ITEMS = 259;  // enumeration index past the last subkey

// Value types.
inline constexpr std::uint32_t REGISTRY_TYPE_NONE = 0;
inline constexpr std::uint32_t REGISTRY_TYPE_SZ = 1;
inline constexpr std::uint32_t REGISTRY_TYPE_BINARY = 3;
inline constexpr std::uint32_t REGISTRY_TYPE_DWORD = 4;
inline constexpr std::uint32_t REGISTRY_TYPE_QWORD = 11;

// Access rights.
inline constexpr std::uint32_t REGISTRY_QUERY_VALUE = 0x0001;
inline constexpr std::uint32_t REGISTRY_SET_VALUE = 0x0002;
inline constexpr std::uint32_t REGISTRY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr std::uint32_t REGISTRY_ALL_ACCESS = 0xF003F;

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
  // fails with REGISTRY_MORE_DATA (*size then tells its size). A null type is allowed.
  virtual RegistryStatus QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                                    std::uint32_t* size) = 0;
  virtual RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                                  std::uint32_t size) = 0;
  // The name of the index-th subkey into name (room: *length characters, NUL included); on success *length
  // is the name's length without the NUL. REGISTRY_MORE_DATA for a longer name, REGISTRY_NO_MORE_ITEMS past
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

// The platform's registry: the Win32 registry on Windows; natively a registry whose current-user part is kept
// in a per-user file.
Registry& PlatformRegistry();

// The registry that the settings store and the driver registry check use: the platform's unless replaced.
Registry& ActiveRegistry();
// Replaces it (nullptr restores the platform's); returns the previous replacement. Used by tests.
Registry* SetActiveRegistry(Registry* registry);
