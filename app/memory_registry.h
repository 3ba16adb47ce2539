#pragma once
// A registry held in memory, with the Win32 registry's rules as the settings store and the driver check meet
// them: key and value names compare without regard to letter case, subkeys enumerate in name order, every
// handle carries its access rights and each operation checks the one it needs. For tests it counts the calls,
// keeps track of open handles, and fails on demand.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/registry.h"

struct RegistryValue {
  std::uint32_t type = WIN_REG_NONE;
  std::vector<std::uint8_t> data;
};

class MemoryRegistry : public Registry {
 public:
  MemoryRegistry();
  ~MemoryRegistry() override;
  MemoryRegistry(const MemoryRegistry&) = delete;  // handles point into it
  MemoryRegistry& operator=(const MemoryRegistry&) = delete;

  RegistryHandle Root(RegistryRoot root) override;
  RegistryStatus OpenKey(RegistryHandle parent, const char* path, std::uint32_t access, RegistryHandle* key) override;
  RegistryStatus CreateKey(RegistryHandle parent, const char* path, std::uint32_t access, RegistryHandle* key) override;
  RegistryStatus QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                            std::uint32_t* size) override;
  RegistryStatus SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                          std::uint32_t size) override;
  RegistryStatus EnumKey(RegistryHandle key, std::uint32_t index, char* name, std::uint32_t* length) override;
  RegistryStatus CloseKey(RegistryHandle key) override;

  // Set-up and inspection, neither counted nor failed on demand. Paths are relative to the root.
  void PutKey(RegistryRoot root, const std::string& path);
  void PutValue(RegistryRoot root, const std::string& path, const std::string& name, std::uint32_t type,
                std::vector<std::uint8_t> data);
  void PutText(RegistryRoot root, const std::string& path, const std::string& name, const std::string& text);
  void PutDword(RegistryRoot root, const std::string& path, const std::string& name, std::uint32_t value);
  bool HasKey(RegistryRoot root, const std::string& path) const;
  std::optional<RegistryValue> GetValue(RegistryRoot root, const std::string& path, const std::string& name) const;
  // Every value below the root, as (key path, value name, value), keys in name order.
  struct Entry {
    std::string path;
    std::string name;
    RegistryValue value;
  };
  std::vector<Entry> Values(RegistryRoot root) const;

  // Opening the key at path with any of these rights fails with WIN_ERROR_ACCESS_DENIED.
  void DenyAccess(RegistryRoot root, const std::string& path, std::uint32_t rights);

  // Simulated failures: every call of that kind fails with WIN_ERROR_ACCESS_DENIED while set.
  bool failCreate = false;
  bool failOpen = false;
  bool failQuery = false;
  bool failSet = false;

  struct Calls {
    int open = 0;
    int create = 0;
    int query = 0;
    int set = 0;
    int enumerate = 0;
    int close = 0;
    int Total() const { return open + create + query + set + enumerate + close; }
  };
  const Calls& calls() const { return calls_; }
  void ResetCalls() { calls_ = {}; }
  std::size_t OpenHandleCount() const { return handles_.size(); }

 private:
  struct NameLess {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  struct Node {
    std::map<std::string, std::unique_ptr<Node>, NameLess> subkeys;
    std::map<std::string, RegistryValue, NameLess> values;
    std::uint32_t deniedRights = 0;
  };
  struct Handle {
    Node* node;
    std::uint32_t access;
  };

  Node* RootNode(RegistryRoot root);
  const Node* RootNode(RegistryRoot root) const;
  static Node* FindNode(Node* from, const std::string& path);
  static const Node* FindNode(const Node* from, const std::string& path);
  static Node* MakeNode(Node* from, const std::string& path);
  Handle* Lookup(RegistryHandle handle);
  RegistryStatus Grant(Node* node, std::uint32_t access, RegistryHandle* key);

  Node currentUser_;
  Node localMachine_;
  Handle currentUserRoot_;
  Handle localMachineRoot_;
  std::map<Handle*, std::unique_ptr<Handle>> handles_;
  Calls calls_;
};
