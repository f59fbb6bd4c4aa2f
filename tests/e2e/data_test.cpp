// Data through the whole stack: an application writes and reads COM1: over a modelled bridge.
#include <gtest/gtest.h>

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
    port = rig::Open(u"COM1:");
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
  EXPECT_EQ(back, data);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 10000);
}

TEST_F(LoopbackTest, OneMebibytePacedAtAHighRateArrivesIntact) {
  PlugAndOpen(true);
  // At 115200 baud a mebibyte needs 91 s on the line; 3 Mbaud keeps the pacing and the test short.
  ASSERT_TRUE(rig::Configure(port, 3000000));
  std::vector<uint8_t> data = rig::Pattern(1u << 20, 2);
  EXPECT_EQ(Echo(data), data);
}

TEST_F(LoopbackTest, UnpacedBulkArrivesIntact) {
  PlugAndOpen(false);
  std::vector<uint8_t> data = rig::Pattern(kUnpacedBytes, 3);
  EXPECT_EQ(Echo(data), data);
}

TEST_F(LoopbackTest, ModemLineChangesBecomeCommEvents) {
  PlugAndOpen(true);
  // The loopback plug ties RTS to CTS and DTR to DSR and DCD.
  ASSERT_TRUE(ceapp::SetCommMask(port, EV_CTS | EV_DSR | EV_RLSD));
  DWORD status = 0;
  ASSERT_TRUE(ceapp::GetCommModemStatus(port, &status));
  EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

  std::future<DWORD> wait = std::async(std::launch::async, [&] {
    DWORD events = 0;
    EXPECT_TRUE(ceapp::WaitCommEvent(port, &events, nullptr));
    return events;
  });
  ASSERT_TRUE(ceapp::EscapeCommFunction(port, CLRRTS));
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(wait.get() & EV_CTS, static_cast<DWORD>(EV_CTS));

  wait = std::async(std::launch::async, [&] {
    DWORD events = 0;
    EXPECT_TRUE(ceapp::WaitCommEvent(port, &events, nullptr));
    return events;
  });
  ASSERT_TRUE(ceapp::EscapeCommFunction(port, CLRDTR));
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_NE(wait.get() & (EV_DSR | EV_RLSD), 0u);
  ASSERT_TRUE(ceapp::GetCommModemStatus(port, &status));
  EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON), 0u);
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
    port = rig::Open(u"COM1:");
    receiver = rig::Open(u"COM2:");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_NE(receiver, INVALID_HANDLE_VALUE);
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
  PlugPair(false);
  rig::Flow flow;
  flow.rtsCts = true;
  ASSERT_TRUE(rig::Configure(port, CBR_115200, flow));
  ASSERT_TRUE(rig::Configure(receiver, CBR_115200, flow));
  std::vector<uint8_t> data = rig::Pattern(kFlowBytes, 4);
  DWORD written = 0;
  std::vector<uint8_t> got = SendWithStalledReceiver(data, &written);
  EXPECT_EQ(written, data.size());
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

TEST_F(NullModemTest, WithoutFlowControlAStalledReceiverLosesBytes) {
  PlugPair(false);
  ASSERT_TRUE(rig::Configure(port, CBR_115200));
  ASSERT_TRUE(rig::Configure(receiver, CBR_115200));
  std::vector<uint8_t> data = rig::Pattern(kFlowBytes, 5);
  DWORD written = 0;
  std::vector<uint8_t> got = SendWithStalledReceiver(data, &written);
  EXPECT_EQ(written, data.size());
  EXPECT_LT(got.size(), data.size());
}

TEST_F(NullModemTest, XonXoffHoldsAndReleasesTheSender) {
  PlugPair(false);
  rig::Flow flow;
  flow.xonXoff = true;
  ASSERT_TRUE(rig::Configure(port, CBR_115200, flow));
  ASSERT_TRUE(rig::Configure(receiver, CBR_115200, flow));
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
  EXPECT_EQ(got.size(), data.size());
  EXPECT_TRUE(got == data);
}

}  // namespace
