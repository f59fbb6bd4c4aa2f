#include "fuzz/world.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "sim/devmgr/sim_devmgr.h"
#include "sim/install/sim_install.h"
#include "sim/os/sim_os.h"
#include "sim/usb/sim_usb.h"

namespace world {

void Fail(const std::string& what) {
  std::fprintf(stderr, "check failed: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

void InstallDriver() {
  static std::once_flag once;
  std::call_once(once, [] {
    std::string path = sim::DriverModulePath();
    Check(!path.empty() && sim::InstallDriverModule(path), "install the driver module " + path);
  });
}

Counters Snapshot() {
  Counters c;
  c.heapBlocks = sim::HeapLiveBlocks();
  c.kernelHandles = sim::KernelHandleCount();
  c.threads = sim::LiveThreadCount();
  c.parkedThreads = sim::ParkedThreadCount();
  c.timers = sim::LiveTimerCount();
  c.transfers = sim::LiveTransfers();
  c.pipes = sim::LivePipes();
  c.notificationRoutines = sim::LiveNotificationRoutines();
  c.usbLeaks = sim::UsbLeakCount();
  c.registryKeys = sim::RegistryOpenKeys();
  c.appHandles = sim::ApplicationHandleCount();
  c.activeDevices = sim::ActiveDeviceCount();
  return c;
}

std::string Describe(const Counters& c) {
  char text[400];
  std::snprintf(text, sizeof text,
                "heap blocks %zu, kernel handles %zu, threads %zu (parked %zu), timers %zu, "
                "transfers %zu, pipes %zu, notification routines %zu, usb leaks %zu, "
                "open registry keys %zu, application handles %zu, active devices %zu",
                c.heapBlocks, c.kernelHandles, c.threads, c.parkedThreads, c.timers, c.transfers,
                c.pipes, c.notificationRoutines, c.usbLeaks, c.registryKeys, c.appHandles,
                c.activeDevices);
  return text;
}

Counters StableSnapshot(uint32_t stableMs) {
  Counters last = Snapshot();
  auto since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() - since < std::chrono::milliseconds(stableMs)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Counters now = Snapshot();
    if (!(now == last)) {
      last = now;
      since = std::chrono::steady_clock::now();
    }
  }
  return last;
}

void ExpectSettlesTo(const Counters& want, uint32_t timeoutMs, const char* when) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  Counters now = Snapshot();
  while (!(now == want) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    now = Snapshot();
  }
  if (!(now == want)) {
    Fail(std::string("counters ") + when + "\n  now:      " + Describe(now) +
         "\n  expected: " + Describe(want));
  }
}

}  // namespace world
