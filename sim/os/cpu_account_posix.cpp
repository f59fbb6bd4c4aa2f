// Per-thread CPU clocks of the host, for CpuAccount, PlatformThreadCpuSeconds() and
// ThreadCpuTable().
#include <pthread.h>
#include <time.h>

#include <map>
#include <mutex>
#include <utility>

#include "sim/os/cpu_account.h"
#include "sim/os/sim_os.h"
#include "sim/os/wake_count.h"

namespace sim {
namespace {

using Group = std::pair<ThreadKind, const void*>;

struct Live {
  clockid_t clock;
  Group group;
};

struct Accounts {
  std::mutex lock;
  std::map<uint64_t, Live> live;  // threads still running (or parked for good)
  uint64_t nextKey = 1;
  std::map<Group, int64_t> endedNanos;  // threads that have ended
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

bool IsPlatform(ThreadKind kind) {
  return kind == ThreadKind::Created || kind == ThreadKind::Timer;
}

}  // namespace

namespace os_detail {

CpuAccount::CpuAccount(ThreadKind kind, const void* routine) {
  SetWakeGroup(kind, routine);
  clockid_t clock;
  if (pthread_getcpuclockid(pthread_self(), &clock) != 0) return;
  std::lock_guard<std::mutex> guard(A().lock);
  key_ = A().nextKey++;
  A().live.emplace(key_, Live{clock, Group{kind, routine}});
}

CpuAccount::~CpuAccount() {
  if (key_ == 0) return;
  int64_t used = ReadNanos(CLOCK_THREAD_CPUTIME_ID);
  std::lock_guard<std::mutex> guard(A().lock);
  auto it = A().live.find(key_);
  A().endedNanos[it->second.group] += used;
  A().live.erase(it);
}

}  // namespace os_detail

double PlatformThreadCpuSeconds() {
  std::lock_guard<std::mutex> guard(A().lock);
  int64_t total = 0;
  for (const auto& [group, nanos] : A().endedNanos) {
    if (IsPlatform(group.first)) total += nanos;
  }
  for (const auto& entry : A().live) {
    if (IsPlatform(entry.second.group.first)) total += ReadNanos(entry.second.clock);
  }
  return static_cast<double>(total) * 1e-9;
}

std::vector<ThreadCpu> ThreadCpuTable() {
  std::map<Group, int64_t> sums;
  {
    std::lock_guard<std::mutex> guard(A().lock);
    sums = A().endedNanos;
    for (const auto& entry : A().live) sums[entry.second.group] += ReadNanos(entry.second.clock);
  }
  std::vector<ThreadCpu> table;
  table.reserve(sums.size());
  for (const auto& [group, nanos] : sums) {
    table.push_back({group.first, group.second, static_cast<double>(nanos) * 1e-9});
  }
  return table;
}

}  // namespace sim
