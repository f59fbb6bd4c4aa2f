// CPU time of the simulated device's threads by kind, so that a measurement can say where the time
// goes: the platform's threads (by start routine), the multimedia timer's threads, the host stack's
// threads and the bridge models' worker.
#pragma once

#include <vector>

namespace sim {

enum class ThreadKind {
  Created,      // made by CreateThread
  Timer,        // a multimedia timer's thread (its callbacks)
  HostStack,    // the USB host stack: control and completion threads (completion routines)
  BridgeModel,  // the bridge models' line engine
  Application,  // any other thread that calls the platform (wake counts only, sim/os/wake_count.h)
};

struct ThreadCpu {
  ThreadKind kind;
  const void* routine;  // the start routine of a Created thread, null otherwise
  double seconds;       // all threads of this kind and routine, ended ones included
};

// One entry per kind and routine seen so far. Empty where the host gives no per-thread clocks
// (the Windows backend).
std::vector<ThreadCpu> ThreadCpuTable();

}  // namespace sim
