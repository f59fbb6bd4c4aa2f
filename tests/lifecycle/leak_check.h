// Leak checks after a removal or a refused attach: no block, pipe, transfer, notification
// registration or stream device is left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>

#include "sim/devmgr/sim_devmgr.h"
#include "sim/os/sim_os.h"
#include "sim/usb/sim_usb.h"

namespace leakcheck {

inline size_t LiveBlocks() {
  return sim::HeapLiveBlocks();
}

inline void ExpectNothingLeft(size_t liveBlocksBefore) {
  EXPECT_EQ(sim::LivePipes(), 0u);
  EXPECT_EQ(sim::LiveTransfers(), 0u);
  EXPECT_EQ(sim::LiveNotificationRoutines(), 0u);
  EXPECT_EQ(sim::UsbLeakCount(), 0u);
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
  EXPECT_EQ(LiveBlocks(), liveBlocksBefore);
}

}  // namespace leakcheck
