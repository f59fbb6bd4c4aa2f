// The simulated device manager: stream device activation, application handles, power notices.
//
// One mutex (World::lock) protects every table and counter here; it is never held while a driver
// entry point runs, so a driver may call the registry, the OS and even ActivateDevice from its
// entries. World::changed is notified whenever a call leaves a driver or a handle or device changes
// state; the waits of close and deactivation re-check their condition on it.
//
// A call into a device counts itself in Device::inFlight for as long as it runs (application calls,
// the opens, the notices and closes the device manager sends itself, power notices), and in
// AppHandle::inFlight when it runs on a handle. Prefix_Deinit runs only once Device::inFlight is 0
// and the device is marked Going, so no call can start after it.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/ce_serial.h"
#include "sim/devmgr/module_file.h"
#include "sim/devmgr/sim_devmgr.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

// How often the process-exit notice is sent again while calls on a closing handle have not
// returned: a call that entered the driver just after a notice would otherwise block for good.
constexpr auto kNoticeRepeat = std::chrono::milliseconds(100);

// Handle values carry a tag in their top byte, above any user-space address, so that they can
// never be mistaken for an OS handle or a pointer. Serial numbers are never reused, so a stale
// handle stays invalid for good.
constexpr uintptr_t kTagShift = sizeof(uintptr_t) * 8 - 8;
constexpr uintptr_t kTagMask = uintptr_t{0xFF} << kTagShift;
constexpr uintptr_t kDeviceTag = uintptr_t{0x44} << kTagShift;
constexpr uintptr_t kAppTag = uintptr_t{0x41} << kTagShift;

struct Device;

struct AppHandle {
  enum class State { Open, Closing, Closed };
  uint64_t id = 0;
  std::shared_ptr<Device> device;
  DWORD_PTR context = 0;  // Prefix_Open's result
  int inFlight = 0;       // calls of applications inside the driver on this handle
  State state = State::Open;
};

struct Device {
  enum class State { Starting, Active, Going };
  uint64_t id = 0;     // 0 until Init has returned
  std::string name;    // "COM1:"
  std::string prefix;  // "COM"
  DWORD index = 0;     // 0..9
  unsigned activeNumber = 0;
  sim::WString activeKey;  // "Drivers\\Active\\01"; Init gets a pointer into it
  StreamModuleEntries entries{};
  void* file = nullptr;   // the loaded module file; null for an in-process module
  DWORD_PTR context = 0;  // Prefix_Init's result
  State state = State::Starting;
  int inFlight = 0;
  std::vector<std::shared_ptr<AppHandle>> handles;  // not yet closed in the driver
};

struct World {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<std::shared_ptr<Device>> devices;  // every state, in activation order
  std::map<uint64_t, std::shared_ptr<Device>> activeById;
  std::map<uint64_t, std::shared_ptr<AppHandle>> handles;
  uint64_t nextId = 1;
  std::map<std::string, StreamModuleEntries> builtins;  // by lower-case name
  std::string moduleDirectory;
};

// Never destroyed: driver threads may still call in while the process exits.
World& W() {
  static World* world = new World;
  return *world;
}

// ---- Strings
// -------------------------------------------------------------------------------------

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

sim::WString FromAscii(const std::string& s) {
  return sim::WString(s.begin(), s.end());
}

DWORD WideBytes(const sim::WString& s) {
  return static_cast<DWORD>((s.size() + 1) * 2);
}

// ---- Registry
// ------------------------------------------------------------------------------------

// A non-empty REG_SZ value; ERROR_BADKEY when it is missing, of another type or empty.
LONG ReadString(HKEY key, const WCHAR* name, sim::WString* out) {
  DWORD type = 0;
  DWORD size = 0;
  if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      type != REG_SZ || size < 2) {
    return ERROR_BADKEY;
  }
  sim::WString buffer(size / 2 + 1, TEXT('\0'));
  if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &size) !=
      ERROR_SUCCESS) {
    return ERROR_BADKEY;
  }
  buffer.resize(std::min<size_t>(buffer.size(), size / 2));
  size_t end = buffer.find(TEXT('\0'));
  if (end != sim::WString::npos) buffer.resize(end);
  if (buffer.empty()) return ERROR_BADKEY;
  *out = buffer;
  return ERROR_SUCCESS;
}

bool KeyExists(const sim::WString& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

sim::WString ActivePath(unsigned number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 2) digits.insert(0, "0");
  return TEXT("Drivers\\Active\\") + FromAscii(digits);
}

LONG WriteActiveKey(const Device& device, LPCWSTR deviceKey, DWORD_PTR clientInfo) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, device.activeKey.c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (rc != ERROR_SUCCESS) return rc;
  sim::WString keyPath(deviceKey);
  sim::WString name = FromAscii(device.name);
  // "ClientInfo" is pointer-sized: a QWORD on a 64-bit host, a DWORD on a 32-bit one.
  constexpr DWORD kClientInfoType = sizeof(DWORD_PTR) == 8 ? REG_QWORD : REG_DWORD;
  rc = RegSetValueExW(key, TEXT("Key"), 0, REG_SZ, reinterpret_cast<const BYTE*>(keyPath.c_str()),
                      WideBytes(keyPath));
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, TEXT("Name"), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                        WideBytes(name));
  }
  if (rc == ERROR_SUCCESS) {
    rc = RegSetValueExW(key, TEXT("ClientInfo"), 0, kClientInfoType,
                        reinterpret_cast<const BYTE*>(&clientInfo), sizeof clientInfo);
  }
  RegCloseKey(key);
  return rc;
}

// ---- Modules
// -------------------------------------------------------------------------------------

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::vector<std::string> ModuleCandidates(const std::string& name) {
  if (modfile::HasFolder(name)) return {name};
  std::string base = name;
  if (EndsWith(Lower(base), ".dll")) base.resize(base.size() - 4);
  std::vector<std::string> folders;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    if (!W().moduleDirectory.empty()) folders.push_back(W().moduleDirectory);
  }
  std::string env = modfile::Environment("TV_MODULE_DIR");
  if (!env.empty()) folders.push_back(env);
  std::string exe = modfile::ExecutableDirectory();
  if (!exe.empty()) folders.push_back(exe);
  std::vector<std::string> candidates;
  for (const std::string& folder : folders) {
    for (const std::string& file :
         {name, "lib" + base + modfile::kSuffix, base + modfile::kSuffix}) {
      candidates.push_back(folder + "/" + file);
    }
  }
  return candidates;
}

// Finds the module and its entries; a Win32 error code.
LONG LoadModule(const std::string& name, const std::string& prefix, StreamModuleEntries* entries,
                void** file) {
  *file = nullptr;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    auto it = W().builtins.find(Lower(name));
    if (it != W().builtins.end()) {
      *entries = it->second;
      return (entries->Init && entries->Deinit && entries->Open && entries->Close)
                 ? ERROR_SUCCESS
                 : ERROR_PROC_NOT_FOUND;
    }
  }
  void* module = nullptr;
  for (const std::string& path : ModuleCandidates(name)) {
    if (!modfile::Exists(path)) continue;
    module = modfile::Open(path);
    if (module) break;
  }
  if (!module) return ERROR_MOD_NOT_FOUND;
  auto entry = [&](const char* suffix) {
    return modfile::Symbol(module, (prefix + suffix).c_str());
  };
  *entries = StreamModuleEntries{
      .Init = reinterpret_cast<PFN_STREAM_INIT>(entry("_Init")),
      .Deinit = reinterpret_cast<PFN_STREAM_DEINIT>(entry("_Deinit")),
      .Open = reinterpret_cast<PFN_STREAM_OPEN>(entry("_Open")),
      .Close = reinterpret_cast<PFN_STREAM_CLOSE>(entry("_Close")),
      .Read = reinterpret_cast<PFN_STREAM_READ>(entry("_Read")),
      .Write = reinterpret_cast<PFN_STREAM_WRITE>(entry("_Write")),
      .Seek = reinterpret_cast<PFN_STREAM_SEEK>(entry("_Seek")),
      .IOControl = reinterpret_cast<PFN_STREAM_IOCONTROL>(entry("_IOControl")),
      .PowerUp = reinterpret_cast<PFN_STREAM_POWER>(entry("_PowerUp")),
      .PowerDown = reinterpret_cast<PFN_STREAM_POWER>(entry("_PowerDown")),
  };
  if (!entries->Init || !entries->Deinit || !entries->Open || !entries->Close) {
    modfile::Close(module);
    return ERROR_PROC_NOT_FOUND;
  }
  *file = module;
  return ERROR_SUCCESS;
}

// ---- Handle values
// -------------------------------------------------------------------------------

HANDLE Encode(uintptr_t tag, uint64_t id) {
  return reinterpret_cast<HANDLE>(tag | (static_cast<uintptr_t>(id) & ~kTagMask));
}

uint64_t Decode(uintptr_t tag, HANDLE handle) {
  uintptr_t value = reinterpret_cast<uintptr_t>(handle);
  return (value & kTagMask) == tag ? static_cast<uint64_t>(value & ~kTagMask) : 0;
}

// ---- Device lifetime
// -----------------------------------------------------------------------------

// Undoes a failed activation: the active key, the module, the record. Keeps the last error.
void DiscardDevice(const std::shared_ptr<Device>& device, bool keyWritten) {
  DWORD error = GetLastError();
  if (keyWritten) RegDeleteKeyW(HKEY_LOCAL_MACHINE, device->activeKey.c_str());
  modfile::Close(device->file);
  device->file = nullptr;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    auto& list = W().devices;
    list.erase(std::remove(list.begin(), list.end(), device), list.end());
  }
  W().changed.notify_all();
  SetLastError(error);
}

// Sends the process-exit notice on every handle in the list that still has calls in flight, again
// every kNoticeRepeat, until none has. Called and returns with the lock held.
void EndCallsLocked(std::unique_lock<std::mutex>& lock, Device& device,
                    const std::vector<std::shared_ptr<AppHandle>>& handles) {
  auto busy = [&handles] {
    return std::any_of(handles.begin(), handles.end(), [](auto& h) { return h->inFlight > 0; });
  };
  while (busy()) {
    for (const auto& handle : handles) {
      if (handle->inFlight == 0 || !device.entries.IOControl) continue;
      DWORD_PTR context = handle->context;
      ++device.inFlight;
      lock.unlock();
      DEVICE_PSL_NOTIFY notice{};
      notice.dwSize = sizeof notice;
      notice.dwFlags = DLL_PROCESS_EXITING;
      DWORD actual = 0;
      DWORD error = GetLastError();
      device.entries.IOControl(context, IOCTL_PSL_NOTIFY, reinterpret_cast<PBYTE>(&notice),
                               sizeof notice, nullptr, 0, &actual);
      SetLastError(error);
      lock.lock();
      --device.inFlight;
    }
    W().changed.notify_all();
    W().changed.wait_for(lock, kNoticeRepeat, [&] { return !busy(); });
  }
}

// Prefix_Close for a handle whose calls have all returned; marks it closed. Lock held on entry and
// exit. Returns the driver's answer.
BOOL CloseInDriverLocked(std::unique_lock<std::mutex>& lock, Device& device, AppHandle& handle) {
  ++device.inFlight;
  lock.unlock();
  BOOL result = device.entries.Close(handle.context);
  lock.lock();
  --device.inFlight;
  handle.state = AppHandle::State::Closed;
  auto& list = device.handles;
  list.erase(std::remove_if(list.begin(), list.end(), [&](auto& h) { return h.get() == &handle; }),
             list.end());
  W().changed.notify_all();
  return result;
}

// Runs one application call on a live handle: counts it in, calls, counts it out. On a handle that
// is closed, closing or whose device is going: error 6 and `refused` without reaching the driver.
template <typename Result, typename Call>
Result GuardedCall(HANDLE value, Result refused, Call call) {
  uint64_t id = Decode(kAppTag, value);
  std::shared_ptr<AppHandle> handle;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    auto it = id ? W().handles.find(id) : W().handles.end();
    if (it != W().handles.end() && it->second->state == AppHandle::State::Open &&
        it->second->device->state == Device::State::Active) {
      handle = it->second;
      ++handle->inFlight;
      ++handle->device->inFlight;
    }
  }
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return refused;
  }
  Result result = call(handle->device->entries, handle->context);
  // The caller gets the driver's last error, which the host's locking below may overwrite (it
  // did on Windows).
  const DWORD error = GetLastError();
  {
    std::lock_guard<std::mutex> guard(W().lock);
    --handle->inFlight;
    --handle->device->inFlight;
  }
  W().changed.notify_all();
  SetLastError(error);
  return result;
}

void PowerAll(bool up) {
  std::vector<std::shared_ptr<Device>> devices;
  {
    std::lock_guard<std::mutex> guard(W().lock);
    for (const auto& device : W().devices) {
      if (device->state != Device::State::Active) continue;
      ++device->inFlight;
      devices.push_back(device);
    }
  }
  if (!up) std::reverse(devices.begin(), devices.end());
  for (const auto& device : devices) {
    PFN_STREAM_POWER entry = up ? device->entries.PowerUp : device->entries.PowerDown;
    if (entry) entry(device->context);
    {
      std::lock_guard<std::mutex> guard(W().lock);
      --device->inFlight;
    }
    W().changed.notify_all();
  }
}

}  // namespace

// ---- Test-facing interface
// -----------------------------------------------------------------------

void RegisterBuiltinStreamModule(const std::string& name, const StreamModuleEntries& entries) {
  std::lock_guard<std::mutex> guard(W().lock);
  W().builtins[Lower(name)] = entries;
}

void UnregisterBuiltinStreamModule(const std::string& name) {
  std::lock_guard<std::mutex> guard(W().lock);
  W().builtins.erase(Lower(name));
}

void SetModuleDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> guard(W().lock);
  W().moduleDirectory = directory;
}

void PowerDownAll() {
  PowerAll(false);
}
void PowerUpAll() {
  PowerAll(true);
}

size_t ActiveDeviceCount() {
  std::lock_guard<std::mutex> guard(W().lock);
  return static_cast<size_t>(std::count_if(W().devices.begin(), W().devices.end(), [](auto& d) {
    return d->state == Device::State::Active;
  }));
}

std::vector<std::string> ActiveDeviceNames() {
  std::lock_guard<std::mutex> guard(W().lock);
  std::vector<std::string> names;
  for (const auto& device : W().devices) {
    if (device->state == Device::State::Active) names.push_back(device->name);
  }
  return names;
}

sim::WString ActiveKeyOf(const std::string& name) {
  std::lock_guard<std::mutex> guard(W().lock);
  for (const auto& device : W().devices) {
    if (device->state == Device::State::Active && Lower(device->name) == Lower(name)) {
      return device->activeKey;
    }
  }
  return {};
}

size_t ApplicationHandleCount() {
  std::lock_guard<std::mutex> guard(W().lock);
  return W().handles.size();
}

bool IsApplicationHandleValue(HANDLE handle) {
  return (reinterpret_cast<uintptr_t>(handle) & kTagMask) == kAppTag;
}

// ---- Application handles
// -------------------------------------------------------------------------

HANDLE DeviceOpen(LPCWSTR name, DWORD access, DWORD shareMode) {
  if (!name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string wanted = Lower(Utf8(name));
  std::unique_lock<std::mutex> lock(W().lock);
  std::shared_ptr<Device> device;
  for (const auto& candidate : W().devices) {
    if (candidate->state == Device::State::Active && Lower(candidate->name) == wanted) {
      device = candidate;
    }
  }
  if (!device) {
    lock.unlock();
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  ++device->inFlight;
  lock.unlock();
  SetLastError(ERROR_SUCCESS);
  DWORD_PTR context = device->entries.Open(device->context, access, shareMode);
  DWORD error = GetLastError();
  lock.lock();
  if (context == 0) {
    --device->inFlight;
    lock.unlock();
    W().changed.notify_all();
    SetLastError(error != ERROR_SUCCESS ? error : ERROR_OPEN_FAILED);
    return INVALID_HANDLE_VALUE;
  }
  if (device->state != Device::State::Active) {
    // Deactivation began while the driver was opening: it did not see this handle, so close it
    // here, before Deinit (which waits for this call).
    lock.unlock();
    device->entries.Close(context);
    lock.lock();
    --device->inFlight;
    lock.unlock();
    W().changed.notify_all();
    SetLastError(ERROR_DEV_NOT_EXIST);
    return INVALID_HANDLE_VALUE;
  }
  auto handle = std::make_shared<AppHandle>();
  handle->id = W().nextId++;
  handle->device = device;
  handle->context = context;
  device->handles.push_back(handle);
  W().handles[handle->id] = handle;
  --device->inFlight;
  lock.unlock();
  W().changed.notify_all();
  return Encode(kAppTag, handle->id);
}

BOOL DeviceClose(HANDLE value) {
  uint64_t id = Decode(kAppTag, value);
  std::unique_lock<std::mutex> lock(W().lock);
  auto it = id ? W().handles.find(id) : W().handles.end();
  if (it == W().handles.end()) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::shared_ptr<AppHandle> handle = it->second;
  W().handles.erase(it);
  if (handle->state != AppHandle::State::Open) {
    // Closed in the driver by a deactivation, or being closed by one: nothing left to do here.
    return TRUE;
  }
  handle->state = AppHandle::State::Closing;
  Device& device = *handle->device;
  EndCallsLocked(lock, device, {handle});
  BOOL result = CloseInDriverLocked(lock, device, *handle);
  return result;
}

DWORD DeviceRead(HANDLE handle, LPVOID buffer, DWORD length) {
  return GuardedCall<DWORD>(handle, static_cast<DWORD>(-1),
                            [&](const StreamModuleEntries& e, DWORD_PTR context) -> DWORD {
                              if (!e.Read) {
                                SetLastError(ERROR_NOT_SUPPORTED);
                                return static_cast<DWORD>(-1);
                              }
                              return e.Read(context, buffer, length);
                            });
}

DWORD DeviceWrite(HANDLE handle, LPCVOID buffer, DWORD length) {
  return GuardedCall<DWORD>(handle, static_cast<DWORD>(-1),
                            [&](const StreamModuleEntries& e, DWORD_PTR context) -> DWORD {
                              if (!e.Write) {
                                SetLastError(ERROR_NOT_SUPPORTED);
                                return static_cast<DWORD>(-1);
                              }
                              return e.Write(context, buffer, length);
                            });
}

DWORD DeviceSeek(HANDLE handle, LONG distance, DWORD method) {
  return GuardedCall<DWORD>(handle, static_cast<DWORD>(-1),
                            [&](const StreamModuleEntries& e, DWORD_PTR context) -> DWORD {
                              if (!e.Seek) {
                                SetLastError(ERROR_NOT_SUPPORTED);
                                return static_cast<DWORD>(-1);
                              }
                              return e.Seek(context, distance, method);
                            });
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                     DWORD outSize, PDWORD actualOut) {
  return GuardedCall<BOOL>(
      handle, FALSE, [&](const StreamModuleEntries& e, DWORD_PTR context) -> BOOL {
        if (!e.IOControl) {
          SetLastError(ERROR_NOT_SUPPORTED);
          return FALSE;
        }
        return e.IOControl(context, code, inBuffer, inSize, outBuffer, outSize, actualOut);
      });
}

}  // namespace sim

// ---- The platform's device manager calls
// ----------------------------------------------------------

using sim::Device;
using sim::W;

extern "C" HANDLE ActivateDevice(LPCWSTR deviceKey, DWORD_PTR clientInfo) {
  if (!deviceKey || !*deviceKey) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  HKEY key = nullptr;
  LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, deviceKey, 0, KEY_READ, &key);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }
  sim::WString dll;
  sim::WString prefix;
  rc = sim::ReadString(key, TEXT("Dll"), &dll);
  if (rc == ERROR_SUCCESS) rc = sim::ReadString(key, TEXT("Prefix"), &prefix);
  bool hasIndex = false;
  DWORD index = 0;
  if (rc == ERROR_SUCCESS) {
    DWORD type = 0;
    DWORD size = sizeof index;
    if (RegQueryValueExW(key, TEXT("Index"), nullptr, &type, reinterpret_cast<LPBYTE>(&index),
                         &size) == ERROR_SUCCESS) {
      hasIndex = true;
      if (type != REG_DWORD || size != sizeof index) rc = ERROR_BADKEY;
    }
  }
  RegCloseKey(key);
  // A device name is a three-character prefix, one digit and a colon.
  if (rc == ERROR_SUCCESS && prefix.size() != 3) rc = ERROR_BADKEY;
  if (rc == ERROR_SUCCESS && hasIndex && index > 9) rc = ERROR_INVALID_PARAMETER;
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }

  auto device = std::make_shared<Device>();
  device->prefix = sim::Utf8(prefix);
  rc = sim::LoadModule(sim::Utf8(dll), device->prefix, &device->entries, &device->file);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }

  {
    std::lock_guard<std::mutex> guard(W().lock);
    auto taken = [&](DWORD i) {
      return std::any_of(W().devices.begin(), W().devices.end(), [&](auto& d) {
        return d->index == i && sim::Lower(d->prefix) == sim::Lower(device->prefix);
      });
    };
    if (hasIndex) {
      rc = taken(index) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    } else {
      rc = ERROR_NO_MORE_ITEMS;
      for (DWORD i = 1; i <= 9; ++i) {
        if (!taken(i)) {
          index = i;
          rc = ERROR_SUCCESS;
          break;
        }
      }
    }
    if (rc == ERROR_SUCCESS) {
      unsigned number = 1;
      auto numberUsed = [&](unsigned n) {
        return std::any_of(W().devices.begin(), W().devices.end(),
                           [&](auto& d) { return d->activeNumber == n; }) ||
               sim::KeyExists(sim::ActivePath(n));
      };
      while (numberUsed(number)) ++number;
      device->index = index;
      device->name = device->prefix + std::to_string(index) + ":";
      device->activeNumber = number;
      device->activeKey = sim::ActivePath(number);
      W().devices.push_back(device);
    }
  }
  if (rc != ERROR_SUCCESS) {
    sim::modfile::Close(device->file);
    SetLastError(static_cast<DWORD>(rc));
    return nullptr;
  }

  rc = sim::WriteActiveKey(*device, deviceKey, clientInfo);
  if (rc != ERROR_SUCCESS) {
    SetLastError(static_cast<DWORD>(rc));
    sim::DiscardDevice(device, true);
    return nullptr;
  }

  SetLastError(ERROR_SUCCESS);
  DWORD_PTR context = device->entries.Init(device->activeKey.c_str(), nullptr);
  if (context == 0) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_GEN_FAILURE);
    sim::DiscardDevice(device, true);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(W().lock);
  device->context = context;
  device->id = W().nextId++;
  device->state = Device::State::Active;
  W().activeById[device->id] = device;
  return sim::Encode(sim::kDeviceTag, device->id);
}

// Deactivation, in this order:
// 1. Mark the device Going under the lock: no open, call or power notice starts on it any more.
// 2. Take over every handle still open (Closing): the application's later calls get error 6.
// 3. End the calls in flight on them with the process-exit notice and wait until they returned.
// 4. Prefix_Close each of them; the records stay in the handle table, dead, until the application
//    closes them.
// 5. Wait for the closes that applications had begun themselves, and for every other call into the
//    device (an open that raced with step 1, a power notice) to return.
// 6. Prefix_Deinit, remove the active key, unload the module, forget the device.
extern "C" BOOL DeactivateDevice(HANDLE value) {
  uint64_t id = sim::Decode(sim::kDeviceTag, value);
  std::unique_lock<std::mutex> lock(W().lock);
  auto it = id ? W().activeById.find(id) : W().activeById.end();
  if (it == W().activeById.end()) {
    lock.unlock();
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  std::shared_ptr<Device> device = it->second;
  W().activeById.erase(it);
  device->state = Device::State::Going;

  std::vector<std::shared_ptr<sim::AppHandle>> owned;
  for (const auto& handle : device->handles) {
    if (handle->state != sim::AppHandle::State::Open) continue;
    handle->state = sim::AppHandle::State::Closing;
    owned.push_back(handle);
  }
  sim::EndCallsLocked(lock, *device, owned);
  for (const auto& handle : owned) sim::CloseInDriverLocked(lock, *device, *handle);
  W().changed.wait(lock, [&] { return device->handles.empty() && device->inFlight == 0; });
  lock.unlock();

  device->entries.Deinit(device->context);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, device->activeKey.c_str());
  sim::modfile::Close(device->file);
  device->file = nullptr;
  lock.lock();
  auto& list = W().devices;
  list.erase(std::remove(list.begin(), list.end(), device), list.end());
  lock.unlock();
  W().changed.notify_all();
  return TRUE;
}
