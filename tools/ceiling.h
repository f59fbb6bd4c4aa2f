// The hand-off ceiling: 1 KiB blocks moved through a bare chain of threads that hand off by events
// the way the driver's receive path does (device completion, receive thread, ring, event thread,
// receive buffer, reader; one transfer outstanding). Built on the platform's OS services only, so
// it measures what this design can reach on this machine without any driver logic.
#pragma once

#include <cstdint>

namespace tvk {

struct CeilingResult {
  std::uint64_t bytes = 0;
  double seconds = 0;
  bool intact = false;  // every byte arrived, in order
  double MiBPerSecond() const { return seconds > 0 ? bytes / seconds / (1024.0 * 1024.0) : 0; }
};

CeilingResult RunHandOffCeiling(std::uint64_t totalBytes);

}  // namespace tvk
