// Transfers and the receive thread on a modelled bridge the driver attached to: bytes written with
// bulk OUT chunks come back over a loopback plug at the line rate and reach the ring intact; the
// model's faults (failed bulk IN, hung bulk OUT, stalled and failed requests, removal) give the
// results the driver relies on. The port stays closed, so the test drains the ring itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "sim/usb/sim_usb.h"
#include "tests/bridge/bridge_rig.h"
#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace {

using bridgetest::Bridge;
using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class BridgeTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(b->Attached());
    port = b->Port();
    usb = port->device->usb;
    // The receive thread keeps one bulk IN outstanding; wait until it has issued it.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (sim::LiveTransfers() != 1 && Clock::now() < deadline) Sleep(2);
    ASSERT_EQ(sim::LiveTransfers(), 1u);
  }
  void TearDown() override {
    b.reset();
    EXPECT_EQ(sim::LiveTransfers(), 0u);
  }

  DWORD SetBaud(DWORD baud) {
    BYTE data[4] = {static_cast<BYTE>(baud), static_cast<BYTE>(baud >> 8),
                    static_cast<BYTE>(baud >> 16), static_cast<BYTE>(baud >> 24)};
    USB_DEVICE_REQUEST setup{ReqTypeOutInterface, ReqBaudRate, 0, 0, 4};
    DWORD bytes = 0, usbError = 0;
    return VendorTransferWait(usb, port->device->hostDevice, nullptr, nullptr, USB_VENDOR_REQUEST,
                              &setup, data, 0, &bytes, 0, &usbError);
  }
  DWORD BulkOut(const BYTE* data, DWORD length, DWORD timeout, DWORD* bytes,
                DWORD* usbError = nullptr) {
    DWORD error = 0;
    return BulkTransferWait(usb, port->outPipe, TransferCompleted, port->outDone, 0,
                            const_cast<BYTE*>(data), 0, length, bytes, timeout,
                            usbError != nullptr ? usbError : &error);
  }
  void Enable() {
    ASSERT_EQ(bridgetest::UnderDeviceLock(port->device, [&] { return BridgeEnable(port); }), 0u);
  }
  std::vector<bridgetest::BridgeLogEntry> BulkOutLog() const {
    std::vector<bridgetest::BridgeLogEntry> out;
    for (auto& e : b->model->Log()) {
      if (e.kind == bridgetest::BridgeLogEntry::Kind::BulkOut) out.push_back(e);
    }
    return out;
  }
  // Only the receive thread's bulk IN is outstanding: every transfer the test made was closed.
  static void ExpectOnlyTheReceiveTransfer() { EXPECT_EQ(sim::LiveTransfers(), 1u); }
  // Drains the ring until `want` bytes were taken or the time is up.
  std::vector<BYTE> Drain(size_t want, DWORD ms) {
    std::vector<BYTE> got;
    std::vector<BYTE> chunk(4096);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && Clock::now() < deadline) {
      WaitForSingleObject(b->Com()->wakeEvent, 50);
      DWORD n = 0;
      do {
        n = static_cast<DWORD>(chunk.size());
        BridgePortOps.Receive(port, chunk.data(), &n);
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
      } while (n != 0);
    }
    return got;
  }

  static sim::BridgeConfig Config() {
    sim::BridgeConfig config;
    config.rxFifoSize = 32768;  // room for a ring's worth waiting in the bridge
    return config;
  }
  std::unique_ptr<Bridge> b = std::make_unique<Bridge>(Config());
  BridgePort* port = nullptr;
  LPCUSB_FUNCS usb = nullptr;
};

TEST_F(BridgeTransfers, LoopbackStreamAtLineRateArrivesInTheRingIntact) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  ASSERT_EQ(SetBaud(230400), 0u);
  b->model->Loopback(0);

  std::vector<BYTE> sent(30000);
  std::mt19937 rng(3);
  for (auto& c : sent) c = static_cast<BYTE>(rng());
  std::vector<DWORD> results;
  std::thread writer([&] {
    for (size_t at = 0; at < sent.size(); at += 4096) {
      const DWORD n = static_cast<DWORD>(std::min<size_t>(4096, sent.size() - at));
      DWORD bytes = 0;
      results.push_back(BulkOut(sent.data() + at, n, 20000, &bytes));
      results.push_back(bytes == n ? 0 : 1);
    }
  });
  const auto start = Clock::now();
  const std::vector<BYTE> received = Drain(sent.size(), 60000);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  writer.join();
  for (DWORD r : results) EXPECT_EQ(r, 0u);
  ASSERT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  // 30000 bytes of 10 bits at 230400 baud take 1.3 s on the line.
  EXPECT_GE(ms, 1200);
}

TEST_F(BridgeTransfers, StoresDataMarksRxAndWakesTheCore) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  EnterCriticalSection(&port->eventLock);
  port->pending = PendingModem;  // assigned, not or-ed: the whole word becomes Rx
  LeaveCriticalSection(&port->eventLock);
  size_t issued = b->model->Log().size();
  std::vector<BYTE> data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i + 1);
  ASSERT_EQ(b->model->InjectRx(0, data), data.size());
  ASSERT_EQ(WaitForSingleObject(b->Com()->wakeEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(BridgePortOps.QueryEvents(port), static_cast<DWORD>(PendingRx));
  std::vector<BYTE> out(1024);
  DWORD n = 1024;
  BridgePortOps.Receive(port, out.data(), &n);
  ASSERT_EQ(n, 300u);
  out.resize(300);
  EXPECT_EQ(out, data);
  // The next transfer is outstanding at once.
  EXPECT_TRUE(b->model->WaitForLog(
      [&](const bridgetest::BridgeLogEntry& e) {
        return e.kind == bridgetest::BridgeLogEntry::Kind::BulkIn &&
               e.usbError == USB_NOT_COMPLETE_ERROR && e.length == ReceiveTransferSize &&
               e.endpoint == 0x81 && e.flags == (USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK);
      },
      5000));
  EXPECT_GT(b->model->Log().size(), issued);
}

// A nearly full ring holds the next bulk IN back instead of dropping what it would bring: the
// bytes wait in the bridge's FIFO until a drain makes room for a whole transfer.
TEST_F(BridgeTransfers, NearlyFullRingHoldsTheNextTransferUntilThereIsRoom) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  auto ringCount = [&] {
    EnterCriticalSection(&port->ringLock);
    DWORD count = RingCount(port->ring);
    LeaveCriticalSection(&port->ringLock);
    return count;
  };
  std::vector<BYTE> old(16380);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<BYTE>(i);
  ASSERT_EQ(b->model->InjectRx(0, old), old.size());
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (ringCount() < old.size() && Clock::now() < deadline) Sleep(2);
  ASSERT_EQ(ringCount(), 16380u);

  const std::vector<BYTE> fresh(1024, 100);
  ASSERT_EQ(b->model->InjectRx(0, fresh), fresh.size());
  Sleep(300);
  EXPECT_EQ(ringCount(), 16380u);
  EXPECT_EQ(b->model->State(0).rxFifoLevel, 1024u);

  // Taking 2000 bytes makes room: the held transfer brings the waiting bytes behind the old ones.
  std::vector<BYTE> out(2000);
  DWORD n = 2000;
  BridgePortOps.Receive(port, out.data(), &n);
  ASSERT_EQ(n, 2000u);
  std::vector<BYTE> rest = Drain(14380 + 1024, 10000);
  out.insert(out.end(), rest.begin(), rest.end());
  std::vector<BYTE> all = old;
  all.insert(all.end(), fresh.begin(), fresh.end());
  EXPECT_TRUE(out == all);
  EXPECT_EQ(b->model->State(0).rxFifoLevel, 0u);
}

TEST_F(BridgeTransfers, FailedBulkInTransfersAreReissuedAndLaterDataArrives) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  b->model->FailNextBulkIn(0, 3);  // the bridge serves data only after three failed transfers
  std::vector<BYTE> data(500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i);
  ASSERT_EQ(b->model->InjectRx(0, data), data.size());
  EXPECT_EQ(Drain(data.size(), 10000), data);
}

TEST_F(BridgeTransfers, HungBulkOutTimesOutThenTheNextChunkGoes) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  b->model->SetPaced(false);
  b->model->HangNextBulkOut(0, 1);
  std::vector<BYTE> data(64, 0x3C);
  DWORD bytes = 0xFFFF;
  // A completion that came after an earlier time-out leaves the manual-reset event set; the
  // transfer must not take it for its own.
  SetEvent(port->outDone);
  const auto start = Clock::now();
  EXPECT_EQ(BulkOut(data.data(), 64, 150, &bytes), 1460u);
  EXPECT_GE(MsSince(start), 145);
  EXPECT_EQ(GetLastError(), 1460u);
  EXPECT_EQ(bytes, 0u);
  ExpectOnlyTheReceiveTransfer();
  b->model->TakeSent(0);

  std::vector<BYTE> next(32, 0x7E);
  EXPECT_EQ(BulkOut(next.data(), 32, 5000, &bytes), 0u);
  EXPECT_EQ(bytes, 32u);
  EXPECT_EQ(b->model->WaitSent(0, 32, 5000), next);
}

// A bulk OUT is complete once the bridge has taken all of it: of 100 bytes at 9600 baud, the last
// 36 wait until as many of the first packet's have left the 64-byte transmit FIFO. The event the
// caller gives is set before the issue (as a late completion would leave it) and must not end the
// wait early.
TEST_F(BridgeTransfers, BulkOutWaitsForItsOwnCompletionAndIsClosed) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  ASSERT_EQ(SetBaud(9600), 0u);
  b->model->ClearLog();
  const std::vector<BYTE> data = bridgetest::Pattern(100);
  DWORD bytes = 0xFFFF, usbError = 0xFFFF;
  SetEvent(port->outDone);
  const auto start = Clock::now();
  EXPECT_EQ(BulkOut(data.data(), 100, 5000, &bytes, &usbError), 0u);
  EXPECT_GE(MsSince(start), 30);
  EXPECT_EQ(bytes, 100u);
  EXPECT_EQ(usbError, 0u);
  EXPECT_EQ(WaitForSingleObject(port->outDone, 0), WAIT_OBJECT_0);  // the completion routine's
  const auto outs = BulkOutLog();
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(outs[0].endpoint, 0x01);
  EXPECT_EQ(outs[0].flags, static_cast<DWORD>(USB_OUT_TRANSFER));
  EXPECT_EQ(outs[0].length, 100u);
  EXPECT_EQ(outs[0].data, data);
  ExpectOnlyTheReceiveTransfer();
}

// A bulk OUT that outlasts its time-out is closed and returns 1460 with the bytes the bridge had
// taken: at 300 baud the first 64-byte packet fills the FIFO and the rest waits seconds for room.
TEST_F(BridgeTransfers, TimedOutBulkOutReturns1460WithThePartialCount) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  ASSERT_EQ(SetBaud(300), 0u);
  const std::vector<BYTE> data = bridgetest::Pattern(100);
  DWORD bytes = 0xFFFF;
  SetLastError(0);
  const auto start = Clock::now();
  EXPECT_EQ(BulkOut(data.data(), 100, 120, &bytes), 1460u);
  const auto elapsed = MsSince(start);
  EXPECT_GE(elapsed, 115);
  EXPECT_LT(elapsed, 5000);
  EXPECT_EQ(GetLastError(), 1460u);
  EXPECT_EQ(bytes, 64u);
  ExpectOnlyTheReceiveTransfer();
}

TEST_F(BridgeTransfers, SequentialChunksEachComplete) {
  ASSERT_NO_FATAL_FAILURE(Enable());
  b->model->SetPaced(false);
  std::vector<BYTE> all;
  for (DWORD i = 0; i < 20; ++i) {
    const std::vector<BYTE> chunk(10 + i, static_cast<BYTE>(i));
    DWORD bytes = 0;
    ASSERT_EQ(BulkOut(chunk.data(), 10 + i, 5000, &bytes), 0u) << i;
    ASSERT_EQ(bytes, 10 + i);
    all.insert(all.end(), chunk.begin(), chunk.end());
  }
  EXPECT_EQ(b->model->WaitSent(0, all.size(), 5000), all);
  ExpectOnlyTheReceiveTransfer();
}

// A request without a completion routine is complete when the issue returns: it is not waited on
// (the event given is never set, a wait on it would last the whole time-out), and its status and
// answer are read at once.
TEST_F(BridgeTransfers, VendorRequestWithoutRoutineIsNotWaitedOn) {
  b->model->ClearLog();
  USB_DEVICE_REQUEST setup{ReqTypeInDevice, ReqVendor, VendorPartNumber, 0, 1};
  BYTE answer = 0;
  DWORD bytes = 0, usbError = 0xFFFF;
  const auto start = Clock::now();
  EXPECT_EQ(VendorTransferWait(usb, port->device->hostDevice, nullptr, port->outDone,
                               USB_IN_TRANSFER | USB_VENDOR_REQUEST, &setup, &answer, 0, &bytes,
                               10000, &usbError),
            0u);
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(bytes, 1u);
  EXPECT_EQ(usbError, 0u);
  EXPECT_EQ(answer, b->model->Config().partNumber);
  const auto log = b->Requests();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].flags, 0x1080u);
  EXPECT_EQ(log[0].setup.bmRequestType, ReqTypeInDevice);
  EXPECT_EQ(log[0].setup.bRequest, ReqVendor);
  EXPECT_EQ(log[0].setup.wValue, VendorPartNumber);
  ExpectOnlyTheReceiveTransfer();
}

TEST_F(BridgeTransfers, StalledOrFailedRequestsAreGeneralFailures) {
  b->model->StallNext(ReqBaudRate, 1);
  EXPECT_EQ(SetBaud(115200), 31u);
  EXPECT_EQ(GetLastError(), 31u);
  b->model->FailNext(ReqBaudRate, 1);
  EXPECT_EQ(SetBaud(115200), 31u);
  EXPECT_EQ(SetBaud(115200), 0u);
  EXPECT_EQ(b->model->State(0).baud, 115200u);
  ExpectOnlyTheReceiveTransfer();
}

// With the port open the records outlive the removal until the close: the receive thread has
// ended by then, released by the detach.
TEST_F(BridgeTransfers, RemovalUnderTheThreadThenDetachEndsIt) {
  ComHandle* h = bridgetest::OpenData(b->Com());
  ASSERT_NE(h, nullptr);
  b->model->InjectRx(0, std::vector<BYTE>(100, 0x11));
  ASSERT_TRUE(bridgetest::SetTimeouts(h, {0, 0, 5000, 0, 0}));
  EXPECT_EQ(bridgetest::ReadAll(h, 100).size(), 100u);
  EXPECT_EQ(WaitForSingleObject(port->receiveThread, 0), (DWORD)WAIT_TIMEOUT);
  b->Unplug();
  EXPECT_EQ(WaitForSingleObject(port->receiveThread, 5000), WAIT_OBJECT_0);
  EXPECT_TRUE(ComClose(h));
}

// Refusals come from the host stack itself: its last error is the result and is set again.
TEST_F(BridgeTransfers, RefusedIssueReturnsTheHostStacksError) {
  std::vector<BYTE> data(10);
  DWORD bytes = 0, usbError = 0;
  // The IN pipe with OUT flags.
  EXPECT_EQ(BulkTransferWait(usb, port->inPipe, TransferCompleted, port->outDone, 0, data.data(), 0,
                             10, &bytes, 1000, &usbError),
            87u);
  SetLastError(0);
  EXPECT_EQ(BulkTransferWait(usb, reinterpret_cast<USB_PIPE>(0x7777), TransferCompleted,
                             port->outDone, 0, data.data(), 0, 10, &bytes, 1000, &usbError),
            6u);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(sim::LiveTransfers(), 1u);  // only the receive thread's bulk IN
}

}  // namespace
