// The counting layer over winmm's multimedia timer: timeSetEvent and timeKillEvent are winmm's;
// each callback passes through a trampoline that counts it while it runs and adds its CPU time,
// and one-shot timers leave the live count once their callback has returned.
//
// Timers::lock protects the table. A timer's record is never freed: winmm may still be calling
// the trampoline of a timer that was just killed, and the record is what that call reads.
#define TV_WINDOWS_LAYER 1

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "sim/os/os_internal.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

struct TimerRecord {
  LPTIMECALLBACK callback;
  DWORD_PTR user;
  bool periodic;
};

struct Timers {
  std::mutex lock;
  std::unordered_map<UINT, TimerRecord*> live;  // set, not killed, one-shots not yet fired
  std::atomic<size_t> running{0};
  std::atomic<int64_t> callbackNanos{0};
};

Timers& T() {
  static Timers* timers = new Timers;
  return *timers;
}

int64_t ThreadNanos() {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
  };
  return (ticks(kernel) + ticks(user)) * 100;
}

void CALLBACK Trampoline(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1, DWORD_PTR dw2) {
  const TimerRecord* record = reinterpret_cast<const TimerRecord*>(user);
  T().running.fetch_add(1);
  const int64_t start = ThreadNanos();
  record->callback(timerId, msg, record->user, dw1, dw2);
  T().callbackNanos.fetch_add(ThreadNanos() - start);
  if (!record->periodic) {
    std::lock_guard<std::mutex> guard(T().lock);
    T().live.erase(timerId);
  }
  T().running.fetch_sub(1);
}

}  // namespace

size_t TimerCallbacksRunning() {
  return T().running.load();
}

size_t LiveTimerCount() {
  std::lock_guard<std::mutex> guard(T().lock);
  return T().live.size();
}

namespace os_detail {
double TimerCallbackCpuSeconds() {
  return static_cast<double>(T().callbackNanos.load()) * 1e-9;
}
}  // namespace os_detail

}  // namespace sim

using namespace sim;

extern "C" MMRESULT TvTimeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback,
                                   DWORD_PTR user, UINT eventType) {
  if (callback == nullptr) return 0;
  auto* record = new TimerRecord{callback, user, (eventType & TIME_PERIODIC) != 0};
  // Held across the call so that a one-shot that fires at once finds its entry to remove.
  std::lock_guard<std::mutex> guard(T().lock);
  const MMRESULT id =
      timeSetEvent(delay, resolution, Trampoline, reinterpret_cast<DWORD_PTR>(record), eventType);
  if (id == 0) {
    delete record;
    return 0;
  }
  T().live[id] = record;
  return id;
}

extern "C" MMRESULT TvTimeKillEvent(UINT timerId) {
  const MMRESULT result = timeKillEvent(timerId);
  if (result == TIMERR_NOERROR) {
    std::lock_guard<std::mutex> guard(T().lock);
    T().live.erase(timerId);
  }
  return result;
}
