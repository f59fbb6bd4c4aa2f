// Device scheduling (TV_SCHED=device): the simulated device's threads under the host's real-time
// round-robin policy, in the order of their platform priorities, all on one core, as the device
// runs them. Without the variable (or where the host refuses real-time policies) these calls
// change nothing and scheduling stays the host's. Host-specific: sched_linux.cpp; sched_none.cpp
// elsewhere (the option is Linux-only).
//
// Levels (Linux real-time priorities 1..99, higher runs first):
//   platform threads   the eight-level scale (256-level 248..255) one level each: 255 (idle) -> 1,
//                      251 (normal, applications) -> 5, 249 (driver receive threads) -> 7, 248
//                      (time critical) -> 8; the rest of the 256-level scale spread over 9..98:
//                      9 + (247 - priority256) * 89 / 247, so 103 (the driver's event thread) ->
//                      60 and 0 -> 98. Every platform priority keeps its order, and those that
//                      threads actually use stay apart (a plain 1 + (255 - p) * 97 / 255 would put
//                      250 and 251, or 248 and 249, on one level). The 100 ms round-robin quantum
//                      among equals is the host's default too.
//   simulation threads 99: the USB host stack (control and completion threads), the bridge
//                      models (line engine, pseudo-terminal), the multimedia timer service.
//                      On the device the host controller's interrupt and the USB stack's threads
//                      run above every driver, and the bridge is hardware that works beside the
//                      CPU; neither may wait for a driver thread that happens to be busy.
#pragma once

namespace sim::sched {

constexpr int kSimulationLevel = 99;

// A simulated thread's rank for scheduling: its 256-level platform priority (0 highest), or
// kSimulationRank for the simulation's own threads, which rank above every platform priority.
constexpr int kSimulationRank = -1;

constexpr int LevelForRank(int rank) {
  if (rank < 0) return kSimulationLevel;
  if (rank >= 248) return 256 - rank;
  return 9 + (247 - rank) * 89 / 247;
}
static_assert(LevelForRank(255) == 1 && LevelForRank(251) == 5 && LevelForRank(248) == 8);
static_assert(LevelForRank(247) == 9 && LevelForRank(103) == 60 && LevelForRank(0) == 98);

// True when TV_SCHED=device was asked for and the host granted real-time policies. Decided once,
// when the simulation's library is loaded (which also puts the loading thread, the application's
// main thread, at the level of the normal priority 251 and pins the process to one CPU).
bool DeviceScheduling();

// Marks the calling thread as one of the simulation's own (host stack, models, timer service)
// and, under device scheduling, gives it kSimulationLevel. Call first thing in the thread.
void EnterSimulationThread();
bool IsSimulationThread();

// The calling thread's host id for SetRank (0 where the host has none).
int CurrentHostThread();
// Under device scheduling, puts the host thread at LevelForRank(rank); otherwise nothing. The
// thread must be alive (the kernel only calls it for records whose thread has not ended).
void SetRank(int hostThread, int rank);

}  // namespace sim::sched
