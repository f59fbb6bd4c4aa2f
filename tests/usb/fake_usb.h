// A scripted USB_FUNCS table for what the simulated host stack and the bridge model do not
// produce: a transfer that completes with bytes and an error together, a zero-byte success, an
// unreadable status or a count beyond the buffer, a refused issue with a chosen last error (or
// none) while the device stays plugged, and a control transfer that never completes. Each issued
// transfer takes the next scripted step (complete, stay pending, refuse). A transfer issued with
// no step queued stays pending until the test queues one. Completions run on a thread of the
// fake, never on the caller's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/ce_os.h"
#include "platform/ce_usb.h"

namespace fakeusb {

struct Step {
  enum Kind { Complete, Pend, Refuse } kind = Complete;
  std::vector<BYTE> data;  // copied into an IN buffer (at most the transfer's length)
  int64_t bytes = -1;      // reported count; -1: the copied or requested length
  DWORD usbError = 0;
  DWORD lastError = 0;  // Refuse: the last error the issue leaves
  bool statusReadable = true;
  DWORD partialBytes = 0;  // reported while the transfer has not completed
};

struct Issue {
  USB_PIPE pipe = nullptr;  // null for a control transfer
  LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  DWORD flags = 0;
  DWORD length = 0;
  LPVOID buffer = nullptr;
};

class FakeHost {
 public:
  FakeHost();
  ~FakeHost();
  LPCUSB_FUNCS Funcs() const { return &funcs_; }

  void Queue(Step step);
  std::vector<Issue> Issues();
  int Closed();
  int StatusReads();
  int Outstanding();  // issued, not yet closed
  // Waits until n transfers have been issued; false after timeoutMs.
  bool WaitIssued(size_t n, DWORD timeoutMs);

 private:
  struct Transfer {
    Issue issue;
    Step step;
    bool hasStep = false;
    bool complete = false;
    bool closed = false;
    bool cancel = false;
    DWORD reportedBytes = 0;
    std::thread completer;
  };

  static USB_TRANSFER IssueBulk(USB_PIPE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, DWORD, LPVOID,
                                ULONG);
  static USB_TRANSFER IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD,
                                  LPCUSB_DEVICE_REQUEST, LPVOID, ULONG);
  static BOOL GetStatus(USB_TRANSFER, LPDWORD, LPDWORD);
  static BOOL Close(USB_TRANSFER);

  USB_TRANSFER Start(const Issue& issue);
  void CompleteLocked(Transfer* t);
  void RunCompleter(Transfer* t);

  static FakeHost* current_;
  USB_FUNCS funcs_{};
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Step> steps_;
  std::list<Transfer> transfers_;
  std::vector<Issue> issues_;
  int closed_ = 0;
  int statusReads_ = 0;
};

}  // namespace fakeusb
