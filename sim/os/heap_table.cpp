#include "sim/os/heap_table.h"

#include "sim/os/sim_os.h"

namespace sim {

namespace os_detail {

// Never destroyed: driver threads may still free blocks while the process exits.
HeapTable& H() {
  static HeapTable* heap = new HeapTable;
  return *heap;
}

bool FailThisAllocationLocked() {
  return H().failCountdown != 0 && --H().failCountdown == 0;
}

}  // namespace os_detail

using os_detail::H;

size_t HeapLiveBlocks() {
  std::lock_guard<os_detail::PiMutex> guard(H().lock);
  return H().blocks.size();
}

size_t HeapLiveBytes() {
  std::lock_guard<os_detail::PiMutex> guard(H().lock);
  return H().liveBytes;
}

void HeapFailAllocation(unsigned n) {
  std::lock_guard<os_detail::PiMutex> guard(H().lock);
  H().failCountdown = n;
}

}  // namespace sim
