// Transfers and the receive thread against the bridge model on the simulated bus: bytes written
// with bulk OUT chunks come back over a loopback plug at the line rate and reach the ring intact;
// the model's faults (failed bulk IN, hung bulk OUT, stalled and failed requests, removal) give
// the results the driver relies on.
#include "sim/bridge_model/bridge_model.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "sim/usb/sim_usb.h"
#include "tests/usb/port_fixture.h"
#include "usb/transfer.h"

namespace {

using Clock = std::chrono::steady_clock;
using usbtest::PortFixture;

constexpr BYTE kReqInterfaceEnable = 0x00;
constexpr BYTE kReqBaudRate = 0x1E;
constexpr BYTE kTypeOutInterface = 0x41;

class BridgeTransfers : public ::testing::Test {
 protected:
  void SetUp() override {
    model = sim::BridgeModel::Create();
    id = model->Plug();
    ASSERT_NE(id, 0u);
    handle = sim::DeviceHandle(id);
    ASSERT_NE(handle, nullptr);
    usb = sim::UsbFuncs();
    LPCUSB_DEVICE info = usb->lpGetDeviceInfo(handle);
    ASSERT_NE(info, nullptr);
    const USB_INTERFACE& iface = info->lpActiveConfig->lpInterfaces[0];
    LPCUSB_ENDPOINT_DESCRIPTOR in = nullptr;
    LPCUSB_ENDPOINT_DESCRIPTOR out = nullptr;
    for (DWORD e = 0; e < iface.Descriptor.bNumEndpoints; ++e) {
      const USB_ENDPOINT_DESCRIPTOR& d = iface.lpEndpoints[e].Descriptor;
      if ((d.bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) continue;
      if ((d.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0 && in == nullptr) in = &d;
      if ((d.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0 && out == nullptr) out = &d;
    }
    ASSERT_NE(in, nullptr);
    ASSERT_NE(out, nullptr);
    fixture = std::make_unique<PortFixture>(usb, handle, in, out);
    ASSERT_TRUE(fixture->Ready());
  }
  void TearDown() override {
    fixture.reset();
    if (sim::IsPlugged(id)) {
      model->Unplug();
      EXPECT_TRUE(sim::WaitRemoved(id, 5000));
    }
    EXPECT_EQ(sim::LiveTransfers(), 0u);
  }

  DWORD Request(BYTE request, WORD value, std::vector<BYTE> data = {}) {
    USB_DEVICE_REQUEST setup{kTypeOutInterface, request, value, 0,
                             static_cast<USHORT>(data.size())};
    DWORD bytes = 0, usbError = 0;
    return VendorTransferWait(usb, handle, nullptr, nullptr, USB_VENDOR_REQUEST, &setup,
                              data.empty() ? nullptr : data.data(), 0, &bytes, 0, &usbError);
  }
  DWORD Enable() { return Request(kReqInterfaceEnable, 0xFFFF); }
  DWORD SetBaud(DWORD baud) {
    return Request(kReqBaudRate, 0,
                   {static_cast<BYTE>(baud), static_cast<BYTE>(baud >> 8),
                    static_cast<BYTE>(baud >> 16), static_cast<BYTE>(baud >> 24)});
  }
  DWORD BulkOut(const BYTE* data, DWORD length, DWORD timeout, DWORD* bytes) {
    DWORD usbError = 0;
    return BulkTransferWait(usb, fixture->port->outPipe, TransferCompleted, fixture->port->outDone,
                            0, const_cast<BYTE*>(data), 0, length, bytes, timeout, &usbError);
  }
  void StartReceiving() {
    ASSERT_TRUE(fixture->StartThread());
    fixture->ReleaseAttach();
  }
  // Drains the ring until `want` bytes were taken or the time is up.
  std::vector<BYTE> Drain(size_t want, DWORD ms) {
    std::vector<BYTE> got;
    std::vector<BYTE> chunk(4096);
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < want && Clock::now() < deadline) {
      WaitForSingleObject(fixture->com->wakeEvent, 50);
      DWORD n;
      while ((n = fixture->RingGetLocked(chunk.data(), 4096)) != 0) {
        got.insert(got.end(), chunk.begin(), chunk.begin() + n);
      }
    }
    return got;
  }

  std::shared_ptr<sim::BridgeModel> model;
  sim::UsbDeviceId id = 0;
  USB_HANDLE handle = nullptr;
  LPCUSB_FUNCS usb = nullptr;
  std::unique_ptr<PortFixture> fixture;
};

TEST_F(BridgeTransfers, LoopbackStreamAtLineRateArrivesInTheRingIntact) {
  ASSERT_EQ(Enable(), 0u);
  ASSERT_EQ(SetBaud(230400), 0u);
  model->Loopback(0);
  StartReceiving();

  std::vector<BYTE> sent(30000);
  std::mt19937 rng(3);
  for (auto& b : sent) b = static_cast<BYTE>(rng());
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

TEST_F(BridgeTransfers, FailedBulkInTransfersAreReissuedAndLaterDataArrives) {
  ASSERT_EQ(Enable(), 0u);
  model->FailNextBulkIn(0, 3);
  StartReceiving();
  std::vector<BYTE> data(500);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i);
  ASSERT_EQ(model->InjectRx(0, data), data.size());
  EXPECT_EQ(Drain(data.size(), 10000), data);
}

TEST_F(BridgeTransfers, HungBulkOutTimesOutThenTheNextChunkGoes) {
  ASSERT_EQ(Enable(), 0u);
  model->SetPaced(false);
  model->HangNextBulkOut(0, 1);
  std::vector<BYTE> data(64, 0x3C);
  DWORD bytes = 0xFFFF;
  const auto start = Clock::now();
  EXPECT_EQ(BulkOut(data.data(), 64, 150, &bytes), 1460u);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(),
            145);
  EXPECT_EQ(GetLastError(), 1460u);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
  model->TakeSent(0);

  std::vector<BYTE> next(32, 0x7E);
  EXPECT_EQ(BulkOut(next.data(), 32, 5000, &bytes), 0u);
  EXPECT_EQ(bytes, 32u);
  EXPECT_EQ(model->WaitSent(0, 32, 5000), next);
}

TEST_F(BridgeTransfers, StalledOrFailedRequestsAreGeneralFailures) {
  model->StallNext(kReqBaudRate, 1);
  EXPECT_EQ(SetBaud(115200), 31u);
  EXPECT_EQ(GetLastError(), 31u);
  model->FailNext(kReqBaudRate, 1);
  EXPECT_EQ(SetBaud(115200), 31u);
  EXPECT_EQ(SetBaud(115200), 0u);
  EXPECT_EQ(model->State(0).baud, 115200u);
}

TEST_F(BridgeTransfers, RemovalUnderTheThreadThenDetachEndsIt) {
  ASSERT_EQ(Enable(), 0u);
  StartReceiving();
  std::vector<BYTE> data(100, 0x11);
  model->InjectRx(0, data);
  EXPECT_EQ(Drain(100, 10000).size(), 100u);
  ASSERT_TRUE(model->Unplug());
  ASSERT_TRUE(sim::WaitRemoved(id, 5000));
  // Issues are now refused and retried; the thread keeps going until the detach release.
  EXPECT_FALSE(fixture->WaitThreadEnd(50));
  fixture->Detach();
  ASSERT_TRUE(fixture->WaitThreadEnd(5000));
}

// Refusals come from the host stack itself: its last error is the result and is set again.
TEST_F(BridgeTransfers, RefusedIssueReturnsTheHostStacksError) {
  std::vector<BYTE> data(10);
  DWORD bytes = 0, usbError = 0;
  // The IN pipe with OUT flags.
  EXPECT_EQ(BulkTransferWait(usb, fixture->port->inPipe, TransferCompleted, fixture->port->outDone,
                             0, data.data(), 0, 10, &bytes, 1000, &usbError),
            87u);
  SetLastError(0);
  EXPECT_EQ(
      BulkTransferWait(usb, reinterpret_cast<USB_PIPE>(0x7777), TransferCompleted,
                       fixture->port->outDone, 0, data.data(), 0, 10, &bytes, 1000, &usbError),
      6u);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
}

}  // namespace
