// The receive thread against a scripted host stack, for what the host stack alone can cause:
// the start-up gate, zero-byte, failed, refused and implausible transfers, the detach release of
// a pending transfer, and the thread's buffer. Data on a modelled bridge: usb_bridge_model_test.
#include <gtest/gtest.h>

#include <chrono>
#include <numeric>
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
  // The finished transfer is closed after the wake, before the next issue.
  ASSERT_TRUE(host.WaitIssued(5, 5000));
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
