// The multimedia timer: every timer runs on a thread of its own, so that a callback that blocks
// (a poll waiting on the bus) never delays the callbacks of other timers.
//
// timeKillEvent stops the timer at once: no callback starts after it returns. It waits for a
// callback that is running only when the timer was set with TIME_KILL_SYNCHRONOUS; without that
// flag the platform lets a running callback go on after the kill, and so does this one.
//
// Timers::lock protects the table and every Timer's fields. A killed timer stays in the table
// until its thread has left its loop, so that every timeKillEvent of it, even a late concurrent
// one, can wait for that.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "sim/os/cpu_account.h"
#include "sim/os/os_internal.h"
#include "sim/os/sched.h"
#include "sim/os/sim_os.h"
#include "sim/os/wake_count.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr UINT kMaxDelay = 1000000;
// How often a thread waiting in timeKillEvent looks whether it was terminated meanwhile.
constexpr auto kKillerPoll = std::chrono::milliseconds(20);

struct Timer {
  UINT id = 0;
  std::chrono::milliseconds delay{0};
  bool periodic = false;
  bool killSynchronous = false;  // timeKillEvent waits for a running callback
  LPTIMECALLBACK callback = nullptr;
  DWORD_PTR user = 0;
  bool killed = false;
  bool finished = false;  // the thread has left its loop: no callback runs or will start
  std::thread::id thread;
  std::condition_variable wake;
};

struct Timers {
  std::mutex lock;
  std::condition_variable finished;  // some timer's thread has left its loop
  std::map<UINT, std::shared_ptr<Timer>> table;
  UINT nextId = 1;
  size_t running = 0;  // callbacks running now, all timers
};

// Never destroyed: timer threads may still run while the process exits.
Timers& T() {
  static Timers* timers = new Timers;
  return *timers;
}

void RunTimer(std::shared_ptr<Timer> timer) {
  sched::EnterSimulationThread();
  os_detail::CpuAccount account(ThreadKind::Timer);
  std::unique_lock<std::mutex> held(T().lock);
  Clock::time_point due = Clock::now() + timer->delay;
  for (;;) {
    while (!timer->killed && Clock::now() < due) {
      os_detail::CountedWaitUntil(timer->wake, held, due,
                                  [&] { return timer->killed || Clock::now() >= due; });
    }
    if (timer->killed) break;
    ++T().running;
    held.unlock();
    timer->callback(timer->id, 0, timer->user, 0, 0);
    held.lock();
    --T().running;
    if (!timer->periodic) break;
    // Keep the period's grid, but never fire a burst to catch up after a slow callback.
    due += timer->delay;
    Clock::time_point now = Clock::now();
    if (due < now) due = now;
  }
  timer->killed = true;
  timer->finished = true;
  T().table.erase(timer->id);
  T().finished.notify_all();
}

}  // namespace

size_t TimerCallbacksRunning() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().running;
}

size_t LiveTimerCount() {
  std::lock_guard<std::mutex> guard(T().lock);
  size_t live = 0;
  for (const auto& entry : T().table) {
    if (!entry.second->killed) ++live;
  }
  return live;
}

}  // namespace sim

using namespace sim;

extern "C" MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback,
                                 DWORD_PTR user, UINT eventType) {
  os_detail::Checkpoint();
  (void)resolution;
  if (callback == nullptr || delay == 0 || delay > kMaxDelay ||
      (eventType & ~(TIME_PERIODIC | TIME_KILL_SYNCHRONOUS)) != 0) {
    return 0;
  }
  auto timer = std::make_shared<Timer>();
  timer->delay = std::chrono::milliseconds(delay);
  timer->periodic = (eventType & TIME_PERIODIC) != 0;
  timer->killSynchronous = (eventType & TIME_KILL_SYNCHRONOUS) != 0;
  timer->callback = callback;
  timer->user = user;
  std::lock_guard<std::mutex> guard(T().lock);
  timer->id = T().nextId++;
  if (T().nextId == 0) T().nextId = 1;
  try {
    std::thread thread(RunTimer, timer);
    timer->thread = thread.get_id();
    thread.detach();
  } catch (const std::system_error&) {
    return 0;
  }
  T().table.emplace(timer->id, timer);
  return timer->id;
}

extern "C" MMRESULT timeKillEvent(UINT timerId) {
  os_detail::Checkpoint();
  std::unique_lock<std::mutex> held(T().lock);
  auto it = T().table.find(timerId);
  if (it == T().table.end()) return MMSYSERR_INVALPARAM;
  std::shared_ptr<Timer> timer = it->second;
  const MMRESULT result = timer->killed ? MMSYSERR_INVALPARAM : TIMERR_NOERROR;
  timer->killed = true;
  timer->wake.notify_all();
  // From its own callback the loop ends when the callback returns.
  if (!timer->killSynchronous || timer->thread == std::this_thread::get_id()) return result;
  while (!timer->finished) {
    T().finished.wait_for(held, kKillerPoll);
    if (os_detail::Terminated()) {
      held.unlock();
      os_detail::Checkpoint();
    }
  }
  return result;
}
