// The two host primitives the simulated kernel is built on, host-specific (host_sync_linux.cpp;
// host_sync_std.cpp elsewhere): a mutex that lends its waiter's priority to its holder (under
// device scheduling), and a per-thread parker that a waker can signal without taking any lock.
#pragma once

#include <chrono>
#include <cstdint>

namespace sim::os_detail {

// A mutex with priority inheritance under device scheduling where the host has it (a real-time
// thread that waits for it raises the holder to its own level), so that a lock of the
// simulation's own never inverts the simulated threads' priorities; a plain one otherwise, where
// the host's own scheduling does not rank threads strictly. Meets Lockable, for std::lock_guard
// and std::unique_lock.
class PiMutex {
 public:
  PiMutex();
  ~PiMutex();
  PiMutex(const PiMutex&) = delete;
  PiMutex& operator=(const PiMutex&) = delete;
  void lock();
  bool try_lock();
  void unlock();

 private:
  alignas(16) unsigned char storage_[64];
};

// Sleep and wake-up of one thread: a token that Unpark leaves and Park takes. A stale token only
// makes a later park return early; every sleeper re-checks its condition. Unpark takes no lock
// (the waker is never delayed by the sleeper) and may be called from any thread.
class Parker {
 public:
  Parker();
  ~Parker();
  Parker(const Parker&) = delete;
  Parker& operator=(const Parker&) = delete;
  void Unpark();
  void Park();
  // False when the deadline passed without a token.
  bool ParkUntil(std::chrono::steady_clock::time_point deadline);

 private:
  alignas(16) unsigned char storage_[128];
};

}  // namespace sim::os_detail
