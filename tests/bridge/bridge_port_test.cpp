// The bridge port bound to its ComDevice on a modelled bridge: binding, open and close, data both
// ways, transmit chunks and time-outs, modem events, status, purge, power and removal.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <vector>

#include "tests/bridge/bridge_rig.h"

using namespace bridgetest;

namespace {

using Clock = std::chrono::steady_clock;

long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

BOOL SetMask(ComHandle* h, DWORD mask) {
  return ComIOControl(h, IOCTL_SERIAL_SET_WAIT_MASK, reinterpret_cast<BYTE*>(&mask), 4, nullptr, 0,
                      nullptr);
}

BOOL SetDcb(ComHandle* h, DCB dcb) {
  return ComIOControl(h, IOCTL_SERIAL_SET_DCB, reinterpret_cast<BYTE*>(&dcb), sizeof(dcb), nullptr,
                      0, nullptr);
}

void WriteClientInfo(LPCWSTR key, DWORD type, const void* data, DWORD size) {
  HKEY hkey = nullptr;
  DWORD disposition = 0;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hkey,
                  &disposition);
  if (data != nullptr) {
    RegSetValueExW(hkey, TEXT("ClientInfo"), 0, type, static_cast<const BYTE*>(data), size);
  } else {
    RegDeleteValueW(hkey, TEXT("ClientInfo"));
  }
  RegCloseKey(hkey);
}

// Waits until the receive thread has parked data for the core.
bool WaitPending(BridgePort* port) {
  auto deadline = Clock::now() + std::chrono::seconds(5);
  while (BridgePortOps.QueryEvents(port) != PendingRx && Clock::now() < deadline) Sleep(2);
  return BridgePortOps.QueryEvents(port) == PendingRx;
}

}  // namespace

// ---- Init ---------------------------------------------------------------------------------------

TEST(BridgeInit, BindsThePortNamedByClientInfo) {
  Bridge b;
  ASSERT_TRUE(b.Attached());
  EXPECT_EQ(BoundComDevice(b.Port()), b.Com());
  EXPECT_EQ(b.Com()->binding->bindFlags, (DWORD)BindThreadAtOpen);
  EXPECT_EQ(b.Com()->binding->interruptId, -1);
  EXPECT_EQ(b.Com()->rxSize, 65536u);
}

TEST(BridgeInit, RefusesBadClientInfo) {
  Bridge b;
  const WCHAR* key = TEXT("Drivers\\Active\\BridgeInitTest");
  ComDevice com;
  PortBinding binding{0, 0, &BridgePortOps};
  // Missing value.
  WriteClientInfo(key, REG_QWORD, nullptr, 0);
  EXPECT_EQ(BridgePortOps.Init(key, &com, &binding), nullptr);
  // The client word is pointer-sized, so the refused width depends on the host: the port's
  // address as a value of the other width (its low 4 bytes on a 64-bit host, widened to 8 on a
  // 32-bit one; both hosts are little-endian, so the low bytes come first) is not the client word.
  const unsigned long long address = reinterpret_cast<DWORD_PTR>(b.Port());
  const DWORD otherWidth = sizeof(DWORD_PTR) == 8 ? 4 : 8;
  WriteClientInfo(key, otherWidth == 8 ? REG_QWORD : REG_DWORD, &address, otherWidth);
  EXPECT_EQ(BridgePortOps.Init(key, &com, &binding), nullptr);
  // Oversized.
  BYTE wide[16] = {};
  WriteClientInfo(key, REG_BINARY, wide, sizeof(wide));
  EXPECT_EQ(BridgePortOps.Init(key, &com, &binding), nullptr);
  // Null pointer, and a record without the tag.
  DWORD_PTR value = 0;
  WriteClientInfo(key, REG_QWORD, &value, sizeof(value));
  EXPECT_EQ(BridgePortOps.Init(key, &com, &binding), nullptr);
  DWORD notTagged[4] = {0x12345678, 0, 0, 0};
  value = reinterpret_cast<DWORD_PTR>(notTagged);
  WriteClientInfo(key, REG_QWORD, &value, sizeof(value));
  EXPECT_EQ(BridgePortOps.Init(key, &com, &binding), nullptr);
  // Missing key.
  EXPECT_EQ(BridgePortOps.Init(TEXT("Drivers\\Active\\NoSuchKey"), &com, &binding), nullptr);
  EXPECT_EQ(binding.bindFlags, 0u);
  EXPECT_EQ(BoundComDevice(b.Port()), b.Com());  // the bound port is left alone
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, key);
}

// ---- Open and close -----------------------------------------------------------------------------

TEST(BridgeOpen, FirstOpenSendsEnableModemReadDefaultsAndPurge) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(b.State() & PortOpened, PortOpened);
  EXPECT_NE(b.Port()->pollTimer, 0u);
  auto log = b.WithoutPolls(true);
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
  auto state = b.model->State(0);
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(state.baud, 9600u);
  EXPECT_TRUE(state.dtr);
  EXPECT_TRUE(state.rts);

  // The port is opened once: a second Open of the slot is refused.
  EXPECT_FALSE(BridgePortOps.Open(b.Port()));
  EXPECT_EQ(GetLastError(), 5u);

  b.model->ClearLog();
  EXPECT_TRUE(ComClose(h));
  log = b.WithoutPolls(false);
  ASSERT_GE(log.size(), 1u);
  EXPECT_EQ(log[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(log[0].setup.wValue, 0u);
  EXPECT_FALSE(b.model->State(0).enabled);
  EXPECT_EQ(b.State() & PortOpened, 0);
  EXPECT_EQ(b.Port()->pollTimer, 0u);
  EXPECT_EQ(WaitForSingleObject(b.Port()->closedEvent, 0), WAIT_OBJECT_0);
}

TEST(BridgeOpen, FailedOpenLeavesNothingBehind) {
  Bridge b;
  for (BYTE failing : {ReqInterfaceEnable, ReqModemStatus}) {
    b.model->ClearLog();
    b.model->StallNext(failing, 1);
    EXPECT_EQ(ComOpen(b.Com(), GENERIC_READ | GENERIC_WRITE, 0), nullptr);
    EXPECT_EQ(GetLastError(), 110u);
    EXPECT_EQ(b.State() & PortOpened, 0);
    EXPECT_EQ(b.Port()->pollTimer, 0u);
    // Detach would not wait for this port.
    EXPECT_EQ(WaitForSingleObject(b.Port()->closedEvent, 0), WAIT_OBJECT_0);
  }
  // No timer runs: no poll reaches the bridge.
  size_t before = b.Requests().size();
  Sleep(250);
  EXPECT_EQ(b.Requests().size(), before);

  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeClose, FailedDisableStillClosesAndStopsThePoll) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(b.WaitPolls(1));
  b.model->StallNext(ReqInterfaceEnable, 1);
  EXPECT_TRUE(ComClose(h));
  EXPECT_EQ(b.State() & PortOpened, 0);
  EXPECT_EQ(b.Port()->pollTimer, 0u);
  EXPECT_EQ(WaitForSingleObject(b.Port()->closedEvent, 0), WAIT_OBJECT_0);

  // No poll request after the close (the timer is gone, not just idle).
  b.model->ClearLog();
  Sleep(250);
  EXPECT_EQ(b.Requests().size(), 0u);

  // And the port opens again.
  h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(b.model->State(0).enabled);
  EXPECT_TRUE(b.WaitPolls(1));
  EXPECT_TRUE(ComClose(h));
}

// A poll callback may still be running when the port closes (the platform's kill need not wait
// for it) and detach frees the port after Close: Close returns only once the callback has let go.
// The callback is held in the middle of raising CTS, on the core's list lock taken here.
TEST(BridgeClose, WaitsForAPollCallbackStillRunning) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetMask(h, EV_CTS));
  ASSERT_TRUE(b.WaitPolls(1));
  EnterCriticalSection(&b.Com()->listLock);
  b.model->SetModemInputs(0, BridgeModel::kCts);
  // Held once a callback is in flight and the poll's requests stop for two periods.
  bool held = false;
  for (int tries = 0; tries < 100 && !held; ++tries) {
    const size_t requests = b.Requests().size();
    Sleep(2 * BridgePollPeriodMs);
    held = __atomic_load_n(&b.Port()->pollsRunning, __ATOMIC_ACQUIRE) == 1 &&
           b.Requests().size() == requests;
  }
  if (!held) LeaveCriticalSection(&b.Com()->listLock);
  ASSERT_TRUE(held);

  auto closer = std::async(std::launch::async, [&b] { return BridgePortOps.Close(b.Port()); });
  EXPECT_EQ(closer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  LeaveCriticalSection(&b.Com()->listLock);
  ASSERT_EQ(closer.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(__atomic_load_n(&b.Port()->pollsRunning, __ATOMIC_ACQUIRE), 0);
  EXPECT_EQ(b.Port()->pollTimer, 0u);
  EXPECT_TRUE(ComClose(h));
}

// ---- Receive, QueryEvents, Purge ----------------------------------------------------------------
// The port stays closed (no event thread drains the ring); the interface is enabled by hand so
// that the bridge moves data.

TEST(BridgeReceive, DrainsTheRingAndClearsPendingOnlyWhenEmpty) {
  Bridge b;
  ASSERT_EQ(UnderDeviceLock(b.Port()->device, [&] { return BridgeEnable(b.Port()); }), 0u);
  Bytes sent = Pattern(10);
  b.model->InjectRx(0, sent);
  ASSERT_TRUE(WaitPending(b.Port()));

  BYTE buffer[100];
  DWORD count = 0;
  EXPECT_EQ(BridgePortOps.Receive(b.Port(), buffer, &count), 0u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(BridgePortOps.QueryEvents(b.Port()), (DWORD)PendingRx);  // a count of 0 changes nothing

  count = 4;
  BridgePortOps.Receive(b.Port(), buffer, &count);
  ASSERT_EQ(count, 4u);
  EXPECT_EQ(Bytes(buffer, buffer + 4), Bytes(sent.begin(), sent.begin() + 4));
  EXPECT_EQ(BridgePortOps.QueryEvents(b.Port()), (DWORD)PendingRx);

  count = 100;
  BridgePortOps.Receive(b.Port(), buffer, &count);
  ASSERT_EQ(count, 6u);
  EXPECT_EQ(Bytes(buffer, buffer + 6), Bytes(sent.begin() + 4, sent.end()));
  EXPECT_EQ(BridgePortOps.QueryEvents(b.Port()), 0u);
}

TEST(BridgeReceive, PurgeRxClearEmptiesTheRing) {
  Bridge b;
  ASSERT_EQ(UnderDeviceLock(b.Port()->device, [&] { return BridgeEnable(b.Port()); }), 0u);
  b.model->InjectRx(0, Pattern(50));
  ASSERT_TRUE(WaitPending(b.Port()));
  BridgePortOps.Purge(b.Port(), PURGE_RXCLEAR | PURGE_TXCLEAR);
  EXPECT_EQ(BridgePortOps.QueryEvents(b.Port()), (DWORD)PendingRx);  // not touched by purge
  BYTE buffer[100];
  DWORD count = sizeof(buffer);
  BridgePortOps.Receive(b.Port(), buffer, &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(BridgePortOps.QueryEvents(b.Port()), 0u);
}

// ---- Data both ways -----------------------------------------------------------------------------

TEST(BridgeData, LoopbackReturnsWhatWasWritten) {
  Bridge b;
  b.model->Loopback(0);
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetTimeouts(h, {0, 0, 5000, 0, 0}));
  Bytes sent = Pattern(12000);
  EXPECT_EQ(ComWrite(h, sent.data(), (DWORD)sent.size()), (DWORD)sent.size());
  EXPECT_EQ(ReadAll(h, sent.size()), sent);
  EXPECT_TRUE(ComClose(h));
}

// ---- Transmit -----------------------------------------------------------------------------------

TEST(BridgeTransmit, SendsChunksOfAtMost16384) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetTimeouts(h, {MAXDWORD, 0, 0, 1, 0}));
  Bytes sent = Pattern(40000);
  EXPECT_EQ(ComWrite(h, sent.data(), 40000), 40000u);
  auto chunks = b.BulkOuts();
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].size(), 16384u);
  EXPECT_EQ(chunks[1].size(), 16384u);
  EXPECT_EQ(chunks[2].size(), 7232u);
  Bytes joined;
  for (auto& c : chunks) joined.insert(joined.end(), c.begin(), c.end());
  EXPECT_EQ(joined, sent);
  EXPECT_EQ(b.model->WaitSent(0, sent.size(), 5000), sent);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeTransmit, HungChunkEndsTheWriteAfterItsTimeOutAndTheNextWriteStartsAfresh) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetTimeouts(h, {MAXDWORD, 0, 0, 0, 300}));  // each chunk waits 300 ms
  b.model->HangNextBulkOut(0, 1);
  Bytes sent = Pattern(40000);
  Clock::time_point start = Clock::now();
  DWORD written = ComWrite(h, sent.data(), 40000);
  long long ms = MillisecondsSince(start);
  EXPECT_LT(written, 16384u);
  EXPECT_EQ(b.BulkOuts().size(), 1u);  // the other chunks are not sent
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 5000);

  b.model->ClearLog();
  EXPECT_EQ(ComWrite(h, sent.data(), 100), 100u);
  EXPECT_EQ(b.BulkOuts().size(), 1u);
  EXPECT_TRUE(ComClose(h));
}

// A chunk that CTS holds half-way ends the write with what the bridge really took: the bytes
// that reach the line once CTS returns are exactly the count the write reported.
TEST(BridgeTransmit, TimedOutChunkEndsTheWriteWithTheTrueCount) {
  sim::BridgeConfig config = Unpaced();
  config.paced = true;
  Bridge b(config);
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDsr);
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  b.StopPoll();  // a poll would make the writer give way mid-chunk and resend the rest
  DCB dcb = DefaultDcb();
  dcb.BaudRate = 115200;  // a chunk takes 1.42 s on the line
  dcb.fOutxCtsFlow = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  ASSERT_TRUE(SetTimeouts(h, {MAXDWORD, 0, 0, 0, 2000}));
  Bytes sent = Pattern(40000);
  Clock::time_point start = Clock::now();
  auto write = std::async(std::launch::async, [&] { return ComWrite(h, sent.data(), 40000); });
  // The second chunk has been on its way for a while: CTS goes off and holds it.
  ASSERT_TRUE(b.model->WaitForLog(
      [](const BridgeLogEntry& e) {
        return e.kind == BridgeLogEntry::Kind::BulkOut && e.length == 16384 &&
               e.usbError == USB_NO_ERROR;
      },
      15000));
  Sleep(100);
  b.model->SetModemInputs(0, BridgeModel::kDsr);
  DWORD written = write.get();
  long long ms = MillisecondsSince(start);
  EXPECT_GT(written, 16384u);
  EXPECT_LT(written, 32768u);
  EXPECT_EQ(b.BulkOuts().size(), 2u);  // the third chunk is not sent
  EXPECT_GE(ms, 1990);
  EXPECT_LT(ms, 15000);
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDsr);
  Bytes line = b.model->WaitSent(0, written, 15000);
  Sleep(50);
  Bytes more = b.model->TakeSent(0);
  line.insert(line.end(), more.begin(), more.end());
  EXPECT_EQ(line, Bytes(sent.begin(), sent.begin() + written));
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeTransmit, NullDataAndDetachedPortSendNothingButFinish) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ResetEvent(b.Com()->txDoneEvent);
  DWORD count = 0;
  BridgePortOps.Transmit(b.Port(), nullptr, &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(WaitForSingleObject(b.Com()->txDoneEvent, 0), WAIT_OBJECT_0);

  b.Unplug();
  ResetEvent(b.Com()->txDoneEvent);
  Bytes data = Pattern(20000);
  count = 20000;
  BridgePortOps.Transmit(b.Port(), data.data(), &count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(WaitForSingleObject(b.Com()->txDoneEvent, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(b.BulkOuts().empty());
  EXPECT_TRUE(ComClose(h));
}

// ---- Power --------------------------------------------------------------------------------------

TEST(BridgePower, OffAndOnDisableReenableRestoreLatchAndSettings) {
  Bridge b(Unpaced(4));
  // Closed port: no request.
  EXPECT_EQ(ComPowerDown(b.Com()), 0u);
  EXPECT_EQ(ComPowerUp(b.Com()), 0u);
  EXPECT_EQ(b.Requests().size(), 0u);

  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  BYTE latch[2] = {0xFF, 0x5A};
  ASSERT_TRUE(ComIOControl(h, CtlWriteLatch, latch, 2, nullptr, 0, nullptr));
  b.model->ClearLog();
  EXPECT_EQ(ComPowerDown(b.Com()), 0u);
  EXPECT_FALSE(b.model->State(0).enabled);
  auto down = b.WithoutPolls(false);
  // The bridge lost its latch while powered off.
  EXPECT_EQ(
      UnderDeviceLock(b.Port()->device, [&] { return BridgeWriteLatch(b.Port(), 0xFF, 0x00); }),
      0u);
  EXPECT_EQ(b.model->DeviceLatch(), 0x00u);
  b.model->ClearLog();
  EXPECT_EQ(ComPowerUp(b.Com()), 0u);
  auto up = b.WithoutPolls(false);

  ASSERT_EQ(down.size(), 2u);
  EXPECT_EQ(down[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(down[0].setup.wValue, 0u);
  EXPECT_EQ(down[1].setup.bmRequestType, ReqTypeInDevice);
  EXPECT_EQ(down[1].setup.wValue, (WORD)VendorReadLatch);
  ASSERT_EQ(up.size(), 6u);
  EXPECT_EQ(up[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(up[0].setup.wValue, 0xFFFFu);
  EXPECT_EQ(up[1].setup.wValue, (WORD)VendorWriteLatch);
  EXPECT_EQ(up[1].setup.wIndex, 0x5AFFu);  // mask 0xFF, value the saved latch
  EXPECT_EQ(up[2].setup.bRequest, ReqBaudRate);
  EXPECT_EQ(up[3].setup.bRequest, ReqLineControl);
  EXPECT_EQ(up[4].setup.bRequest, ReqFlow);
  EXPECT_EQ(up[5].setup.bRequest, ReqSpecialChars);
  EXPECT_EQ(b.model->DeviceLatch(), 0x5Au);
  EXPECT_TRUE(b.model->State(0).enabled);
  EXPECT_EQ(b.State() & PortOpened, PortOpened);

  // Removed: no request.
  b.Unplug();
  b.model->ClearLog();
  EXPECT_EQ(ComPowerDown(b.Com()), 0u);
  EXPECT_EQ(ComPowerUp(b.Com()), 0u);
  EXPECT_EQ(b.model->Log().size(), 0u);
  EXPECT_TRUE(ComClose(h));
}

// ---- Removed ------------------------------------------------------------------------------------

// Neither the request routines nor the core's calls reach the bus once the device is gone.
TEST(BridgeDetached, RequestsAndWritesMakeNoBusTraffic) {
  Bridge b(Unpaced(4));
  ComHandle* h = OpenData(b.Com());  // keeps the records while the removal waits for the close
  ASSERT_NE(h, nullptr);
  b.Unplug();
  EXPECT_EQ(b.Port()->pollTimer, 0u);  // detach stopped the poll
  b.model->ClearLog();
  BridgePort* port = b.Port();
  DCB dcb = DefaultDcb();
  EXPECT_FALSE(BridgePortOps.SetLineSettings(port, &dcb));
  SetLastError(0);
  // 6, not the host stack's refusal: the driver does not issue at all.
  EXPECT_EQ(UnderDeviceLock(port->device, [&] { return BridgeEnable(port); }), 6u);
  EXPECT_EQ(GetLastError(), 0u);  // the last error is not touched
  BYTE latch = 0;
  EXPECT_EQ(UnderDeviceLock(port->device, [&] { return BridgeReadLatch(port, &latch); }), 6u);
  EXPECT_EQ(
      UnderDeviceLock(port->device, [&] { return BridgeGetCommStatus(port, port->commStatus); }),
      6u);
  BridgePortOps.SetDtr(port);
  BridgePortOps.SetBreak(port);
  BridgePortOps.Purge(port, PURGE_RXCLEAR);
  DWORD modem = 0;
  BridgePortOps.GetModemStatus(port, &modem);
  EXPECT_FALSE(BridgePortOps.Open(port));
  EXPECT_EQ(GetLastError(), 5u);
  BYTE in[2] = {1, 1};
  EXPECT_FALSE(BridgePortOps.Control(port, CtlWriteLatch, in, 2, nullptr, 0, nullptr));

  EXPECT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0, nullptr));
  EXPECT_FALSE(SetDcb(h, DefaultDcb()));
  Bytes data = Pattern(100);
  ComWrite(h, data.data(), 100);
  EXPECT_TRUE(ComClose(h));
  EXPECT_EQ(b.model->Log().size(), 0u);
}

// ---- Modem events -------------------------------------------------------------------------------

TEST(BridgeModem, InputsRaiseEventsThroughThePoll) {
  Bridge b;
  ComHandle* h = OpenData(b.Com());
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(SetMask(h, EV_CTS | EV_DSR | EV_RING | EV_RLSD));
  ASSERT_TRUE(b.WaitPolls(1));

  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd);
  EXPECT_EQ(WaitEvents(h), EV_CTS | EV_RLSD);

  // Ring on raises nothing; ring off raises EV_RING alone.
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd | BridgeModel::kRi);
  ASSERT_TRUE(b.WaitPolls(2));
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd);
  EXPECT_EQ(WaitEvents(h), EV_RING);
  EXPECT_TRUE(ComClose(h));
}

// ---- The poll callback, driven by hand ----------------------------------------------------------
// The port's own timer is stopped, so each call below is exactly one poll period.

namespace {

struct PolledPort {
  Bridge b;
  ComHandle* handle = nullptr;

  explicit PolledPort(BYTE inputsAtOpen = 0) {
    b.model->SetModemInputs(0, inputsAtOpen);
    handle = OpenData(b.Com());
    EXPECT_NE(handle, nullptr);
    b.StopPoll();
    EXPECT_TRUE(SetMask(handle, EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_RXCHAR));
  }
  ~PolledPort() {
    if (handle != nullptr) ComClose(handle);
  }
  void Poll() { PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(b.Port()), 0, 0); }
  void Poll(BYTE inputs) {
    b.model->SetModemInputs(0, inputs);
    Poll();
  }
};

}  // namespace

TEST(BridgePollCallback, EdgesAndTheRingRule) {
  PolledPort p;
  p.Poll(0x10);  // CTS on
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS);
  p.Poll(0x10);  // stays on: nothing
  p.Poll(0x50);  // ring on: nothing
  p.Poll(0x10);  // ring off: EV_RING alone
  EXPECT_EQ(WaitEvents(p.handle), EV_RING);
  BridgePortOps.ClearDtr(p.b.Port());
  p.Poll(0x10);  // only the low bits (the outputs) change: nothing
  BridgePortOps.SetDtr(p.b.Port());
  p.Poll(0x70);  // DSR and ring on together: EV_DSR alone
  EXPECT_EQ(WaitEvents(p.handle), EV_DSR);
  p.Poll(0x20);  // CTS off and ring off
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS | EV_RING);
  p.Poll(0xB0);  // CTS and carrier detect in one period
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS | EV_RLSD);
  EXPECT_EQ(p.b.Port()->modemStatus, 0xB3u);  // inputs, and DTR and RTS on
}

TEST(BridgePollCallback, LinesActiveAtOpenRaiseNothing) {
  PolledPort p(0xB0);
  EXPECT_EQ(p.b.Port()->modemStatus & 0xF0u, 0xB0u);
  p.Poll();
  p.Poll(0xA0);
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS);
}

TEST(BridgePollCallback, FailedReadsChangeNothing) {
  PolledPort p;
  p.b.model->SetEofReceived(0, true);
  p.Poll(0x10);
  EXPECT_EQ(WaitEvents(p.handle), EV_CTS);
  // Both reads of one period fail.
  p.b.model->FailNext(BridgeModel::kAnyRequest, 2, USB_STALL_ERROR);
  p.b.model->SetEofReceived(0, false);
  p.Poll(0x00);
  EXPECT_EQ(p.b.Port()->modemStatus & 0xF0u, 0x10u);
  COMSTAT st;
  BridgePortOps.GetStatus(p.b.Port(), &st);
  DWORD flags;
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, (DWORD)COMSTAT_EOF);  // the comm status of the last good read
  p.Poll(0x30);                          // the failed period showed no change; now DSR comes on
  EXPECT_EQ(WaitEvents(p.handle), EV_DSR);
}

TEST(BridgePollCallback, ClosedOrUntaggedPortMakesNoRequest) {
  Bridge b;
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(b.Port()), 0, 0);
  DWORD notTagged[8] = {};
  PollModemStatus(0, 0, reinterpret_cast<DWORD_PTR>(notTagged), 0, 0);
  PollModemStatus(0, 0, 0, 0, 0);
  EXPECT_EQ(b.Requests().size(), 0u);
}

TEST(BridgePollCallback, GetStatusReflectsThePollsCommStatus) {
  PolledPort p;
  BridgePort* port = p.b.Port();
  COMSTAT st;
  std::memset(&st, 0xFF, sizeof(st));
  BridgePortOps.GetStatus(port, &st);
  DWORD flags;
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, 0u);  // zeros before the first poll of the port's life
  EXPECT_EQ(st.cbOutQue, 0u);

  // CTS and DSR handshake with both lines off hold an immediate character; an end of file came.
  DCB dcb = DefaultDcb();
  dcb.fOutxCtsFlow = 1;
  dcb.fOutxDsrFlow = 1;
  ASSERT_TRUE(BridgePortOps.SetLineSettings(port, &dcb));
  ASSERT_TRUE(BridgePortOps.SendImmediate(port, 0x55));
  p.b.model->SetEofReceived(0, true);
  p.Poll(0);
  size_t requests = p.b.Requests().size();
  BridgePortOps.GetStatus(port, &st);
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, (DWORD)(COMSTAT_CTS_HOLD | COMSTAT_DSR_HOLD | COMSTAT_EOF | COMSTAT_TXIM));
  EXPECT_EQ(st.cbOutQue, p.b.model->State(0).txQueued);
  EXPECT_EQ(st.cbOutQue, 1u);
  EXPECT_EQ(st.cbInQue, 0u);
  EXPECT_EQ(p.b.Requests().size(), requests);  // no request of its own

  // Hold-reason bits that mean nothing are not passed on (no bridge state sets them: written into
  // the stored status by hand).
  EnterCriticalSection(&port->device->lock);
  std::memset(port->commStatus + 4, 0xFF, 4);
  LeaveCriticalSection(&port->device->lock);
  BridgePortOps.GetStatus(port, &st);
  std::memcpy(&flags, &st, 4);
  EXPECT_EQ(flags, 0x7Fu);
}
