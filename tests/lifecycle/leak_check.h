// The simulated heap's live-block count, for leak checks around a plug and unplug.
#pragma once

#include <cstddef>

#include "sim/os/sim_os.h"

namespace testheap {
inline size_t LiveBlocks() {
  return sim::HeapLiveBlocks();
}
}  // namespace testheap
