// Synchronous bulk and vendor transfers against a scripted host stack, for the answers the
// simulated host stack and the bridge model do not give (see fake_usb.h) and the checks made
// before anything is issued. Transfers on a modelled bridge: usb_bridge_model_test.
#include "usb/transfer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "tests/usb/fake_usb.h"

namespace {

using fakeusb::FakeHost;
using fakeusb::Step;
using Clock = std::chrono::steady_clock;

USB_PIPE const kPipe = reinterpret_cast<USB_PIPE>(0x1234);
USB_HANDLE const kDevice = reinterpret_cast<USB_HANDLE>(0x5678);

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class Transfers : public ::testing::Test {
 protected:
  void SetUp() override {
    outDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(outDone, nullptr);
  }
  void TearDown() override { CloseHandle(outDone); }

  DWORD Bulk(DWORD timeout, DWORD length = 64) {
    data.assign(length, 0x42);
    return BulkTransferWait(host.Funcs(), kPipe, TransferCompleted, outDone, 0, data.data(), 0,
                            length, &bytes, timeout, &usbError);
  }

  FakeHost host;
  HANDLE outDone = nullptr;
  std::vector<BYTE> data;
  DWORD bytes = 0xFFFF;
  DWORD usbError = 0xFFFF;
};

// ---- Completion routine and helpers ------------------------------------------------------------

TEST(TransferCompleted, SetsItsEventAndRefusesNone) {
  HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  EXPECT_EQ(TransferCompleted(e), 0u);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  SetLastError(0);
  EXPECT_EQ(TransferCompleted(nullptr), 6u);
  EXPECT_EQ(GetLastError(), 6u);
  SetEvent(e);
  EXPECT_EQ(ResetTransferEvent(e), 1u);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  CloseHandle(e);
}

// ---- Bulk transfers -----------------------------------------------------------------------------

TEST_F(Transfers, UsbErrorWithAllBytesIsAFailure) {
  host.Queue(Step{.usbError = USB_STALL_ERROR});
  SetLastError(0);
  EXPECT_EQ(Bulk(1000, 64), 31u);
  EXPECT_EQ(GetLastError(), 31u);
  EXPECT_EQ(bytes, 64u);
  EXPECT_EQ(usbError, USB_STALL_ERROR);
  EXPECT_EQ(host.Closed(), 1);
}

TEST_F(Transfers, UnreadableStatusIsAFailure) {
  host.Queue(Step{.statusReadable = false});
  EXPECT_EQ(Bulk(1000), 31u);
  EXPECT_EQ(usbError, 0x101u);
  EXPECT_EQ(host.Closed(), 1);
}

// A refusal that leaves no last error must not pass for a success.
TEST_F(Transfers, RefusalWithoutLastErrorIsAGeneralFailure) {
  host.Queue(Step{.kind = Step::Refuse, .lastError = 0});
  EXPECT_EQ(Bulk(1000), 31u);
  EXPECT_EQ(GetLastError(), 31u);
}

TEST_F(Transfers, MissingArgumentsAre87AndIssueNothing) {
  DWORD b = 0, e = 0;
  BYTE buf[4] = {};
  LPCUSB_FUNCS usb = host.Funcs();
  auto expect87 = [&](DWORD result) {
    EXPECT_EQ(result, 87u);
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
  };
  expect87(BulkTransferWait(nullptr, kPipe, TransferCompleted, outDone, 0, buf, 0, 4, &b, 100, &e));
  expect87(BulkTransferWait(usb, nullptr, TransferCompleted, outDone, 0, buf, 0, 4, &b, 100, &e));
  expect87(
      BulkTransferWait(usb, kPipe, TransferCompleted, outDone, 0, buf, 0, 4, nullptr, 100, &e));
  expect87(
      BulkTransferWait(usb, kPipe, TransferCompleted, outDone, 0, buf, 0, 4, &b, 100, nullptr));
  expect87(BulkTransferWait(usb, kPipe, TransferCompleted, outDone, 0, nullptr, 0, 4, &b, 100, &e));
  USB_DEVICE_REQUEST setup{0xC0, 0x10, 0, 0, 4};
  expect87(
      VendorTransferWait(nullptr, kDevice, nullptr, nullptr, 0x1080, &setup, buf, 0, &b, 0, &e));
  expect87(VendorTransferWait(usb, nullptr, nullptr, nullptr, 0x1080, &setup, buf, 0, &b, 0, &e));
  expect87(VendorTransferWait(usb, kDevice, nullptr, nullptr, 0x1080, nullptr, buf, 0, &b, 0, &e));
  expect87(
      VendorTransferWait(usb, kDevice, nullptr, nullptr, 0x1080, &setup, buf, 0, nullptr, 0, &e));
  expect87(
      VendorTransferWait(usb, kDevice, nullptr, nullptr, 0x1080, &setup, buf, 0, &b, 0, nullptr));
  // A data stage with no buffer to take it.
  expect87(
      VendorTransferWait(usb, kDevice, nullptr, nullptr, 0x1080, &setup, nullptr, 0, &b, 0, &e));
  EXPECT_TRUE(host.Issues().empty());
}

// Decision: with a routine and an event, a zero time-out cannot wait for the completion, and a
// routine without an event leaves nothing to wait on; both are refused before the bus.
TEST_F(Transfers, AsynchronousTransferWithoutAWayToWaitIsRefused) {
  EXPECT_EQ(Bulk(0), 87u);
  DWORD b = 0, e = 0;
  BYTE buf[4] = {};
  EXPECT_EQ(
      BulkTransferWait(host.Funcs(), kPipe, TransferCompleted, nullptr, 0, buf, 0, 4, &b, 100, &e),
      87u);
  USB_DEVICE_REQUEST setup{0x40, 0x00, 1, 0, 0};
  EXPECT_EQ(VendorTransferWait(host.Funcs(), kDevice, TransferCompleted, outDone, 0x1000, &setup,
                               nullptr, 0, &b, 0, &e),
            87u);
  EXPECT_TRUE(host.Issues().empty());
}

// ---- Vendor transfers ---------------------------------------------------------------------------

TEST_F(Transfers, VendorWithRoutineWaitsAndTimesOut) {
  host.Queue(Step{.kind = Step::Pend});
  USB_DEVICE_REQUEST setup{0x41, 0x00, 1, 0, 0};
  const auto start = Clock::now();
  EXPECT_EQ(VendorTransferWait(host.Funcs(), kDevice, TransferCompleted, outDone, 0x1000, &setup,
                               nullptr, 0, &bytes, 60, &usbError),
            1460u);
  EXPECT_GE(MsSince(start), 55);
  EXPECT_EQ(host.Closed(), 1);
}

// ---- Bulk IN of the receive thread --------------------------------------------------------------

TEST(IssueBulkIn, UsesThePortsInPipeAndEventWithShortTransfersAllowed) {
  FakeHost host;
  BridgeDevice device{};
  device.signature = BridgeSignature;
  device.usb = host.Funcs();
  BridgePort port{};
  port.signature = BridgeSignature;
  port.device = &device;
  port.inPipe = kPipe;
  port.inDone = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  BYTE buffer[1024];

  SetLastError(0);
  EXPECT_EQ(IssueBulkIn(&port, nullptr, 1024), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  SetLastError(0);
  EXPECT_EQ(IssueBulkIn(&port, buffer, 0), nullptr);
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_TRUE(host.Issues().empty());

  host.Queue(Step{.data = {1, 2, 3}});
  USB_TRANSFER t = IssueBulkIn(&port, buffer, 1024);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(WaitForSingleObject(port.inDone, 5000), WAIT_OBJECT_0);
  DWORD bytes = 0, err = 0;
  EXPECT_TRUE(ReadTransferStatus(host.Funcs(), t, &bytes, &err));
  EXPECT_EQ(bytes, 3u);
  EXPECT_TRUE(CloseTransferHandle(host.Funcs(), t));
  const auto issues = host.Issues();
  ASSERT_EQ(issues.size(), 1u);
  EXPECT_EQ(issues[0].pipe, kPipe);
  EXPECT_EQ(issues[0].parameter, port.inDone);
  EXPECT_EQ(issues[0].flags, 0x280u);
  EXPECT_EQ(issues[0].length, 1024u);
  CloseHandle(port.inDone);
}

}  // namespace
