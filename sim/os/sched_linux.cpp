// Device scheduling on Linux: SCHED_RR through sched_setscheduler, one CPU through
// sched_setaffinity. Threads inherit both from their creator (glibc's default), so a thread the
// simulation does not know about (a test's own) runs where its creator ran.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim/os/sched.h"

namespace sim::sched {
namespace {

constexpr int kApplicationRank = 251;

bool Decide() {
  const char* value = std::getenv("TV_SCHED");
  if (value == nullptr || value[0] == 0) return false;
  if (std::strcmp(value, "device") != 0) {
    std::fprintf(stderr, "TV_SCHED=%s is not understood (device, or unset): host scheduling\n",
                 value);
    return false;
  }
  // The first CPU the process may use, so that `taskset -c N` chooses it.
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  int cpu = 0;
  if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    while (cpu < CPU_SETSIZE && !CPU_ISSET(cpu, &allowed)) ++cpu;
    if (cpu == CPU_SETSIZE) cpu = 0;
  }
  sched_param param{};
  param.sched_priority = LevelForRank(kApplicationRank);
  if (sched_setscheduler(0, SCHED_RR, &param) != 0) {
    std::fprintf(stderr,
                 "TV_SCHED=device: the host refuses real-time scheduling (%s); scheduling stays "
                 "the host's\n",
                 std::strerror(errno));
    return false;
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) != 0) {
    std::fprintf(stderr,
                 "TV_SCHED=device: cannot pin to CPU %d (%s); scheduling stays the host's\n", cpu,
                 std::strerror(errno));
    param.sched_priority = 0;
    sched_setscheduler(0, SCHED_OTHER, &param);
    return false;
  }
  return true;
}

thread_local bool tSimulation = false;

}  // namespace

// Decided once, at the first call: the host mutexes of the simulation's statics ask as they are
// made, which may come before this file's own initialisation.
bool DeviceScheduling() {
  static const bool device = Decide();
  return device;
}

namespace {
// Otherwise decided as the library is loaded, on the loading thread, before the process starts
// threads.
[[maybe_unused]] const bool gDevice = DeviceScheduling();
}  // namespace

void EnterSimulationThread() {
  tSimulation = true;
  if (DeviceScheduling()) SetRank(0, kSimulationRank);
}

bool IsSimulationThread() {
  return tSimulation;
}

int CurrentHostThread() {
  return static_cast<int>(syscall(SYS_gettid));
}

void SetRank(int hostThread, int rank) {
  if (!DeviceScheduling()) return;
  sched_param param{};
  param.sched_priority = LevelForRank(rank);
  sched_setscheduler(hostThread, SCHED_RR, &param);
}

}  // namespace sim::sched
