#include "tests/bridge/wire_host.h"

#include <chrono>
#include <cstring>

#include "bridge/bridge_requests.h"

namespace wirehost {

struct Host::Transfer {
  bool in = false;
  bool bulk = false;
  LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  BYTE* buffer = nullptr;
  DWORD length = 0;
  DWORD bytes = 0;
  DWORD error = 0;
  bool done = false;
  bool closed = false;
};

namespace {

Host* current = nullptr;
char inPipeTag;
char outPipeTag;

LPCUSB_DEVICE GetDeviceInfo(USB_HANDLE) {
  return nullptr;
}
USB_TRANSFER SetInterface(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR, UCHAR) {
  return nullptr;
}
USB_PIPE OpenPipe(USB_HANDLE, LPCUSB_ENDPOINT_DESCRIPTOR) {
  return nullptr;
}
BOOL ClosePipe(USB_PIPE) {
  return TRUE;
}
USB_TRANSFER GetDescriptor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE, LPVOID, DWORD, UCHAR, UCHAR, WORD,
                           WORD, LPVOID) {
  return nullptr;
}
BOOL RegisterNotify(USB_HANDLE, LPDEVICE_NOTIFY_ROUTINE, LPVOID) {
  return TRUE;
}
USB_TRANSFER IssueVendor(USB_HANDLE, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                         DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer, ULONG) {
  return current->Vendor(routine, parameter, flags, setup, buffer);
}
USB_TRANSFER IssueBulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                       DWORD flags, DWORD length, LPVOID buffer, ULONG) {
  return current->Bulk(pipe, routine, parameter, flags, length, buffer);
}
BOOL GetStatus(USB_TRANSFER transfer, LPDWORD bytes, LPDWORD error) {
  return current->Status(transfer, bytes, error);
}
BOOL IsComplete(USB_TRANSFER) {
  return TRUE;
}
BOOL Abort(USB_TRANSFER, DWORD) {
  return TRUE;
}
BOOL CloseTransfer(USB_TRANSFER transfer) {
  return current->Close(transfer);
}

const USB_FUNCS funcs = {sizeof(USB_FUNCS), GetDeviceInfo,  SetInterface,   OpenPipe,     ClosePipe,
                         GetDescriptor,     RegisterNotify, RegisterNotify, IssueVendor,  IssueBulk,
                         GetStatus,         IsComplete,     Abort,          CloseTransfer};

}  // namespace

Host::Host() {
  current = this;
  worker_ = std::thread([this] { Worker(); });
}

Host::~Host() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stop_ = true;
  }
  changed_.notify_all();
  worker_.join();
  for (Transfer* t : live_) delete t;
  current = nullptr;
}

LPCUSB_FUNCS Host::Funcs() const {
  return &funcs;
}
USB_HANDLE Host::Handle() {
  return reinterpret_cast<USB_HANDLE>(this);
}
USB_PIPE Host::InPipe() {
  return reinterpret_cast<USB_PIPE>(&inPipeTag);
}
USB_PIPE Host::OutPipe() {
  return reinterpret_cast<USB_PIPE>(&outPipeTag);
}

void Host::SetModemStatus(BYTE status) {
  std::lock_guard<std::mutex> hold(lock_);
  modem_ = status;
}
void Host::SetCommStatus(const std::vector<BYTE>& status) {
  std::lock_guard<std::mutex> hold(lock_);
  commStatus_ = status;
}
void Host::SetProperties(const std::vector<BYTE>& properties) {
  std::lock_guard<std::mutex> hold(lock_);
  properties_ = properties;
}
void Host::SetPartNumber(BYTE partNumber) {
  std::lock_guard<std::mutex> hold(lock_);
  partNumber_ = partNumber;
}
void Host::SetLatch(BYTE latch) {
  std::lock_guard<std::mutex> hold(lock_);
  latch_ = latch;
}
BYTE Host::Latch() {
  std::lock_guard<std::mutex> hold(lock_);
  return latch_;
}
void Host::SetLoopback(bool on) {
  std::lock_guard<std::mutex> hold(lock_);
  loopback_ = on;
}
void Host::FailNext(BYTE request, int count) {
  std::lock_guard<std::mutex> hold(lock_);
  failRequest_ = request;
  failCount_ = count;
}
void Host::FailAll(bool on) {
  std::lock_guard<std::mutex> hold(lock_);
  failAll_ = on;
}
void Host::HangBulkOut(int index, DWORD bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  hangIndex_ = bulkOutSeen_ + index;
  hangBytes_ = bytes;
}
void Host::Feed(const std::vector<BYTE>& bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  inFifo_.insert(inFifo_.end(), bytes.begin(), bytes.end());
  ServeInLocked();
}

std::vector<Request> Host::Requests() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_;
}
size_t Host::RequestCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return requests_.size();
}
std::vector<std::vector<BYTE>> Host::BulkOuts() {
  std::lock_guard<std::mutex> hold(lock_);
  return bulkOuts_;
}
void Host::ClearLog() {
  std::lock_guard<std::mutex> hold(lock_);
  requests_.clear();
  bulkOuts_.clear();
}
bool Host::WaitRequests(size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> hold(lock_);
  return changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return requests_.size() >= count; });
}
size_t Host::PendingIn() {
  std::lock_guard<std::mutex> hold(lock_);
  return pendingIn_.size();
}

USB_TRANSFER Host::Vendor(LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter, DWORD flags,
                          LPCUSB_DEVICE_REQUEST setup, LPVOID buffer) {
  std::lock_guard<std::mutex> hold(lock_);
  Request r{*setup, flags, {}};
  Transfer* t = new Transfer;
  live_.push_back(t);
  t->routine = routine;
  t->parameter = parameter;
  bool fail = failAll_;
  if (!fail && failCount_ > 0 && failRequest_ == setup->bRequest) {
    --failCount_;
    fail = true;
  }
  BYTE* data = static_cast<BYTE*>(buffer);
  bool in = (setup->bmRequestType & 0x80) != 0;
  if (fail) {
    t->error = USB_STALL_ERROR;
  } else if (in) {
    std::vector<BYTE> answer;
    switch (setup->bRequest) {
      case ReqModemStatus:
        answer = {modem_};
        break;
      case ReqCommStatus:
        answer = commStatus_;
        break;
      case ReqProperties:
        answer = properties_;
        break;
      case ReqVendor:
        if (setup->wValue == VendorPartNumber) answer = {partNumber_};
        if (setup->wValue == VendorReadLatch) answer = {latch_};
        break;
      default:
        break;
    }
    if (answer.size() > setup->wLength) answer.resize(setup->wLength);
    if (data != nullptr) std::memcpy(data, answer.data(), answer.size());
    t->bytes = (DWORD)answer.size();
    r.data = answer;
  } else {
    if (data != nullptr) r.data.assign(data, data + setup->wLength);
    t->bytes = setup->wLength;
    if (setup->bRequest == ReqVendor && setup->wValue == VendorWriteLatch) {
      BYTE mask = 0, value = 0;
      if (setup->bmRequestType == ReqTypeOutDevice) {
        mask = (BYTE)setup->wIndex;
        value = (BYTE)(setup->wIndex >> 8);
      } else if (r.data.size() == 2) {
        mask = r.data[0];
        value = r.data[1];
      }
      latch_ = (BYTE)((latch_ & ~mask) | (value & mask));
    }
  }
  requests_.push_back(r);
  changed_.notify_all();
  if (routine != nullptr) {
    Complete(t);
  } else {
    t->done = true;
  }
  return reinterpret_cast<USB_TRANSFER>(t);
}

USB_TRANSFER Host::Bulk(USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                        DWORD flags, DWORD length, LPVOID buffer) {
  std::lock_guard<std::mutex> hold(lock_);
  Transfer* t = new Transfer;
  live_.push_back(t);
  t->bulk = true;
  t->routine = routine;
  t->parameter = parameter;
  t->buffer = static_cast<BYTE*>(buffer);
  t->length = length;
  t->in = pipe == InPipe();
  if (t->in) {
    (void)flags;
    pendingIn_.push_back(t);
    ServeInLocked();
    return reinterpret_cast<USB_TRANSFER>(t);
  }
  int index = bulkOutSeen_++;
  if (index == hangIndex_) {
    // Never completes: the wait times out and the status reports what moved so far.
    bulkOuts_.emplace_back(t->buffer, t->buffer + hangBytes_);
    t->bytes = hangBytes_;
    t->error = USB_NOT_COMPLETE_ERROR;
    changed_.notify_all();
    return reinterpret_cast<USB_TRANSFER>(t);
  }
  bulkOuts_.emplace_back(t->buffer, t->buffer + length);
  t->bytes = length;
  if (loopback_) {
    inFifo_.insert(inFifo_.end(), t->buffer, t->buffer + length);
    ServeInLocked();
  }
  Complete(t);
  return reinterpret_cast<USB_TRANSFER>(t);
}

BOOL Host::Status(USB_TRANSFER transfer, LPDWORD bytes, LPDWORD error) {
  std::lock_guard<std::mutex> hold(lock_);
  Transfer* t = reinterpret_cast<Transfer*>(transfer);
  *bytes = t->bytes;
  *error = t->error;
  return TRUE;
}

BOOL Host::Close(USB_TRANSFER transfer) {
  std::lock_guard<std::mutex> hold(lock_);
  Transfer* t = reinterpret_cast<Transfer*>(transfer);
  t->closed = true;
  std::erase(pendingIn_, t);
  // A completion still queued is dropped by the worker; the record itself lives until the host.
  return TRUE;
}

void Host::Complete(Transfer* t) {
  t->done = true;
  completions_.push_back(t);
  changed_.notify_all();
}

void Host::ServeInLocked() {
  while (!inFifo_.empty() && !pendingIn_.empty()) {
    Transfer* t = pendingIn_.front();
    pendingIn_.erase(pendingIn_.begin());
    DWORD n = 0;
    while (n < t->length && !inFifo_.empty()) {
      t->buffer[n++] = inFifo_.front();
      inFifo_.pop_front();
    }
    t->bytes = n;
    Complete(t);
  }
}

void Host::Worker() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [&] { return stop_ || !completions_.empty(); });
    if (stop_) return;
    Transfer* t = completions_.front();
    completions_.pop_front();
    if (t->closed || t->routine == nullptr) continue;
    LPTRANSFER_NOTIFY_ROUTINE routine = t->routine;
    LPVOID parameter = t->parameter;
    hold.unlock();
    routine(parameter);
    hold.lock();
  }
}

}  // namespace wirehost
