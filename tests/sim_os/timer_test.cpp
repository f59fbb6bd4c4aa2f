// Sleep, the tick count, and the multimedia timer: periods, one-shots, kills with and without
// TIME_KILL_SYNCHRONOUS, kills from inside a callback, and timers that do not delay each other.
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
    ExpectElapsed(start, ms);
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
  // The count moves in steps of its resolution (1 ms on the simulation, about 16 ms on Windows):
  // a sleep of 25 ms moves it by more than 25 ms less one step.
  DWORD first = GetTickCount();
  DWORD second = first;
  while (second == first) second = GetTickCount();
  DWORD third = second;
  while (third == second) third = GetTickCount();
  const DWORD step = third - second;
  ASSERT_LT(step, 1000u);
  DWORD before = GetTickCount();
  Sleep(25);
  DWORD after = GetTickCount();
  EXPECT_GE(after - before + (step - 1), 25u);
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

// The answer to a kill of an id that names no live timer: MMSYSERR_INVALPARAM as documented; the
// Win32 implementation the Windows build is tested on answers TIMERR_NOCANDO.
bool KillRefused(MMRESULT r) {
#ifdef _WIN32
  if (r == TIMERR_NOCANDO) return true;
#endif
  return r == MMSYSERR_INVALPARAM;
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
    if (probe_.entered != nullptr) CloseHandle(probe_.entered);
    if (probe_.release != nullptr) CloseHandle(probe_.release);
    EXPECT_EQ(sim::LiveTimerCount(), timersAtStart_);
    EXPECT_EQ(sim::TimerCallbacksRunning(), 0u);
  }
  DWORD_PTR User() { return reinterpret_cast<DWORD_PTR>(&probe_); }
  // Sets a 10 ms timer whose first call blocks until probe_.release is set, and returns its id
  // once that call has begun.
  UINT SetHeldTimer(UINT eventType) {
    probe_.entered = NewEvent(true);
    probe_.release = NewEvent(true);
    UINT id = timeSetEvent(10, 0, Count, User(), eventType);
    EXPECT_NE(id, 0u);
    if (id != 0) {
      EXPECT_EQ(WaitForSingleObject(probe_.entered, 10000), WAIT_OBJECT_0);
    }
    return id;
  }

  // The timer has gone away by itself, its callbacks have returned, and over `quietMs` more no
  // call came beyond the `calls` made; its id is refused from then on.
  void ExpectGone(UINT id, int calls, DWORD quietMs) {
    EXPECT_TRUE(Eventually([&] { return sim::LiveTimerCount() == timersAtStart_; }));
    EXPECT_TRUE(Eventually([&] { return sim::TimerCallbacksRunning() == 0; }));
    Sleep(quietMs);
    EXPECT_EQ(probe_.calls.load(), calls);
    EXPECT_TRUE(KillRefused(timeKillEvent(id)));
  }

  size_t timersAtStart_ = 0;
  TimerProbe probe_;
};

TEST_F(MmTimer, PeriodicTimerFiresAtItsPeriod) {
  probe_.target = 5;
  Clock::time_point start = Clock::now();
  UINT id = timeSetEvent(20, 0, Count, User(), TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(sim::LiveTimerCount(), timersAtStart_ + 1);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  ExpectElapsed(start, 5 * 20.0 - 1.0);  // the timer keeps whole milliseconds of its own clock
  EXPECT_EQ(probe_.seenId.load(), id);
  EXPECT_EQ(probe_.seenUser.load(), User());

  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(sim::TimerCallbacksRunning(), 0u);
  const int callsAtKill = probe_.calls;
  Sleep(60);
  EXPECT_EQ(probe_.calls.load(), callsAtKill);
  EXPECT_TRUE(KillRefused(timeKillEvent(id)));
}

TEST_F(MmTimer, OneShotFiresOnceAndGoesAwayByItself) {
  probe_.target = 1;
  Clock::time_point start = Clock::now();
  UINT id = timeSetEvent(15, 0, Count, User(), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  EXPECT_GE(MsSince(start), 15.0 - 1.0);  // the timer keeps whole milliseconds of its own clock
  ExpectGone(id, 1, 45);
}

TEST_F(MmTimer, OneShotKilledBeforeItsTimeNeverFires) {
  probe_.target = 1;
  UINT id = timeSetEvent(200, 0, Count, User(), TIME_ONESHOT);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(timeKillEvent(id), TIMERR_NOERROR);
  EXPECT_EQ(WaitForSingleObject(probe_.reached, 300), WAIT_TIMEOUT);
  EXPECT_EQ(probe_.calls.load(), 0);
}

TEST_F(MmTimer, SynchronousKillWaitsOutARunningCallback) {
  UINT id = SetHeldTimer(TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(id, 0u);
  EXPECT_EQ(sim::TimerCallbacksRunning(), 1u);

  std::atomic<bool> returnedBeforeKill{false};
  std::atomic<size_t> runningAfterKill{99};
  std::atomic<int> callsAtKill{0};
  HANDLE killer = Start([&, id] {
    MMRESULT r = timeKillEvent(id);
    returnedBeforeKill = probe_.firstReturned.load();
    runningAfterKill = sim::TimerCallbacksRunning();
    callsAtKill = probe_.calls.load();
    return static_cast<DWORD>(r);
  });
  EXPECT_EQ(WaitForSingleObject(killer, 60), WAIT_TIMEOUT);  // still waiting for the callback
  SetEvent(probe_.release);
  EXPECT_EQ(Join(killer), TIMERR_NOERROR);
  EXPECT_TRUE(returnedBeforeKill.load());
  EXPECT_EQ(runningAfterKill.load(), 0u);
  Sleep(40);
  EXPECT_EQ(probe_.calls.load(), callsAtKill.load());  // no call after the kill returned
}

// Without TIME_KILL_SYNCHRONOUS a kill stops the timer but leaves a running callback to finish on
// its own: whoever frees what the callback uses must wait for it some other way.
TEST_F(MmTimer, KillWithoutSynchronousLeavesARunningCallbackRunning) {
  UINT id = SetHeldTimer(TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  HANDLE killer = Start([id] { return static_cast<DWORD>(timeKillEvent(id)); });
  EXPECT_EQ(WaitForSingleObject(killer, 10000), WAIT_OBJECT_0);  // the callback is still held
  EXPECT_FALSE(probe_.firstReturned.load());
  EXPECT_EQ(sim::LiveTimerCount(), timersAtStart_);
  SetEvent(probe_.release);
  EXPECT_EQ(Join(killer), TIMERR_NOERROR);
  EXPECT_TRUE(Eventually([&] { return sim::TimerCallbacksRunning() == 0; }));
  Sleep(40);
  EXPECT_EQ(probe_.calls.load(), 1);  // no further call after the kill
}

// A thread blocked in timeKillEvent (waiting out a callback) that is terminated parks there; the
// timer still goes away once its callback returns.
TEST_F(MmTimer, TerminateStopsAThreadWaitingInAKill) {
  const size_t parkedAtStart = sim::ParkedThreadCount();
  UINT id = SetHeldTimer(TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(id, 0u);
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
  EXPECT_TRUE(r == TIMERR_NOERROR || KillRefused(r)) << r;
  EXPECT_TRUE(probe_.firstReturned.load());
  EXPECT_FALSE(returned->load());
  CloseHandle(killer);
}

TEST_F(MmTimer, CallbackMayKillItsOwnTimer) {
  probe_.target = 3;
  probe_.killAtTarget = true;
  UINT id = timeSetEvent(5, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(id, 0u);
  ASSERT_EQ(WaitForSingleObject(probe_.reached, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(probe_.killResult.load(), TIMERR_NOERROR);
  ExpectGone(id, 3, 25);
}

TEST_F(MmTimer, SlowCallbackDoesNotDelayAnotherTimer) {
  UINT slow = SetHeldTimer(TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(slow, 0u);

  TimerProbe other;
  other.target = 4;
  other.reached = NewEvent(true);
  UINT fast = timeSetEvent(10, 0, Count, reinterpret_cast<DWORD_PTR>(&other),
                           TIME_PERIODIC | TIME_KILL_SYNCHRONOUS);
  ASSERT_NE(fast, 0u);
  EXPECT_NE(fast, slow);
  EXPECT_EQ(WaitForSingleObject(other.reached, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(probe_.calls.load(), 1);  // the slow one is still in its first call
  EXPECT_EQ(timeKillEvent(fast), TIMERR_NOERROR);
  SetEvent(probe_.release);
  EXPECT_EQ(timeKillEvent(slow), TIMERR_NOERROR);
  CloseHandle(other.reached);
}

TEST_F(MmTimer, UnknownIdsAndBadArgumentsAreRefused) {
#ifndef _WIN32
  // Id 0 is never handed out; the Win32 implementation under test answers its kill with success.
  EXPECT_EQ(timeKillEvent(0), MMSYSERR_INVALPARAM);
#endif
  EXPECT_TRUE(KillRefused(timeKillEvent(0x7FFFFFFF)));
  EXPECT_EQ(timeSetEvent(10, 0, nullptr, 0, TIME_PERIODIC), 0u);
  // Ids are not reused.
  UINT first = timeSetEvent(1000, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(first, 0u);
  EXPECT_EQ(timeKillEvent(first), TIMERR_NOERROR);
  EXPECT_TRUE(KillRefused(timeKillEvent(first)));
  UINT second = timeSetEvent(1000, 0, Count, User(), TIME_PERIODIC);
  ASSERT_NE(second, 0u);
  EXPECT_NE(second, first);
  EXPECT_TRUE(KillRefused(timeKillEvent(first)));
  EXPECT_EQ(timeKillEvent(second), TIMERR_NOERROR);
  EXPECT_EQ(probe_.calls.load(), 0);
}

}  // namespace
