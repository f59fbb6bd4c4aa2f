// The bridge port bound to a ComDevice: binding, open and close, data both ways, transmit chunks
// and time-outs, modem events, status, purge and power.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "tests/bridge/bridge_rig.h"
#include "usb/byte_ring.h"

using bridgetest::BridgeRig;
using Bytes = std::vector<BYTE>;

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// The log without the modem poll's reads (the poll runs beside whatever a test does).
std::vector<wirehost::Request> WithoutPolls(const std::vector<wirehost::Request>& log,
                                            bool keepFirstModemRead) {
  std::vector<wirehost::Request> out;
  for (const auto& r : log) {
    if (r.setup.bRequest == ReqCommStatus) continue;
    if (r.setup.bRequest == ReqModemStatus && !keepFirstModemRead) continue;
    if (r.setup.bRequest == ReqModemStatus) keepFirstModemRead = false;
    out.push_back(r);
  }
  return out;
}

size_t CountOf(const std::vector<wirehost::Request>& log, BYTE request) {
  size_t n = 0;
  for (const auto& r : log) n += r.setup.bRequest == request;
  return n;
}

// Waits until the poll has read the comm status count more times.
bool WaitPolls(BridgeRig& rig, size_t count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  size_t start = CountOf(rig.host.Requests(), ReqCommStatus);
  while (std::chrono::steady_clock::now() < deadline) {
    if (CountOf(rig.host.Requests(), ReqCommStatus) >= start + count) return true;
    Sleep(5);
  }
  return false;
}

BOOL SetMask(ComHandle* h, DWORD mask) {
  return ComIOControl(h, IOCTL_SERIAL_SET_WAIT_MASK, reinterpret_cast<BYTE*>(&mask), 4, nullptr, 0,
                      nullptr);
}

// Waits for communication events on h; 0 with a failure when nothing comes within 5 s.
DWORD WaitEvents(ComHandle* h) {
  auto waiter = std::async(std::launch::async, [h] {
    DWORD mask = 0;
    DWORD actual = 0;
    ComIOControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, reinterpret_cast<BYTE*>(&mask), 4,
                 &actual);
    return mask;
  });
  if (waiter.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "no communication event";
    AbortHandleWaits(h);
  }
  return waiter.get();
}

void SetTimeouts(ComHandle* h, DWORD multiplier, DWORD constant) {
  COMMTIMEOUTS t{MAXDWORD, 0, 0, multiplier, constant};
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&t), sizeof(t),
                           nullptr, 0, nullptr));
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (BYTE)(i * 7 + i / 251);
  return b;
}

}  // namespace

// ---- Init
// -----------------------------------------------------------------------------------------

TEST(BridgeInit, BindsThePortNamedByClientInfo) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  EXPECT_EQ(rig.port->comDevice, rig.com);
  EXPECT_EQ(rig.com->port, rig.port);
  EXPECT_EQ(rig.com->binding->bindFlags, (DWORD)BindThreadAtOpen);
  EXPECT_EQ(rig.com->binding->interruptId, -1);
  EXPECT_EQ(rig.com->rxSize, 65536u);
}

TEST(BridgeInit, RefusesBadClientInfo) {
  BridgeRig rig;
  ComDevice com;
  PortBinding binding{0, 0, &BridgePortOps};
  // Missing value.
  rig.WriteClientInfo(REG_QWORD, nullptr, 0);
  EXPECT_EQ(BridgePortOps.Init(rig.ActiveKey().c_str(), &com, &binding), nullptr);
  // A 4-byte value is not the pointer-sized client word.
  DWORD narrow = (DWORD) reinterpret_cast<DWORD_PTR>(rig.port);
  rig.WriteClientInfo(REG_DWORD, &narrow, sizeof(narrow));
  EXPECT_EQ(BridgePortOps.Init(rig.ActiveKey().c_str(), &com, &binding), nullptr);
  // Oversized.
  BYTE wide[16] = {};
  rig.WriteClientInfo(REG_BINARY, wide, sizeof(wide));
  EXPECT_EQ(BridgePortOps.Init(rig.ActiveKey().c_str(), &com, &binding), nullptr);
  // Null pointer, and a record without the tag.
  DWORD_PTR value = 0;
  rig.WriteClientInfo(REG_QWORD, &value, sizeof(value));
  EXPECT_EQ(BridgePortOps.Init(rig.ActiveKey().c_str(), &com, &binding), nullptr);
  DWORD notTagged[4] = {0x12345678, 0, 0, 0};
  value = reinterpret_cast<DWORD_PTR>(notTagged);
  rig.WriteClientInfo(REG_QWORD, &value, sizeof(value));
  EXPECT_EQ(BridgePortOps.Init(rig.ActiveKey().c_str(), &com, &binding), nullptr);
  // Missing key.
  EXPECT_EQ(BridgePortOps.Init(TEXT("Drivers\\Active\\NoSuchKey"), &com, &binding), nullptr);
  EXPECT_EQ(binding.bindFlags, 0u);
  EXPECT_EQ(rig.port->comDevice, nullptr);
}

// ---- Open and close
// -------------------------------------------------------------------------------

TEST(BridgeOpen, FirstOpenSendsEnableModemReadDefaultsAndPurge) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(rig.State() & PortOpened, PortOpened);
  EXPECT_NE(rig.port->pollTimer, 0u);
  auto log = WithoutPolls(rig.host.Requests(), true);
  ASSERT_GE(log.size(), 7u);
  const BYTE order[] = {ReqInterfaceEnable, ReqModemStatus, ReqBaudRate, ReqLineControl, ReqFlow,
                        ReqSpecialChars,    ReqPurge};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(log[i].setup.bRequest, order[i]) << i;
  EXPECT_EQ(log[0].setup.wValue, 0xFFFFu);
  EXPECT_EQ(log[2].data, (Bytes{0x80, 0x25, 0x00, 0x00}));
  EXPECT_EQ(log[3].setup.wValue, 0x0800u);
  EXPECT_EQ(log[4].data, (Bytes{0x01, 0, 0, 0, 0x40, 0, 0, 0, 0x00, 0x02, 0, 0, 0x80, 0, 0, 0}));
  EXPECT_EQ(log[5].data, (Bytes{0x0D, 0x0D, 0x00, 0x0D, 0x11, 0x13}));
  EXPECT_EQ(log[6].setup.wValue, (WORD)PURGE_RXCLEAR);

  // The port is opened once: a second Open of the slot is refused.
  EXPECT_FALSE(BridgePortOps.Open(rig.port));
  EXPECT_EQ(GetLastError(), 5u);

  rig.host.ClearLog();
  EXPECT_TRUE(ComClose(h));
  log = WithoutPolls(rig.host.Requests(), false);
  ASSERT_GE(log.size(), 1u);
  EXPECT_EQ(log[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(log[0].setup.wValue, 0u);
  EXPECT_EQ(rig.State() & PortOpened, 0);
  EXPECT_EQ(rig.port->pollTimer, 0u);
  EXPECT_EQ(WaitForSingleObject(rig.port->closedEvent, 0), WAIT_OBJECT_0);
}

TEST(BridgeOpen, FailedOpenLeavesNothingBehind) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  for (BYTE failing : {ReqInterfaceEnable, ReqModemStatus}) {
    rig.host.ClearLog();
    rig.host.FailNext(failing, 1);
    EXPECT_EQ(ComOpen(rig.com, kReadWrite, 0), nullptr);
    EXPECT_EQ(GetLastError(), 110u);
    EXPECT_EQ(rig.State() & PortOpened, 0);
    EXPECT_EQ(rig.port->pollTimer, 0u);
    // Detach would not wait for this port.
    EXPECT_EQ(WaitForSingleObject(rig.port->closedEvent, 0), WAIT_OBJECT_0);
  }
  // No timer runs: no poll reaches the bridge.
  size_t before = rig.host.RequestCount();
  Sleep(250);
  EXPECT_EQ(rig.host.RequestCount(), before);

  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeClose, FailedDisableStillClosesAndStopsThePoll) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(WaitPolls(rig, 1));
  rig.host.FailNext(ReqInterfaceEnable, 1);
  EXPECT_TRUE(ComClose(h));
  EXPECT_EQ(rig.State() & PortOpened, 0);
  EXPECT_EQ(rig.port->pollTimer, 0u);
  EXPECT_EQ(WaitForSingleObject(rig.port->closedEvent, 0), WAIT_OBJECT_0);

  // No poll request after the close (the timer is gone, not just idle).
  rig.host.ClearLog();
  Sleep(250);
  EXPECT_EQ(rig.host.RequestCount(), 0u);

  // And the port opens again.
  h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(WaitPolls(rig, 1));
  EXPECT_TRUE(ComClose(h));
}

// A poll callback may still be running when the port closes (the platform's kill need not wait
// for it) and detach frees the port after Close: Close returns only once the callback has let go.
// The callback is held in the middle of raising CTS, on the core's list lock taken here.
TEST(BridgeClose, WaitsForAPollCallbackStillRunning) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetMask(h, EV_CTS));
  EnterCriticalSection(&rig.com->listLock);
  rig.host.SetModemStatus(MS_CTS_ON);
  // Held once a callback is in flight and the poll's requests stop for two periods.
  bool held = false;
  for (int tries = 0; tries < 100 && !held; ++tries) {
    const size_t requests = rig.host.RequestCount();
    Sleep(2 * BRIDGE_POLL_PERIOD_MS);
    held = __atomic_load_n(&rig.port->pollsRunning, __ATOMIC_ACQUIRE) == 1 &&
           rig.host.RequestCount() == requests;
  }
  ASSERT_TRUE(held);

  auto closer = std::async(std::launch::async, [&rig] { return BridgePortOps.Close(rig.port); });
  EXPECT_EQ(closer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  LeaveCriticalSection(&rig.com->listLock);
  ASSERT_EQ(closer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(__atomic_load_n(&rig.port->pollsRunning, __ATOMIC_ACQUIRE), 0);
  EXPECT_EQ(rig.port->pollTimer, 0u);
  EXPECT_TRUE(ComClose(h));
}

// ---- Receive, QueryEvents, Purge
// --------------------------------------------------------------------

TEST(BridgeReceive, DrainsTheRingAndClearsPendingOnlyWhenEmpty) {
  BridgeRig rig;
  rig.StartReceiving();  // no ComDevice: the ring is drained by hand
  Bytes sent = Pattern(10);
  rig.host.Feed(sent);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (BridgePortOps.QueryEvents(rig.port) != PendingRx &&
         std::chrono::steady_clock::now() < deadline) {
    Sleep(2);
  }
  ASSERT_EQ(BridgePortOps.QueryEvents(rig.port), (DWORD)PendingRx);

  BYTE buffer[100];
  DWORD count = 0;
  EXPECT_EQ(BridgePortOps.Receive(rig.port, buffer, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(BridgePortOps.QueryEvents(rig.port), (DWORD)PendingRx);  // a count of 0 changes nothing

  count = 4;
  BridgePortOps.Receive(rig.port, buffer, &count);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(sent.begin(), sent.begin() + 4));
  EXPECT_EQ(BridgePortOps.QueryEvents(rig.port), (DWORD)PendingRx);

  count = 100;
  BridgePortOps.Receive(rig.port, buffer, &count);
  ASSERT_EQ(count, 6u);
  EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(sent.begin() + 4, sent.end()));
  EXPECT_EQ(BridgePortOps.QueryEvents(rig.port), 0u);
}

TEST(BridgeReceive, PurgeRxClearEmptiesTheRing) {
  BridgeRig rig;
  rig.StartReceiving();
  rig.host.Feed(Pattern(50));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (BridgePortOps.QueryEvents(rig.port) != PendingRx &&
         std::chrono::steady_clock::now() < deadline) {
    Sleep(2);
  }
  ASSERT_EQ(BridgePortOps.QueryEvents(rig.port), (DWORD)PendingRx);
  BridgePortOps.Purge(rig.port, PURGE_RXCLEAR | PURGE_TXCLEAR);
  EXPECT_EQ(BridgePortOps.QueryEvents(rig.port), (DWORD)PendingRx);  // not touched by purge
  BYTE buffer[100];
  DWORD count = sizeof(buffer);
  BridgePortOps.Receive(rig.port, buffer, &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(BridgePortOps.QueryEvents(rig.port), 0u);
}

// ---- Data both ways
// ---------------------------------------------------------------------------------

TEST(BridgeData, LoopbackReturnsWhatWasWritten) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  rig.host.SetLoopback(true);
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  COMMTIMEOUTS t{0, 0, 5000, 0, 0};
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&t), sizeof(t),
                           nullptr, 0, nullptr));
  // Less than the port's ring holds: the wire host loops back faster than any line, and the
  // receive thread drops what the ring cannot take.
  Bytes sent = Pattern(12000);
  EXPECT_EQ(ComWrite(h, sent.data(), (DWORD)sent.size()), (DWORD)sent.size());
  Bytes got(sent.size());
  DWORD total = 0;
  while (total < got.size()) {
    DWORD n = ComRead(h, got.data() + total, (DWORD)got.size() - total);
    if (n == 0 || n == (DWORD)-1) break;
    total += n;
  }
  EXPECT_EQ(total, sent.size());
  EXPECT_EQ(got, sent);
  EXPECT_TRUE(ComClose(h));
}

// ---- Transmit -----------------------------------------------------------------------------------

TEST(BridgeTransmit, SendsChunksOfAtMost16384) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  SetTimeouts(h, 1, 0);
  Bytes sent = Pattern(40000);
  EXPECT_EQ(ComWrite(h, sent.data(), 40000), 40000u);
  auto chunks = rig.host.BulkOuts();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 16384u);
  EXPECT_EQ(chunks[1].size(), 16384u);
  EXPECT_EQ(chunks[2].size(), 7232u);
  Bytes joined;
  for (auto& c : chunks) joined.insert(joined.end(), c.begin(), c.end());
  EXPECT_EQ(joined, sent);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeTransmit, TimedOutChunkEndsTheWriteWithTheTrueCount) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  SetTimeouts(h, 0, 300);  // each chunk waits 300 ms
  rig.host.HangBulkOut(1, 1000);
  Bytes sent = Pattern(40000);
  auto start = std::chrono::steady_clock::now();
  DWORD written = ComWrite(h, sent.data(), 40000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_EQ(written, 16384u + 1000u);
  EXPECT_EQ(rig.host.BulkOuts().size(), 2u);  // the third chunk is not sent
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 5000);

  // The next write starts afresh.
  rig.host.ClearLog();
  EXPECT_EQ(ComWrite(h, sent.data(), 100), 100u);
  EXPECT_EQ(rig.host.BulkOuts().size(), 1u);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeTransmit, NullDataAndDetachedPortSendNothingButFinish) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ResetEvent(rig.com->txDoneEvent);
  DWORD count = 0;
  BridgePortOps.Transmit(rig.port, nullptr, &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(WaitForSingleObject(rig.com->txDoneEvent, 0), WAIT_OBJECT_0);

  rig.MarkDetached();
  Bytes data = Pattern(20000);
  count = 20000;
  BridgePortOps.Transmit(rig.port, data.data(), &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(WaitForSingleObject(rig.com->txDoneEvent, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(rig.host.BulkOuts().empty());
}

// ---- Power
// ----------------------------------------------------------------------------------------

TEST(BridgePower, OffAndOnDisableReenableRestoreLatchAndSettings) {
  BridgeRig rig;
  rig.device->partNumber = 4;
  ASSERT_TRUE(rig.Bind());
  // Closed port: no request.
  EXPECT_EQ(ComPowerDown(rig.com), 0u);
  EXPECT_EQ(ComPowerUp(rig.com), 0u);
  EXPECT_EQ(rig.host.RequestCount(), 0u);

  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  rig.host.SetLatch(0x5A);
  rig.host.ClearLog();
  EXPECT_EQ(ComPowerDown(rig.com), 0u);
  rig.host.SetLatch(0x00);  // the bridge lost its latch while powered off
  EXPECT_EQ(ComPowerUp(rig.com), 0u);

  auto power = WithoutPolls(rig.host.Requests(), false);
  ASSERT_EQ(power.size(), 8u);
  EXPECT_EQ(power[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(power[0].setup.wValue, 0u);
  EXPECT_EQ(power[1].setup.bmRequestType, ReqTypeInDevice);
  EXPECT_EQ(power[1].setup.wValue, (WORD)VendorReadLatch);
  EXPECT_EQ(power[2].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(power[2].setup.wValue, 0xFFFFu);
  EXPECT_EQ(power[3].setup.wValue, (WORD)VendorWriteLatch);
  EXPECT_EQ(power[3].setup.wIndex, 0x5AFFu);  // mask 0xFF, value the saved latch
  EXPECT_EQ(power[4].setup.bRequest, ReqBaudRate);
  EXPECT_EQ(power[5].setup.bRequest, ReqLineControl);
  EXPECT_EQ(power[6].setup.bRequest, ReqFlow);
  EXPECT_EQ(power[7].setup.bRequest, ReqSpecialChars);
  EXPECT_EQ(rig.host.Latch(), 0x5Au);
  EXPECT_EQ(rig.State() & PortOpened, PortOpened);

  // Detached: no request.
  rig.MarkDetached();
  rig.host.ClearLog();
  EXPECT_EQ(ComPowerDown(rig.com), 0u);
  EXPECT_EQ(ComPowerUp(rig.com), 0u);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
  EXPECT_TRUE(ComClose(h));
}

// ---- Detached
// ---------------------------------------------------------------------------------------

TEST(BridgeDetached, RequestsAndWritesMakeNoBusTraffic) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  // Detach stops the poll before it marks the port.
  UINT timer = rig.port->pollTimer;
  rig.port->pollTimer = 0;
  timeKillEvent(timer);
  rig.MarkDetached();
  rig.host.ClearLog();

  EXPECT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0, nullptr));
  DCB dcb = bridgetest::DefaultDcb();
  EXPECT_FALSE(ComIOControl(h, IOCTL_SERIAL_SET_DCB, reinterpret_cast<BYTE*>(&dcb), sizeof(dcb),
                            nullptr, 0, nullptr));
  Bytes data = Pattern(100);
  ComWrite(h, data.data(), 100);
  ComClose(h);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
  EXPECT_TRUE(rig.host.BulkOuts().empty());
}

// ---- The poll callback, driven by hand
// ------------------------------------------------------------ The port's own timer is stopped, so
// each call below is exactly one poll period.

namespace {

struct PolledPort {
  BridgeRig rig;
  ComHandle* handle = nullptr;

  PolledPort() {
    EXPECT_TRUE(rig.Bind());
    handle = ComOpen(rig.com, kReadWrite, 0);
    EXPECT_NE(handle, nullptr);
    UINT timer = rig.port->pollTimer;
    rig.port->pollTimer = 0;
    if (timer != 0) timeKillEvent(timer);
    EXPECT_TRUE(SetMask(handle, EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_RXCHAR));
  }
  ~PolledPort() {
    if (handle != nullptr) ComClose(handle);
  }
  void Poll(BYTE modem) {
    rig.host.SetModemStatus(modem);
    PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(rig.port), 0, 0);
  }
};

}  // namespace

TEST(BridgePollCallback, EdgesAndTheRingRule) {
  PolledPort p;
  p.Poll(0x10);  // CTS on
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS);
  p.Poll(0x10);  // stays on: nothing
  p.Poll(0x50);  // ring on: nothing
  p.Poll(0x13);  // ring off, low bits on: EV_RING alone
  EXPECT_EQ(WaitEvents(p.handle), EV_RING);
  p.Poll(0x10);  // only the low bits change: nothing
  p.Poll(0x70);  // DSR and ring on together: EV_DSR alone
  EXPECT_EQ(WaitEvents(p.handle), EV_DSR);
  p.Poll(0x20);  // CTS off and ring off
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS | EV_RING);
  p.Poll(0xB0);  // CTS and carrier detect in one period
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS | EV_RLSD);
  EXPECT_EQ(p.rig.port->modemStatus, 0xB0u);
}

TEST(BridgePollCallback, LinesActiveAtOpenRaiseNothing) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  rig.host.SetModemStatus(0xB0);
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  UINT timer = rig.port->pollTimer;
  rig.port->pollTimer = 0;
  if (timer != 0) timeKillEvent(timer);
  ASSERT_TRUE(SetMask(h, EV_CTS | EV_DSR | EV_RING | EV_RLSD));
  EXPECT_EQ(rig.port->modemStatus, 0xB0u);
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(rig.port), 0, 0);
  rig.host.SetModemStatus(0xA0);
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(rig.port), 0, 0);
  EXPECT_EQ(WaitEvents(h), EV_CTS);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgePollCallback, FailedReadsChangeNothing) {
  PolledPort p;
  Bytes comm(19, 0);
  comm[12] = 9;
  p.rig.host.SetCommStatus(comm);
  p.Poll(0x10);
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS);
  p.rig.host.FailAll(true);
  p.rig.host.SetCommStatus(Bytes(19, 0));
  p.Poll(0x00);
  EXPECT_EQ(p.rig.port->modemStatus, 0x10u);
  COMSTAT st;
  BridgePortOps.GetStatus(p.rig.port, &st);
  EXPECT_EQ(st.cbOutQue, 9u);  // the comm status of the last good read
  p.rig.host.FailAll(false);
  p.Poll(0x30);  // the failed period showed no change; now DSR comes on
  EXPECT_EQ(WaitEvents(p.handle), EV_DSR);
}

TEST(BridgePollCallback, ClosedOrUntaggedPortMakesNoRequest) {
  BridgeRig rig;
  ASSERT_TRUE(rig.Bind());
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(rig.port), 0, 0);
  DWORD notTagged[8] = {};
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(notTagged), 0, 0);
  PollModemStatus(0, 0, 0, 0, 0);
  EXPECT_EQ(rig.host.RequestCount(), 0u);
}

TEST(BridgePollCallback, GetStatusReflectsThePollsCommStatus) {
  PolledPort p;
  COMSTAT st;
  std::memset(&st, 0xFF, sizeof(st));
  BridgePortOps.GetStatus(p.rig.port, &st);
  DWORD flags;
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, 0u);  // zeros before the first poll of the port's life
  EXPECT_EQ(st.cbOutQue, 0u);

  Bytes comm(19, 0);
  comm[4] = 0xFF;  // every hold reason, also bits that mean nothing
  comm[12] = 0x34;
  comm[13] = 0x12;
  comm[16] = 1;
  comm[17] = 1;
  p.rig.host.SetCommStatus(comm);
  p.Poll(0);
  size_t requests = p.rig.host.RequestCount();
  BridgePortOps.GetStatus(p.rig.port, &st);
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, 0x7Fu);
  EXPECT_EQ(st.cbOutQue, 0x1234u);
  EXPECT_EQ(st.cbInQue, 0u);
  EXPECT_EQ(p.rig.host.RequestCount(), requests);  // no request of its own
}
