#include "tests/sim_devmgr/fake_stream.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace fake {
namespace {

Open* AsOpen(DWORD_PTR context) {
  return reinterpret_cast<Open*>(context);
}

// Counts a call in on an open context; lock held.
void EnterLocked(Open* open) {
  if (open->closed) ++S().callsOnClosed;
  ++open->running;
  ++S().running;
}

void LeaveLocked(Open* open) {
  --open->running;
  --S().running;
  S().changed.notify_all();
}

// Blocks until the handle gets a notice that ends the call (after any it is told to ignore).
void BlockUntilNoticeLocked(std::unique_lock<std::mutex>& lock, Open* open) {
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
}

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
  Open* open = AsOpen(context);
  ++S().closes;
  if (open->closed) ++S().callsOnClosed;
  if (open->running > 0) ++S().closeWhileRunning;
  open->closed = true;
  S().log.push_back("close");
  S().changed.notify_all();
  return TRUE;
}

DWORD FakRead(DWORD_PTR context, LPVOID buffer, DWORD length) {
  std::unique_lock<std::mutex> lock(S().lock);
  Open* open = AsOpen(context);
  EnterLocked(open);
  ++S().reads;
  DWORD result = length;
  if (S().blockRead) {
    BlockUntilNoticeLocked(lock, open);
    S().log.push_back("read-end");
    SetLastError(ERROR_OPERATION_ABORTED);
    result = static_cast<DWORD>(-1);
  } else if (S().readResult != 0) {
    SetLastError(S().readResult);
    result = static_cast<DWORD>(-1);
  } else {
    for (DWORD i = 0; i < length; ++i) static_cast<BYTE*>(buffer)[i] = static_cast<BYTE>(i + 1);
  }
  LeaveLocked(open);
  return result;
}

DWORD FakWrite(DWORD_PTR context, LPCVOID buffer, DWORD length) {
  std::unique_lock<std::mutex> lock(S().lock);
  Open* open = AsOpen(context);
  EnterLocked(open);
  ++S().writes;
  DWORD result = length;
  if (S().blockWrite) {
    BlockUntilNoticeLocked(lock, open);
    S().log.push_back("write-end");
    result = 0;
  } else {
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    S().written.insert(S().written.end(), bytes, bytes + length);
  }
  LeaveLocked(open);
  return result;
}

DWORD FakSeek(DWORD_PTR context, LONG distance, DWORD method) {
  std::lock_guard<std::mutex> lock(S().lock);
  Open* open = AsOpen(context);
  EnterLocked(open);
  ++S().seeks;
  LeaveLocked(open);
  return static_cast<DWORD>(distance) + method;
}

BOOL FakIOControl(DWORD_PTR context, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                  DWORD outSize, PDWORD actualOut) {
  std::unique_lock<std::mutex> lock(S().lock);
  Open* open = AsOpen(context);
  EnterLocked(open);
  BOOL result = TRUE;
  if (code == IOCTL_PSL_NOTIFY) {
    DEVICE_PSL_NOTIFY notice{};
    if (inBuffer && inSize == sizeof notice) {
      memcpy(&notice, inBuffer, sizeof notice);
      if (notice.dwSize == sizeof notice && notice.dwFlags == DLL_PROCESS_EXITING) {
        ++open->notices;
        S().log.push_back("notice");
      }
    }
  } else {
    ++S().ioctls;
    IoCall call;
    call.code = code;
    call.inSize = inSize;
    call.inNull = inBuffer == nullptr;
    if (inBuffer) call.in.assign(inBuffer, inBuffer + inSize);
    call.outSize = outSize;
    call.outNull = outBuffer == nullptr;
    call.actualNull = actualOut == nullptr;
    S().ioCalls.push_back(call);
    if (code == IOCTL_SERIAL_WAIT_ON_MASK && S().blockWait) {
      BlockUntilNoticeLocked(lock, open);
      S().log.push_back("wait-end");
      if (outBuffer && outSize >= 4) memset(outBuffer, 0, 4);
      if (actualOut) *actualOut = 4;
    } else {
      // Answers with a recognisable pattern over the whole output buffer.
      if (outBuffer) {
        for (DWORD i = 0; i < outSize; ++i) outBuffer[i] = static_cast<BYTE>(0xA0 + i);
      }
      if (actualOut) *actualOut = outSize;
    }
  }
  LeaveLocked(open);
  return result;
}

DWORD FakPowerUp(DWORD_PTR device) {
  std::lock_guard<std::mutex> lock(S().lock);
  ++S().powerUps;
  S().log.push_back("up:" + std::to_string(device - 0x1000));
  return 1;
}

DWORD FakPowerDown(DWORD_PTR device) {
  std::lock_guard<std::mutex> lock(S().lock);
  ++S().powerDowns;
  S().log.push_back("down:" + std::to_string(device - 0x1000));
  return 1;
}

}  // namespace

State& S() {
  static State state;
  return state;
}

void Reset() {
  std::lock_guard<std::mutex> lock(S().lock);
  State& s = S();
  s.failInit = s.failOpen = s.blockRead = s.blockWrite = s.blockWait = false;
  s.blockOpen = s.releaseOpen = false;
  s.initError = s.openError = s.readResult = 0;
  s.ignoreNotices = s.returnDelayMs = 0;
  s.inits = s.deinits = s.opens = s.closes = s.reads = s.writes = s.seeks = s.ioctls = 0;
  s.powerUps = s.powerDowns = 0;
  s.blocked = s.running = s.callsOnClosed = s.closeWhileRunning = s.deinitWhileRunning = 0;
  s.log.clear();
  s.initKey.clear();
  s.clientInfoType = s.clientInfoSize = 0;
  s.clientInfo = 0;
  s.dllThroughDeviceKey.clear();
  s.written.clear();
  s.ioCalls.clear();
  s.opensMade.clear();
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
