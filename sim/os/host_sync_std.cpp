// PiMutex and Parker where the host offers nothing better than the standard library: a plain
// mutex (no priority inheritance; device scheduling is Linux-only) and a condition variable.
#include <condition_variable>
#include <mutex>
#include <new>

#include "sim/os/host_sync.h"

namespace sim::os_detail {
namespace {

struct ParkerState {
  std::mutex mutex;
  std::condition_variable cv;
  bool token = false;
};

std::mutex& M(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::mutex*>(storage));
}

ParkerState& P(unsigned char* storage) {
  return *std::launder(reinterpret_cast<ParkerState*>(storage));
}

}  // namespace

static_assert(sizeof(std::mutex) <= 64);
static_assert(sizeof(ParkerState) <= 128);

PiMutex::PiMutex() {
  new (storage_) std::mutex;
}
PiMutex::~PiMutex() {
  M(storage_).~mutex();
}
void PiMutex::lock() {
  M(storage_).lock();
}
bool PiMutex::try_lock() {
  return M(storage_).try_lock();
}
void PiMutex::unlock() {
  M(storage_).unlock();
}

Parker::Parker() {
  new (storage_) ParkerState;
}
Parker::~Parker() {
  P(storage_).~ParkerState();
}
void Parker::Unpark() {
  ParkerState& p = P(storage_);
  {
    std::lock_guard<std::mutex> guard(p.mutex);
    p.token = true;
  }
  p.cv.notify_one();
}
void Parker::Park() {
  ParkerState& p = P(storage_);
  std::unique_lock<std::mutex> held(p.mutex);
  while (!p.token) p.cv.wait(held);
  p.token = false;
}
bool Parker::ParkUntil(std::chrono::steady_clock::time_point deadline) {
  ParkerState& p = P(storage_);
  std::unique_lock<std::mutex> held(p.mutex);
  while (!p.token) {
    if (p.cv.wait_until(held, deadline) == std::cv_status::timeout && !p.token) return false;
  }
  p.token = false;
  return true;
}

}  // namespace sim::os_detail
