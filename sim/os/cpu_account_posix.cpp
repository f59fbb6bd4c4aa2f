// Per-thread CPU clocks of the host, for CpuAccount and PlatformThreadCpuSeconds().
#include <pthread.h>
#include <time.h>

#include <map>
#include <mutex>

#include "sim/os/cpu_account.h"
#include "sim/os/sim_os.h"

namespace sim {
namespace {

struct Accounts {
  std::mutex lock;
  std::map<uint64_t, clockid_t> live;  // threads still running (or parked for good)
  uint64_t nextKey = 1;
  int64_t endedNanos = 0;  // threads that have ended
};

// Never destroyed: parked threads keep their accounts until the process exits.
Accounts& A() {
  static Accounts* accounts = new Accounts;
  return *accounts;
}

int64_t ReadNanos(clockid_t clock) {
  timespec ts{};
  if (clock_gettime(clock, &ts) != 0) return 0;
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

namespace os_detail {

CpuAccount::CpuAccount() {
  clockid_t clock;
  if (pthread_getcpuclockid(pthread_self(), &clock) != 0) return;
  std::lock_guard<std::mutex> guard(A().lock);
  key_ = A().nextKey++;
  A().live.emplace(key_, clock);
}

CpuAccount::~CpuAccount() {
  if (key_ == 0) return;
  int64_t used = ReadNanos(CLOCK_THREAD_CPUTIME_ID);
  std::lock_guard<std::mutex> guard(A().lock);
  A().live.erase(key_);
  A().endedNanos += used;
}

}  // namespace os_detail

double PlatformThreadCpuSeconds() {
  std::lock_guard<std::mutex> guard(A().lock);
  int64_t total = A().endedNanos;
  for (const auto& entry : A().live) total += ReadNanos(entry.second);
  return static_cast<double>(total) * 1e-9;
}

}  // namespace sim
