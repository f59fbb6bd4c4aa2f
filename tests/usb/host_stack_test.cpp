// Transfers and the receive thread through the simulated USB host stack, with completions on the
// host stack's own thread. The device on the bus is a small bulk model: one interface, bulk IN
// 0x81 and OUT 0x01, vendor requests answered from a table, OUT accepted after a delay or never,
// IN fed from a paced stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "sim/usb/sim_usb.h"
#include "tests/usb/port_fixture.h"
#include "usb/transfer.h"

namespace {

using Clock = std::chrono::steady_clock;
using usbtest::PortFixture;

class BulkModel : public sim::UsbDeviceModel {
 public:
  BulkModel() {
    endpoints_[0].dwCount = sizeof(USB_ENDPOINT);
    endpoints_[0].Descriptor = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, USB_ENDPOINT_TYPE_BULK, 64,
                                0};
    endpoints_[1].dwCount = sizeof(USB_ENDPOINT);
    endpoints_[1].Descriptor = {7, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x01, USB_ENDPOINT_TYPE_BULK, 64,
                                0};
    iface_.dwCount = sizeof(USB_INTERFACE);
    // A class nobody registered for: the device stays on the bus without a client.
    iface_.Descriptor = {9, USB_INTERFACE_DESCRIPTOR_TYPE, 0, 0, 2, 0xFF, 0xEE, 0xDD, 0};
    iface_.lpEndpoints = endpoints_;
    config_.dwCount = sizeof(USB_CONFIGURATION);
    config_.Descriptor = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 32, 1, 1, 0, 0x80, 50};
    config_.dwNumInterfaces = 1;
    config_.lpInterfaces = &iface_;
    device_.dwCount = sizeof(USB_DEVICE);
    device_.Descriptor = {
        18, USB_DEVICE_DESCRIPTOR_TYPE, 0x0110, 0, 0, 0, 64, 0x1234, 0x4321, 0x0100, 0, 0, 0, 1};
    device_.lpConfigs = &config_;
    device_.lpActiveConfig = &config_;
  }
  ~BulkModel() override { StopStream(); }

  LPCUSB_DEVICE DeviceInfo() override { return &device_; }
  LPCUSB_ENDPOINT_DESCRIPTOR InEndpoint() const { return &endpoints_[0].Descriptor; }
  LPCUSB_ENDPOINT_DESCRIPTOR OutEndpoint() const { return &endpoints_[1].Descriptor; }

  void Submit(const std::shared_ptr<sim::UsbIo>& io) override {
    std::unique_lock<std::mutex> lock(mu_);
    if (io->kind == sim::UsbIo::Kind::Control) {
      requests_.push_back(io->setup);
      const DWORD error = stallControl_ ? USB_STALL_ERROR : 0;
      lock.unlock();
      const BYTE answer[2] = {0x05, 0x06};
      io->Complete(answer, io->in ? std::min<uint32_t>(io->length, 2) : io->length, error);
      return;
    }
    if (!io->in) {
      outData_.insert(outData_.end(), io->outData.begin(), io->outData.end());
      if (outNeverCompletes_) return;  // held until cancelled
      const DWORD delay = outDelayMs_;
      lock.unlock();
      std::thread([io, delay] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        io->Complete(nullptr, io->length, 0);
      }).detach();
      return;
    }
    inPending_.push_back(io);
    cv_.notify_all();
  }

  void Cancel(const std::shared_ptr<sim::UsbIo>& io) override {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto it = inPending_.begin(); it != inPending_.end(); ++it) {
      if (*it == io) {
        inPending_.erase(it);
        break;
      }
    }
  }

  // Streams `data` through the IN endpoint in chunks of 1..maxChunk bytes, one chunk per IN
  // transfer, pausing `pauseUs` between chunks.
  void StartStream(std::vector<BYTE> data, size_t maxChunk, unsigned pauseUs) {
    streamer_ = std::thread([this, data = std::move(data), maxChunk, pauseUs] {
      std::mt19937 rng(11);
      size_t at = 0;
      while (at < data.size()) {
        std::shared_ptr<sim::UsbIo> io;
        {
          std::unique_lock<std::mutex> lock(mu_);
          cv_.wait(lock, [&] { return stop_ || !inPending_.empty(); });
          if (stop_) return;
          io = inPending_.front();
          inPending_.pop_front();
        }
        const size_t n = std::min<size_t>({data.size() - at, 1 + rng() % maxChunk, io->length});
        io->Complete(data.data() + at, static_cast<uint32_t>(n), 0);
        at += n;
        if (pauseUs) std::this_thread::sleep_for(std::chrono::microseconds(pauseUs));
      }
      std::lock_guard<std::mutex> lock(mu_);
      streamDone_ = true;
      cv_.notify_all();
    });
  }
  bool WaitStreamDone(DWORD ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return streamDone_; });
  }
  void StopStream() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
      cv_.notify_all();
    }
    if (streamer_.joinable()) streamer_.join();
  }
  size_t InPending() {
    std::lock_guard<std::mutex> lock(mu_);
    return inPending_.size();
  }
  bool WaitInPending(DWORD ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !inPending_.empty(); });
  }
  std::vector<BYTE> OutData() {
    std::lock_guard<std::mutex> lock(mu_);
    return outData_;
  }
  std::vector<USB_DEVICE_REQUEST> Requests() {
    std::lock_guard<std::mutex> lock(mu_);
    return requests_;
  }

  std::atomic<bool> outNeverCompletes_{false};
  std::atomic<DWORD> outDelayMs_{0};
  std::atomic<bool> stallControl_{false};

 private:
  USB_ENDPOINT endpoints_[2]{};
  USB_INTERFACE iface_{};
  USB_CONFIGURATION config_{};
  USB_DEVICE device_{};
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::shared_ptr<sim::UsbIo>> inPending_;
  std::vector<BYTE> outData_;
  std::vector<USB_DEVICE_REQUEST> requests_;
  std::thread streamer_;
  bool stop_ = false;
  bool streamDone_ = false;
};

class HostStack : public ::testing::Test {
 protected:
  void SetUp() override {
    model = std::make_shared<BulkModel>();
    id = sim::Plug(model);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(sim::WaitAttached(id, 5000));
    handle = sim::DeviceHandle(id);
    ASSERT_NE(handle, nullptr);
    usb = sim::UsbFuncs();
    fixture = std::make_unique<PortFixture>(usb, handle, model->InEndpoint(), model->OutEndpoint());
    ASSERT_TRUE(fixture->Ready());
  }
  void TearDown() override {
    model->StopStream();
    fixture.reset();
    if (sim::IsPlugged(id)) {
      sim::Unplug(id);
      EXPECT_TRUE(sim::WaitRemoved(id, 5000));
    }
    EXPECT_EQ(sim::LiveTransfers(), 0u);
  }
  DWORD BulkOut(std::vector<BYTE>& data, DWORD timeout) {
    return BulkTransferWait(usb, fixture->port->outPipe, TransferCompleted, fixture->port->outDone,
                            0, data.data(), 0, static_cast<DWORD>(data.size()), &bytes, timeout,
                            &usbError);
  }

  std::shared_ptr<BulkModel> model;
  sim::UsbDeviceId id = 0;
  USB_HANDLE handle = nullptr;
  LPCUSB_FUNCS usb = nullptr;
  std::unique_ptr<PortFixture> fixture;
  DWORD bytes = 0;
  DWORD usbError = 0;
};

TEST_F(HostStack, BulkOutChunkArrivesWhole) {
  model->outDelayMs_ = 20;
  std::vector<BYTE> data(5000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
  EXPECT_EQ(BulkOut(data, 5000), 0u);
  EXPECT_EQ(bytes, 5000u);
  EXPECT_EQ(usbError, 0u);
  EXPECT_EQ(model->OutData(), data);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
}

TEST_F(HostStack, BulkOutThatNeverCompletesTimesOutAndIsClosed) {
  model->outNeverCompletes_ = true;
  std::vector<BYTE> data(100, 0x55);
  const auto start = Clock::now();
  EXPECT_EQ(BulkOut(data, 100), 1460u);
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(ms, 95);
  EXPECT_LT(ms, 5000);
  EXPECT_EQ(GetLastError(), 1460u);
  EXPECT_EQ(bytes, 0u);  // nothing acknowledged yet
  EXPECT_EQ(sim::LiveTransfers(), 0u);

  // The next chunk is not fooled by anything left from the first.
  model->outNeverCompletes_ = false;
  EXPECT_EQ(BulkOut(data, 5000), 0u);
  EXPECT_EQ(bytes, 100u);
}

TEST_F(HostStack, RefusedIssueReturnsTheHostStacksError) {
  std::vector<BYTE> data(10);
  // Direction does not match the pipe: the host stack refuses with 87.
  EXPECT_EQ(BulkTransferWait(usb, fixture->port->inPipe, TransferCompleted, fixture->port->outDone,
                             0, data.data(), 0, 10, &bytes, 1000, &usbError),
            87u);
  // A pipe handle the host stack does not know.
  EXPECT_EQ(
      BulkTransferWait(usb, reinterpret_cast<USB_PIPE>(0x7777), TransferCompleted,
                       fixture->port->outDone, 0, data.data(), 0, 10, &bytes, 1000, &usbError),
      6u);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
}

TEST_F(HostStack, VendorRequestsAreSynchronousWithoutRoutine) {
  USB_DEVICE_REQUEST in{0xC1, 0xFF, 0x370B, 0, 1};
  BYTE answer = 0;
  EXPECT_EQ(VendorTransferWait(usb, handle, nullptr, nullptr, 0x1080, &in, &answer, 0, &bytes, 0,
                               &usbError),
            0u);
  EXPECT_EQ(bytes, 1u);
  EXPECT_EQ(answer, 0x05);
  USB_DEVICE_REQUEST out{0x41, 0x00, 1, 0, 0};
  model->stallControl_ = true;
  EXPECT_EQ(VendorTransferWait(usb, handle, nullptr, nullptr, 0x1000, &out, nullptr, 0, &bytes, 0,
                               &usbError),
            31u);
  EXPECT_EQ(usbError, USB_STALL_ERROR);
  const auto requests = model->Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].wValue, 0x370B);
  EXPECT_EQ(requests[1].bmRequestType, 0x41);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
}

// A long paced stream, drained from the ring while it arrives, comes out intact; then the detach
// release ends the thread and leaves no transfer behind.
TEST_F(HostStack, PacedStreamArrivesInTheRingIntact) {
  std::vector<BYTE> sent(200000);
  std::mt19937 rng(5);
  for (auto& b : sent) b = static_cast<BYTE>(rng());
  ASSERT_TRUE(fixture->StartThread());
  fixture->ReleaseAttach();
  model->StartStream(sent, 1024, 200);

  std::vector<BYTE> received;
  std::vector<BYTE> chunk(4096);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (received.size() < sent.size() && Clock::now() < deadline) {
    WaitForSingleObject(fixture->com->wakeEvent, 100);
    DWORD got;
    while ((got = fixture->RingGetLocked(chunk.data(), 4096)) != 0) {
      received.insert(received.end(), chunk.begin(), chunk.begin() + got);
    }
  }
  ASSERT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent);
  EXPECT_TRUE(model->WaitStreamDone(5000));

  // Exactly one transfer stays outstanding between completions.
  ASSERT_TRUE(model->WaitInPending(5000));
  EXPECT_EQ(sim::LiveTransfers(), 1u);
  fixture->Detach();
  ASSERT_TRUE(fixture->WaitThreadEnd(5000));
  EXPECT_EQ(sim::LiveTransfers(), 0u);
}

// Unplugged under the thread: the outstanding transfer ends in error, further issues are refused
// and retried every 10 ms, and the detach release still ends the thread.
TEST_F(HostStack, UnplugThenDetachEndsTheThread) {
  ASSERT_TRUE(fixture->StartThread());
  fixture->ReleaseAttach();
  ASSERT_TRUE(model->WaitInPending(5000));
  ASSERT_TRUE(sim::Unplug(id));
  ASSERT_TRUE(sim::WaitRemoved(id, 5000));
  EXPECT_FALSE(fixture->WaitThreadEnd(50));
  EXPECT_EQ(fixture->RingCountLocked(), 0u);
  fixture->Detach();
  ASSERT_TRUE(fixture->WaitThreadEnd(5000));
}

}  // namespace
