// The usbmon capture: records built on the data path into a buffer, written by a thread of their
// own. The buffer's lock is a leaf: the host stack may hold its own lock (and a model its own)
// while it records.
#include "sim/usb/usbmon_capture.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace sim {
namespace usb_detail {

std::atomic<bool> g_captureOn{false};

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr uint32_t kLinktypeUsbLinuxMmapped = 220;
constexpr uint32_t kSnapLength = 262144;
constexpr uint32_t kHeaderBytes = 64;
constexpr uint32_t kMaxData = kSnapLength - kHeaderBytes;  // longer data is cut, as usbmon does
constexpr size_t kWakeWriterBytes = 256 * 1024;
constexpr auto kWriterPeriod = std::chrono::milliseconds(100);

// Linux errno values as usbmon reports them (negated), whatever the host's own numbering.
enum : int32_t {
  kENOENT = 2,
  kEPIPE = 32,
  kETIME = 62,
  kEPROTO = 71,
  kEOVERFLOW = 75,
  kEILSEQ = 84,
  kECONNRESET = 104,
  kESHUTDOWN = 108,
  kEINPROGRESS = 115,
  kEREMOTEIO = 121,
};

constexpr uint8_t kXferControl = 2, kXferBulk = 3;
constexpr uint32_t kUrbDirIn = 0x0200;  // URB_DIR_IN in the copy of the transfer flags
constexpr uint16_t kBusNumber = 1;
// URB ids of the enumeration records: far above the host stack's transfer handles.
constexpr uint64_t kEnumerationUrb = 0xFFFF000000000000ull;

// The completion status a Linux host controller driver gives for what the host stack reports.
int32_t UsbmonStatus(DWORD usbError, bool deviceGone, bool asyncUnlink) {
  switch (usbError) {
    case USB_NO_ERROR:
      return 0;
    case USB_STALL_ERROR:
      return -kEPIPE;
    case USB_CRC_ERROR:
      return -kEILSEQ;
    case USB_DATA_UNDERRUN_ERROR:
      return -kEREMOTEIO;
    case USB_CLIENT_BUFFER_ERROR:
      return -kEOVERFLOW;
    case USB_CANCELED_ERROR:
    case USB_CLOSED_ERROR:
      return asyncUnlink ? -kECONNRESET : -kENOENT;
    case USB_DEVICE_NOT_RESPONDING_ERROR:
      return deviceGone ? -kESHUTDOWN : -kEPROTO;
    case USB_NOT_COMPLETE_ERROR:
      return -kETIME;
    default:
      return -kEPROTO;
  }
}

// Device addresses as a Linux hub gives them: 2 to 127 in turn (1 is the root hub).
uint8_t DeviceAddress(UsbDeviceId device) {
  return static_cast<uint8_t>(2 + (device - 1) % 126);
}

void Put16(std::vector<uint8_t>& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One usbmon record's header fields (struct usbmon_packet); the file is written little-endian.
struct Event {
  uint64_t urb = 0;
  char type = 'S';
  uint8_t xferType = kXferBulk;
  uint8_t epnum = 0;  // endpoint number, 0x80 for IN
  uint8_t devnum = 0;
  char flagSetup = '-';  // 0: setup present
  char flagData = 0;     // 0: data present (perhaps zero bytes); '<' or '>' none
  int32_t status = 0;
  uint32_t length = 0;  // asked for (submission) or transferred (completion)
  const USB_DEVICE_REQUEST* setup = nullptr;
  const void* data = nullptr;
  uint32_t dataBytes = 0;
  uint32_t xferFlags = 0;
};

}  // namespace

class Capture {
 public:
  static Capture& Get() {
    static Capture* capture = new Capture;  // never destroyed: used from atexit and threads
    return *capture;
  }

  bool Start(const std::string& path, std::string* error) {
    Stop();
    std::lock_guard<std::mutex> control(controlMu_);
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
      if (error) *error = "cannot create " + path + ": " + std::strerror(errno);
      return false;
    }
    std::vector<uint8_t> header;
    Put32(header, 0xA1B2C3D4u);  // microsecond time stamps
    Put16(header, 2);
    Put16(header, 4);
    Put32(header, 0);  // time zone
    Put32(header, 0);  // accuracy
    Put32(header, kSnapLength);
    Put32(header, kLinktypeUsbLinuxMmapped);
    {
      std::lock_guard<std::mutex> lock(mu_);
      pending_ = std::move(header);
      records_ = 0;
      stop_ = false;
      writeFailed_ = false;
      wallStart_ = std::chrono::system_clock::now();
      steadyStart_ = SteadyClock::now();
      plugged_.clear();
    }
    file_ = file;
    InstallSignalHandlers();
    static std::once_flag atExit;
    std::call_once(atExit, [] { std::atexit([] { Capture::Get().Stop(); }); });
    writer_ = std::thread([this] { WriterLoop(); });
    g_captureOn.store(true);
    return true;
  }

  bool Stop() {
    std::lock_guard<std::mutex> control(controlMu_);
    if (!writer_.joinable()) return false;
    g_captureOn.store(false);
    {
      std::lock_guard<std::mutex> lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    writer_.join();
    RestoreSignalHandlers();
    bool ok = !writeFailed_;
    if (std::fclose(file_) != 0) ok = false;
    file_ = nullptr;
    return ok;
  }

  bool Active() {
    std::lock_guard<std::mutex> control(controlMu_);
    return writer_.joinable();
  }

  uint64_t Records() {
    std::lock_guard<std::mutex> lock(mu_);
    return records_;
  }

  void Append(const Event& e) {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) return;
    AppendLocked(e);
  }

  // Enumeration records for a device not seen before, so that they come ahead of its first
  // transfer however the capture was started.
  void Plugged(UsbDeviceId device, LPCUSB_DEVICE info) {
    if (!info) return;
    std::vector<uint8_t> config = ConfigurationBytes(info->lpActiveConfig);
    const uint8_t* deviceBytes = reinterpret_cast<const uint8_t*>(&info->Descriptor);
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_ || std::find(plugged_.begin(), plugged_.end(), device) != plugged_.end()) return;
    plugged_.push_back(device);
    const uint64_t base = kEnumerationUrb | (static_cast<uint64_t>(device) << 8);
    const USB_DEVICE_REQUEST getDevice = {0x80, 0x06, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0,
                                          sizeof(USB_DEVICE_DESCRIPTOR)};
    GetDescriptorLocked(base, device, getDevice, deviceBytes, sizeof(USB_DEVICE_DESCRIPTOR));
    if (config.empty()) return;
    const USB_DEVICE_REQUEST getConfig = {0x80, 0x06, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0,
                                          static_cast<USHORT>(config.size())};
    GetDescriptorLocked(base + 1, device, getConfig, config.data(),
                        static_cast<uint32_t>(config.size()));
  }

 private:
  Capture() = default;

  void GetDescriptorLocked(uint64_t urb, UsbDeviceId device, const USB_DEVICE_REQUEST& setup,
                           const void* answer, uint32_t bytes) {
    Event s;
    s.urb = urb;
    s.type = 'S';
    s.xferType = kXferControl;
    s.epnum = 0x80;
    s.devnum = DeviceAddress(device);
    s.flagSetup = 0;
    s.flagData = '<';
    s.status = -kEINPROGRESS;
    s.length = setup.wLength;
    s.setup = &setup;
    s.xferFlags = kUrbDirIn;
    AppendLocked(s);
    Event c = s;
    c.type = 'C';
    c.flagSetup = '-';
    c.flagData = 0;
    c.status = 0;
    c.length = bytes;
    c.setup = nullptr;
    c.data = answer;
    c.dataBytes = bytes;
    AppendLocked(c);
  }

  // The configuration descriptor with its interfaces and endpoints, as the device sends it.
  static std::vector<uint8_t> ConfigurationBytes(LPCUSB_CONFIGURATION config) {
    std::vector<uint8_t> d;
    if (!config) return d;
    auto add = [&d](const void* p, size_t n) {
      const uint8_t* b = static_cast<const uint8_t*>(p);
      d.insert(d.end(), b, b + n);
    };
    add(&config->Descriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR));
    for (DWORD i = 0; config->lpInterfaces && i < config->dwNumInterfaces; ++i) {
      const USB_INTERFACE& iface = config->lpInterfaces[i];
      add(&iface.Descriptor, sizeof(USB_INTERFACE_DESCRIPTOR));
      for (DWORD e = 0; iface.lpEndpoints && e < iface.Descriptor.bNumEndpoints; ++e)
        add(&iface.lpEndpoints[e].Descriptor, sizeof(USB_ENDPOINT_DESCRIPTOR));
    }
    d[2] = static_cast<uint8_t>(d.size());
    d[3] = static_cast<uint8_t>(d.size() >> 8);
    return d;
  }

  void AppendLocked(const Event& e) {
    // The time the host stack saw the event, on the simulation's clock, as wall-clock time.
    const auto now = wallStart_ + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                      SteadyClock::now() - steadyStart_);
    const int64_t micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    const int64_t sec = micros / 1000000;
    const int32_t usec = static_cast<int32_t>(micros % 1000000);
    const uint32_t captured = std::min(e.dataBytes, kMaxData);
    std::vector<uint8_t>& b = pending_;
    // pcap record header.
    Put32(b, static_cast<uint32_t>(sec));
    Put32(b, static_cast<uint32_t>(usec));
    Put32(b, kHeaderBytes + captured);
    Put32(b, kHeaderBytes + captured);
    // usbmon header.
    Put64(b, e.urb);
    b.push_back(static_cast<uint8_t>(e.type));
    b.push_back(e.xferType);
    b.push_back(e.epnum);
    b.push_back(e.devnum);
    Put16(b, kBusNumber);
    b.push_back(static_cast<uint8_t>(e.flagSetup));
    b.push_back(static_cast<uint8_t>(e.flagData));
    Put64(b, static_cast<uint64_t>(sec));
    Put32(b, static_cast<uint32_t>(usec));
    Put32(b, static_cast<uint32_t>(e.status));
    Put32(b, e.length);
    Put32(b, captured);
    if (e.setup) {
      const uint8_t* s = reinterpret_cast<const uint8_t*>(e.setup);
      b.insert(b.end(), s, s + sizeof(USB_DEVICE_REQUEST));
    } else {
      b.insert(b.end(), 8, 0);
    }
    Put32(b, 0);  // interval
    Put32(b, 0);  // start frame
    Put32(b, e.xferFlags);
    Put32(b, 0);  // ISO descriptors
    if (captured) {
      const uint8_t* p = static_cast<const uint8_t*>(e.data);
      b.insert(b.end(), p, p + captured);
    }
    ++records_;
    if (b.size() >= kWakeWriterBytes) cv_.notify_one();
  }

  void WriterLoop() {
    std::vector<uint8_t> out;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait_for(lock, kWriterPeriod,
                   [&] { return stop_ || pending_.size() >= kWakeWriterBytes || signal_ != 0; });
      const int signal = signal_.load();
      if (signal != 0) stop_ = true;  // nothing more is recorded: the file is finished now
      out.swap(pending_);
      const bool last = stop_;
      lock.unlock();
      if (!out.empty() && std::fwrite(out.data(), 1, out.size(), file_) != out.size())
        writeFailed_ = true;
      out.clear();
      if (std::fflush(file_) != 0) writeFailed_ = true;
      if (signal != 0) {
        // The capture is complete; the signal now does what it would have done without us.
        std::fclose(file_);
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
      }
      lock.lock();
      if (last && pending_.empty()) return;
    }
  }

  // SIGINT and SIGTERM end the process by default; with a capture running they first finish the
  // file. A program's own handlers (installed before or after) are left alone.
  void InstallSignalHandlers() {
    signal_ = 0;
    for (int i = 0; i < 2; ++i) {
      const int sig = kSignals[i];
      auto previous = std::signal(sig, OnSignal);
      installed_[i] = previous == SIG_DFL;
      if (!installed_[i] && previous != SIG_ERR) std::signal(sig, previous);
    }
  }
  void RestoreSignalHandlers() {
    for (int i = 0; i < 2; ++i) {
      if (!installed_[i]) continue;
      auto current = std::signal(kSignals[i], SIG_DFL);
      if (current != OnSignal && current != SIG_ERR) std::signal(kSignals[i], current);
      installed_[i] = false;
    }
  }
  static void OnSignal(int sig) { Get().signal_.store(sig); }

  static constexpr int kSignals[2] = {SIGINT, SIGTERM};

  std::mutex controlMu_;  // start and stop
  std::mutex mu_;         // everything below but file_ and writer_
  std::condition_variable cv_;
  std::vector<uint8_t> pending_;
  std::vector<UsbDeviceId> plugged_;
  uint64_t records_ = 0;
  bool stop_ = false;
  std::atomic<bool> writeFailed_{false};
  std::chrono::system_clock::time_point wallStart_;
  SteadyClock::time_point steadyStart_;
  std::FILE* file_ = nullptr;  // the writer thread's while it runs
  std::thread writer_;
  bool installed_[2] = {false, false};
  std::atomic<int> signal_{0};
  static_assert(std::atomic<int>::is_always_lock_free);
};

void CaptureSubmit(const UsbIo& io, uint64_t urb, UsbDeviceId device) {
  Event e;
  e.urb = urb;
  e.type = 'S';
  e.xferType = io.kind == UsbIo::Kind::Control ? kXferControl : kXferBulk;
  e.epnum = static_cast<uint8_t>((io.endpoint & 0x0F) | (io.in ? 0x80 : 0));
  e.devnum = DeviceAddress(device);
  e.status = -kEINPROGRESS;
  e.length = io.length;
  e.xferFlags = io.in ? kUrbDirIn : 0;
  if (io.kind == UsbIo::Kind::Control) {
    e.flagSetup = 0;
    e.setup = &io.setup;
  }
  if (io.in) {
    e.flagData = '<';
  } else {
    e.data = io.outData.data();
    e.dataBytes = static_cast<uint32_t>(io.outData.size());
  }
  Capture::Get().Append(e);
}

void CaptureComplete(const UsbIo& io, uint64_t urb, UsbDeviceId device, DWORD usbError,
                     bool deviceGone, bool asyncUnlink, const void* data, uint32_t bytes) {
  Event e;
  e.urb = urb;
  e.type = 'C';
  e.xferType = io.kind == UsbIo::Kind::Control ? kXferControl : kXferBulk;
  e.epnum = static_cast<uint8_t>((io.endpoint & 0x0F) | (io.in ? 0x80 : 0));
  e.devnum = DeviceAddress(device);
  e.status = UsbmonStatus(usbError, deviceGone, asyncUnlink);
  e.length = bytes;
  e.xferFlags = io.in ? kUrbDirIn : 0;
  if (io.in) {
    e.data = data;
    e.dataBytes = data ? bytes : 0;
  } else {
    e.flagData = '>';
  }
  Capture::Get().Append(e);
}

void CapturePlug(UsbDeviceId device, LPCUSB_DEVICE info) {
  Capture::Get().Plugged(device, info);
}

void CaptureFromEnvironment() {
  static std::once_flag once;
  std::call_once(once, [] {
    const char* path = std::getenv("TV_USB_CAPTURE");
    if (!path || !*path || Capture::Get().Active()) return;
    std::string error;
    if (!Capture::Get().Start(path, &error))
      std::fprintf(stderr, "TV_USB_CAPTURE: %s\n", error.c_str());
  });
}

}  // namespace usb_detail

bool StartUsbCapture(const std::string& path, std::string* error) {
  return usb_detail::Capture::Get().Start(path, error);
}

bool StopUsbCapture() {
  return usb_detail::Capture::Get().Stop();
}

bool UsbCaptureActive() {
  return usb_detail::Capture::Get().Active();
}

uint64_t UsbCaptureRecords() {
  return usb_detail::Capture::Get().Records();
}

}  // namespace sim
