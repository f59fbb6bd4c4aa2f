// The bus, the handle tables and the USB_FUNCS operations.
//
// One mutex (Bus::mu) guards every table and every transfer's state. It is never held while a
// model or a client routine is called, so models may complete transfers while holding their own
// locks and clients may call back into the host stack from their routines.
#include "sim/usb/sim_usb.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "sim/os/cpu_account.h"
#include "sim/os/sched.h"
#include "sim/os/wake_count.h"
#include "sim/usb/usb_module_loader.h"
#include "sim/usb/usb_registration.h"
#include "sim/usb/usbmon_capture.h"

namespace sim {
namespace {

struct Device;

struct Transfer final : UsbIo, std::enable_shared_from_this<Transfer> {
  uintptr_t handle = 0;
  std::shared_ptr<Device> dev;
  LPTRANSFER_NOTIFY_ROUTINE routine = nullptr;
  LPVOID parameter = nullptr;
  void* clientBuffer = nullptr;
  // Guarded by Bus::mu.
  bool complete = false;
  bool closed = false;
  bool routineRunning = false;
  bool asyncUnlink = false;  // aborted without waiting (the capture tells the two cancels apart)
  DWORD bytes = 0;
  DWORD error = USB_NOT_COMPLETE_ERROR;

  bool Complete(const void* data, uint32_t count, DWORD usbError) override;
  bool IsDone() const override;
};

struct Pipe {
  uintptr_t handle = 0;
  std::shared_ptr<Device> dev;
  USB_ENDPOINT_DESCRIPTOR endpoint = {};
};

struct Notification {
  LPDEVICE_NOTIFY_ROUTINE routine;
  LPVOID context;
};

struct Device {
  UsbDeviceId id = 0;
  uintptr_t handle = 0;
  std::shared_ptr<UsbDeviceModel> model;
  LPCUSB_DEVICE info = nullptr;
  // Guarded by Bus::mu.
  bool gone = false;
  bool attachReturned = false;
  bool removed = false;
  bool stopCompletion = false;
  AttachResult result;
  std::vector<Notification> notifications;
  std::deque<std::shared_ptr<Transfer>> completions;
  std::condition_variable cv;            // gone flag: the control thread
  std::condition_variable completionCv;  // completion queue: the completion thread alone
  std::thread::id completionThreadId;
  std::thread control;
  std::thread completion;
};

struct Bus {
  std::mutex mu;
  std::condition_variable cv;  // transfer state changes, attach and removal progress
  std::map<UsbDeviceId, std::shared_ptr<Device>> devices;
  std::map<uintptr_t, std::shared_ptr<Device>> deviceHandles;
  std::map<uintptr_t, std::shared_ptr<Pipe>> pipes;
  std::map<uintptr_t, std::shared_ptr<Transfer>> transfers;
  std::map<sim::WString, LPUSB_DEVICE_ATTACH> builtins;
  std::string moduleDir;
  uintptr_t nextHandle = 0x51000;
  UsbDeviceId nextId = 1;
  size_t leaks = 0;
  UsbTransferCounts counts;
};

// Never destroyed: device threads may still be blocked in it when the process exits.
Bus& B() {
  static Bus* bus = new Bus;
  return *bus;
}

uintptr_t NewHandleLocked() {
  uintptr_t h = B().nextHandle;
  B().nextHandle += 0x10;
  return h;
}

std::shared_ptr<Device> FindDeviceLocked(USB_HANDLE h) {
  auto it = B().deviceHandles.find(reinterpret_cast<uintptr_t>(h));
  return it == B().deviceHandles.end() ? nullptr : it->second;
}
std::shared_ptr<Pipe> FindPipeLocked(USB_PIPE h) {
  auto it = B().pipes.find(reinterpret_cast<uintptr_t>(h));
  return it == B().pipes.end() ? nullptr : it->second;
}
std::shared_ptr<Transfer> FindTransferLocked(USB_TRANSFER h) {
  auto it = B().transfers.find(reinterpret_cast<uintptr_t>(h));
  return it == B().transfers.end() ? nullptr : it->second;
}

UsbTransferCount& CountLocked(const UsbIo& t) {
  if (t.kind == UsbIo::Kind::Control) return B().counts.control;
  return t.in ? B().counts.bulkIn : B().counts.bulkOut;
}

bool Transfer::Complete(const void* data, uint32_t count, DWORD usbError) {
  std::lock_guard<std::mutex> lock(B().mu);
  if (complete) return false;
  complete = true;
  uint32_t n = std::min(count, length);
  // A closed transfer's buffer belongs to the client again: nothing is written into it.
  if (in && !closed && clientBuffer && data && n) std::memcpy(clientBuffer, data, n);
  bytes = n;
  error = usbError;
  UsbTransferCount& counted = CountLocked(*this);
  ++counted.completed;
  counted.bytes += n;
  if (usb_detail::UsbCaptureOn())
    usb_detail::CaptureComplete(*this, handle, dev->id, usbError, dev->gone, asyncUnlink, data, n);
  if (routine && !closed) {
    dev->completions.push_back(shared_from_this());
    dev->completionCv.notify_one();
  }
  B().cv.notify_all();
  return true;
}

bool Transfer::IsDone() const {
  std::lock_guard<std::mutex> lock(B().mu);
  return complete;
}

// Cancels a transfer the model still holds and completes it with `usbError`. Bus::mu not held.
void CancelAndComplete(const std::shared_ptr<Transfer>& t, DWORD usbError) {
  std::shared_ptr<UsbDeviceModel> model;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    if (t->complete) return;
    model = t->dev->model;
  }
  const uint32_t taken = model ? model->Cancel(t) : 0;
  t->Complete(nullptr, t->in ? 0 : taken, usbError);
}

// Waits until no completion routine of `t` runs, unless the caller is that routine's thread.
void WaitRoutineLocked(std::unique_lock<std::mutex>& lock, const std::shared_ptr<Transfer>& t) {
  if (std::this_thread::get_id() == t->dev->completionThreadId) return;
  os_detail::CountedHostCallWait(B().cv, lock, [&] { return !t->routineRunning; });
}

// Closes what a refusing client left open on `dev`: pipes, transfers and notification
// registrations, counted as leaks. Returns the number of items closed. Bus::mu not held.
size_t CloseLeftovers(const std::shared_ptr<Device>& dev) {
  std::vector<std::shared_ptr<Transfer>> open;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    for (auto& [h, t] : B().transfers)
      if (t->dev == dev) open.push_back(t);
  }
  for (auto& t : open) CancelAndComplete(t, USB_CANCELED_ERROR);
  std::unique_lock<std::mutex> lock(B().mu);
  // Every transfer completes exactly once: routines already queued run before the close.
  os_detail::CountedHostCallWait(B().cv, lock, [&] {
    for (auto& t : open) {
      if (t->routineRunning ||
          std::find(dev->completions.begin(), dev->completions.end(), t) != dev->completions.end())
        return false;
    }
    return true;
  });
  size_t closed = 0;
  for (auto& t : open) {
    if (B().transfers.erase(t->handle)) ++closed;
    t->closed = true;
    WaitRoutineLocked(lock, t);
  }
  for (auto it = B().pipes.begin(); it != B().pipes.end();) {
    if (it->second->dev == dev) {
      it = B().pipes.erase(it);
      ++closed;
    } else {
      ++it;
    }
  }
  closed += dev->notifications.size();
  dev->notifications.clear();
  B().leaks += closed;
  return closed;
}

std::string Utf8(const sim::WString& s) {
  std::string out;
  for (WCHAR c : s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

void RunAttach(const std::shared_ptr<Device>& dev) {
  AttachResult result;
  result.status = AttachResult::Status::NoDriver;
  std::vector<usb_detail::ClientMatch> matches = usb_detail::MatchClients(dev->info);
  for (usb_detail::ClientMatch& m : matches) {
    LPUSB_DEVICE_ATTACH attach = nullptr;
    std::string source = Utf8(m.dll);
    {
      std::lock_guard<std::mutex> lock(B().mu);
      auto it = B().builtins.find(m.dll);
      if (it != B().builtins.end()) attach = it->second;
    }
    if (!attach) {
      std::string dir;
      {
        std::lock_guard<std::mutex> lock(B().mu);
        dir = B().moduleDir;
      }
      usb_detail::LoadedAttach loaded = usb_detail::LoadClientAttach(Utf8(m.dll), dir);
      if (!loaded.attach) {
        result.status = AttachResult::Status::LoadFailed;
        result.error = loaded.error;
        result.detail = loaded.detail;
        result.client = m.clientId;
        continue;
      }
      attach = loaded.attach;
      source = loaded.detail;
    }
    LPCUSB_INTERFACE iface = nullptr;
    if (m.interfaceIndex >= 0) iface = &dev->info->lpActiveConfig->lpInterfaces[m.interfaceIndex];
    BOOL accept = FALSE;
    USB_DRIVER_SETTINGS settings = m.settings;
    BOOL ok = attach(reinterpret_cast<USB_HANDLE>(dev->handle), UsbFuncs(), iface,
                     m.clientId.c_str(), &accept, &settings, 0);
    result.client = m.clientId;
    result.detail = source;
    result.error = 0;
    if (ok && accept) {
      result.status = AttachResult::Status::Attached;
      break;
    }
    result.status = AttachResult::Status::Refused;
    CloseLeftovers(dev);
  }
  std::lock_guard<std::mutex> lock(B().mu);
  dev->result = result;
  dev->attachReturned = true;
  B().cv.notify_all();
}

// Completes every transfer of `dev` still outstanding with "device not responding".
void FailOutstanding(const std::shared_ptr<Device>& dev) {
  std::vector<std::shared_ptr<Transfer>> outstanding;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    for (auto& [h, t] : B().transfers)
      if (t->dev == dev && !t->complete) outstanding.push_back(t);
  }
  for (auto& t : outstanding) CancelAndComplete(t, USB_DEVICE_NOT_RESPONDING_ERROR);
}

std::atomic<RemovalOrder> g_removalOrder{RemovalOrder::FailTransfersFirst};

void RunRemoval(const std::shared_ptr<Device>& dev) {
  const RemovalOrder order = g_removalOrder.load();
  dev->model->Unplugged();
  // Transfers issued after this point are refused (the model is unplugged).
  if (order == RemovalOrder::FailTransfersFirst) FailOutstanding(dev);
  std::vector<Notification> routines;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    routines = dev->notifications;
  }
  for (const Notification& n : routines) {
    // A routine unregistered by an earlier routine is not called.
    bool still = false;
    {
      std::lock_guard<std::mutex> lock(B().mu);
      for (const Notification& r : dev->notifications)
        still = still || (r.routine == n.routine && r.context == n.context);
    }
    if (still) n.routine(n.context, USB_CLOSE_DEVICE, nullptr, nullptr, nullptr, nullptr);
  }
  FailOutstanding(dev);
  // Pipes and transfers the client still holds stay valid (status readable, issues refused)
  // until it closes them; LiveTransfers and LivePipes show them.
  {
    std::lock_guard<std::mutex> lock(B().mu);
    dev->notifications.clear();
    dev->stopCompletion = true;
    dev->completionCv.notify_one();
  }
  dev->completion.join();
  std::lock_guard<std::mutex> lock(B().mu);
  dev->removed = true;
  dev->info = nullptr;
  B().deviceHandles.erase(dev->handle);
  B().cv.notify_all();
}

void ControlThread(std::shared_ptr<Device> dev) {
  sched::EnterSimulationThread();
  os_detail::CpuAccount account(ThreadKind::HostStack);
  RunAttach(dev);
  {
    std::unique_lock<std::mutex> lock(B().mu);
    os_detail::CountedWait(dev->cv, lock, [&] { return dev->gone; });
  }
  RunRemoval(dev);
  std::shared_ptr<UsbDeviceModel> model;
  std::lock_guard<std::mutex> lock(B().mu);
  model.swap(dev->model);  // released after the lock is left
  B().cv.notify_all();
}

void CompletionThread(std::shared_ptr<Device> dev) {
  sched::EnterSimulationThread();
  os_detail::CpuAccount account(ThreadKind::HostStack);
  std::unique_lock<std::mutex> lock(B().mu);
  for (;;) {
    os_detail::CountedWait(dev->completionCv, lock,
                           [&] { return !dev->completions.empty() || dev->stopCompletion; });
    if (dev->completions.empty()) return;
    std::shared_ptr<Transfer> t = std::move(dev->completions.front());
    dev->completions.pop_front();
    if (t->closed) {
      B().cv.notify_all();
      continue;
    }
    t->routineRunning = true;
    lock.unlock();
    t->routine(t->parameter);
    lock.lock();
    t->routineRunning = false;
    B().cv.notify_all();
  }
}

// Joins the threads of devices whose removal has finished. Bus::mu not held.
void Reap() {
  std::vector<std::shared_ptr<Device>> done;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    for (auto& [id, d] : B().devices)
      if (d->removed && d->control.joinable() && !d->model) done.push_back(d);
  }
  for (auto& d : done)
    if (d->control.joinable() && d->control.get_id() != std::this_thread::get_id())
      d->control.join();
}

// ---- USB_FUNCS ----------------------------------------------------------------------------------

std::shared_ptr<Device> LiveDeviceLocked(USB_HANDLE h) {
  std::shared_ptr<Device> dev = FindDeviceLocked(h);
  if (!dev) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (dev->gone) {
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return nullptr;
  }
  return dev;
}

// Issues `t` (kind, endpoint, in, setup, length filled by the caller) on `dev`.
USB_TRANSFER Issue(const std::shared_ptr<Device>& dev, std::shared_ptr<Transfer> t,
                   LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter, DWORD flags, void* buffer) {
  if (t->length && !buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  t->dev = dev;
  t->routine = routine;
  t->parameter = parameter;
  t->flags = flags;
  t->clientBuffer = buffer;
  if (!t->in && t->length) {
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    t->outData.assign(p, p + t->length);
  }
  std::shared_ptr<UsbDeviceModel> model;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    if (dev->gone) {
      SetLastError(ERROR_DEVICE_NOT_CONNECTED);
      return nullptr;
    }
    t->handle = NewHandleLocked();
    B().transfers[t->handle] = t;
    ++CountLocked(*t).issued;
    // Recorded under the lock: nothing can complete the transfer before its submission is seen.
    if (usb_detail::UsbCaptureOn()) usb_detail::CaptureSubmit(*t, t->handle, dev->id);
    model = dev->model;
  }
  model->Submit(t);
  if (!routine && !(flags & USB_NO_WAIT)) {
    std::unique_lock<std::mutex> lock(B().mu);
    os_detail::CountedHostCallWait(B().cv, lock, [&] { return t->complete || dev->gone; });
    if (!t->complete) {
      lock.unlock();
      CancelAndComplete(t, USB_DEVICE_NOT_RESPONDING_ERROR);
    }
  }
  return reinterpret_cast<USB_TRANSFER>(t->handle);
}

LPCUSB_DEVICE FnGetDeviceInfo(USB_HANDLE device) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindDeviceLocked(device);
  if (!dev || !dev->info) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return dev->info;
}

USB_TRANSFER ControlRequest(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                            DWORD flags, const USB_DEVICE_REQUEST& setup, void* buffer) {
  std::shared_ptr<Device> dev;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    dev = LiveDeviceLocked(device);
  }
  if (!dev) return nullptr;
  auto t = std::make_shared<Transfer>();
  t->kind = UsbIo::Kind::Control;
  t->setup = setup;
  t->in = (setup.bmRequestType & 0x80) != 0;
  t->length = setup.wLength;
  return Issue(dev, std::move(t), routine, parameter, flags, buffer);
}

USB_TRANSFER FnSetInterface(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                            DWORD flags, UCHAR interfaceNumber, UCHAR alternateSetting) {
  USB_DEVICE_REQUEST setup = {0x01, 0x0B, alternateSetting, interfaceNumber, 0};
  return ControlRequest(device, routine, parameter, flags & ~USB_IN_TRANSFER, setup, nullptr);
}

USB_TRANSFER FnGetDescriptor(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine, LPVOID parameter,
                             DWORD flags, UCHAR type, UCHAR index, WORD language, WORD length,
                             LPVOID buffer) {
  USB_DEVICE_REQUEST setup = {0x80, 0x06, static_cast<USHORT>((type << 8) | index), language,
                              length};
  return ControlRequest(device, routine, parameter, flags | USB_IN_TRANSFER, setup, buffer);
}

USB_TRANSFER FnIssueVendorTransfer(USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                                   LPVOID parameter, DWORD flags, LPCUSB_DEVICE_REQUEST setup,
                                   LPVOID buffer, ULONG /*physicalAddress*/) {
  if (!setup) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  USB_DEVICE_REQUEST copy = *setup;
  // The data stage's direction comes from the setup packet; flags that say otherwise are a
  // client bug that would leave the buffer unfilled or sent as garbage.
  if (((flags & USB_IN_TRANSFER) != 0) != ((copy.bmRequestType & 0x80) != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return ControlRequest(device, routine, parameter, flags, copy, buffer);
}

USB_PIPE FnOpenPipe(USB_HANDLE device, LPCUSB_ENDPOINT_DESCRIPTOR endpoint) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = LiveDeviceLocked(device);
  if (!dev) return nullptr;
  const USB_ENDPOINT_DESCRIPTOR* found = nullptr;
  const USB_CONFIGURATION* config = dev->info ? dev->info->lpActiveConfig : nullptr;
  if (endpoint && config && config->lpInterfaces) {
    for (DWORD i = 0; i < config->dwNumInterfaces && !found; ++i) {
      const USB_INTERFACE& iface = config->lpInterfaces[i];
      for (DWORD e = 0; iface.lpEndpoints && e < iface.Descriptor.bNumEndpoints; ++e) {
        if (&iface.lpEndpoints[e].Descriptor == endpoint) found = endpoint;
      }
    }
    // A copy of a descriptor is accepted when the device has that endpoint.
    for (DWORD i = 0; i < config->dwNumInterfaces && !found; ++i) {
      const USB_INTERFACE& iface = config->lpInterfaces[i];
      for (DWORD e = 0; iface.lpEndpoints && e < iface.Descriptor.bNumEndpoints; ++e) {
        const USB_ENDPOINT_DESCRIPTOR& d = iface.lpEndpoints[e].Descriptor;
        if (d.bEndpointAddress == endpoint->bEndpointAddress &&
            d.bmAttributes == endpoint->bmAttributes)
          found = &d;
      }
    }
  }
  if (!found) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto pipe = std::make_shared<Pipe>();
  pipe->handle = NewHandleLocked();
  pipe->dev = dev;
  pipe->endpoint = *found;
  B().pipes[pipe->handle] = pipe;
  return reinterpret_cast<USB_PIPE>(pipe->handle);
}

BOOL FnClosePipe(USB_PIPE handle) {
  std::shared_ptr<Pipe> pipe;
  std::vector<std::shared_ptr<Transfer>> open;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    pipe = FindPipeLocked(handle);
    if (!pipe) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    B().pipes.erase(pipe->handle);
    for (auto& [h, t] : B().transfers)
      if (t->kind == UsbIo::Kind::Bulk && t->dev == pipe->dev &&
          t->endpoint == pipe->endpoint.bEndpointAddress)
        open.push_back(t);
  }
  // Transfers still running on a closed pipe end as cancelled; their handles stay to be closed.
  for (auto& t : open) CancelAndComplete(t, USB_CANCELED_ERROR);
  return TRUE;
}

BOOL FnRegisterNotificationRoutine(USB_HANDLE device, LPDEVICE_NOTIFY_ROUTINE routine,
                                   LPVOID context) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = LiveDeviceLocked(device);
  if (!dev) return FALSE;
  if (!routine) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  dev->notifications.push_back({routine, context});
  return TRUE;
}

BOOL FnUnRegisterNotificationRoutine(USB_HANDLE device, LPDEVICE_NOTIFY_ROUTINE routine,
                                     LPVOID context) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindDeviceLocked(device);
  if (!dev) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  auto& list = dev->notifications;
  for (auto it = list.begin(); it != list.end(); ++it) {
    if (it->routine == routine && it->context == context) {
      list.erase(it);
      return TRUE;
    }
  }
  SetLastError(ERROR_INVALID_PARAMETER);
  return FALSE;
}

USB_TRANSFER FnIssueBulkTransfer(USB_PIPE handle, LPTRANSFER_NOTIFY_ROUTINE routine,
                                 LPVOID parameter, DWORD flags, DWORD length, LPVOID buffer,
                                 ULONG /*physicalAddress*/) {
  std::shared_ptr<Pipe> pipe;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    pipe = FindPipeLocked(handle);
    if (!pipe) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  bool in = (pipe->endpoint.bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
  if (in != ((flags & USB_IN_TRANSFER) != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto t = std::make_shared<Transfer>();
  t->kind = UsbIo::Kind::Bulk;
  t->endpoint = pipe->endpoint.bEndpointAddress;
  t->in = in;
  t->length = length;
  return Issue(pipe->dev, std::move(t), routine, parameter, flags, buffer);
}

BOOL FnGetTransferStatus(USB_TRANSFER handle, LPDWORD bytesTransferred, LPDWORD usbError) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Transfer> t = FindTransferLocked(handle);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (bytesTransferred) *bytesTransferred = t->complete ? t->bytes : 0;
  if (usbError) *usbError = t->complete ? t->error : USB_NOT_COMPLETE_ERROR;
  return TRUE;
}

BOOL FnIsTransferComplete(USB_TRANSFER handle) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Transfer> t = FindTransferLocked(handle);
  if (!t) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return t->complete ? TRUE : FALSE;
}

BOOL FnAbortTransfer(USB_TRANSFER handle, DWORD flags) {
  std::shared_ptr<Transfer> t;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    t = FindTransferLocked(handle);
    if (!t) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (!t->complete) t->asyncUnlink = (flags & USB_NO_WAIT) != 0;
  }
  CancelAndComplete(t, USB_CANCELED_ERROR);
  if (!(flags & USB_NO_WAIT)) {
    std::unique_lock<std::mutex> lock(B().mu);
    // The routine of an aborted transfer has run (or the transfer was closed) when this returns.
    B().cv.wait(lock, [&] {
      bool queued = std::find(t->dev->completions.begin(), t->dev->completions.end(), t) !=
                    t->dev->completions.end();
      return t->closed || std::this_thread::get_id() == t->dev->completionThreadId ||
             (!queued && !t->routineRunning);
    });
  }
  return TRUE;
}

BOOL FnCloseTransfer(USB_TRANSFER handle) {
  std::shared_ptr<Transfer> t;
  bool pending = false;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    t = FindTransferLocked(handle);
    if (!t) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    B().transfers.erase(t->handle);
    t->closed = true;
    pending = !t->complete;
  }
  if (pending) CancelAndComplete(t, USB_CANCELED_ERROR);
  std::unique_lock<std::mutex> lock(B().mu);
  WaitRoutineLocked(lock, t);
  return TRUE;
}

const USB_FUNCS kFuncs = {
    sizeof(USB_FUNCS),
    FnGetDeviceInfo,
    FnSetInterface,
    FnOpenPipe,
    FnClosePipe,
    FnGetDescriptor,
    FnRegisterNotificationRoutine,
    FnUnRegisterNotificationRoutine,
    FnIssueVendorTransfer,
    FnIssueBulkTransfer,
    FnGetTransferStatus,
    FnIsTransferComplete,
    FnAbortTransfer,
    FnCloseTransfer,
};

std::shared_ptr<Device> FindById(UsbDeviceId id) {
  auto it = B().devices.find(id);
  return it == B().devices.end() ? nullptr : it->second;
}

template <class Pred>
bool WaitFor(uint32_t timeoutMs, Pred pred) {
  std::unique_lock<std::mutex> lock(B().mu);
  return B().cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

}  // namespace

void SetRemovalOrder(RemovalOrder order) {
  g_removalOrder.store(order);
}

RemovalOrder GetRemovalOrder() {
  return g_removalOrder.load();
}

LPCUSB_FUNCS UsbFuncs() {
  return &kFuncs;
}

UsbDeviceId Plug(std::shared_ptr<UsbDeviceModel> model, PlugOptions options) {
  if (!model) return 0;
  usb_detail::CaptureFromEnvironment();
  Reap();
  auto dev = std::make_shared<Device>();
  dev->model = model;
  dev->info = model->DeviceInfo();
  {
    std::lock_guard<std::mutex> lock(B().mu);
    dev->id = B().nextId++;
    dev->handle = NewHandleLocked();
    B().devices[dev->id] = dev;
    B().deviceHandles[dev->handle] = dev;
  }
  if (usb_detail::UsbCaptureOn()) usb_detail::CapturePlug(dev->id, dev->info);
  model->Plugged(dev->id);
  {
    // The threads start under the lock so that their handles are in place before they run.
    std::lock_guard<std::mutex> lock(B().mu);
    dev->completion = std::thread(CompletionThread, dev);
    dev->completionThreadId = dev->completion.get_id();
    dev->control = std::thread(ControlThread, dev);
  }
  if (options.waitForAttach) {
    std::unique_lock<std::mutex> lock(B().mu);
    B().cv.wait(lock, [&] { return dev->attachReturned; });
  }
  return dev->id;
}

bool Unplug(UsbDeviceId id) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindById(id);
  if (!dev || dev->gone) return false;
  dev->gone = true;
  dev->cv.notify_all();
  B().cv.notify_all();
  return true;
}

bool WaitRemoved(UsbDeviceId id, uint32_t timeoutMs) {
  std::shared_ptr<Device> dev;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    dev = FindById(id);
  }
  if (!dev) return false;
  if (!WaitFor(timeoutMs, [&] { return dev->removed && !dev->model; })) return false;
  Reap();
  return true;
}

bool WaitAttached(UsbDeviceId id, uint32_t timeoutMs) {
  std::shared_ptr<Device> dev;
  {
    std::lock_guard<std::mutex> lock(B().mu);
    dev = FindById(id);
  }
  return dev && WaitFor(timeoutMs, [&] { return dev->attachReturned; });
}

AttachResult LastAttachResult(UsbDeviceId id) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindById(id);
  if (!dev)
    return AttachResult{AttachResult::Status::NoDriver, ERROR_INVALID_HANDLE, "unknown", {}};
  return dev->result;
}

bool IsPlugged(UsbDeviceId id) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindById(id);
  return dev && !dev->gone;
}

USB_HANDLE DeviceHandle(UsbDeviceId id) {
  std::lock_guard<std::mutex> lock(B().mu);
  std::shared_ptr<Device> dev = FindById(id);
  return dev ? reinterpret_cast<USB_HANDLE>(dev->handle) : nullptr;
}

void RegisterBuiltinUsbClient(const sim::WString& moduleName, LPUSB_DEVICE_ATTACH attach) {
  std::lock_guard<std::mutex> lock(B().mu);
  B().builtins[moduleName] = attach;
}

void UnregisterBuiltinUsbClient(const sim::WString& moduleName) {
  std::lock_guard<std::mutex> lock(B().mu);
  B().builtins.erase(moduleName);
}

void SetUsbModuleDir(const std::string& dir) {
  std::lock_guard<std::mutex> lock(B().mu);
  B().moduleDir = dir;
}

size_t LiveTransfers() {
  std::lock_guard<std::mutex> lock(B().mu);
  return B().transfers.size();
}

size_t LivePipes() {
  std::lock_guard<std::mutex> lock(B().mu);
  return B().pipes.size();
}

size_t LiveNotificationRoutines() {
  std::lock_guard<std::mutex> lock(B().mu);
  size_t n = 0;
  for (auto& [id, d] : B().devices) n += d->notifications.size();
  return n;
}

UsbTransferCounts TransferCounts() {
  std::lock_guard<std::mutex> lock(B().mu);
  return B().counts;
}

size_t UsbLeakCount() {
  std::lock_guard<std::mutex> lock(B().mu);
  return B().leaks;
}

void ResetUsbLeakCount() {
  std::lock_guard<std::mutex> lock(B().mu);
  B().leaks = 0;
}

}  // namespace sim
