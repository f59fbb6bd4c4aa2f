// RegisterClientDriverID and friends. The registry holds the registration (see sim_usb.h for the
// layout); an in-memory index lists the registered settings, since the registry has no
// enumeration of subkeys.
#include "sim/usb/usb_registration.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/ce_os.h"

namespace sim::usb_detail {
namespace {

const sim::WString kClientDrivers = TEXT("Drivers\\USB\\ClientDrivers\\");
const sim::WString kLoadClients = TEXT("Drivers\\USB\\LoadClients\\");

struct Registration {
  sim::WString clientId;
  USB_DRIVER_SETTINGS settings;
  sim::WString keyPath;
};

std::mutex& IndexLock() {
  static std::mutex* m = new std::mutex;
  return *m;
}
std::vector<Registration>& Index() {
  static auto* v = new std::vector<Registration>;
  return *v;
}

// Client IDs registered or unregistered in this process; an ID never seen here counts as
// registered when its key exists (a registry loaded from a file).
std::map<sim::WString, bool>& Ids() {
  static auto* m = new std::map<sim::WString, bool>;
  return *m;
}

sim::WString Num(DWORD v) {
  if (v == USB_NO_INFO) return TEXT("Any");
  std::string s = std::to_string(v);
  return sim::WString(s.begin(), s.end());
}

sim::WString SettingsPath(const sim::WString& id, const USB_DRIVER_SETTINGS& s) {
  return kLoadClients + Num(s.dwVendorId) + TEXT("_") + Num(s.dwProductId) + TEXT("\\") +
         Num(s.dwReleaseNumber) + TEXT("\\") + Num(s.dwDeviceClass) + TEXT("_") +
         Num(s.dwDeviceSubClass) + TEXT("_") + Num(s.dwDeviceProtocol) + TEXT("\\") +
         Num(s.dwInterfaceClass) + TEXT("_") + Num(s.dwInterfaceSubClass) + TEXT("_") +
         Num(s.dwInterfaceProtocol) + TEXT("\\") + id;
}

bool ValidId(LPCWSTR id) {
  if (!id || !*id) return false;
  for (const WCHAR* p = id; *p; ++p)
    if (*p == TEXT('\\')) return false;
  return true;
}

bool KeyExists(const sim::WString& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  RegCloseKey(key);
  return true;
}

bool SameSettings(const USB_DRIVER_SETTINGS& a, const USB_DRIVER_SETTINGS& b) {
  return a.dwVendorId == b.dwVendorId && a.dwProductId == b.dwProductId &&
         a.dwReleaseNumber == b.dwReleaseNumber && a.dwDeviceClass == b.dwDeviceClass &&
         a.dwDeviceSubClass == b.dwDeviceSubClass && a.dwDeviceProtocol == b.dwDeviceProtocol &&
         a.dwInterfaceClass == b.dwInterfaceClass &&
         a.dwInterfaceSubClass == b.dwInterfaceSubClass &&
         a.dwInterfaceProtocol == b.dwInterfaceProtocol;
}

bool Field(DWORD want, DWORD have) {
  return want == USB_NO_INFO || want == have;
}

int Specificity(const USB_DRIVER_SETTINGS& s) {
  const DWORD* f = &s.dwVendorId;
  int n = 0;
  for (int i = 0; i < 9; ++i) n += f[i] != USB_NO_INFO;
  return n;
}

bool ReadDll(const sim::WString& path, sim::WString* dll) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
    return false;
  WCHAR buf[260] = {};
  DWORD type = 0;
  DWORD size = sizeof(buf) - sizeof(WCHAR);
  LONG rc =
      RegQueryValueExW(key, TEXT("Dll"), nullptr, &type, reinterpret_cast<LPBYTE>(buf), &size);
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS || type != REG_SZ) return false;
  dll->assign(buf, std::min<size_t>(size / sizeof(WCHAR), 259));
  while (!dll->empty() && dll->back() == TEXT('\0')) dll->pop_back();
  return !dll->empty();
}

}  // namespace

bool SettingsMatch(const USB_DRIVER_SETTINGS& s, const USB_DEVICE& d, const USB_INTERFACE* iface) {
  const USB_DEVICE_DESCRIPTOR& dd = d.Descriptor;
  if (!Field(s.dwVendorId, dd.idVendor) || !Field(s.dwProductId, dd.idProduct) ||
      !Field(s.dwReleaseNumber, dd.bcdDevice) || !Field(s.dwDeviceClass, dd.bDeviceClass) ||
      !Field(s.dwDeviceSubClass, dd.bDeviceSubClass) ||
      !Field(s.dwDeviceProtocol, dd.bDeviceProtocol))
    return false;
  bool wantsInterface = s.dwInterfaceClass != USB_NO_INFO || s.dwInterfaceSubClass != USB_NO_INFO ||
                        s.dwInterfaceProtocol != USB_NO_INFO;
  if (!wantsInterface) return true;
  if (!iface) return false;
  const USB_INTERFACE_DESCRIPTOR& id = iface->Descriptor;
  return Field(s.dwInterfaceClass, id.bInterfaceClass) &&
         Field(s.dwInterfaceSubClass, id.bInterfaceSubClass) &&
         Field(s.dwInterfaceProtocol, id.bInterfaceProtocol);
}

std::vector<ClientMatch> MatchClients(LPCUSB_DEVICE device) {
  std::vector<Registration> regs;
  {
    std::lock_guard<std::mutex> lock(IndexLock());
    regs = Index();
  }
  std::stable_sort(regs.begin(), regs.end(), [](const Registration& a, const Registration& b) {
    return Specificity(a.settings) > Specificity(b.settings);
  });
  std::vector<ClientMatch> out;
  if (!device) return out;
  const USB_CONFIGURATION* config = device->lpActiveConfig;
  DWORD ifaceCount = config && config->lpInterfaces ? config->dwNumInterfaces : 0;
  for (const Registration& r : regs) {
    int matched = -2;
    if (SettingsMatch(r.settings, *device, nullptr)) {
      matched = ifaceCount > 0 ? 0 : -1;
    } else {
      for (DWORD i = 0; i < ifaceCount; ++i) {
        if (SettingsMatch(r.settings, *device, &config->lpInterfaces[i])) {
          matched = static_cast<int>(i);
          break;
        }
      }
    }
    if (matched == -2) continue;
    ClientMatch m;
    if (!ReadDll(r.keyPath, &m.dll)) continue;
    m.clientId = r.clientId;
    m.settings = r.settings;
    m.interfaceIndex = matched;
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace sim::usb_detail

using namespace sim::usb_detail;

extern "C" BOOL RegisterClientDriverID(LPCWSTR uniqueDriverId) {
  if (!ValidId(uniqueDriverId)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClientDrivers + uniqueDriverId).c_str(), 0,
                            nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
  }
  RegCloseKey(key);
  std::lock_guard<std::mutex> lock(IndexLock());
  Ids()[uniqueDriverId] = true;
  return TRUE;
}

extern "C" BOOL UnRegisterClientDriverID(LPCWSTR uniqueDriverId) {
  if (!ValidId(uniqueDriverId)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  sim::WString path = kClientDrivers + uniqueDriverId;
  std::lock_guard<std::mutex> lock(IndexLock());
  auto it = Ids().find(uniqueDriverId);
  bool registered = it != Ids().end() ? it->second : KeyExists(path);
  if (!registered) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  // The key stays: it holds the driver's own configuration (port keys), which outlives the
  // registration. Deleting it would delete that whole tree.
  Ids()[uniqueDriverId] = false;
  return TRUE;
}

extern "C" BOOL RegisterClientSettings(LPCWSTR driverLibFile, LPCWSTR uniqueDriverId,
                                       LPCWSTR /*reserved*/, LPCUSB_DRIVER_SETTINGS settings) {
  if (!driverLibFile || !*driverLibFile || !ValidId(uniqueDriverId) || !settings ||
      settings->dwCount < sizeof(USB_DRIVER_SETTINGS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  sim::WString path = SettingsPath(uniqueDriverId, *settings);
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
  }
  sim::WString dll(driverLibFile);
  rc = RegSetValueExW(key, TEXT("Dll"), 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                      static_cast<DWORD>((dll.size() + 1) * sizeof(WCHAR)));
  RegCloseKey(key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return FALSE;
  }
  std::lock_guard<std::mutex> lock(IndexLock());
  for (Registration& r : Index()) {
    if (r.clientId == uniqueDriverId && SameSettings(r.settings, *settings)) return TRUE;
  }
  Index().push_back(Registration{uniqueDriverId, *settings, path});
  return TRUE;
}

extern "C" BOOL UnRegisterClientSettings(LPCWSTR uniqueDriverId, LPCWSTR /*reserved*/,
                                         LPCUSB_DRIVER_SETTINGS settings) {
  if (!ValidId(uniqueDriverId) || !settings || settings->dwCount < sizeof(USB_DRIVER_SETTINGS)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  sim::WString path = SettingsPath(uniqueDriverId, *settings);
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(IndexLock());
    auto& index = Index();
    for (auto it = index.begin(); it != index.end(); ++it) {
      if (it->clientId == uniqueDriverId && SameSettings(it->settings, *settings)) {
        index.erase(it);
        found = true;
        break;
      }
    }
  }
  if (!found && !KeyExists(path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
  return TRUE;
}
