// The registry: one HKEY_LOCAL_MACHINE tree in memory, its Win32 calls, the REGEDIT4 loader and
// OpenDeviceKey.
//
// Registry::lock protects the whole tree and the handle table. An open HKEY holds its key node;
// a node removed from the tree is marked deleted, so that handles still open on it fail cleanly.
//
// The access asked for when a key is opened or created is not checked: the platform does not
// support access rights on keys (its calls take the argument and ignore it), where desktop Win32
// refuses, for example, a write through a KEY_READ handle. The driver asks for what it uses, so it
// works on both.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sim/os/host_sync.h"
#include "sim/os/os_internal.h"
#include "sim/os/reg_text.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

using os_detail::LoadOp;
using os_detail::ParseRegText;

constexpr uintptr_t kTagShift = sizeof(uintptr_t) * 8 - 8;
constexpr uintptr_t kRegistryTag = uintptr_t{0x52} << kTagShift;

struct Value {
  sim::WString name;  // as created
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
};

struct Key {
  sim::WString name;                                      // as created
  std::map<sim::WString, std::shared_ptr<Key>> children;  // by lower-case name
  std::map<sim::WString, Value> values;                   // by lower-case name
  bool deleted = false;
};

struct Registry {
  os_detail::PiMutex lock;
  std::shared_ptr<Key> root = std::make_shared<Key>();
  std::unordered_map<uintptr_t, std::shared_ptr<Key>> handles;
  uintptr_t nextSerial = 1;
};

// Never destroyed: driver threads may still call in while the process exits.
Registry& R() {
  static Registry* registry = new Registry;
  return *registry;
}

sim::WString Lower(sim::WString s) {
  for (WCHAR& c : s) {
    if (c >= TEXT('A') && c <= TEXT('Z')) c = static_cast<WCHAR>(c - TEXT('A') + TEXT('a'));
  }
  return s;
}

std::vector<sim::WString> SplitPath(const sim::WString& path) {
  std::vector<sim::WString> parts;
  sim::WString part;
  for (WCHAR c : path) {
    if (c == TEXT('\\')) {
      if (!part.empty()) parts.push_back(part);
      part.clear();
    } else {
      part += c;
    }
  }
  if (!part.empty()) parts.push_back(part);
  return parts;
}

void MarkDeletedLocked(Key& key) {
  key.deleted = true;
  for (auto& child : key.children) MarkDeletedLocked(*child.second);
}

// Resolves an HKEY: ERROR_SUCCESS and the node, or the error for a bad or deleted key.
LONG ResolveLocked(HKEY key, std::shared_ptr<Key>* node) {
  if (key == HKEY_LOCAL_MACHINE) {
    *node = R().root;
    return ERROR_SUCCESS;
  }
  auto it = R().handles.find(reinterpret_cast<uintptr_t>(key));
  if (it == R().handles.end()) return ERROR_INVALID_HANDLE;
  if (it->second->deleted) return ERROR_KEY_DELETED;
  *node = it->second;
  return ERROR_SUCCESS;
}

std::shared_ptr<Key> FindLocked(std::shared_ptr<Key> from, const sim::WString& path) {
  for (const sim::WString& part : SplitPath(path)) {
    auto it = from->children.find(Lower(part));
    if (it == from->children.end()) return nullptr;
    from = it->second;
  }
  return from;
}

std::shared_ptr<Key> CreateLocked(std::shared_ptr<Key> from, const sim::WString& path,
                                  bool* created) {
  *created = false;
  for (const sim::WString& part : SplitPath(path)) {
    auto& slot = from->children[Lower(part)];
    if (!slot) {
      slot = std::make_shared<Key>();
      slot->name = part;
      *created = true;
    }
    from = slot;
  }
  return from;
}

HKEY NewHandleLocked(std::shared_ptr<Key> node) {
  uintptr_t value = kRegistryTag | R().nextSerial++;
  R().handles.emplace(value, std::move(node));
  return reinterpret_cast<HKEY>(value);
}

void SetValueLocked(Key& key, const sim::WString& name, DWORD type, std::vector<BYTE> data) {
  Value& value = key.values[Lower(name)];
  value.name = name;
  value.type = type;
  value.data = std::move(data);
}

bool DeleteKeyLocked(std::shared_ptr<Key> from, const sim::WString& path) {
  std::vector<sim::WString> parts = SplitPath(path);
  if (parts.empty()) return false;
  sim::WString leaf = Lower(parts.back());
  parts.pop_back();
  for (const sim::WString& part : parts) {
    auto it = from->children.find(Lower(part));
    if (it == from->children.end()) return false;
    from = it->second;
  }
  auto it = from->children.find(leaf);
  if (it == from->children.end()) return false;
  MarkDeletedLocked(*it->second);
  from->children.erase(it);
  return true;
}

sim::WString FromWide(LPCWSTR s) {
  return s == nullptr ? sim::WString() : sim::WString(s);
}

void DumpLocked(const Key& key, const std::string& path, std::string* out) {
  *out += "[" + path + "]\n";
  for (const auto& entry : key.values) {
    const Value& v = entry.second;
    *out += os_detail::DumpValueLine(v.name, v.type, v.data.data(), v.data.size());
  }
  for (const auto& child : key.children) {
    DumpLocked(*child.second, path + "\\" + Utf8(child.second->name), out);
  }
}

}  // namespace

// ---- Test-facing interface

void RegistryClear() {
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  MarkDeletedLocked(*R().root);
  R().root = std::make_shared<Key>();
}

bool RegistryLoadText(const std::string& text, std::string* error) {
  std::vector<LoadOp> ops;
  if (!ParseRegText(text, &ops, error)) return false;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  for (LoadOp& op : ops) {
    bool created = false;
    switch (op.kind) {
      case LoadOp::Kind::CreateKey:
        CreateLocked(R().root, op.path, &created);
        break;
      case LoadOp::Kind::DeleteKey:
        DeleteKeyLocked(R().root, op.path);
        break;
      case LoadOp::Kind::SetValue:
        SetValueLocked(*CreateLocked(R().root, op.path, &created), op.name, op.type,
                       std::move(op.data));
        break;
      case LoadOp::Kind::DeleteValue:
        if (auto key = FindLocked(R().root, op.path)) key->values.erase(Lower(op.name));
        break;
    }
  }
  return true;
}

std::string RegistryDump() {
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::string out;
  DumpLocked(*R().root, "HKEY_LOCAL_MACHINE", &out);
  return out;
}

size_t RegistryOpenKeys() {
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  return R().handles.size();
}

}  // namespace sim

using namespace sim;
using sim::os_detail::Checkpoint;

extern "C" LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
  Checkpoint();
  (void)options;
  (void)sam;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  std::shared_ptr<Key> node = FindLocked(from, FromWide(subKey));
  if (!node) return ERROR_FILE_NOT_FOUND;
  *result = NewHandleLocked(std::move(node));
  return ERROR_SUCCESS;
}

extern "C" LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES attributes,
                                PHKEY result, LPDWORD disposition) {
  Checkpoint();
  (void)reserved;
  (void)keyClass;
  (void)options;
  (void)sam;
  (void)attributes;
  if (result == nullptr) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  bool created = false;
  std::shared_ptr<Key> node = CreateLocked(from, FromWide(subKey), &created);
  if (disposition != nullptr)
    *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  *result = NewHandleLocked(std::move(node));
  return ERROR_SUCCESS;
}

extern "C" LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size) {
  Checkpoint();
  if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  auto it = node->values.find(Lower(FromWide(valueName)));
  if (it == node->values.end()) return ERROR_FILE_NOT_FOUND;
  const Value& value = it->second;
  const DWORD length = static_cast<DWORD>(value.data.size());
  if (type != nullptr) *type = value.type;
  if (data != nullptr && *size < length) {
    *size = length;
    return ERROR_MORE_DATA;
  }
  if (data != nullptr && length != 0) std::memcpy(data, value.data.data(), length);
  if (size != nullptr) *size = length;
  return ERROR_SUCCESS;
}

extern "C" LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                               const BYTE* data, DWORD size) {
  Checkpoint();
  (void)reserved;
  if (data == nullptr && size != 0) return ERROR_INVALID_PARAMETER;
  // The type is a label on the bytes: a REG_DWORD or REG_QWORD of another size is stored as given.
  std::vector<BYTE> bytes(data, data + size);
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  SetValueLocked(*node, FromWide(valueName), type, std::move(bytes));
  return ERROR_SUCCESS;
}

extern "C" LONG RegDeleteValueW(HKEY key, LPCWSTR valueName) {
  Checkpoint();
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> node;
  LONG rc = ResolveLocked(key, &node);
  if (rc != ERROR_SUCCESS) return rc;
  return node->values.erase(Lower(FromWide(valueName))) == 0 ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

extern "C" LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  Checkpoint();
  if (subKey == nullptr || SplitPath(subKey).empty()) return ERROR_INVALID_PARAMETER;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  std::shared_ptr<Key> from;
  LONG rc = ResolveLocked(key, &from);
  if (rc != ERROR_SUCCESS) return rc;
  return DeleteKeyLocked(from, subKey) ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
}

extern "C" LONG RegCloseKey(HKEY key) {
  Checkpoint();
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  std::lock_guard<os_detail::PiMutex> guard(R().lock);
  return R().handles.erase(reinterpret_cast<uintptr_t>(key)) == 0 ? ERROR_INVALID_HANDLE
                                                                  : ERROR_SUCCESS;
}

extern "C" HKEY OpenDeviceKey(LPCWSTR activeKey) {
  Checkpoint();
  if (activeKey == nullptr) {
    os_detail::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  sim::WString devicePath;
  {
    std::lock_guard<os_detail::PiMutex> guard(R().lock);
    std::shared_ptr<Key> active = FindLocked(R().root, activeKey);
    LONG rc = ERROR_FILE_NOT_FOUND;
    if (active) {
      auto it = active->values.find(TEXT("key"));
      if (it != active->values.end()) {
        rc = ERROR_SUCCESS;
        const Value& value = it->second;
        if (value.type != REG_SZ || value.data.size() < 2 || value.data.size() % 2 != 0) {
          rc = ERROR_BADKEY;
        } else {
          for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
            WCHAR c = static_cast<WCHAR>(value.data[i] | (value.data[i + 1] << 8));
            if (c == 0) break;
            devicePath += c;
          }
        }
      }
    }
    if (rc == ERROR_SUCCESS) {
      std::shared_ptr<Key> device = FindLocked(R().root, devicePath);
      if (!device) rc = ERROR_FILE_NOT_FOUND;
      if (rc == ERROR_SUCCESS) return NewHandleLocked(std::move(device));
    }
    os_detail::SetError(static_cast<DWORD>(rc));
  }
  return nullptr;
}
