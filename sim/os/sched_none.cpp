// Device scheduling where the host has no support for it here (Windows, non-Linux POSIX): the
// option is not offered and scheduling stays the host's.
#include "sim/os/sched.h"

namespace sim::sched {
namespace {
thread_local bool tSimulation = false;
}  // namespace

bool DeviceScheduling() {
  return false;
}
void EnterSimulationThread() {
  tSimulation = true;
}
bool IsSimulationThread() {
  return tSimulation;
}
int CurrentHostThread() {
  return 0;
}
void SetRank(int, int) {}

}  // namespace sim::sched
