// Open and close rules, first-open defaults, init and deinit, the event thread's life.
#include "tests/core/core_fixture.h"

namespace {

using OpenTest = CoreTest;

TEST_F(OpenTest, FirstOpenAppliesDefaultsAndOpensThePort) {
  ASSERT_NE(Init(), nullptr);
  EXPECT_EQ(port.Count(Slot::PostInit), 1u);
  EXPECT_EQ(device->rxSize, 65536u);
  EXPECT_EQ(LoadPointer(&device->thread), nullptr)
      << "BindThreadAtOpen: no thread before the first open";

  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  DCB dcb = GetDcb(h);
  EXPECT_EQ(dcb.DCBlength, 28u);
  EXPECT_EQ(dcb.BaudRate, 9600u);
  EXPECT_EQ(DcbFlags(dcb) & 0x7FFF, 0x1011u);
  EXPECT_EQ(dcb.XonLim, 512);
  EXPECT_EQ(dcb.XoffLim, 128);
  EXPECT_EQ(dcb.ByteSize, 8);
  EXPECT_EQ(dcb.Parity, NOPARITY);
  EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
  EXPECT_EQ(dcb.XonChar, 0x11);
  EXPECT_EQ(dcb.XoffChar, 0x13);
  EXPECT_EQ(dcb.EvtChar, 0x0D);
  EXPECT_EQ(port.LastLineSettings().BaudRate, 9600u);
  EXPECT_EQ(port.Args(Slot::Purge), std::vector<uint64_t>{PURGE_RXCLEAR});
  EXPECT_EQ(port.Count(Slot::SetTimeouts), 1u);

  // Order of the first open: Open, then the settings, then the purge.
  std::vector<Slot> order;
  for (const PortCall& c : port.Calls())
    if (c.slot == Slot::Open || c.slot == Slot::SetLineSettings || c.slot == Slot::SetTimeouts ||
        c.slot == Slot::Purge)
      order.push_back(c.slot);
  EXPECT_EQ(order,
            (std::vector<Slot>{Slot::Open, Slot::SetLineSettings, Slot::SetTimeouts, Slot::Purge}));

  ASSERT_NE(LoadPointer(&device->thread), nullptr);
  EXPECT_EQ(CeGetThreadPriority(LoadPointer(&device->thread)), 103);
  EXPECT_TRUE(ComClose(h));
  EXPECT_EQ(port.Args(Slot::Close), std::vector<uint64_t>{0}) << "openCount is 0 at Close";
  EXPECT_EQ(LoadPointer(&device->thread), nullptr);
}

TEST_F(OpenTest, ReadAndWriteAccessAreOneExclusiveRight) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* writer = ComOpen(device, GENERIC_WRITE, 0);
  ASSERT_NE(writer, nullptr);
  SetLastError(0);
  EXPECT_EQ(ComOpen(device, GENERIC_READ, 0), nullptr);
  EXPECT_EQ(GetLastError(), 12u);
  EXPECT_EQ(ComOpen(device, GENERIC_WRITE, 0), nullptr);
  EXPECT_EQ(GetLastError(), 12u);

  ComHandle* plain = ComOpen(device, 0, 0);
  ASSERT_NE(plain, nullptr) << "an open without access is a data open";
  EXPECT_EQ(LoadWord(&device->openCount), 2u);
  ComHandle* bus = ComOpen(device, 0xC0000100u, 0);
  ASSERT_NE(bus, nullptr);
  EXPECT_EQ(bus->access, 0x100u);
  EXPECT_EQ(LoadWord(&device->openCount), 2u) << "bus-access handles are not counted";
  EXPECT_EQ(LoadPointer(&device->owner), writer);

  // Closing the owner leaves the port open and frees the right.
  EXPECT_TRUE(ComClose(writer));
  EXPECT_EQ(port.Count(Slot::Close), 0u);
  ComHandle* reader = ComOpen(device, GENERIC_READ, 0);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(port.Count(Slot::Open), 1u);
  EXPECT_TRUE(ComClose(reader));
  EXPECT_TRUE(ComClose(plain));
  EXPECT_EQ(port.Count(Slot::Close), 1u);
  EXPECT_TRUE(ComClose(bus));
  EXPECT_EQ(port.Count(Slot::Close), 1u);
}

TEST_F(OpenTest, DataOpenWithoutAccessOpensThePortButCannotTransfer) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* h = ComOpen(device, 0, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(port.Count(Slot::Open), 1u);
  EXPECT_EQ(port.Count(Slot::SetLineSettings), 1u);
  char buffer[4];
  EXPECT_EQ(ComRead(h, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 12u);
  EXPECT_EQ(ComWrite(h, "abcd", 4), kFailed);
  EXPECT_EQ(GetLastError(), 12u);
  EXPECT_TRUE(ComClose(h));
}

TEST_F(OpenTest, BusAccessOpenDoesNotOpenThePort) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* bus = ComOpen(device, 0xC0000100u, 0);
  ASSERT_NE(bus, nullptr);
  EXPECT_EQ(port.Count(Slot::Open), 0u);
  EXPECT_EQ(LoadWord(&device->openCount), 0u);
  EXPECT_EQ(LoadPointer(&device->owner), nullptr);
  EXPECT_EQ(LoadPointer(&device->thread), nullptr);
  char buffer[4];
  EXPECT_EQ(ComRead(bus, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 6u) << "the port is not open";
  EXPECT_EQ(ComWrite(bus, "ab", 2), kFailed);
  EXPECT_EQ(GetLastError(), 6u);
  DCB dcb;
  DWORD actual = 0;
  EXPECT_FALSE(Ioctl(bus, IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof(dcb), &actual));
  EXPECT_EQ(GetLastError(), 6u);
  // A read-write open still gets the exclusive right.
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(ComRead(bus, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 12u);
  EXPECT_TRUE(ComClose(h));
  EXPECT_TRUE(ComClose(bus));
}

TEST_F(OpenTest, EveryFirstOpenResetsTheDcbButKeepsTheTimeouts) {
  ASSERT_NE(Init(), nullptr);
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  DCB dcb = GetDcb(h);
  dcb.BaudRate = 115200;
  dcb.Parity = EVENPARITY;
  dcb.fInX = 1;
  dcb.fOutX = 1;
  dcb.fDummy2 = 0x155;  // upper flag bits survive the defaults
  ASSERT_TRUE(SetDcb(h, dcb));
  SetTimeouts(h, 7, 8, 9, 10, 11);
  EXPECT_TRUE(ComClose(h));

  h = OpenRW();
  ASSERT_NE(h, nullptr);
  DCB again = GetDcb(h);
  EXPECT_EQ(again.BaudRate, 9600u);
  EXPECT_EQ(again.Parity, NOPARITY);
  EXPECT_EQ(again.fInX, 0u);
  EXPECT_EQ(again.fOutX, 0u);
  EXPECT_EQ(again.fDummy2, 0x155u);
  COMMTIMEOUTS t{};
  DWORD actual = 0;
  ASSERT_TRUE(Ioctl(h, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof(t), &actual));
  EXPECT_EQ(actual, 20u);
  EXPECT_EQ(t.ReadIntervalTimeout, 7u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 11u);
  EXPECT_EQ(port.Args(Slot::SetTimeouts).back(), 7u) << "the kept time-outs go to the port";

  // SoftFlow went with the XON/XOFF settings: the characters are data again.
  port.Feed(std::string("a\x13z\x11", 4));
  ASSERT_TRUE(WaitInQue(h, 4));
  EXPECT_EQ(Read(h, 4), std::string("a\x13z\x11", 4));
  EXPECT_EQ(Status(h).ComStat.fXoffHold, 0u);
  EXPECT_TRUE(ComClose(h));
}

TEST_F(OpenTest, OpenSlotFailureLeavesNothingBehind) {
  ASSERT_NE(Init(), nullptr);
  port.openFails = true;
  SetLastError(0);
  EXPECT_EQ(OpenRW(), nullptr);
  EXPECT_EQ(GetLastError(), 110u);
  EXPECT_EQ(LoadWord(&device->openCount), 0u);
  EXPECT_EQ(LoadPointer(&device->owner), nullptr);
  EXPECT_EQ(LoadPointer(&device->thread), nullptr) << "the thread started for the open is stopped";
  EXPECT_EQ(device->openList.next, &device->openList);

  port.openFails = false;
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LoadWord(&device->openCount), 1u);
  EXPECT_TRUE(ComClose(h));
}

TEST_F(OpenTest, DeinitWithHandlesOpenClosesThePortOnceThenDeinits) {
  ASSERT_NE(Init(), nullptr);
  ASSERT_NE(OpenRW(), nullptr);
  ASSERT_NE(ComOpen(device, 0, 0), nullptr);
  ASSERT_NE(ComOpen(device, 0x100, 0), nullptr);
  Deinit();
  EXPECT_EQ(port.Count(Slot::Close), 1u);
  EXPECT_EQ(port.Count(Slot::Deinit), 1u);
  std::vector<Slot> tail;
  for (const PortCall& c : port.Calls())
    if (c.slot == Slot::Close || c.slot == Slot::Deinit) tail.push_back(c.slot);
  EXPECT_EQ(tail, (std::vector<Slot>{Slot::Close, Slot::Deinit}));
}

TEST_F(OpenTest, InvalidHandlesGetError6) {
  ASSERT_NE(Init(), nullptr);
  char buffer[4];
  SetLastError(0);
  EXPECT_FALSE(ComClose(nullptr));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(ComRead(nullptr, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(ComWrite(nullptr, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(Ioctl(nullptr, IOCTL_SERIAL_SET_BREAK_ON));
  EXPECT_EQ(GetLastError(), 6u);
  SetLastError(0);
  EXPECT_FALSE(ComDeinit(nullptr));
  EXPECT_EQ(GetLastError(), 6u);

  // A record that is not a live handle of this core, and one without a device.
  ComHandle foreign{};
  EXPECT_FALSE(ComClose(&foreign));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(ComRead(&foreign, buffer, 4), kFailed);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_FALSE(Ioctl(&foreign, IOCTL_SERIAL_SET_BREAK_ON));
  EXPECT_EQ(GetLastError(), 6u);
  foreign.signature = ComHandleSignature;
  EXPECT_FALSE(ComClose(&foreign));
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(ComSeek(&foreign, 5, 0), kFailed);
  EXPECT_EQ(ComSeek(nullptr, 0, 0), kFailed);
}

TEST_F(OpenTest, ReceiveBufferIsTwiceThePortSizeButAtLeast2048) {
  const DWORD asks[] = {0, 1024, 1025, 32768};
  const DWORD sizes[] = {2048, 2048, 2050, 65536};
  for (int i = 0; i < 4; ++i) {
    port.rxBufferSize = asks[i];
    ASSERT_NE(Init(), nullptr);
    EXPECT_EQ(device->rxSize, sizes[i]) << "asked " << asks[i];
    Deinit();
  }
}

TEST_F(OpenTest, InitFailuresReleaseEverything) {
  // No active key: the device key cannot be opened.
  port.MakeCurrent();
  EXPECT_EQ(ComInit(TEXT("Drivers\\Active\\NoSuchKey"), TestPort::Ops()), nullptr);
  EXPECT_EQ(port.Count(Slot::Init), 0u);
  // The Init slot fails: no port context, so no Deinit either.
  port.initFails = true;
  EXPECT_EQ(Init(), nullptr);
  EXPECT_EQ(port.Count(Slot::Init), 1u);
  EXPECT_EQ(port.Count(Slot::Deinit), 0u);
  // A receive buffer that cannot be had fails after Init and gives the port its Deinit.
  port.initFails = false;
  port.rxBufferSize = 0xFFFFFFFFu;
  EXPECT_EQ(Init(), nullptr);
  EXPECT_EQ(port.Count(Slot::Deinit), 1u);
  EXPECT_EQ(port.Count(Slot::PostInit), 0u);
}

TEST_F(OpenTest, PowerEntriesPassThePortResult) {
  ASSERT_NE(Init(), nullptr);
  EXPECT_EQ(ComPowerUp(device), 0x52u);
  EXPECT_EQ(ComPowerDown(device), 0x51u);
}

class PriorityTest : public CoreTest {
 protected:
  PriorityTest() { priority_ = &value_; }
  DWORD value_ = 150;
};

TEST_F(PriorityTest, Priority256SetsTheEventThreadPriorityWhileOpen) {
  port.bindFlags = BindThreadAtInit;
  ASSERT_NE(Init(), nullptr);
  EXPECT_EQ(device->threadPriority, 150u);
  ASSERT_NE(LoadPointer(&device->thread), nullptr)
      << "BindThreadAtInit starts the thread in ComInit";
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(CeGetThreadPriority(LoadPointer(&device->thread)), 150);
  EXPECT_TRUE(ComClose(h));
  ASSERT_NE(LoadPointer(&device->thread), nullptr)
      << "a thread started at init outlives the last close";
  EXPECT_EQ(GetThreadPriority(LoadPointer(&device->thread)), THREAD_PRIORITY_NORMAL);
  // The thread still serves the port on the next open.
  h = OpenRW();
  ASSERT_NE(h, nullptr);
  port.Feed("xyz");
  ASSERT_TRUE(WaitInQue(h, 3));
  EXPECT_EQ(Read(h, 3), "xyz");
  EXPECT_TRUE(ComClose(h));
}

TEST_F(OpenTest, WithoutThreadFlagsNoEventThreadRuns) {
  port.bindFlags = 0;
  ASSERT_NE(Init(), nullptr);
  ComHandle* h = OpenRW();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(LoadPointer(&device->thread), nullptr);
  port.Feed("ab");
  SetTimeouts(h, 0, 0, 50);
  EXPECT_EQ(Read(h, 2), "") << "nobody services the port's work";
  EXPECT_TRUE(ComClose(h));
}

}  // namespace
