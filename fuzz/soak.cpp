// soak: long runs of the driver on the simulated device, through the application API.
//
//   soak removal --cycles N   N cycles of plug, open, a write, a read and an event wait in flight,
//                             and removal at a random moment (either removal order): every call
//                             returns within 5 s of the removal, and the counters come back to
//                             where they were before the plug. Each cycle includes the driver's
//                             settle pause after a removal (about a second), which bounds the rate.
//   soak stress --seconds S   two bridges joined by a null-modem cable with RTS/CTS, both ways at
//                             once, with control requests, purges and opens and closes of more
//                             handles from other threads. Data are numbered frames: in phases
//                             without purges every frame arrives once and in order; in phases with
//                             purges the frames that arrive do so once and in order.
// Exit status 0 when every check held, 1 otherwise.
#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "fuzz/world.h"
#include "tests/e2e/rig.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long long kReturnBoundMs = 5000;

long long Ms(Clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

int RunRemoval(int cycles, uint32_t seed) {
  world::InstallDriver();
  const world::Counters baseline = world::StableSnapshot(100);
  std::mt19937 random(seed);
  long long slowest = 0;
  Clock::time_point start = Clock::now();
  for (int cycle = 0; cycle < cycles; ++cycle) {
    sim::SetRemovalOrder(random() % 2 ? sim::RemovalOrder::FailTransfersFirst
                                      : sim::RemovalOrder::NotifyFirst);
    rig::Bridge bridge = rig::Plug({});
    world::Check(bridge.attached, "bridge attached");
    HANDLE port = rig::Open(TEXT("COM1:"));
    world::Check(port != INVALID_HANDLE_VALUE, "open COM1:");
    world::Check(rig::Configure(port, CBR_115200, {.rtsCts = true}), "line settings");
    COMMTIMEOUTS none{};
    ceapp::SetCommTimeouts(port, &none);
    ceapp::SetCommMask(port, EV_RING | EV_BREAK);
    // 20000 bytes take 1.7 s at 115200 baud; the read wants more than the write sends.
    std::vector<uint8_t> data = rig::Pattern(20000, cycle);
    std::vector<std::future<Clock::time_point>> calls;
    calls.push_back(std::async(std::launch::async, [&] {
      DWORD n = 0;
      ceapp::WriteFile(port, data.data(), DWORD(data.size()), &n, nullptr);
      return Clock::now();
    }));
    calls.push_back(std::async(std::launch::async, [&] {
      std::vector<uint8_t> buffer(100000);
      DWORD n = 0;
      ceapp::ReadFile(port, buffer.data(), DWORD(buffer.size()), &n, nullptr);
      return Clock::now();
    }));
    calls.push_back(std::async(std::launch::async, [&] {
      DWORD events = 0;
      ceapp::WaitCommEvent(port, &events, nullptr);
      return Clock::now();
    }));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 50000));
    const Clock::time_point removal = Clock::now();
    rig::Unplug(bridge);
    for (auto& call : calls) {
      world::Check(
          call.wait_for(std::chrono::milliseconds(kReturnBoundMs)) == std::future_status::ready,
          "a call in flight returned within 5 s of the removal");
      slowest = std::max(slowest, Ms(call.get() - removal));
    }
    const Clock::time_point closing = Clock::now();
    ceapp::CloseHandle(port);
    slowest = std::max(slowest, Ms(Clock::now() - closing));
    world::Check(rig::WaitRemoved(bridge, 10000), "removal finished within 10 s");
    world::ExpectSettlesTo(baseline, 5000, "after a removal");
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("soak removal: %d cycles in %.1f s (%.2f per second), slowest return %lld ms\n",
              cycles, seconds, cycles / seconds, slowest);
  return 0;
}

// ---- stress

// A frame: 0x7E, sequence number (4 bytes), length n (1 byte), n payload bytes that follow from
// the sequence number. Stale or cut bytes after a purge cannot pass for a frame.
std::vector<uint8_t> Frame(uint32_t seq) {
  const uint8_t n = uint8_t(8 + seq % 120);
  std::vector<uint8_t> f{
      0x7E, uint8_t(seq), uint8_t(seq >> 8), uint8_t(seq >> 16), uint8_t(seq >> 24), n};
  for (uint8_t i = 0; i < n; ++i) f.push_back(uint8_t(seq * 31 + i * 7 + 1));
  return f;
}

struct Direction {
  HANDLE from = INVALID_HANDLE_VALUE;
  HANDLE to = INVALID_HANDLE_VALUE;
  std::atomic<uint32_t> nextSeq{0};   // next frame the writer sends
  std::atomic<int64_t> lastSeen{-1};  // last frame the reader accepted
  std::atomic<uint64_t> frames{0};    // frames accepted
  std::mutex lock;                    // guards phase bookkeeping
  uint32_t phaseFirst = 0;            // first frame of the current exact phase
  std::vector<bool> seen;             // frames seen since phaseFirst (exact phases)
};

// Scans the stream for frames; checks order and no duplication; records frames for exact phases.
void ParseFrames(Direction& d, std::vector<uint8_t>& pending) {
  size_t i = 0;
  while (pending.size() - i >= 6) {
    if (pending[i] != 0x7E) {
      ++i;
      continue;
    }
    const uint32_t seq = pending[i + 1] | pending[i + 2] << 8 | pending[i + 3] << 16 |
                         uint32_t(pending[i + 4]) << 24;
    const size_t n = pending[i + 5];
    if (pending.size() - i < 6 + n) break;
    std::vector<uint8_t> want = Frame(seq);
    if (want.size() != 6 + n || !std::equal(want.begin(), want.end(), pending.begin() + i)) {
      ++i;
      continue;
    }
    world::Check(int64_t(seq) > d.lastSeen.load(), "frames arrive once and in order (got " +
                                                       std::to_string(seq) + " after " +
                                                       std::to_string(d.lastSeen.load()) + ")");
    d.lastSeen = seq;
    ++d.frames;
    {
      std::lock_guard<std::mutex> g(d.lock);
      if (seq >= d.phaseFirst && seq - d.phaseFirst < d.seen.size())
        d.seen[seq - d.phaseFirst] = true;
    }
    i += 6 + n;
  }
  pending.erase(pending.begin(), pending.begin() + i);
}

int RunStress(double seconds, uint32_t seed) {
  world::InstallDriver();
  const world::Counters baseline = world::StableSnapshot(100);
  rig::BridgeOptions options;
  options.wiring = rig::Wiring::None;
  rig::Bridge a = rig::Plug(options), b = rig::Plug(options);
  world::Check(a.attached && b.attached, "both bridges attached");
  rig::NullModem(a, b, true);
  HANDLE com1 = rig::Open(TEXT("COM1:")), com2 = rig::Open(TEXT("COM2:"));
  world::Check(com1 != INVALID_HANDLE_VALUE && com2 != INVALID_HANDLE_VALUE, "open both");
  for (HANDLE h : {com1, com2}) {
    world::Check(rig::Configure(h, 921600, {.rtsCts = true}), "line settings");
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = 20;
    t.WriteTotalTimeoutConstant = 200;
    ceapp::SetCommTimeouts(h, &t);
  }
  Direction dirs[2];
  dirs[0].from = com1, dirs[0].to = com2;
  dirs[1].from = com2, dirs[1].to = com1;

  std::atomic<bool> stop{false}, writing{true}, chaos{false};
  std::vector<std::thread> threads;
  for (Direction& d : dirs) {
    threads.emplace_back([&] {  // writer: whole frames; a write cut by a purge or time-out
      while (!stop) {           // leaves a partial frame, which the reader skips
        if (!writing) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
          continue;
        }
        std::vector<uint8_t> burst;
        for (int k = 0; k < 8; ++k) {
          std::vector<uint8_t> f = Frame(d.nextSeq++);
          burst.insert(burst.end(), f.begin(), f.end());
        }
        DWORD n = 0;
        ceapp::WriteFile(d.from, burst.data(), DWORD(burst.size()), &n, nullptr);
        world::Check(n <= burst.size(), "write count within the buffer");
        if (n < burst.size() && !chaos) {
          // Without purges a write ends short only on its time-out: the rest goes again whole.
          std::vector<uint8_t> rest(burst.begin() + n, burst.end());
          while (!rest.empty() && !stop) {
            DWORD m = 0;
            ceapp::WriteFile(d.from, rest.data(), DWORD(rest.size()), &m, nullptr);
            rest.erase(rest.begin(), rest.begin() + m);
          }
        }
      }
    });
    threads.emplace_back([&] {  // reader
      std::vector<uint8_t> pending, buffer(4096);
      while (!stop) {
        DWORD n = 0;
        ceapp::ReadFile(d.to, buffer.data(), DWORD(buffer.size()), &n, nullptr);
        world::Check(n <= buffer.size(), "read count within the buffer");
        pending.insert(pending.end(), buffer.begin(), buffer.begin() + n);
        ParseFrames(d, pending);
      }
    });
  }
  threads.emplace_back([&] {  // control requests, purges (chaos phases), opens and closes
    std::mt19937 random(seed);
    while (!stop) {
      HANDLE h = random() % 2 ? com1 : com2;
      DWORD word = 0;
      COMSTAT stat{};
      DCB dcb{};
      dcb.DCBlength = sizeof dcb;
      switch (random() % 6) {
        case 0:
          ceapp::GetCommModemStatus(h, &word);
          ceapp::ClearCommError(h, &word, &stat);
          break;
        case 1:
          world::Check(ceapp::GetCommState(h, &dcb) && ceapp::SetCommState(h, &dcb),
                       "the same line settings again");
          break;
        case 2: {
          HANDLE monitor = ceapp::CreateFileW(h == com1 ? TEXT("COM1:") : TEXT("COM2:"), 0, 0,
                                              nullptr, OPEN_EXISTING, 0, nullptr);
          world::Check(monitor != INVALID_HANDLE_VALUE, "a handle without access opens");
          ceapp::SetCommMask(monitor, EV_CTS | EV_RXCHAR);
          ceapp::CloseHandle(monitor);
          break;
        }
        case 3:
          if (chaos) ceapp::PurgeComm(h, 1u << (random() % 4));
          break;
        case 4: {
          COMMPROP properties{};
          ceapp::GetCommProperties(h, &properties);
          ceapp::SetCommMask(h, EV_RXCHAR | EV_TXEMPTY);
          break;
        }
        default:
          ceapp::EscapeCommFunction(h, SETDTR);
          break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
    }
  });

  // Phases of about a second: exact ones (no purges) and chaos ones.
  Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
  int exactPhases = 0, chaosPhases = 0;
  for (int phase = 0; Clock::now() < end; ++phase) {
    const bool exact = phase % 2 == 0;
    chaos = !exact;
    writing = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // writes in flight end
    for (Direction& d : dirs) {
      std::lock_guard<std::mutex> g(d.lock);
      d.phaseFirst = d.nextSeq;
      d.seen.assign(exact ? 1u << 20 : 0, false);
    }
    writing = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    writing = false;
    if (!exact) {
      ++chaosPhases;
      continue;
    }
    // Every frame of the phase arrives within 5 s.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    for (Direction& d : dirs) {
      while (true) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the writer's last burst
        std::lock_guard<std::mutex> g(d.lock);
        const uint32_t count = d.nextSeq - d.phaseFirst;
        world::Check(count <= d.seen.size(), "phase fits the bookkeeping");
        uint32_t missing = 0;
        for (uint32_t k = 0; k < count; ++k) missing += d.seen[k] ? 0 : 1;
        if (missing == 0) break;
        world::Check(Clock::now() < deadline, std::to_string(missing) + " of " +
                                                  std::to_string(count) +
                                                  " frames of an exact phase did not arrive");
      }
    }
    ++exactPhases;
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  ceapp::CloseHandle(com1);
  ceapp::CloseHandle(com2);
  rig::Unplug(a);
  rig::Unplug(b);
  world::Check(rig::WaitRemoved(a, 10000) && rig::WaitRemoved(b, 10000), "removal finished");
  world::ExpectSettlesTo(baseline, 5000, "after the stress");
  std::printf(
      "soak stress: %.0f s, %d exact and %d purge phases, frames %llu and %llu "
      "delivered, all in order, none twice, none lost in exact phases\n",
      seconds, exactPhases, chaosPhases, (unsigned long long)dirs[0].frames.load(),
      (unsigned long long)dirs[1].frames.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Long runs of the driver on the simulated device"};
  app.require_subcommand(1);
  uint32_t seed = 1;
  app.add_option("--seed", seed, "Seed of the random choices");
  int cycles = 100;
  CLI::App* removal = app.add_subcommand("removal", "Surprise removals with calls in flight");
  removal->fallthrough();
  removal->add_option("-n,--cycles", cycles, "Cycles")->check(CLI::PositiveNumber);
  double seconds = 60;
  CLI::App* stress = app.add_subcommand("stress", "Random load on a null-modem pair");
  stress->fallthrough();
  stress->add_option("-s,--seconds", seconds, "Duration")->check(CLI::PositiveNumber);
  CLI11_PARSE(app, argc, argv);
  if (removal->parsed()) return RunRemoval(cycles, seed);
  return RunStress(seconds, seed);
}
