// The libusb path: a modelled bridge as a device of an emulated usbdevfs.
//
// One umockdev testbed per process (created at the first plug; the process runs under
// umockdev-wrapper, whose preloaded library sends the ioctls on the device node here). Each plugged
// model gets a bus and device address of its own, a sysfs record built from its descriptors and a
// device node whose ioctls the handler below answers on umockdev's worker thread: URBs become
// UsbIo transfers submitted to the model, and reaps hand back what the model completed.
//
// The emulated device file answers one request at a time (the preloaded library holds a lock per
// file for a request's round trip), and libusb, finding it always writable, reaps without pause.
// So a reap that finds nothing is held for up to kReapHold (answered at once when a URB completes
// or another request on the file is about to be made) instead of spinning the event thread.
#include <glib.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sim/bridge_model/bridge_model.h"
#include "sim/bridge_model/libusb_path.h"
#include "sim/usb/passthrough_libusb.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kReapHold = std::chrono::milliseconds(2);

struct MockDevice;

// A submitted URB as the model sees it.
struct MockUrb final : UsbIo, std::enable_shared_from_this<MockUrb> {
  MockDevice* dev = nullptr;
  UMockdevIoctlData* urbData = nullptr;  // the client's usbdevfs_urb (local copy)
  UMockdevIoctlData* bufData = nullptr;  // its buffer (local copy), null when empty
  ulong clientAddr = 0;
  bool control = false;
  bool internal = false;  // a request the handler makes itself: never reaped
  // Guarded by the mock's lock.
  bool done = false;
  int status = 0;
  uint32_t actual = 0;

  ~MockUrb() override {
    if (bufData) umockdev_ioctl_data_unref(bufData);
    if (urbData) umockdev_ioctl_data_unref(urbData);
  }
  bool Complete(const void* data, uint32_t bytes, DWORD usbError) override;
  bool IsDone() const override;
};

struct HeldReap {
  UMockdevIoctlClient* client;
  Clock::time_point until;
};

struct MockDevice {
  std::shared_ptr<BridgeModel> model;
  int bus = 0, address = 0;
  unsigned port = 0;  // the sysfs name's port number
  std::string devnode, syspath;
  bool gone = false;
  std::map<ulong, std::shared_ptr<MockUrb>> inFlight;  // by the client's URB address
  std::deque<std::shared_ptr<MockUrb>> reapable;
  std::deque<HeldReap> held;
  int fileUsers = 0;  // requests about to be made on the file outside a reap
};

struct Mock {
  std::mutex mu;
  std::condition_variable cv;  // wakes the hold timer
  UMockdevTestbed* testbed = nullptr;
  UMockdevIoctlBase* handler = nullptr;
  std::map<std::string, std::shared_ptr<MockDevice>> byNode;
  std::map<const BridgeModel*, std::shared_ptr<MockDevice>> byModel;
  int bus = 1;
  int nextAddress = 2;
  // Sysfs names are never reused: the testbed keeps a removed device's bus link.
  unsigned nextPort = 1;
  std::thread timer;
};
// Never destroyed: umockdev's worker may answer a request while the process exits.
Mock& M() {
  static Mock* m = new Mock;
  return *m;
}

int StatusOf(DWORD usbError) {
  switch (usbError) {
    case USB_NO_ERROR:
      return 0;
    case USB_STALL_ERROR:
      return -EPIPE;
    case USB_CANCELED_ERROR:
      return -ENOENT;
    case USB_CRC_ERROR:
      return -EILSEQ;
    case USB_DATA_UNDERRUN_ERROR:
      return -EREMOTEIO;
    default:  // not responding and the rest: no handshake from the device
      return -EPROTO;
  }
}

// Hands the oldest reapable URB to the oldest held reap. Mock lock held.
void AnswerHeldLocked(MockDevice& d) {
  while (!d.held.empty() && !d.reapable.empty()) {
    HeldReap r = d.held.front();
    d.held.pop_front();
    std::shared_ptr<MockUrb> u = d.reapable.front();
    d.reapable.pop_front();
    auto* urb = reinterpret_cast<usbdevfs_urb*>(u->urbData->data);
    urb->status = u->status;
    urb->actual_length = static_cast<int>(u->actual);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(r.client);
    UMockdevIoctlData* ptr = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), nullptr);
    umockdev_ioctl_data_set_ptr(ptr, 0, u->urbData);
    umockdev_ioctl_client_complete(r.client, 0, 0);
    if (ptr) umockdev_ioctl_data_unref(ptr);
    g_object_unref(r.client);
  }
}

// Ends held reaps that find nothing: their time is up, or another request waits for the file.
void ReleaseHeldLocked(MockDevice& d, bool all) {
  const Clock::time_point now = Clock::now();
  while (!d.held.empty() && (all || d.fileUsers > 0 || d.held.front().until <= now)) {
    HeldReap r = d.held.front();
    d.held.pop_front();
    umockdev_ioctl_client_complete(r.client, -1, d.gone ? ENODEV : EAGAIN);
    g_object_unref(r.client);
  }
}

bool MockUrb::Complete(const void* data, uint32_t bytes, DWORD usbError) {
  std::lock_guard<std::mutex> lock(M().mu);
  if (done) return false;
  done = true;
  status = StatusOf(usbError);
  const uint32_t room = length;
  actual = std::min(bytes, room);
  if (in && data && actual && bufData) std::memcpy(bufData->data + (control ? 8 : 0), data, actual);
  if (internal) return true;
  dev->inFlight.erase(clientAddr);
  dev->reapable.push_back(shared_from_this());
  AnswerHeldLocked(*dev);
  return true;
}

bool MockUrb::IsDone() const {
  std::lock_guard<std::mutex> lock(M().mu);
  return done;
}

int Submit(MockDevice& d, UMockdevIoctlData* arg) {
  UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (!urbData) return EFAULT;
  auto* urb = reinterpret_cast<usbdevfs_urb*>(urbData->data);
  auto u = std::make_shared<MockUrb>();
  u->dev = &d;
  u->urbData = urbData;
  u->clientAddr = urbData->client_addr;
  if (urb->buffer_length < 0 ||
      (urb->type != USBDEVFS_URB_TYPE_CONTROL && urb->type != USBDEVFS_URB_TYPE_BULK))
    return EINVAL;
  if (urb->buffer_length > 0) {
    u->bufData = umockdev_ioctl_data_resolve(urbData, G_STRUCT_OFFSET(usbdevfs_urb, buffer),
                                             static_cast<gsize>(urb->buffer_length), nullptr);
    if (!u->bufData) return EFAULT;
  }
  const uint8_t* buf = u->bufData ? u->bufData->data : nullptr;
  const uint32_t len = static_cast<uint32_t>(urb->buffer_length);
  if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
    if (len < 8) return EINVAL;
    u->control = true;
    u->kind = UsbIo::Kind::Control;
    u->setup.bmRequestType = buf[0];
    u->setup.bRequest = buf[1];
    u->setup.wValue = static_cast<USHORT>(buf[2] | (buf[3] << 8));
    u->setup.wIndex = static_cast<USHORT>(buf[4] | (buf[5] << 8));
    u->setup.wLength = static_cast<USHORT>(buf[6] | (buf[7] << 8));
    if (u->setup.wLength > len - 8) return EINVAL;
    u->in = (buf[0] & 0x80) != 0;
    u->length = u->setup.wLength;
    if (!u->in) u->outData.assign(buf + 8, buf + 8 + u->length);
  } else {
    u->kind = UsbIo::Kind::Bulk;
    u->endpoint = urb->endpoint;
    u->in = (urb->endpoint & 0x80) != 0;
    u->length = len;
    if (!u->in) u->outData.assign(buf, buf + len);
    if (u->in) u->flags |= USB_IN_TRANSFER;
  }
  {
    std::lock_guard<std::mutex> lock(M().mu);
    if (d.gone) return ENODEV;
    d.inFlight[u->clientAddr] = u;
  }
  d.model->Submit(u);
  return 0;
}

int Discard(MockDevice& d, ulong clientAddr) {
  std::shared_ptr<MockUrb> u;
  {
    std::lock_guard<std::mutex> lock(M().mu);
    auto it = d.inFlight.find(clientAddr);
    if (it == d.inFlight.end()) return d.gone ? ENODEV : EINVAL;
    u = it->second;
  }
  // What the device acknowledged of an OUT URB stays transferred, as a host controller reports.
  const uint32_t taken = d.model->Cancel(u);
  std::lock_guard<std::mutex> lock(M().mu);
  if (!u->done) {
    u->done = true;
    u->status = -ENOENT;
    u->actual = u->in ? 0 : taken;
    d.inFlight.erase(clientAddr);
    d.reapable.push_back(u);
    AnswerHeldLocked(d);
  }
  return 0;
}

// Returns true when the request was answered (or is held); `*err` is the errno otherwise.
bool Reap(MockDevice& d, UMockdevIoctlClient* client, bool wait) {
  std::lock_guard<std::mutex> lock(M().mu);
  if (d.reapable.empty()) {
    // A blocking reap waits for as long as it takes; a non-blocking one is held briefly.
    if (!wait && d.fileUsers > 0) {
      umockdev_ioctl_client_complete(client, -1, d.gone ? ENODEV : EAGAIN);
      return true;
    }
    g_object_ref(client);
    d.held.push_back({client, wait ? Clock::time_point::max() : Clock::now() + kReapHold});
    M().cv.notify_all();
    return true;
  }
  g_object_ref(client);
  d.held.push_front({client, Clock::now()});
  AnswerHeldLocked(d);
  return true;
}

gboolean HandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer) {
  const std::string node = umockdev_ioctl_client_get_devnode(client);
  std::shared_ptr<MockDevice> d;
  {
    std::lock_guard<std::mutex> lock(M().mu);
    auto it = M().byNode.find(node);
    if (it != M().byNode.end()) d = it->second;
  }
  const gulong request = umockdev_ioctl_client_get_request(client);
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  auto answer = [&](int err) {
    umockdev_ioctl_client_complete(client, err ? -1 : 0, err);
    return TRUE;
  };
  if (!d) return answer(ENODEV);
  bool gone;
  {
    std::lock_guard<std::mutex> lock(M().mu);
    gone = d->gone;
  }
  switch (request) {
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      Reap(*d, client, request == USBDEVFS_REAPURB);
      return TRUE;
    default:
      break;
  }
  // As the kernel does once a device is disconnected: every other request fails.
  if (gone) return answer(ENODEV);
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData* c = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
      if (!c) return answer(EFAULT);
      *reinterpret_cast<guint32*>(c->data) =
          USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
          USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      umockdev_ioctl_data_unref(c);
      return answer(0);
    }
    case USBDEVFS_SUBMITURB:
      return answer(Submit(*d, arg));
    case USBDEVFS_DISCARDURB:
      return answer(Discard(*d, *reinterpret_cast<ulong*>(arg->data)));
    case USBDEVFS_SETINTERFACE: {
      UMockdevIoctlData* s =
          umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
      if (!s) return answer(EFAULT);
      auto* si = reinterpret_cast<usbdevfs_setinterface*>(s->data);
      // The kernel sends the standard request; the model answers it like any other.
      auto u = std::make_shared<MockUrb>();
      u->dev = d.get();
      u->internal = true;
      u->kind = UsbIo::Kind::Control;
      u->setup = {0x01, 0x0B, static_cast<USHORT>(si->altsetting),
                  static_cast<USHORT>(si->interface), 0};
      umockdev_ioctl_data_unref(s);
      d->model->Submit(u);
      std::lock_guard<std::mutex> lock(M().mu);
      const int status = u->done ? u->status : -ETIMEDOUT;
      umockdev_ioctl_client_complete(client, status ? -1 : 0, -status);
      return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_DISCONNECT_CLAIM:
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP:
    case USBDEVFS_IOCTL:  // connecting or disconnecting a kernel driver: there is none
      return answer(0);
    case USBDEVFS_GETDRIVER:
      return answer(ENODATA);  // no kernel driver bound to the interface
    default:
      return answer(ENOTTY);
  }
}

void HoldTimer() {
  std::unique_lock<std::mutex> lock(M().mu);
  for (;;) {
    Clock::time_point next = Clock::time_point::max();
    for (auto& [node, d] : M().byNode) {
      ReleaseHeldLocked(*d, false);
      for (const HeldReap& r : d->held) next = std::min(next, r.until);
    }
    if (next == Clock::time_point::max())
      M().cv.wait(lock);
    else
      M().cv.wait_until(lock, next);
  }
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof(b), "%02x", v);
    s += b;
  }
  return s;
}

// The device and configuration descriptors, as the kernel keeps them in sysfs.
std::vector<uint8_t> Descriptors(LPCUSB_DEVICE info) {
  std::vector<uint8_t> d;
  auto put = [&](const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    d.insert(d.end(), b, b + n);
  };
  put(&info->Descriptor, sizeof(USB_DEVICE_DESCRIPTOR));
  const LPCUSB_CONFIGURATION c = info->lpActiveConfig;
  if (!c) return d;
  const size_t start = d.size();
  USB_CONFIGURATION_DESCRIPTOR cd = c->Descriptor;
  put(&cd, sizeof(cd));
  for (DWORD i = 0; i < c->dwNumInterfaces; ++i) {
    const USB_INTERFACE& itf = c->lpInterfaces[i];
    put(&itf.Descriptor, sizeof(USB_INTERFACE_DESCRIPTOR));
    for (DWORD e = 0; e < itf.Descriptor.bNumEndpoints; ++e)
      put(&itf.lpEndpoints[e].Descriptor, sizeof(USB_ENDPOINT_DESCRIPTOR));
  }
  const size_t total = d.size() - start;
  d[start + 2] = static_cast<uint8_t>(total & 0xFF);
  d[start + 3] = static_cast<uint8_t>(total >> 8);
  return d;
}

bool EnsureTestbed() {
  if (M().testbed) return true;
  // umockdev-wrapper preloads the library that sends the device node's requests here.
  const char* preload = std::getenv("LD_PRELOAD");
  if (!preload || !std::strstr(preload, "libumockdev-preload")) {
    std::fprintf(stderr, "TV_USB=libusb: run the program under umockdev-wrapper\n");
    std::exit(2);
  }
  M().testbed = umockdev_testbed_new();
  M().handler = umockdev_ioctl_base_new();
  g_signal_connect(M().handler, "handle-ioctl", G_CALLBACK(HandleIoctl), nullptr);
  M().timer = std::thread(HoldTimer);
  M().timer.detach();
  return true;
}

void RemoveLocked(const std::shared_ptr<MockDevice>& d, std::unique_lock<std::mutex>& lock) {
  if (d->gone) return;
  d->gone = true;
  M().byModel.erase(d->model.get());
  std::vector<std::shared_ptr<MockUrb>> outstanding;
  for (auto& [addr, u] : d->inFlight) outstanding.push_back(u);
  lock.unlock();
  // The model forgets what it held (keeping what each bulk OUT had delivered); the kernel then
  // gives every outstanding URB back with -ESHUTDOWN.
  d->model->Unplugged();
  for (auto& u : outstanding) {
    const uint32_t taken = d->model->Cancel(u);
    std::lock_guard<std::mutex> relock(M().mu);
    if (u->done) continue;
    u->done = true;
    u->status = -ESHUTDOWN;
    u->actual = u->in ? 0 : taken;
    d->inFlight.erase(u->clientAddr);
    d->reapable.push_back(u);
    AnswerHeldLocked(*d);
  }
  umockdev_testbed_uevent(M().testbed, d->syspath.c_str(), "remove");
  lock.lock();
  ReleaseHeldLocked(*d, false);
  M().cv.notify_all();
}

}  // namespace

bool LibusbPathSelected() {
  static const bool selected = [] {
    const char* v = std::getenv("TV_USB");
    return v && std::strcmp(v, "libusb") == 0;
  }();
  return selected;
}

UsbDeviceId PlugThroughLibusb(const std::shared_ptr<BridgeModel>& model, PlugOptions options) {
  auto d = std::make_shared<MockDevice>();
  d->model = model;
  {
    std::lock_guard<std::mutex> lock(M().mu);
    EnsureTestbed();
    if (M().byModel.count(model.get())) return 0;
    // A bus and address are never used twice: a removed device's sysfs record stays in the
    // testbed (removing it breaks the testbed's bus links for later devices), and libusb would
    // see two devices of one address when it enumerates again. A bus holds addresses 2 to 127.
    if (M().nextAddress > 127) {
      M().nextAddress = 2;
      ++M().bus;
    }
    if (M().bus > 255) {
      std::fprintf(stderr, "TV_USB=libusb: no free bus address left in this process\n");
      return 0;
    }
    d->bus = M().bus;
    d->address = M().nextAddress++;
    char node[64];
    std::snprintf(node, sizeof(node), "/dev/bus/usb/%03d/%03d", d->bus, d->address);
    d->devnode = node;
    char sys[64];
    d->port = M().nextPort++;
    std::snprintf(sys, sizeof(sys), "/sys/devices/usb%d/%d-%u", d->bus, d->bus, d->port);
    d->syspath = sys;
    M().byNode[d->devnode] = d;
    M().byModel[model.get()] = d;
  }
  GError* err = nullptr;
  // The handler is in place before the device appears, so that an open finds it.
  if (!umockdev_testbed_attach_ioctl(M().testbed, d->devnode.c_str(), M().handler, &err)) {
    std::fprintf(stderr, "TV_USB=libusb: attach_ioctl %s: %s\n", d->devnode.c_str(),
                 err ? err->message : "failed");
    if (err) g_error_free(err);
    std::lock_guard<std::mutex> lock(M().mu);
    M().byNode.erase(d->devnode);
    M().byModel.erase(model.get());
    return 0;
  }
  const LPCUSB_DEVICE info = model->DeviceInfo();
  const int config =
      info->lpActiveConfig ? info->lpActiveConfig->Descriptor.bConfigurationValue : 0;
  char record[512];
  std::snprintf(record, sizeof(record),
                "P: /devices/usb%d/%d-%u\nN: bus/usb/%03d/%03d\nE: SUBSYSTEM=usb\nE: DRIVER=usb\n"
                "E: BUSNUM=%03d\nE: DEVNUM=%03d\nE: DEVNAME=/dev/bus/usb/%03d/%03d\n"
                "E: DEVTYPE=usb_device\nE: PRODUCT=%x/%x/%x\nA: busnum=%d\\n\nA: devnum=%d\\n\n"
                "A: speed=12\\n\nA: bConfigurationValue=%d\\n\nH: descriptors=",
                d->bus, d->bus, d->port, d->bus, d->address, d->bus, d->address, d->bus, d->address,
                info->Descriptor.idVendor, info->Descriptor.idProduct, info->Descriptor.bcdDevice,
                d->bus, d->address, config);
  std::string text = record + Hex(Descriptors(info)) + "\n";
  if (!umockdev_testbed_add_from_string(M().testbed, text.c_str(), &err)) {
    std::fprintf(stderr, "TV_USB=libusb: adding %s: %s\n", d->syspath.c_str(),
                 err ? err->message : "failed");
    if (err) g_error_free(err);
    return 0;
  }
  LibusbDeviceSelector sel;
  sel.vendorId = info->Descriptor.idVendor;
  sel.productId = info->Descriptor.idProduct;
  sel.bus = d->bus;
  sel.address = d->address;
  std::string error;
  std::shared_ptr<LibusbPassthrough> pt = OpenLibusbPassthrough(sel, &error, 10000);
  if (!pt) {
    std::fprintf(stderr, "TV_USB=libusb: %s\n", error.c_str());
    UnplugFromLibusb(model.get());
    return 0;
  }
  MockDevice* raw = d.get();
  pt->SetFileUseHook([raw](int delta) {
    std::lock_guard<std::mutex> lock(M().mu);
    raw->fileUsers += delta;
    if (delta > 0) ReleaseHeldLocked(*raw, false);
  });
  std::weak_ptr<BridgeModel> weak = model;
  pt->SetHooks(
      [weak](UsbDeviceId id) {
        if (auto m = weak.lock()) m->Plugged(id);
      },
      [weak] {
        // Unplugged from the bus without leaving the testbed (sim::Unplug on its id): the
        // device leaves the testbed too.
        if (auto m = weak.lock()) UnplugFromLibusb(m.get());
      });
  return sim::Plug(pt, options);
}

bool UnplugFromLibusb(const BridgeModel* model) {
  std::unique_lock<std::mutex> lock(M().mu);
  auto it = M().byModel.find(model);
  if (it == M().byModel.end()) return false;
  std::shared_ptr<MockDevice> d = it->second;
  RemoveLocked(d, lock);
  return true;
}

}  // namespace sim
