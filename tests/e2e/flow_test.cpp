// Writes under flow control and faults, through the application API: a write that CTS holds ends
// on an abort, a close or a removal and never blocks the port's other calls; a write that ends
// early reports the bytes that left; lost input is reported; a refused DCB changes nothing.
#include <gtest/gtest.h>

#ifdef __linux__
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#endif

#include <atomic>
#include <ctime>
#include <functional>
#include <future>
#include <thread>

#include "sim/bridge_model/pty_line.h"
#include "tests/e2e/rig.h"

namespace {

using rig::Clock;

// A call that has not returned after this long is taken to be blocked.
constexpr auto kBlocked = std::chrono::milliseconds(300);
// Upper bound for calls that must not wait for a held write (generous: loaded machines, TSan).
constexpr long long kPromptMs = 2000;

template <typename F>
auto Async(F call) {
  return std::async(std::launch::async, call);
}

class FlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig::InstallDriver();
    live = rig::LiveBlocks();
  }
  void TearDown() override {
    for (HANDLE& h : handles)
      if (h != INVALID_HANDLE_VALUE) ceapp::CloseHandle(h);
    for (rig::Bridge& b : bridges) {
      rig::Unplug(b);
      EXPECT_TRUE(rig::WaitRemoved(b, 10000));
    }
    sim::SetRemovalOrder(sim::RemovalOrder::FailTransfersFirst);
    EXPECT_EQ(rig::LiveBlocks(), live);
  }

  HANDLE OpenPort(const WCHAR* name) {
    handles.push_back(rig::Open(name));
    EXPECT_NE(handles.back(), INVALID_HANDLE_VALUE);
    return handles.back();
  }

  // One bridge with nothing on the line and CTS off; COM1 sends only while CTS is on, with no
  // write time-outs.
  HANDLE PlugHeld() {
    rig::BridgeOptions options;
    options.wiring = rig::Wiring::None;
    bridges.push_back(rig::Plug(options));
    EXPECT_TRUE(bridges.back().attached);
    bridges.back().model->SetModemInputs(0, 0);
    HANDLE port = OpenPort(TEXT("COM1:"));
    rig::Flow flow;
    flow.rtsCts = true;
    EXPECT_TRUE(rig::Configure(port, CBR_115200, flow));
    COMMTIMEOUTS none{};
    EXPECT_TRUE(ceapp::SetCommTimeouts(port, &none));
    return port;
  }

  // Two bridges joined by a null-modem cable, COM1 and COM2 open; both set to `baud` with their
  // flow control when a rate is given.
  void PlugPair(DWORD baud = 0, rig::Flow com1Flow = {}, rig::Flow com2Flow = {}) {
    rig::BridgeOptions options;
    options.wiring = rig::Wiring::None;
    bridges.push_back(rig::Plug(options));
    bridges.push_back(rig::Plug(options));
    ASSERT_TRUE(bridges[0].attached && bridges[1].attached);
    rig::NullModem(bridges[0], bridges[1], true);
    OpenPort(TEXT("COM1:"));
    OpenPort(TEXT("COM2:"));
    if (baud == 0) return;
    ASSERT_TRUE(rig::Configure(handles[0], baud, com1Flow));
    ASSERT_TRUE(rig::Configure(handles[1], baud, com2Flow));
  }

  // Starts a write of `bytes` on its own thread and checks that CTS holds it.
  std::future<DWORD> HeldWrite(HANDLE port, size_t bytes) {
    data = rig::Pattern(bytes, 11);
    std::future<DWORD> write = Async([this, port] {
      DWORD written = 0xFFFFFFFFu;
      ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
      return written;
    });
    EXPECT_EQ(write.wait_for(kBlocked), std::future_status::timeout) << "CTS did not hold it";
    return write;
  }

  // Runs `call` and returns how long it took. A call still blocked after twice the bound fails
  // the test, and the bridges are unplugged so that it ends instead of hanging the suite.
  long long Timed(const std::function<void()>& call) {
    Clock::time_point start = Clock::now();
    std::future<void> done = Async(call);
    if (done.wait_for(std::chrono::milliseconds(2 * kPromptMs)) != std::future_status::ready) {
      ADD_FAILURE() << "call still blocked after " << 2 * kPromptMs << " ms";
      for (rig::Bridge& b : bridges) rig::Unplug(b);
    }
    done.get();
    return rig::MillisecondsSince(start);
  }

  // Waits up to `seconds` for `call`; on a time-out fails the test and unplugs the bridges.
  template <typename T>
  bool EndsWithin(std::future<T>& call, int seconds) {
    if (call.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) return true;
    ADD_FAILURE() << "still blocked after " << seconds << " s";
    for (rig::Bridge& b : bridges) rig::Unplug(b);
    call.wait();
    return false;
  }

  std::vector<HANDLE> handles;
  std::vector<rig::Bridge> bridges;
  std::vector<uint8_t> data;
  size_t live = 0;
};

TEST_F(FlowTest, HeldWriteLeavesTheOtherCallsFreeAndEndsOnPurge) {
  HANDLE port = PlugHeld();
  std::future<DWORD> write = HeldWrite(port, 2000);

  // Status, modem lines and line changes do not wait for the held chunk.
  DWORD errors = 0;
  COMSTAT status{};
  EXPECT_LT(Timed([&] { EXPECT_TRUE(ceapp::ClearCommError(port, &errors, &status)); }), kPromptMs);
  EXPECT_EQ(status.cbOutQue, 2000u);
  DWORD modem = 0;
  EXPECT_LT(Timed([&] { EXPECT_TRUE(ceapp::GetCommModemStatus(port, &modem)); }), kPromptMs);
  EXPECT_EQ(modem & MS_CTS_ON, 0u);
  EXPECT_LT(Timed([&] { EXPECT_TRUE(ceapp::EscapeCommFunction(port, CLRDTR)); }), kPromptMs);
  EXPECT_FALSE(bridges[0].model->State(0).dtr);
  EXPECT_LT(Timed([&] { EXPECT_TRUE(ceapp::EscapeCommFunction(port, SETDTR)); }), kPromptMs);
  EXPECT_TRUE(bridges[0].model->State(0).dtr);
  EXPECT_EQ(write.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);

  // The abort ends the write with the bytes the bridge took (its transmit FIFO, whole packets).
  Clock::time_point start = Clock::now();
  EXPECT_TRUE(ceapp::PurgeComm(port, PURGE_TXABORT));
  ASSERT_TRUE(EndsWithin(write, 5));
  const long long abortMs = rig::MillisecondsSince(start);
  EXPECT_LT(abortMs, kPromptMs);
  RecordProperty("abort_to_return_ms", static_cast<int>(abortMs));
  const DWORD written = write.get();
  EXPECT_LT(written, 2000u);
  EXPECT_EQ(written % 64, 0u);

  // The port carries data again once CTS is on.
  bridges[0].model->SetModemInputs(0, sim::BridgeModel::kCts);
  DWORD more = 0;
  EXPECT_TRUE(ceapp::WriteFile(port, data.data(), 100, &more, nullptr));
  EXPECT_EQ(more, 100u);
}

TEST_F(FlowTest, ClosingTheWritingHandleEndsTheHeldWrite) {
  HANDLE port = PlugHeld();
  std::future<DWORD> write = HeldWrite(port, 2000);
  std::future<BOOL> close = Async([&] { return ceapp::CloseHandle(port); });
  Clock::time_point start = Clock::now();
  ASSERT_TRUE(EndsWithin(close, 5));
  const long long closeMs = rig::MillisecondsSince(start);
  EXPECT_TRUE(close.get());
  handles.back() = INVALID_HANDLE_VALUE;
  ASSERT_TRUE(EndsWithin(write, 5));
  EXPECT_LT(write.get(), 2000u);
  EXPECT_LT(closeMs, kPromptMs);
  RecordProperty("close_to_return_ms", static_cast<int>(closeMs));
  // The port opens and works again.
  HANDLE again = OpenPort(TEXT("COM1:"));
  EXPECT_TRUE(rig::Configure(again, CBR_115200));
}

// Detach ends the held chunk itself, whether the host stack fails transfers before or after it
// calls the removal notification.
TEST_F(FlowTest, RemovalEndsTheHeldWriteInEitherRemovalOrder) {
  for (sim::RemovalOrder order :
       {sim::RemovalOrder::FailTransfersFirst, sim::RemovalOrder::NotifyFirst}) {
    sim::SetRemovalOrder(order);
    HANDLE port = PlugHeld();
    std::future<DWORD> write = HeldWrite(port, 2000);
    rig::Unplug(bridges.back());
    ASSERT_TRUE(EndsWithin(write, 5));
    EXPECT_LT(write.get(), 2000u);
    EXPECT_LT(Timed([&] { EXPECT_TRUE(ceapp::CloseHandle(port)); }), kPromptMs);
    handles.back() = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(rig::WaitRemoved(bridges.back(), 10000));
    bridges.pop_back();
  }
}

TEST_F(FlowTest, AWriteThatTimesOutReturnsTheBytesTheFarEndGets) {
  ASSERT_NO_FATAL_FAILURE(PlugPair(CBR_9600, {.rtsCts = true}, {.rtsCts = true}));
  HANDLE port = handles[0];
  HANDLE far = handles[1];
  // 1000 bytes need about a second at 9600 baud; the write gives up after 300 ms.
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutConstant = 300;
  ASSERT_TRUE(ceapp::SetCommTimeouts(port, &timeouts));
  std::vector<uint8_t> sent = rig::Pattern(1000, 12);
  DWORD written = 0;
  ceapp::WriteFile(port, sent.data(), 1000, &written, nullptr);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, 1000u);
  ASSERT_TRUE(rig::SetReadTimeout(far, 1500));
  std::vector<uint8_t> got = rig::ReadAll(far, 1000);
  EXPECT_EQ(got.size(), written);
  got.resize(std::min<size_t>(got.size(), written));
  EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
}

// Both directions at once with RTS/CTS while COM2's reader stalls and resumes: nothing lost,
// nothing reported lost, no hang.
TEST_F(FlowTest, BothWaysWithRtsCtsWhileOneReaderStalls) {
  PlugPair();
  rig::Flow flow;
  flow.rtsCts = true;
  for (HANDLE h : handles) {
    ASSERT_TRUE(rig::Configure(h, 3000000, flow));
    ASSERT_TRUE(rig::SetReadTimeout(h, 3000));
  }
  const size_t bytes = 768u << 10;
  std::vector<uint8_t> out[2] = {rig::Pattern(bytes, 21), rig::Pattern(bytes, 22)};
  std::future<DWORD> writers[2];
  for (int i = 0; i < 2; ++i)
    writers[i] = Async([&, i] {
      DWORD written = 0;
      ceapp::WriteFile(handles[i], out[i].data(), static_cast<DWORD>(bytes), &written, nullptr);
      return written;
    });
  std::future<std::vector<uint8_t>> reader1 =
      Async([&] { return rig::ReadAll(handles[0], bytes); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::vector<uint8_t> got2 = rig::ReadAll(handles[1], bytes);
  ASSERT_EQ(reader1.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  std::vector<uint8_t> got1 = reader1.get();
  for (auto& w : writers) {
    ASSERT_EQ(w.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    EXPECT_EQ(w.get(), bytes);
  }
  EXPECT_TRUE(got1 == out[1]) << got1.size() << " of " << bytes << " bytes arrived intact";
  EXPECT_TRUE(got2 == out[0]) << got2.size() << " of " << bytes << " bytes arrived intact";
  for (HANDLE h : handles) {
    DWORD errors = 0xFFu;
    COMSTAT status{};
    EXPECT_TRUE(ceapp::ClearCommError(h, &errors, &status));
    EXPECT_EQ(errors, 0u);
  }
  EXPECT_EQ(bridges[0].model->State(0).rxOverflow + bridges[1].model->State(0).rxOverflow, 0u);
}

// Without flow control a stalled reader loses bytes in the driver: the loss is reported once as
// CE_RXOVER and raises EV_ERR.
TEST_F(FlowTest, BytesThrownAwayAreReportedAsReceiveOverrun) {
  ASSERT_NO_FATAL_FAILURE(PlugPair(3000000));
  HANDLE port = handles[0];
  HANDLE far = handles[1];
  DWORD errors = 0xFFu;
  COMSTAT status{};
  ASSERT_TRUE(ceapp::ClearCommError(far, &errors, &status));
  EXPECT_EQ(errors, 0u);
  ASSERT_TRUE(ceapp::SetCommMask(far, EV_ERR));
  DWORD events = 0;
  std::future<BOOL> wait = Async([&] { return ceapp::WaitCommEvent(far, &events, nullptr); });

  std::vector<uint8_t> sent = rig::Pattern(256u << 10, 13);  // four times the receive buffer
  DWORD written = 0;
  EXPECT_TRUE(
      ceapp::WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), &written, nullptr));
  if (wait.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << "no EV_ERR";
    ASSERT_TRUE(ceapp::SetCommMask(far, 0));  // ends the wait
  }
  EXPECT_TRUE(wait.get());
  EXPECT_EQ(events, static_cast<DWORD>(EV_ERR));
  ASSERT_TRUE(ceapp::ClearCommError(far, &errors, &status));
  EXPECT_EQ(errors & CE_RXOVER, static_cast<DWORD>(CE_RXOVER));
  // Bytes still on the line or in the bridge's FIFO may be thrown away after that read and set
  // the flag again; once the stream has ended, a read must find it clear. A read that did not
  // clear the word would keep finding CE_RXOVER until the deadline.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (
      (bridges[0].model->State(0).txQueued != 0 || bridges[1].model->State(0).rxFifoLevel != 0) &&
      std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  do {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(ceapp::ClearCommError(far, &errors, &status));
  } while (errors != 0 && std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(errors, 0u) << "reading the error word clears it";
}

TEST_F(FlowTest, ARefusedLineSettingChangesNothing) {
  rig::BridgeOptions options;
  bridges.push_back(rig::Plug(options));
  ASSERT_TRUE(bridges[0].attached);
  HANDLE port = OpenPort(TEXT("COM1:"));
  ASSERT_TRUE(rig::Configure(port, CBR_9600));
  sim::BridgeModel& model = *bridges[0].model;

  // Formats the bridge cannot carry are refused before any request goes out.
  const std::vector<std::function<void(DCB&)>> bad = {
      [](DCB& d) { d.ByteSize = 9; }, [](DCB& d) { d.ByteSize = 4; }, [](DCB& d) { d.Parity = 5; },
      [](DCB& d) { d.StopBits = 3; }};
  for (const auto& change : bad) {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    ASSERT_TRUE(ceapp::GetCommState(port, &dcb));
    dcb.BaudRate = 300;
    change(dcb);
    model.ClearLog();
    EXPECT_FALSE(ceapp::SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(model.Log().empty()) << "a request went out for a refused DCB";
    EXPECT_EQ(model.State(0).baud, 9600u);
  }

  // A request that fails part way: the settings in force go out again.
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  ASSERT_TRUE(ceapp::GetCommState(port, &dcb));
  dcb.BaudRate = 300;
  dcb.ByteSize = 7;
  model.StallNext(0x03, 1);  // the line control request
  EXPECT_FALSE(ceapp::SetCommState(port, &dcb));
  DCB now{};
  now.DCBlength = sizeof(now);
  ASSERT_TRUE(ceapp::GetCommState(port, &now));
  EXPECT_EQ(now.BaudRate, 9600u);
  EXPECT_EQ(now.ByteSize, 8u);
  EXPECT_EQ(model.State(0).baud, 9600u);
  EXPECT_EQ(model.State(0).lineControl, 0x0800u);

  // An accepted DCB goes out as before.
  ASSERT_TRUE(ceapp::SetCommState(port, &dcb));
  EXPECT_EQ(model.State(0).baud, 300u);
  EXPECT_EQ(model.State(0).lineControl, 0x0700u);
}

// An XOFF received while output XON/XOFF was on stops holding the transmitter once the
// application switches XON/XOFF off.
TEST_F(FlowTest, SwitchingXonXoffOffReleasesAnEarlierXoff) {
  ASSERT_NO_FATAL_FAILURE(PlugPair(CBR_115200, {.xonXoff = true}));
  HANDLE port = handles[0];
  HANDLE far = handles[1];
  const BYTE xoff = 0x13;
  DWORD n = 0;
  ASSERT_TRUE(ceapp::WriteFile(far, &xoff, 1, &n, nullptr));
  for (int i = 0; i < 200 && !bridges[0].model->State(0).xoffHeld; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_TRUE(bridges[0].model->State(0).xoffHeld);

  ASSERT_TRUE(rig::Configure(port, CBR_115200));
  std::vector<uint8_t> sent = rig::Pattern(64, 14);
  ASSERT_TRUE(rig::SetReadTimeout(far, 2000));
  std::future<std::vector<uint8_t>> read = Async([&] { return rig::ReadAll(far, sent.size()); });
  ASSERT_TRUE(ceapp::WriteFile(port, sent.data(), static_cast<DWORD>(sent.size()), &n, nullptr));
  EXPECT_EQ(read.get(), sent);
}

// ---- Writes held by XOFF ------------------------------------------------------------------------
// A write that XOFF holds waits, within its time-outs, for the hold to be lifted, like a write that
// CTS holds; it never ends at once with nothing written. The peer's XOFF is held by the bridge
// itself (XON/XOFF on output goes to the bridge with the flow record); SETXOFF holds the core.

// CPU time of the calling thread, in milliseconds.
double ThreadCpuMs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return (ticks(kernel) + ticks(user)) / 1e4;  // 100 ns units
#else
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
#endif
}

struct TimedWrite {
  DWORD written = 0xFFFFFFFFu;
  long long ms = 0;
  double cpuMs = 0;
};

enum class XoffBy { Peer, Application };

class XoffHeldWrite : public FlowTest {
 protected:
  // COM1 and COM2 on a null-modem cable with XON/XOFF both ways, COM1 held by `by`.
  void PlugHeld(XoffBy by) {
    ASSERT_NO_FATAL_FAILURE(PlugPair(CBR_115200, {.xonXoff = true}, {.xonXoff = true}));
    Hold(by, true);
  }

  void Hold(XoffBy by, bool held) {
    if (by == XoffBy::Application) {
      ASSERT_TRUE(ceapp::EscapeCommFunction(handles[0], held ? SETXOFF : SETXON));
      DWORD errors = 0;
      COMSTAT status{};
      ASSERT_TRUE(ceapp::ClearCommError(handles[0], &errors, &status));
      ASSERT_EQ(status.fXoffHold != 0, held);
      return;
    }
    const BYTE byte = held ? 0x13 : 0x11;
    DWORD n = 0;
    ASSERT_TRUE(ceapp::WriteFile(handles[1], &byte, 1, &n, nullptr));
    for (int i = 0; i < 400 && bridges[0].model->State(0).xoffHeld != held; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(bridges[0].model->State(0).xoffHeld, held);
  }

  void SetWriteTimeout(DWORD totalMs) {
    COMMTIMEOUTS timeouts{};
    timeouts.WriteTotalTimeoutConstant = totalMs;
    ASSERT_TRUE(ceapp::SetCommTimeouts(handles[0], &timeouts));
  }

  std::future<TimedWrite> StartWrite(size_t bytes) {
    data = rig::Pattern(bytes, 31, true);
    return Async([this] {
      TimedWrite result;
      const Clock::time_point start = Clock::now();
      const double cpu = ThreadCpuMs();
      ceapp::WriteFile(handles[0], data.data(), static_cast<DWORD>(data.size()), &result.written,
                       nullptr);
      result.cpuMs = ThreadCpuMs() - cpu;
      result.ms = rig::MillisecondsSince(start);
      return result;
    });
  }

  // What COM2 receives within `ms`, for up to `bytes` bytes.
  std::vector<uint8_t> Received(size_t bytes, DWORD ms) {
    EXPECT_TRUE(rig::SetReadTimeout(handles[1], ms));
    return rig::ReadAll(handles[1], bytes);
  }
};

class XoffHeldWriteBy : public XoffHeldWrite, public ::testing::WithParamInterface<XoffBy> {};

// The write ends at its total time-out with the bytes that left, and costs no CPU meanwhile; the
// core's own hold hands over nothing.
TEST_P(XoffHeldWriteBy, EndsAtItsTotalTimeOut) {
  ASSERT_NO_FATAL_FAILURE(PlugHeld(GetParam()));
  ASSERT_NO_FATAL_FAILURE(SetWriteTimeout(300));
  std::future<TimedWrite> write = StartWrite(1000);
  ASSERT_TRUE(EndsWithin(write, 10));
  const TimedWrite result = write.get();
  EXPECT_GE(result.ms, 290) << "the held write ended before its time-out";
  EXPECT_LT(result.ms, 300 + kPromptMs);
  EXPECT_LT(result.written, 1000u);
  if (GetParam() == XoffBy::Application) {
    EXPECT_EQ(result.written, 0u);
  }
  EXPECT_LT(result.cpuMs, 50.0) << "the held write used the CPU while it waited";
  RecordProperty("held_write_cpu_us", static_cast<int>(result.cpuMs * 1000));
  // Once the hold is lifted, the far end gets exactly the bytes the write reported.
  ASSERT_NO_FATAL_FAILURE(Hold(GetParam(), false));
  const std::vector<uint8_t> got = Received(1000, 500);
  ASSERT_EQ(got.size(), result.written);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

// Without write time-outs the write waits until the hold is lifted, then hands over everything.
TEST_P(XoffHeldWriteBy, WithoutTimeOutsGoesOnWhenTheHoldIsLifted) {
  ASSERT_NO_FATAL_FAILURE(PlugHeld(GetParam()));
  ASSERT_NO_FATAL_FAILURE(SetWriteTimeout(0));
  std::future<TimedWrite> write = StartWrite(2000);
  ASSERT_EQ(write.wait_for(kBlocked), std::future_status::timeout) << "XOFF did not hold it";
  std::future<std::vector<uint8_t>> read = Async([&] { return Received(data.size(), 3000); });
  ASSERT_NO_FATAL_FAILURE(Hold(GetParam(), false));
  ASSERT_TRUE(EndsWithin(write, 10));
  const TimedWrite result = write.get();
  EXPECT_EQ(result.written, 2000u);
  EXPECT_LT(result.cpuMs, 100.0) << "the held write used the CPU while it waited";
  EXPECT_EQ(read.get(), data);
}

INSTANTIATE_TEST_SUITE_P(Each, XoffHeldWriteBy,
                         ::testing::Values(XoffBy::Peer, XoffBy::Application),
                         [](const auto& info) {
                           return std::string(info.param == XoffBy::Peer ? "Peer" : "Application");
                         });

// The ways of lifting the core's hold other than SETXON, and the ways of ending the write.
enum class XoffEnd { XonXoffSwitchedOff, PurgeTxAbort, CloseHandle, Removal };

class XoffHeldWriteEnds : public XoffHeldWrite, public ::testing::WithParamInterface<XoffEnd> {};

TEST_P(XoffHeldWriteEnds, PromptlyWithTheBytesHandedOver) {
  ASSERT_NO_FATAL_FAILURE(PlugHeld(XoffBy::Application));
  ASSERT_NO_FATAL_FAILURE(SetWriteTimeout(0));
  std::future<TimedWrite> write = StartWrite(500);
  ASSERT_EQ(write.wait_for(kBlocked), std::future_status::timeout) << "SETXOFF did not hold it";

  const XoffEnd end = GetParam();
  Clock::time_point start = Clock::now();
  switch (end) {
    case XoffEnd::XonXoffSwitchedOff:
      EXPECT_TRUE(rig::Configure(handles[0], CBR_115200));
      break;
    case XoffEnd::PurgeTxAbort:
      EXPECT_TRUE(ceapp::PurgeComm(handles[0], PURGE_TXABORT));
      break;
    case XoffEnd::CloseHandle:
      EXPECT_TRUE(ceapp::CloseHandle(handles[0]));
      handles[0] = INVALID_HANDLE_VALUE;
      break;
    case XoffEnd::Removal:
      rig::Unplug(bridges[0]);
      break;
  }
  ASSERT_TRUE(EndsWithin(write, 10));
  const TimedWrite result = write.get();
  EXPECT_LT(rig::MillisecondsSince(start), kPromptMs);
  if (end == XoffEnd::XonXoffSwitchedOff) {
    EXPECT_EQ(result.written, 500u);
    EXPECT_EQ(Received(data.size(), 3000), data);
  } else {
    EXPECT_EQ(result.written, 0u);
  }
}

std::string XoffEndName(const ::testing::TestParamInfo<XoffEnd>& info) {
  static const char* const names[] = {"XonXoffSwitchedOff", "PurgeTxAbort", "CloseHandle",
                                      "Removal"};
  return names[static_cast<int>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Each, XoffHeldWriteEnds,
                         ::testing::Values(XoffEnd::XonXoffSwitchedOff, XoffEnd::PurgeTxAbort,
                                           XoffEnd::CloseHandle, XoffEnd::Removal),
                         XoffEndName);

}  // namespace

#ifdef __linux__
// A terminal nobody has open is a cable pulled out at the far end: its RTS and DTR read as off, so
// under RTS/CTS the bridge holds its output, the application sees CTS and DSR fall and rise again,
// and every byte arrives once a program opens the terminal again.
TEST_F(FlowTest, AClosedTerminalHoldsRtsCtsOutputAndNothingIsLost) {
  rig::BridgeOptions options;
  options.wiring = rig::Wiring::None;
  bridges.push_back(rig::Plug(options));
  ASSERT_TRUE(bridges[0].attached);
  std::string path, error;
  std::shared_ptr<sim::ExternalLine> line = sim::OpenPtyLine(&path, &error);
  ASSERT_TRUE(line) << error;
  bridges[0].model->ConnectExternal(0, std::move(line));
  HANDLE port = OpenPort(TEXT("COM1:"));
  rig::Flow flow;
  flow.rtsCts = true;
  ASSERT_TRUE(rig::Configure(port, CBR_115200, flow));
  auto modem = [&] {
    DWORD status = 0;
    EXPECT_TRUE(ceapp::GetCommModemStatus(port, &status));
    return status & (MS_CTS_ON | MS_DSR_ON);
  };
  auto waitModem = [&](DWORD want) {
    for (int i = 0; i < 500 && modem() != want; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return modem() == want;
  };
  EXPECT_TRUE(waitModem(0)) << "no program has the terminal open yet";
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(waitModem(MS_CTS_ON | MS_DSR_ON));

  ASSERT_TRUE(ceapp::SetCommMask(port, EV_CTS | EV_DSR));
  std::atomic<bool> stop{false};
  std::atomic<DWORD> seen{0};
  std::atomic<int> waits{0};
  std::future<void> events = Async([&] {
    DWORD mask = 0;
    while (!stop && ceapp::WaitCommEvent(port, &mask, nullptr)) {
      seen |= mask;
      if (mask) ++waits;
    }
  });
  // 20000 bytes take 1.74 s at 115200 8N1; the terminal closes for 200 ms after 3000 of them. The
  // application writes 1 KiB at a time with a 50 ms write time-out, as tvk's own applications do:
  // the modem poll that turns line changes into events waits for a write in progress.
  COMMTIMEOUTS timeouts{};
  timeouts.WriteTotalTimeoutConstant = 50;
  ASSERT_TRUE(ceapp::SetCommTimeouts(port, &timeouts));
  const std::vector<uint8_t> sent = rig::Pattern(20000, 21);
  std::future<DWORD> writer = Async([&] {
    DWORD done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (done < sent.size() && Clock::now() < deadline) {
      DWORD written = 0;
      const DWORD piece = std::min<DWORD>(1024, static_cast<DWORD>(sent.size()) - done);
      if (!ceapp::WriteFile(port, sent.data() + done, piece, &written, nullptr)) break;
      done += written;
    }
    return done;
  });
  std::vector<uint8_t> got;
  auto readUntil = [&](size_t count, int seconds) {
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    uint8_t buffer[4096];
    while (got.size() < count && Clock::now() < deadline) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = read(fd, buffer, std::min(sizeof buffer, count - got.size()));
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
  };
  readUntil(3000, 20);
  ASSERT_EQ(got.size(), 3000u);
  close(fd);
  const Clock::time_point closed = Clock::now();
  EXPECT_TRUE(waitModem(0)) << "CTS and DSR stay on after the close";
  EXPECT_EQ(bridges[0].model->State(0).holdReasons & 0x01, 0x01u) << "the bridge goes on sending";
  std::this_thread::sleep_for(std::chrono::milliseconds(200) - (Clock::now() - closed));
  fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  readUntil(sent.size(), 30);
  close(fd);
  ASSERT_TRUE(EndsWithin(writer, 30));
  EXPECT_EQ(writer.get(), sent.size());
  EXPECT_EQ(got, sent) << got.size() << " of " << sent.size() << " bytes";
  EXPECT_EQ(bridges[0].model->State(0).txLostFarEndAbsent, 0u);
  // The lines fell at the close and rose at the open: two changes each, in separate waits.
  EXPECT_EQ(seen & (EV_CTS | EV_DSR), static_cast<DWORD>(EV_CTS | EV_DSR));
  EXPECT_GE(waits, 2);
  stop = true;
  ASSERT_TRUE(ceapp::SetCommMask(port, 0));  // ends the wait
  ASSERT_TRUE(EndsWithin(events, 10));
  bridges[0].model->Disconnect(0);  // removes the terminal
}
#endif
