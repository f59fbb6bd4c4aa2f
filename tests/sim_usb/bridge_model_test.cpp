// The bridge model seen from the bus: every vendor request against the model's state, stalls of
// unknown or malformed requests, string descriptors, data paths with pacing and wiring, flow
// control and the fault modes.
#include "sim/bridge_model/bridge_model.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <thread>

#include "platform/ce_os.h"
#include "sim/bridge_model/libusb_path.h"

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

template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs) {
  auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!pred()) {
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

long long MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Little-endian 32-bit fields, as the bridge's baud and flow records carry them.
std::vector<uint8_t> Le32(std::initializer_list<uint32_t> fields) {
  std::vector<uint8_t> bytes;
  for (uint32_t f : fields)
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(f >> (8 * i)));
  return bytes;
}

// The error a client sees for a bus-level failure the model reports as `e`. Through libusb
// (TV_USB=libusb) CRC, bit-stuffing and handshake failures arrive as one status, which the
// passthrough device reports as "not responding".
DWORD BusError(DWORD e) {
  return sim::LibusbPathSelected() && e == USB_CRC_ERROR ? USB_DEVICE_NOT_RESPONDING_ERROR : e;
}

// A transfer left running; closed when it goes out of scope unless closed before.
class Async {
 public:
  Async(LPCUSB_FUNCS f, USB_PIPE pipe, bool in, void* data, DWORD length) : f_(f) {
    t_ = f_->lpIssueBulkTransfer(pipe, Flag, done_.get(), in ? 0x280u : 0u, length, data, 0);
  }
  Async(const Async&) = delete;
  Async& operator=(const Async&) = delete;
  ~Async() { Close(); }
  bool Issued() const { return t_ != nullptr; }
  bool Done() const { return *done_ != 0; }
  int Completions() const { return *done_; }
  bool WaitDone(int ms) const {
    return WaitUntil([&] { return Done(); }, ms);
  }
  // Bytes and error as the host stack reports them.
  std::pair<DWORD, DWORD> Status() const {
    DWORD bytes = 0, err = 0;
    f_->lpGetTransferStatus(t_, &bytes, &err);
    return {bytes, err};
  }
  void Close() {
    if (t_) f_->lpCloseTransfer(t_);
    t_ = nullptr;
  }

 private:
  LPCUSB_FUNCS f_;
  USB_TRANSFER t_ = nullptr;
  std::unique_ptr<std::atomic<int>> done_ = std::make_unique<std::atomic<int>>(0);
};

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
    return Finish(f->lpIssueVendorTransfer(h, nullptr, nullptr, flags, &setup, data, 0));
  }
  DWORD Out(uint8_t req, uint16_t value, unsigned iface = 0) {
    return Control(0x41, req, value, static_cast<uint16_t>(iface), 0, nullptr).usbError;
  }
  DWORD OutData(uint8_t req, std::vector<uint8_t> data, unsigned iface = 0) {
    return Control(0x41, req, 0, static_cast<uint16_t>(iface), static_cast<uint16_t>(data.size()),
                   data.data())
        .usbError;
  }
  DWORD Baud(uint32_t baud) { return OutData(0x1E, Le32({baud})); }
  // The 16-byte flow record: control handshake, flow replace, XON limit, XOFF limit.
  DWORD Flow(uint32_t control, uint32_t replace, uint32_t xonLimit = 0, uint32_t xoffLimit = 0) {
    return OutData(0x13, Le32({control, replace, xonLimit, xoffLimit}));
  }
  DWORD XonXoffChars() { return OutData(0x19, {0, 0, 0, 0, 0x11, 0x13}); }
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
    return Finish(
        f->lpIssueBulkTransfer(pipe, nullptr, nullptr, in ? 0x280u : 0u, length, data, 0));
  }
  // The outcome of a synchronous transfer, which is closed here.
  Result Finish(USB_TRANSFER t) {
    Result r;
    if (!t) return r;
    r.issued = true;
    f->lpGetTransferStatus(t, &r.bytes, &r.usbError);
    f->lpCloseTransfer(t);
    return r;
  }
  Result Write(const std::vector<uint8_t>& data) {
    std::vector<uint8_t> copy = data;
    return Bulk(Pipe(0x01), false, copy.data(), static_cast<DWORD>(copy.size()));
  }
  Async Start(uint8_t address, void* data, DWORD length) {
    return Async(f, Pipe(address), (address & 0x80) != 0, data, length);
  }
  // Reads bulk IN until `count` bytes have arrived or the time runs out.
  std::vector<uint8_t> Drain(size_t count, int timeoutMs) {
    return Drain(Pipe(0x81), count, timeoutMs);
  }
  std::vector<uint8_t> Drain(USB_PIPE in, size_t count, int timeoutMs) {
    std::vector<uint8_t> out;
    auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count && Clock::now() < end) {
      uint8_t buf[512];
      Async read(f, in, true, buf, sizeof(buf));
      if (!read.Issued()) break;
      while (!read.Done() && Clock::now() < end) SleepMs(1);
      auto [bytes, err] = read.Status();
      if (read.Done() && err == USB_NO_ERROR) out.insert(out.end(), buf, buf + bytes);
    }
    return out;
  }
  std::shared_ptr<BridgeModel> model;
  sim::UsbDeviceId id = 0;
  USB_HANDLE h = nullptr;
  LPCUSB_FUNCS f = sim::UsbFuncs();
  std::mutex pipesLock;  // tests open pipes from several threads
  std::vector<USB_PIPE> pipes;
};

// Two bridges wired as a null modem, both enabled.
struct Pair {
  Pair(BridgeConfig ca = {}, BridgeConfig cc = {})
      : a(std::make_unique<Bench>(ca)), c(std::make_unique<Bench>(cc)) {
    BridgeModel::NullModem(a->model, 0, c->model, 0);
    a->Enable();
    c->Enable();
  }
  std::unique_ptr<Bench> a, c;
};

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

// Applied in order to one bridge: each request succeeds, changes only the state it names and
// leaves the values checked.
TEST(BridgeRequests, EachRequestChangesExactlyItsState) {
  struct Step {
    const char* what;
    uint8_t req;
    uint16_t value;
    std::vector<uint8_t> data;  // sent as the data stage when not empty
    const char* changed;
    std::function<void(const BridgePortState&)> check;
  };
  // A flow record with DTR and RTS modes "off" leaves the lines as they are (both off here).
  // clang-format off
  const Step steps[] = {
      {"enable", 0x00, 0xFFFF, {}, "enabled",
       [](auto& s) { EXPECT_TRUE(s.enabled); EXPECT_EQ(s.enableValue, 0xFFFF); }},
      {"baud", 0x1E, 0, {0x00, 0xC2, 0x01, 0x00}, "baud",
       [](auto& s) { EXPECT_EQ(s.baud, 115200u); }},
      {"line", 0x03, 0x0722, {}, "lineControl",
       [](auto& s) { EXPECT_EQ(s.lineControl, 0x0722); }},
      {"flow", 0x13, 0, Le32({0x08, 0x03, 0x200, 0x80}), "flow",
       [](auto& s) { EXPECT_EQ(s.flow[0], 0x08); EXPECT_EQ(s.flow[9], 0x02); }},
      {"chars", 0x19, 0, {0x0D, 0x0E, 0x00, 0x0F, 0x11, 0x13}, "chars",
       [](auto& s) { EXPECT_EQ(s.chars[4], 0x11); EXPECT_EQ(s.chars[5], 0x13); }},
      {"dtr on", 0x07, 0x0101, {}, "dtr", [](auto& s) { EXPECT_TRUE(s.dtr); EXPECT_FALSE(s.rts); }},
      {"rts on", 0x07, 0x0202, {}, "rts", [](auto& s) { EXPECT_TRUE(s.rts); EXPECT_TRUE(s.dtr); }},
      {"dtr off", 0x07, 0x0100, {}, "dtr", [](auto& s) { EXPECT_FALSE(s.dtr); }},
      {"break on", 0x05, 1, {}, "break", [](auto& s) { EXPECT_TRUE(s.breakOn); }},
      {"break off", 0x05, 0, {}, "break", [](auto& s) { EXPECT_FALSE(s.breakOn); }},
      {"purge", 0x12, 0x0F, {}, "purge",
       [](auto& s) { EXPECT_EQ(s.purgeCount, 1u); EXPECT_EQ(s.lastPurge, 0x0F); }},
      {"reset", 0x11, 0, {}, "reset", [](auto& s) { EXPECT_EQ(s.resetCount, 1u); }},
      {"immediate", 0x06, 0x41, {}, "immediate", [](auto& s) { EXPECT_EQ(s.immediateCount, 1u); }},
      {"disable", 0x00, 0, {}, "enabled", [](auto& s) { EXPECT_FALSE(s.enabled); }},
  };
  // clang-format on
  Bench b;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    BridgePortState before = b.model->State(0);
    EXPECT_EQ(step.data.empty() ? b.Out(step.req, step.value) : b.OutData(step.req, step.data),
              USB_NO_ERROR);
    BridgePortState after = b.model->State(0);
    EXPECT_TRUE(SameExcept(before, after, step.changed));
    step.check(after);
  }
}

TEST(BridgeRequests, FlowRecordModesDriveTheLines) {
  Bench b;
  ASSERT_EQ(b.Flow(0x01, 0x40), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).dtr);
  EXPECT_TRUE(b.model->State(0).rts);
  ASSERT_EQ(b.Flow(0, 0), USB_NO_ERROR);
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
  ASSERT_EQ(b.Flow(0x08, 0x40), USB_NO_ERROR);
  ASSERT_EQ(b.Write(std::vector<uint8_t>(10, 0x55)).usbError, USB_NO_ERROR);
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
  Bench b({.interfaces = 2});
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
    Bench b({.partNumber = part, .latch = 0x00});
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
  Bench b({.partNumber = 5, .interfaces = 2, .latch = 0xF0});
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
  b.Baud(9600);
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
    SleepMs(20);
    b.Out(0x11, 0);
  });
  EXPECT_TRUE(b.model->WaitForRequest(0x11, 5000));
  later.join();
  b.model->ClearLog();
  EXPECT_TRUE(b.model->Log().empty());
}

// The log keeps a window of its latest entries, by count and by the bytes of their data, while the
// request counts go on; with no limits it keeps everything.
TEST(BridgeRequests, LogKeepsItsLatestWindowAndCountsEverything) {
  struct Case {
    uint32_t entries, dataBytes;
    size_t kept;  // of 40 baud-rate requests (4 data bytes each)
  } cases[] = {{10, 0, 10}, {0, 20, 5}, {8, 1000, 8}, {0, 0, 40}};
  for (const Case& c : cases) {
    Bench b({.logEntries = c.entries, .logDataBytes = c.dataBytes});
    b.model->ClearLog();
    for (uint32_t i = 0; i < 40; ++i) ASSERT_EQ(b.Baud(1000 + i), USB_NO_ERROR);
    auto log = b.model->Log();
    ASSERT_EQ(log.size(), c.kept) << c.entries << " " << c.dataBytes;
    EXPECT_EQ(log.back().data, Le32({1039}));  // the newest stays, in order
    EXPECT_EQ(log.front().data, Le32({static_cast<uint32_t>(1040 - c.kept)}));
    EXPECT_EQ(b.model->CountRequests(0x1E), 40u);
    b.model->ClearLog();
    EXPECT_EQ(b.model->CountRequests(0x1E), 0u);
  }
}

// Bytes nobody takes from the TX line stay bounded: beyond sentKeep the oldest go.
TEST(BridgeData, SentBytesNobodyTakesStayBounded) {
  Bench b({.paced = false, .sentKeep = 100});
  b.Enable();
  const std::vector<uint8_t> data = Pattern(130, 1);
  EXPECT_EQ(b.Write(data).usbError, USB_NO_ERROR);
  EXPECT_TRUE(WaitUntil([&] { return b.model->State(0).txQueued == 0; }, 5000));
  const std::vector<uint8_t> kept = b.model->TakeSent(0);
  ASSERT_LE(kept.size(), 100u);
  ASSERT_GE(kept.size(), 50u);
  EXPECT_TRUE(std::equal(kept.begin(), kept.end(), data.end() - kept.size()));
}

// ---- Descriptors
// ------------------------------------------------------------------------------------

// Reads string descriptor `index` in language 3; returns the bytes and sets *err.
DWORD ReadString(Bench& b, uint8_t index, uint16_t length, uint8_t* buf, DWORD* err) {
  DWORD bytes = 0;
  USB_TRANSFER t = b.f->lpGetDescriptor(b.h, nullptr, nullptr, 0, 3, index, 3, length, buf);
  if (!t) return 0;
  b.f->lpGetTransferStatus(t, &bytes, err);
  b.f->lpCloseTransfer(t);
  return bytes;
}

TEST(BridgeDescriptors, StringsAreServedAsUtf16) {
  Bench b({.product = TEXT("Ab"), .serial = TEXT("Z9")});
  uint8_t head[2] = {};
  DWORD err = 1;
  EXPECT_EQ(ReadString(b, 2, 2, head, &err), 2u);
  EXPECT_EQ(head[0], 6);
  EXPECT_EQ(head[1], 3);
  uint8_t full[6] = {};
  EXPECT_EQ(ReadString(b, 2, 6, full, &err), 6u);
  EXPECT_EQ(err, USB_NO_ERROR);
  EXPECT_EQ(std::vector<uint8_t>(full, full + 6), std::vector<uint8_t>({6, 3, 'A', 0, 'b', 0}));
  for (uint8_t index : {3, 5}) {
    ReadString(b, index, 6, full, &err);
    EXPECT_EQ(full[2], 'Z');
    EXPECT_EQ(full[4], '9');
  }
  ReadString(b, 7, 2, head, &err);
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
  Bench b({.hasSerial = false});
  uint8_t buf[64] = {};
  DWORD err = 0;
  ReadString(b, 3, 2, buf, &err);
  EXPECT_EQ(err, USB_STALL_ERROR);
  sim::StringFault tiny;
  tiny.headerLength = 1;
  b.model->SetStringFault(2, tiny);
  ReadString(b, 2, 2, buf, &err);
  EXPECT_EQ(buf[0], 1);
  sim::StringFault changing;
  changing.laterLength = 200;
  changing.laterType = 4;
  b.model->SetStringFault(2, changing);
  ReadString(b, 2, 2, buf, &err);
  EXPECT_EQ(buf[1], 3);
  ReadString(b, 2, buf[0], buf, &err);
  EXPECT_EQ(buf[0], 200);
  EXPECT_EQ(buf[1], 4);
  sim::StringFault gone;
  gone.missing = true;
  b.model->SetStringFault(2, gone);
  ReadString(b, 2, 2, buf, &err);
  EXPECT_EQ(err, USB_STALL_ERROR);
}

TEST(BridgeDescriptors, ConfigurationShapesForTests) {
  auto interfaces = [](BridgeConfig cfg) {
    return BridgeModel::Create(cfg)->DeviceInfo()->lpActiveConfig->dwNumInterfaces;
  };
  EXPECT_EQ(interfaces({.interfaces = 3}), 3u);
  EXPECT_EQ(interfaces({.interfaces = 0}), 0u);
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
  EXPECT_EQ(b.Drain(3, 2000), std::vector<uint8_t>({1, 2, 3}));
  uint8_t buf[8];
  Async interrupt = b.Start(0x83, buf, 8);
  SleepMs(30);
  EXPECT_FALSE(interrupt.Done());
  auto mb = BridgeModel::Create({.endpoints = {{{0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8}}}});
  EXPECT_EQ(mb->DeviceInfo()->lpActiveConfig->lpInterfaces[0].Descriptor.bNumEndpoints, 1);
}

// ---- Data paths
// ---------------------------------------------------------------------------------------

TEST(BridgeData, NoDataMovesWhileDisabled) {
  Bench b;
  b.model->Loopback(0);
  uint8_t data[4] = {1, 2, 3, 4};
  Async write = b.Start(0x01, data, 4);
  SleepMs(50);
  EXPECT_FALSE(write.Done());
  EXPECT_TRUE(b.model->TakeSent(0).empty());
  b.Enable();
  EXPECT_EQ(b.model->WaitSent(0, 4, 2000), std::vector<uint8_t>({1, 2, 3, 4}));
  write.WaitDone(5000);
  EXPECT_EQ(write.Completions(), 1);
}

TEST(BridgeData, LoopbackAtNineSixHundredTakesTheLineTime) {
  Bench b;
  b.Enable();
  b.model->Loopback(0);
  std::vector<uint8_t> data = Pattern(400, 3);
  auto start = Clock::now();
  std::thread writer([&] { b.Write(data); });
  std::vector<uint8_t> got = b.Drain(data.size(), 10000);
  auto ms = MsSince(start);
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
  auto start = Clock::now();
  EXPECT_EQ(b.Write(std::vector<uint8_t>(96, 0xFF)).usbError, USB_NO_ERROR);
  auto sent = b.model->WaitSent(0, 96, 5000);
  auto ms = MsSince(start);
  ASSERT_EQ(sent.size(), 96u);
  EXPECT_EQ(sent[0], 0x7F);
  EXPECT_GE(ms, 105);  // 96 * 11 / 9600 = 110 ms
  EXPECT_LT(ms, 5000);
}

TEST(BridgeData, NullModemCarriesBothWaysAndCrossesTheLines) {
  Pair p;
  Bench &a = *p.a, &c = *p.c;
  a.Baud(57600);
  c.Baud(57600);
  std::vector<uint8_t> ab = Pattern(1500, 1), ca = Pattern(1500, 99);
  auto start = Clock::now();
  std::thread wa([&] { a.Write(ab); });
  std::thread wc([&] { c.Write(ca); });
  USB_PIPE ina = a.Pipe(0x81), inc = c.Pipe(0x81);
  std::vector<uint8_t> gotC;
  std::thread rc([&] { gotC = c.Drain(inc, 1500, 10000); });
  std::vector<uint8_t> gotA = a.Drain(ina, 1500, 10000);
  rc.join();
  wa.join();
  wc.join();
  auto ms = MsSince(start);
  EXPECT_EQ(gotC, ab);
  EXPECT_EQ(gotA, ca);
  EXPECT_GE(ms, 255);  // 1500 * 10 / 57600 = 260 ms
  EXPECT_LT(ms, 5000);
  a.Out(0x07, 0x0202);
  a.Out(0x07, 0x0100);
  c.Out(0x07, 0x0101);
  EXPECT_TRUE(c.model->State(0).cts);
  EXPECT_FALSE(c.model->State(0).dsr);
  EXPECT_TRUE(a.model->State(0).dsr);
  EXPECT_TRUE(a.model->State(0).dcd);
  EXPECT_FALSE(a.model->State(0).cts);
}

TEST(BridgeData, UnpacedLineNeverOverrunsTheFarEnd) {
  Bench b({.paced = false, .rxFifoSize = 512});
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
    std::vector<uint8_t> chunk = b.Drain(in, 1, 5000);
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
  ASSERT_EQ(b.Flow(0x01, 0x80), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
  ASSERT_EQ(b.Out(0x07, 0x0200), USB_NO_ERROR);
  EXPECT_FALSE(b.model->State(0).rts);
  ASSERT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
}

TEST(BridgeData, CtsHandshakeHoldsTransmission) {
  Bench b;
  b.Enable();
  ASSERT_EQ(b.Flow(0x08, 0x00), USB_NO_ERROR);
  b.model->SetPaced(false);
  std::vector<uint8_t> data = Pattern(200, 5);
  Async write = b.Start(0x01, data.data(), 200);
  SleepMs(50);
  EXPECT_TRUE(b.model->TakeSent(0).empty());
  EXPECT_FALSE(write.Done());  // only the 64-byte FIFO's worth was accepted
  EXPECT_EQ(b.model->State(0).holdReasons & 0x01, 0x01u);
  EXPECT_EQ(b.model->State(0).txQueued, 200u);
  b.model->SetModemInputs(0, BridgeModel::kCts);
  EXPECT_EQ(b.model->WaitSent(0, 200, 2000), data);
  write.WaitDone(5000);
  EXPECT_EQ(write.Completions(), 1);
}

TEST(BridgeData, RtsHandshakeFollowsTheFifoAndOverflowIsCounted) {
  Bench b({.rxFifoSize = 100, .rtsHighWater = 80, .rtsLowWater = 20});
  b.Enable();
  ASSERT_EQ(b.Flow(0x01, 0x80), USB_NO_ERROR);
  EXPECT_TRUE(b.model->State(0).rts);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(90, 0)), 90u);
  EXPECT_FALSE(b.model->State(0).rts);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(20, 0)), 10u);
  EXPECT_EQ(b.model->State(0).rxOverflow, 10u);
  EXPECT_EQ(b.Drain(100, 2000).size(), 100u);
  EXPECT_TRUE(b.model->State(0).rts);
}

// A paced sender emits the bytes its line time allows since the last pass in one go; the far
// end's RTS must still stop it at the byte that crosses the high-water mark.
TEST(BridgeData, RtsCtsStopsAFastSenderBeforeTheFarFifoOverflows) {
  Pair p({}, {.rxFifoSize = 100, .rtsHighWater = 95, .rtsLowWater = 20});
  Bench &a = *p.a, &c = *p.c;
  ASSERT_EQ(a.Baud(3000000), USB_NO_ERROR);
  ASSERT_EQ(c.Baud(3000000), USB_NO_ERROR);
  ASSERT_EQ(a.Flow(0x09, 0x40), USB_NO_ERROR);
  ASSERT_EQ(c.Flow(0x01, 0x80), USB_NO_ERROR);
  std::vector<uint8_t> data = Pattern(3000, 3);
  Async write = a.Start(0x01, data.data(), 3000);
  ASSERT_TRUE(write.Issued());
  // 3000 bytes take 10 ms unheld; the model's thread may take longer to get to the hold on a busy
  // machine, and nothing moves after it.
  WaitUntil([&] { return (a.model->State(0).holdReasons & 0x01) != 0; }, 10000);
  EXPECT_EQ(c.model->State(0).rxOverflow, 0u);
  EXPECT_EQ(c.model->State(0).rxFifoLevel, 96u);
  EXPECT_EQ(a.model->State(0).holdReasons & 0x01, 0x01u);
  EXPECT_EQ(c.Drain(3000, 5000), data);
  EXPECT_EQ(c.model->State(0).rxOverflow, 0u);
}

TEST(BridgeData, XoffFromTheWireHoldsOutput) {
  Pair p;
  Bench &a = *p.a, &c = *p.c;
  a.model->SetPaced(false);
  c.model->SetPaced(false);
  a.Flow(0, 0x01);
  a.XonXoffChars();
  c.Write({0x13});  // XOFF
  c.model->WaitSent(0, 1, 1000);
  SleepMs(10);
  EXPECT_TRUE(a.model->State(0).xoffHeld);
  uint8_t data[3] = {7, 8, 9};
  Async write = a.Start(0x01, data, 3);
  SleepMs(30);
  EXPECT_TRUE(a.model->TakeSent(0).empty());
  EXPECT_EQ(a.model->State(0).holdReasons & 0x08, 0x08u);
  c.Write({0x11});  // XON
  EXPECT_EQ(a.model->WaitSent(0, 3, 2000), std::vector<uint8_t>({7, 8, 9}));
  EXPECT_EQ(a.model->State(0).rxFifoLevel, 0u);  // XON/XOFF are consumed, not stored
}

TEST(BridgeData, XonXoffOnInputGuardsTheFifoAndHoldsOwnOutput) {
  Bench b({.rxFifoSize = 100});
  b.Enable();
  b.model->SetPaced(false);
  ASSERT_EQ(b.Flow(0, 0x02, 20, 10), USB_NO_ERROR);  // XON/XOFF on input, limits 20 and 10
  ASSERT_EQ(b.XonXoffChars(), USB_NO_ERROR);
  EXPECT_EQ(b.model->InjectRx(0, Pattern(89, 0)), 89u);
  EXPECT_TRUE(b.model->TakeSent(0).empty()) << "free 11 is above xoffLimit";
  EXPECT_EQ(b.model->InjectRx(0, Pattern(1, 0)), 1u);
  EXPECT_EQ(b.model->TakeSent(0), std::vector<uint8_t>{0x13});
  EXPECT_TRUE(b.model->State(0).xoffSent);
  EXPECT_EQ(b.model->State(0).holdReasons & 0x10, 0x10u);
  // While its XOFF stands the bridge sends nothing of its own.
  uint8_t data[2] = {5, 6};
  Async write = b.Start(0x01, data, 2);
  ASSERT_TRUE(write.Issued());
  uint8_t buf[60];
  Async read = b.Start(0x81, buf, 60);
  ASSERT_TRUE(read.Issued());
  read.WaitDone(5000);
  read.Close();
  SleepMs(20);
  EXPECT_EQ(b.model->State(0).rxFifoLevel, 30u);
  EXPECT_TRUE(b.model->TakeSent(0).empty()) << "30 waiting is above xonLimit";
  EXPECT_EQ(b.Drain(30, 2000).size(), 30u);
  EXPECT_EQ(b.model->WaitSent(0, 3, 2000), std::vector<uint8_t>({0x11, 5, 6}));
  EXPECT_FALSE(b.model->State(0).xoffSent);
}

TEST(BridgeData, ImmediateCharacterGoesAheadOfData) {
  Bench b;
  b.Enable();
  b.Flow(0x08, 0);  // hold output so that both are queued
  b.model->SetPaced(false);
  b.Write({1, 2, 3});
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
  bool Present() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return present_;
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
  void SetPresent(bool present) {
    Locked([&] { present_ = present; });
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
  bool present_ = true;
};

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
  std::thread writer([&] { b.Write(out); });
  std::vector<uint8_t> got = b.Drain(400, 10000);
  auto inMs = MsSince(start);
  writer.join();
  EXPECT_TRUE(WaitUntil([&] { return line->Received().size() >= 400; }, 10000));
  auto outMs = MsSince(start);
  EXPECT_EQ(got, in);
  EXPECT_EQ(line->Received(), out);
  // 400 bytes of 10 bits at 9600 baud each way, at the same time: 416.7 ms.
  EXPECT_GE(inMs, 410);
  EXPECT_GE(outMs, 410);
  EXPECT_LT(std::max(inMs, outMs), 3000);
  EXPECT_TRUE(b.model->TakeSent(0).empty());  // the far end keeps what it got
}

TEST(BridgeData, ExternalFarEndWaitsForRtsAndFifoRoomAndTheLineWaitsWhileItIsFull) {
  Bench b({.paced = false, .rxFifoSize = 64});
  b.Enable();
  auto line = std::make_shared<MemoryLine>();
  b.model->ConnectExternal(0, line);
  std::vector<uint8_t> in = Pattern(200, 9);
  line->Send(in);
  SleepMs(50);
  EXPECT_EQ(line->Unsent(), 200u);  // RTS is off
  EXPECT_FALSE(line->accepting());
  ASSERT_EQ(b.Out(0x07, 0x0202), USB_NO_ERROR);
  EXPECT_TRUE(WaitUntil([&] { return b.model->State(0).rxFifoLevel == 64; }, 5000));
  SleepMs(20);
  EXPECT_EQ(line->Unsent(), 136u);  // the full FIFO holds the rest back, nothing is lost
  EXPECT_FALSE(line->accepting());
  EXPECT_EQ(b.Drain(200, 5000), in);
  EXPECT_EQ(b.model->State(0).rxOverflow, 0u);
  EXPECT_TRUE(line->accepting());

  line->SetFull(true);
  std::vector<uint8_t> out = Pattern(10, 1);
  Async write = b.Start(0x01, out.data(), 10);
  SleepMs(50);
  EXPECT_TRUE(line->Received().empty());
  EXPECT_EQ(b.model->State(0).txQueued, 10u);
  line->SetFull(false);
  EXPECT_TRUE(WaitUntil([&] { return line->Received() == out; }, 5000));
  write.Close();
  b.model->Disconnect(0);
  EXPECT_EQ(line.use_count(), 1);  // the model let go of the far end
}

// A far end that is not there is a cable pulled out at that end: its RTS and DTR read as off, the
// CTS handshake holds output until it is back, and without a handshake what goes out is lost and
// counted; a far end that is Full meanwhile does not hold the line.
TEST(BridgeData, AbsentExternalFarEndDropsItsLinesAndLosesWhatIsSentUnheld) {
  Bench b({.paced = false});
  b.Enable();
  auto line = std::make_shared<MemoryLine>();
  line->SetPresent(false);
  line->SetFull(true);
  b.model->ConnectExternal(0, line);
  ASSERT_EQ(b.Out(0x07, 0x0303), USB_NO_ERROR);
  BridgePortState s = b.model->State(0);
  EXPECT_FALSE(s.cts || s.dsr || s.dcd);

  ASSERT_EQ(b.Flow(0x08, 0), USB_NO_ERROR);  // CTS handshake
  const std::vector<uint8_t> held = Pattern(10, 4);
  {
    Async write = b.Start(0x01, const_cast<uint8_t*>(held.data()), 10);
    SleepMs(50);
    EXPECT_EQ(b.model->State(0).holdReasons & 0x01, 0x01u);
    line->SetFull(false);
    line->SetPresent(true);
    EXPECT_TRUE(WaitUntil([&] { return line->Received() == held; }, 5000));
    EXPECT_TRUE(write.WaitDone(5000));
  }
  s = b.model->State(0);
  EXPECT_TRUE(s.cts && s.dsr && s.dcd);
  EXPECT_EQ(s.txLostFarEndAbsent, 0u);

  ASSERT_EQ(b.Flow(0, 0), USB_NO_ERROR);  // no handshake
  line->SetPresent(false);
  line->SetFull(true);
  EXPECT_EQ(b.Write(Pattern(20, 8)).usbError, USB_NO_ERROR);
  EXPECT_TRUE(WaitUntil([&] { return b.model->State(0).txLostFarEndAbsent == 20; }, 5000));
  EXPECT_EQ(line->Received(), held);
  EXPECT_EQ(b.model->State(0).txQueued, 0u);
  b.model->Disconnect(0);
}

TEST(BridgeFaults, FailStallAndShortAnswers) {
  Bench b;
  b.model->FailNext(0x1E, 1);
  EXPECT_EQ(b.Baud(9600), USB_DEVICE_NOT_RESPONDING_ERROR);
  EXPECT_EQ(b.Baud(9600), USB_NO_ERROR);
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
  uint8_t data[4] = {1, 2, 3, 4};
  Async write = b->Start(0x01, data, 4);
  b->model->FailNextBulkIn(0, 1, USB_CRC_ERROR);
  uint8_t buf[8];
  Result r = b->Bulk(b->Pipe(0x81), true, buf, 8);
  EXPECT_EQ(r.usbError, BusError(USB_CRC_ERROR));
  EXPECT_EQ(r.bytes, 0u);
  SleepMs(50);
  EXPECT_FALSE(write.Done());
  EXPECT_TRUE(b->model->TakeSent(0).empty());
  ASSERT_TRUE(b->model->Unplug());
  write.WaitDone(5000);
  EXPECT_EQ(write.Completions(), 1);
  EXPECT_EQ(write.Status().second, USB_DEVICE_NOT_RESPONDING_ERROR);
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

// Through libusb the model is a device node of umockdev's testbed: unplugging it ends a transfer
// in flight as a removal does, and the same model plugs again at a new address and answers.
TEST(BridgeOnLibusb, RemovalEndsTheTransferInFlightAndTheModelPlugsAgain) {
  if (!sim::LibusbPathSelected()) GTEST_SKIP() << "needs TV_USB=libusb under umockdev-wrapper";
  auto b = std::make_unique<Bench>();
  b->Enable();
  uint8_t part = 0;
  ASSERT_EQ(b->Control(0xC0, 0xFF, 0x370B, 0, 1, &part).bytes, 1u);
  EXPECT_EQ(part, b->model->Config().partNumber);
  b->model->HangNextBulkOut(0, 1);
  uint8_t data[4] = {1, 2, 3, 4};
  Async write = b->Start(0x01, data, 4);
  const sim::UsbDeviceId first = b->id;
  ASSERT_TRUE(b->model->Unplug());
  ASSERT_TRUE(sim::WaitRemoved(first, 10000));
  ASSERT_TRUE(write.WaitDone(5000));
  EXPECT_EQ(write.Completions(), 1);
  EXPECT_EQ(write.Status().second, USB_DEVICE_NOT_RESPONDING_ERROR);
  write.Close();
  b->id = b->model->Plug();
  ASSERT_NE(b->id, 0u);
  EXPECT_NE(b->id, first);
  b->h = sim::DeviceHandle(b->id);
  part = 0;
  EXPECT_EQ(b->Control(0xC0, 0xFF, 0x370B, 0, 1, &part).usbError, USB_NO_ERROR);
  EXPECT_EQ(part, b->model->Config().partNumber);
}

}  // namespace
