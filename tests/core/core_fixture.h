// Fixture for the serial core's tests: a device bound to a TestPort, with helpers that speak to it
// through the stream entry points, and a heap check at the end of every test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "core/com_device.h"
#include "core/com_internal.h"
#include "platform/ce_os.h"
#include "sim/os/sim_os.h"
#include "tests/core/test_port.h"

inline constexpr WCHAR kActiveKey[] = TEXT("Drivers\\Active\\91");
inline constexpr WCHAR kDeviceKey[] = TEXT("Drivers\\TestCore\\Port91");
inline constexpr DWORD kFailed = 0xFFFFFFFFu;

using Clock = std::chrono::steady_clock;
inline long MsSince(Clock::time_point start) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class CoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    heapStart_ = sim::HeapLiveBlocks();
    MakeActiveKey(kActiveKey, kDeviceKey, priority_);
  }
  void TearDown() override {
    if (device != nullptr) {
      EXPECT_TRUE(ComDeinit(device));
      device = nullptr;
    }
    RemoveKeys(kActiveKey, kDeviceKey);
    EXPECT_EQ(sim::HeapLiveBlocks(), heapStart_) << "blocks leaked";
  }

  ComDevice* Init(const PortOps* ops = TestPort::Ops()) {
    port.MakeCurrent();
    device = ComInit(kActiveKey, ops);
    return device;
  }
  ComHandle* OpenRW() { return ComOpen(device, GENERIC_READ | GENERIC_WRITE, 0); }
  void Deinit() {
    ASSERT_TRUE(ComDeinit(device));
    device = nullptr;
  }

  static BOOL Ioctl(ComHandle* h, DWORD code, const void* in = nullptr, DWORD inSize = 0,
                    void* out = nullptr, DWORD outSize = 0, DWORD* actual = nullptr) {
    return ComIOControl(h, code, static_cast<BYTE*>(const_cast<void*>(in)), inSize,
                        static_cast<BYTE*>(out), outSize, actual);
  }
  static DCB GetDcb(ComHandle* h) {
    DCB dcb{};
    DWORD actual = 0;
    EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_GET_DCB, nullptr, 0, &dcb, sizeof(dcb), &actual));
    EXPECT_EQ(actual, sizeof(DCB));
    return dcb;
  }
  static DWORD DcbFlags(const DCB& dcb) {
    DWORD w;
    std::memcpy(&w, reinterpret_cast<const BYTE*>(&dcb) + 8, 4);
    return w;
  }
  static BOOL SetDcb(ComHandle* h, const DCB& dcb) {
    return Ioctl(h, IOCTL_SERIAL_SET_DCB, &dcb, sizeof(dcb));
  }
  static void SetTimeouts(ComHandle* h, DWORD interval, DWORD mult, DWORD constant, DWORD wmult = 0,
                          DWORD wconst = 0) {
    COMMTIMEOUTS t{interval, mult, constant, wmult, wconst};
    ASSERT_TRUE(Ioctl(h, IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof(t)));
  }
  static SERIAL_DEV_STATUS Status(ComHandle* h) {
    SERIAL_DEV_STATUS s{};
    DWORD actual = 0;
    EXPECT_TRUE(Ioctl(h, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &s, sizeof(s), &actual));
    return s;
  }
  static DWORD InQue(ComHandle* h) { return Status(h).ComStat.cbInQue; }
  // Waits until the receive buffer holds n bytes (the event thread stores asynchronously).
  static bool WaitInQue(ComHandle* h, DWORD n, int ms = 5000) {
    auto start = Clock::now();
    while (MsSince(start) < ms) {
      if (InQue(h) == n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return InQue(h) == n;
  }
  static BOOL SetMask(ComHandle* h, DWORD mask) {
    return Ioctl(h, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
  }
  static BOOL WaitMask(ComHandle* h, DWORD* mask, DWORD* actual = nullptr) {
    DWORD a = 0;
    return Ioctl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof(DWORD),
                 actual != nullptr ? actual : &a);
  }
  // A wait on a handle without a mask fails with 87 and reports no event.
  static void ExpectMasklessWaitFails(ComHandle* h) {
    DWORD mask = 0xFF, actual = 0;
    SetLastError(0);
    EXPECT_FALSE(WaitMask(h, &mask, &actual));
    EXPECT_EQ(GetLastError(), 87u);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(actual, 4u);
  }
  static BOOL Purge(ComHandle* h, DWORD flags) {
    return Ioctl(h, IOCTL_SERIAL_PURGE, &flags, sizeof(flags));
  }
  static std::string Read(ComHandle* h, DWORD length) {
    std::string s(length, '\0');
    DWORD n = ComRead(h, s.data(), length);
    if (n == kFailed) return "<failed>";
    s.resize(n);
    return s;
  }

  TestPort port;
  ComDevice* device = nullptr;
  const DWORD* priority_ = nullptr;

 private:
  size_t heapStart_ = 0;
};

// A device bound to the TestPort with one read-write handle open; closed again at the end.
class OpenCoreTest : public CoreTest {
 protected:
  void SetUp() override {
    CoreTest::SetUp();
    ASSERT_NE(Init(), nullptr);
    h = OpenRW();
    ASSERT_NE(h, nullptr);
  }
  void TearDown() override {
    if (h != nullptr) {
      EXPECT_TRUE(ComClose(h));
    }
    CoreTest::TearDown();
  }
  ComHandle* h = nullptr;
};
