// Threads (start, exit codes, ExitThread, termination of blocked threads, priorities), critical
// sections, the interlocked calls and the per-thread last error.
#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "os_test_util.h"
#include "platform/ce_os.h"
#include "sim/os/host_sync.h"
#include "sim/os/sim_os.h"

namespace {

using namespace ostest;

struct StartProbe {
  DWORD seenId = 0;
  LPVOID seenParameter = nullptr;
};

DWORD WINAPI Probe(LPVOID parameter) {
  auto* probe = static_cast<StartProbe*>(parameter);
  probe->seenParameter = parameter;
  probe->seenId = GetCurrentThreadId();
  return 0x1234;
}

TEST(Threads, RoutineRunsWithItsParameterAndReturnsTheExitCode) {
  StartProbe probe;
  DWORD id = 0;
  HANDLE h = CreateThread(nullptr, 0, Probe, &probe, 0, &id);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Join(h), 0x1234u);
  EXPECT_EQ(probe.seenParameter, &probe);
  EXPECT_NE(id, 0u);
  EXPECT_EQ(probe.seenId, id);
  EXPECT_NE(id, GetCurrentThreadId());
}

TEST(Threads, BadCreateArgumentsAreRefused) {
  const size_t handlesAtStart = sim::KernelHandleCount();
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kInvalidParameter);
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
}

TEST(Threads, HandleIsSignalledAtExitWithTheExitCode) {
  const size_t liveAtStart = sim::LiveThreadCount();
  const size_t handlesAtStart = sim::KernelHandleCount();
  HANDLE go = NewEvent(true);
  HANDLE h = Start([go] {
    WaitForSingleObject(go, INFINITE);
    return 7u;
  });
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart + 1);
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart + 2);
  EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  SetEvent(go);
  ASSERT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);  // stays signalled
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart);
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(go));
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
}

TEST(Threads, EveryWaiterOnAThreadHandleIsReleased) {
  HANDLE go = NewEvent(true);
  HANDLE worker = Start([go] { return WaitForSingleObject(go, INFINITE); });
  HANDLE other = NewEvent(false);
  HANDLE watchers[2];
  for (HANDLE& w : watchers) {
    w = Start([worker, other] {
      HANDLE pair[2] = {other, worker};
      return WaitForMultipleObjects(2, pair, FALSE, 10000);
    });
  }
  SetEvent(go);
  for (HANDLE w : watchers) EXPECT_EQ(Join(w), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(Join(worker), WAIT_OBJECT_0);
  CloseHandle(go);
  CloseHandle(other);
}

// A set or a leave wakes the freed thread after it has left the kernel's lock; the woken thread
// may end at once, before the wake-up is through (its record must outlive it). Both kinds of
// thread: made by CreateThread and plain host threads.
TEST(Threads, AThreadFreedBySetOrLeaveMayEndAtOnce) {
  const size_t handlesAtStart = sim::KernelHandleCount();
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  HANDLE ready = NewEvent(false);
  for (int i = 0; i < 100; ++i) {
    HANDLE e = NewEvent(false);
    HANDLE h = Start([e, ready] {
      SetEvent(ready);
      return WaitForSingleObject(e, 10000);
    });
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    SetEvent(e);
    EXPECT_EQ(Join(h), WAIT_OBJECT_0) << i;

    std::atomic<DWORD> got{WAIT_FAILED};
    EnterCriticalSection(&cs);
    std::thread plain([&] {
      SetEvent(ready);
      EnterCriticalSection(&cs);
      got = sim::CriticalSectionOwner(&cs) == GetCurrentThreadId() ? WAIT_OBJECT_0 : WAIT_FAILED;
      LeaveCriticalSection(&cs);
    });
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    LeaveCriticalSection(&cs);
    plain.join();
    EXPECT_EQ(got.load(), WAIT_OBJECT_0) << i;
    CloseHandle(e);
  }
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);
  CloseHandle(ready);
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
}

TEST(Threads, ClosingTheHandleEarlyLetsTheThreadRunToItsEnd) {
  const size_t liveAtStart = sim::LiveThreadCount();
  HANDLE go = NewEvent(true);
  HANDLE done = NewEvent(true);
  HANDLE h = Start([go, done] {
    WaitForSingleObject(go, INFINITE);
    SetEvent(done);
    return 0u;
  });
  EXPECT_TRUE(CloseHandle(h));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(Eventually([&] { return sim::LiveThreadCount() == liveAtStart; }));
  CloseHandle(go);
  CloseHandle(done);
}

std::atomic<bool> gAfterExit{false};

void LeaveFromDeepInside(DWORD code) {
  ExitThread(code);
}

TEST(Threads, ExitThreadEndsTheThreadFromANestedCall) {
  const size_t liveAtStart = sim::LiveThreadCount();
  HANDLE h = Start([] {
    LeaveFromDeepInside(55);
    gAfterExit = true;
    return 1u;
  });
  EXPECT_EQ(Join(h), 55u);
  EXPECT_FALSE(gAfterExit.load());
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart);
}

// Where a thread is blocked when it is terminated.
enum class Block { Wait, WaitMultiple, Sleep, CriticalSection };

class TerminateBlocked : public testing::TestWithParam<Block> {};

TEST_P(TerminateBlocked, HandleIsSignalledAtOnceAndTheThreadParksForGood) {
  const size_t liveAtStart = sim::LiveThreadCount();
  const size_t parkedAtStart = sim::ParkedThreadCount();
  HANDLE never = NewEvent(true);
  HANDLE ready = NewEvent(true);
  auto returned = std::make_shared<std::atomic<bool>>(false);
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  const Block block = GetParam();
  HANDLE h = Start([=, &cs] {
    SetEvent(ready);
    HANDLE pair[2] = {never, never};
    switch (block) {
      case Block::Wait:
        WaitForSingleObject(never, INFINITE);
        break;
      case Block::WaitMultiple:
        WaitForMultipleObjects(2, pair, FALSE, INFINITE);
        break;
      case Block::Sleep:
        Sleep(INFINITE);
        break;
      case Block::CriticalSection:
        EnterCriticalSection(&cs);
        break;
    }
    *returned = true;
    return 0u;
  });
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
  EXPECT_TRUE(TerminateThread(h, 0xDEAD));
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 0xDEADu);
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart);
  EXPECT_TRUE(Eventually([&] { return sim::ParkedThreadCount() == parkedAtStart + 1; }));
  // A second terminate of an ended thread changes nothing.
  EXPECT_TRUE(TerminateThread(h, 1));
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 0xDEADu);
  EXPECT_FALSE(returned->load());

  // The parked thread did not take the section on its way out.
  LeaveCriticalSection(&cs);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  LeaveCriticalSection(&cs);
  EXPECT_FALSE(returned->load());
  CloseHandle(h);
  CloseHandle(ready);
  CloseHandle(never);
  DeleteCriticalSection(&cs);
}

INSTANTIATE_TEST_SUITE_P(Threads, TerminateBlocked,
                         testing::Values(Block::Wait, Block::WaitMultiple, Block::Sleep,
                                         Block::CriticalSection));

// A thread terminated while blocked on an auto-reset event must not take a signal set after the
// terminate (nor return to its caller with it): the signal belongs to the next waiter.
TEST(Threads, TerminatedWaiterDoesNotTakeALaterSignal) {
  [[maybe_unused]] const size_t parkedAtStart = sim::ParkedThreadCount();
  HANDLE ev = NewEvent(false);
  auto returned = std::make_shared<std::atomic<int>>(0);
  constexpr int kRounds = 4;
  for (int round = 0; round < kRounds; ++round) {
    HANDLE ready = NewEvent(true);
    HANDLE h = Start([=] {
      SetEvent(ready);
      WaitForSingleObject(ev, INFINITE);
      ++*returned;
      return 0u;
    });
    ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
    Sleep(10);  // most likely blocked by now, which is the case that matters
    ASSERT_TRUE(TerminateThread(h, 3));
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0) << "round " << round;
    CloseHandle(h);
    CloseHandle(ready);
  }
#ifndef _WIN32  // Windows ends a terminated thread; the simulation parks it
  EXPECT_TRUE(Eventually([&] { return sim::ParkedThreadCount() == parkedAtStart + kRounds; }));
#endif
  EXPECT_EQ(returned->load(), 0);
  CloseHandle(ev);
}

TEST(Threads, ThreadTerminatingItselfNeverReturns) {
  [[maybe_unused]] const size_t parkedAtStart = sim::ParkedThreadCount();
  auto returned = std::make_shared<std::atomic<bool>>(false);
  HANDLE h = Start([returned] {
    TerminateThread(GetCurrentThread(), 9);
    *returned = true;
    return 0u;
  });
  EXPECT_EQ(WaitForSingleObject(h, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(h, &code));
  EXPECT_EQ(code, 9u);
#ifndef _WIN32  // Windows ends a terminated thread; the simulation parks it
  EXPECT_TRUE(Eventually([&] { return sim::ParkedThreadCount() == parkedAtStart + 1; }));
#endif
  EXPECT_FALSE(returned->load());
  CloseHandle(h);
}

TEST(Threads, CountsReturnToTheirStartValues) {
  const size_t liveAtStart = sim::LiveThreadCount();
  const size_t handlesAtStart = sim::KernelHandleCount();
  HANDLE go = NewEvent(true);
  std::vector<HANDLE> threads;
  for (int i = 0; i < 6; ++i) {
    threads.push_back(Start([go, i] {
      WaitForSingleObject(go, INFINITE);
      return static_cast<DWORD>(i);
    }));
  }
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart + 6);
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart + 7);
  SetEvent(go);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Join(threads[static_cast<size_t>(i)]), DWORD(i));
  CloseHandle(go);
  EXPECT_EQ(sim::LiveThreadCount(), liveAtStart);
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
}

TEST(Priorities, NewThreadsStartAtNormal) {
  HANDLE h = Start([] {
    return static_cast<DWORD>(CeGetThreadPriority(GetCurrentThread()) * 100 +
                              GetThreadPriority(GetCurrentThread()));
  });
  EXPECT_EQ(Join(h), DWORD(CE_THREAD_PRIO_256_NORMAL * 100 + THREAD_PRIORITY_NORMAL));
}

TEST(Priorities, EightLevelScaleMapsOnto248AndUp) {
  HANDLE go = NewEvent(true);
  HANDLE h = Start([go] {
    WaitForSingleObject(go, INFINITE);
    // Read through the pseudo handle: what the other thread set is this thread's own record.
    return static_cast<DWORD>(CeGetThreadPriority(GetCurrentThread()));
  });
  const int mainBefore = CeGetThreadPriority(GetCurrentThread());
  for (int level = THREAD_PRIORITY_TIME_CRITICAL; level <= THREAD_PRIORITY_IDLE; ++level) {
    EXPECT_TRUE(SetThreadPriority(h, level));
    EXPECT_EQ(CeGetThreadPriority(h), 248 + level);
    EXPECT_EQ(GetThreadPriority(h), level);
  }
  for (int bad : {-1, 8, 100}) {
    SetLastError(0);
    EXPECT_FALSE(SetThreadPriority(h, bad));
    EXPECT_EQ(GetLastError(), kInvalidParameter);
  }
  EXPECT_EQ(GetThreadPriority(h), THREAD_PRIORITY_IDLE);
  EXPECT_TRUE(SetThreadPriority(h, THREAD_PRIORITY_HIGHEST));
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), mainBefore);
  SetEvent(go);
  EXPECT_EQ(Join(h), 249u);
  CloseHandle(go);
}

TEST(Priorities, TwoHundredFiftySixLevelScale) {
  HANDLE go = NewEvent(true);
  HANDLE h = Start([go] { return WaitForSingleObject(go, INFINITE); });
  // Each level as set and as the eight-level scale reads it.
  const std::pair<int, int> levels[] = {
      {103, THREAD_PRIORITY_TIME_CRITICAL}, {0, THREAD_PRIORITY_TIME_CRITICAL},
      {247, THREAD_PRIORITY_TIME_CRITICAL}, {248, THREAD_PRIORITY_TIME_CRITICAL},
      {250, THREAD_PRIORITY_ABOVE_NORMAL},  {255, THREAD_PRIORITY_IDLE}};
  for (auto [level, eightLevel] : levels) {
    EXPECT_TRUE(CeSetThreadPriority(h, level));
    EXPECT_EQ(CeGetThreadPriority(h), level);
    EXPECT_EQ(GetThreadPriority(h), eightLevel) << level;
  }
  for (int bad : {-1, 256, 1000}) {
    SetLastError(0);
    EXPECT_FALSE(CeSetThreadPriority(h, bad));
    EXPECT_EQ(GetLastError(), kInvalidParameter);
  }
  EXPECT_EQ(CeGetThreadPriority(h), 255);
  SetEvent(go);
  Join(h);
  CloseHandle(go);
}

TEST(Priorities, PseudoHandleSetsTheCallersOwnPriority) {
  HANDLE h = Start([] {
    if (!CeSetThreadPriority(GetCurrentThread(), 120)) return 1u;
    if (CeGetThreadPriority(GetCurrentThread()) != 120) return 2u;
    if (!SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL)) return 3u;
    if (CeGetThreadPriority(GetCurrentThread()) != 252) return 4u;
    return 0u;
  });
  const int mainBefore = CeGetThreadPriority(GetCurrentThread());
  EXPECT_EQ(Join(h), 0u);
  EXPECT_EQ(CeGetThreadPriority(GetCurrentThread()), mainBefore);
}

TEST(CriticalSections, OwnerMayEnterAgain) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs));
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), GetCurrentThreadId());
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), GetCurrentThreadId());
  LeaveCriticalSection(&cs);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);  // a second delete does nothing
}

// Leaving hands the section to a waiter: an owner that leaves and enters again in a loop cannot
// starve it, and of two waiters the one of higher priority goes first.
TEST(CriticalSections, LeavingHandsTheSectionToTheWaiterOfHighestPriority) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  std::vector<int> order;  // under cs
  ASSERT_EQ(CeGetThreadPriority(GetCurrentThread()), CE_THREAD_PRIO_256_NORMAL);
  EnterCriticalSection(&cs);
  HANDLE ready[2] = {NewEvent(true), NewEvent(true)};
  auto waiter = [&cs, &order](int name, int priority256, HANDLE atSection) {
    return Start([&cs, &order, name, priority256, atSection] {
      CeSetThreadPriority(GetCurrentThread(), priority256);
      SetEvent(atSection);
      EnterCriticalSection(&cs);
      order.push_back(name);
      LeaveCriticalSection(&cs);
      return 0u;
    });
  };
  // The first waiter has this thread's own (normal) priority and arrived before it re-enters.
  HANDLE low = waiter(1, CE_THREAD_PRIO_256_NORMAL, ready[0]);
  HANDLE high = waiter(2, CE_THREAD_PRIO_256_NORMAL - 2, ready[1]);
  // Both must be queued on the section before it is left. There is nothing to wait on for the
  // queueing itself, so wait until both are at the section, however long a busy machine takes,
  // and then give them the few instructions to its queue.
  ASSERT_EQ(WaitForMultipleObjects(2, ready, TRUE, 10000), WAIT_OBJECT_0);
  Sleep(200);
  LeaveCriticalSection(&cs);
  EnterCriticalSection(&cs);
  order.push_back(0);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(Join(high), 0u);
  EXPECT_EQ(Join(low), 0u);
  EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
  DeleteCriticalSection(&cs);
  for (HANDLE r : ready) CloseHandle(r);
}

TEST(CriticalSections, TryEnterFromAnotherThreadFailsUntilFullyLeft) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  auto tryFromOtherThread = [&cs] {
    return Join(Start([&cs] {
      if (!TryEnterCriticalSection(&cs)) return 0u;
      DWORD owner = sim::CriticalSectionOwner(&cs);
      LeaveCriticalSection(&cs);
      return owner == GetCurrentThreadId() ? 1u : 2u;
    }));
  };
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_EQ(tryFromOtherThread(), 0u);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(tryFromOtherThread(), 0u);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), GetCurrentThreadId());
  LeaveCriticalSection(&cs);
  EXPECT_EQ(tryFromOtherThread(), 1u);
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);
}

TEST(CriticalSections, EnterWaitsForTheOwnerToLeave) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  HANDLE ready = NewEvent(true);
  HANDLE entered = NewEvent(true);
  EnterCriticalSection(&cs);
  HANDLE h = Start([&cs, ready, entered] {
    SetEvent(ready);
    EnterCriticalSection(&cs);
    DWORD owner = sim::CriticalSectionOwner(&cs);
    SetEvent(entered);
    LeaveCriticalSection(&cs);
    return owner;
  });
  DWORD id = 0;
  ASSERT_EQ(WaitForSingleObject(ready, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(entered, 50), WAIT_TIMEOUT);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(WaitForSingleObject(entered, 10000), WAIT_OBJECT_0);
  id = Join(h);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);
  CloseHandle(ready);
  CloseHandle(entered);
}

TEST(CriticalSections, ExcludeEachOtherUnderContention) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  constexpr int kThreads = 4;
  constexpr int kRounds = 4000;
  long counter = 0;  // plain on purpose: only the section protects it
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  HANDLE go = NewEvent(true);
  std::vector<HANDLE> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.push_back(Start([&] {
      WaitForSingleObject(go, INFINITE);
      for (int i = 0; i < kRounds; ++i) {
        EnterCriticalSection(&cs);
        if (++inside != 1) overlapped = true;
        EnterCriticalSection(&cs);  // nested, as the owner may
        ++counter;
        LeaveCriticalSection(&cs);
        --inside;
        LeaveCriticalSection(&cs);
      }
      return 0u;
    }));
  }
  SetEvent(go);
  for (HANDLE h : threads) EXPECT_EQ(Join(h), 0u);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(sim::CriticalSectionOwner(&cs), 0u);
  DeleteCriticalSection(&cs);
  CloseHandle(go);
}

// The classic inversion under device scheduling (strict priorities, one core): a low thread holds
// a section, a high thread waits for it, a middle thread runs busy. With inheritance the low
// thread runs at the high one's level until it leaves, so the high thread has the section within
// the low thread's hold; without it the middle thread keeps the low one from running, and the
// high thread waits for the middle one to stop. Meaningless where the host shares the CPU fairly.
class PriorityInversion : public testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!sim::DeviceScheduling()) {
      GTEST_SKIP() << "needs device scheduling (TV_SCHED=device, real-time policies granted): "
                      "under the host's fair sharing the low thread runs anyway";
    }
    sim::SetPriorityInheritance(GetParam());
  }
  void TearDown() override { sim::SetPriorityInheritance(true); }
};

TEST_P(PriorityInversion, HighWaiterGetsTheSectionWithinTheHoldOnlyWithInheritance) {
  constexpr double kHoldMs = 100;     // of the low thread's own running time
  constexpr double kMiddleMs = 3000;  // busy, unless the high thread is through first
  const int base = CeGetThreadPriority(GetCurrentThread());
  // Above the three, so that this thread starts them and sets their priorities before they run.
  ASSERT_TRUE(CeSetThreadPriority(GetCurrentThread(), 200));
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  HANDLE held = NewEvent(true);
  std::atomic<bool> stop{false};
  HANDLE low = Start([&] {
    EnterCriticalSection(&cs);
    SetEvent(held);
    // Counts only the time it runs: a gap of a millisecond or more is time another thread had.
    double ran = 0;
    for (Clock::time_point last = Clock::now(); ran < kHoldMs;) {
      const Clock::time_point now = Clock::now();
      const double step = std::chrono::duration<double, std::milli>(now - last).count();
      if (step < 1.0) ran += step;
      last = now;
    }
    LeaveCriticalSection(&cs);
    return 0u;
  });
  ASSERT_NE(low, nullptr);
  ASSERT_TRUE(CeSetThreadPriority(low, 252));
  ASSERT_EQ(WaitForSingleObject(held, 10000), WAIT_OBJECT_0);
  HANDLE middle = Start([&] {
    const Clock::time_point start = Clock::now();
    while (!stop.load(std::memory_order_relaxed) && MsSince(start) < kMiddleMs) {
    }
    return 0u;
  });
  ASSERT_NE(middle, nullptr);
  ASSERT_TRUE(CeSetThreadPriority(middle, 250));
  std::atomic<double> waitedMs{-1};
  HANDLE high = Start([&] {
    const Clock::time_point start = Clock::now();
    EnterCriticalSection(&cs);
    waitedMs = MsSince(start);
    LeaveCriticalSection(&cs);
    return 0u;
  });
  ASSERT_NE(high, nullptr);
  ASSERT_TRUE(CeSetThreadPriority(high, 248));
  EXPECT_EQ(Join(high, 20000), 0u);
  stop = true;
  EXPECT_EQ(Join(middle, 20000), 0u);
  EXPECT_EQ(Join(low, 20000), 0u);
  if (GetParam()) {
    // The hold, and the little the others had meanwhile; far below the middle thread's run.
    EXPECT_GE(waitedMs.load(), 0.0);
    EXPECT_LT(waitedMs.load(), kHoldMs + 400) << "the low holder was not raised above the middle";
  } else {
    EXPECT_GT(waitedMs.load(), kMiddleMs - 500) << "the setup did not produce the inversion";
  }
  DeleteCriticalSection(&cs);
  CloseHandle(held);
  CeSetThreadPriority(GetCurrentThread(), base);
}

INSTANTIATE_TEST_SUITE_P(CriticalSections, PriorityInversion, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Inheritance" : "NoInheritance";
                         });

// The host parker every blocked platform call sleeps on. A wake-up is never lost, whether it
// comes before the park, while the thread sleeps or as it falls asleep; a token is taken once; a
// park with a deadline gives up only once the deadline has passed.
TEST(HostParker, WakeUpsAreNeitherLostNorTakenTwice) {
  using sim::os_detail::Parker;
  Parker parker;
  parker.Unpark();
  parker.Unpark();  // tokens do not add up
  parker.Park();    // returns at once on the token left before it
  Clock::time_point start = Clock::now();
  EXPECT_FALSE(parker.ParkUntil(start + std::chrono::milliseconds(20))) << "token taken twice";
  ExpectElapsed(start, 20);
  EXPECT_FALSE(parker.ParkUntil(Clock::now() - std::chrono::milliseconds(1)));
  parker.Unpark();
  EXPECT_TRUE(parker.ParkUntil(Clock::now() - std::chrono::milliseconds(1)))
      << "a token left before a park whose deadline has passed is still taken";

  // A waker that comes while the thread sleeps, timed or not, wakes it.
  for (bool timed : {false, true}) {
    std::atomic<bool> woken{false};
    std::thread sleeper([&] {
      if (timed) {
        EXPECT_TRUE(parker.ParkUntil(Clock::now() + std::chrono::seconds(30)));
      } else {
        parker.Park();
      }
      woken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(woken) << "woken without a token";
    parker.Unpark();
    sleeper.join();
    EXPECT_TRUE(woken);
  }
}

// Two threads that wake each other in turn, the waker racing the sleeper into its park every
// round: a lost wake-up stops the exchange, seen as a park that runs into its deadline.
TEST(HostParker, PingPongLosesNoWakeUp) {
  using sim::os_detail::Parker;
  constexpr int kRounds = 20000;
  Parker ping, pong;
  std::atomic<int> missed{0};
  auto park = [&missed](Parker& p) {
    if (!p.ParkUntil(Clock::now() + std::chrono::seconds(10))) ++missed;
  };
  std::thread partner([&] {
    for (int i = 0; i < kRounds && missed == 0; ++i) {
      park(ping);
      pong.Unpark();
    }
  });
  for (int i = 0; i < kRounds && missed == 0; ++i) {
    ping.Unpark();
    park(pong);
  }
  ping.Unpark();  // frees the partner should this side have stopped early
  partner.join();
  EXPECT_EQ(missed, 0);
}

// The interlocked calls' results: Increment and Decrement give the new value, the others the
// value from before; a compare-exchange stores only on a match; the arithmetic wraps at 32 bits.
TEST(Interlocked, ResultsAreThePublishedOnes) {
  LONG word = 5;
  EXPECT_EQ(InterlockedIncrement(&word), 6);
  EXPECT_EQ(InterlockedDecrement(&word), 5);
  EXPECT_EQ(InterlockedExchangeAdd(&word, 10), 5);
  EXPECT_EQ(word, 15);
  EXPECT_EQ(InterlockedExchange(&word, -1), 15);
  EXPECT_EQ(InterlockedIncrement(&word), 0);
  EXPECT_EQ(InterlockedCompareExchange(&word, 7, 1), 0);
  EXPECT_EQ(word, 0) << "no match: nothing stored";
  EXPECT_EQ(InterlockedCompareExchange(&word, 7, 0), 0);
  EXPECT_EQ(word, 7);
  word = 0x7FFFFFFF;
  EXPECT_EQ(InterlockedIncrement(&word), static_cast<LONG>(0x80000000u));
  EXPECT_EQ(InterlockedDecrement(&word), 0x7FFFFFFF);

  int a = 0, b = 0;
  PVOID p = &a;
  EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &a), &b);
  EXPECT_EQ(p, &b) << "no match: nothing stored";
  EXPECT_EQ(InterlockedCompareExchangePointer(&p, nullptr, &b), &b);
  EXPECT_EQ(p, nullptr);
}

// Increments and compare-exchange loops of several threads on shared words lose nothing: every
// thread finds its own bit set between setting and clearing it, and the counts add up.
TEST(Interlocked, NoChangeIsLostUnderContention) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 20000;
  LONG count = 0;
  LONG bits = 0;
  std::atomic<int> lostBits{0};
  HANDLE go = NewEvent(true);
  std::vector<HANDLE> threads;
  for (int t = 0; t < kThreads; ++t) {
    const LONG mine = 1 << t;
    threads.push_back(Start([&, mine] {
      WaitForSingleObject(go, INFINITE);
      for (int i = 0; i < kRounds; ++i) {
        InterlockedIncrement(&count);
        for (LONG old = InterlockedExchangeAdd(&bits, 0);;) {
          const LONG seen = InterlockedCompareExchange(&bits, old | mine, old);
          if (seen == old) break;
          old = seen;
        }
        if ((InterlockedExchangeAdd(&bits, 0) & mine) == 0) ++lostBits;
        for (LONG old = InterlockedExchangeAdd(&bits, 0);;) {
          const LONG seen = InterlockedCompareExchange(&bits, old & ~mine, old);
          if (seen == old) break;
          old = seen;
        }
      }
      return 0u;
    }));
  }
  SetEvent(go);
  for (HANDLE h : threads) EXPECT_EQ(Join(h), 0u);
  EXPECT_EQ(count, LONG{kThreads} * kRounds);
  EXPECT_EQ(bits, 0);
  EXPECT_EQ(lostBits.load(), 0);
  CloseHandle(go);
}

// Misuse that would crash the real platform stops the process with a message instead.
class CriticalSectionDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(CriticalSectionDeathTest, EnterOfAnUninitialisedSectionStops) {
  CRITICAL_SECTION cs = {};
  EXPECT_DEATH(EnterCriticalSection(&cs), "EnterCriticalSection");
  EXPECT_DEATH(TryEnterCriticalSection(&cs), "TryEnterCriticalSection");
}

TEST_F(CriticalSectionDeathTest, EnterOfADeletedSectionStops) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  DeleteCriticalSection(&cs);
  EXPECT_DEATH(EnterCriticalSection(&cs), "EnterCriticalSection");
  EXPECT_DEATH(LeaveCriticalSection(&cs), "LeaveCriticalSection");
}

TEST_F(CriticalSectionDeathTest, LeaveByAThreadThatDoesNotOwnItStops) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EXPECT_DEATH(LeaveCriticalSection(&cs), "LeaveCriticalSection");
  DeleteCriticalSection(&cs);
}

TEST(LastError, IsKeptPerThread) {
  SetLastError(1234);
  HANDLE h = Start([] {
    if (GetLastError() != 0) return 1u;
    SetLastError(99);
    return GetLastError() == 99 ? 0u : 2u;
  });
  EXPECT_EQ(Join(h), 0u);
  EXPECT_EQ(GetLastError(), 1234u);
  SetLastError(0);
  EXPECT_EQ(GetLastError(), 0u);
}

}  // namespace

namespace {

// CPU time of the calling thread as the host's own clock reports it.
double OwnCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Burns `seconds` of the calling thread's CPU time: on a busy machine this takes longer, but the
// amount burnt is the same.
void Spin(double seconds) {
  const double end = OwnCpuSeconds() + seconds;
  volatile unsigned sink = 0;
  while (OwnCpuSeconds() < end) sink = sink + 1;
}

}  // namespace

// Only the platform's own threads count: a thread of the host (a model's, say) does not. The
// counted time is compared with what the host reports for the thread itself, not with a wall
// time, which a loaded machine stretches.
TEST(ThreadCpu, CountsCreatedThreadsEvenAfterTheyEndButNotHostThreads) {
  const double before = sim::PlatformThreadCpuSeconds();
  std::atomic<double> ownCpu{0};
  HANDLE h = Start([&ownCpu] {
    Spin(0.040);
    ownCpu = OwnCpuSeconds();
    return 0u;
  });
  EXPECT_EQ(Join(h), 0u);
  const double afterCreated = sim::PlatformThreadCpuSeconds();
  // All of the thread's time counts (read at its end, after ownCpu), and nothing twice; a little
  // more is its exit, and the margin allows for a slow exit under a sanitizer.
  EXPECT_GE(afterCreated - before, ownCpu.load());
  EXPECT_LT(afterCreated - before, ownCpu.load() + 0.030);
  std::thread host([] { Spin(0.040); });
  host.join();
  EXPECT_LT(sim::PlatformThreadCpuSeconds() - afterCreated, 0.020);
}
