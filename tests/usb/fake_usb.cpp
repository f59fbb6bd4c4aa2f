#include "tests/usb/fake_usb.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace fakeusb {

FakeHost* FakeHost::current_ = nullptr;

FakeHost::FakeHost() {
  funcs_.dwCount = sizeof(USB_FUNCS);
  funcs_.lpIssueBulkTransfer = IssueBulk;
  funcs_.lpIssueVendorTransfer = IssueVendor;
  funcs_.lpGetTransferStatus = GetStatus;
  funcs_.lpCloseTransfer = Close;
  current_ = this;
}

FakeHost::~FakeHost() {
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& t : transfers_) {
      t.cancel = true;
      if (t.completer.joinable()) threads.push_back(std::move(t.completer));
    }
    changed_.notify_all();
  }
  for (auto& th : threads) th.join();
  current_ = nullptr;
}

void FakeHost::Queue(Step step) {
  std::lock_guard<std::mutex> lock(mutex_);
  // A transfer already waiting for its step takes this one.
  for (auto& t : transfers_) {
    if (!t.hasStep && !t.closed && t.issue.routine != nullptr) {
      t.step = std::move(step);
      t.hasStep = true;
      changed_.notify_all();
      return;
    }
  }
  steps_.push_back(std::move(step));
}

std::vector<Issue> FakeHost::Issues() {
  std::lock_guard<std::mutex> lock(mutex_);
  return issues_;
}

int FakeHost::Closed() {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}

int FakeHost::StatusReads() {
  std::lock_guard<std::mutex> lock(mutex_);
  return statusReads_;
}

int FakeHost::Outstanding() {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(std::count_if(transfers_.begin(), transfers_.end(),
                                        [](const Transfer& t) { return !t.closed; }));
}

bool FakeHost::WaitIssued(size_t n, DWORD timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [&] { return issues_.size() >= n; });
}

USB_TRANSFER FakeHost::IssueBulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                                 DWORD flags, DWORD length, LPVOID buffer, ULONG) {
  return current_->Start({pipe, routine, parameter, flags, length, buffer});
}

USB_TRANSFER FakeHost::IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                                   DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer, ULONG) {
  return current_->Start({nullptr, routine, parameter, flags, setup->wLength, buffer});
}

USB_TRANSFER FakeHost::Start(const Issue& issue) {
  std::unique_lock<std::mutex> lock(mutex_);
  issues_.push_back(issue);
  changed_.notify_all();
  Transfer* t = nullptr;
  if (!steps_.empty()) {
    if (steps_.front().kind == Step::Refuse) {
      const DWORD code = steps_.front().lastError;
      steps_.pop_front();
      lock.unlock();
      SetLastError(code);
      return nullptr;
    }
    transfers_.emplace_back();
    t = &transfers_.back();
    t->step = std::move(steps_.front());
    t->hasStep = true;
    steps_.pop_front();
  } else {
    transfers_.emplace_back();
    t = &transfers_.back();
  }
  t->issue = issue;
  if (issue.routine == nullptr) {
    // Without a routine the transfer is complete when the issue returns.
    CompleteLocked(t);
  } else {
    t->completer = std::thread([this, t] { RunCompleter(t); });
  }
  return reinterpret_cast<USB_TRANSFER>(t);
}

void FakeHost::CompleteLocked(Transfer* t) {
  const DWORD copied = static_cast<DWORD>(std::min<size_t>(t->step.data.size(), t->issue.length));
  if (copied != 0 && t->issue.buffer != nullptr)
    std::memcpy(t->issue.buffer, t->step.data.data(), copied);
  if (t->step.bytes >= 0) {
    t->reportedBytes = static_cast<DWORD>(t->step.bytes);
  } else {
    t->reportedBytes =
        t->step.data.empty() && !(t->issue.flags & USB_IN_TRANSFER) ? t->issue.length : copied;
  }
  t->complete = true;
}

void FakeHost::RunCompleter(Transfer* t) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return t->cancel || (t->hasStep && t->step.kind != Step::Pend); });
  if (t->cancel) return;
  CompleteLocked(t);
  LPTRANSFER_NOTIFY_ROUTINE routine = t->issue.routine;
  LPVOID parameter = t->issue.parameter;
  lock.unlock();
  routine(parameter);
}

BOOL FakeHost::GetStatus(USB_TRANSFER handle, LPDWORD bytes, LPDWORD usbError) {
  FakeHost* self = current_;
  std::lock_guard<std::mutex> lock(self->mutex_);
  ++self->statusReads_;
  Transfer* t = reinterpret_cast<Transfer*>(handle);
  if (t->hasStep && !t->step.statusReadable) {
    *bytes = 0xDEADu;  // a host stack that fails may leave anything behind
    return FALSE;
  }
  *bytes = t->complete ? t->reportedBytes : t->step.partialBytes;
  *usbError = t->complete ? t->step.usbError : 0;
  return TRUE;
}

BOOL FakeHost::Close(USB_TRANSFER handle) {
  FakeHost* self = current_;
  Transfer* t = reinterpret_cast<Transfer*>(handle);
  std::thread completer;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    ++self->closed_;
    t->closed = true;
    // Closing a transfer that has not completed aborts it: its completion never comes.
    t->cancel = true;
    self->changed_.notify_all();
    completer = std::move(t->completer);
  }
  if (completer.joinable()) completer.join();
  return TRUE;
}

}  // namespace fakeusb
