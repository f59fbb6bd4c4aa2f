// The Windows backend's threads are kernel32's own; their CPU time is summed in kernel_win.cpp
// (PlatformThreadCpuSeconds) and not split by kind here.
#include "sim/os/cpu_account.h"
#include "sim/os/wake_count.h"

namespace sim {
namespace os_detail {

CpuAccount::CpuAccount(ThreadKind kind, const void* routine) {
  SetWakeGroup(kind, routine);
}
CpuAccount::~CpuAccount() = default;

}  // namespace os_detail

std::vector<ThreadCpu> ThreadCpuTable() {
  return {};
}

}  // namespace sim
