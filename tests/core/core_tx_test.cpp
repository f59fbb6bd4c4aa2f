// The transmit path: zero-length writes, write time-outs, slow ports, XOFF, RTS toggle, aborts and
// the output queue count.
#include <future>

#include "tests/core/core_fixture.h"

namespace {

class TxTest : public OpenCoreTest {
 protected:
  DWORD Write(const std::string& s) { return ComWrite(h, s.data(), static_cast<DWORD>(s.size())); }
  std::string Sent() {
    std::vector<uint8_t> t = port.Transmitted();
    return std::string(t.begin(), t.end());
  }
  void SetRtsControl(DWORD mode) {
    DCB dcb = GetDcb(h);
    dcb.fRtsControl = mode;
    ASSERT_TRUE(SetDcb(h, dcb));
  }
  // The order of the RTS and Transmit slots as the port saw them.
  std::string RtsTrace() {
    std::string trace;
    for (const PortCall& c : port.Calls()) {
      if (c.slot == Slot::SetRts) trace += 'R';
      if (c.slot == Slot::ClearRts) trace += 'r';
      if (c.slot == Slot::Transmit) trace += c.arg == 0xFFFFFFFFull ? 'n' : 'T';
    }
    return trace;
  }
};

TEST_F(TxTest, ZeroByteWriteEndsTheWriteAndRaisesTxEmpty) {
  ASSERT_TRUE(SetMask(h, EV_TXEMPTY));
  EXPECT_EQ(ComWrite(h, nullptr, 0), 0u);
  EXPECT_EQ(port.Args(Slot::Transmit), std::vector<uint64_t>{0xFFFFFFFFull});
  DWORD mask = 0;
  EXPECT_TRUE(WaitMask(h, &mask));
  EXPECT_EQ(mask, EV_TXEMPTY);
}

TEST_F(TxTest, SynchronousPortTakesEverything) {
  EXPECT_EQ(Write("hello, world"), 12u);
  EXPECT_EQ(Sent(), "hello, world");
  EXPECT_EQ(Status(h).ComStat.cbOutQue, 0u);
  EXPECT_EQ(ComWrite(h, nullptr, 5), kFailed);
  EXPECT_EQ(GetLastError(), 87u);
}

TEST_F(TxTest, SlowPortTakesTheWriteOverSeveralPumpRuns) {
  port.txMode = TxMode::Slow;
  port.txPerCall = 7;
  std::string data;
  for (int i = 0; i < 100; ++i) data.push_back(static_cast<char>(i));
  EXPECT_EQ(Write(data), 100u);
  EXPECT_EQ(Sent(), data);
  std::vector<uint64_t> offers = port.Args(Slot::Transmit);
  ASSERT_GE(offers.size(), 16u);
  EXPECT_EQ(offers[0], 100u) << "the pump offers all that is left";
  EXPECT_EQ(offers[1], 93u);
  EXPECT_EQ(offers.back(), 0xFFFFFFFFull) << "the last run tells the port nothing is left";
}

TEST_F(TxTest, WriteTimeoutIsMultiplierTimesLengthPlusConstant) {
  port.txMode = TxMode::Hold;
  SetTimeouts(h, 0, 0, 0, 2, 100);
  auto start = Clock::now();
  EXPECT_EQ(Write(std::string(50, 'x')), 0u);
  long ms = MsSince(start);
  EXPECT_GE(ms, 195);
  EXPECT_LT(ms, 5000);
  // A port that takes part of the write and is done: the part is the result.
  port.txMode = TxMode::Sync;
  port.txPerCall = 5;
  EXPECT_EQ(Write(std::string(50, 'y')), 5u);
}

TEST_F(TxTest, WriteWithoutTimeoutsWaitsForThePort) {
  port.txMode = TxMode::Hold;
  auto writer = std::async(std::launch::async, [&] { return Write("abcdef"); });
  // The abort ends only a write in progress: purge once the port has been offered the bytes.
  ASSERT_TRUE(port.WaitForCount(Slot::Transmit, 1, 10000));
  EXPECT_EQ(writer.wait_for(std::chrono::milliseconds(150)), std::future_status::timeout);
  ASSERT_TRUE(Purge(h, PURGE_TXABORT));
  if (writer.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "the abort did not end the write";
    EXPECT_TRUE(ComClose(h));  // which ends it, so that the test fails rather than hangs
    h = nullptr;
  }
  EXPECT_EQ(writer.get(), 0u);
}

TEST_F(TxTest, PortClaimingMoreThanOfferedCannotOverstateTheWrite) {
  port.txClaimExtra = 1000;
  EXPECT_EQ(Write("abc"), 3u);
}

// A write held by XOFF is offered nothing and waits: until its total time-out with nothing
// written, or without time-outs until XON lifts the hold, and then goes on with everything.
TEST_F(TxTest, XoffHeldWriteOffersNothingAndWaitsForTheHold) {
  DCB dcb = GetDcb(h);
  dcb.fOutX = 1;
  ASSERT_TRUE(SetDcb(h, dcb));
  port.Feed(std::string("\x13", 1));
  for (int i = 0; i < 2000 && Status(h).ComStat.fXoffHold == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(Status(h).ComStat.fXoffHold, 1u);

  SetTimeouts(h, 0, 0, 0, 0, 150);
  auto start = Clock::now();
  EXPECT_EQ(Write("held"), 0u);
  EXPECT_GE(MsSince(start), 140) << "the held write ended before its time-out";
  EXPECT_EQ(Sent(), "");

  SetTimeouts(h, 0, 0, 0, 0, 0);
  std::future<DWORD> write = std::async(std::launch::async, [&] { return Write("free"); });
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
  EXPECT_EQ(Sent(), "");
  port.Feed(std::string("\x11", 1));
  ASSERT_EQ(write.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(write.get(), 4u);
  EXPECT_EQ(Sent(), "free");
}

// RTS rises before the transmit and falls after it, whether the write completed or timed out.
TEST_F(TxTest, RtsToggleAroundACompletedAndATimedOutWrite) {
  struct Row {
    TxMode mode;
    DWORD writeConstant, written;
  };
  SetRtsControl(RTS_CONTROL_TOGGLE);
  for (const Row& row : {Row{TxMode::Sync, 0, 3}, Row{TxMode::Hold, 60, 0}}) {
    port.txMode = row.mode;
    SetTimeouts(h, 0, 0, 0, 0, row.writeConstant);
    port.ClearCalls();
    EXPECT_EQ(Write("abc"), row.written);
    EXPECT_EQ(RtsTrace(), "RTr") << row.written;
    EXPECT_FALSE(port.Rts());
  }
}

TEST_F(TxTest, RtsToggleAroundAnAbortedWriteAndOutQueueDuringIt) {
  SetRtsControl(RTS_CONTROL_TOGGLE);
  port.txMode = TxMode::Hold;
  port.ClearCalls();
  EXPECT_EQ(Status(h).ComStat.cbOutQue, 0u);
  auto writer = std::async(std::launch::async, [&] { return Write(std::string(1000, 'q')); });
  ASSERT_TRUE(port.WaitForCount(Slot::Transmit, 1, 2000));
  EXPECT_TRUE(port.Rts());
  EXPECT_EQ(Status(h).ComStat.cbOutQue, 1000u) << "the whole write, not what is left";
  ASSERT_TRUE(Purge(h, PURGE_TXABORT));
  EXPECT_EQ(writer.get(), 0u);
  EXPECT_EQ(Status(h).ComStat.cbOutQue, 0u);
  EXPECT_EQ(RtsTrace(), "RTr");
  EXPECT_FALSE(port.Rts());
  // WriteAborted does not outlive the aborted write.
  port.txMode = TxMode::Sync;
  EXPECT_EQ(Write("next"), 4u);
}

TEST_F(TxTest, TxEmptyFollowsEveryWriteEvenATimedOutOne) {
  port.txMode = TxMode::Hold;
  SetTimeouts(h, 0, 0, 0, 0, 30);
  ASSERT_TRUE(SetMask(h, EV_TXEMPTY | EV_RXCHAR));
  EXPECT_EQ(Write("zz"), 0u);
  DWORD mask = 0;
  EXPECT_TRUE(WaitMask(h, &mask));
  EXPECT_EQ(mask, EV_TXEMPTY);
}

}  // namespace
