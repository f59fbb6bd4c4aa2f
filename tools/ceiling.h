// The hand-off ceiling: 1 KiB blocks moved through a bare chain of threads that hand off by events
// the way the driver's receive path does (device completion, receive thread, ring, event thread,
// receive buffer, reader; one transfer outstanding), with no driver logic. Built twice: on the
// platform's OS services (what the simulated kernel objects allow) and on bare standard threads,
// mutexes and condition variables (what this machine allows); the driver is judged against the
// second, so the ratio shows what the driver and the simulated platform cost together.
#pragma once

#include <cstdint>

namespace tvk {

struct CeilingResult {
  std::uint64_t bytes = 0;
  double seconds = 0;
  bool intact = false;  // every byte arrived, in order
  double MiBPerSecond() const { return seconds > 0 ? bytes / seconds / (1024.0 * 1024.0) : 0; }
};

// The chain on the platform's events, critical sections and threads.
CeilingResult RunHandOffCeiling(std::uint64_t totalBytes);
// The same chain on std::thread, std::mutex and std::condition_variable.
CeilingResult RunBareHandOffCeiling(std::uint64_t totalBytes);

}  // namespace tvk
