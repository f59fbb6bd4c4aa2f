// The table of live local-heap blocks behind HeapLiveBlocks, HeapLiveBytes and HeapFailAllocation,
// shared by the simulated heap and the Windows counting layer.
#pragma once

#include <mutex>
#include <unordered_map>

#include "platform/ce_os.h"
#include "sim/os/host_sync.h"

namespace sim::os_detail {

struct HeapTable {
  PiMutex lock;  // protects every field (inherits priority: every LocalAlloc takes it)
  std::unordered_map<void*, SIZE_T> blocks;
  size_t liveBytes = 0;
  unsigned failCountdown = 0;  // 0: no failure armed
};

HeapTable& H();

// True when the armed failure is due now (it is then disarmed). Needs H().lock.
bool FailThisAllocationLocked();

}  // namespace sim::os_detail
