// Blocked waits and wake-ups of the simulated device's threads, by kind (and start routine), so
// that a measurement can count the data path's work instead of timing it. Every place where a
// thread of the simulation sleeps counts here: the simulated kernel's waits, sections and Sleep,
// the multimedia timer, the host stack's threads and synchronous transfers, the bridge models'
// engine. A thread that never made a CpuAccount (the test's or tool's own threads, calling the
// driver as applications do) counts as an application thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <vector>

#include "sim/os/thread_cpu.h"

namespace sim {

struct ThreadWakes {
  ThreadKind kind;
  const void* routine;  // the start routine of a Created thread, null otherwise
  // Waits that could not be satisfied at once, and the wake-ups that ended them (one per blocked
  // wait: a sleep that ends with the wait still unsatisfied, on a stale token or a broadcast for
  // another waiter, sleeps on within the same wait); of those, the ones a time-out ended.
  uint64_t blockedWaits;
  uint64_t wakeups;
  uint64_t timeouts;
  // Critical sections found owned, and the wake-ups that handed them over (or found them taken
  // again): contention, which depends on how the host schedules the threads, kept apart.
  uint64_t sectionWaits;
  uint64_t sectionWakeups;
  // Waits inside the host stack's calls (a synchronous transfer, a close that waits for the
  // transfer's completion routine to return), also kept apart: the host stack's doing.
  uint64_t hostCallWaits;
  uint64_t hostCallWakeups;
};

// One entry per kind and routine seen so far, ended threads included.
std::vector<ThreadWakes> ThreadWakeTable();
// False where the platform's own waits are not the simulation's (the Windows backend): the table
// then holds only the host stack's and the bridge models' threads.
bool KernelWaitsCounted();

namespace os_detail {

struct WakeCounter {
  std::atomic<uint64_t> blockedWaits{0};
  std::atomic<uint64_t> wakeups{0};
  std::atomic<uint64_t> timeouts{0};
  std::atomic<uint64_t> sectionWaits{0};
  std::atomic<uint64_t> sectionWakeups{0};
  std::atomic<uint64_t> hostCallWaits{0};
  std::atomic<uint64_t> hostCallWakeups{0};
};

// Files the calling thread's counts under `kind` and `routine` from now on (CpuAccount does this).
void SetWakeGroup(ThreadKind kind, const void* routine);
// The calling thread's counter.
WakeCounter& MyWakes();

inline void NoteBlocked() {
  MyWakes().blockedWaits.fetch_add(1, std::memory_order_relaxed);
}
inline void NoteWoken(bool timedOut) {
  WakeCounter& c = MyWakes();
  c.wakeups.fetch_add(1, std::memory_order_relaxed);
  if (timedOut) c.timeouts.fetch_add(1, std::memory_order_relaxed);
}

inline void NoteSectionBlocked() {
  MyWakes().sectionWaits.fetch_add(1, std::memory_order_relaxed);
}
inline void NoteSectionWoken() {
  MyWakes().sectionWakeups.fetch_add(1, std::memory_order_relaxed);
}

// condition_variable::wait and wait_until with a predicate, counted.
template <typename Cv, typename Lock, typename Pred>
void CountedWait(Cv& cv, Lock& lock, Pred pred) {
  if (pred()) return;
  NoteBlocked();
  cv.wait(lock, pred);
  NoteWoken(false);
}

// The same for a wait inside a host stack call, made in the caller's thread.
template <typename Cv, typename Lock, typename Pred>
void CountedHostCallWait(Cv& cv, Lock& lock, Pred pred) {
  if (pred()) return;
  WakeCounter& c = MyWakes();
  c.hostCallWaits.fetch_add(1, std::memory_order_relaxed);
  cv.wait(lock, pred);
  c.hostCallWakeups.fetch_add(1, std::memory_order_relaxed);
}

template <typename Cv, typename Lock, typename Clock, typename Duration, typename Pred>
bool CountedWaitUntil(Cv& cv, Lock& lock, const std::chrono::time_point<Clock, Duration>& deadline,
                      Pred pred) {
  if (pred()) return true;
  NoteBlocked();
  const bool met = cv.wait_until(lock, deadline, pred);
  NoteWoken(!met);
  return met;
}

}  // namespace os_detail
}  // namespace sim
