// PiMutex and Parker on Linux: a PTHREAD_PRIO_INHERIT mutex and a futex word.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "sim/os/host_sync.h"

namespace sim::os_detail {
namespace {

pthread_mutex_t& M(unsigned char* storage) {
  return *std::launder(reinterpret_cast<pthread_mutex_t*>(storage));
}

std::atomic<uint32_t>& Word(unsigned char* storage) {
  return *std::launder(reinterpret_cast<std::atomic<uint32_t>*>(storage));
}

[[noreturn]] void Fail(const char* what, int error) {
  std::fprintf(stderr, "%s failed: error %d\n", what, error);
  std::abort();
}

// Waits while the word is 0, until `deadline` (absolute, CLOCK_MONOTONIC) when one is given.
// Returns false on time-out.
bool FutexWait(std::atomic<uint32_t>& word, const timespec* deadline) {
  long r =
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
              0u, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  return !(r != 0 && errno == ETIMEDOUT);
}

}  // namespace

static_assert(sizeof(pthread_mutex_t) <= 64);
static_assert(sizeof(std::atomic<uint32_t>) <= 128);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

PiMutex::PiMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  int error = pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  if (error != 0) Fail("pthread_mutexattr_setprotocol", error);
  error = pthread_mutex_init(new (storage_) pthread_mutex_t, &attr);
  pthread_mutexattr_destroy(&attr);
  if (error != 0) Fail("pthread_mutex_init", error);
}

PiMutex::~PiMutex() {
  pthread_mutex_destroy(&M(storage_));
}

void PiMutex::lock() {
  int error = pthread_mutex_lock(&M(storage_));
  if (error != 0) Fail("pthread_mutex_lock", error);
}

bool PiMutex::try_lock() {
  return pthread_mutex_trylock(&M(storage_)) == 0;
}

void PiMutex::unlock() {
  pthread_mutex_unlock(&M(storage_));
}

Parker::Parker() {
  new (storage_) std::atomic<uint32_t>(0);
}

Parker::~Parker() = default;

void Parker::Unpark() {
  std::atomic<uint32_t>& word = Word(storage_);
  word.store(1, std::memory_order_release);
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1,
          nullptr, nullptr, 0);
}

void Parker::Park() {
  std::atomic<uint32_t>& word = Word(storage_);
  while (word.exchange(0, std::memory_order_acquire) == 0) FutexWait(word, nullptr);
}

bool Parker::ParkUntil(std::chrono::steady_clock::time_point deadline) {
  std::atomic<uint32_t>& word = Word(storage_);
  // steady_clock is CLOCK_MONOTONIC here, the futex's clock without FUTEX_CLOCK_REALTIME.
  const auto since = deadline.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec until{};
  until.tv_sec = static_cast<time_t>(seconds.count());
  until.tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
  while (word.exchange(0, std::memory_order_acquire) == 0) {
    if (!FutexWait(word, &until)) return word.exchange(0, std::memory_order_acquire) != 0;
  }
  return true;
}

}  // namespace sim::os_detail
