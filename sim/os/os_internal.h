// Shared between the files of the simulated OS services; not for tests or the driver.
#pragma once

#include <chrono>

#include "platform/ce_os.h"

namespace sim::os_detail {

// Parks the calling thread for good if it has been terminated. Every platform entry calls it first.
void Checkpoint();
// True when the calling thread has been terminated (it must park at its next opportunity).
bool Terminated();
[[noreturn]] void Park();
// Sets the calling thread's last error without a checkpoint (safe with any lock held).
void SetError(DWORD error);

#ifdef _WIN32
// CPU time spent in multimedia timer callbacks so far (the Windows timer thread is not ours).
double TimerCallbackCpuSeconds();
#endif

}  // namespace sim::os_detail
