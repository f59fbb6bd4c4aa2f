#include "tests/sim_devmgr/fake_stream.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace fake {
namespace {

// One call on an open context, counted in and out under the state lock, which it holds.
struct Call {
  explicit Call(DWORD_PTR context) : lock(S().lock), open(reinterpret_cast<Open*>(context)) {
    if (open->closed) ++S().callsOnClosed;
    ++open->running;
    ++S().running;
  }
  ~Call() {
    --open->running;
    --S().running;
    S().changed.notify_all();
  }
  // Blocks until the handle gets a notice that ends the call (after any it is told to ignore),
  // then logs `end`.
  void BlockUntilNotice(const char* end) {
    int seen = open->notices;
    int needed = 1 + S().ignoreNotices;
    S().ignoreNotices = 0;
    ++S().blocked;
    S().changed.notify_all();
    S().changed.wait(lock, [&] { return open->notices - seen >= needed; });
    --S().blocked;
    S().changed.notify_all();
    if (S().returnDelayMs > 0) {
      int delay = S().returnDelayMs;
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(delay));
      lock.lock();
    }
    S().log.push_back(end);
  }
  std::unique_lock<std::mutex> lock;
  Open* open;
};

DWORD_PTR FakInit(LPCWSTR activeKey, LPCVOID) {
  std::unique_lock<std::mutex> lock(S().lock);
  ++S().inits;
  S().log.push_back("init");
  S().initKey = activeKey ? sim::WString(activeKey) : sim::WString();
  HKEY key = nullptr;
  if (activeKey && RegOpenKeyExW(HKEY_LOCAL_MACHINE, activeKey, 0, KEY_READ, &key) == 0) {
    S().clientInfoSize = sizeof S().clientInfo;
    RegQueryValueExW(key, TEXT("ClientInfo"), nullptr, &S().clientInfoType,
                     reinterpret_cast<LPBYTE>(&S().clientInfo), &S().clientInfoSize);
    RegCloseKey(key);
  }
  HKEY deviceKey = activeKey ? OpenDeviceKey(activeKey) : nullptr;
  if (deviceKey) {
    WCHAR dll[64] = {};
    DWORD size = sizeof dll - 2;
    DWORD type = 0;
    if (RegQueryValueExW(deviceKey, TEXT("Dll"), nullptr, &type, reinterpret_cast<LPBYTE>(dll),
                         &size) == 0) {
      S().dllThroughDeviceKey = dll;
    }
    RegCloseKey(deviceKey);
  }
  if (S().failInit) {
    SetLastError(S().initError);
    return 0;
  }
  return static_cast<DWORD_PTR>(0x1000 + S().inits);
}

BOOL FakDeinit(DWORD_PTR) {
  std::lock_guard<std::mutex> lock(S().lock);
  ++S().deinits;
  if (S().running > 0) ++S().deinitWhileRunning;
  S().log.push_back("deinit");
  S().changed.notify_all();
  return TRUE;
}

DWORD_PTR FakOpen(DWORD_PTR, DWORD access, DWORD shareMode) {
  std::unique_lock<std::mutex> lock(S().lock);
  ++S().opens;
  ++S().running;
  S().log.push_back("open");
  S().changed.notify_all();
  if (S().blockOpen) {
    ++S().blocked;
    S().changed.notify_all();
    S().changed.wait(lock, [] { return S().releaseOpen; });
    --S().blocked;
  }
  --S().running;
  S().changed.notify_all();
  if (S().failOpen) {
    SetLastError(S().openError);
    return 0;
  }
  Open& open = S().opensMade.emplace_back();
  open.access = access;
  open.shareMode = shareMode;
  return reinterpret_cast<DWORD_PTR>(&open);
}

BOOL FakClose(DWORD_PTR context) {
  std::lock_guard<std::mutex> lock(S().lock);
  Open* open = reinterpret_cast<Open*>(context);
  ++S().closes;
  if (open->closed) ++S().callsOnClosed;
  if (open->running > 0) ++S().closeWhileRunning;
  open->closed = true;
  S().log.push_back("close");
  S().changed.notify_all();
  return TRUE;
}

DWORD FakRead(DWORD_PTR context, LPVOID buffer, DWORD length) {
  Call call(context);
  ++S().reads;
  if (S().blockRead) {
    call.BlockUntilNotice("read-end");
    SetLastError(ERROR_OPERATION_ABORTED);
    return static_cast<DWORD>(-1);
  }
  if (S().readResult != 0) {
    SetLastError(S().readResult);
    return static_cast<DWORD>(-1);
  }
  for (DWORD i = 0; i < length; ++i) static_cast<BYTE*>(buffer)[i] = static_cast<BYTE>(i + 1);
  return length;
}

DWORD FakWrite(DWORD_PTR context, LPCVOID buffer, DWORD length) {
  Call call(context);
  ++S().writes;
  if (S().blockWrite) {
    call.BlockUntilNotice("write-end");
    return 0;
  }
  const BYTE* bytes = static_cast<const BYTE*>(buffer);
  S().written.insert(S().written.end(), bytes, bytes + length);
  return length;
}

DWORD FakSeek(DWORD_PTR context, LONG distance, DWORD method) {
  Call call(context);
  ++S().seeks;
  return static_cast<DWORD>(distance) + method;
}

BOOL FakIOControl(DWORD_PTR context, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                  DWORD outSize, PDWORD actualOut) {
  Call call(context);
  if (code == IOCTL_PSL_NOTIFY) {
    DEVICE_PSL_NOTIFY notice{};
    if (inBuffer && inSize == sizeof notice) {
      memcpy(&notice, inBuffer, sizeof notice);
      if (notice.dwSize == sizeof notice && notice.dwFlags == DLL_PROCESS_EXITING) {
        ++call.open->notices;
        S().log.push_back("notice");
      }
    }
    return TRUE;
  }
  ++S().ioctls;
  IoCall& io = S().ioCalls.emplace_back();
  io.code = code;
  io.inSize = inSize;
  io.inNull = inBuffer == nullptr;
  if (inBuffer) io.in.assign(inBuffer, inBuffer + inSize);
  io.outSize = outSize;
  io.outNull = outBuffer == nullptr;
  io.actualNull = actualOut == nullptr;
  if (code == IOCTL_SERIAL_WAIT_ON_MASK && S().blockWait) {
    call.BlockUntilNotice("wait-end");
    if (outBuffer && outSize >= 4) memset(outBuffer, 0, 4);
    if (actualOut) *actualOut = 4;
    return TRUE;
  }
  // Answers with a recognisable pattern over the whole output buffer.
  if (outBuffer) {
    for (DWORD i = 0; i < outSize; ++i) outBuffer[i] = static_cast<BYTE>(0xA0 + i);
  }
  if (actualOut) *actualOut = outSize;
  return TRUE;
}

DWORD PowerNotice(DWORD_PTR device, int Record::*count, const char* what) {
  std::lock_guard<std::mutex> lock(S().lock);
  ++(S().*count);
  S().log.push_back(what + std::to_string(device - 0x1000));
  return 1;
}

DWORD FakPowerUp(DWORD_PTR device) {
  return PowerNotice(device, &Record::powerUps, "up:");
}

DWORD FakPowerDown(DWORD_PTR device) {
  return PowerNotice(device, &Record::powerDowns, "down:");
}

}  // namespace

State& S() {
  static State state;
  return state;
}

void Reset() {
  std::lock_guard<std::mutex> lock(S().lock);
  static_cast<Record&>(S()) = Record{};
}

sim::StreamModuleEntries Entries() {
  return sim::StreamModuleEntries{
      .Init = FakInit,
      .Deinit = FakDeinit,
      .Open = FakOpen,
      .Close = FakClose,
      .Read = FakRead,
      .Write = FakWrite,
      .Seek = FakSeek,
      .IOControl = FakIOControl,
      .PowerUp = FakPowerUp,
      .PowerDown = FakPowerDown,
  };
}

void Register() {
  sim::RegisterBuiltinStreamModule(kModuleName, Entries());
}

}  // namespace fake
