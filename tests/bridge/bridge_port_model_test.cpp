// The bridge port against the bridge model on the simulated bus: what the model logs and sees.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <vector>

#include "tests/bridge/bridge_rig.h"

using bridgetest::BridgeRig;
using Bytes = std::vector<BYTE>;
using sim::BridgeLogEntry;
using sim::BridgeModel;

namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

sim::BridgeConfig Unpaced(uint8_t partNumber = 4) {
  sim::BridgeConfig config;
  config.paced = false;
  config.partNumber = partNumber;
  return config;
}

// Control requests of the log other than the modem poll's two reads.
std::vector<BridgeLogEntry> Requests(const BridgeModel& model, bool keepFirstModemRead) {
  std::vector<BridgeLogEntry> out;
  for (const auto& e : model.Log()) {
    if (e.kind != BridgeLogEntry::Kind::Control) continue;
    if (e.setup.bRequest == ReqCommStatus) continue;
    if (e.setup.bRequest == ReqModemStatus && !keepFirstModemRead) continue;
    if (e.setup.bRequest == ReqModemStatus) keepFirstModemRead = false;
    out.push_back(e);
  }
  return out;
}

std::vector<uint32_t> BulkOutLengths(const BridgeModel& model) {
  std::vector<uint32_t> out;
  for (const auto& e : model.Log()) {
    if (e.kind == BridgeLogEntry::Kind::BulkOut) out.push_back(e.length);
  }
  return out;
}

bool WaitPolls(BridgeModel& model, size_t count) {
  size_t start = model.CountRequests(ReqCommStatus);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    if (model.CountRequests(ReqCommStatus) >= start + count) return true;
    Sleep(5);
  }
  return false;
}

DWORD WaitEvents(ComHandle* h) {
  auto waiter = std::async(std::launch::async, [h] {
    DWORD mask = 0;
    DWORD actual = 0;
    if (!ComIOControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, reinterpret_cast<BYTE*>(&mask), 4,
                      &actual)) {
      ADD_FAILURE() << "wait failed with " << GetLastError();
    }
    return mask;
  });
  if (waiter.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
    ADD_FAILURE() << "no communication event";
    AbortHandleWaits(h);
  }
  return waiter.get();
}

Bytes Pattern(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = (BYTE)(i * 13 + i / 256);
  return b;
}

}  // namespace

TEST(BridgeOnModel, FirstOpenPutsTheDefaultsOnTheWire) {
  BridgeRig rig(Unpaced());
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  auto log = Requests(*rig.model, true);
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(log[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(log[0].setup.wValue, 0xFFFFu);
  EXPECT_EQ(log[1].setup.bRequest, ReqModemStatus);
  EXPECT_EQ(log[2].setup.bRequest, ReqBaudRate);
  EXPECT_EQ(log[2].data, (Bytes{0x80, 0x25, 0x00, 0x00}));
  EXPECT_EQ(log[3].setup.bRequest, ReqLineControl);
  EXPECT_EQ(log[3].setup.wValue, 0x0800u);
  EXPECT_EQ(log[4].setup.bRequest, ReqFlow);
  EXPECT_EQ(log[4].data, (Bytes{0x01, 0, 0, 0, 0x40, 0, 0, 0, 0x00, 0x02, 0, 0, 0x80, 0, 0, 0}));
  EXPECT_EQ(log[5].setup.bRequest, ReqSpecialChars);
  EXPECT_EQ(log[5].data, (Bytes{0x0D, 0x0D, 0x00, 0x0D, 0x11, 0x13}));
  EXPECT_EQ(log[6].setup.bRequest, ReqPurge);
  auto state = rig.model->State(0);
  EXPECT_TRUE(state.enabled);
  EXPECT_EQ(state.baud, 9600u);
  EXPECT_TRUE(state.dtr);
  EXPECT_TRUE(state.rts);
  EXPECT_TRUE(ComClose(h));
  EXPECT_FALSE(rig.model->State(0).enabled);
}

TEST(BridgeOnModel, LoopbackCarriesDataIntact) {
  BridgeRig rig(Unpaced());
  rig.model->Loopback(0);
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  COMMTIMEOUTS t{0, 0, 5000, 0, 0};
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&t), sizeof(t),
                           nullptr, 0, nullptr));
  Bytes sent = Pattern(3000);
  EXPECT_EQ(ComWrite(h, sent.data(), (DWORD)sent.size()), (DWORD)sent.size());
  Bytes got(sent.size());
  DWORD total = 0;
  while (total < got.size()) {
    DWORD n = ComRead(h, got.data() + total, (DWORD)got.size() - total);
    if (n == 0 || n == (DWORD)-1) break;
    total += n;
  }
  EXPECT_EQ(total, sent.size());
  EXPECT_EQ(got, sent);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeOnModel, ModemInputsRaiseEvents) {
  BridgeRig rig(Unpaced());
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  DWORD mask = EV_CTS | EV_DSR | EV_RING | EV_RLSD;
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_WAIT_MASK, reinterpret_cast<BYTE*>(&mask), 4,
                           nullptr, 0, nullptr));
  ASSERT_TRUE(WaitPolls(*rig.model, 1));

  rig.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd);
  EXPECT_EQ(WaitEvents(h), EV_CTS | EV_RLSD);

  // Ring on raises nothing; ring off raises EV_RING alone.
  rig.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd | BridgeModel::kRi);
  ASSERT_TRUE(WaitPolls(*rig.model, 2));
  rig.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kDcd);
  EXPECT_EQ(WaitEvents(h), EV_RING);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeOnModel, PowerCycleRestoresInterfaceLatchAndSettings) {
  BridgeRig rig(Unpaced(4));
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  BYTE latch[2] = {0xFF, 0x3C};
  ASSERT_TRUE(ComIOControl(h, CtlWriteLatch, latch, 2, nullptr, 0, nullptr));
  rig.model->ClearLog();
  EXPECT_EQ(ComPowerDown(rig.com), 0u);
  EXPECT_FALSE(rig.model->State(0).enabled);
  EXPECT_EQ(ComPowerUp(rig.com), 0u);

  auto log = Requests(*rig.model, false);
  ASSERT_EQ(log.size(), 8u);
  EXPECT_EQ(log[0].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(log[0].setup.wValue, 0u);
  EXPECT_EQ(log[1].setup.wValue, (WORD)VendorReadLatch);
  EXPECT_EQ(log[2].setup.bRequest, ReqInterfaceEnable);
  EXPECT_EQ(log[2].setup.wValue, 0xFFFFu);
  EXPECT_EQ(log[3].setup.wValue, (WORD)VendorWriteLatch);
  EXPECT_EQ(log[3].setup.wIndex, 0x3CFFu);
  EXPECT_EQ(log[4].setup.bRequest, ReqBaudRate);
  EXPECT_EQ(log[5].setup.bRequest, ReqLineControl);
  EXPECT_EQ(log[6].setup.bRequest, ReqFlow);
  EXPECT_EQ(log[7].setup.bRequest, ReqSpecialChars);
  EXPECT_TRUE(rig.model->State(0).enabled);
  EXPECT_EQ(rig.model->DeviceLatch(), 0x3Cu);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeOnModel, TransmitChunksAndAHungChunk) {
  BridgeRig rig(Unpaced());
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  COMMTIMEOUTS t{0, 0, 0, 1, 0};
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&t), sizeof(t),
                           nullptr, 0, nullptr));
  Bytes sent = Pattern(40000);
  EXPECT_EQ(ComWrite(h, sent.data(), 40000), 40000u);
  EXPECT_EQ(BulkOutLengths(*rig.model), (std::vector<uint32_t>{16384, 16384, 7232}));

  // A chunk that never completes ends the write after its time-out with what really went out.
  t = {0, 0, 0, 0, 300};
  ASSERT_TRUE(ComIOControl(h, IOCTL_SERIAL_SET_TIMEOUTS, reinterpret_cast<BYTE*>(&t), sizeof(t),
                           nullptr, 0, nullptr));
  rig.model->ClearLog();
  rig.model->HangNextBulkOut(0, 1);
  auto start = std::chrono::steady_clock::now();
  DWORD written = ComWrite(h, sent.data(), 40000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_LT(written, 16384u);
  EXPECT_EQ(BulkOutLengths(*rig.model).size(), 1u);
  EXPECT_GE(ms, 290);
  EXPECT_LT(ms, 5000);
  EXPECT_TRUE(ComClose(h));
}

TEST(BridgeOnModel, CloseAfterFailedDisableReopensAndStopsPolling) {
  BridgeRig rig(Unpaced());
  ASSERT_TRUE(rig.Bind());
  ComHandle* h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(WaitPolls(*rig.model, 1));
  rig.model->StallNext(ReqInterfaceEnable, 1);
  EXPECT_TRUE(ComClose(h));
  size_t polls = rig.model->CountRequests(ReqModemStatus);
  Sleep(250);
  EXPECT_EQ(rig.model->CountRequests(ReqModemStatus), polls);

  h = ComOpen(rig.com, kReadWrite, 0);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(rig.model->State(0).enabled);
  EXPECT_TRUE(WaitPolls(*rig.model, 1));
  EXPECT_TRUE(ComClose(h));
}
