// Events and waits: reset modes, set/reset/pulse, single and multiple waits with their time-outs,
// and every call on a handle that is not, or no longer, valid.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "os_test_util.h"
#include "platform/ce_os.h"
#include "sim/os/sim_os.h"
#include "sim/os/wake_count.h"

namespace {

using namespace ostest;

TEST(Events, ManualResetStaysSignalledUntilReset) {
  HANDLE ev = NewEvent(true);
  ASSERT_NE(ev, nullptr);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(ev));
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(ev));
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(ev));

  HANDLE initiallySet = NewEvent(true, true);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(initiallySet, 0), WAIT_OBJECT_0);
  CloseHandle(initiallySet);
}

TEST(Events, AutoResetGivesEachSignalToOneWait) {
  HANDLE ev = NewEvent(false, true);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  // Signals do not add up.
  SetEvent(ev);
  SetEvent(ev);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  SetEvent(ev);
  ResetEvent(ev);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  CloseHandle(ev);
}

TEST(Events, AutoResetSetFreesOneOfTwoWaiters) {
  HANDLE ev = NewEvent(false);
  HANDLE released = NewEvent(false);
  std::atomic<int> count{0};
  auto waiter = [&] {
    DWORD r = WaitForSingleObject(ev, INFINITE);
    ++count;
    SetEvent(released);
    return r;
  };
  HANDLE a = Start(waiter);
  HANDLE b = Start(waiter);
  ASSERT_TRUE(a && b);
  EXPECT_TRUE(SetEvent(ev));
  ASSERT_EQ(WaitForSingleObject(released, 5000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(released, 50), WAIT_TIMEOUT);
  EXPECT_EQ(count.load(), 1);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(ev));
  EXPECT_EQ(Join(a), WAIT_OBJECT_0);
  EXPECT_EQ(Join(b), WAIT_OBJECT_0);
  EXPECT_EQ(count.load(), 2);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  CloseHandle(ev);
  CloseHandle(released);
}

// One pulse against `waiters` threads that each wait up to 300 ms. A thread that had not yet
// blocked when the pulse came times out, so callers repeat a round whose outcome such a late thread
// explains. Returns how many waits the pulse released.
int PulseRound(HANDLE ev, int waiters, bool* leftClear) {
  std::vector<HANDLE> ready;
  std::vector<HANDLE> threads;
  for (int i = 0; i < waiters; ++i) {
    HANDLE r = NewEvent(true);
    ready.push_back(r);
    threads.push_back(Start([ev, r] {
      SetEvent(r);
      return WaitForSingleObject(ev, 300);
    }));
  }
  EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(waiters), ready.data(), TRUE, 5000),
            WAIT_OBJECT_0);
  Sleep(20);  // lets them reach the wait; a late one only costs a repeated round
  EXPECT_TRUE(PulseEvent(ev));
  *leftClear = WaitForSingleObject(ev, 0) == WAIT_TIMEOUT;
  int released = 0;
  for (int i = 0; i < waiters; ++i) {
    DWORD r = Join(threads[static_cast<size_t>(i)]);
    EXPECT_TRUE(r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT) << r;
    if (r == WAIT_OBJECT_0) ++released;
    CloseHandle(ready[static_cast<size_t>(i)]);
  }
  return released;
}

// Repeats PulseRound until one releases `expected` waits; no round may release more, and each
// pulse leaves the event clear.
void ExpectPulseReleases(bool manual, int waiters, int expected) {
  HANDLE ev = NewEvent(manual);
  bool reached = false;
  for (int round = 0; round < 5 && !reached; ++round) {
    bool leftClear = false;
    int released = PulseRound(ev, waiters, &leftClear);
    EXPECT_TRUE(leftClear);
    EXPECT_LE(released, expected);
    reached = released == expected;
  }
  EXPECT_TRUE(reached);
  CloseHandle(ev);
}

TEST(Events, PulseOfManualEventReleasesEveryBlockedWaiter) {
  ExpectPulseReleases(true, 3, 3);
}

TEST(Events, PulseOfAutoEventReleasesExactlyOneWaiter) {
  ExpectPulseReleases(false, 2, 1);
}

TEST(Events, PulseWithNoWaiterIsLost) {
  for (bool manual : {true, false}) {
    HANDLE ev = NewEvent(manual);
    EXPECT_TRUE(PulseEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "manual " << manual;
    // A set event pulsed ends clear as well.
    SetEvent(ev);
    PulseEvent(ev);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT) << "manual " << manual;
    CloseHandle(ev);
  }
}

TEST(Events, UnknownModifyFunctionIsRefused) {
  HANDLE ev = NewEvent(true);
  SetLastError(0);
  EXPECT_FALSE(EventModify(ev, 0));
  EXPECT_EQ(GetLastError(), kInvalidParameter);
  EXPECT_FALSE(EventModify(ev, 4));
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  CloseHandle(ev);
}

TEST(Waits, SingleWaitTimesOutNoEarlierThanAsked) {
  HANDLE ev = NewEvent(false);
  for (DWORD ms : {1u, 15u, 60u}) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(ev, ms), WAIT_TIMEOUT);
    ExpectElapsed(start, ms);
  }
  CloseHandle(ev);
}

TEST(Waits, MultipleWaitTimesOutNoEarlierThanAsked) {
  HANDLE h[2] = {NewEvent(false), NewEvent(true)};
  Clock::time_point start = Clock::now();
  EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 40), WAIT_TIMEOUT);
  ExpectElapsed(start, 40);
  EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_TIMEOUT);
  CloseHandle(h[0]);
  CloseHandle(h[1]);
}

TEST(Waits, InfiniteWaitIsReleasedByAnotherThread) {
  HANDLE ev = NewEvent(false);
  Clock::time_point start = Clock::now();  // before the setter starts its sleep
  HANDLE setter = SetLater(ev, 20);
  EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
  EXPECT_GE(MsSince(start), 20.0);
  EXPECT_EQ(Join(setter), 0u);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);  // the wait took the signal

  HANDLE h[3] = {NewEvent(false), NewEvent(false), NewEvent(true)};
  start = Clock::now();
  setter = SetLater(h[1], 20);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_GE(MsSince(start), 20.0);
  EXPECT_EQ(Join(setter), 0u);
  for (HANDLE x : h) CloseHandle(x);
  CloseHandle(ev);
}

TEST(Waits, AnyOfReportsTheLowestSignalledIndexAndTakesOnlyThatSignal) {
  HANDLE h[3] = {NewEvent(false), NewEvent(false), NewEvent(false)};
  SetEvent(h[2]);
  SetEvent(h[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(h[1], 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_OBJECT_0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 0), WAIT_TIMEOUT);
  SetEvent(h[0]);
  SetEvent(h[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, h, FALSE, 1000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h[2], 0), WAIT_OBJECT_0);
  for (HANDLE x : h) CloseHandle(x);
}

TEST(Waits, WaitAllNeedsEverySignalAndTakesThemTogether) {
  HANDLE h[2] = {NewEvent(false), NewEvent(false)};
  SetEvent(h[0]);
  EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 10), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(h[0], 0), WAIT_OBJECT_0);  // left untouched by the failed wait
  SetEvent(h[0]);
  SetEvent(h[1]);
  EXPECT_EQ(WaitForMultipleObjects(2, h, TRUE, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(2, h, FALSE, 0), WAIT_TIMEOUT);
  for (HANDLE x : h) CloseHandle(x);
}

// The counts a measurement divides by the data moved: a wait that need not block counts nothing,
// one that blocks counts one wait and one wake-up (a time-out among them when that ended it), and
// a section found owned counts apart from both.
TEST(Waits, EachBlockedWaitCountsOneWakeUpAndSectionsCountApart) {
  if (!sim::KernelWaitsCounted()) GTEST_SKIP() << "the host's own waits are not counted";
  auto group = [](sim::ThreadKind kind, const void* routine) {
    for (const sim::ThreadWakes& t : sim::ThreadWakeTable())
      if (t.kind == kind && t.routine == routine) return t;
    return sim::ThreadWakes{kind, routine, 0, 0, 0, 0, 0, 0, 0};
  };
  auto mine = [&] { return group(sim::ThreadKind::Application, nullptr); };
  auto started = [&] {
    return group(sim::ThreadKind::Created, reinterpret_cast<const void*>(&RunFunction));
  };
  HANDLE ev = NewEvent(false, true);
  const sim::ThreadWakes before = mine();
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(ev, 20), WAIT_TIMEOUT);
  HANDLE setter = SetLater(ev, 20);
  EXPECT_EQ(WaitForSingleObject(ev, INFINITE), WAIT_OBJECT_0);
  const sim::ThreadWakes after = mine();
  EXPECT_EQ(after.blockedWaits - before.blockedWaits, 2u);
  EXPECT_EQ(after.wakeups - before.wakeups, 2u);
  EXPECT_EQ(after.timeouts - before.timeouts, 1u);
  EXPECT_EQ(after.sectionWaits, before.sectionWaits);
  WaitForSingleObject(setter, INFINITE);
  CloseHandle(setter);

  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  const sim::ThreadWakes threadBefore = started();
  EnterCriticalSection(&cs);
  HANDLE entered = NewEvent(true);
  HANDLE contender = Start([&] {
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    SetEvent(entered);
    return DWORD{0};
  });
  // Held until the contender is blocked on it.
  while (sim::CriticalSectionOwner(&cs) != 0 && started().sectionWaits == threadBefore.sectionWaits)
    Sleep(1);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(WaitForSingleObject(entered, 5000), WAIT_OBJECT_0);
  const sim::ThreadWakes threadAfter = started();
  EXPECT_EQ(threadAfter.sectionWaits - threadBefore.sectionWaits, 1u);
  EXPECT_EQ(threadAfter.sectionWakeups - threadBefore.sectionWakeups, 1u);
  EXPECT_EQ(threadAfter.blockedWaits, threadBefore.blockedWaits);
  WaitForSingleObject(contender, INFINITE);
  CloseHandle(contender);
  CloseHandle(entered);
  DeleteCriticalSection(&cs);
  CloseHandle(ev);
}

TEST(Waits, BadArgumentsFailWithoutBlocking) {
  HANDLE ev = NewEvent(true, true);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(0, &ev, FALSE, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), kInvalidParameter);
  std::vector<HANDLE> many(65, ev);
  EXPECT_EQ(WaitForMultipleObjects(65, many.data(), FALSE, INFINITE), WAIT_FAILED);
  CloseHandle(ev);
}

// The simulation refuses a null handle array; Win32 defines nothing for it (it reads the array).
TEST(Waits, NullHandleArrayIsRefused) {
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(1, nullptr, FALSE, INFINITE), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), kInvalidParameter);
}

using Calls = std::vector<std::pair<const char*, std::function<bool()>>>;

// Each call fails, as its check says, with ERROR_INVALID_HANDLE.
void ExpectEachRefused(const Calls& calls) {
  for (const auto& [name, refused] : calls) {
    SetLastError(0);
    EXPECT_TRUE(refused()) << name;
    EXPECT_EQ(GetLastError(), kInvalidHandle) << name;
  }
}

// Every call that takes an event or thread handle, on a handle that is not one: each fails (an
// exit code is left as it was, a priority read is out of range) with ERROR_INVALID_HANDLE.
void ExpectRefused(HANDLE bad, const char* what) {
  SCOPED_TRACE(what);
  HANDLE good = NewEvent(true, true);
  HANDLE pair[2] = {good, bad};
  DWORD code = 1;
  // clang-format off
  ExpectEachRefused({
      {"SetEvent", [&] { return !SetEvent(bad); }},
      {"ResetEvent", [&] { return !ResetEvent(bad); }},
      {"PulseEvent", [&] { return !PulseEvent(bad); }},
      {"wait 0", [&] { return WaitForSingleObject(bad, 0) == WAIT_FAILED; }},
      {"wait 200", [&] { return WaitForSingleObject(bad, 200) == WAIT_FAILED; }},
      {"wait for any", [&] { return WaitForMultipleObjects(2, pair, FALSE, 200) == WAIT_FAILED; }},
      {"GetExitCodeThread", [&] { return !GetExitCodeThread(bad, &code) && code == 1; }},
      {"TerminateThread", [&] { return !TerminateThread(bad, 0); }},
      {"SetThreadPriority", [&] { return !SetThreadPriority(bad, THREAD_PRIORITY_NORMAL); }},
      {"CeSetThreadPriority", [&] { return !CeSetThreadPriority(bad, 100); }},
      {"CeGetThreadPriority", [&] { int p = CeGetThreadPriority(bad); return p < 0 || p > 255; }},
      {"GetThreadPriority", [&] {
         int p = GetThreadPriority(bad);
         return p < THREAD_PRIORITY_TIME_CRITICAL || p > THREAD_PRIORITY_IDLE; }},
      {"CloseHandle", [&] { return !CloseHandle(bad); }},
  });
  // clang-format on
  CloseHandle(good);
}

TEST(Handles, InvalidAndForeignHandlesFailWithInvalidHandle) {
  const size_t handlesAtStart = sim::KernelHandleCount();
  ExpectRefused(nullptr, "null");
  ExpectRefused(reinterpret_cast<HANDLE>(uintptr_t{0x1234}), "garbage");
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
}

// A registry key is no kernel object here; on desktop Win32 it is one, and these calls fail on it
// with ERROR_ACCESS_DENIED instead.
TEST(Handles, RegistryKeyIsNoKernelHandle) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, TEXT("HandleTest"), 0, nullptr, 0, 0, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS);
  ExpectRefused(reinterpret_cast<HANDLE>(key), "registry key");
  RegCloseKey(key);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, TEXT("HandleTest"));
}

// On the platform the current process's pseudo-handle has another value, so INVALID_HANDLE_VALUE
// names nothing; on desktop Win32 it is the current process (a wait on it times out).
TEST(Handles, InvalidHandleValueNamesNothing) {
  ExpectRefused(INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE");
}

TEST(Handles, WrongKindOfHandleIsRefused) {
  HANDLE go = NewEvent(true);
  HANDLE thread = Start([go] { return WaitForSingleObject(go, 10000); });
  DWORD code = 0;
  ExpectEachRefused(
      {{"SetEvent on a thread", [&] { return !SetEvent(thread); }},
       {"GetExitCodeThread on an event", [&] { return !GetExitCodeThread(go, &code); }},
       {"TerminateThread on an event", [&] { return !TerminateThread(go, 1); }},
       {"SetThreadPriority on an event",
        [&] { return !SetThreadPriority(go, THREAD_PRIORITY_NORMAL); }}});
  EXPECT_FALSE(PulseEvent(GetCurrentThread()));
  SetEvent(go);
  EXPECT_EQ(Join(thread), WAIT_OBJECT_0);
  CloseHandle(go);
}

// Handle values are never reused, so a closed handle stays invalid for every call.
TEST(Handles, ValuesAreNotReusedAndCountsReturnToStart) {
  const size_t handlesAtStart = sim::KernelHandleCount();
  HANDLE closedEvent = NewEvent(true);
  ASSERT_TRUE(CloseHandle(closedEvent));
  ExpectRefused(closedEvent, "closed event");
  HANDLE thread = Start([] { return 0u; });
  Join(thread);
  ExpectRefused(thread, "closed thread");

  std::vector<HANDLE> closed;
  for (int i = 0; i < 20; ++i) {
    HANDLE ev = NewEvent(i % 2 == 0);
    ASSERT_NE(ev, nullptr);
    for (HANDLE old : closed) ASSERT_NE(ev, old);
    EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart + 1);
    CloseHandle(ev);
    closed.push_back(ev);
  }
  EXPECT_EQ(sim::KernelHandleCount(), handlesAtStart);
  for (HANDLE old : closed) {
    SetLastError(0);
    EXPECT_FALSE(SetEvent(old));
    EXPECT_EQ(GetLastError(), kInvalidHandle);
  }
}

}  // namespace
