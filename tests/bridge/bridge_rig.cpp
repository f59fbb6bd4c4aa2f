#include "tests/bridge/bridge_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>

#include "sim/devmgr/sim_devmgr.h"
#include "sim/usb/sim_usb.h"
#include "usb/attach.h"
#include "usb/registration.h"

namespace bridgetest {
namespace {

std::mutex initLock;
std::vector<ComDevice*> initialised;  // every ComDevice the device manager activated, in order

DWORD_PTR StreamInit(LPCWSTR key, LPCVOID) {
  ComDevice* com = ComInit(key, &BridgePortOps);
  std::lock_guard<std::mutex> hold(initLock);
  if (com != nullptr) initialised.push_back(com);
  return reinterpret_cast<DWORD_PTR>(com);
}
BOOL StreamDeinit(DWORD_PTR d) {
  return ComDeinit(reinterpret_cast<ComDevice*>(d));
}
DWORD_PTR StreamOpen(DWORD_PTR d, DWORD a, DWORD s) {
  return reinterpret_cast<DWORD_PTR>(ComOpen(reinterpret_cast<ComDevice*>(d), a, s));
}
BOOL StreamClose(DWORD_PTR h) {
  return ComClose(reinterpret_cast<ComHandle*>(h));
}
DWORD StreamRead(DWORD_PTR h, LPVOID b, DWORD n) {
  return ComRead(reinterpret_cast<ComHandle*>(h), b, n);
}
DWORD StreamWrite(DWORD_PTR h, LPCVOID b, DWORD n) {
  return ComWrite(reinterpret_cast<ComHandle*>(h), b, n);
}
BOOL StreamIoctl(DWORD_PTR h, DWORD c, PBYTE i, DWORD is, PBYTE o, DWORD os, PDWORD a) {
  return ComIOControl(reinterpret_cast<ComHandle*>(h), c, i, is, o, os, a);
}
DWORD StreamPowerUp(DWORD_PTR d) {
  return ComPowerUp(reinterpret_cast<ComDevice*>(d));
}
DWORD StreamPowerDown(DWORD_PTR d) {
  return ComPowerDown(reinterpret_cast<ComDevice*>(d));
}

}  // namespace

void InstallLinkedDriver() {
  static std::once_flag once;
  std::call_once(once, [] {
    ASSERT_TRUE(InstallDriver(DriverClientId));
    WCHAR path[PortKeyPathChars];
    ASSERT_TRUE(BuildPortKeyPath(path, PortKeyPathChars, 1, DriverVendorId, DriverProductId));
    RegistryValue values[] = {
        {TEXT("Dll"), REG_SZ, 0, const_cast<WCHAR*>(DriverClientId)},
        {TEXT("Prefix"), REG_SZ, 0, const_cast<WCHAR*>(TEXT("COM"))},
        {nullptr, 0, 0, nullptr},
    };
    ASSERT_TRUE(ApplyRegistryValues(path, values, RegistryWrite, TRUE));
    sim::RegisterBuiltinStreamModule("Tollaverk", {.Init = StreamInit,
                                                   .Deinit = StreamDeinit,
                                                   .Open = StreamOpen,
                                                   .Close = StreamClose,
                                                   .Read = StreamRead,
                                                   .Write = StreamWrite,
                                                   .Seek = nullptr,
                                                   .IOControl = StreamIoctl,
                                                   .PowerUp = StreamPowerUp,
                                                   .PowerDown = StreamPowerDown});
    sim::RegisterBuiltinUsbClient(DriverClientId, DeviceAttach);
  });
}

namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Sleep(2);
  }
  return true;
}

}  // namespace

sim::BridgeConfig Unpaced(uint8_t partNumber, unsigned interfaces) {
  sim::BridgeConfig config;
  config.paced = false;
  config.partNumber = partNumber;
  config.interfaces = interfaces;
  return config;
}

Bridge::Bridge(const sim::BridgeConfig& config,
               const std::function<void(BridgeModel&)>& beforePlug) {
  InstallLinkedDriver();
  size_t before;
  {
    std::lock_guard<std::mutex> hold(initLock);
    before = initialised.size();
  }
  model = BridgeModel::Create(config);
  if (beforePlug) beforePlug(*model);
  id = model->Plug();
  attachLog = model->Log();
  model->ClearLog();
  // A refused device's stream devices were deactivated again.
  if (sim::LastAttachResult(id).status != sim::AttachResult::Status::Attached) return;
  std::lock_guard<std::mutex> hold(initLock);
  for (size_t i = before; i < initialised.size() && i - before < BridgeMaxPorts; ++i) {
    com_[i - before] = initialised[i];
  }
}

Bridge::~Bridge() {
  if (sim::IsPlugged(id)) model->Unplug();
  EXPECT_TRUE(sim::WaitRemoved(id, 10000));
}

void Bridge::Unplug() {
  bool open = (State() & PortOpened) != 0;
  ASSERT_TRUE(model->Unplug());
  if (!open) {
    // Nothing holds the records: they are released with the removal.
    ASSERT_TRUE(sim::WaitRemoved(id, 10000));
    for (auto& com : com_) com = nullptr;
    return;
  }
  ASSERT_TRUE(WaitUntil([&] { return (State() & PortDetached) != 0; }, 5000));
}

void Bridge::StopPoll(unsigned i) {
  BridgePort* port = Port(i);
  EnterCriticalSection(&port->device->lock);
  UINT timer = port->pollTimer;
  port->pollTimer = 0;
  LeaveCriticalSection(&port->device->lock);
  if (timer != 0) timeKillEvent(timer);
}

std::vector<BridgeLogEntry> Bridge::Requests() const {
  std::vector<BridgeLogEntry> out;
  for (auto& e : model->Log()) {
    if (e.kind == BridgeLogEntry::Kind::Control) out.push_back(e);
  }
  return out;
}

std::vector<BridgeLogEntry> Bridge::WithoutPolls(bool keepFirstModemRead) const {
  std::vector<BridgeLogEntry> out;
  for (auto& e : Requests()) {
    if (e.setup.bRequest == ReqCommStatus) continue;
    if (e.setup.bRequest == ReqModemStatus && !keepFirstModemRead) continue;
    if (e.setup.bRequest == ReqModemStatus) keepFirstModemRead = false;
    out.push_back(e);
  }
  return out;
}

std::vector<Bytes> Bridge::BulkOuts() const {
  std::vector<Bytes> out;
  for (auto& e : model->Log()) {
    if (e.kind == BridgeLogEntry::Kind::BulkOut) out.emplace_back(e.data.begin(), e.data.end());
  }
  return out;
}

bool Bridge::WaitPolls(size_t count) const {
  size_t start = model->CountRequests(ReqCommStatus);
  return WaitUntil([&] { return model->CountRequests(ReqCommStatus) >= start + count; }, 5000);
}

ComHandle* OpenData(ComDevice* com) {
  return ComOpen(com, GENERIC_READ | GENERIC_WRITE, 0);
}

BOOL SetTimeouts(ComHandle* h, COMMTIMEOUTS timeouts) {
  return ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&timeouts),
                      sizeof(timeouts), nullptr, 0, nullptr);
}

Bytes ReadAll(ComHandle* h, size_t count) {
  Bytes got(count);
  DWORD total = 0;
  while (total < got.size()) {
    DWORD n = ComRead(h, got.data() + total, (DWORD)got.size() - total);
    if (n == 0 || n == (DWORD)-1) break;
    total += n;
  }
  got.resize(total);
  return got;
}

DWORD WaitEvents(ComHandle* h) {
  auto waiter = std::async(std::launch::async, [h] {
    DWORD mask = 0;
    DWORD actual = 0;
    if (!ComIOControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, reinterpret_cast<BYTE*>(&mask), 4,
                      &actual)) {
      ADD_FAILURE() << "wait failed with " << GetLastError();
    }
    return mask;
  });
  if (waiter.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "no communication event";
    AbortHandleWaits(h);
  }
  return waiter.get();
}

DCB DefaultDcb() {
  DCB dcb;
  std::memset(&dcb, 0, sizeof(dcb));
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = 9600;
  dcb.fBinary = 1;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.XonLim = 512;
  dcb.XoffLim = 128;
  dcb.ByteSize = 8;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0x0D;
  dcb.EofChar = 0x0D;
  dcb.EvtChar = 0x0D;
  return dcb;
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (BYTE)(i * 7 + i / 251);
  return b;
}

}  // namespace bridgetest
