// Comm events: gathering before a wait, masks, releases, and no lost event when raises race with
// a waiter.
#include <future>
#include <semaphore>

#include "tests/core/core_fixture.h"

namespace {

using EventsTest = OpenCoreTest;

TEST_F(EventsTest, EventGatheredBeforeTheWaitIsReportedAtOnce) {
  ASSERT_TRUE(SetMask(h, EV_RXCHAR | EV_CTS));
  port.Feed("a");
  ASSERT_TRUE(WaitInQue(h, 1));
  DWORD mask = 0, actual = 0;
  auto start = Clock::now();
  EXPECT_TRUE(WaitMask(h, &mask, &actual));
  EXPECT_LT(MsSince(start), 5000);
  EXPECT_EQ(mask, EV_RXCHAR);
  EXPECT_EQ(actual, 4u);
  // The second wait blocks until the mask is set again, which ends it with mask 0.
  auto waiter = std::async(std::launch::async, [&] {
    DWORD m = 0xFF;
    BOOL ok = WaitMask(h, &m);
    return std::make_pair(ok, m);
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  ASSERT_TRUE(SetMask(h, EV_RXCHAR | EV_CTS));
  auto [ok, m] = waiter.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(m, 0u);
}

TEST_F(EventsTest, BitsOutsideTheMaskAreDropped) {
  ASSERT_TRUE(SetMask(h, EV_CTS));
  RaiseCommEvents(device, EV_CTS | EV_DSR);
  DWORD mask = 0;
  EXPECT_TRUE(WaitMask(h, &mask));
  EXPECT_EQ(mask, EV_CTS);
  // EV_DSR went with it: with the mask widened, nothing is waiting.
  ASSERT_TRUE(SetMask(h, EV_CTS | EV_DSR));
  RaiseCommEvents(device, EV_RING);  // not in any mask: not even gathered
  EXPECT_EQ(LoadLong(&h->eventState), 0);
  auto waiter = std::async(std::launch::async, [&] {
    DWORD m = 0;
    WaitMask(h, &m);
    return m;
  });
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  RaiseCommEvents(device, EV_DSR);
  EXPECT_EQ(waiter.get(), EV_DSR);
}

TEST_F(EventsTest, EmptyMaskWaitFailsWith87) {
  ExpectMasklessWaitFails(h);
}

TEST_F(EventsTest, MaskUnionCoversEveryHandle) {
  ComHandle* other = ComOpen(device, 0, 0);
  ASSERT_NE(other, nullptr);
  ASSERT_TRUE(SetMask(h, EV_CTS));
  ASSERT_TRUE(SetMask(other, EV_RING));
  EXPECT_EQ(LoadWord(&device->eventMaskUnion), EV_CTS | EV_RING);
  RaiseCommEvents(device, EV_RING);
  DWORD mask = 0;
  EXPECT_TRUE(WaitMask(other, &mask));
  EXPECT_EQ(mask, EV_RING);
  EXPECT_TRUE(ComClose(other));
}

TEST_F(EventsTest, RaiseWithNoDataHandleOpenChangesNothing) {
  ASSERT_TRUE(SetMask(h, EV_CTS));
  ComHandle* bus = ComOpen(device, 0x100, 0);
  ASSERT_NE(bus, nullptr);
  EXPECT_TRUE(ComClose(h));
  h = nullptr;
  SetLastError(0);
  auto start = Clock::now();
  RaiseCommEvents(device, EV_CTS);
  EXPECT_GE(MsSince(start), 9);
  EXPECT_EQ(GetLastError(), 6u);
  EXPECT_TRUE(ComClose(bus));
}

// Each raiser owns one event bit and raises it again only after the waiter has reported it, so
// every raise must be seen exactly once; a lost event leaves its raiser stuck.
TEST_F(EventsTest, NoEventLostWhenRaisesRaceWithTheWaiter) {
  const DWORD bits[] = {EV_CTS, EV_DSR, EV_RLSD, EV_RING};
  const int kRounds = 300;
  ASSERT_TRUE(SetMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING));
  std::counting_semaphore<1> seen[4] = {
      std::counting_semaphore<1>(0), std::counting_semaphore<1>(0), std::counting_semaphore<1>(0),
      std::counting_semaphore<1>(0)};
  std::atomic<int> counts[4] = {0, 0, 0, 0};
  std::atomic<bool> stuck{false};
  std::vector<std::thread> raisers;
  for (int i = 0; i < 4; ++i) {
    raisers.emplace_back([&, i] {
      for (int r = 0; r < kRounds && !stuck; ++r) {
        RaiseCommEvents(device, bits[i]);
        if (!seen[i].try_acquire_for(std::chrono::seconds(10))) {
          stuck = true;
          SetMask(h, EV_CTS | EV_DSR | EV_RLSD | EV_RING);  // ends the waiter's wait: no hang
        }
      }
    });
  }
  int total = 0;
  auto start = Clock::now();
  while (total < 4 * kRounds && MsSince(start) < 30000 && !stuck) {
    DWORD mask = 0;
    if (!WaitMask(h, &mask)) {
      ADD_FAILURE() << "wait failed";
      stuck = true;
      break;
    }
    for (int i = 0; i < 4; ++i) {
      if (mask & bits[i]) {
        ++counts[i];
        ++total;
        seen[i].release();
      }
    }
  }
  for (std::thread& t : raisers) t.join();
  EXPECT_FALSE(stuck);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(counts[i].load(), kRounds) << "bit " << bits[i];
}

}  // namespace
