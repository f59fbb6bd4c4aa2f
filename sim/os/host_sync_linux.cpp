// PiMutex and Parker on Linux: a pthread mutex (priority-inheriting under device scheduling) and a
// futex word.
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
#include "sim/os/sched.h"

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

// The parker's word: empty, a token left, or its thread asleep on it (so that Unpark knows whether
// it must wake it).
constexpr uint32_t kEmpty = 0;
constexpr uint32_t kToken = 1;
constexpr uint32_t kAsleep = 2;

// Waits while the word is kAsleep, until `deadline` (absolute, CLOCK_MONOTONIC) when one is given.
// Returns false on time-out.
bool FutexWait(std::atomic<uint32_t>& word, const timespec* deadline) {
  long r =
      syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG,
              kAsleep, deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
  return !(r != 0 && errno == ETIMEDOUT);
}

}  // namespace

static_assert(sizeof(pthread_mutex_t) <= 64);
static_assert(sizeof(std::atomic<uint32_t>) <= 128);
static_assert(std::atomic<uint32_t>::is_always_lock_free);

// Priority inheritance only matters where the host schedules by strict priorities, under device
// scheduling. Elsewhere a plain mutex: a contended priority-inheriting one enters the host kernel
// for every lock and unlock and hands itself to the waiter in turn, which on a busy machine makes
// every thread that wants it wait until that waiter has been scheduled.
PiMutex::PiMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  int error = pthread_mutexattr_setprotocol(
      &attr, sched::DeviceScheduling() ? PTHREAD_PRIO_INHERIT : PTHREAD_PRIO_NONE);
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
  new (storage_) std::atomic<uint32_t>(kEmpty);
}

Parker::~Parker() = default;

// Only a thread that sleeps on the word costs the waker a system call.
void Parker::Unpark() {
  std::atomic<uint32_t>& word = Word(storage_);
  if (word.exchange(kToken, std::memory_order_release) != kAsleep) return;
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE | FUTEX_PRIVATE_FLAG, 1,
          nullptr, nullptr, 0);
}

// Only the parker's own thread parks on it, so between its parks the word is empty or holds a
// token. A token that arrives before the thread is asleep ends the futex wait at once.
void Parker::Park() {
  std::atomic<uint32_t>& word = Word(storage_);
  uint32_t expected = kEmpty;
  if (!word.compare_exchange_strong(expected, kAsleep, std::memory_order_acquire)) {
    word.store(kEmpty, std::memory_order_relaxed);  // took the token
    return;
  }
  do {
    FutexWait(word, nullptr);
    expected = kToken;
  } while (!word.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire));
}

bool Parker::ParkUntil(std::chrono::steady_clock::time_point deadline) {
  std::atomic<uint32_t>& word = Word(storage_);
  uint32_t expected = kEmpty;
  if (!word.compare_exchange_strong(expected, kAsleep, std::memory_order_acquire)) {
    word.store(kEmpty, std::memory_order_relaxed);
    return true;
  }
  // steady_clock is CLOCK_MONOTONIC here, the futex's clock without FUTEX_CLOCK_REALTIME.
  const auto since = deadline.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  timespec until{};
  until.tv_sec = static_cast<time_t>(seconds.count());
  until.tv_nsec = static_cast<long>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
  for (;;) {
    const bool timedOut = !FutexWait(word, &until);
    expected = kToken;
    if (word.compare_exchange_strong(expected, kEmpty, std::memory_order_acquire)) return true;
    // A token that comes after this stays for the next park.
    if (timedOut) return word.exchange(kEmpty, std::memory_order_acquire) == kToken;
  }
}

}  // namespace sim::os_detail
