// The bridge model seen from the bus: every vendor request against the model's state, stalls of
// unknown or malformed requests, string descriptors, data paths with pacing and wiring, flow
// control and the fault modes.
#include "sim/bridge_model/bridge_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"

namespace {

using sim::BridgeConfig;
using sim::BridgeModel;
using sim::BridgePortState;
using Clock = std::chrono::steady_clock;

struct Result {
  DWORD usbError = 0xFFFF;
  DWORD bytes = 0;
  bool issued = false;
};

DWORD WINAPI Flag(LPVOID p) {
  static_cast<std::atomic<int>*>(p)->fetch_add(1);
  return 0;
}

// A plugged bridge with no client driver; the test talks to it through the host stack.
class Bench {
 public:
  explicit Bench(BridgeConfig cfg = {}) : model(BridgeModel::Create(cfg)) {
    id = model->Plug();
    h = sim::DeviceHandle(id);
  }
  ~Bench() {
    for (USB_PIPE p : pipes) f->lpClosePipe(p);
    sim::Unplug(id);
    sim::WaitRemoved(id, 5000);
  }
  Result Control(uint8_t type, uint8_t req, uint16_t value, uint16_t index, uint16_t length,
                 void* data) {
    USB_DEVICE_REQUEST setup = {type, req, value, index, length};
    DWORD flags = USB_VENDOR_REQUEST | ((type & 0x80) ? USB_IN_TRANSFER : 0);
    Result r;
    USB_TRANSFER t = f->lpIssueVendorTransfer(h, nullptr, nullptr, flags, &setup, data, 0);
    if (!t) return r;
    r.issued = true;
    f->lpGetTransferStatus(t, &r.bytes, &r.usbError);
    f->lpCloseTransfer(t);
    return r;
  }
  DWORD Out(uint8_t req, uint16_t value, unsigned iface = 0) {
    return Control(0x41, req, value, static_cast<uint16_t>(iface), 0, nullptr).usbError;
  }
  template <size_t N>
  DWORD OutData(uint8_t req, const uint8_t (&data)[N], unsigned iface = 0) {
    uint8_t copy[N];
    std::copy(data, data + N, copy);
    return Control(0x41, req, 0, static_cast<uint16_t>(iface), N, copy).usbError;
  }
  void Enable(unsigned iface = 0) { ASSERT_EQ(Out(0x00, 0xFFFF, iface), USB_NO_ERROR); }
  USB_PIPE Pipe(uint8_t address) {
    LPCUSB_DEVICE d = f->lpGetDeviceInfo(h);
    for (DWORD i = 0; i < d->lpActiveConfig->dwNumInterfaces; ++i) {
      const USB_INTERFACE& iface = d->lpActiveConfig->lpInterfaces[i];
      for (DWORD e = 0; e < iface.Descriptor.bNumEndpoints; ++e)
        if (iface.lpEndpoints[e].Descriptor.bEndpointAddress == address) {
          USB_PIPE p = f->lpOpenPipe(h, &iface.lpEndpoints[e].Descriptor);
          std::lock_guard<std::mutex> lock(pipesLock);
          pipes.push_back(p);
          return p;
        }
    }
    return nullptr;
  }
  // Synchronous bulk transfer.
  Result Bulk(USB_PIPE pipe, bool in, void* data, DWORD length) {
    Result r;
    USB_TRANSFER t =
        f->lpIssueBulkTransfer(pipe, nullptr, nullptr, in ? 0x280u : 0u, length, data, 0);
    if (!t) return r;
    r.issued = true;
    f->lpGetTransferStatus(t, &r.bytes, &r.usbError);
    f->lpCloseTransfer(t);
    return r;
  }
  std::shared_ptr<BridgeModel> model;
  sim::UsbDeviceId id = 0;
  USB_HANDLE h = nullptr;
  LPCUSB_FUNCS f = sim::UsbFuncs();
  std::mutex pipesLock;  // tests open pipes from several threads
  std::vector<USB_PIPE> pipes;
};

// Reads bulk IN until `count` bytes have arrived or the time runs out.
std::vector<uint8_t> Drain(Bench& b, USB_PIPE in, size_t count, int timeoutMs) {
  std::vector<uint8_t> out;
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count && Clock::now() < end) {
    uint8_t buf[512];
    std::atomic<int> done{0};
    USB_TRANSFER t = b.f->lpIssueBulkTransfer(in, Flag, &done, 0x280, sizeof(buf), buf, 0);
    if (!t) break;
    while (!done && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    DWORD bytes = 0, err = 0;
    b.f->lpGetTransferStatus(t, &bytes, &err);
    b.f->lpCloseTransfer(t);
    if (done && err == USB_NO_ERROR) out.insert(out.end(), buf, buf + bytes);
  }
  return out;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
  return v;
}

bool SameExcept(const BridgePortState& a, const BridgePortState& b, const char* changed) {
  std::string c = changed;
  auto same = [&](const char* name, bool eq) { return eq || c.find(name) != std::string::npos; };
  return same("enabled", a.enabled == b.enabled && a.enableValue == b.enableValue) &&
         same("baud", a.baud == b.baud) && same("lineControl", a.lineControl == b.lineControl) &&
         same("flow", a.flow == b.flow) && same("chars", a.chars == b.chars) &&
         same("dtr", a.dtr == b.dtr) && same("rts", a.rts == b.rts) &&
         same("break", a.breakOn == b.breakOn) && same("latch", a.latch == b.latch) &&
         same("purge", a.purgeCount == b.purgeCount && a.lastPurge == b.lastPurge) &&
         same("reset", a.resetCount == b.resetCount) &&
         same("immediate", a.immediateCount == b.immediateCount);
}

// ---- Vendor requests
// ---------------------------------------------------------------------------------

TEST(BridgeRequests, EachRequestChangesExactlyItsState) {
  Bench b;
  auto check = [&](const char* what, auto request, const char* changed) {
    BridgePortState before = b.model->State(0);
    request();
    BridgePortState after = b.model->State(0);
    EXPECT_TRUE(SameExcept(before, after, changed)) << what;
    return after;
  };
  BridgePortState s = check(
      "enable", [&] { b.Enable(); }, "enabled");
  EXPECT_TRUE(s.enabled);
  EXPECT_EQ(s.enableValue, 0xFFFF);
  const uint8_t baud[4] = {0x00, 0xC2, 0x01, 0x00};
  s = check(
      "baud", [&] { EXPECT_EQ(b.OutData(0x1E, baud), USB_NO_ERROR); }, "baud");
  EXPECT_EQ(s.baud, 115200u);
  s = check(
      "line", [&] { EXPECT_EQ(b.Out(0x03, 0x0722), USB_NO_ERROR); }, "lineControl");
  EXPECT_EQ(s.lineControl, 0x0722);
  // A flow record with DTR and RTS modes "off" leaves the lines as they are (both off here).
  const uint8_t flow[16] = {0x08, 0, 0, 0, 0x03, 0, 0, 0, 0x00, 0x02, 0, 0, 0x80, 0, 0, 0};
  s = check(
      "flow", [&] { EXPECT_EQ(b.OutData(0x13, flow), USB_NO_ERROR); }, "flow");
  EXPECT_EQ(s.flow[0], 0x08);
  EXPECT_EQ(s.flow[9], 0x02);
  const uint8_t chars[6] = {0x0D, 0x0E, 0x00, 0x0F, 0x11, 0x13};
  s = check(
      "chars", [&] { EXPECT_EQ(b.OutData(0x19, chars), USB_NO_ERROR); }, "chars");
  EXPECT_EQ(s.chars[4], 0x11);
  EXPECT_EQ(s.chars[5], 0x13);
  s = check(
      "dtr on", [&] { EXPECT_EQ(b.Out(0x07, 0x0101), USB_NO_ERROR); }, "dtr");
  EXPECT_TRUE(s.dtr);
  EXPECT_FALSE(s.rts);
  s = check(
      "rts on", [&] { EXPECT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR); }, "rts");
  EXPECT_TRUE(s.rts);
  EXPECT_TRUE(s.dtr);
  s = check(
      "dtr off", [&] { EXPECT_EQ(b.Out(0x07, 0x0100), USB_NO_ERROR); }, "dtr");
  EXPECT_FALSE(s.dtr);
  s = check(
      "break on", [&] { EXPECT_EQ(b.Out(0x05, 1), USB_NO_ERROR); }, "break");
  EXPECT_TRUE(s.breakOn);
  s = check(
      "break off", [&] { EXPECT_EQ(b.Out(0x05, 0), USB_NO_ERROR); }, "break");
  EXPECT_FALSE(s.breakOn);
  s = check(
      "purge", [&] { EXPECT_EQ(b.Out(0x12, 0x0F), USB_NO_ERROR); }, "purge");
  EXPECT_EQ(s.purgeCount, 1u);
  EXPECT_EQ(s.lastPurge, 0x0F);
  s = check(
      "reset", [&] { EXPECT_EQ(b.Out(0x11, 0), USB_NO_ERROR); }, "reset");
  EXPECT_EQ(s.resetCount, 1u);
  s = check(
      "immediate", [&] { EXPECT_EQ(b.Out(0x06, 0x41), USB_NO_ERROR); }, "immediate");
  EXPECT_EQ(s.immediateCount, 1u);
  s = check(
      "disable", [&] { EXPECT_EQ(b.Out(0x00, 0), USB_NO_ERROR); }, "enabled");
  EXPECT_FALSE(s.enabled);
}

TEST(BridgeRequests, FlowRecordModesDriveTheLines) {
  Bench b;
  const uint8_t on[16] = {0x01, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(b.OutData(0x13, on), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).dtr);
  EXPECT_TRUE(b.model->State(0).rts);
  const uint8_t off[16] = {};
  ASSERT_EQ(b.OutData(0x13, off), USB_NO_ERROR);
  EXPECT_FALSE(b.model->State(0).dtr);
  EXPECT_FALSE(b.model->State(0).rts);
}

TEST(BridgeRequests, ModemAndCommStatus) {
  Bench b;
  b.model->SetModemInputs(0, BridgeModel::kCts | BridgeModel::kRi);
  ASSERT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR);
  uint8_t status = 0;
  Result r = b.Control(0xC1, 0x08, 0, 0, 1, &status);
  EXPECT_EQ(r.usbError, USB_NO_ERROR);
  EXPECT_EQ(r.bytes, 1u);
  EXPECT_EQ(status, 0x10 | 0x40 | 0x02);
  b.model->SetModemInputs(0, BridgeModel::kDsr | BridgeModel::kDcd);
  ASSERT_EQ(b.Out(0x07, 0x0101), USB_NO_ERROR);
  b.Control(0xC1, 0x08, 0, 0, 1, &status);
  EXPECT_EQ(status, 0x20 | 0x80 | 0x03);

  // CTS handshake with CTS off and data waiting: hold reason 0x01 and the queued count.
  b.Enable();
  b.model->SetModemInputs(0, 0);
  const uint8_t flow[16] = {0x08, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(b.OutData(0x13, flow), USB_NO_ERROR);
  USB_PIPE out = b.Pipe(0x01);
  std::vector<uint8_t> data(10, 0x55);
  ASSERT_EQ(b.Bulk(out, false, data.data(), 10).usbError, USB_NO_ERROR);
  ASSERT_EQ(b.Out(0x06, 0x7E), USB_NO_ERROR);
  uint8_t comm[19];
  std::fill(comm, comm + 19, 0xEE);
  r = b.Control(0xC1, 0x10, 0, 0, 19, comm);
  EXPECT_EQ(r.bytes, 19u);
  EXPECT_EQ(comm[4], 0x01);
  EXPECT_EQ(comm[12], 11);  // ten bytes of data and the immediate character
  EXPECT_EQ(comm[17], 1);
  EXPECT_EQ(comm[16], 0);
  b.model->SetEofReceived(0, true);
  b.Control(0xC1, 0x10, 0, 0, 19, comm);
  EXPECT_EQ(comm[16], 1);

  uint8_t prop[64] = {};
  r = b.Control(0xC1, 0x0F, 0, 0, 64, prop);
  EXPECT_EQ(r.bytes, 64u);
  EXPECT_EQ(prop[0], 64);  // wPacketLength
}

TEST(BridgeRequests, UnknownAndMalformedRequestsStall) {
  BridgeConfig cfg;
  cfg.interfaces = 2;
  Bench b(cfg);
  uint8_t buf[64] = {};
  EXPECT_EQ(b.Out(0x42, 0), USB_STALL_ERROR);                                    // unknown code
  EXPECT_EQ(b.Control(0xC1, 0x05, 1, 0, 1, buf).usbError, USB_STALL_ERROR);      // wrong direction
  EXPECT_EQ(b.Control(0x40, 0x05, 1, 0, 0, nullptr).usbError, USB_STALL_ERROR);  // device type
  EXPECT_EQ(b.Control(0x41, 0x1E, 0, 0, 3, buf).usbError, USB_STALL_ERROR);      // short baud data
  EXPECT_EQ(b.Control(0xC1, 0x10, 0, 0, 18, buf).usbError, USB_STALL_ERROR);     // comm status 18
  EXPECT_EQ(b.Out(0x00, 0x0001), USB_STALL_ERROR);  // enable is 0xFFFF, not 1
  EXPECT_EQ(b.Out(0x05, 2), USB_STALL_ERROR);
  EXPECT_EQ(b.Out(0x03, 0x0905), USB_STALL_ERROR);  // nine data bits, parity 0
  EXPECT_EQ(b.Out(0x07, 0x0404), USB_STALL_ERROR);
  EXPECT_EQ(b.Out(0x00, 0xFFFF, 2), USB_STALL_ERROR);  // no interface 2
  EXPECT_EQ(b.Out(0x00, 0xFFFF, 1), USB_NO_ERROR);
  EXPECT_FALSE(b.model->State(0).enabled);
  EXPECT_TRUE(b.model->State(1).enabled);
  EXPECT_EQ(b.model->State(0).baud, 9600u);
  EXPECT_FALSE(b.model->State(0).breakOn);
  EXPECT_EQ(b.model->State(0).lineControl, 0x0800);
}

TEST(BridgeRequests, LatchFormsFollowThePartNumber) {
  for (uint8_t part : {3, 4, 6}) {
    BridgeConfig cfg;
    cfg.partNumber = part;
    cfg.latch = 0x00;
    Bench b(cfg);
    uint8_t pn = 0;
    EXPECT_EQ(b.Control(0xC0, 0xFF, 0x370B, 0, 1, &pn).usbError, USB_NO_ERROR);
    EXPECT_EQ(pn, part);
    EXPECT_EQ(b.Control(0x40, 0xFF, 0x37E1, 0x050F, 0, nullptr).usbError, USB_NO_ERROR);
    EXPECT_EQ(b.model->DeviceLatch(), 0x05);
    uint8_t latch = 0;
    EXPECT_EQ(b.Control(0xC0, 0xFF, 0x00C2, 0, 1, &latch).usbError, USB_NO_ERROR);
    EXPECT_EQ(latch, 0x05);
    uint8_t data[2] = {0x0F, 0x05};
    EXPECT_EQ(b.Control(0x41, 0xFF, 0x37E1, 0, 2, data).usbError, USB_STALL_ERROR);
  }
  BridgeConfig cfg;
  cfg.partNumber = 5;
  cfg.interfaces = 2;
  cfg.latch = 0xF0;
  Bench b(cfg);
  uint8_t data[2] = {0x0F, 0x05};
  EXPECT_EQ(b.Control(0x41, 0xFF, 0x37E1, 1, 2, data).usbError, USB_NO_ERROR);
  EXPECT_EQ(b.model->State(1).latch, 0xF5);
  EXPECT_EQ(b.model->State(0).latch, 0xF0);
  uint8_t latch = 0;
  EXPECT_EQ(b.Control(0xC1, 0xFF, 0x00C2, 1, 1, &latch).usbError, USB_NO_ERROR);
  EXPECT_EQ(latch, 0xF5);
  EXPECT_EQ(b.Control(0x40, 0xFF, 0x37E1, 0x050F, 0, nullptr).usbError, USB_STALL_ERROR);
  EXPECT_EQ(b.model->DeviceLatch(), 0xF0);
}

TEST(BridgeRequests, LogRecordsSetupAndDataAndCanBeWaitedOn) {
  Bench b;
  b.model->ClearLog();
  const uint8_t baud[4] = {0x80, 0x25, 0, 0};
  b.OutData(0x1E, baud);
  uint8_t status;
  b.Control(0xC1, 0x08, 0, 0, 1, &status);
  auto log = b.model->Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].setup.bmRequestType, 0x41);
  EXPECT_EQ(log[0].setup.bRequest, 0x1E);
  EXPECT_EQ(log[0].data, std::vector<uint8_t>({0x80, 0x25, 0, 0}));
  EXPECT_FALSE(log[0].in);
  EXPECT_TRUE(log[1].in);
  EXPECT_EQ(log[1].data.size(), 1u);
  EXPECT_TRUE(b.model->WaitForRequest(0x08, 10));
  EXPECT_FALSE(b.model->WaitForRequest(0x11, 10));
  std::thread later([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    b.Out(0x11, 0);
  });
  EXPECT_TRUE(b.model->WaitForRequest(0x11, 5000));
  later.join();
  b.model->ClearLog();
  EXPECT_TRUE(b.model->Log().empty());
}

// ---- Descriptors
// ------------------------------------------------------------------------------------

TEST(BridgeDescriptors, StringsAreServedAsUtf16) {
  BridgeConfig cfg;
  cfg.product = TEXT("Ab");
  cfg.serial = TEXT("Z9");
  Bench b(cfg);
  uint8_t head[2] = {};
  USB_TRANSFER t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, 2, 3, 2, head);
  ASSERT_NE(t, nullptr);
  b.f->lpCloseTransfer(t);
  EXPECT_EQ(head[0], 6);
  EXPECT_EQ(head[1], 3);
  uint8_t full[6] = {};
  t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, 2, 3, 6, full);
  DWORD bytes = 0, err = 1;
  b.f->lpGetTransferStatus(t, &bytes, &err);
  b.f->lpCloseTransfer(t);
  EXPECT_EQ(bytes, 6u);
  EXPECT_EQ(err, USB_NO_ERROR);
  EXPECT_EQ(std::vector<uint8_t>(full, full + 6), std::vector<uint8_t>({6, 3, 'A', 0, 'b', 0}));
  for (uint8_t index : {3, 5}) {
    t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, index, 3, 6, full);
    b.f->lpCloseTransfer(t);
    EXPECT_EQ(full[2], 'Z');
    EXPECT_EQ(full[4], '9');
  }
  t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, 7, 3, 2, head);
  b.f->lpGetTransferStatus(t, &bytes, &err);
  b.f->lpCloseTransfer(t);
  EXPECT_EQ(err, USB_STALL_ERROR);
  // The setup packet as the device saw it: GET_DESCRIPTOR, string type, language 3.
  auto log = b.model->Log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log[0].setup.bmRequestType, 0x80);
  EXPECT_EQ(log[0].setup.bRequest, 0x06);
  EXPECT_EQ(log[0].setup.wValue, 0x0302);
  EXPECT_EQ(log[0].setup.wIndex, 3);
}

TEST(BridgeDescriptors, MalformedAndMissingStrings) {
  BridgeConfig cfg;
  cfg.hasSerial = false;
  Bench b(cfg);
  uint8_t buf[64] = {};
  auto read = [&](uint8_t index, uint16_t length, DWORD* err) {
    DWORD bytes = 0;
    USB_TRANSFER t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, index, 3, length, buf);
    b.f->lpGetTransferStatus(t, &bytes, err);
    b.f->lpCloseTransfer(t);
    return bytes;
  };
  DWORD err = 0;
  read(3, 2, &err);
  EXPECT_EQ(err, USB_STALL_ERROR);
  sim::StringFault tiny;
  tiny.headerLength = 1;
  b.model->SetStringFault(2, tiny);
  read(2, 2, &err);
  EXPECT_EQ(buf[0], 1);
  sim::StringFault changing;
  changing.laterLength = 200;
  changing.laterType = 4;
  b.model->SetStringFault(2, changing);
  read(2, 2, &err);
  EXPECT_EQ(buf[1], 3);
  uint8_t n = buf[0];
  read(2, n, &err);
  EXPECT_EQ(buf[0], 200);
  EXPECT_EQ(buf[1], 4);
  sim::StringFault gone;
  gone.missing = true;
  b.model->SetStringFault(2, gone);
  read(2, 2, &err);
  EXPECT_EQ(err, USB_STALL_ERROR);
}

TEST(BridgeDescriptors, ConfigurationShapesForTests) {
  BridgeConfig three;
  three.interfaces = 3;
  auto m3 = BridgeModel::Create(three);
  EXPECT_EQ(m3->DeviceInfo()->lpActiveConfig->dwNumInterfaces, 3u);
  BridgeConfig none;
  none.interfaces = 0;
  auto m0 = BridgeModel::Create(none);
  EXPECT_EQ(m0->DeviceInfo()->lpActiveConfig->dwNumInterfaces, 0u);
  BridgeConfig odd;
  odd.endpoints = {{{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8},
                    {0x81, USB_ENDPOINT_TYPE_BULK, 64},
                    {0x01, USB_ENDPOINT_TYPE_BULK, 64},
                    {0x82, USB_ENDPOINT_TYPE_BULK, 64}}};
  Bench b(odd);
  const USB_INTERFACE& i = b.f->lpGetDeviceInfo(b.h)->lpActiveConfig->lpInterfaces[0];
  ASSERT_EQ(i.Descriptor.bNumEndpoints, 4);
  EXPECT_EQ(i.lpEndpoints[0].Descriptor.bmAttributes, USB_ENDPOINT_TYPE_INTERRUPT);
  // Data flows on the first bulk IN; the interrupt endpoint never answers.
  b.Enable();
  b.model->InjectRx(0, {1, 2, 3});
  EXPECT_EQ(Drain(b, b.Pipe(0x81), 3, 2000), std::vector<uint8_t>({1, 2, 3}));
  std::atomic<int> done{0};
  uint8_t buf[8];
  USB_TRANSFER t = b.f->lpIssueBulkTransfer(b.Pipe(0x83), Flag, &done, 0x280, 8, buf, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(done, 0);
  b.f->lpCloseTransfer(t);
  BridgeConfig noBulk;
  noBulk.endpoints = {{{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8}}};
  auto mb = BridgeModel::Create(noBulk);
  EXPECT_EQ(mb->DeviceInfo()->lpActiveConfig->lpInterfaces[0].Descriptor.bNumEndpoints, 1);
}

// ---- Data paths
// ---------------------------------------------------------------------------------------

TEST(BridgeData, NoDataMovesWhileDisabled) {
  Bench b;
  b.model->Loopback(0);
  USB_PIPE out = b.Pipe(0x01);
  std::atomic<int> done{0};
  uint8_t data[4] = {1, 2, 3, 4};
  USB_TRANSFER t = b.f->lpIssueBulkTransfer(out, Flag, &done, 0, 4, data, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(b.model->TakeSent(0).empty());
  b.Enable();
  EXPECT_EQ(b.model->WaitSent(0, 4, 2000), std::vector<uint8_t>({1, 2, 3, 4}));
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(done, 1);
  b.f->lpCloseTransfer(t);
}

TEST(BridgeData, LoopbackAtNineSixHundredTakesTheLineTime) {
  Bench b;
  b.Enable();
  b.model->Loopback(0);
  USB_PIPE out = b.Pipe(0x01), in = b.Pipe(0x81);
  std::vector<uint8_t> data = Pattern(400, 3);
  auto start = Clock::now();
  std::thread writer([&] { b.Bulk(out, false, data.data(), static_cast<DWORD>(data.size())); });
  std::vector<uint8_t> got = Drain(b, in, data.size(), 10000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  writer.join();
  EXPECT_EQ(got, data);
  // 400 bytes of 10 bits at 9600 baud: 416.7 ms.
  EXPECT_GE(ms, 410);
  EXPECT_LT(ms, 5000);
  // RTS loops to CTS, DTR to DSR and DCD.
  b.Out(0x07, 0x0202);
  EXPECT_TRUE(b.model->State(0).cts);
  EXPECT_FALSE(b.model->State(0).dsr);
  b.Out(0x07, 0x0101);
  EXPECT_TRUE(b.model->State(0).dsr);
  EXPECT_TRUE(b.model->State(0).dcd);
}

TEST(BridgeData, LineControlChangesTheByteTimeAndMasksDataBits) {
  Bench b;
  b.Enable();
  b.model->Loopback(0);
  ASSERT_EQ(b.Out(0x03, 0x0712), USB_NO_ERROR);  // 7 data, odd parity, 2 stop: 11 bits
  USB_PIPE out = b.Pipe(0x01);
  std::vector<uint8_t> data(96, 0xFF);
  auto start = Clock::now();
  EXPECT_EQ(b.Bulk(out, false, data.data(), 96).usbError, USB_NO_ERROR);
  auto sent = b.model->WaitSent(0, 96, 5000);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  ASSERT_EQ(sent.size(), 96u);
  EXPECT_EQ(sent[0], 0x7F);
  EXPECT_GE(ms, 105);  // 96 * 11 / 9600 = 110 ms
  EXPECT_LT(ms, 5000);
}

TEST(BridgeData, NullModemCarriesBothWaysAndCrossesTheLines) {
  auto a = std::make_unique<Bench>();
  auto c = std::make_unique<Bench>();
  BridgeModel::NullModem(a->model, 0, c->model, 0);
  a->Enable();
  c->Enable();
  const uint8_t baud[4] = {0x00, 0xE1, 0x00, 0x00};  // 57600
  a->OutData(0x1E, baud);
  c->OutData(0x1E, baud);
  std::vector<uint8_t> ab = Pattern(1500, 1), ca = Pattern(1500, 99);
  auto start = Clock::now();
  std::thread wa([&] { a->Bulk(a->Pipe(0x01), false, ab.data(), 1500); });
  std::thread wc([&] { c->Bulk(c->Pipe(0x01), false, ca.data(), 1500); });
  USB_PIPE ina = a->Pipe(0x81), inc = c->Pipe(0x81);
  std::vector<uint8_t> gotC;
  std::thread rc([&] { gotC = Drain(*c, inc, 1500, 10000); });
  std::vector<uint8_t> gotA = Drain(*a, ina, 1500, 10000);
  rc.join();
  wa.join();
  wc.join();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(gotC, ab);
  EXPECT_EQ(gotA, ca);
  EXPECT_GE(ms, 255);  // 1500 * 10 / 57600 = 260 ms
  EXPECT_LT(ms, 5000);
  a->Out(0x07, 0x0202);
  a->Out(0x07, 0x0100);
  c->Out(0x07, 0x0101);
  EXPECT_TRUE(c->model->State(0).cts);
  EXPECT_FALSE(c->model->State(0).dsr);
  EXPECT_TRUE(a->model->State(0).dsr);
  EXPECT_TRUE(a->model->State(0).dcd);
  EXPECT_FALSE(a->model->State(0).cts);
}

TEST(BridgeData, UnpacedLineNeverOverrunsTheFarEnd) {
  BridgeConfig cfg;
  cfg.paced = false;
  cfg.rxFifoSize = 512;
  Bench b(cfg);
  b.Enable();
  b.model->Loopback(0);
  std::vector<uint8_t> data = Pattern(64 * 1024, 11);
  std::thread writer([&] {
    for (size_t off = 0; off < data.size(); off += 4096)
      b.Bulk(b.Pipe(0x01), false, data.data() + off, 4096);
  });
  // A slow reader: the line waits for room instead of dropping bytes.
  std::vector<uint8_t> got;
  USB_PIPE in = b.Pipe(0x81);
  while (got.size() < data.size()) {
    std::vector<uint8_t> chunk = Drain(b, in, 1, 5000);
    if (chunk.empty()) break;
    got.insert(got.end(), chunk.begin(), chunk.end());
    if (got.size() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  writer.join();
  EXPECT_EQ(got, data);
  EXPECT_EQ(b.model->State(0).rxOverflow, 0u);
}

TEST(BridgeData, RtsHandshakeStillHonoursTheHostsClear) {
  Bench b;
  b.Enable();
  const uint8_t flow[16] = {0x01, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(b.OutData(0x13, flow), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
  ASSERT_EQ(b.Out(0x07, 0x0200), USB_NO_ERROR);
  EXPECT_FALSE(b.model->State(0).rts);
  ASSERT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
}

TEST(BridgeData, CtsHandshakeHoldsTransmission) {
  Bench b;
  b.Enable();
  const uint8_t flow[16] = {0x08, 0, 0, 0, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(b.OutData(0x13, flow), USB_NO_ERROR);
  b.model->SetPaced(false);
  USB_PIPE out = b.Pipe(0x01);
  std::vector<uint8_t> data = Pattern(200, 5);
  std::atomic<int> done{0};
  USB_TRANSFER t = b.f->lpIssueBulkTransfer(out, Flag, &done, 0, 200, data.data(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(b.model->TakeSent(0).empty());
  EXPECT_EQ(done, 0);  // only the 64-byte FIFO's worth was accepted
  EXPECT_EQ(b.model->State(0).holdReasons & 0x01, 0x01u);
  EXPECT_EQ(b.model->State(0).txQueued, 200u);
  b.model->SetModemInputs(0, BridgeModel::kCts);
  EXPECT_EQ(b.model->WaitSent(0, 200, 2000), data);
  for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(done, 1);
  b.f->lpCloseTransfer(t);
}

TEST(BridgeData, RtsHandshakeFollowsTheFifoAndOverflowIsCounted) {
  BridgeConfig cfg;
  cfg.rxFifoSize = 100;
  cfg.rtsHighWater = 80;
  cfg.rtsLowWater = 20;
  Bench b(cfg);
  b.Enable();
  const uint8_t flow[16] = {0x01, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(b.OutData(0x13, flow), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(90, 0)), 90u);
  EXPECT_FALSE(b.model->State(0).rts);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(20, 0)), 10u);
  EXPECT_EQ(b.model->State(0).rxOverflow, 10u);
  EXPECT_EQ(Drain(b, b.Pipe(0x81), 100, 2000).size(), 100u);
  EXPECT_TRUE(b.model->State(0).rts);
}

// A paced sender emits the bytes its line time allows since the last pass in one go; the far
// end's RTS must still stop it at the byte that crosses the high-water mark.
TEST(BridgeData, RtsCtsStopsAFastSenderBeforeTheFarFifoOverflows) {
  BridgeConfig small;
  small.rxFifoSize = 100;
  small.rtsHighWater = 95;
  small.rtsLowWater = 20;
  auto a = std::make_unique<Bench>();
  auto c = std::make_unique<Bench>(small);
  BridgeModel::NullModem(a->model, 0, c->model, 0);
  a->Enable();
  c->Enable();
  const uint8_t baud[4] = {0xC0, 0xC6, 0x2D, 0x00};  // 3000000
  ASSERT_EQ(a->OutData(0x1E, baud), USB_NO_ERROR);
  ASSERT_EQ(c->OutData(0x1E, baud), USB_NO_ERROR);
  const uint8_t ctsFlow[16] = {0x09, 0, 0, 0, 0x40, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t rtsFlow[16] = {0x01, 0, 0, 0, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  ASSERT_EQ(a->OutData(0x13, ctsFlow), USB_NO_ERROR);
  ASSERT_EQ(c->OutData(0x13, rtsFlow), USB_NO_ERROR);
  std::vector<uint8_t> data = Pattern(3000, 3);
  std::atomic<int> done{0};
  USB_TRANSFER t = a->f->lpIssueBulkTransfer(a->Pipe(0x01), Flag, &done, 0, 3000, data.data(), 0);
  ASSERT_NE(t, nullptr);
  // 3000 bytes take 10 ms unheld; the model's thread may take longer to get to the hold on a busy
  // machine, and nothing moves after it.
  for (int i = 0; i < 5000 && !(a->model->State(0).holdReasons & 0x01); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(c->model->State(0).rxOverflow, 0u);
  EXPECT_EQ(c->model->State(0).rxFifoLevel, 96u);
  EXPECT_EQ(a->model->State(0).holdReasons & 0x01, 0x01u);
  EXPECT_EQ(Drain(*c, c->Pipe(0x81), 3000, 5000), data);
  EXPECT_EQ(c->model->State(0).rxOverflow, 0u);
  a->f->lpCloseTransfer(t);
}

TEST(BridgeData, XoffFromTheWireHoldsOutput) {
  auto a = std::make_unique<Bench>();
  auto c = std::make_unique<Bench>();
  BridgeModel::NullModem(a->model, 0, c->model, 0);
  a->Enable();
  c->Enable();
  a->model->SetPaced(false);
  c->model->SetPaced(false);
  const uint8_t flow[16] = {0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const uint8_t chars[6] = {0, 0, 0, 0, 0x11, 0x13};
  a->OutData(0x13, flow);
  a->OutData(0x19, chars);
  uint8_t xoff = 0x13, xon = 0x11;
  c->Bulk(c->Pipe(0x01), false, &xoff, 1);
  c->model->WaitSent(0, 1, 1000);
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(a->model->State(0).xoffHeld);
  uint8_t data[3] = {7, 8, 9};
  std::atomic<int> done{0};
  USB_TRANSFER t = a->f->lpIssueBulkTransfer(a->Pipe(0x01), Flag, &done, 0, 3, data, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(a->model->TakeSent(0).empty());
  EXPECT_EQ(a->model->State(0).holdReasons & 0x08, 0x08u);
  c->Bulk(c->Pipe(0x01), false, &xon, 1);
  EXPECT_EQ(a->model->WaitSent(0, 3, 2000), std::vector<uint8_t>({7, 8, 9}));
  EXPECT_EQ(a->model->State(0).rxFifoLevel, 0u);  // XON/XOFF are consumed, not stored
  a->f->lpCloseTransfer(t);
}

TEST(BridgeData, XonXoffOnInputGuardsTheFifoAndHoldsOwnOutput) {
  BridgeConfig cfg;
  cfg.rxFifoSize = 100;
  Bench b(cfg);
  b.Enable();
  b.model->SetPaced(false);
  // flowReplace 0x02, xonLimit 20, xoffLimit 10.
  const uint8_t flow[16] = {0, 0, 0, 0, 0x02, 0, 0, 0, 20, 0, 0, 0, 10, 0, 0, 0};
  const uint8_t chars[6] = {0, 0, 0, 0, 0x11, 0x13};
  ASSERT_EQ(b.OutData(0x13, flow), USB_NO_ERROR);
  ASSERT_EQ(b.OutData(0x19, chars), USB_NO_ERROR);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(89, 0)), 89u);
  EXPECT_TRUE(b.model->TakeSent(0).empty()) << "free 11 is above xoffLimit";
  EXPECT_EQ(b.model->InjectRx(0, Pattern(1, 0)), 1u);
  EXPECT_EQ(b.model->TakeSent(0), std::vector<uint8_t>{0x13});
  EXPECT_TRUE(b.model->State(0).xoffSent);
  EXPECT_EQ(b.model->State(0).holdReasons & 0x10, 0x10u);
  // While its XOFF stands the bridge sends nothing of its own.
  uint8_t data[2] = {5, 6};
  std::atomic<int> sent{0};
  USB_TRANSFER t = b.f->lpIssueBulkTransfer(b.Pipe(0x01), Flag, &sent, 0, 2, data, 0);
  ASSERT_NE(t, nullptr);
  uint8_t buf[60];
  std::atomic<int> done{0};
  USB_TRANSFER in = b.f->lpIssueBulkTransfer(b.Pipe(0x81), Flag, &done, 0x280, 60, buf, 0);
  ASSERT_NE(in, nullptr);
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  b.f->lpCloseTransfer(in);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(b.model->State(0).rxFifoLevel, 30u);
  EXPECT_TRUE(b.model->TakeSent(0).empty()) << "30 waiting is above xonLimit";
  EXPECT_EQ(Drain(b, b.Pipe(0x81), 30, 2000).size(), 30u);
  EXPECT_EQ(b.model->WaitSent(0, 3, 2000), std::vector<uint8_t>({0x11, 5, 6}));
  EXPECT_FALSE(b.model->State(0).xoffSent);
  b.f->lpCloseTransfer(t);
}

TEST(BridgeData, ImmediateCharacterGoesAheadOfData) {
  Bench b;
  b.Enable();
  const uint8_t flow[16] = {0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  b.OutData(0x13, flow);  // hold output so that both are queued
  b.model->SetPaced(false);
  uint8_t data[3] = {1, 2, 3};
  b.Bulk(b.Pipe(0x01), false, data, 3);
  b.Out(0x06, 0xAA);
  b.model->SetModemInputs(0, BridgeModel::kCts);
  EXPECT_EQ(b.model->WaitSent(0, 4, 2000), std::vector<uint8_t>({0xAA, 1, 2, 3}));
}

// ---- Faults
// -------------------------------------------------------------------------------------------

// A far end outside the simulation, in memory: what the line brought it, and bytes it sends.
class MemoryLine final : public sim::ExternalLine {
 public:
  void SetWake(std::function<void()> w) override {
    std::lock_guard<std::mutex> lock(mu_);
    wake_ = std::move(w);
  }
  void Put(uint8_t byte) override {
    std::lock_guard<std::mutex> lock(mu_);
    received_.push_back(byte);
  }
  bool Full() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return full_;
  }
  bool Get(uint8_t* byte) override {
    std::lock_guard<std::mutex> lock(mu_);
    if (toSend_.empty()) return false;
    *byte = toSend_.front();
    toSend_.erase(toSend_.begin());
    return true;
  }
  void Accepting(bool on) override {
    std::lock_guard<std::mutex> lock(mu_);
    accepting_ = on;
  }
  void Send(const std::vector<uint8_t>& bytes) {
    Locked([&] { toSend_.insert(toSend_.end(), bytes.begin(), bytes.end()); });
  }
  void SetFull(bool full) {
    Locked([&] { full_ = full; });
  }
  std::vector<uint8_t> Received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }
  size_t Unsent() const {
    std::lock_guard<std::mutex> lock(mu_);
    return toSend_.size();
  }
  bool accepting() const {
    std::lock_guard<std::mutex> lock(mu_);
    return accepting_;
  }

 private:
  // Changes the far end's state, then wakes the model, as the far end's own thread would.
  template <typename F>
  void Locked(F change) {
    std::function<void()> w;
    {
      std::lock_guard<std::mutex> lock(mu_);
      change();
      w = wake_;
    }
    if (w) w();
  }
  mutable std::mutex mu_;
  std::function<void()> wake_;
  std::vector<uint8_t> received_, toSend_;
  bool full_ = false;
  bool accepting_ = false;
};

template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(BridgeData, ExternalFarEndCarriesBothWaysAtTheLineRateWithItsLinesOn) {
  Bench b;
  b.Enable();
  auto line = std::make_shared<MemoryLine>();
  b.model->ConnectExternal(0, line);
  ASSERT_EQ(b.Out(0x07, 0x0303), USB_NO_ERROR);  // DTR and RTS on
  BridgePortState s = b.model->State(0);
  EXPECT_TRUE(s.cts && s.dsr && s.dcd);
  std::vector<uint8_t> out = Pattern(400, 3), in = Pattern(400, 77);
  auto start = Clock::now();
  line->Send(in);
  std::thread writer([&] { b.Bulk(b.Pipe(0x01), false, out.data(), 400); });
  std::vector<uint8_t> got = Drain(b, b.Pipe(0x81), 400, 10000);
  auto inMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  writer.join();
  EXPECT_TRUE(WaitUntil([&] { return line->Received().size() >= 400; }, 10000));
  auto outMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(got, in);
  EXPECT_EQ(line->Received(), out);
  // 400 bytes of 10 bits at 9600 baud each way, at the same time: 416.7 ms.
  EXPECT_GE(inMs, 410);
  EXPECT_GE(outMs, 410);
  EXPECT_LT(std::max(inMs, outMs), 3000);
  EXPECT_TRUE(b.model->TakeSent(0).empty());  // the far end keeps what it got
}

TEST(BridgeData, ExternalFarEndWaitsForRtsAndFifoRoomAndTheLineWaitsWhileItIsFull) {
  BridgeConfig cfg;
  cfg.rxFifoSize = 64;
  cfg.paced = false;
  Bench b(cfg);
  b.Enable();
  auto line = std::make_shared<MemoryLine>();
  b.model->ConnectExternal(0, line);
  std::vector<uint8_t> in = Pattern(200, 9);
  line->Send(in);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(line->Unsent(), 200u);  // RTS is off
  EXPECT_FALSE(line->accepting());
  ASSERT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR);
  EXPECT_TRUE(WaitUntil([&] { return b.model->State(0).rxFifoLevel == 64; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(line->Unsent(), 136u);  // the full FIFO holds the rest back, nothing is lost
  EXPECT_FALSE(line->accepting());
  EXPECT_EQ(Drain(b, b.Pipe(0x81), 200, 5000), in);
  EXPECT_EQ(b.model->State(0).rxOverflow, 0u);
  EXPECT_TRUE(line->accepting());

  line->SetFull(true);
  std::vector<uint8_t> out = Pattern(10, 1);
  std::atomic<int> done{0};
  USB_TRANSFER t = b.f->lpIssueBulkTransfer(b.Pipe(0x01), Flag, &done, 0, 10, out.data(), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(line->Received().empty());
  EXPECT_EQ(b.model->State(0).txQueued, 10u);
  line->SetFull(false);
  EXPECT_TRUE(WaitUntil([&] { return line->Received() == out; }, 5000));
  b.f->lpCloseTransfer(t);
  b.model->Disconnect(0);
  EXPECT_EQ(line.use_count(), 1);  // the model let go of the far end
}

TEST(BridgeFaults, FailStallAndShortAnswers) {
  Bench b;
  b.model->FailNext(0x1E, 1);
  const uint8_t baud[4] = {0x80, 0x25, 0, 0};
  EXPECT_EQ(b.OutData(0x1E, baud), USB_DEVICE_NOT_RESPONDING_ERROR);
  EXPECT_EQ(b.OutData(0x1E, baud), USB_NO_ERROR);
  b.model->StallNext(BridgeModel::kAnyRequest, 2);
  EXPECT_EQ(b.Out(0x11, 0), USB_STALL_ERROR);
  EXPECT_EQ(b.Out(0x05, 1), USB_STALL_ERROR);
  EXPECT_EQ(b.Out(0x05, 1), USB_NO_ERROR);
  EXPECT_EQ(b.model->State(0).resetCount, 0u);
  b.model->ShortAnswerNext(0x10, 1, 5);
  uint8_t comm[19] = {};
  EXPECT_EQ(b.Control(0xC1, 0x10, 0, 0, 19, comm).bytes, 5u);
  EXPECT_EQ(b.Control(0xC1, 0x10, 0, 0, 19, comm).bytes, 19u);
}

TEST(BridgeFaults, HungBulkOutEndsOnUnplugAndBulkInErrors) {
  auto b = std::make_unique<Bench>();
  b->Enable();
  b->model->HangNextBulkOut(0, 1);
  std::atomic<int> done{0};
  uint8_t data[4] = {1, 2, 3, 4};
  USB_TRANSFER t = b->f->lpIssueBulkTransfer(b->Pipe(0x01), Flag, &done, 0, 4, data, 0);
  b->model->FailNextBulkIn(0, 1, USB_CRC_ERROR);
  uint8_t buf[8];
  Result r = b->Bulk(b->Pipe(0x81), true, buf, 8);
  EXPECT_EQ(r.usbError, USB_CRC_ERROR);
  EXPECT_EQ(r.bytes, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(done, 0);
  EXPECT_TRUE(b->model->TakeSent(0).empty());
  ASSERT_TRUE(b->model->Unplug());
  for (int i = 0; i < 2000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(done, 1);
  DWORD bytes = 0, err = 0;
  b->f->lpGetTransferStatus(t, &bytes, &err);
  EXPECT_EQ(err, USB_DEVICE_NOT_RESPONDING_ERROR);
  b->f->lpCloseTransfer(t);
}

TEST(BridgeFaults, RemovalOnARequest) {
  Bench b;
  b.model->RemoveOnRequest(0x08);
  EXPECT_EQ(b.Out(0x11, 0), USB_NO_ERROR);
  uint8_t s;
  EXPECT_EQ(b.Control(0xC1, 0x08, 0, 0, 1, &s).usbError, USB_DEVICE_NOT_RESPONDING_ERROR);
  EXPECT_TRUE(sim::WaitRemoved(b.id, 5000));
  EXPECT_FALSE(sim::IsPlugged(b.id));
  EXPECT_FALSE(b.Control(0x41, 0x11, 0, 0, 0, nullptr).issued);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
