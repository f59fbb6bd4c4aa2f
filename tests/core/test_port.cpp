#include "tests/core/test_port.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "core/com_internal.h"
#include "platform/ce_os.h"

namespace {

TestPort* current = nullptr;

TestPort* P(PortContext port) {
  return static_cast<TestPort*>(port);
}

// A slot that only records its call and answers Result.
template <Slot S, typename R, R Result>
R Recorded(PortContext p) {
  P(p)->Record(S, 0);
  return Result;
}
// A line slot: sets the test port's copy of the line, then records the call.
template <Slot S, std::atomic<bool> TestPort::*Line, bool On>
void LineSlot(PortContext p) {
  (P(p)->*Line) = On;
  P(p)->Record(S, 0);
}

PortContext SlotInit(LPCWSTR, ComDevice* device, PortBinding* binding) {
  TestPort* port = current;
  if (port == nullptr) return nullptr;
  port->Record(Slot::Init, 0);
  if (port->initFails.load()) return nullptr;
  port->device = device;
  port->binding = binding;
  binding->bindFlags = port->bindFlags.load();
  binding->interruptId = -1;
  return port;
}
BOOL SlotDeinit(PortContext p) {
  P(p)->Record(Slot::Deinit, 0);
  P(p)->deinitDone = true;
  P(p)->device = nullptr;
  return TRUE;
}
BOOL SlotOpen(PortContext p) {
  P(p)->Record(Slot::Open, 0);
  return P(p)->openFails.load() ? FALSE : TRUE;
}
ULONG SlotClose(PortContext p) {
  P(p)->Record(Slot::Close, LoadWord(&P(p)->device->openCount));
  return 0;
}
DWORD SlotQueryEvents(PortContext p) {
  return P(p)->DoQueryEvents();
}
DWORD SlotReceive(PortContext p, BYTE* buffer, DWORD* count) {
  return P(p)->DoReceive(buffer, count);
}
DWORD SlotTransmit(PortContext p, const BYTE* data, DWORD* count) {
  return P(p)->DoTransmit(data, count);
}
DWORD SlotRxBufferSize(PortContext p) {
  P(p)->Record(Slot::RxBufferSize, 0);
  return P(p)->rxBufferSize.load();
}
BOOL SlotEnableIr(PortContext p, DWORD baud) {
  P(p)->Record(Slot::EnableIr, baud);
  return P(p)->enableIrAnswer.load();
}
BOOL SlotSendImmediate(PortContext p, BYTE c) {
  // A slow bus transfer: the character is on the wire only once the call ends.
  if (c == 0x11 && P(p)->xonDelayMs.load() > 0) {
    P(p)->inSlowXon = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(P(p)->xonDelayMs.load()));
    P(p)->inSlowXon = false;
  }
  P(p)->Record(Slot::SendImmediate, c);
  return TRUE;
}
DWORD SlotGetStatus(PortContext p, COMSTAT* status) {
  P(p)->Record(Slot::GetStatus, 0);
  DWORD flags = P(p)->statusFlags.load();
  std::memcpy(status, &flags, sizeof(flags));
  status->cbInQue = 0xDEAD;  // the core must replace both counts
  status->cbOutQue = 0xBEEF;
  return P(p)->statusErrors.load();
}
void SlotReset(PortContext p) {
  P(p)->Record(Slot::Reset, 0);
}
void SlotGetModemStatus(PortContext p, DWORD* status) {
  P(p)->Record(Slot::GetModemStatus, *status);
  *status |= P(p)->modemStatus.load();
}
void SlotGetProperties(PortContext p, COMMPROP* properties) {
  P(p)->Record(Slot::GetProperties, properties->dwMaxBaud);
  properties->dwMaxBaud = 0x10000000u;
  properties->wPacketLength = sizeof(COMMPROP);
}
void SlotPurge(PortContext p, DWORD flags) {
  P(p)->Record(Slot::Purge, flags);
}
BOOL SlotSetLineSettings(PortContext p, const DCB* dcb) {
  return P(p)->DoSetLineSettings(dcb);
}
BOOL SlotSetTimeouts(PortContext p, const COMMTIMEOUTS* t) {
  P(p)->Record(Slot::SetTimeouts, t->ReadIntervalTimeout);
  return TRUE;
}
BOOL SlotControl(PortContext p, DWORD code, BYTE*, DWORD, BYTE* out, DWORD outSize,
                 DWORD* actualOut) {
  P(p)->Record(Slot::Control, code);
  BOOL answer = P(p)->controlAnswer.load();
  if (answer && out != nullptr && outSize >= 4 && actualOut != nullptr) {
    DWORD word = 0xC0DE0000u | (code & 0xFFFF);
    std::memcpy(out, &word, 4);
    *actualOut = 4;
  }
  return answer;
}

const PortOps kOps = {
    .Init = SlotInit,
    .PostInit = Recorded<Slot::PostInit, BOOL, TRUE>,
    .Deinit = SlotDeinit,
    .Open = SlotOpen,
    .Close = SlotClose,
    .QueryEvents = SlotQueryEvents,
    .Receive = SlotReceive,
    .Transmit = SlotTransmit,
    .OnModemEvent = Recorded<Slot::OnModemEvent, ULONG_PTR, 0>,
    .OnLineEvent = Recorded<Slot::OnLineEvent, ULONG_PTR, 0>,
    .RxBufferSize = SlotRxBufferSize,
    .PowerOff = Recorded<Slot::PowerOff, DWORD, 0x51>,
    .PowerOn = Recorded<Slot::PowerOn, DWORD, 0x52>,
    .ClearDtr = LineSlot<Slot::ClearDtr, &TestPort::dtr, false>,
    .SetDtr = LineSlot<Slot::SetDtr, &TestPort::dtr, true>,
    .ClearRts = LineSlot<Slot::ClearRts, &TestPort::rts, false>,
    .SetRts = LineSlot<Slot::SetRts, &TestPort::rts, true>,
    .EnableIr = SlotEnableIr,
    .DisableIr = Recorded<Slot::DisableIr, BOOL, FALSE>,
    .ClearBreak = LineSlot<Slot::ClearBreak, &TestPort::breakOn, false>,
    .SetBreak = LineSlot<Slot::SetBreak, &TestPort::breakOn, true>,
    .SendImmediate = SlotSendImmediate,
    .GetStatus = SlotGetStatus,
    .Reset = SlotReset,
    .GetModemStatus = SlotGetModemStatus,
    .GetProperties = SlotGetProperties,
    .Purge = SlotPurge,
    .SetLineSettings = SlotSetLineSettings,
    .SetTimeouts = SlotSetTimeouts,
    .Control = SlotControl,
};

PortOps MakeOpsWithoutControl() {
  PortOps ops = kOps;
  ops.Control = nullptr;
  return ops;
}
const PortOps kOpsWithoutControl = MakeOpsWithoutControl();

}  // namespace

TestPort::TestPort() {
  MakeCurrent();
}
TestPort::~TestPort() {
  if (current == this) current = nullptr;
}
const PortOps* TestPort::Ops() {
  return &kOps;
}
const PortOps* TestPort::OpsWithoutControl() {
  return &kOpsWithoutControl;
}
void TestPort::MakeCurrent() {
  current = this;
}

void TestPort::Record(Slot slot, uint64_t arg) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back({slot, arg});
  changed_.notify_all();
}

void TestPort::Feed(const void* data, size_t size) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    source_.insert(source_.end(), bytes, bytes + size);
  }
  if (device != nullptr) SetEvent(device->wakeEvent);
}

size_t TestPort::Pending() {
  std::lock_guard<std::mutex> lock(mutex_);
  return source_.size();
}

bool TestPort::WaitDrained(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                           [this] { return source_.empty(); });
}

void TestPort::SetTxPending() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    txPending_ = true;
  }
  SetEvent(device->wakeEvent);
}

DWORD TestPort::DoQueryEvents() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back({Slot::QueryEvents, 0});
  DWORD bits = source_.empty() ? 0u : static_cast<DWORD>(PendingRx);
  if (txPending_) {
    bits |= PendingTx;
    txPending_ = false;  // one pump run per report
  }
  return bits;
}

DWORD TestPort::DoReceive(BYTE* buffer, DWORD* count) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back({Slot::Receive, *count});
  size_t n = std::min<size_t>({*count, source_.size(), rxPerCall.load()});
  std::copy(source_.begin(), source_.begin() + static_cast<long>(n), buffer);
  source_.erase(source_.begin(), source_.begin() + static_cast<long>(n));
  *count = static_cast<DWORD>(n) + rxClaimExtra.load();
  changed_.notify_all();
  return 7;
}

DWORD TestPort::DoTransmit(const BYTE* data, DWORD* count) {
  const DWORD offered = *count;
  DWORD accepted = 0;
  TxMode mode = txMode.load();
  if (data != nullptr && mode != TxMode::Hold) accepted = std::min(offered, txPerCall.load());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back({Slot::Transmit, data == nullptr ? 0xFFFFFFFFull : offered});
    if (data != nullptr) transmitted_.insert(transmitted_.end(), data, data + accepted);
    changed_.notify_all();
  }
  *count = accepted + txClaimExtra.load();
  if (data != nullptr) {
    if (mode == TxMode::Sync) SetEvent(device->txDoneEvent);
    if (mode == TxMode::Slow && offered > 0) SetTxPending();
  }
  return 0;
}

BOOL TestPort::DoSetLineSettings(const DCB* dcb) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back({Slot::SetLineSettings, dcb->BaudRate});
  if (lineSettingsRefused.load()) return FALSE;
  lastDcb_ = *dcb;
  return TRUE;
}

DCB TestPort::LastLineSettings() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lastDcb_;
}

std::vector<PortCall> TestPort::Calls() {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}

size_t TestPort::Count(Slot slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<size_t>(std::count_if(calls_.begin(), calls_.end(),
                                           [slot](const PortCall& c) { return c.slot == slot; }));
}

std::vector<uint64_t> TestPort::Args(Slot slot) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint64_t> args;
  for (const PortCall& c : calls_)
    if (c.slot == slot) args.push_back(c.arg);
  return args;
}

void TestPort::ClearCalls() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::vector<uint8_t> TestPort::Transmitted() {
  std::lock_guard<std::mutex> lock(mutex_);
  return transmitted_;
}

bool TestPort::WaitForCount(Slot slot, size_t n, int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
    return static_cast<size_t>(
               std::count_if(calls_.begin(), calls_.end(),
                             [slot](const PortCall& c) { return c.slot == slot; })) >= n;
  });
}

namespace {
DWORD ByteSize(const WCHAR* s) {
  return static_cast<DWORD>((std::char_traits<WCHAR>::length(s) + 1) * sizeof(WCHAR));
}
}  // namespace

sim::WString MakeActiveKey(const WCHAR* activeName, const WCHAR* deviceKey, const DWORD* priority) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, deviceKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  &disposition);
  if (key != nullptr) {
    RegDeleteValueW(key, TEXT("Priority256"));
    if (priority != nullptr)
      RegSetValueExW(key, TEXT("Priority256"), 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(priority), sizeof(DWORD));
    RegCloseKey(key);
  }
  key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, activeName, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                  &disposition);
  if (key != nullptr) {
    RegSetValueExW(key, TEXT("Key"), 0, REG_SZ, reinterpret_cast<const BYTE*>(deviceKey),
                   ByteSize(deviceKey));
    RegCloseKey(key);
  }
  return activeName;
}

void RemoveKeys(const WCHAR* activeName, const WCHAR* deviceKey) {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, activeName);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, deviceKey);
}
