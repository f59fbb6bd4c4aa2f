// Sleep, the tick count, and the multimedia timer: periods, one-shots, kills that wait out a
// running callback, kills from inside a callback, and timers that do not delay each other.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "os_test_util.h"
#include "platform/ce_os.h"
#include "sim/os/sim_os.h"

namespace {

using namespace ostest;

TEST(Time, SleepLastsAtLeastItsTime) {
  for (DWORD ms : {1u, 30u}) {
    Clock::time_point start = Clock::now();
    Sleep(ms);
    double elapsed = MsSince(start);
    EXPECT_GE(elapsed, static_cast<double>(ms));
    EXPECT_LT(elapsed, ms + 5000.0);
  }
  Sleep(0);
}

TEST(Time, TickCountAdvancesWithTime) {
  DWORD previous = GetTickCount();
  for (int i = 0; i < 1000; ++i) {
    DWORD now = GetTickCount();
    ASSERT_LT(now - previous, 60000u);  // never goes back
    previous = now;
  }
  DWORD before = GetTickCount();
  Sleep(25);
  DWORD after = GetTickCount();
  EXPECT_GE(after - before, 25u);
  EXPECT_LT(after - before, 5025u);
}

TEST(Time, TickCountWrapsAt32Bits) {
  const DWORD base = 0xFFFFFFFFu - 15;
  sim::SetTickCount(base);
  DWORD first = GetTickCount();
  EXPECT_LT(first - base, 5000u);
  Sleep(40);
  DWORD second = GetTickCount();
  EXPECT_LT(second, 5000u);  // past the wrap
  EXPECT_GE(second - base, 40u);
  EXPECT_GE(second - first, 40u);
  sim::SetTickCount(0x10000);
  EXPECT_LT(GetTickCount() - 0x10000u, 5000u);
}

struct TimerProbe {
  std::atomic<int> calls{0};
  int target = 0;
  HANDLE reached = nullptr;  // set at the target-th call
  std::atomic<UINT> seenId{0};
  std::atomic<DWORD_PTR> seenUser{0};
  // For the kill tests: the first call blocks until `release` is set.
  HANDLE entered = nullptr;
  HANDLE release = nullptr;
  std::atomic<bool> firstReturned{false};
  // Kill from inside: the target-th call kills its own timer.
  bool killAtTarget = false;
  std::atomic<MMRESULT> killResult{0xFFFF};
};

void CALLBACK Count(UINT timerId, UINT, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  auto* probe = reinterpret_cast<TimerProbe*>(user);
  probe->seenId = timerId;
  probe->seenUser = user;
  const int call = ++probe->calls;
  if (call == 1 && probe->release != nullptr) {
    SetEvent(probe->entered);
    WaitForSingleObject(probe->release, INFINITE);
    probe->firstReturned = true;
  }
  if (call == probe->target) {
    if (probe->killAtTarget) probe->killResult = timeKillEvent(timerId);
    SetEvent(probe->reached);
  }
}

class MmTimer : public testing::Test {
 protected:
  void SetUp() override {
    timersAtStart_ = sim::LiveTimerCount();
    probe_.reached = NewEvent(true);
  }
  void TearDown() override {
    CloseHandle(probe_.reached);
    EXPECT_EQ(sim::LiveTimerCount(), timersAtStart_);
    EXPECT_EQ(sim::TimerCallbacksRunning(), 0u);
  }
  DWORD_PTR User() { return reinterpret_cast<DWORD_PTR>(&probe_); }

  size_t timersAtStart_ = 0;
  TimerProbe probe_;
};

TEST_F(MmTimer, PeriodicTimerFiresAtItsPeriod) {
  probe_.target = 5;
  Clock::time_point start = Clock::now();
  UINT id = timeSetEvent(20, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(sim::LiveTimerCount(), timersAtStart_ + 1);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  double elapsed = MsSince(start);
  EXPECT_GE(elapsed, 5 * 20.0);
  EXPECT_LT(elapsed, 5 * 20.0 + 5000.0);
  EXPECT_EQ(probe_.seenId.load(), id);
  EXPECT_EQ(probe_.seenUser.load(), User());

  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(sim::TimerCallbacksRunning(), 0u);
  const int callsAtKill = probe_.calls;
  Sleep(60);
  EXPECT_EQ(probe_.calls.load(), callsAtKill);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
}

TEST_F(MmTimer, OneShotFiresOnceAndGoesAwayByItself) {
  probe_.target = 1;
  Clock::time_point start = Clock::now();
  UINT id = timeSetEvent(15, 0, Count, User(), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  EXPECT_GE(MsSince(start), 15.0);
  EXPECT_TRUE(Eventually([&] { return sim::LiveTimerCount() == timersAtStart_; }));
  Sleep(45);
  EXPECT_EQ(probe_.calls.load(), 1);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
}

TEST_F(MmTimer, OneShotKilledBeforeItsTimeNeverFires) {
  probe_.target = 1;
  UINT id = timeSetEvent(200, 0, Count, User(), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(WaitForSingleObject(probe_.reached, 300), WAIT_TIMEOUT);
  EXPECT_EQ(probe_.calls.load(), 0);
}

TEST_F(MmTimer, KillWaitsOutARunningCallback) {
  probe_.entered = NewEvent(true);
  probe_.release = NewEvent(true);
  UINT id = timeSetEvent(10, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.entered, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(sim::TimerCallbacksRunning(), 1u);

  std::atomic<bool> returnedBeforeKill{false};
  std::atomic<size_t> runningAfterKill{99};
  HANDLE killer = Start([&, id] {
    MMRESULT r = timeKillEvent(id);
    returnedBeforeKill = probe_.firstReturned.load();
    runningAfterKill = sim::TimerCallbacksRunning();
    return static_cast<DWORD>(r);
  });
  EXPECT_EQ(WaitForSingleObject(killer, 60), WAIT_TIMEOUT);  // still waiting for the callback
  SetEvent(probe_.release);
  EXPECT_EQ(Join(killer), TIMERR_NOERROR);
  EXPECT_TRUE(returnedBeforeKill.load());
  EXPECT_EQ(runningAfterKill.load(), 0u);
  EXPECT_EQ(probe_.calls.load(), 1);  // no further call started after the kill began
  CloseHandle(probe_.entered);
  CloseHandle(probe_.release);
}

// A thread blocked in timeKillEvent (waiting out a callback) that is terminated parks there; the
// timer still goes away once its callback returns.
TEST_F(MmTimer, TerminateStopsAThreadWaitingInAKill) {
  const size_t parkedAtStart = sim::ParkedThreadCount();
  probe_.entered = NewEvent(true);
  probe_.release = NewEvent(true);
  UINT id = timeSetEvent(10, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.entered, 10000), WAIT_OBJECT_0);
  auto returned = std::make_shared<std::atomic<bool>>(false);
  HANDLE killer = Start([id, returned] {
    timeKillEvent(id);
    *returned = true;
    return 0u;
  });
  Sleep(10);  // most likely waiting in the kill by now; parking at its start is fine too
  EXPECT_TRUE(TerminateThread(killer, 4));
  EXPECT_EQ(WaitForSingleObject(killer, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(Eventually([&] { return sim::ParkedThreadCount() == parkedAtStart + 1; }));
  EXPECT_FALSE(returned->load());
  SetEvent(probe_.release);
  const MMRESULT r = timeKillEvent(id);  // the parked killer may have marked it killed already
  EXPECT_TRUE(r == TIMERR_NOERROR || r == MMSYSERR_INVALPARAM) << r;
  EXPECT_TRUE(probe_.firstReturned.load());
  EXPECT_FALSE(returned->load());
  CloseHandle(killer);
  CloseHandle(probe_.entered);
  CloseHandle(probe_.release);
}

TEST_F(MmTimer, CallbackMayKillItsOwnTimer) {
  probe_.target = 3;
  probe_.killAtTarget = true;
  UINT id = timeSetEvent(5, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(probe_.killResult.load(), TIMERR_NOERROR);
  EXPECT_TRUE(Eventually([&] { return sim::LiveTimerCount() == timersAtStart_; }));
  EXPECT_TRUE(Eventually([&] { return sim::TimerCallbacksRunning() == 0; }));
  Sleep(25);
  EXPECT_EQ(probe_.calls.load(), 3);
  EXPECT_EQ(timeKillEvent(id), MMSYSERR_INVALPARAM);
}

TEST_F(MmTimer, SlowCallbackDoesNotDelayAnotherTimer) {
  probe_.entered = NewEvent(true);
  probe_.release = NewEvent(true);
  UINT slow = timeSetEvent(10, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(slow, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.entered, 10000), WAIT_OBJECT_0);

  TimerProbe other;
  other.target = 4;
  other.reached = NewEvent(true);
  UINT fast = timeSetEvent(10, 0, Count, reinterpret_cast<DWORD_PTR>(&other), TIME_PERIODIC);
  ASSERT_NE(fast, 0u);
  EXPECT_NE(fast, slow);
  EXPECT_EQ(WaitForSingleObject(other.reached, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(probe_.calls.load(), 1);  // the slow one is still in its first call
  EXPECT_EQ(timeKillEvent(fast), TIMERR_NOERROR);
  SetEvent(probe_.release);
  EXPECT_EQ(timeKillEvent(slow), TIMERR_NOERROR);
  CloseHandle(other.reached);
  CloseHandle(probe_.entered);
  CloseHandle(probe_.release);
}

TEST_F(MmTimer, UnknownIdsAndBadArgumentsAreRefused) {
  EXPECT_EQ(timeKillEvent(0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(0x7FFFFFFF), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeSetEvent(10, 0, nullptr, 0, TIME_PERIODIC), 0u);
  // Ids are not reused.
  UINT first = timeSetEvent(1000, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(timeKillEvent(first), TIMERR_NOERROR);
  EXPECT_EQ(timeKillEvent(first), MMSYSERR_INVALPARAM);
  UINT second = timeSetEvent(1000, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_EQ(timeKillEvent(first), MMSYSERR_INVALPARAM);
  EXPECT_EQ(timeKillEvent(second), TIMERR_NOERROR);
  EXPECT_EQ(probe_.calls.load(), 0);
}

}  // namespace
