// The table behind ThreadWakeTable: one counter per kind and routine, never freed (a thread that
// ends leaves its counts), reached without a lock through the thread's own pointer.
#include "sim/os/wake_count.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace sim {
namespace {

using Group = std::pair<ThreadKind, const void*>;

struct Table {
  std::mutex lock;
  std::map<Group, std::unique_ptr<os_detail::WakeCounter>> counters;
};

// Never destroyed: threads may still count while the process exits.
Table& W() {
  static Table* table = new Table;
  return *table;
}

os_detail::WakeCounter* CounterFor(ThreadKind kind, const void* routine) {
  std::lock_guard<std::mutex> guard(W().lock);
  std::unique_ptr<os_detail::WakeCounter>& slot = W().counters[Group{kind, routine}];
  if (!slot) slot = std::make_unique<os_detail::WakeCounter>();
  return slot.get();
}

thread_local os_detail::WakeCounter* tCounter = nullptr;

}  // namespace

namespace os_detail {

void SetWakeGroup(ThreadKind kind, const void* routine) {
  tCounter = CounterFor(kind, routine);
}

WakeCounter& MyWakes() {
  if (tCounter == nullptr) tCounter = CounterFor(ThreadKind::Application, nullptr);
  return *tCounter;
}

}  // namespace os_detail

std::vector<ThreadWakes> ThreadWakeTable() {
  std::lock_guard<std::mutex> guard(W().lock);
  std::vector<ThreadWakes> table;
  table.reserve(W().counters.size());
  for (const auto& [group, c] : W().counters) {
    table.push_back({group.first, group.second, c->blockedWaits.load(std::memory_order_relaxed),
                     c->wakeups.load(std::memory_order_relaxed),
                     c->timeouts.load(std::memory_order_relaxed),
                     c->sectionWaits.load(std::memory_order_relaxed),
                     c->sectionWakeups.load(std::memory_order_relaxed),
                     c->hostCallWaits.load(std::memory_order_relaxed),
                     c->hostCallWakeups.load(std::memory_order_relaxed)});
  }
  return table;
}

}  // namespace sim
