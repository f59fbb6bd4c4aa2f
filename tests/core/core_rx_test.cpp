// The receive path: read time-outs, XON/XOFF stripping, the full buffer, input flow control,
// aborts.
#include <chrono>
#include <future>
#include <thread>

#include "tests/core/core_fixture.h"

namespace {

class RxTest : public OpenCoreTest {
 protected:
  void FeedFill(size_t n, char c = 'A') { port.Feed(std::string(n, c)); }
  // A read of up to n bytes on another thread: what it returned and how long it took, in ms.
  std::future<std::pair<std::string, long>> ReadAsync(size_t n) {
    return std::async(std::launch::async, [this, n] {
      auto start = Clock::now();
      std::string s = Read(h, n);
      return std::make_pair(s, MsSince(start));
    });
  }
};

TEST_F(RxTest, ZeroLengthReadReturnsAtOnce) {
  // A total time-out far beyond the bound: a read that waited at all would wait it out.
  SetTimeouts(h, 0, 0, 10000);
  auto start = Clock::now();
  EXPECT_EQ(ComRead(h, nullptr, 0), 0u);
  EXPECT_LT(MsSince(start), 5000);
  char b[4];
  EXPECT_EQ(ComRead(h, nullptr, 4), kFailed);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_EQ(ComRead(h, b, 0), 0u);
}

TEST_F(RxTest, DefaultTimeoutsOnASilentLine) {
  auto start = Clock::now();
  EXPECT_EQ(Read(h, 10), "");
  long ms = MsSince(start);
  EXPECT_GE(ms, 195);  // 10 x 10 + 100
  EXPECT_LT(ms, 5000);
}

TEST_F(RxTest, DefaultIntervalEndsAReadAfterTheLineGoesQuiet) {
  port.Feed("abc");
  ASSERT_TRUE(WaitInQue(h, 3));
  auto start = Clock::now();
  EXPECT_EQ(Read(h, 1000), "abc");
  long ms = MsSince(start);
  EXPECT_GE(ms, 325);  // interval 250 + 8 x 10
  EXPECT_LT(ms, 5000) << "long before the total of 10100 ms";
}

TEST_F(RxTest, MaxdwordIntervalWithoutTotalNeverWaits) {
  SetTimeouts(h, MAXDWORD, 0, 0);
  auto start = Clock::now();
  EXPECT_EQ(Read(h, 100), "");
  EXPECT_LT(MsSince(start), 5000) << "no total time-out: a read that waited would wait for good";
  port.Feed("hello");
  ASSERT_TRUE(WaitInQue(h, 5));
  EXPECT_EQ(Read(h, 100), "hello");
}

TEST_F(RxTest, MaxdwordIntervalWithTotalReturnsWithTheFirstBytes) {
  SetTimeouts(h, MAXDWORD, MAXDWORD, 10000);
  auto reader = ReadAsync(100);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.Feed("xy");
  auto [s, ms] = reader.get();
  EXPECT_EQ(s, "xy");
  EXPECT_LT(ms, 5000) << "long before the total of 10000 ms";
  // Silent line: waits the constant, then returns nothing.
  SetTimeouts(h, MAXDWORD, MAXDWORD, 150);
  auto start = Clock::now();
  EXPECT_EQ(Read(h, 100), "");
  EXPECT_GE(MsSince(start), 145);
}

TEST_F(RxTest, NoTimeoutsWaitForTheWholeLength) {
  SetTimeouts(h, 0, 0, 0);
  auto reader = std::async(std::launch::async, [&] { return Read(h, 10); });
  port.Feed("0123");
  ASSERT_TRUE(port.WaitDrained(2000));
  EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  port.Feed("456789extra");
  EXPECT_EQ(reader.get(), "0123456789");
  EXPECT_EQ(Read(h, 5), "extra");
}

TEST_F(RxTest, TotalTimeoutCountsOnlyWaitingTime) {
  SetTimeouts(h, 0, 0, 150);
  port.Feed("ab");
  ASSERT_TRUE(WaitInQue(h, 2));
  auto start = Clock::now();
  EXPECT_EQ(Read(h, 10), "ab");
  long ms = MsSince(start);
  EXPECT_GE(ms, 145);
  // Time outside the waits does not count, so a busy machine stretches the read beyond 150 ms.
  EXPECT_LT(ms, 5000);
}

// A read without an interval time-out is woken only once it can be satisfied; what arrives short
// of that is still returned when the total time-out ends it.
TEST_F(RxTest, BytesShortOfTheLengthComeBackAtTheTotalTimeout) {
  SetTimeouts(h, 0, 0, 300);
  auto reader = ReadAsync(10);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.Feed("abc");
  auto [s, ms] = reader.get();
  EXPECT_EQ(s, "abc");
  EXPECT_GE(ms, 295);
  EXPECT_LT(ms, 5000);
}

// A read waiting for more than the buffer takes before the core sends XOFF must still be woken to
// drain it: a peer that honours XOFF sends nothing more, and only the read's XON frees it.
TEST_F(RxTest, LongReadDrainsTheBufferOnceXoffHoldsThePeer) {
  DCB dcb = GetDcb(h);
  dcb.fInX = 1;
  dcb.XoffLim = 60000;  // XOFF once 5536 bytes wait
  ASSERT_TRUE(SetDcb(h, dcb));
  SetTimeouts(h, 0, 0, 0);
  auto reader = std::async(std::launch::async, [&] { return Read(h, 65536); });
  FeedFill(6000);
  ASSERT_TRUE(port.WaitForCount(Slot::SendImmediate, 2, 5000)) << "XOFF, then the read's XON";
  EXPECT_EQ(port.Args(Slot::SendImmediate), (std::vector<uint64_t>{0x13, 0x11}));
  FeedFill(65536 - 6000, 'B');
  const std::string got = reader.get();
  EXPECT_EQ(got, std::string(6000, 'A') + std::string(65536 - 6000, 'B'));
}

TEST_F(RxTest, PurgeAbortEndsAWaitingReadWith995) {
  SetTimeouts(h, 0, 0, 0);
  auto reader = std::async(std::launch::async, [&] {
    char b[8];
    DWORD n = ComRead(h, b, 8);
    return std::make_pair(n, GetLastError());
  });
  // A pulse frees only a reader already blocked, so repeat until the reader has ended.
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ASSERT_TRUE(Purge(h, PURGE_RXABORT));
    ended = reader.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready;
  }
  ASSERT_TRUE(ended);
  auto [n, error] = reader.get();
  EXPECT_EQ(n, kFailed);
  EXPECT_EQ(error, 995u);
  // A read that starts after the abort is not affected.
  port.Feed("ok");
  SetTimeouts(h, 0, 0, 2000);
  EXPECT_EQ(Read(h, 2), "ok");
}

TEST_F(RxTest, XonXoffAreStrippedAndHoldTransmission) {
  DCB dcb = GetDcb(h);
  dcb.fOutX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  port.Feed(std::string("ab\x13", 3));
  ASSERT_TRUE(WaitInQue(h, 2));
  EXPECT_EQ(Status(h).ComStat.fXoffHold, 1u);
  port.Feed(std::string("cd\x11", 3));
  ASSERT_TRUE(WaitInQue(h, 4));
  EXPECT_EQ(Status(h).ComStat.fXoffHold, 0u);
  EXPECT_EQ(Read(h, 4), "abcd");
  // Characters compare as unsigned bytes, and equal XON/XOFF characters count as XOFF.
  dcb.XonChar = static_cast<char>(0xF0);
  dcb.XoffChar = static_cast<char>(0xF0);
  ASSERT_TRUE(SetDcb(h, dcb));
  port.Feed(std::string("x\xF0y", 3));
  ASSERT_TRUE(WaitInQue(h, 2));
  EXPECT_EQ(Status(h).ComStat.fXoffHold, 1u);
  EXPECT_EQ(Read(h, 2), "xy");
}

class SmallRxTest : public RxTest {
 protected:
  SmallRxTest() { port.rxBufferSize = 1024; }  // 2048-byte receive buffer
};

TEST_F(SmallRxTest, FullBufferDiscardsSixteenBytesAtATime) {
  ASSERT_EQ(device->rxSize, 2048u);
  std::string data;
  for (int i = 0; i < 2047 + 40; ++i) data.push_back(static_cast<char>('a' + i % 26));
  port.Feed(data);
  ASSERT_TRUE(port.WaitDrained(5000));
  ASSERT_TRUE(WaitInQue(h, 2047)) << "one slot stays empty";
  std::vector<uint64_t> offers = port.Args(Slot::Receive);
  EXPECT_GE(std::count(offers.begin(), offers.end(), 16u), 3);
  SetTimeouts(h, MAXDWORD, 0, 0);
  EXPECT_EQ(Read(h, 4096), data.substr(0, 2047));
  EXPECT_TRUE(ComClose(h));  // stops the event thread: its counters are settled
  h = nullptr;
  EXPECT_EQ(device->rxDiscarded, 40u);
  EXPECT_EQ(device->rxTotal, 2047u);
}

TEST_F(SmallRxTest, PortClaimingMoreThanTheRoomCannotOverrunTheBuffer) {
  port.rxClaimExtra = 5000;
  port.Feed("abc");
  ASSERT_TRUE(port.WaitDrained(2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_LE(InQue(h), 2047u);
  port.rxClaimExtra = 0;
  Purge(h, PURGE_RXCLEAR);
  EXPECT_EQ(InQue(h), 0u);
}

// Input handshake on DTR or RTS: the line drops once the buffer is over three quarters full and
// rises again once a read leaves it below half.
struct HandshakeLine {
  const char* name;
  bool dtr;
};

class RxHandshakeTest : public OpenCoreTest, public ::testing::WithParamInterface<HandshakeLine> {
 protected:
  bool Line() { return GetParam().dtr ? port.Dtr() : port.Rts(); }
};

TEST_P(RxHandshakeTest, DropsAboveThreeQuartersAndRisesBelowHalf) {
  const bool dtr = GetParam().dtr;
  const Slot clear = dtr ? Slot::ClearDtr : Slot::ClearRts;
  DCB dcb = GetDcb(h);
  if (dtr)
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  else
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetDcb(h, dcb));
  ASSERT_TRUE(Line());
  port.Feed(std::string(49152, 'A'));
  ASSERT_TRUE(WaitInQue(h, 49152));
  EXPECT_TRUE(Line()) << "exactly three quarters is not over";
  port.Feed("A");
  ASSERT_TRUE(WaitInQue(h, 49153));
  ASSERT_TRUE(port.WaitForCount(clear, 1, 2000));
  EXPECT_FALSE(Line());
  SetTimeouts(h, MAXDWORD, 0, 0);
  EXPECT_EQ(Read(h, 49153 - 32768).size(), 49153u - 32768u);
  EXPECT_FALSE(Line()) << "exactly half is not below";
  EXPECT_EQ(Read(h, 1).size(), 1u);
  EXPECT_TRUE(Line());
  EXPECT_EQ(port.Count(clear), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lines, RxHandshakeTest,
                         ::testing::Values(HandshakeLine{"Dtr", true}, HandshakeLine{"Rts", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RxTest, XoffWhenFreeReachesXoffLimAndXonWhenAReadFreesMore) {
  DCB dcb = GetDcb(h);
  dcb.fInX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  FeedFill(65536 - 129);  // free 129
  ASSERT_TRUE(WaitInQue(h, 65536 - 129));
  EXPECT_EQ(port.Count(Slot::SendImmediate), 0u);
  FeedFill(1);  // free 128 = XoffLim
  ASSERT_TRUE(WaitInQue(h, 65536 - 128));
  ASSERT_TRUE(port.WaitForCount(Slot::SendImmediate, 1, 2000));
  EXPECT_EQ(port.Args(Slot::SendImmediate), std::vector<uint64_t>{0x13});
  SERIAL_DEV_STATUS s = Status(h);
  EXPECT_EQ(s.ComStat.fXoffSent, 1u);
  EXPECT_EQ(s.ComStat.fXoffHold, 1u) << "fTXContinueOnXoff is clear";
  FeedFill(10);  // no second XOFF while one is outstanding
  ASSERT_TRUE(WaitInQue(h, 65536 - 118));
  EXPECT_EQ(port.Count(Slot::SendImmediate), 1u);
  SetTimeouts(h, MAXDWORD, 0, 0);
  EXPECT_EQ(Read(h, 10).size(), 10u);  // free 128 again: still held
  EXPECT_EQ(port.Count(Slot::SendImmediate), 1u);
  EXPECT_EQ(Read(h, 1).size(), 1u);  // free 129
  EXPECT_EQ(port.Args(Slot::SendImmediate), (std::vector<uint64_t>{0x13, 0x11}));
  s = Status(h);
  EXPECT_EQ(s.ComStat.fXoffSent, 0u);
  EXPECT_EQ(s.ComStat.fXoffHold, 0u);
}

// A read that frees room sends XON while more bytes arrive and fill the buffer again: the XOFF
// for the refill must reach the port after that XON, or the peer is left released while the core
// believes it held.
TEST_F(RxTest, XonAndXoffReachThePortInTheOrderOfTheirFlagChanges) {
  DCB dcb = GetDcb(h);
  dcb.fInX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  FeedFill(65536 - 128);
  ASSERT_TRUE(WaitInQue(h, 65536 - 128));
  ASSERT_TRUE(port.WaitForCount(Slot::SendImmediate, 1, 2000));
  SetTimeouts(h, MAXDWORD, 0, 0);
  port.xonDelayMs = 300;
  std::thread reader([&] { EXPECT_EQ(Read(h, 1).size(), 1u); });
  auto start = std::chrono::steady_clock::now();
  while (!port.inSlowXon && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(port.inSlowXon) << "the read sends XON";
  FeedFill(1);  // free 128 again while the XON is on its way
  reader.join();
  ASSERT_TRUE(port.WaitForCount(Slot::SendImmediate, 3, 2000));
  EXPECT_EQ(port.Args(Slot::SendImmediate), (std::vector<uint64_t>{0x13, 0x11, 0x13}));
  EXPECT_EQ(Status(h).ComStat.fXoffSent, 1u);
}

TEST_F(RxTest, PurgeRxClearEmptiesTheBufferAndReleasesFlowControl) {
  DCB dcb = GetDcb(h);
  dcb.fInX = 1;
  dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
  ASSERT_TRUE(SetDcb(h, dcb));
  FeedFill(65536 - 100);
  ASSERT_TRUE(WaitInQue(h, 65536 - 100));
  ASSERT_TRUE(port.WaitForCount(Slot::SendImmediate, 1, 2000));
  ASSERT_FALSE(port.Dtr());
  ASSERT_TRUE(Purge(h, PURGE_RXCLEAR));
  EXPECT_EQ(InQue(h), 0u);
  EXPECT_EQ(port.Args(Slot::SendImmediate), (std::vector<uint64_t>{0x13, 0x11}));
  EXPECT_TRUE(port.Dtr());
  EXPECT_EQ(Status(h).ComStat.fXoffSent, 0u);
  EXPECT_EQ(port.Args(Slot::Purge).back(), PURGE_RXCLEAR);
  // Without fInX nothing is sent.
  dcb.fInX = 0;
  ASSERT_TRUE(SetDcb(h, dcb));
  ASSERT_TRUE(Purge(h, PURGE_RXCLEAR));
  EXPECT_EQ(port.Count(Slot::SendImmediate), 2u);
  // Data after a purge arrives intact.
  port.Feed("after");
  ASSERT_TRUE(WaitInQue(h, 5));
  EXPECT_EQ(Read(h, 5), "after");
}

TEST_F(RxTest, ReadOnAClosedPortFailsWith6) {
  ComHandle* bus = ComOpen(device, 0x100, 0);
  ASSERT_NE(bus, nullptr);
  EXPECT_TRUE(ComClose(h));
  h = nullptr;
  char b[2];
  EXPECT_EQ(ComRead(bus, b, 2), kFailed);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_TRUE(ComClose(bus));
}

}  // namespace
