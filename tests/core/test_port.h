// A scriptable port implementation for the serial core's tests: every slot filled, every call
// recorded with its arguments, a byte source that feeds Receive, configurable answers and a
// readable DTR/RTS/break state.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/port_ops.h"
#include "core/com_device.h"
#include "sim/os/sim_os.h"

enum class Slot {
  Init,
  PostInit,
  Deinit,
  Open,
  Close,
  QueryEvents,
  Receive,
  Transmit,
  OnModemEvent,
  OnLineEvent,
  RxBufferSize,
  PowerOff,
  PowerOn,
  ClearDtr,
  SetDtr,
  ClearRts,
  SetRts,
  EnableIr,
  DisableIr,
  ClearBreak,
  SetBreak,
  SendImmediate,
  GetStatus,
  Reset,
  GetModemStatus,
  GetProperties,
  Purge,
  SetLineSettings,
  SetTimeouts,
  Control,
};

struct PortCall {
  Slot slot;
  uint64_t arg;  // the slot's main argument: count offered, character, flags, code, baud rate
};

enum class TxMode {
  Sync,  // accept up to txPerCall bytes and set txDoneEvent before returning, like a bus port
  Slow,  // accept up to txPerCall bytes, then report PendingTx so the event thread pumps again
  Hold,  // accept nothing and report nothing
};

class TestPort {
 public:
  TestPort();
  ~TestPort();

  // The table to hand to ComInit; Init binds the device to the TestPort made current here.
  static const PortOps* Ops();
  static const PortOps* OpsWithoutControl();
  void MakeCurrent();

  // ---- Configuration (set before the calls they affect) ----
  std::atomic<bool> initFails{false};
  std::atomic<DWORD> bindFlags{BindThreadAtOpen};
  std::atomic<DWORD> rxBufferSize{32768};
  std::atomic<bool> openFails{false};
  std::atomic<bool> lineSettingsRefused{false};
  std::atomic<BOOL> controlAnswer{TRUE};
  std::atomic<BOOL> enableIrAnswer{FALSE};
  std::atomic<DWORD> statusErrors{0};
  std::atomic<DWORD> statusFlags{0};  // COMSTAT flag word GetStatus reports
  std::atomic<DWORD> modemStatus{0};
  std::atomic<TxMode> txMode{TxMode::Sync};
  std::atomic<DWORD> txPerCall{0xFFFFFFFFu};
  std::atomic<DWORD> txClaimExtra{0};         // added to the accepted count: a port that lies
  std::atomic<DWORD> rxPerCall{0xFFFFFFFFu};  // most bytes one Receive delivers
  std::atomic<DWORD> rxClaimExtra{0};         // added to the delivered count: a port that lies
  std::atomic<int> xonDelayMs{0};             // SendImmediate of 0x11 takes this long
  std::atomic<bool> inSlowXon{false};         // a delayed 0x11 is being sent right now

  // ---- The byte source ----
  // Queues bytes as received from the line; reports PendingRx and sets the device's wakeEvent.
  void Feed(const void* data, size_t size);
  void Feed(const std::string& s) { Feed(s.data(), s.size()); }
  size_t Pending();  // bytes not yet taken by Receive
  // Blocks until Receive has taken everything, or the time runs out; true when drained.
  bool WaitDrained(int milliseconds);

  // ---- Observations ----
  std::vector<PortCall> Calls();
  size_t Count(Slot slot);
  std::vector<uint64_t> Args(Slot slot);
  void ClearCalls();
  std::vector<uint8_t> Transmitted();
  bool Dtr() const { return dtr.load(); }
  bool Rts() const { return rts.load(); }
  bool Break() const { return breakOn.load(); }
  // Waits until the slot was called at least n times in all; true when it was.
  bool WaitForCount(Slot slot, size_t n, int milliseconds);
  DCB LastLineSettings();

  ComDevice* device = nullptr;
  PortBinding* binding = nullptr;

  // Slot implementations (public so the static table can reach them).
  void Record(Slot slot, uint64_t arg);
  DWORD DoQueryEvents();
  DWORD DoReceive(BYTE* buffer, DWORD* count);
  DWORD DoTransmit(const BYTE* data, DWORD* count);
  BOOL DoSetLineSettings(const DCB* dcb);
  void SetTxPending();

  std::atomic<bool> dtr{false}, rts{false}, breakOn{false};
  std::atomic<bool> deinitDone{false};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<PortCall> calls_;
  std::deque<uint8_t> source_;
  std::vector<uint8_t> transmitted_;
  bool txPending_ = false;
  DCB lastDcb_{};
};

// Registry keys for ComInit: an active key whose "Key" names a device key, optionally with
// "Priority256". Returns the active key path.
sim::WString MakeActiveKey(const WCHAR* activeName, const WCHAR* deviceKey, const DWORD* priority);
void RemoveKeys(const WCHAR* activeName, const WCHAR* deviceKey);
