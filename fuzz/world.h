// What the fuzz targets and the soak program share: the driver installed once, the simulated
// world's counters for leak checks, and a failure that stops the process (libFuzzer then keeps
// the input that caused it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace world {

// Installs libTollaverk.so from beside the program once per process; stops the process on failure.
void InstallDriver();

// Everything the simulated device counts that a driver could leak.
struct Counters {
  size_t heapBlocks = 0;
  size_t kernelHandles = 0;
  size_t threads = 0;
  size_t parkedThreads = 0;
  size_t timers = 0;
  size_t transfers = 0;
  size_t pipes = 0;
  size_t notificationRoutines = 0;
  size_t usbLeaks = 0;
  size_t registryKeys = 0;
  size_t appHandles = 0;
  size_t activeDevices = 0;
  bool operator==(const Counters&) const = default;
};
Counters Snapshot();
std::string Describe(const Counters& counters);
// A snapshot once the counters have not changed for stableMs (a receive thread between two bulk
// INs shows one transfer less for a moment).
Counters StableSnapshot(uint32_t stableMs);

// Waits up to timeoutMs for the counters to equal `want` (threads and transfers settle a little
// after the calls that ended them return); stops the process with both sets when they do not.
void ExpectSettlesTo(const Counters& want, uint32_t timeoutMs, const char* when);

// Prints "check failed: <what>" and aborts.
[[noreturn]] void Fail(const std::string& what);
inline void Check(bool ok, const std::string& what) {
  if (!ok) Fail(what);
}

}  // namespace world
