// Inputs the fuzz targets (fuzz/) found, replayed as scenarios through the application API.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "tests/e2e/rig.h"

namespace {

class RobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig::InstallDriver();
    live = rig::LiveBlocks();
    bridge = rig::Plug({});
    ASSERT_TRUE(bridge.attached);
    port = rig::Open(TEXT("COM1:"));
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
  }
  // The close ends whatever still waits, before the futures of the waits are destroyed.
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) ceapp::CloseHandle(port);
    for (std::future<BOOL>& wait : waits) wait.wait();
    rig::Unplug(bridge);
    EXPECT_TRUE(rig::WaitRemoved(bridge, 10000));
    EXPECT_EQ(rig::LiveBlocks(), live);
  }

  std::future<BOOL> Wait() {
    return std::async(std::launch::async, [this] {
      DWORD mask = 0xFFFFFFFFu;
      return ceapp::WaitCommEvent(port, &mask, nullptr);
    });
  }

  std::vector<std::future<BOOL>> waits;
  rig::Bridge bridge;
  HANDLE port = INVALID_HANDLE_VALUE;
  size_t live = 0;
};

// Three threads wait for events on one handle; a change of the mask ends every one of them, also
// when a wait starts between the change and the wake-up of the earlier ones.
TEST_F(RobustnessTest, AMaskChangeEndsEveryWaitOnTheHandle) {
  ASSERT_TRUE(ceapp::SetCommMask(port, EV_RING));
  waits.push_back(Wait());
  waits.push_back(Wait());
  ASSERT_EQ(waits[0].wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  ASSERT_TRUE(ceapp::SetCommMask(port, EV_RING | EV_CTS));
  waits.push_back(Wait());
  for (std::future<BOOL>& wait : waits) {
    if (&wait == &waits.back()) {
      ASSERT_EQ(wait.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
      ASSERT_TRUE(ceapp::SetCommMask(port, 0));
    }
    ASSERT_EQ(wait.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  }
}

}  // namespace
