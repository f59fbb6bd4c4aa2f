// `tvk bench`: the data path's figures, each beside its target. A missed target is reported, and
// the program still exits 0: this is a measurement, not a test.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/os/sim_os.h"
#include "sim/os/thread_cpu.h"
#include "tools/ceiling.h"
#include "tools/data_path.h"
#include "tools/host.h"
#include "tools/session.h"

namespace tvk {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr double kBusBytesPerSecond = 1216000;  // full-speed USB bulk, for scale
constexpr double kMiB = 1024.0 * 1024.0;

double SecondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

struct Target {
  std::string name;
  bool met;
};

// CPU seconds by thread kind over a window. The driver starts its receive threads when a bridge
// is attached and its event threads when a port is opened; their start routines are learnt then.
struct KindCpu {
  double event = 0, receive = 0, poll = 0, calls = 0, hostStack = 0, models = 0, other = 0;
  double Driver() const { return event + receive + poll + calls; }
};

class ThreadKinds {
 public:
  // Waits (up to a second) for a Created routine not seen before and files it under `into`.
  void Learn(std::set<const void*>* into) {
    Clock::time_point start = Clock::now();
    do {
      for (const sim::ThreadCpu& t : sim::ThreadCpuTable()) {
        if (t.kind != sim::ThreadKind::Created || known_.count(t.routine)) continue;
        known_.insert(t.routine);
        into->insert(t.routine);
      }
      if (!into->empty()) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    } while (SecondsSince(start) < 1);
  }
  void LearnAll() {
    for (const sim::ThreadCpu& t : sim::ThreadCpuTable()) known_.insert(t.routine);
  }
  std::set<const void*> receive, event;
  DriverRoutines Routines() const { return {receive, event}; }

  // The per-kind CPU used since `before` (a table read earlier).
  KindCpu Since(const std::vector<sim::ThreadCpu>& before, double callSeconds) const {
    KindCpu k;
    k.calls = callSeconds;
    auto add = [&](const sim::ThreadCpu& t, double sign) {
      double v = sign * t.seconds;
      switch (t.kind) {
        case sim::ThreadKind::Created:
          (receive.count(t.routine) ? k.receive : event.count(t.routine) ? k.event : k.other) += v;
          break;
        case sim::ThreadKind::Timer:
          k.poll += v;
          break;
        case sim::ThreadKind::HostStack:
          k.hostStack += v;
          break;
        case sim::ThreadKind::BridgeModel:
          k.models += v;
          break;
        case sim::ThreadKind::Application:  // not in the CPU table: measured in Stream
          k.other += v;
          break;
      }
    };
    for (const sim::ThreadCpu& t : sim::ThreadCpuTable()) add(t, 1);
    for (const sim::ThreadCpu& t : before) add(t, -1);
    return k;
  }

 private:
  std::set<const void*> known_;
};

// Shares are differences of sums of clock readings: a kind that did nothing may come out a hair
// below zero, shown as zero.
json KindJson(const KindCpu& k, double wall) {
  auto pct = [&](double s) { return wall > 0 ? std::max(0.0, s / wall * 100) : 0; };
  return {{"event_threads", pct(k.event)},
          {"receive_threads", pct(k.receive)},
          {"poll_timer", pct(k.poll)},
          {"application_calls", pct(k.calls)},
          {"host_stack", pct(k.hostStack)},
          {"bridge_models", pct(k.models)},
          {"other_platform_threads", pct(k.other)}};
}

// One line of per-kind shares, in % of one core.
void SayKinds(bool quiet, const KindCpu& k, double wall, bool available) {
  if (quiet) return;
  if (!available) {
    std::printf("           by thread kind: not measured on this host\n");
    return;
  }
  auto pct = [&](double s) { return wall > 0 ? std::max(0.0, s / wall * 100) : 0; };
  std::printf(
      "           by thread kind, %% of one core: event %.2f, receive %.2f, poll timer %.2f,"
      " application calls %.2f, host stack %.2f, bridge models %.2f\n",
      pct(k.event), pct(k.receive), pct(k.poll), pct(k.calls), pct(k.hostStack), pct(k.models));
}

// The counted work of a run beside its floor.
json CountsJson(const CostFigures& f, const CostFloor& floor) {
  const WakeCounts& w = f.wakeupsPerKiB;
  return {{"kernel_waits_counted", sim::KernelWaitsCounted()},
          {"kib_moved", f.kib},
          {"driver_wakeups_per_kib", w.Driver()},
          {"driver_wakeups_floor_per_kib", floor.driverWakeupsPerKiB},
          {"driver_wakeups_vs_floor",
           floor.driverWakeupsPerKiB > 0 ? w.Driver() / floor.driverWakeupsPerKiB : 0},
          {"process_wakeups_per_kib", w.Process()},
          {"process_wakeups_floor_per_kib", floor.processWakeupsPerKiB},
          {"wakeups_per_kib_by_kind",
           {{"event_threads", w.event},
            {"receive_threads", w.receive},
            {"poll_timer", w.poll},
            {"application_threads", w.application},
            {"other_platform_threads", w.otherPlatform},
            {"host_stack", w.hostStack},
            {"bridge_models", w.models}}},
          {"driver_blocked_waits_per_kib", f.blockedWaitsPerKiB},
          {"driver_section_waits_per_kib", f.sectionWaitsPerKiB},
          {"driver_section_wakeups_per_kib", f.sectionWakeupsPerKiB},
          {"driver_host_call_waits_per_kib", f.hostCallWaitsPerKiB},
          {"bulk_in_per_kib", f.bulkInPerKiB},
          {"bulk_in_floor_per_kib", floor.bulkInPerKiB},
          {"bulk_in_mean_bytes", f.bulkInMeanBytes},
          {"bulk_out_per_kib", f.bulkOutPerKiB},
          {"bulk_out_floor_per_kib", floor.bulkOutPerKiB},
          {"control_per_kib", f.controlPerKiB}};
}

void SayCounts(bool quiet, const CostFigures& f, const CostFloor& floor) {
  if (quiet) return;
  const WakeCounts& w = f.wakeupsPerKiB;
  if (!sim::KernelWaitsCounted()) {
    std::printf("           per KiB: the platform's waits are not counted on this host\n");
  } else {
    std::printf(
        "           per KiB: driver wake-ups %.2f (floor %.2f = %.2f x; event %.2f, receive %.2f,"
        " poll %.2f, application %.2f), process %.2f (floor %.2f; host stack %.2f, bridge models"
        " %.2f); section waits %.2f, waits in host stack calls %.2f\n",
        w.Driver(), floor.driverWakeupsPerKiB,
        floor.driverWakeupsPerKiB > 0 ? w.Driver() / floor.driverWakeupsPerKiB : 0, w.event,
        w.receive, w.poll, w.application, w.Process(), floor.processWakeupsPerKiB, w.hostStack,
        w.models, f.sectionWaitsPerKiB, f.hostCallWaitsPerKiB);
  }
  std::printf(
      "           per KiB: bulk IN %.2f (floor %.2f), mean %.0f bytes; bulk OUT %.3f (floor %.3f);"
      " control %.3f\n",
      f.bulkInPerKiB, floor.bulkInPerKiB, f.bulkInMeanBytes, f.bulkOutPerKiB, floor.bulkOutPerKiB,
      f.controlPerKiB);
}

// The key of a bridge's second port, which installation does not write.
constexpr char kSecondPortKey[] =
    "REGEDIT4\n\n"
    "[HKEY_LOCAL_MACHINE\\Drivers\\USB\\ClientDrivers\\Tollaverk\\Port1\\4292_60000]\n"
    "\"Dll\"=\"Tollaverk\"\n"
    "\"Prefix\"=\"COM\"\n";

const char* Mark(bool met) {
  return met ? "met" : "MISSED";
}

}  // namespace

int RunBench(const BenchOptions& in) {
  BenchOptions o = in;
  if (o.quick) {
    o.pacedSeconds = std::min(o.pacedSeconds, 0.5);
    o.idleSeconds = std::min(o.idleSeconds, 0.5);
    o.ceilingBytes = std::min<uint64_t>(o.ceilingBytes, 8u << 20);
    o.maxWriteSize = std::min<uint32_t>(o.maxWriteSize, 64u << 10);
  }
  if (const char* capture = std::getenv("TV_USB_CAPTURE"); capture && *capture)
    std::fprintf(stderr,
                 "tvk bench: TV_USB_CAPTURE is set: every transfer is recorded in %s, and "
                 "the figures include the cost of that\n",
                 capture);
  const double sizeBudget = o.quick ? 0.15 : 0.6;
  json out;
  std::vector<Target> targets;
  // Without arguments the text goes out as it is (a format that is not a literal is refused by
  // clang's -Wformat-security).
  auto say = [&](const char* format, auto... args) {
    if (o.json) return;
    if constexpr (sizeof...(args) == 0)
      std::fputs(format, stdout);
    else
      std::printf(format, args...);
  };

  Session session;
  std::string error;
  LineOptions line;
  if (!session.Install(&error)) {
    std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
    return kExitCheckFailed;
  }

  // ---- Unpaced loopback throughput by write size.
  ThreadKinds kinds;
  kinds.LearnAll();
  size_t heapBeforePlug = sim::HeapLiveBytes();
  int loop = session.PlugBridge(/*paced=*/false, /*loopback=*/true, &error);
  size_t heapAttached = sim::HeapLiveBytes();
  if (loop >= 0) kinds.Learn(&kinds.receive);
  HANDLE port = loop >= 0 ? session.Open(TEXT("COM1:"), &error) : INVALID_HANDLE_VALUE;
  size_t heapOpen = sim::HeapLiveBytes();
  if (port != INVALID_HANDLE_VALUE) kinds.Learn(&kinds.event);
  // Empty where the host gives no per-thread clocks.
  const bool kindsAvailable = !kinds.receive.empty() && !kinds.event.empty();
  if (port == INVALID_HANDLE_VALUE || !session.ApplyLine(port, line, &error)) {
    std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  say("tvk bench%s\n\n", o.quick ? " (quick)" : "");
  say("Unpaced loopback throughput (full-speed USB bus: %.2f MiB/s, for scale)\n",
      kBusBytesPerSecond / kMiB);
  say("  %10s %12s %10s %8s\n", "write size", "bytes", "MiB/s", "intact");
  say("  (intact: every byte written came back, in order)\n");
  json sizes = json::array();
  double at64k = 0;
  for (uint32_t size = 1; size <= o.maxWriteSize; size *= 4) {
    uint64_t limit = std::max<uint64_t>(uint64_t{size} * 8, o.quick ? (4u << 20) : (64u << 20));
    const CountSnapshot before = TakeCounts();
    Flow f = Stream(port, port, false, size, sizeBudget, limit, size);
    const CostFigures cost = CostBetween(before, TakeCounts(), kinds.Routines(), f.received);
    double mibps = f.seconds > 0 ? f.received / f.seconds / kMiB : 0;
    bool intact = f.received == f.bytes && f.mismatched == 0;
    if (size == 65536) at64k = mibps;
    say("  %10u %12llu %10.2f %8s\n", size, static_cast<unsigned long long>(f.received), mibps,
        intact ? "yes" : "NO");
    json row = {{"write_size", size},   {"bytes", f.received},
                {"sent", f.bytes},      {"mismatched", f.mismatched},
                {"seconds", f.seconds}, {"mib_per_s", mibps},
                {"intact", intact}};
    if (size == 65536) {
      SayCounts(o.json, cost, UnpacedFloor(size));
      row["counts"] = CountsJson(cost, UnpacedFloor(size));
    }
    sizes.push_back(row);
    if (size >= (1u << 20)) break;
  }
  sim::BridgePortState loopState = session.Model(loop)->State(0);
  say("  bridge receive FIFO overflowed by %u bytes\n", loopState.rxOverflow);
  out["throughput"] = {{"bus_reference_bytes_per_s", kBusBytesPerSecond},
                       {"sizes", sizes},
                       {"bridge_rx_overflow", loopState.rxOverflow}};

  // ---- Hand-off ceiling: the same chain on bare standard primitives and on the simulated
  // platform's events, run in turn so that both see the same machine.
  // Each is run twice, alternately, and its better run kept: a busy machine slows one run, not
  // the chain.
  auto better = [](const CeilingResult& a, const CeilingResult& b) {
    if (a.intact != b.intact) return a.intact ? a : b;
    return a.MiBPerSecond() >= b.MiBPerSecond() ? a : b;
  };
  CeilingResult bare = RunBareHandOffCeiling(o.ceilingBytes);
  CeilingResult events = RunHandOffCeiling(o.ceilingBytes);
  bare = better(bare, RunBareHandOffCeiling(o.ceilingBytes));
  events = better(events, RunHandOffCeiling(o.ceilingBytes));
  double ratio = bare.MiBPerSecond() > 0 ? at64k / bare.MiBPerSecond() : 0;
  double eventShare = bare.MiBPerSecond() > 0 ? events.MiBPerSecond() / bare.MiBPerSecond() : 0;
  bool ceilingMet = at64k > 0 && ratio >= 0.5 && bare.intact && events.intact;
  targets.push_back({"throughput_64k_vs_ceiling", ceilingMet});
  say("\nHand-off ceiling: 1 KiB blocks through device, receive, event and reader threads\n");
  say("  bare threads, mutexes, condition variables: %8.2f MiB/s%s\n", bare.MiBPerSecond(),
      bare.intact ? "" : " (DATA WRONG)");
  say("  simulated platform's events and sections:   %8.2f MiB/s = %.0f %% of bare%s\n",
      events.MiBPerSecond(), eventShare * 100, events.intact ? "" : " (DATA WRONG)");
  say("  driver at 64 KiB writes: %.2f MiB/s = %.0f %% of the bare chain   target >= 50 %%   %s\n",
      at64k, ratio * 100, Mark(ceilingMet));
  auto chainJson = [](const CeilingResult& c) {
    return json{{"bytes", c.bytes},
                {"seconds", c.seconds},
                {"mib_per_s", c.MiBPerSecond()},
                {"intact", c.intact}};
  };
  out["ceiling"] = {{"bare_chain", chainJson(bare)},
                    {"event_chain", chainJson(events)},
                    {"event_chain_vs_bare", eventShare},
                    {"driver_64k_mib_per_s", at64k},
                    {"ratio", ratio},
                    {"target_ratio", 0.5},
                    {"met", ceilingMet}};

  // ---- Receive latency: the model delivers one byte, ReadFile returns it.
  Session::SetReadTimeouts(port, 0, 0, 1000);
  std::vector<double> samples;
  samples.reserve(o.latencySamples);
  auto model = session.Model(loop);
  for (uint32_t i = 0; i < o.latencySamples; ++i) {
    uint8_t b = static_cast<uint8_t>(i), got = 0;
    DWORD n = 0;
    Clock::time_point t0 = Clock::now();
    model->InjectRx(0, {b});
    if (!ceapp::ReadFile(port, &got, 1, &n, nullptr) || n != 1 || got != b) continue;
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(samples.begin(), samples.end());
  double median = samples.empty() ? 0 : samples[samples.size() / 2];
  double p99 =
      samples.empty() ? 0 : samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  bool latencyMet = samples.size() >= 1000 && median <= 50 && p99 <= 500;
  targets.push_back({"receive_latency", latencyMet});
  say("\nReceive latency over %zu samples: median %.0f us (target <= 50), p99 %.0f us (target <= "
      "500)   %s\n",
      samples.size(), median, p99, Mark(latencyMet));
  out["latency"] = {{"samples", samples.size()}, {"requested", o.latencySamples},
                    {"median_us", median},       {"p99_us", p99},
                    {"target_median_us", 50},    {"target_p99_us", 500},
                    {"met", latencyMet}};

  // ---- Idle open port: the modem poll's cost.
  double cpu0 = host::ProcessCpuSeconds();
  Clock::time_point idleStart = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(o.idleSeconds));
  double idleShare = (host::ProcessCpuSeconds() - cpu0) / SecondsSince(idleStart) * 100;
  bool idleMet = idleShare < 0.5;
  targets.push_back({"idle_cpu", idleMet});
  say("\nIdle open port: %.3f %% of one core (target < 0.5 %%)   %s\n", idleShare, Mark(idleMet));
  out["idle"] = {{"seconds", o.idleSeconds},
                 {"cpu_percent", idleShare},
                 {"target_cpu_percent", 0.5},
                 {"met", idleMet}};
  session.Close(port);

  // ---- Paced runs over a null-modem cable, both directions at once.
  int a = session.PlugBridge(true, false, &error);
  int b = a >= 0 ? session.PlugBridge(true, false, &error) : -1;
  json paced = json::array();
  if (a < 0 || b < 0) {
    std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  sim::BridgeModel::NullModem(session.Model(a), 0, session.Model(b), 0);
  // The loopback bridge took COM1: and is still plugged, so the pair are COM2: and COM3:.
  HANDLE pa = session.Open(TEXT("COM2:"), &error);
  HANDLE pb =
      pa != INVALID_HANDLE_VALUE ? session.Open(TEXT("COM3:"), &error) : INVALID_HANDLE_VALUE;
  if (pb == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  say("\nPaced null-modem runs, 8N1 with RTS/CTS, both directions at once, %.1f s each\n",
      o.pacedSeconds);
  say("  %8s %12s %10s %12s %13s %8s\n", "baud", "bytes", "lost", "driver CPU %", "process CPU %",
      "targets");
  say("  (targets: nothing lost, driver <= 5 %, process <= 15 % of one core)\n");
  double pairProcessShare921 = 0;
  for (uint32_t baud : {921600u, 3000000u}) {
    LineOptions l;
    l.baud = baud;
    session.ApplyLine(pa, l, &error);
    session.ApplyLine(pb, l, &error);
    uint64_t limit = static_cast<uint64_t>(baud / 10 * o.pacedSeconds);
    Flow ab, ba;
    double c0 = host::ProcessCpuSeconds();
    double d0 = sim::PlatformThreadCpuSeconds();
    std::vector<sim::ThreadCpu> k0 = sim::ThreadCpuTable();
    const CountSnapshot counts0 = TakeCounts();
    Clock::time_point t0 = Clock::now();
    std::thread other([&] { ba = Stream(pb, pa, true, 4096, o.pacedSeconds * 4, limit, 7); });
    ab = Stream(pa, pb, true, 4096, o.pacedSeconds * 4, limit, 3);
    other.join();
    const CostFigures cost =
        CostBetween(counts0, TakeCounts(), kinds.Routines(), ab.received + ba.received);
    const CostFloor floor = PacedFloor(baud, 4096);
    double wall = SecondsSince(t0);
    double share = (host::ProcessCpuSeconds() - c0) / wall * 100;
    // The driver's share: its own threads (event, receive, poll) plus the application threads,
    // which spend their time in driver calls; not the bridge models or the host stack.
    double driverShare =
        (sim::PlatformThreadCpuSeconds() - d0 + ab.callCpuSeconds + ba.callCpuSeconds) / wall * 100;
    KindCpu byKind = kinds.Since(k0, ab.callCpuSeconds + ba.callCpuSeconds);
    if (baud == 921600u) pairProcessShare921 = share;
    uint64_t lost = (ab.bytes - std::min(ab.bytes, ab.received)) +
                    (ba.bytes - std::min(ba.bytes, ba.received)) + ab.mismatched + ba.mismatched;
    bool complete = ab.bytes == limit && ba.bytes == limit;
    bool met = lost == 0 && complete && driverShare <= 5 && share <= 15;
    targets.push_back({"paced_" + std::to_string(baud), met});
    say("  %8u %12llu %10llu %12.2f %13.2f %8s\n", baud,
        static_cast<unsigned long long>(ab.received + ba.received),
        static_cast<unsigned long long>(lost), driverShare, share, Mark(met));
    SayKinds(o.json, byKind, wall, kindsAvailable);
    SayCounts(o.json, cost, floor);
    paced.push_back({{"baud", baud},
                     {"counts", CountsJson(cost, floor)},
                     {"bytes_each_way", limit},
                     {"sent", ab.bytes + ba.bytes},
                     {"received", ab.received + ba.received},
                     {"bytes_lost", lost},
                     {"write_failed", ab.writeFailed || ba.writeFailed},
                     {"seconds", wall},
                     {"cpu_percent", driverShare},
                     {"process_cpu_percent", share},
                     {"cpu_percent_by_kind", KindJson(byKind, wall)},
                     {"target_bytes_lost", 0},
                     {"target_cpu_percent", 5},
                     {"target_process_cpu_percent", 15},
                     {"met", met}});
  }
  say("  (driver: its threads and the application threads' calls; process: also the bridge models\n"
      "   and the host stack)\n");
  out["paced"] = paced;

  // ---- Memory.
  double perAttached = static_cast<double>(heapAttached) - static_cast<double>(heapBeforePlug);
  double perOpen = static_cast<double>(heapOpen) - static_cast<double>(heapBeforePlug);
  uint64_t rss = host::PeakResidentBytes();
  say("\nMemory: simulated heap %.0f bytes per attached port, %.0f bytes per open port; peak RSS "
      "%.1f MiB\n",
      perAttached, perOpen, rss / kMiB);
  out["memory"] = {{"heap_bytes_per_attached_port", perAttached},
                   {"heap_bytes_per_open_port", perOpen},
                   {"peak_rss_bytes", rss}};

  // ---- Scale: two-interface bridges in null-modem pairs, every port at 921600 baud with RTS/CTS,
  // both directions at once. A device names at most nine COM ports by itself (one digit, COM1: to
  // COM9:), so four bridges give the eight ports a device can hold in pairs.
  session.Shutdown();
  {
    constexpr int kScaleBridges = 4;
    constexpr int kScalePorts = kScaleBridges * 2;
    constexpr uint32_t kScaleBaud = 921600;
    const double scaleSeconds = o.quick ? 0.5 : o.pacedSeconds * 1.5;
    Session scale;
    if (!scale.Install(&error) || !sim::RegistryLoadText(kSecondPortKey, &error)) {
      std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
      return kExitCheckFailed;
    }
    std::vector<int> bridges;
    for (int i = 0; i < kScaleBridges; ++i) {
      int b = scale.PlugBridge(/*paced=*/true, /*loopback=*/false, &error, /*interfaces=*/2);
      if (b < 0) {
        std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
        return kExitCheckFailed;
      }
      bridges.push_back(b);
    }
    // Bridge 2k's interface i is wired to bridge 2k+1's interface i. Ports are named in the order
    // they attach: bridge b's interface i is COM(2b+i+1):.
    std::vector<HANDLE> ports;
    for (int b = 0; b < kScaleBridges; b += 2) {
      for (unsigned i = 0; i < 2; ++i) {
        sim::BridgeModel::NullModem(scale.Model(bridges[b]), i, scale.Model(bridges[b + 1]), i);
      }
    }
    LineOptions l;
    l.baud = kScaleBaud;
    for (int n = 1; n <= kScalePorts; ++n) {
      sim::WString name = sim::Utf16("COM" + std::to_string(n) + ":");
      HANDLE h = scale.Open(name.c_str(), &error);
      if (h == INVALID_HANDLE_VALUE || !scale.ApplyLine(h, l, &error)) {
        std::fprintf(stderr, "tvk bench: %s\n", error.c_str());
        return kExitCheckFailed;
      }
      ports.push_back(h);
    }
    // Port p's partner: same interface on the other bridge of the pair.
    auto partner = [](int p) { return (p / 2) % 2 == 0 ? p + 2 : p - 2; };
    const uint64_t limit = static_cast<uint64_t>(kScaleBaud / 10 * scaleSeconds);
    std::vector<Flow> flows(kScalePorts);
    double c0 = host::ProcessCpuSeconds();
    std::vector<sim::ThreadCpu> k0 = sim::ThreadCpuTable();
    Clock::time_point t0 = Clock::now();
    std::vector<std::thread> streams;
    for (int p = 0; p < kScalePorts; ++p) {
      streams.emplace_back([&, p] {
        flows[p] = Stream(ports[p], ports[partner(p)], true, 4096, scaleSeconds * 4, limit,
                          static_cast<uint32_t>(20 + p));
      });
    }
    for (std::thread& t : streams) t.join();
    double wall = SecondsSince(t0);
    double share = (host::ProcessCpuSeconds() - c0) / wall * 100;
    double calls = 0;
    uint64_t lost = 0, received = 0;
    bool complete = true;
    for (const Flow& f : flows) {
      calls += f.callCpuSeconds;
      lost += (f.bytes - std::min(f.bytes, f.received)) + f.mismatched;
      received += f.received;
      complete = complete && f.bytes == limit;
    }
    KindCpu byKind = kinds.Since(k0, calls);
    double perPort = share / kScalePorts;
    double pairPerPort = pairProcessShare921 / 2;
    double perPortRatio = pairPerPort > 0 ? perPort / pairPerPort : 0;
    bool met = lost == 0 && complete && perPortRatio > 0 && perPortRatio <= 1.5;
    targets.push_back({"scale_" + std::to_string(kScalePorts) + "_ports", met});
    say("\nScale: %d ports (%d two-interface bridges in null-modem pairs), %u baud RTS/CTS, both "
        "directions, %.1f s\n",
        kScalePorts, kScaleBridges, kScaleBaud, scaleSeconds);
    say("  bytes %llu, lost %llu; process CPU %.2f %% of one core, %.2f %% per port (single pair: "
        "%.2f %% per port) = %.2f x   target: nothing lost, <= 1.5 x   %s\n",
        static_cast<unsigned long long>(received), static_cast<unsigned long long>(lost), share,
        perPort, pairPerPort, perPortRatio, Mark(met));
    SayKinds(o.json, byKind, wall, kindsAvailable);
    out["scale"] = {{"ports", kScalePorts},
                    {"bridges", kScaleBridges},
                    {"baud", kScaleBaud},
                    {"bytes_each_way_per_port", limit},
                    {"received", received},
                    {"bytes_lost", lost},
                    {"seconds", wall},
                    {"process_cpu_percent", share},
                    {"driver_cpu_percent", byKind.Driver() / wall * 100},
                    {"cpu_percent_by_kind", KindJson(byKind, wall)},
                    {"process_cpu_percent_per_port", perPort},
                    {"single_pair_process_cpu_percent_per_port", pairPerPort},
                    {"per_port_ratio", perPortRatio},
                    {"target_bytes_lost", 0},
                    {"target_per_port_ratio", 1.5},
                    {"met", met}};
    scale.Shutdown();
  }

  int met = 0;
  json missed = json::array();
  for (const Target& t : targets) {
    if (t.met) {
      ++met;
    } else {
      missed.push_back(t.name);
    }
  }
  out["targets"] = {{"count", targets.size()}, {"met", met}, {"missed", missed}};
  out["quick"] = o.quick;
  out["cpu_by_kind_measured"] = kindsAvailable;
  session.Shutdown();
  if (o.json) {
    std::printf("%s\n", out.dump(2).c_str());
  } else {
    std::printf("\nTargets met: %d of %zu%s\n", met, targets.size(),
                missed.empty() ? ""
                               : (" (missed: " +
                                  [&] {
                                    std::string s;
                                    for (auto& m : missed)
                                      s += (s.empty() ? "" : ", ") + m.get<std::string>();
                                    return s;
                                  }() +
                                  ")")
                                     .c_str());
  }
  return kExitOk;
}

}  // namespace tvk
