// The counting layer over the real local heap: LocalAlloc and LocalFree are kernel32's, with the
// table of live blocks (sim/os/heap_table.h) so that tests can count leaks and fail the n-th
// allocation. The table's lock is held across the real calls, so that an address the heap hands
// out again is never counted before its previous block has left the table.
#define TV_WINDOWS_LAYER 1

#include "sim/os/heap_table.h"

using sim::os_detail::H;

extern "C" HLOCAL TvLocalAlloc(UINT flags, SIZE_T bytes) {
  std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
  if (sim::os_detail::FailThisAllocationLocked()) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HLOCAL block = LocalAlloc(flags, bytes);
  if (block != nullptr) {
    H().blocks[block] = bytes;
    H().liveBytes += bytes;
  }
  return block;
}

extern "C" HLOCAL TvLocalFree(HLOCAL block) {
  std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
  HLOCAL result = LocalFree(block);
  auto it = H().blocks.find(block);
  if (result == nullptr && it != H().blocks.end()) {
    H().liveBytes -= it->second;
    H().blocks.erase(it);
  }
  return result;
}
