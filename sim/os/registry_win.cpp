// The registry on Windows is the real one. This layer counts the keys opened through the
// platform, gives RegDeleteKeyW the platform's meaning (the subkeys go too), reads active keys for
// OpenDeviceKey, and loads, dumps and clears the device's part of HKEY_LOCAL_MACHINE for tests.
//
// The device's part is every top-level key under HKEY_LOCAL_MACHINE except the system's own
// (kSystemKeys): RegistryClear removes those keys and RegistryDump lists them.
//
// Keys::lock protects the set of open keys; it is held across the real open and close calls, so
// that a handle value the registry reuses is never counted twice.
#define TV_WINDOWS_LAYER 1

#include <mutex>
#include <unordered_set>
#include <vector>

#include "sim/os/reg_text.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

using os_detail::LoadOp;

const WCHAR* const kSystemKeys[] = {L"HARDWARE", L"SAM", L"SECURITY", L"SOFTWARE", L"SYSTEM"};

struct Keys {
  std::mutex lock;
  std::unordered_set<HKEY> open;
};

Keys& K() {
  static Keys* keys = new Keys;
  return *keys;
}

bool IsSystemKey(const WString& name) {
  for (const WCHAR* system : kSystemKeys) {
    if (lstrcmpiW(name.c_str(), system) == 0) return true;
  }
  return false;
}

// Names of the subkeys of `key`, or of the device's top-level keys when `key` is the root.
std::vector<WString> SubkeyNames(HKEY key) {
  std::vector<WString> names;
  WCHAR name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = sizeof name / sizeof name[0];
    if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    if (key != HKEY_LOCAL_MACHINE || !IsSystemKey(name)) names.emplace_back(name, length);
  }
  return names;
}

void DumpKey(HKEY key, const std::string& path, std::string* out) {
  *out += "[" + path + "]\n";
  std::vector<WCHAR> name(16384);
  std::vector<BYTE> data(65536);
  for (DWORD index = 0;; ++index) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = REG_NONE;
    if (RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &size) !=
        ERROR_SUCCESS) {
      break;
    }
    *out += os_detail::DumpValueLine(WString(name.data(), nameLength), type, data.data(), size);
  }
  for (const WString& child : SubkeyNames(key)) {
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) continue;
    DumpKey(sub, path + "\\" + Utf8(child), out);
    RegCloseKey(sub);
  }
}

LONG DeleteTree(HKEY key, const WString& path) {
  if (path.empty()) return ERROR_INVALID_PARAMETER;
  return RegDeleteTreeW(key, path.c_str());
}

}  // namespace

void RegistryClear() {
  for (const WString& name : SubkeyNames(HKEY_LOCAL_MACHINE)) DeleteTree(HKEY_LOCAL_MACHINE, name);
}

bool RegistryLoadText(const std::string& text, std::string* error) {
  std::vector<LoadOp> ops;
  if (!os_detail::ParseRegText(text, &ops, error)) return false;
  for (LoadOp& op : ops) {
    // Paths come as "\\Drivers\\..." after the root's name; the registry wants them relative.
    op.path.erase(0, op.path.find_first_not_of(L'\\'));
    HKEY key = nullptr;
    switch (op.kind) {
      case LoadOp::Kind::CreateKey:
      case LoadOp::Kind::SetValue:
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, op.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
          if (error != nullptr) *error = "cannot create key " + Utf8(op.path);
          return false;
        }
        if (op.kind == LoadOp::Kind::SetValue) {
          RegSetValueExW(key, op.name.c_str(), 0, op.type, op.data.data(),
                         static_cast<DWORD>(op.data.size()));
        }
        RegCloseKey(key);
        break;
      case LoadOp::Kind::DeleteKey:
        DeleteTree(HKEY_LOCAL_MACHINE, op.path);
        break;
      case LoadOp::Kind::DeleteValue:
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, op.path.c_str(), 0, KEY_ALL_ACCESS, &key) ==
            ERROR_SUCCESS) {
          RegDeleteValueW(key, op.name.c_str());
          RegCloseKey(key);
        }
        break;
    }
  }
  return true;
}

std::string RegistryDump() {
  std::string out;
  DumpKey(HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", &out);
  return out;
}

size_t RegistryOpenKeys() {
  std::lock_guard<std::mutex> guard(K().lock);
  return K().open.size();
}

}  // namespace sim

using namespace sim;

extern "C" LONG TvRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result) {
  std::lock_guard<std::mutex> guard(K().lock);
  LONG rc = RegOpenKeyExW(key, subKey, options, sam, result);
  if (rc == ERROR_SUCCESS) K().open.insert(*result);
  return rc;
}

extern "C" LONG TvRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                  DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES attributes,
                                  PHKEY result, LPDWORD disposition) {
  std::lock_guard<std::mutex> guard(K().lock);
  LONG rc = RegCreateKeyExW(key, subKey, reserved, keyClass, options, sam, attributes, result,
                            disposition);
  if (rc == ERROR_SUCCESS) K().open.insert(*result);
  return rc;
}

extern "C" LONG TvRegCloseKey(HKEY key) {
  std::lock_guard<std::mutex> guard(K().lock);
  LONG rc = RegCloseKey(key);
  if (rc == ERROR_SUCCESS) K().open.erase(key);
  return rc;
}

extern "C" LONG TvRegDeleteKeyW(HKEY key, LPCWSTR subKey) {
  return DeleteTree(key, subKey == nullptr ? WString() : WString(subKey));
}

extern "C" HKEY OpenDeviceKey(LPCWSTR activeKey) {
  if (activeKey == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HKEY active = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, activeKey, 0, KEY_READ, &active);
  WString devicePath;
  if (rc == ERROR_SUCCESS) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    rc = RegQueryValueExW(active, L"Key", nullptr, &type, nullptr, &size);
    if (rc == ERROR_SUCCESS && (type != REG_SZ || size < 2 || size % 2 != 0)) rc = ERROR_BADKEY;
    if (rc == ERROR_SUCCESS) {
      devicePath.resize(size / 2);
      rc = RegQueryValueExW(active, L"Key", nullptr, &type,
                            reinterpret_cast<BYTE*>(devicePath.data()), &size);
      devicePath.resize(devicePath.find(L'\0') == WString::npos ? devicePath.size()
                                                                : devicePath.find(L'\0'));
    }
    RegCloseKey(active);
  }
  HKEY device = nullptr;
  if (rc == ERROR_SUCCESS)
    rc = TvRegOpenKeyExW(HKEY_LOCAL_MACHINE, devicePath.c_str(), 0, KEY_ALL_ACCESS, &device);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }
  return device;
}
