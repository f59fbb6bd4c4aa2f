// The Windows layer over kernel32: what the platform has beyond desktop Win32 (EventModify, the
// 256-level thread priorities, process permissions), the handle and thread counts of the counting
// layer, and the test-facing counts of sim/os/sim_os.h that a real kernel can answer.
//
// Lock: Layer::lock protects the handle set and the thread list. It is held across the real
// create and close calls, so that a handle value the kernel reuses is never counted twice or
// dropped while its first owner is still being removed.
#define TV_WINDOWS_LAYER 1

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "sim/os/os_internal.h"
#include "sim/os/sim_os.h"
#include "sim/os/wake_count.h"

namespace sim {
namespace {

// Every thread starts with this permission mask, as on the simulated device.
constexpr DWORD kDefaultPermissions = 0x00000001u;
constexpr int kPriorityErrorReturn = THREAD_PRIORITY_ERROR_RETURN;

struct Layer {
  std::mutex lock;
  std::unordered_set<HANDLE> handles;  // events and threads made through the layer, not closed
  std::vector<HANDLE> threads;         // duplicates of threads made by CreateThread, still running
  double endedCpuSeconds = 0;          // of tracked threads that have ended
  std::map<DWORD, double> finalCpu;    // CPU time a thread read itself as it returned, by id
  std::map<DWORD, int> priority256;    // last 256-level priority set, by thread id
};

// Never destroyed: driver threads may still call in while the process exits.
Layer& W() {
  static Layer* layer = new Layer;
  return *layer;
}

thread_local DWORD tPermissions = kDefaultPermissions;

double ThreadCpuSeconds(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return 0;
  auto ticks = [](const FILETIME& t) {
    return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) * 1e-7;  // 100 ns units
}

// Moves the tracked threads that have ended out of the list, keeping their CPU time: what the
// thread read itself as it returned where it did (some Win32 implementations report nothing for
// another thread), otherwise what the kernel reports for its handle.
void PruneEndedLocked() {
  std::vector<HANDLE>& threads = W().threads;
  for (size_t i = 0; i < threads.size();) {
    if (WaitForSingleObject(threads[i], 0) == WAIT_OBJECT_0) {
      auto final = W().finalCpu.find(GetThreadId(threads[i]));
      if (final != W().finalCpu.end()) {
        W().endedCpuSeconds += final->second;
        W().finalCpu.erase(final);
      } else {
        W().endedCpuSeconds += ThreadCpuSeconds(threads[i]);
      }
      CloseHandle(threads[i]);
      threads[i] = threads.back();
      threads.pop_back();
    } else {
      ++i;
    }
  }
}

// The eight CE levels (0 time critical .. 7 idle) on the Win32 scale. Win32 has nothing between
// lowest and idle, so CE's "above idle" shares Win32's lowest.
constexpr int kWin32Level[8] = {THREAD_PRIORITY_TIME_CRITICAL, THREAD_PRIORITY_HIGHEST,
                                THREAD_PRIORITY_ABOVE_NORMAL,  THREAD_PRIORITY_NORMAL,
                                THREAD_PRIORITY_BELOW_NORMAL,  THREAD_PRIORITY_LOWEST,
                                THREAD_PRIORITY_LOWEST,        THREAD_PRIORITY_IDLE};

int Win32From256(int priority256) {
  return kWin32Level[priority256 < 248 ? 0 : priority256 - 248];
}

int Ce256FromWin32(int win32) {
  for (int level = 0; level < 8; ++level) {
    if (kWin32Level[level] == win32) return 248 + level;
  }
  // Levels Win32 has and CE lacks (the real-time class's): the nearest one by direction.
  return win32 > 0 ? 248 : 255;
}

// What CreateThread starts: the routine, then the thread's own CPU time, read as it returns.
struct ThreadStart {
  LPTHREAD_START_ROUTINE routine;
  LPVOID parameter;
};

DWORD WINAPI RunThread(LPVOID p) {
  const ThreadStart start = *static_cast<ThreadStart*>(p);
  delete static_cast<ThreadStart*>(p);
  const DWORD code = start.routine(start.parameter);
  const double cpu = ThreadCpuSeconds(GetCurrentThread());
  std::lock_guard<std::mutex> guard(W().lock);
  W().finalCpu[GetCurrentThreadId()] = cpu;
  return code;
}

[[noreturn]] void Unavailable(const char* what) {
  std::fprintf(stderr, "%s: not available on a real Win32 kernel\n", what);
  std::abort();
}

}  // namespace

size_t LiveThreadCount() {
  std::lock_guard<std::mutex> guard(W().lock);
  PruneEndedLocked();
  return W().threads.size();
}

// TerminateThread ends a thread on Windows; none is ever parked.
size_t ParkedThreadCount() {
  return 0;
}

size_t KernelHandleCount() {
  std::lock_guard<std::mutex> guard(W().lock);
  return W().handles.size();
}

DWORD CriticalSectionOwner(const CRITICAL_SECTION* cs) {
  return static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(cs->OwningThread));
}

// kernel32's sections are what they are; the inversion test is not run on Windows.
void SetPriorityInheritance(bool) {}

bool DeviceScheduling() {
  return false;
}

// kernel32 waits for itself: only the host stack's and the models' waits are counted.
bool KernelWaitsCounted() {
  return false;
}

double PlatformThreadCpuSeconds() {
  std::lock_guard<std::mutex> guard(W().lock);
  PruneEndedLocked();
  double total = W().endedCpuSeconds + os_detail::TimerCallbackCpuSeconds();
  for (HANDLE thread : W().threads) total += ThreadCpuSeconds(thread);
  return total;
}

// The real pointer checks and tick count cannot be steered; tests that do are not run on Windows.
void SetBadPointerRange(const void*, size_t) {
  Unavailable("sim::SetBadPointerRange");
}
void ClearBadPointerRanges() {}  // none can have been declared
void SetTickCount(DWORD) {
  Unavailable("sim::SetTickCount");
}

}  // namespace sim

using namespace sim;

extern "C" BOOL EventModify(HANDLE event, DWORD func) {
  switch (func) {
    case EVENT_SET:
      return SetEvent(event);
    case EVENT_RESET:
      return ResetEvent(event);
    case EVENT_PULSE:
      return PulseEvent(event);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
}

extern "C" BOOL CeSetThreadPriority(HANDLE thread, int priority) {
  if (priority < 0 || priority > 255) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!SetThreadPriority(thread, Win32From256(priority))) return FALSE;
  std::lock_guard<std::mutex> guard(W().lock);
  W().priority256[GetThreadId(thread)] = priority;
  return TRUE;
}

extern "C" int CeGetThreadPriority(HANDLE thread) {
  const int win32 = GetThreadPriority(thread);
  if (win32 == THREAD_PRIORITY_ERROR_RETURN) return kPriorityErrorReturn;
  std::lock_guard<std::mutex> guard(W().lock);
  // The value last set, while the thread is still at its Win32 level (several CE values share one).
  auto it = W().priority256.find(GetThreadId(thread));
  if (it != W().priority256.end() && Win32From256(it->second) == win32) return it->second;
  return Ce256FromWin32(win32);
}

extern "C" DWORD GetCurrentPermissions(void) {
  return tPermissions;
}

extern "C" DWORD SetProcPermissions(DWORD permissions) {
  DWORD old = tPermissions;
  tPermissions = permissions;
  return old;
}

// ---- Counting layer: events and threads

extern "C" HANDLE TvCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                 BOOL initialState, LPCWSTR name) {
  std::lock_guard<std::mutex> guard(W().lock);
  HANDLE event = CreateEventW(attributes, manualReset, initialState, name);
  if (event != nullptr) W().handles.insert(event);
  return event;
}

extern "C" HANDLE TvCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                                 DWORD creationFlags, LPDWORD threadId) {
  // A null routine goes to the kernel as it is, which defines the outcome.
  ThreadStart* start = startAddress != nullptr ? new ThreadStart{startAddress, parameter} : nullptr;
  std::lock_guard<std::mutex> guard(W().lock);
  HANDLE thread =
      start != nullptr
          ? CreateThread(attributes, stackSize, RunThread, start, creationFlags, threadId)
          : CreateThread(attributes, stackSize, startAddress, parameter, creationFlags, threadId);
  if (thread == nullptr) {
    delete start;
    return nullptr;
  }
  W().handles.insert(thread);
  HANDLE own = nullptr;
  const HANDLE self = GetCurrentProcess();
  if (DuplicateHandle(self, thread, self, &own, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    W().threads.push_back(own);
  }
  return thread;
}

extern "C" BOOL TvCloseHandle(HANDLE handle) {
  std::lock_guard<std::mutex> guard(W().lock);
  const BOOL closed = CloseHandle(handle);
  if (closed) W().handles.erase(handle);
  return closed;
}
