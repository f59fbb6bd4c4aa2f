// Plug, open, detach and refusal through the application API, with leak checks on the heap and
// on the bus after every removal.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "sim/devmgr/sim_devmgr.h"
#include "sim/os/sim_os.h"
#include "tests/e2e/rig.h"
#include "tests/lifecycle/leak_check.h"

namespace {

using rig::Clock;

const WCHAR kPort1Key[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\4292_60000");

const int kCycles = 200;

// Starts a call on its own thread and reports when it has returned.
template <typename F>
std::future<BOOL> Pending(F call) {
  return std::async(std::launch::async, call);
}

bool Blocked(std::future<BOOL>& call) {
  return call.wait_for(std::chrono::milliseconds(300)) == std::future_status::timeout;
}

bool EndsSoon(std::future<BOOL>& call) {
  return call.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rig::InstallDriver();
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1Key);
    live = rig::LiveBlocks();
  }
  void TearDown() override {
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPort1Key);
    leakcheck::ExpectNothingLeft(live);
  }

  // An open COM1 on an unwired bridge (what is written leaves at the line rate and nothing comes
  // back) with a read and an event wait that have nothing to come and a write in progress.
  void StartBlockedCalls(size_t writeBytes, uint32_t seed) {
    rig::BridgeOptions unwired;
    unwired.wiring = rig::Wiring::None;
    bridge = rig::Plug(unwired);
    ASSERT_TRUE(bridge.attached);
    port = rig::Open(TEXT("COM1:"));
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(rig::Configure(port, CBR_115200));
    ASSERT_TRUE(rig::SetReadTimeout(port, 0));
    ASSERT_TRUE(ceapp::SetCommMask(port, EV_RING));
    wait = Pending([this] { return ceapp::WaitCommEvent(port, &events, nullptr); });
    read = Pending([this] {
      BYTE buffer[64];
      DWORD got = 0;
      return ceapp::ReadFile(port, buffer, sizeof(buffer), &got, nullptr);
    });
    data = rig::Pattern(writeBytes, seed);
    write = Pending([this] {
      DWORD written = 0;
      return ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written,
                              nullptr);
    });
    EXPECT_TRUE(Blocked(wait));
    EXPECT_TRUE(Blocked(read));
  }
  // Every call ended; the read failed, and the ended wait reports no event (with success while
  // the handle is open, as the platform does).
  void ExpectCallsEnded() {
    EXPECT_TRUE(EndsSoon(wait));
    EXPECT_TRUE(EndsSoon(read));
    EXPECT_TRUE(EndsSoon(write));
    if (wait.valid()) {
      wait.get();
      EXPECT_EQ(events, 0u);
    }
    if (read.valid()) {
      EXPECT_FALSE(read.get());
    }
    if (write.valid()) write.get();
  }

  size_t live = 0;
  rig::Bridge bridge;
  HANDLE port = INVALID_HANDLE_VALUE;
  DWORD events = 0xFFFFFFFFu;
  std::vector<uint8_t> data;
  std::future<BOOL> wait, read, write;
};

TEST_F(LifecycleTest, DetachWithNoPortOpenDoesNotWaitForAnyone) {
  rig::Bridge bridge = rig::Plug({});
  ASSERT_TRUE(bridge.attached);
  EXPECT_EQ(sim::ActiveDeviceNames(), std::vector<std::string>{"COM1:"});
  Clock::time_point start = Clock::now();
  rig::Unplug(bridge);
  ASSERT_TRUE(rig::WaitRemoved(bridge, 10000));
  long long took = rig::MillisecondsSince(start);
  EXPECT_GE(took, 1000);
  EXPECT_LT(took, 3900);  // a receive thread terminated after its 3000 ms stop limit is over 4000
}

TEST_F(LifecycleTest, DetachWithEveryPortOpenEndsBlockedCallsAndWaitsForTheClose) {
  // A write that a large paced buffer keeps busy.
  ASSERT_NO_FATAL_FAILURE(StartBlockedCalls(256u << 10, 9));
  EXPECT_TRUE(Blocked(write));

  rig::Unplug(bridge);
  ExpectCallsEnded();
  // The only port is open: detach waits for the application's close.
  EXPECT_FALSE(rig::WaitRemoved(bridge, 1500));
  Clock::time_point closed = Clock::now();
  EXPECT_TRUE(ceapp::CloseHandle(port));
  EXPECT_TRUE(rig::WaitRemoved(bridge, 10000));
  EXPECT_GE(rig::MillisecondsSince(closed), 1000);
}

TEST_F(LifecycleTest, ApplicationThatNeverClosesGetsErrorsAfterDetach) {
  rig::Bridge bridge = rig::Plug({});
  ASSERT_TRUE(bridge.attached);
  HANDLE port = rig::Open(TEXT("COM1:"));
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(rig::SetReadTimeout(port, 0));
  rig::Unplug(bridge);
  // Starting new calls after the removal began: each returns with an error, none hangs.
  for (int i = 0; i < 3; ++i) {
    std::future<BOOL> read = Pending([&] {
      BYTE buffer[16];
      DWORD got = 0;
      return ceapp::ReadFile(port, buffer, sizeof(buffer), &got, nullptr);
    });
    ASSERT_TRUE(EndsSoon(read));
    EXPECT_FALSE(read.get());
    DWORD written = 0;
    BYTE byte = 0x55;
    ceapp::WriteFile(port, &byte, 1, &written, nullptr);
    EXPECT_EQ(written, 0u);
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    EXPECT_FALSE(ceapp::GetCommModemStatus(port, &written) && ceapp::SetCommState(port, &dcb));
  }
  // The test plays the application's exit: the handle goes, and so does the device.
  EXPECT_FALSE(rig::WaitRemoved(bridge, 200));
  EXPECT_TRUE(ceapp::CloseHandle(port));
  EXPECT_TRUE(rig::WaitRemoved(bridge, 10000));
}

TEST_F(LifecycleTest, HandleClosedWhileCallsArePendingEndsThemAll) {
  // One chunk (0.7 s on the line): a chunk in flight is not abandoned, its completion ends the
  // write.
  ASSERT_NO_FATAL_FAILURE(StartBlockedCalls(8u << 10, 10));
  std::future<BOOL> close = Pending([&] { return ceapp::CloseHandle(port); });
  EXPECT_TRUE(EndsSoon(close));
  ExpectCallsEnded();
  if (close.valid()) {
    EXPECT_TRUE(close.get());
  }
  // The port can be opened again and works.
  HANDLE again = rig::Open(TEXT("COM1:"));
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(ceapp::CloseHandle(again));
  rig::Unplug(bridge);
  EXPECT_TRUE(rig::WaitRemoved(bridge, 10000));
}

TEST_F(LifecycleTest, TwoInterfaceBridgeNeedsTheSecondKeyAndThenHasTwoIndependentPorts) {
  rig::BridgeOptions two;
  two.interfaces = 2;
  rig::Bridge refused = rig::Plug(two);
  EXPECT_FALSE(refused.attached);
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
  EXPECT_EQ(rig::LiveBlocks(), live);
  rig::Unplug(refused);
  rig::WaitRemoved(refused, 5000);

  ASSERT_TRUE(rig::LoadRegFile(TV_E2E_DIR "/second_port.reg"));
  rig::Bridge bridge = rig::Plug(two);
  ASSERT_TRUE(bridge.attached);
  EXPECT_EQ(sim::ActiveDeviceNames(), (std::vector<std::string>{"COM1:", "COM2:"}));
  HANDLE a = rig::Open(TEXT("COM1:"));
  HANDLE b = rig::Open(TEXT("COM2:"));
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(rig::Configure(a, CBR_115200));
  ASSERT_TRUE(rig::Configure(b, 57600));
  ASSERT_TRUE(rig::SetReadTimeout(a, 2000));
  ASSERT_TRUE(rig::SetReadTimeout(b, 2000));
  std::vector<uint8_t> da = rig::Pattern(3000, 11);
  std::vector<uint8_t> db = rig::Pattern(2000, 12);
  DWORD written = 0;
  ASSERT_TRUE(ceapp::WriteFile(a, da.data(), static_cast<DWORD>(da.size()), &written, nullptr));
  ASSERT_TRUE(ceapp::WriteFile(b, db.data(), static_cast<DWORD>(db.size()), &written, nullptr));
  EXPECT_EQ(rig::ReadAll(a, da.size()), da);
  EXPECT_EQ(rig::ReadAll(b, db.size()), db);

  // One of two open: no waiting; the open port's calls fail once its device is gone.
  EXPECT_TRUE(ceapp::CloseHandle(b));
  rig::Unplug(bridge);
  EXPECT_TRUE(rig::WaitRemoved(bridge, 10000));
  BYTE buffer[4];
  DWORD got = 0;
  EXPECT_FALSE(ceapp::ReadFile(a, buffer, sizeof(buffer), &got, nullptr));
  EXPECT_TRUE(ceapp::CloseHandle(a));
}

TEST_F(LifecycleTest, RefusedDevicesLeaveNothingBehind) {
  for (int interfaces : {0, 3}) {
    rig::BridgeOptions options;
    options.interfaces = interfaces;
    rig::Bridge bridge = rig::Plug(options);
    EXPECT_FALSE(bridge.attached) << interfaces << " interfaces";
    rig::Unplug(bridge);
    rig::WaitRemoved(bridge, 5000);
    EXPECT_EQ(rig::LiveBlocks(), live);
  }
  rig::BridgeOptions noOut;
  noOut.noBulkOut = true;
  rig::Bridge bridge = rig::Plug(noOut);
  EXPECT_FALSE(bridge.attached);
  rig::Unplug(bridge);
  rig::WaitRemoved(bridge, 5000);
  EXPECT_EQ(sim::ActiveDeviceCount(), 0u);
}

TEST_F(LifecycleTest, FailingRequestsAtEachAttachStepRefuseCleanly) {
  for (rig::AttachFault fault : rig::AllAttachFaults()) {
    rig::BridgeOptions options;
    options.fault = fault;
    rig::Bridge bridge = rig::Plug(options);
    EXPECT_EQ(bridge.attached, rig::FaultStillAttaches(fault)) << rig::FaultName(fault);
    rig::Unplug(bridge);
    EXPECT_TRUE(rig::WaitRemoved(bridge, 10000)) << rig::FaultName(fault);
    EXPECT_EQ(sim::ActiveDeviceCount(), 0u) << rig::FaultName(fault);
    EXPECT_EQ(rig::LiveBlocks(), live) << rig::FaultName(fault);
  }
}

TEST_F(LifecycleTest, ManyPlugOpenTransferUnplugCyclesLeakNothing) {
  // Each removal pauses a second before it deactivates; the removals overlap with the next plugs,
  // and each new bridge gets whichever COM name is free.
  std::vector<rig::Bridge> removing;
  std::vector<uint8_t> data = rig::Pattern(512, 13);
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    rig::BridgeOptions options;
    options.paced = false;
    rig::Bridge bridge = rig::Plug(options);
    ASSERT_TRUE(bridge.attached) << "cycle " << cycle;
    std::vector<std::string> names = sim::ActiveDeviceNames();
    ASSERT_FALSE(names.empty());
    sim::WString name(names.back().begin(), names.back().end());
    HANDLE port = rig::Open(name.c_str());
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "cycle " << cycle;
    ASSERT_TRUE(rig::SetReadTimeout(port, 2000));
    DWORD written = 0;
    ASSERT_TRUE(
        ceapp::WriteFile(port, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
    ASSERT_EQ(rig::ReadAll(port, data.size()), data) << "cycle " << cycle;
    ASSERT_TRUE(ceapp::CloseHandle(port));
    rig::Unplug(bridge);
    removing.push_back(bridge);
    // Keep a few removals in flight at most.
    if (removing.size() >= 8) {
      ASSERT_TRUE(rig::WaitRemoved(removing.front(), 10000));
      removing.erase(removing.begin());
    }
  }
  for (rig::Bridge& b : removing) EXPECT_TRUE(rig::WaitRemoved(b, 10000));
}

}  // namespace

namespace {

TEST_F(LifecycleTest, AllocationFailureAtEachAttachStepRefusesCleanly) {
  // Fail the first, second, ... allocation after the plug. Early ones hit attach and refuse the
  // device; once three in a row attach, the failures fall behind attach (a taken device is
  // unplugged again, which costs the one-second pause each).
  int refused = 0;
  int attachedInARow = 0;
  for (unsigned n = 1; n < 200 && attachedInARow < 3; ++n) {
    sim::HeapFailAllocation(n);
    rig::Bridge bridge = rig::Plug({});
    sim::HeapFailAllocation(0);
    rig::Unplug(bridge);
    ASSERT_TRUE(rig::WaitRemoved(bridge, 10000)) << "allocation " << n;
    ASSERT_EQ(sim::ActiveDeviceCount(), 0u) << "allocation " << n;
    ASSERT_EQ(rig::LiveBlocks(), live) << "allocation " << n;
    if (bridge.attached) {
      ++attachedInARow;
    } else {
      ++refused;
      attachedInARow = 0;
    }
  }
  EXPECT_GE(refused, 5);
  EXPECT_EQ(attachedInARow, 3);
}

}  // namespace

#include "sim/devmgr/module_file.h"
#include "sim/install/sim_install.h"

namespace {

TEST(ModuleTest, ExportsTheEntryPointsAndHidesTheDriverInside) {
  void* module = sim::modfile::Open(sim::DriverModulePath());
  ASSERT_NE(module, nullptr);
  for (const char* name : {"COM_Init", "COM_Deinit", "COM_Open", "COM_Close", "COM_Read",
                           "COM_Write", "COM_Seek", "COM_IOControl", "COM_PowerUp", "COM_PowerDown",
                           "USBInstallDriver", "USBUnInstallDriver", "USBDeviceAttach"}) {
    EXPECT_NE(sim::modfile::Symbol(module, name), nullptr) << name;
  }
  for (const char* name : {"ComInit", "_Z7ComInitPKDsPK7PortOps", "BridgePortOps",
                           "_Z13BridgePortOps", "DeviceNotify", "RingInit"}) {
    EXPECT_EQ(sim::modfile::Symbol(module, name), nullptr) << name;
  }
  sim::modfile::Close(module);
}

}  // namespace
