#include "tools/data_path.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "sim/bridge_model/bridge_model.h"
#include "sim/os/thread_cpu.h"
#include "tools/host.h"
#include "tools/session.h"

namespace tvk {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

uint8_t PatternByte(uint64_t i, uint32_t seed) {
  return static_cast<uint8_t>((i * 131 + seed * 17 + (i >> 8)) & 0xFF);
}

// The shape of the driver's work.
constexpr double kTransfer = 1024;           // the receive thread's one bulk IN
constexpr double kChunk = 16384;             // the largest bulk OUT chunk of a write
constexpr double kPollSeconds = 0.080;       // the modem poll's period, per open port
constexpr double kPollRequests = 2;          // each poll reads the modem status and the comm status
constexpr double kRxBufferHalf = 65536 / 2;  // a read without interval time-out wakes by then
constexpr double kBitsPerByte = 10;          // 8N1

}  // namespace

Flow Stream(HANDLE out, HANDLE in, bool paced, uint32_t writeSize, double budget, uint64_t limit,
            uint32_t seed) {
  Flow flow;
  std::atomic<bool> writerDone{false};
  std::atomic<uint64_t> sent{0};
  // Unpaced: a read returns at once with what is there, or waits up to 500 ms for the first byte.
  // Paced: a read collects for up to 100 ms, as an application on a slow line would, so that the
  // reader's own wake-ups do not dominate the CPU figure.
  if (paced) {
    Session::SetReadTimeouts(in, 0, 0, kPacedReadTotalMs);
  } else {
    Session::SetReadTimeouts(in, MAXDWORD, MAXDWORD, 500);
  }
  Clock::time_point start = Clock::now();
  Clock::time_point lastByte = start;
  std::atomic<double> writerCpu{0};
  std::atomic<bool> writeFailed{false};
  const double readerCpu0 = host::ThreadCpuSeconds();
  std::thread writer([&] {
    const double cpu0 = host::ThreadCpuSeconds();
    std::vector<uint8_t> block(writeSize);
    uint64_t at = 0;
    while (at < limit && (at == 0 || SecondsSince(start) < budget)) {
      uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(writeSize, limit - at));
      for (uint32_t i = 0; i < n; ++i) block[i] = PatternByte(at + i, seed);
      DWORD written = 0;
      const bool ok = ceapp::WriteFile(out, block.data(), n, &written, nullptr);
      at += written;
      sent = at;
      if (!ok || written < n) {
        writeFailed = true;
        break;
      }
    }
    writerCpu = host::ThreadCpuSeconds() - cpu0;
    writerDone = true;
  });
  std::vector<uint8_t> buffer(paced ? kPacedReadLength : 65536);
  int quiet = 0;
  while (true) {
    DWORD n = 0;
    if (!ceapp::ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) break;
    for (DWORD i = 0; i < n; ++i) {
      if (buffer[i] != PatternByte(flow.received + i, seed)) ++flow.mismatched;
    }
    flow.received += n;
    if (n > 0) {
      lastByte = Clock::now();
      quiet = 0;
    } else if (writerDone && ++quiet >= (paced ? 10 : 2)) {
      break;  // a second of silence after the last write: nothing more comes
    }
    if (writerDone && flow.received >= sent) break;
  }
  flow.seconds = std::chrono::duration<double>(lastByte - start).count();
  const double readerCpu = host::ThreadCpuSeconds() - readerCpu0;
  writer.join();
  flow.bytes = sent;
  flow.callCpuSeconds = writerCpu + readerCpu;
  flow.writeFailed = writeFailed;
  return flow;
}

CountSnapshot TakeCounts() {
  return {sim::ThreadWakeTable(), sim::TransferCounts()};
}

CostFigures CostBetween(const CountSnapshot& before, const CountSnapshot& after,
                        const DriverRoutines& routines, uint64_t bytesMoved) {
  CostFigures f;
  f.kib = static_cast<double>(bytesMoved) / 1024.0;
  if (f.kib <= 0) return f;
  WakeCounts wakes;
  double blocked = 0, sectionWaits = 0, sectionWakeups = 0, hostCallWaits = 0;
  auto add = [&](const sim::ThreadWakes& t, double sign) {
    const double v = sign * static_cast<double>(t.wakeups);
    double* slot = &wakes.otherPlatform;
    switch (t.kind) {
      case sim::ThreadKind::Created:
        slot = routines.receive.count(t.routine) ? &wakes.receive
               : routines.event.count(t.routine) ? &wakes.event
                                                 : &wakes.otherPlatform;
        break;
      case sim::ThreadKind::Timer:
        slot = &wakes.poll;
        break;
      case sim::ThreadKind::HostStack:
        slot = &wakes.hostStack;
        break;
      case sim::ThreadKind::BridgeModel:
        slot = &wakes.models;
        break;
      case sim::ThreadKind::Application:
        slot = &wakes.application;
        break;
    }
    *slot += v;
    if (slot != &wakes.otherPlatform && slot != &wakes.hostStack && slot != &wakes.models) {
      blocked += sign * static_cast<double>(t.blockedWaits);
      sectionWaits += sign * static_cast<double>(t.sectionWaits);
      sectionWakeups += sign * static_cast<double>(t.sectionWakeups);
      hostCallWaits += sign * static_cast<double>(t.hostCallWaits);
    }
  };
  for (const sim::ThreadWakes& t : after.wakes) add(t, 1);
  for (const sim::ThreadWakes& t : before.wakes) add(t, -1);
  for (double* v : {&wakes.event, &wakes.receive, &wakes.poll, &wakes.application,
                    &wakes.otherPlatform, &wakes.hostStack, &wakes.models})
    *v /= f.kib;
  f.wakeupsPerKiB = wakes;
  f.blockedWaitsPerKiB = blocked / f.kib;
  f.sectionWaitsPerKiB = sectionWaits / f.kib;
  f.sectionWakeupsPerKiB = sectionWakeups / f.kib;
  f.hostCallWaitsPerKiB = hostCallWaits / f.kib;
  const double inDone =
      static_cast<double>(after.usb.bulkIn.completed - before.usb.bulkIn.completed);
  const double inBytes = static_cast<double>(after.usb.bulkIn.bytes - before.usb.bulkIn.bytes);
  f.bulkInPerKiB = inDone / f.kib;
  f.bulkInMeanBytes = inDone > 0 ? inBytes / inDone : 0;
  f.bulkOutPerKiB =
      static_cast<double>(after.usb.bulkOut.issued - before.usb.bulkOut.issued) / f.kib;
  f.controlPerKiB =
      static_cast<double>(after.usb.control.issued - before.usb.control.issued) / f.kib;
  return f;
}

// Per KiB received by a port on a line that carries R bytes a second each way:
// - bulk IN: a transfer completes when 1024 bytes are in or when the bridge's receive timer T
//   runs out (sim::BridgeConfig::rxFlushMicros, 1 ms), so it carries min(1024, R T) bytes;
// - each completion wakes the receive thread once and the event thread once;
// - the reader wakes when its read ends: on its 100 ms total time-out, or at half the 64 KiB
//   buffer, whichever comes first;
// - the writer wakes once per bulk OUT chunk (a write of up to 16384 bytes is one chunk);
// - every open port's modem poll wakes its timer thread every 80 ms (its two requests need not
//   block: the bridge may answer them before the thread waits); the port receives R bytes a
//   second.
// The whole process adds the host stack's completion thread, once per completed transfer with a
// routine (bulk IN, bulk OUT, the poll's requests), and the bridge models' engine, once per bulk
// IN it answers (its receive timer).
CostFloor PacedFloor(uint32_t baud, uint32_t writeSize) {
  const double r = static_cast<double>(baud) / kBitsPerByte;
  const double timer = sim::BridgeConfig{}.rxFlushMicros * 1e-6;
  CostFloor floor;
  floor.bulkInPerKiB = 1024.0 / std::min(kTransfer, r * timer);
  floor.bulkOutPerKiB = 1024.0 / std::min<double>(writeSize, kChunk);
  const double reader = 1024.0 / std::min(r * kPacedReadTotalMs * 1e-3, kRxBufferHalf);
  const double polls = 1024.0 / (r * kPollSeconds);
  floor.driverWakeupsPerKiB = 2 * floor.bulkInPerKiB + reader + floor.bulkOutPerKiB + polls;
  floor.processWakeupsPerKiB = floor.driverWakeupsPerKiB + 2 * floor.bulkInPerKiB +
                               floor.bulkOutPerKiB + polls * kPollRequests;
  return floor;
}

// Unpaced loopback: the bridge answers a bulk IN at once with what its FIFO holds, which a burst
// of written data keeps at 1024 bytes. Each completion wakes the receive thread, the event thread
// and the reader (whose read returns with what is there) once; the writer wakes once per chunk.
// The poll's share of a run this fast is negligible. (A consumer slower than the chain can take
// several completions in one wake-up and come out below this.)
CostFloor UnpacedFloor(uint32_t writeSize) {
  CostFloor floor;
  floor.bulkInPerKiB = 1024.0 / kTransfer;
  floor.bulkOutPerKiB = 1024.0 / std::min<double>(writeSize, kChunk);
  floor.driverWakeupsPerKiB = 3 * floor.bulkInPerKiB + floor.bulkOutPerKiB;
  floor.processWakeupsPerKiB =
      floor.driverWakeupsPerKiB + 2 * floor.bulkInPerKiB + floor.bulkOutPerKiB;
  return floor;
}

}  // namespace tvk
