// CPU time of the simulated device's own threads, so that a measurement can tell the driver's
// share from the simulated hardware's. Host-specific: cpu_account_posix.cpp reads the host's
// per-thread clocks.
#pragma once

#include <cstdint>

#include "sim/os/thread_cpu.h"

namespace sim::os_detail {

// While the object lives, the calling thread's CPU time counts under its kind (and routine) in
// ThreadCpuTable(), and for Created and Timer threads in PlatformThreadCpuSeconds(); when it is
// destroyed at the thread's end, the time so far stays counted.
class CpuAccount {
 public:
  explicit CpuAccount(ThreadKind kind, const void* routine = nullptr);
  ~CpuAccount();
  CpuAccount(const CpuAccount&) = delete;
  CpuAccount& operator=(const CpuAccount&) = delete;

 private:
  uint64_t key_ = 0;
};

}  // namespace sim::os_detail
