// Data through the whole stack: an application writes and reads COM1: over a modelled bridge.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <thread>

#include "tests/e2e/rig.h"

namespace {

using rig::Clock;

#ifdef TV_TSAN
// ThreadSanitizer slows the byte path down several times; the sizes keep the run in seconds.
const size_t kUnpacedBytes = 2u << 20;
const size_t kFlowBytes = 512u << 10;
#else
const size_t kUnpacedBytes = 16u << 20;
const size_t kFlowBytes = 2u << 20;
#endif
// Flow control is tested on a paced line, fast enough that 2 MiB take seconds: the reaction time
// of a handshake is then a few bytes, as on a real cable.
const DWORD kFlowBaud = 3000000;

// Compares received with sent bytes by size, checksum and first difference (not byte dumps).
void ExpectSame(const std::vector<uint8_t>& got, const std::vector<uint8_t>& sent) {
  uint64_t sumGot = 0, sumSent = 0;
  for (uint8_t b : got) sumGot = sumGot * 131 + b;
  for (uint8_t b : sent) sumSent = sumSent * 131 + b;
  EXPECT_EQ(got.size(), sent.size());
  EXPECT_EQ(sumGot, sumSent) << "checksums differ";
  size_t n = std::min(got.size(), sent.size());
  for (size_t i = 0; i < n; ++i) {
    if (got[i] != sent[i]) {
      ADD_FAILURE() << "first difference at byte " << i;
      break;
    }
  }
}

class LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig::InstallDriver();
    live = rig::LiveBlocks();
  }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) ceapp::CloseHandle(port);
    for (rig::Bridge& b : bridges) {
      rig::Unplug(b);
      EXPECT_TRUE(rig::WaitRemoved(b, 10000));
    }
    bridges.clear();
    EXPECT_EQ(rig::LiveBlocks(), live);
  }

  HANDLE PlugAndOpen(bool paced) {
    rig::BridgeOptions options;
    options.paced = paced;
    bridges.push_back(rig::Plug(options));
    EXPECT_TRUE(bridges.back().attached);
    port = rig::Open(TEXT("COM1:"));
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(rig::Configure(port, CBR_115200));
    return port;
  }

  // Writes data on one thread while this one reads it back; returns what came back.
  std::vector<uint8_t> Echo(const std::vector<uint8_t>& data) {
    EXPECT_TRUE(rig::SetReadTimeout(port, 3000));
    std::future<DWORD> writer = std::async(std::launch::async, [&] {
      DWORD written = 0;
      EXPECT_TRUE(
          ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
      return written;
    });
    std::vector<uint8_t> back = rig::ReadAll(port, data.size());
    EXPECT_EQ(writer.get(), data.size());
    return back;
  }

  HANDLE port = INVALID_HANDLE_VALUE;
  std::vector<rig::Bridge> bridges;
  size_t live = 0;
};

TEST_F(LoopbackTest, PacedTransferTakesTheLineTimeAndArrivesIntact) {
  PlugAndOpen(true);
  // 11520 bytes at 115200 8N1 (10 bits a byte) need one second on the line.
  std::vector<uint8_t> data = rig::Pattern(11520, 1);
  Clock::time_point start = Clock::now();
  std::vector<uint8_t> back = Echo(data);
  long long took = rig::MillisecondsSince(start);
  ExpectSame(back, data);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 10000);
}

TEST_F(LoopbackTest, OneMebibytePacedAtAHighRateArrivesIntact) {
  PlugAndOpen(true);
  // At 115200 baud a mebibyte needs 91 s on the line; 3 Mbaud keeps the pacing and the test short.
  // Hardware handshake through the plug (RTS to CTS) keeps the bridge's receive FIFO from
  // overflowing while the host drains it.
  rig::Flow flow;
  flow.rtsCts = true;
  ASSERT_TRUE(rig::Configure(port, 3000000, flow));
  std::vector<uint8_t> data = rig::Pattern(1u << 20, 2);
  ExpectSame(Echo(data), data);
}

TEST_F(LoopbackTest, UnpacedBulkArrivesIntact) {
  PlugAndOpen(false);
  rig::Flow flow;
  flow.rtsCts = true;
  ASSERT_TRUE(rig::Configure(port, CBR_115200, flow));
  std::vector<uint8_t> data = rig::Pattern(kUnpacedBytes, 3);
  ExpectSame(Echo(data), data);
  // Under hardware flow control nothing was thrown away, by the driver or by the bridge.
  DWORD errors = 0;
  COMSTAT status{};
  EXPECT_TRUE(ceapp::ClearCommError(port, &errors, &status));
  EXPECT_EQ(errors, 0u);
  EXPECT_EQ(bridges[0].model->State(0).rxOverflow, 0u);
}

// Waits for one comm event on the port; on a time-out the port is closed so that the wait ends.
DWORD NextEvent(HANDLE& port, std::function<void()> cause) {
  DWORD events = 0;
  std::future<BOOL> wait =
      std::async(std::launch::async, [&] { return ceapp::WaitCommEvent(port, &events, nullptr); });
  cause();
  // The 80 ms poll finds the change; the margin is for a busy machine.
  if (wait.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "no comm event";
    ceapp::CloseHandle(port);
    port = INVALID_HANDLE_VALUE;
  }
  wait.get();
  return events;
}

TEST_F(LoopbackTest, ModemLineChangesBecomeCommEvents) {
  PlugAndOpen(true);
  // The lines come up with the settings applied after the open; let the poll sample them twice
  // before watching for changes, so that their rise does not land in the first wait.
  const size_t reads = bridges[0].model->CountRequests(0x08);
  for (int i = 0; i < 100 && bridges[0].model->CountRequests(0x08) < reads + 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // The loopback plug ties RTS to CTS and DTR to DSR and DCD.
  ASSERT_TRUE(ceapp::SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD));
  DWORD status = 0;
  ASSERT_TRUE(ceapp::GetCommModemStatus(port, &status));
  EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  DWORD events = NextEvent(port, [&] { EXPECT_TRUE(ceapp::EscapeCommFunction(port, CLRRTS)); });
  sim::BridgePortState line = bridges[0].model->State(0);
  EXPECT_EQ(events & EV_CTS, static_cast<DWORD>(EV_CTS))
      << "rts " << line.rts << " cts " << line.cts << " modem status reads "
      << bridges[0].model->CountRequests(0x08);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  events = NextEvent(port, [&] { EXPECT_TRUE(ceapp::EscapeCommFunction(port, CLRDTR)); });
  EXPECT_NE(events & (EV_DSR | EV_RLSD), 0u);
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ceapp::GetCommModemStatus(port, &status));
  EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), 0u);
}

// A read that waits for its whole length and is aborted with PURGE_RXABORT after some bytes
// arrived fails with 995 and leaves those bytes queued: the next read returns exactly them.
TEST_F(LoopbackTest, AnAbortedReadLeavesWhatArrivedForTheNextRead) {
  PlugAndOpen(true);
  COMMTIMEOUTS none{};  // no time-outs: a read waits for its full length
  ASSERT_TRUE(ceapp::SetCommTimeouts(port, &none));
  struct Outcome {
    BOOL ok;
    DWORD bytes, error;
  };
  std::future<Outcome> reader = std::async(std::launch::async, [&] {
    uint8_t buffer[100];
    Outcome o{FALSE, 0xFFFFFFFFu, 0};
    o.ok = ceapp::ReadFile(port, buffer, sizeof buffer, &o.bytes, nullptr);
    o.error = o.ok ? 0 : GetLastError();
    return o;
  });
  // Ends the read on every way out of the test, so that a failed assertion fails the test instead
  // of leaving the future's destructor waiting for a read without time-outs.
  struct AbortReadOnExit {
    HANDLE port;
    ~AbortReadOnExit() { ceapp::PurgeComm(port, PURGE_RXABORT); }
  } abortOnExit{port};
  // The read must be waiting before the bytes arrive: one that starts with bytes queued takes them.
  // Nothing shows that it waits, so it gets a head start.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const std::vector<uint8_t> sent = rig::Pattern(10, 5);
  DWORD written = 0;
  ASSERT_TRUE(
      ceapp::WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
  ASSERT_EQ(written, sent.size());
  COMSTAT status{};
  DWORD errors = 0;
  for (int i = 0; i < 500 && status.cbInQue < sent.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(ceapp::ClearCommError(port, &errors, &status));
  }
  ASSERT_EQ(status.cbInQue, sent.size());
  ASSERT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
      << "the read ended with fewer bytes than it waits for";
  ASSERT_TRUE(ceapp::PurgeComm(port, PURGE_RXABORT));
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const Outcome aborted = reader.get();
  EXPECT_FALSE(aborted.ok);
  EXPECT_EQ(aborted.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));

  COMMTIMEOUTS quick{};
  quick.ReadIntervalTimeout = MAXDWORD;  // what is there, at once
  quick.ReadTotalTimeoutConstant = 2000;
  ASSERT_TRUE(ceapp::SetCommTimeouts(port, &quick));
  std::vector<uint8_t> next(100);
  DWORD n = 0;
  ASSERT_TRUE(ceapp::ReadFile(port, next.data(), static_cast<DWORD>(next.size()), &n, nullptr));
  next.resize(n);
  EXPECT_EQ(next, sent);
}

class NullModemTest : public LoopbackTest {
 protected:
  void PlugPair(bool paced) {
    rig::BridgeOptions options;
    options.wiring = rig::Wiring::None;
    options.paced = paced;
    bridges.push_back(rig::Plug(options));
    bridges.push_back(rig::Plug(options));
    ASSERT_TRUE(bridges[0].attached && bridges[1].attached);
    rig::NullModem(bridges[0], bridges[1], paced);
    port = rig::Open(TEXT("COM1:"));
    receiver = rig::Open(TEXT("COM2:"));
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(receiver, INVALID_HANDLE_VALUE);
  }
  // A paced pair at the flow tests' rate, both ends with the same flow control.
  void PlugFlowPair(rig::Flow flow = {}) {
    ASSERT_NO_FATAL_FAILURE(PlugPair(true));
    ASSERT_TRUE(rig::Configure(port, kFlowBaud, flow));
    ASSERT_TRUE(rig::Configure(receiver, kFlowBaud, flow));
  }
  void TearDown() override {
    if (receiver != INVALID_HANDLE_VALUE) ceapp::CloseHandle(receiver);
    LoopbackTest::TearDown();
  }

  // The sender writes everything while the receiver does not read for two seconds, then reads.
  std::vector<uint8_t> SendWithStalledReceiver(const std::vector<uint8_t>& data,
                                               DWORD* writtenOut) {
    EXPECT_TRUE(rig::SetReadTimeout(receiver, 2000));
    std::future<DWORD> writer = std::async(std::launch::async, [&] {
      DWORD written = 0;
      ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
      return written;
    });
    std::this_thread::sleep_for(std::chrono::seconds(2));
    std::vector<uint8_t> got = rig::ReadAll(receiver, data.size());
    EXPECT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    *writtenOut = writer.get();
    return got;
  }

  HANDLE receiver = INVALID_HANDLE_VALUE;
};

TEST_F(NullModemTest, RtsCtsHandshakeLosesNothingWhileTheReceiverStalls) {
  ASSERT_NO_FATAL_FAILURE(PlugFlowPair({.rtsCts = true}));
  std::vector<uint8_t> data = rig::Pattern(kFlowBytes, 4);
  DWORD written = 0;
  std::vector<uint8_t> got = SendWithStalledReceiver(data, &written);
  EXPECT_EQ(written, data.size());
  ExpectSame(got, data);
}

TEST_F(NullModemTest, WithoutFlowControlAStalledReceiverLosesBytes) {
  ASSERT_NO_FATAL_FAILURE(PlugFlowPair());
  std::vector<uint8_t> data = rig::Pattern(kFlowBytes, 5);
  DWORD written = 0;
  std::vector<uint8_t> got = SendWithStalledReceiver(data, &written);
  EXPECT_EQ(written, data.size());
  EXPECT_LT(got.size(), data.size());
}

TEST_F(NullModemTest, XonXoffHoldsAndReleasesTheSender) {
  ASSERT_NO_FATAL_FAILURE(PlugFlowPair({.xonXoff = true}));
  std::vector<uint8_t> data = rig::Pattern(kFlowBytes, 6, true);
  ASSERT_TRUE(rig::SetReadTimeout(receiver, 2000));
  std::future<DWORD> writer = std::async(std::launch::async, [&] {
    DWORD written = 0;
    ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    return written;
  });
  // Held: the receiver does not read, so its XOFF stops the sender before the data is through.
  EXPECT_EQ(writer.wait_for(std::chrono::seconds(2)), std::future_status::timeout);
  std::vector<uint8_t> got = rig::ReadAll(receiver, data.size());
  ASSERT_EQ(writer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  EXPECT_EQ(writer.get(), data.size());
  ExpectSame(got, data);
  sim::BridgePortState far = bridges[1].model->State(0);
  EXPECT_EQ(far.rxOverflow, 0u) << "bytes lost in the receiving bridge's FIFO";
}

}  // namespace
