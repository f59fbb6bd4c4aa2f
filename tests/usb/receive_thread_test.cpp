// The receive thread against a scripted host stack: start-up gate, ring hand-over, pending and
// wake, zero-byte and failed transfers, detach release, and a long stream drained concurrently.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
#include <random>
#include <vector>

#include "sim/os/sim_os.h"
#include "tests/usb/fake_usb.h"
#include "tests/usb/port_fixture.h"

namespace {

using fakeusb::FakeHost;
using fakeusb::Step;
using usbtest::PortFixture;
using Clock = std::chrono::steady_clock;

USB_PIPE const kIn = reinterpret_cast<USB_PIPE>(0x81);
USB_PIPE const kOut = reinterpret_cast<USB_PIPE>(0x01);
USB_HANDLE const kDevice = reinterpret_cast<USB_HANDLE>(0x5678);

std::vector<BYTE> Bytes(size_t n, BYTE start) {
  std::vector<BYTE> v(n);
  std::iota(v.begin(), v.end(), start);
  return v;
}

class ReceiveThread : public ::testing::Test {
 protected:
  ReceiveThread() : f(host.Funcs(), kDevice, kIn, kOut) {}
  void SetUp() override { ASSERT_TRUE(f.Ready()); }
  void Start() {
    ASSERT_TRUE(f.StartThread());
    f.ReleaseAttach();
  }
  FakeHost host;  // outlives the fixture's thread
  PortFixture f;
};

TEST_F(ReceiveThread, IssuesNothingBeforeAttachDone) {
  ASSERT_TRUE(f.StartThread());
  EXPECT_FALSE(host.WaitIssued(1, 150));
  f.ReleaseAttach();
  ASSERT_TRUE(host.WaitIssued(1, 5000));
  const auto issue = host.Issues()[0];
  EXPECT_EQ(issue.pipe, kIn);
  EXPECT_EQ(issue.flags, 0x280u);
  EXPECT_EQ(issue.length, 1024u);
  EXPECT_EQ(issue.parameter, f.port->inDone);
}

TEST_F(ReceiveThread, StoresDataMarksRxAndWakesTheCore) {
  f.SetPendingLocked(PendingModem);  // assigned, not or-ed: the whole word becomes Rx
  host.Queue(Step{.data = Bytes(300, 1)});
  Start();
  ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(f.PendingLocked(), static_cast<DWORD>(PendingRx));
  std::vector<BYTE> out(1024);
  ASSERT_EQ(f.RingGetLocked(out.data(), 1024), 300u);
  out.resize(300);
  EXPECT_EQ(out, Bytes(300, 1));
  // The next transfer is outstanding at once.
  EXPECT_TRUE(host.WaitIssued(2, 5000));
}

// A nearly full ring holds the next bulk IN back instead of dropping what it would bring: the
// bytes wait in the bridge until a drain makes room for a whole transfer.
TEST_F(ReceiveThread, NearlyFullRingHoldsTheNextTransferUntilThereIsRoom) {
  const auto old = Bytes(16380, 0);
  ASSERT_EQ(f.RingPutLocked(old.data(), 16380), 16380u);
  host.Queue(Step{.data = Bytes(1024, 100)});
  Start();
  EXPECT_FALSE(host.WaitIssued(1, 300));
  EXPECT_EQ(f.RingCountLocked(), 16380u);

  std::vector<BYTE> out(16384 + 1024);
  ASSERT_EQ(f.RingGetLocked(out.data(), 2000), 2000u);
  ASSERT_TRUE(host.WaitIssued(1, 5000));
  ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(f.PendingLocked(), static_cast<DWORD>(PendingRx));
  ASSERT_EQ(f.RingCountLocked(), 14380u + 1024u);
  ASSERT_EQ(f.RingGetLocked(out.data() + 2000, 14380 + 1024), 14380u + 1024u);
  EXPECT_TRUE(std::equal(old.begin(), old.end(), out.begin()));
  const auto fresh = Bytes(1024, 100);
  EXPECT_TRUE(std::equal(fresh.begin(), fresh.end(), out.begin() + 16380));
}

TEST_F(ReceiveThread, ZeroByteCompletionsChangeNothingAndReissue) {
  host.Queue(Step{});
  host.Queue(Step{.usbError = USB_DEVICE_NOT_RESPONDING_ERROR});  // error with no bytes
  host.Queue(Step{});
  Start();
  ASSERT_TRUE(host.WaitIssued(4, 5000));
  EXPECT_EQ(f.RingCountLocked(), 0u);
  EXPECT_EQ(f.PendingLocked(), 0u);
  EXPECT_EQ(WaitForSingleObject(f.com->wakeEvent, 0), WAIT_TIMEOUT);
  EXPECT_EQ(host.Closed(), 3);
}

TEST_F(ReceiveThread, BytesDeliveredWithAnErrorAreKept) {
  host.Queue(Step{.data = Bytes(10, 50), .usbError = USB_DATA_UNDERRUN_ERROR});
  Start();
  ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(f.RingCountLocked(), 10u);
}

TEST_F(ReceiveThread, RefusedIssueIsRetriedAfterAPause) {
  for (int i = 0; i < 3; ++i) host.Queue(Step{.kind = Step::Refuse, .lastError = 1167});
  host.Queue(Step{.data = Bytes(5, 9)});
  const auto start = Clock::now();
  Start();
  ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 28);  // three 10 ms pauses
  EXPECT_EQ(f.RingCountLocked(), 5u);
  EXPECT_EQ(host.Closed(), 1);
}

// Counts from the host stack are not trusted beyond the buffer, nor when the status is unreadable.
TEST_F(ReceiveThread, ImplausibleCountsStoreNoMoreThanTheBuffer) {
  host.Queue(Step{.statusReadable = false});
  host.Queue(Step{.data = Bytes(1024, 3), .bytes = 5000});
  Start();
  ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(f.RingCountLocked(), 1024u);
}

TEST_F(ReceiveThread, DetachEndsTheThreadAfterItsCurrentPass) {
  host.Queue(Step{.kind = Step::Pend, .partialBytes = 6});
  Start();
  ASSERT_TRUE(host.WaitIssued(1, 5000));
  EXPECT_FALSE(f.WaitThreadEnd(50));
  f.Detach();
  ASSERT_TRUE(f.WaitThreadEnd(5000));
  // The outstanding transfer's status was read, it was closed and its bytes were kept.
  EXPECT_EQ(host.StatusReads(), 1);
  EXPECT_EQ(host.Closed(), 1);
  EXPECT_EQ(host.Outstanding(), 0);
  EXPECT_EQ(host.Issues().size(), 1u);
  EXPECT_EQ(f.RingCountLocked(), 6u);
  EXPECT_EQ(f.PendingLocked(), static_cast<DWORD>(PendingRx));
}

TEST_F(ReceiveThread, WithoutBoundComDeviceDataIsStillParked) {
  f.UnbindComDevice();
  host.Queue(Step{.data = Bytes(20, 0)});
  Start();
  ASSERT_TRUE(host.WaitIssued(2, 5000));
  EXPECT_EQ(f.RingCountLocked(), 20u);
  EXPECT_EQ(f.PendingLocked(), static_cast<DWORD>(PendingRx));
  EXPECT_EQ(WaitForSingleObject(f.com->wakeEvent, 0), WAIT_TIMEOUT);
}

// The consumer drains the ring under ringLock while completions keep arriving; nothing is lost,
// duplicated or reordered as long as the ring never overflows.
TEST_F(ReceiveThread, LongStreamArrivesIntactWhileDrained) {
  std::mt19937 rng(7);
  std::vector<BYTE> sent;
  Start();
  std::vector<BYTE> received;
  std::vector<BYTE> chunk(4096);
  BYTE next = 0;
  for (int i = 0; i < 400; ++i) {
    const size_t n = rng() % 1025;
    std::vector<BYTE> data(n);
    for (auto& b : data) b = next++;
    sent.insert(sent.end(), data.begin(), data.end());
    host.Queue(Step{.data = std::move(data)});
    // Keep the ring far from full: drain after every few completions.
    if (i % 4 == 3) {
      ASSERT_TRUE(host.WaitIssued(static_cast<size_t>(i) + 2, 5000));
      DWORD got;
      while ((got = f.RingGetLocked(chunk.data(), 4096)) != 0) {
        received.insert(received.end(), chunk.begin(), chunk.begin() + got);
      }
    }
  }
  ASSERT_TRUE(host.WaitIssued(401, 5000));
  DWORD got;
  while ((got = f.RingGetLocked(chunk.data(), 4096)) != 0) {
    received.insert(received.end(), chunk.begin(), chunk.begin() + got);
  }
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
}

// The thread's receive buffer is its only allocation and goes when it ends.
TEST(ReceiveThreadHeap, BufferIsReleasedWhenTheThreadEnds) {
  const size_t before = sim::HeapLiveBlocks();
  {
    FakeHost host;
    PortFixture f(host.Funcs(), kDevice, kIn, kOut);
    ASSERT_TRUE(f.Ready());
    const size_t built = sim::HeapLiveBlocks();
    host.Queue(Step{.data = Bytes(64, 0)});
    ASSERT_TRUE(f.StartThread());
    f.ReleaseAttach();
    ASSERT_EQ(WaitForSingleObject(f.com->wakeEvent, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(sim::HeapLiveBlocks(), built + 1);
    f.Detach();
    ASSERT_TRUE(f.WaitThreadEnd(5000));
    EXPECT_EQ(sim::HeapLiveBlocks(), built);
  }
  EXPECT_EQ(sim::HeapLiveBlocks(), before);
}

// Without its buffer the thread cannot receive; it ends at once instead of issuing anything.
TEST(ReceiveThreadHeap, FailedBufferAllocationEndsTheThread) {
  FakeHost host;
  PortFixture f(host.Funcs(), kDevice, kIn, kOut);
  ASSERT_TRUE(f.Ready());
  f.ReleaseAttach();
  sim::HeapFailAllocation(1);
  ASSERT_TRUE(f.StartThread());
  EXPECT_TRUE(f.WaitThreadEnd(5000));
  sim::HeapFailAllocation(0);
  EXPECT_TRUE(host.Issues().empty());
}

}  // namespace
