// The data path measured as `tvk bench` measures it: a stream of patterned blocks through a port
// and back, and the work it cost counted (wake-ups, transfers) beside the floor the driver's
// design allows for it.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "platform/ce_os.h"
#include "sim/os/wake_count.h"
#include "sim/usb/sim_usb.h"

namespace tvk {

struct Flow {
  uint64_t bytes = 0;       // bytes the writer handed over
  uint64_t received = 0;    // bytes read back
  uint64_t mismatched = 0;  // bytes read back that differ from what was sent at that place
  double seconds = 0;
  double callCpuSeconds = 0;  // CPU of the writing and reading threads: their driver calls
  bool writeFailed = false;   // a write failed or took less than it was given
};

// The read a paced stream makes: the whole of kPacedReadLength, ending on a total time-out of
// kPacedReadTotalMs, as an application on a slow line collects its input.
constexpr uint32_t kPacedReadLength = 65536;
constexpr uint32_t kPacedReadTotalMs = 100;

// Writes `writeSize`-byte blocks to `out` until `budget` seconds passed (or `limit` bytes went),
// while reading everything back from `in`. The first block is written however late the writer
// starts, so that a busy machine gives a slower figure and not an empty one.
Flow Stream(HANDLE out, HANDLE in, bool paced, uint32_t writeSize, double budget, uint64_t limit,
            uint32_t seed);

// The driver's start routines, learnt from the threads seen when a bridge was attached (receive)
// and a port opened (event).
struct DriverRoutines {
  std::set<const void*> receive, event;
};

// What the simulation has counted so far.
struct CountSnapshot {
  std::vector<sim::ThreadWakes> wakes;
  sim::UsbTransferCounts usb;
};
CountSnapshot TakeCounts();

// Wake-ups by kind of thread.
struct WakeCounts {
  double event = 0, receive = 0, poll = 0, application = 0, otherPlatform = 0, hostStack = 0,
         models = 0;
  // The driver's threads, and the application threads, which sleep only in driver calls.
  double Driver() const { return event + receive + poll + application; }
  double Process() const { return Driver() + otherPlatform + hostStack + models; }
};

// The work done between two snapshots, per KiB moved.
struct CostFigures {
  double kib = 0;                 // KiB moved (read back), the divisor of every per-KiB figure
  WakeCounts wakeupsPerKiB;       // wake-ups per KiB by kind
  double blockedWaitsPerKiB = 0;  // driver and application threads
  // Sections the driver's and application threads found owned, and the wake-ups that ended those
  // waits: contention, which varies with the host's scheduling; not in the wake-ups above.
  double sectionWaitsPerKiB = 0;
  double sectionWakeupsPerKiB = 0;
  // Waits of those threads inside the host stack's calls (its doing, also not in the wake-ups).
  double hostCallWaitsPerKiB = 0;
  double bulkInPerKiB = 0;     // bulk IN completions
  double bulkInMeanBytes = 0;  // their mean size
  double bulkOutPerKiB = 0;    // bulk OUT chunks issued
  double controlPerKiB = 0;    // control requests issued (the modem poll's among them)
};
CostFigures CostBetween(const CountSnapshot& before, const CountSnapshot& after,
                        const DriverRoutines& routines, uint64_t bytesMoved);

// The least work the design needs per KiB moved (derivation in the README).
struct CostFloor {
  double driverWakeupsPerKiB = 0;
  double processWakeupsPerKiB = 0;
  double bulkInPerKiB = 0;
  double bulkOutPerKiB = 0;
};
// A paced run: `ports` ports in null-modem pairs, each writing `writeSize`-byte blocks and reading
// as Stream does, 8N1 at `baud`, every port sending and receiving at the line rate.
CostFloor PacedFloor(uint32_t baud, uint32_t writeSize);
// The unpaced loopback run at `writeSize`-byte writes.
CostFloor UnpacedFloor(uint32_t writeSize);

}  // namespace tvk
