#include "sim/usb/passthrough_libusb.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

namespace sim {
namespace {

// Control requests the device does not answer in this time fail as "not responding"; the client's
// own time-outs are shorter and cancel the transfer first.
constexpr unsigned kControlTimeoutMs = 5000;
// A cancelled transfer's callback normally comes within microseconds; this bounds the wait for a
// device or a libusb that never reports it.
constexpr auto kCancelWait = std::chrono::seconds(5);

// The libusb context and its event thread, shared by every passthrough device of the process and
// kept for as long as one is open (or a listing runs).
struct Context {
  std::mutex mu;
  libusb_context* ctx = nullptr;
  std::thread events;
  std::thread::id eventsId;
  int stop = 0;
  unsigned users = 0;
};
Context& C() {
  static Context* c = new Context;
  return *c;
}

libusb_context* AcquireContext(std::string* error) {
  std::lock_guard<std::mutex> lock(C().mu);
  if (C().users++ > 0) return C().ctx;
  int r = libusb_init(&C().ctx);
  if (r != 0) {
    C().users = 0;
    C().ctx = nullptr;
    if (error) *error = std::string("libusb_init: ") + libusb_error_name(r);
    return nullptr;
  }
  C().stop = 0;
  libusb_context* ctx = C().ctx;
  C().events = std::thread([ctx] {
    while (!__atomic_load_n(&C().stop, __ATOMIC_ACQUIRE))
      libusb_handle_events_completed(ctx, &C().stop);
  });
  C().eventsId = C().events.get_id();
  return ctx;
}

void ReleaseContext() {
  std::thread events;
  libusb_context* ctx = nullptr;
  {
    std::lock_guard<std::mutex> lock(C().mu);
    if (C().users == 0 || --C().users > 0) return;
    __atomic_store_n(&C().stop, 1, __ATOMIC_RELEASE);
    libusb_interrupt_event_handler(C().ctx);
    events = std::move(C().events);
    ctx = C().ctx;
    C().ctx = nullptr;
  }
  events.join();
  libusb_exit(ctx);
}

bool OnEventThread() {
  return std::this_thread::get_id() == C().eventsId;
}

DWORD UsbError(libusb_transfer_status status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED:
      return USB_NO_ERROR;
    case LIBUSB_TRANSFER_STALL:
      return USB_STALL_ERROR;
    case LIBUSB_TRANSFER_CANCELLED:
      return USB_CANCELED_ERROR;
    case LIBUSB_TRANSFER_OVERFLOW:
      return USB_CLIENT_BUFFER_ERROR;
    case LIBUSB_TRANSFER_ERROR:
      // libusb folds every bus-level failure (CRC, bit stuffing, no handshake) into one status;
      // the device not answering is the common case.
    case LIBUSB_TRANSFER_TIMED_OUT:
    case LIBUSB_TRANSFER_NO_DEVICE:
    default:
      return USB_DEVICE_NOT_RESPONDING_ERROR;
  }
}

std::string StringOf(libusb_device_handle* h, uint8_t index) {
  if (!index) return {};
  unsigned char buf[256];
  int n = libusb_get_string_descriptor_ascii(h, index, buf, sizeof(buf));
  return n > 0 ? std::string(reinterpret_cast<char*>(buf), static_cast<size_t>(n)) : std::string();
}

}  // namespace

struct LibusbPassthrough::Impl {
  libusb_context* ctx = nullptr;
  libusb_device_handle* handle = nullptr;
  libusb_device* device = nullptr;
  libusb_hotplug_callback_handle hotplug = 0;
  bool hotplugRegistered = false;
  int bus = 0, address = 0;
  std::vector<int> claimed;

  // GetDeviceInfo's records, built from the device's descriptors.
  USB_DEVICE info = {};
  USB_CONFIGURATION config = {};
  std::vector<USB_INTERFACE> interfaces;
  std::vector<std::vector<USB_ENDPOINT>> endpoints;

  struct Flying {
    Impl* owner = nullptr;
    std::shared_ptr<UsbIo> io;
    libusb_transfer* xfer = nullptr;
    std::vector<uint8_t> buffer;
    bool cancelRequested = false;
    bool done = false;
    uint32_t actual = 0;
  };

  std::mutex mu;
  std::condition_variable cv;
  std::map<const UsbIo*, Flying*> flying;
  UsbDeviceId id = 0;
  bool gone = false;  // the device left; new transfers fail at once
  std::function<void(UsbDeviceId)> onPlugged;
  std::function<void()> onUnplugged;
  std::function<void(int)> fileUse;  // set before the device is plugged, then only read

  struct FileUse {
    const std::function<void(int)>& hook;
    explicit FileUse(const std::function<void(int)>& h) : hook(h) {
      if (hook) hook(1);
    }
    ~FileUse() {
      if (hook) hook(-1);
    }
  };

  void BuildInfo(const libusb_device_descriptor& d, const libusb_config_descriptor* c) {
    info.dwCount = sizeof(USB_DEVICE);
    info.Descriptor = {d.bLength,         d.bDescriptorType,   d.bcdUSB,          d.bDeviceClass,
                       d.bDeviceSubClass, d.bDeviceProtocol,   d.bMaxPacketSize0, d.idVendor,
                       d.idProduct,       d.bcdDevice,         d.iManufacturer,   d.iProduct,
                       d.iSerialNumber,   d.bNumConfigurations};
    config.dwCount = sizeof(USB_CONFIGURATION);
    if (c) {
      config.Descriptor = {c->bLength,
                           c->bDescriptorType,
                           c->wTotalLength,
                           c->bNumInterfaces,
                           c->bConfigurationValue,
                           c->iConfiguration,
                           c->bmAttributes,
                           c->MaxPower};
      // Every alternate setting is an entry of its own, as the platform lists them.
      for (int i = 0; i < c->bNumInterfaces; ++i)
        for (int a = 0; a < c->interface[i].num_altsetting; ++a) {
          const libusb_interface_descriptor& s = c->interface[i].altsetting[a];
          std::vector<USB_ENDPOINT> eps;
          for (int e = 0; e < s.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor& x = s.endpoint[e];
            USB_ENDPOINT ep = {};
            ep.dwCount = sizeof(USB_ENDPOINT);
            ep.Descriptor = {x.bLength,      x.bDescriptorType, x.bEndpointAddress,
                             x.bmAttributes, x.wMaxPacketSize,  x.bInterval};
            eps.push_back(ep);
          }
          endpoints.push_back(std::move(eps));
          USB_INTERFACE iface = {};
          iface.dwCount = sizeof(USB_INTERFACE);
          iface.Descriptor = {
              s.bLength,       s.bDescriptorType, s.bInterfaceNumber,   s.bAlternateSetting,
              s.bNumEndpoints, s.bInterfaceClass, s.bInterfaceSubClass, s.bInterfaceProtocol,
              s.iInterface};
          interfaces.push_back(iface);
        }
      for (size_t i = 0; i < interfaces.size(); ++i)
        interfaces[i].lpEndpoints = endpoints[i].empty() ? nullptr : endpoints[i].data();
    }
    config.dwNumInterfaces = static_cast<DWORD>(interfaces.size());
    config.lpInterfaces = interfaces.empty() ? nullptr : interfaces.data();
    info.lpConfigs = &config;
    info.lpActiveConfig = &config;
  }

  // The device left: unplug it from the bus once (called with mu held or not; idempotent).
  void Gone() {
    UsbDeviceId unplug = 0;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!gone) unplug = id;
      gone = true;
    }
    if (unplug) sim::Unplug(unplug);
  }

  static void LIBUSB_CALL Done(libusb_transfer* xfer) {
    Flying* f = static_cast<Flying*>(xfer->user_data);
    Impl* m = f->owner;
    const libusb_transfer_status status = xfer->status;
    uint32_t actual = static_cast<uint32_t>(std::max(0, xfer->actual_length));
    const bool control = xfer->type == LIBUSB_TRANSFER_TYPE_CONTROL;
    std::shared_ptr<UsbIo> io;
    bool report;
    {
      std::lock_guard<std::mutex> lock(m->mu);
      m->flying.erase(f->io.get());
      f->done = true;
      f->actual = actual;
      report = !f->cancelRequested;
      io = f->io;
      m->cv.notify_all();
    }
    if (report) {
      const uint8_t* data = f->buffer.data() + (control ? LIBUSB_CONTROL_SETUP_SIZE : 0);
      io->Complete(io->in ? data : nullptr, actual, UsbError(status));
    }
    if (status == LIBUSB_TRANSFER_NO_DEVICE) m->Gone();
    libusb_free_transfer(xfer);
    // A cancelled transfer's record is freed by Cancel, which waits for this callback.
    if (report) delete f;
  }
};

LibusbPassthrough::LibusbPassthrough(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

LibusbPassthrough::~LibusbPassthrough() {
  Impl& m = *impl_;
  // Whatever is still in flight is cancelled and waited for: its callback touches the records.
  std::vector<std::shared_ptr<UsbIo>> left;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    for (auto& [io, f] : m.flying) left.push_back(f->io);
  }
  for (auto& io : left) Cancel(io);
  if (m.hotplugRegistered) libusb_hotplug_deregister_callback(m.ctx, m.hotplug);
  for (int i : m.claimed) libusb_release_interface(m.handle, i);
  libusb_close(m.handle);
  ReleaseContext();
}

void LibusbPassthrough::SetHooks(std::function<void(UsbDeviceId)> plugged,
                                 std::function<void()> unplugged) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->onPlugged = std::move(plugged);
  impl_->onUnplugged = std::move(unplugged);
}

void LibusbPassthrough::SetFileUseHook(std::function<void(int)> hook) {
  impl_->fileUse = std::move(hook);
}

int LibusbPassthrough::Bus() const {
  return impl_->bus;
}
int LibusbPassthrough::Address() const {
  return impl_->address;
}

int LibusbPassthrough::Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                               uint8_t* data, uint16_t length, unsigned timeoutMs) {
  return libusb_control_transfer(impl_->handle, requestType, request, value, index, data, length,
                                 timeoutMs);
}

LPCUSB_DEVICE LibusbPassthrough::DeviceInfo() {
  return &impl_->info;
}

void LibusbPassthrough::Plugged(UsbDeviceId id) {
  std::function<void(UsbDeviceId)> hook;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->id = id;
    hook = impl_->onPlugged;
  }
  if (hook) hook(id);
}

void LibusbPassthrough::Unplugged() {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->gone = true;
    hook = impl_->onUnplugged;
  }
  // The host stack cancels what is outstanding next (Cancel), as for any removal.
  if (hook) hook();
}

void LibusbPassthrough::Submit(const std::shared_ptr<UsbIo>& io) {
  Impl& m = *impl_;
  {
    std::lock_guard<std::mutex> lock(m.mu);
    if (m.gone) {
      io->Complete(nullptr, 0, USB_DEVICE_NOT_RESPONDING_ERROR);
      return;
    }
  }
  const USB_DEVICE_REQUEST& r = io->setup;
  if (io->kind == UsbIo::Kind::Control && r.bmRequestType == 0x01 && r.bRequest == 0x0B) {
    // SET_INTERFACE goes through libusb, which keeps its record of the interface's setting.
    Impl::FileUse use(m.fileUse);
    int rc = libusb_set_interface_alt_setting(m.handle, r.wIndex, r.wValue);
    if (rc == LIBUSB_ERROR_NO_DEVICE) {
      io->Complete(nullptr, 0, USB_DEVICE_NOT_RESPONDING_ERROR);
      m.Gone();
      return;
    }
    io->Complete(nullptr, 0, rc == 0 ? USB_NO_ERROR : USB_STALL_ERROR);
    return;
  }
  auto* f = new Impl::Flying;
  f->owner = &m;
  f->io = io;
  f->xfer = libusb_alloc_transfer(0);
  if (io->kind == UsbIo::Kind::Control) {
    f->buffer.resize(LIBUSB_CONTROL_SETUP_SIZE + io->length);
    libusb_fill_control_setup(f->buffer.data(), r.bmRequestType, r.bRequest, r.wValue, r.wIndex,
                              r.wLength);
    if (!io->in && io->length)
      std::memcpy(f->buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, io->outData.data(), io->length);
    libusb_fill_control_transfer(f->xfer, m.handle, f->buffer.data(), Impl::Done, f,
                                 kControlTimeoutMs);
  } else {
    f->buffer.resize(io->length);
    if (!io->in && io->length) std::memcpy(f->buffer.data(), io->outData.data(), io->length);
    libusb_fill_bulk_transfer(f->xfer, m.handle, io->endpoint, f->buffer.data(),
                              static_cast<int>(io->length), Impl::Done, f, 0);
  }
  int rc;
  {
    // Registered before the submit: the callback may run on the event thread at once.
    Impl::FileUse use(m.fileUse);
    std::lock_guard<std::mutex> lock(m.mu);
    m.flying[io.get()] = f;
    rc = libusb_submit_transfer(f->xfer);
    if (rc != 0) m.flying.erase(io.get());
  }
  if (rc != 0) {
    libusb_free_transfer(f->xfer);
    delete f;
    io->Complete(nullptr, 0,
                 rc == LIBUSB_ERROR_PIPE ? USB_STALL_ERROR : USB_DEVICE_NOT_RESPONDING_ERROR);
    if (rc == LIBUSB_ERROR_NO_DEVICE) m.Gone();
  }
}

uint32_t LibusbPassthrough::Cancel(const std::shared_ptr<UsbIo>& io) {
  Impl& m = *impl_;
  std::unique_lock<std::mutex> lock(m.mu);
  auto it = m.flying.find(io.get());
  if (it == m.flying.end()) return 0;
  Impl::Flying* f = it->second;
  f->cancelRequested = true;
  {
    Impl::FileUse use(m.fileUse);
    libusb_cancel_transfer(f->xfer);
  }
  // The event thread cannot wait for its own callback; the record then stays with the callback.
  if (OnEventThread()) {
    f->cancelRequested = false;
    return 0;
  }
  m.cv.wait_for(lock, kCancelWait, [&] { return f->done; });
  if (!f->done) {
    // libusb never reported the cancel: the callback will still free the transfer and, no
    // longer cancelled as far as it knows, complete the record (harmless: already completed).
    f->cancelRequested = false;
    return 0;
  }
  const uint32_t taken = io->in ? 0 : f->actual;
  lock.unlock();
  delete f;
  return taken;
}

namespace {

bool Matches(libusb_device* d, const LibusbDeviceSelector& s) {
  libusb_device_descriptor desc;
  if (libusb_get_device_descriptor(d, &desc) != 0) return false;
  if (desc.idVendor != s.vendorId || desc.idProduct != s.productId) return false;
  if (s.bus >= 0 && libusb_get_bus_number(d) != s.bus) return false;
  if (s.address >= 0 && libusb_get_device_address(d) != s.address) return false;
  return true;
}

int LIBUSB_CALL HotplugLeft(libusb_context*, libusb_device* device, libusb_hotplug_event,
                            void* user) {
  auto* m = static_cast<LibusbPassthrough::Impl*>(user);
  if (device == m->device) m->Gone();
  return 0;
}

}  // namespace

std::shared_ptr<LibusbPassthrough> OpenLibusbPassthrough(const LibusbDeviceSelector& selector,
                                                         std::string* error, uint32_t waitMs) {
  std::string local;
  if (!error) error = &local;
  libusb_context* ctx = AcquireContext(error);
  if (!ctx) return nullptr;
  // A device just added is listed once libusb's hotplug monitor has seen it.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  libusb_device* found = nullptr;
  for (;;) {
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    for (ssize_t i = 0; i < n && !found; ++i)
      if (Matches(list[i], selector)) found = libusb_ref_device(list[i]);
    if (n >= 0) libusb_free_device_list(list, 1);
    if (found || std::chrono::steady_clock::now() >= until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  char wanted[64];
  std::snprintf(wanted, sizeof(wanted), "%04x:%04x", selector.vendorId, selector.productId);
  if (!found) {
    *error = std::string("no USB device ") + wanted + " found";
    if (selector.bus >= 0)
      *error += " on bus " + std::to_string(selector.bus) + " at address " +
                std::to_string(selector.address);
    ReleaseContext();
    return nullptr;
  }
  auto m = std::make_unique<LibusbPassthrough::Impl>();
  m->ctx = ctx;
  m->device = found;
  m->bus = libusb_get_bus_number(found);
  m->address = libusb_get_device_address(found);
  int rc = libusb_open(found, &m->handle);
  libusb_unref_device(found);
  if (rc != 0) {
    *error = std::string("cannot open ") + wanted + ": " + libusb_error_name(rc) +
             (rc == LIBUSB_ERROR_ACCESS ? " (needs a udev rule granting access, or root)" : "");
    ReleaseContext();
    return nullptr;
  }
  libusb_device_descriptor desc;
  libusb_get_device_descriptor(found, &desc);
  libusb_config_descriptor* config = nullptr;
  libusb_get_active_config_descriptor(found, &config);
  m->BuildInfo(desc, config);
  // The kernel's own driver leaves each interface while it is claimed and is given it back when
  // the interface is released.
  libusb_set_auto_detach_kernel_driver(m->handle, 1);
  const int interfaces = config ? config->bNumInterfaces : 0;
  for (int i = 0; i < interfaces && rc == 0; ++i) {
    const int number = config->interface[i].altsetting[0].bInterfaceNumber;
    rc = libusb_claim_interface(m->handle, number);
    if (rc == 0) m->claimed.push_back(number);
  }
  if (config) libusb_free_config_descriptor(config);
  if (rc != 0) {
    *error = std::string("cannot claim the interfaces of ") + wanted + ": " + libusb_error_name(rc);
    for (int i : m->claimed) libusb_release_interface(m->handle, i);
    libusb_close(m->handle);
    ReleaseContext();
    return nullptr;
  }
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) &&
      libusb_hotplug_register_callback(ctx, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT, 0, desc.idVendor,
                                       desc.idProduct, LIBUSB_HOTPLUG_MATCH_ANY, HotplugLeft,
                                       m.get(), &m->hotplug) == 0)
    m->hotplugRegistered = true;
  return std::make_shared<LibusbPassthrough>(std::move(m));
}

std::vector<LibusbDeviceListing> ListLibusbDevices(uint16_t vendorId, uint16_t productId,
                                                   std::string* error) {
  std::vector<LibusbDeviceListing> out;
  libusb_context* ctx = AcquireContext(error);
  if (!ctx) return out;
  libusb_device** list = nullptr;
  ssize_t n = libusb_get_device_list(ctx, &list);
  if (n < 0 && error) *error = std::string("libusb_get_device_list: ") + libusb_error_name(int(n));
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor desc;
    if (libusb_get_device_descriptor(list[i], &desc) != 0) continue;
    if (desc.idVendor != vendorId || desc.idProduct != productId) continue;
    LibusbDeviceListing d;
    d.bus = libusb_get_bus_number(list[i]);
    d.address = libusb_get_device_address(list[i]);
    d.vendorId = desc.idVendor;
    d.productId = desc.idProduct;
    libusb_device_handle* h = nullptr;
    int rc = libusb_open(list[i], &h);
    if (rc == 0) {
      d.manufacturer = StringOf(h, desc.iManufacturer);
      d.product = StringOf(h, desc.iProduct);
      d.serial = StringOf(h, desc.iSerialNumber);
      // The bridge's vendor request for its part number (one byte).
      unsigned char part = 0;
      if (libusb_control_transfer(h, 0xC0, 0xFF, 0x370B, 0, &part, 1, 1000) == 1)
        d.partNumber = part;
      libusb_close(h);
    } else {
      d.openError = libusb_error_name(rc);
    }
    out.push_back(std::move(d));
  }
  if (n >= 0) libusb_free_device_list(list, 1);
  ReleaseContext();
  return out;
}

}  // namespace sim
