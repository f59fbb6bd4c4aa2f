// The control-request dispatch: access and size rules, every row of the table, refusals that
// change nothing, purge, the process-exit notice, the pass-through and ApplyDcb.
#include <future>

#include "tests/core/core_fixture.h"

namespace {

// The core's state that a refused request must leave alone.
struct CoreState {
  DCB dcb;
  COMMTIMEOUTS timeouts;
  DWORD flowFlags, eventMaskUnion, rxRead, rxWrite, outQueue, openCount;
  DWORD eventMask, eventState, abortWait;
  bool operator==(const CoreState& o) const { return std::memcmp(this, &o, sizeof(*this)) == 0; }
};

CoreState Snapshot(ComDevice* d, ComHandle* h) {
  CoreState s;
  std::memset(&s, 0, sizeof(s));
  s.dcb = d->dcb;
  s.timeouts = d->timeouts;
  s.flowFlags = static_cast<DWORD>(LoadLong(&d->flowFlags));
  s.eventMaskUnion = LoadWord(&d->eventMaskUnion);
  s.rxRead = LoadWord(&d->rxRead);
  s.rxWrite = LoadWord(&d->rxWrite);
  s.outQueue = LoadWord(&d->outQueue);
  s.openCount = LoadWord(&d->openCount);
  s.eventMask = h->eventMask;
  s.eventState = static_cast<DWORD>(LoadLong(&h->eventState));
  s.abortWait = h->abortWait;
  return s;
}

class IoctlTest : public OpenCoreTest {
 protected:
  void TearDown() override {
    if (plain != nullptr) {
      EXPECT_TRUE(ComClose(plain));
    }
    if (bus != nullptr) {
      EXPECT_TRUE(ComClose(bus));
    }
    OpenCoreTest::TearDown();
  }
  // Runs a request that must be refused with the given error and checks that it changed nothing
  // and reached no port slot but the allowed one.
  void ExpectRefused(ComHandle* on, DWORD code, const void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* actual, DWORD error, Slot allowed = Slot::Init) {
    CoreState before = Snapshot(device, h);
    port.ClearCalls();
    SetLastError(0);
    EXPECT_FALSE(Ioctl(on, code, in, inSize, out, outSize, actual)) << std::hex << code;
    EXPECT_EQ(GetLastError(), error) << std::hex << code;
    EXPECT_TRUE(Snapshot(device, h) == before) << std::hex << code;
    for (const PortCall& c : port.Calls())
      EXPECT_TRUE(c.slot == allowed) << std::hex << code << " reached slot " << int(c.slot);
  }
  ComHandle* plain = nullptr;
  ComHandle* bus = nullptr;
};

TEST_F(IoctlTest, BufferSizeRulesOfEveryRow) {
  struct Row {
    DWORD code, in, out;
  };
  const Row rows[] = {
      {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},   {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
      {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},    {IOCTL_SERIAL_GET_COMMSTATUS, 0, 16},
      {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4}, {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
      {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},   {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
      {IOCTL_SERIAL_PURGE, 4, 0},           {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
      {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},  {IOCTL_SERIAL_GET_DCB, 0, 28},
      {IOCTL_SERIAL_SET_DCB, 28, 0},
  };
  alignas(8) BYTE in[64] = {};
  alignas(8) BYTE out[64] = {};
  DWORD actual = 0;
  for (const Row& r : rows) {
    if (r.in > 0) {
      ExpectRefused(h, r.code, in, r.in - 1, nullptr, 0, nullptr, 87);
      ExpectRefused(h, r.code, nullptr, 64, nullptr, 0, nullptr, 87);
    }
    if (r.out > 0) {
      ExpectRefused(h, r.code, nullptr, 0, out, r.out - 1, &actual, 87);
      ExpectRefused(h, r.code, nullptr, 0, nullptr, 64, &actual, 87);
      ExpectRefused(h, r.code, nullptr, 0, out, 64, nullptr, 87);
    }
  }
  // The successful reads report their sizes.
  const Row reads[] = {{IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},   {IOCTL_SERIAL_GET_COMMSTATUS, 0, 16},
                       {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4}, {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
                       {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},   {IOCTL_SERIAL_GET_DCB, 0, 28}};
  for (const Row& r : reads) {
    actual = 0;
    EXPECT_TRUE(Ioctl(h, r.code, nullptr, 0, out, r.out, &actual)) << std::hex << r.code;
    EXPECT_EQ(actual, r.out) << std::hex << r.code;
  }
  // Queue size: accepted with 8 bytes, nothing changes.
  CoreState before = Snapshot(device, h);
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_QUEUE_SIZE, in, 8));
  EXPECT_TRUE(Snapshot(device, h) == before);
  EXPECT_EQ(device->rxSize, 65536u);
}

TEST_F(IoctlTest, HandleWithoutAccessGetsOnlyTheAllowedCodes) {
  plain = ComOpen(device, 0, 0);
  ASSERT_NE(plain, nullptr);
  alignas(8) BYTE out[64] = {};
  DWORD actual = 0;
  EXPECT_TRUE(Ioctl(plain, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, out, 20, &actual));
  EXPECT_TRUE(Ioctl(plain, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, out, 4, &actual));
  EXPECT_TRUE(Ioctl(plain, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, out, 64, &actual));
  EXPECT_TRUE(SetMask(plain, EV_CTS));
  EXPECT_TRUE(Ioctl(plain, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, out, 4, &actual));
  RaiseCommEvents(device, EV_CTS);
  DWORD mask = 0;
  EXPECT_TRUE(WaitMask(plain, &mask));
  EXPECT_EQ(mask, EV_CTS);
  // The access rule comes before the size check.
  ExpectRefused(plain, IOCTL_SERIAL_GET_DCB, nullptr, 0, nullptr, 0, nullptr, 12);
  ExpectRefused(plain, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, out, 16, &actual, 12);
  ExpectRefused(plain, IOCTL_POWER_GET, nullptr, 0, out, 64, &actual, 12);
  ExpectRefused(plain, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr, 12);
  ExpectRefused(plain, 0x222000u, nullptr, 0, nullptr, 0, nullptr, 12);
  // The three power codes allowed on it reach the Control slot.
  port.ClearCalls();
  EXPECT_TRUE(Ioctl(plain, IOCTL_POWER_CAPABILITIES, nullptr, 0, out, 64, &actual));
  EXPECT_TRUE(Ioctl(plain, IOCTL_POWER_SET, nullptr, 0, out, 64, &actual));
  EXPECT_TRUE(Ioctl(plain, IOCTL_POWER_QUERY, nullptr, 0, out, 64, &actual));
  EXPECT_EQ(port.Args(Slot::Control),
            (std::vector<uint64_t>{IOCTL_POWER_CAPABILITIES, IOCTL_POWER_SET, IOCTL_POWER_QUERY}));
}

TEST_F(IoctlTest, BusAccessHandleTakesOnlyPowerCodes) {
  bus = ComOpen(device, 0xC0000100u, 0);
  ASSERT_NE(bus, nullptr);
  alignas(8) BYTE out[64] = {};
  DWORD actual = 0;
  ExpectRefused(bus, IOCTL_SERIAL_GET_DCB, nullptr, 0, out, 28, &actual, 6);
  ExpectRefused(bus, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, out, 20, &actual, 6);
  ExpectRefused(bus, IOCTL_PSL_NOTIFY, nullptr, 0, nullptr, 0, nullptr, 6);
  port.ClearCalls();
  const DWORD codes[] = {IOCTL_POWER_CAPABILITIES, IOCTL_POWER_GET, IOCTL_POWER_SET,
                         IOCTL_POWER_QUERY, IOCTL_REGISTER_POWER_RELATIONSHIP};
  for (DWORD code : codes) {
    actual = 0;
    EXPECT_TRUE(Ioctl(bus, code, nullptr, 0, out, 64, &actual)) << std::hex << code;
    EXPECT_EQ(actual, 4u) << "the Control slot's own count";
  }
  EXPECT_EQ(port.Count(Slot::Control), 5u);
  port.controlAnswer = FALSE;
  ExpectRefused(bus, IOCTL_POWER_GET, nullptr, 0, out, 64, &actual, 87, Slot::Control);
  // Also while no data handle is open.
  EXPECT_TRUE(ComClose(h));
  h = nullptr;
  port.controlAnswer = TRUE;
  EXPECT_TRUE(Ioctl(bus, IOCTL_POWER_GET, nullptr, 0, out, 64, &actual));
}

TEST_F(IoctlTest, EmptyControlSlotFailsPassThroughWith87) {
  EXPECT_TRUE(ComClose(h));
  h = nullptr;
  Deinit();
  ASSERT_NE(Init(TestPort::OpsWithoutControl()), nullptr);
  h = OpenRW();
  ASSERT_NE(h, nullptr);
  bus = ComOpen(device, 0x100, 0);
  ASSERT_NE(bus, nullptr);
  DWORD out = 0, actual = 0;
  ExpectRefused(bus, IOCTL_POWER_GET, nullptr, 0, &out, 4, &actual, 87);
  ExpectRefused(h, IOCTL_POWER_SET, nullptr, 0, &out, 4, &actual, 87);
  ExpectRefused(h, 0x222004u, nullptr, 0, &out, 4, &actual, 87);
}

TEST_F(IoctlTest, PassThroughHandsAllSevenArguments) {
  BYTE in[3] = {1, 2, 3};
  DWORD out = 0, actual = 0;
  EXPECT_TRUE(Ioctl(h, 0x222008u, in, 3, &out, 4, &actual));
  EXPECT_EQ(out, 0xC0DE2008u);
  EXPECT_EQ(actual, 4u);
  port.controlAnswer = FALSE;
  ExpectRefused(h, 0x222008u, in, 3, &out, 4, &actual, 87, Slot::Control);
}

TEST_F(IoctlTest, LineRequestsAndHandshakeRefusals) {
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_BREAK_ON));
  EXPECT_TRUE(port.Break());
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_BREAK_OFF));
  EXPECT_FALSE(port.Break());
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_CLR_DTR));
  EXPECT_FALSE(port.Dtr());
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_DTR));
  EXPECT_TRUE(port.Dtr());
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_CLR_RTS));
  EXPECT_FALSE(port.Rts());

  DCB dcb = GetDcb(h);
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetDcb(h, dcb));
  ExpectRefused(h, IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0, nullptr, 87);
  ExpectRefused(h, IOCTL_SERIAL_CLR_DTR, nullptr, 0, nullptr, 0, nullptr, 87);
  ExpectRefused(h, IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0, nullptr, 87);
  ExpectRefused(h, IOCTL_SERIAL_CLR_RTS, nullptr, 0, nullptr, 0, nullptr, 87);

  dcb.fRtsControl = RTS_CONTROL_TOGGLE;
  ASSERT_TRUE(SetDcb(h, dcb));
  port.ClearCalls();
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_RTS));
  EXPECT_EQ(port.Count(Slot::SetRts), 1u);

  BYTE c = 'Z';
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1));
  EXPECT_EQ(port.Args(Slot::SendImmediate), std::vector<uint64_t>{'Z'});
}

TEST_F(IoctlTest, XonXoffRequestsFollowSoftFlow) {
  CoreState before = Snapshot(device, h);
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XOFF));
  EXPECT_TRUE(Snapshot(device, h) == before) << "without fOutX or fInX nothing changes";
  DCB dcb = GetDcb(h);
  dcb.fOutX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  port.ClearCalls();
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XOFF));
  SERIAL_DEV_STATUS s = Status(h);
  EXPECT_EQ(s.ComStat.fXoffHold, 1u);
  EXPECT_EQ(s.ComStat.fXoffSent, 1u);
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_XON));
  s = Status(h);
  EXPECT_EQ(s.ComStat.fXoffHold, 0u);
  EXPECT_EQ(s.ComStat.fXoffSent, 0u);
  EXPECT_EQ(port.Count(Slot::SendImmediate), 0u) << "no character is sent";
}

TEST_F(IoctlTest, CommStatusMergesThePortAndTheCore) {
  port.statusErrors = CE_FRAME;
  port.statusFlags = COMSTAT_CTS_HOLD | COMSTAT_XOFF_HOLD | COMSTAT_XOFF_SENT | COMSTAT_TXIM;
  port.Feed("12345");
  ASSERT_TRUE(WaitInQue(h, 5));
  SERIAL_DEV_STATUS s = Status(h);
  EXPECT_EQ(s.Errors, CE_FRAME);
  DWORD flags;
  std::memcpy(&flags, &s.ComStat, 4);
  EXPECT_EQ(flags, COMSTAT_CTS_HOLD | COMSTAT_TXIM) << "the XOFF bits are the core's";
  EXPECT_EQ(s.ComStat.cbInQue, 5u);
  EXPECT_EQ(s.ComStat.cbOutQue, 0u);
}

TEST_F(IoctlTest, ModemStatusAndPropertiesStartZeroed) {
  port.modemStatus = MS_CTS_ON | MS_RLSD_ON;
  DWORD word = 0xFFFFFFFFu, actual = 0;
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &word, 4, &actual));
  EXPECT_EQ(word, MS_CTS_ON | MS_RLSD_ON);
  EXPECT_EQ(port.Args(Slot::GetModemStatus), std::vector<uint64_t>{0});
  COMMPROP prop;
  std::memset(&prop, 0xAB, sizeof(prop));
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &prop, sizeof(prop), &actual));
  EXPECT_EQ(port.Args(Slot::GetProperties), std::vector<uint64_t>{0});
  EXPECT_EQ(prop.dwMaxBaud, 0x10000000u);
  EXPECT_EQ(prop.dwProvSpec2, 0u);
}

TEST_F(IoctlTest, IrRequests) {
  SetLastError(4321);
  EXPECT_FALSE(Ioctl(h, IOCTL_SERIAL_ENABLE_IR));
  EXPECT_EQ(GetLastError(), 4321u) << "a refused IR request leaves the last error alone";
  EXPECT_EQ(port.Args(Slot::EnableIr), std::vector<uint64_t>{9600});
  port.enableIrAnswer = TRUE;
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_ENABLE_IR));
  EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_DISABLE_IR)) << "the port's answer is not looked at";
}

TEST_F(IoctlTest, PurgeTxClearAloneLeavesTheCoreUnchanged) {
  port.Feed("abc");
  ASSERT_TRUE(WaitInQue(h, 3));
  CoreState before = Snapshot(device, h);
  EXPECT_TRUE(Purge(h, PURGE_TXCLEAR));
  EXPECT_TRUE(Snapshot(device, h) == before);
  EXPECT_EQ(port.Args(Slot::Purge).back(), PURGE_TXCLEAR);
  EXPECT_EQ(InQue(h), 3u);
}

TEST_F(IoctlTest, RefusedDcbIsNotStored) {
  DCB dcb = GetDcb(h);
  dcb.BaudRate = 57600;
  dcb.fInX = 1;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  ASSERT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_DTR));
  port.lineSettingsRefused = true;
  ExpectRefused(h, IOCTL_SERIAL_SET_DCB, &dcb, sizeof(dcb), nullptr, 0, nullptr, 87,
                Slot::SetLineSettings);
  EXPECT_EQ(GetDcb(h).BaudRate, 9600u);
  EXPECT_TRUE(port.Dtr());
}

TEST_F(IoctlTest, ApplyDcbDrivesTheLinesAndSoftFlow) {
  DCB dcb = GetDcb(h);
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fInX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  EXPECT_FALSE(port.Dtr());
  EXPECT_FALSE(port.Rts());
  EXPECT_TRUE(FlowFlags(device) & SoftFlow);
  EXPECT_EQ(GetDcb(h).BaudRate, dcb.BaudRate);
  dcb.fInX = 0;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  ASSERT_TRUE(SetDcb(h, dcb));
  EXPECT_TRUE(port.Dtr());
  EXPECT_TRUE(port.Rts());
  EXPECT_FALSE(FlowFlags(device) & SoftFlow);
  port.Feed(std::string("\x13q", 2));
  ASSERT_TRUE(WaitInQue(h, 2)) << "without SoftFlow XOFF is data";
}

TEST_F(IoctlTest, HandshakeSettingsWithABufferOverThreeQuartersFull) {
  port.Feed(std::string(50000, 'F'));
  ASSERT_TRUE(WaitInQue(h, 50000));
  DCB dcb = GetDcb(h);
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(Ioctl(h, IOCTL_SERIAL_CLR_RTS));
  ASSERT_TRUE(SetDcb(h, dcb));
  EXPECT_FALSE(port.Dtr()) << "DTR drops";
  EXPECT_TRUE(FlowFlags(device) & DtrFlowOff);
  EXPECT_TRUE(port.Rts()) << "a free RTS is raised";
  EXPECT_FALSE(FlowFlags(device) & RtsFlowOff);
  // A second DTR handshake DCB releases a held-off DTR whatever the fill.
  ASSERT_TRUE(SetDcb(h, dcb));
  EXPECT_TRUE(port.Dtr());
  EXPECT_FALSE(FlowFlags(device) & DtrFlowOff);
}

TEST_F(IoctlTest, ProcessExitNotice) {
  DEVICE_PSL_NOTIFY notice{};
  notice.dwSize = sizeof(notice);
  notice.dwFlags = 2;
  ASSERT_TRUE(SetMask(h, EV_RXCHAR));
  CoreState before = Snapshot(device, h);
  EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, &notice, sizeof(notice)));
  EXPECT_TRUE(Snapshot(device, h) == before) << "other flags change nothing";
  // The record holds two handles, so its size depends on the host's width: a record sized for a
  // host of the other width (4-byte handles on a 64-bit host, 8-byte ones on a 32-bit host) and a
  // buffer one handle short of this host's record are ignored.
  const DWORD otherHandle = sizeof(HANDLE) == 8 ? 4 : 8;
  const DWORD otherSize = 2 * sizeof(DWORD) + 2 * otherHandle;
  ASSERT_NE(otherSize, sizeof(notice));
  notice.dwFlags = DLL_PROCESS_EXITING;
  notice.dwSize = otherSize;
  EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, &notice, sizeof(notice)));
  notice.dwSize = sizeof(notice);
  EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, &notice, sizeof(notice) - sizeof(HANDLE)));
  EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, nullptr, 64));
  EXPECT_TRUE(Snapshot(device, h) == before);

  // A blocked reader, writer and waiter all wake.
  SetTimeouts(h, 0, 0, 0);
  port.txMode = TxMode::Hold;
  plain = ComOpen(device, 0, 0);
  ASSERT_NE(plain, nullptr);
  ASSERT_TRUE(SetMask(plain, EV_CTS));
  // The notice ends only calls in progress, so each must be under way first: the writer has
  // offered its bytes, the reader has cleared the read abort set here before it started, and the
  // waiter is past its mask check (it counts twice in the busy count: the control call and the
  // wait; an event-handler pass counts once more, as in the close's count of calls in flight).
  ASSERT_TRUE(Purge(h, PURGE_RXABORT));
  auto reader = std::async(std::launch::async, [&] {
    char b[4];
    DWORD n = ComRead(h, b, 4);
    return std::make_pair(n, GetLastError());
  });
  auto writer = std::async(std::launch::async, [&] { return ComWrite(h, "wxyz", 4); });
  auto waiter = std::async(std::launch::async, [&] {
    DWORD mask = 0xFF;
    BOOL ok = WaitMask(h, &mask);
    return std::make_pair(ok, mask);
  });
  // From here on a failed check goes on to the notice: an early return would leave the calls
  // blocked and the futures' destructors waiting for them.
  EXPECT_TRUE(port.WaitForCount(Slot::Transmit, 1, 10000));
  auto underWay = [&] {
    EnterCriticalSection(&device->listLock);
    const LONG calls = __atomic_load_n(&h->busy, __ATOMIC_ACQUIRE) - (device->passOwner == h);
    LeaveCriticalSection(&device->listLock);
    return calls == 4 && !(FlowFlags(device) & ReadAborted);
  };
  for (int i = 0; i < 10000 && !underWay(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(underWay());
  EXPECT_TRUE(Ioctl(h, IOCTL_PSL_NOTIFY, &notice, sizeof(notice)));
  // A call the notice leaves blocked fails the test, and closing the handle ends it.
  auto endsWithin = [&](auto& call, const char* what) {
    if (call.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return;
    ADD_FAILURE() << "the notice did not end the " << what;
    if (h != nullptr) {
      EXPECT_TRUE(ComClose(h));
      h = nullptr;
    }
  };
  endsWithin(reader, "read");
  endsWithin(writer, "write");
  endsWithin(waiter, "wait");
  auto [n, error] = reader.get();
  EXPECT_EQ(n, kFailed);
  EXPECT_EQ(error, 995u);
  EXPECT_EQ(writer.get(), 0u);
  auto [ok, mask] = waiter.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(mask, 0u);
  if (h == nullptr) return;
  // The mask is gone: a new wait fails until a new mask is set.
  ExpectMasklessWaitFails(h);
  // The notice on one handle leaves the other handle's mask alone.
  DWORD other = 0, actual = 0;
  EXPECT_TRUE(Ioctl(plain, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, &other, 4, &actual));
  EXPECT_EQ(other, EV_CTS);
}

}  // namespace
