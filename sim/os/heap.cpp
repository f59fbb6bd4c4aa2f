// The local heap: LocalAlloc/LocalFree/LocalSize over the host allocator, with a table of live
// blocks so that a foreign pointer is refused and tests can count leaks.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "sim/os/heap_table.h"
#include "sim/os/os_internal.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

// Requests above this are refused as out of memory instead of reaching the host allocator.
constexpr SIZE_T kMaxBlock = SIZE_T{1} << 30;
// Fill of blocks allocated without LMEM_ZEROINIT, so that nothing relies on fresh memory being 0.
constexpr int kFreshFill = 0xA5;

}  // namespace
}  // namespace sim

using namespace sim;
using os_detail::H;

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  os_detail::Checkpoint();
  if ((flags & ~LMEM_ZEROINIT) != 0) {
    os_detail::SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
    if (os_detail::FailThisAllocationLocked()) {
      os_detail::SetError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
  }
  if (bytes > kMaxBlock) {
    os_detail::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if (block == nullptr) {
    os_detail::SetError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::memset(block, (flags & LMEM_ZEROINIT) ? 0 : kFreshFill, bytes);
  std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
  H().blocks.emplace(block, bytes);
  H().liveBytes += bytes;
  return block;
}

extern "C" HLOCAL LocalFree(HLOCAL block) {
  os_detail::Checkpoint();
  if (block == nullptr) return nullptr;
  {
    std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
    auto it = H().blocks.find(block);
    if (it == H().blocks.end()) {
      os_detail::SetError(ERROR_INVALID_PARAMETER);
      return block;
    }
    H().liveBytes -= it->second;
    H().blocks.erase(it);
  }
  std::free(block);
  return nullptr;
}

extern "C" SIZE_T LocalSize(HLOCAL block) {
  os_detail::Checkpoint();
  std::lock_guard<sim::os_detail::PiMutex> guard(H().lock);
  auto it = H().blocks.find(block);
  if (it == H().blocks.end()) {
    os_detail::SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return it->second;
}
