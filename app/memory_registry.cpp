#include "app/memory_registry.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>
#include <utility>

namespace {
char Fold(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// The path's parts between backslashes; empty parts are ignored.
std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  std::string part;
  for (char c : path) {
    if (c == '\\') {
      if (!part.empty()) parts.push_back(std::move(part));
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(std::move(part));
  return parts;
}
}  // namespace

bool MemoryRegistry::NameLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](char x, char y) { return Fold(x) < Fold(y); });
}

MemoryRegistry::MemoryRegistry()
    : currentUserRoot_{&currentUser_, WIN_KEY_ALL_ACCESS}, localMachineRoot_{&localMachine_, WIN_KEY_ALL_ACCESS} {}

MemoryRegistry::~MemoryRegistry() = default;

MemoryRegistry::Node* MemoryRegistry::RootNode(RegistryRoot root) {
  return root == RegistryRoot::CurrentUser ? &currentUser_ : &localMachine_;
}

const MemoryRegistry::Node* MemoryRegistry::RootNode(RegistryRoot root) const {
  return root == RegistryRoot::CurrentUser ? &currentUser_ : &localMachine_;
}

RegistryHandle MemoryRegistry::Root(RegistryRoot root) {
  return root == RegistryRoot::CurrentUser ? &currentUserRoot_ : &localMachineRoot_;
}

MemoryRegistry::Handle* MemoryRegistry::Lookup(RegistryHandle handle) {
  auto* h = static_cast<Handle*>(handle);
  if (h == &currentUserRoot_ || h == &localMachineRoot_) return h;
  return handles_.count(h) != 0 ? h : nullptr;
}

const MemoryRegistry::Node* MemoryRegistry::FindNode(const Node* from, const std::string& path) {
  for (const std::string& part : SplitPath(path)) {
    auto it = from->subkeys.find(part);
    if (it == from->subkeys.end()) return nullptr;
    from = it->second.get();
  }
  return from;
}

MemoryRegistry::Node* MemoryRegistry::FindNode(Node* from, const std::string& path) {
  return const_cast<Node*>(FindNode(static_cast<const Node*>(from), path));
}

MemoryRegistry::Node* MemoryRegistry::MakeNode(Node* from, const std::string& path) {
  for (const std::string& part : SplitPath(path)) {
    std::unique_ptr<Node>& child = from->subkeys[part];
    if (!child) child = std::make_unique<Node>();
    from = child.get();
  }
  return from;
}

RegistryStatus MemoryRegistry::Grant(Node* node, std::uint32_t access, RegistryHandle* key) {
  if ((node->deniedRights & access) != 0) return WIN_ERROR_ACCESS_DENIED;
  auto handle = std::make_unique<Handle>(Handle{node, access});
  Handle* raw = handle.get();
  handles_.emplace(raw, std::move(handle));
  *key = raw;
  return WIN_ERROR_SUCCESS;
}

RegistryStatus MemoryRegistry::OpenKey(RegistryHandle parent, const char* path, std::uint32_t access,
                                       RegistryHandle* key) {
  ++calls_.open;
  Handle* from = Lookup(parent);
  if (from == nullptr) return WIN_ERROR_INVALID_HANDLE;
  if (failOpen) return WIN_ERROR_ACCESS_DENIED;
  Node* node = FindNode(from->node, path != nullptr ? path : "");
  if (node == nullptr) return WIN_ERROR_FILE_NOT_FOUND;
  return Grant(node, access, key);
}

RegistryStatus MemoryRegistry::CreateKey(RegistryHandle parent, const char* path, std::uint32_t access,
                                         RegistryHandle* key) {
  ++calls_.create;
  Handle* from = Lookup(parent);
  if (from == nullptr) return WIN_ERROR_INVALID_HANDLE;
  if (failCreate) return WIN_ERROR_ACCESS_DENIED;
  return Grant(MakeNode(from->node, path != nullptr ? path : ""), access, key);
}

RegistryStatus MemoryRegistry::QueryValue(RegistryHandle key, const char* name, std::uint32_t* type, void* data,
                                          std::uint32_t* size) {
  ++calls_.query;
  Handle* h = Lookup(key);
  if (h == nullptr) return WIN_ERROR_INVALID_HANDLE;
  if ((h->access & WIN_KEY_QUERY_VALUE) == 0 || failQuery) return WIN_ERROR_ACCESS_DENIED;
  auto it = h->node->values.find(name != nullptr ? name : "");
  if (it == h->node->values.end()) return WIN_ERROR_FILE_NOT_FOUND;
  const RegistryValue& value = it->second;
  const auto length = static_cast<std::uint32_t>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data == nullptr) {
    if (size != nullptr) *size = length;
    return WIN_ERROR_SUCCESS;
  }
  if (size == nullptr) return WIN_ERROR_INVALID_HANDLE;
  const std::uint32_t room = *size;
  *size = length;
  if (length > room) return WIN_ERROR_MORE_DATA;
  if (length != 0) std::memcpy(data, value.data.data(), length);
  return WIN_ERROR_SUCCESS;
}

RegistryStatus MemoryRegistry::SetValue(RegistryHandle key, const char* name, std::uint32_t type, const void* data,
                                        std::uint32_t size) {
  ++calls_.set;
  Handle* h = Lookup(key);
  if (h == nullptr) return WIN_ERROR_INVALID_HANDLE;
  if ((h->access & WIN_KEY_SET_VALUE) == 0 || failSet) return WIN_ERROR_ACCESS_DENIED;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  RegistryValue value{type, size != 0 ? std::vector<std::uint8_t>(bytes, bytes + size) : std::vector<std::uint8_t>()};
  h->node->values[name != nullptr ? name : ""] = std::move(value);
  return WIN_ERROR_SUCCESS;
}

RegistryStatus MemoryRegistry::EnumKey(RegistryHandle key, std::uint32_t index, char* name, std::uint32_t* length) {
  ++calls_.enumerate;
  Handle* h = Lookup(key);
  if (h == nullptr) return WIN_ERROR_INVALID_HANDLE;
  if ((h->access & WIN_KEY_ENUMERATE_SUB_KEYS) == 0) return WIN_ERROR_ACCESS_DENIED;
  if (index >= h->node->subkeys.size()) return WIN_ERROR_NO_MORE_ITEMS;
  const std::string& found = std::next(h->node->subkeys.begin(), index)->first;
  if (found.size() + 1 > *length) return WIN_ERROR_MORE_DATA;
  std::memcpy(name, found.c_str(), found.size() + 1);
  *length = static_cast<std::uint32_t>(found.size());
  return WIN_ERROR_SUCCESS;
}

RegistryStatus MemoryRegistry::CloseKey(RegistryHandle key) {
  ++calls_.close;
  auto it = handles_.find(static_cast<Handle*>(key));
  if (it == handles_.end()) return WIN_ERROR_INVALID_HANDLE;
  handles_.erase(it);
  return WIN_ERROR_SUCCESS;
}

void MemoryRegistry::PutKey(RegistryRoot root, const std::string& path) { MakeNode(RootNode(root), path); }

void MemoryRegistry::PutValue(RegistryRoot root, const std::string& path, const std::string& name, std::uint32_t type,
                              std::vector<std::uint8_t> data) {
  MakeNode(RootNode(root), path)->values[name] = RegistryValue{type, std::move(data)};
}

void MemoryRegistry::PutText(RegistryRoot root, const std::string& path, const std::string& name,
                             const std::string& text) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  PutValue(root, path, name, WIN_REG_SZ, std::move(data));
}

void MemoryRegistry::PutDword(RegistryRoot root, const std::string& path, const std::string& name,
                              std::uint32_t value) {
  std::vector<std::uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(value >> (8 * i));
  PutValue(root, path, name, WIN_REG_DWORD, std::move(data));
}

bool MemoryRegistry::HasKey(RegistryRoot root, const std::string& path) const {
  return FindNode(RootNode(root), path) != nullptr;
}

std::optional<RegistryValue> MemoryRegistry::GetValue(RegistryRoot root, const std::string& path,
                                                      const std::string& name) const {
  const Node* node = FindNode(RootNode(root), path);
  if (node == nullptr) return std::nullopt;
  auto it = node->values.find(name);
  if (it == node->values.end()) return std::nullopt;
  return it->second;
}

std::vector<MemoryRegistry::Entry> MemoryRegistry::Values(RegistryRoot root) const {
  std::vector<Entry> entries;
  std::function<void(const Node&, const std::string&)> walk = [&](const Node& node, const std::string& path) {
    for (const auto& [name, value] : node.values) entries.push_back(Entry{path, name, value});
    for (const auto& [name, child] : node.subkeys) walk(*child, path.empty() ? name : path + "\\" + name);
  };
  walk(*RootNode(root), "");
  return entries;
}

void MemoryRegistry::DenyAccess(RegistryRoot root, const std::string& path, std::uint32_t rights) {
  MakeNode(RootNode(root), path)->deniedRights |= rights;
}
