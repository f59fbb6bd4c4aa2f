// CPU time of the platform's own threads (CreateThread threads and multimedia timer threads), so
// that a measurement can tell the driver's share from the simulated hardware's. Host-specific:
// cpu_account_posix.cpp reads the host's per-thread clocks.
#pragma once

#include <cstdint>

namespace sim::os_detail {

// While the object lives, the calling thread's CPU time counts in PlatformThreadCpuSeconds(); when
// it is destroyed at the thread's end, the time so far stays counted.
class CpuAccount {
 public:
  CpuAccount();
  ~CpuAccount();
  CpuAccount(const CpuAccount&) = delete;
  CpuAccount& operator=(const CpuAccount&) = delete;

 private:
  uint64_t key_ = 0;
};

}  // namespace sim::os_detail
