// Fuzz target: what the device supplies, from attach to detach. Each input describes a bridge
// (interfaces, endpoints, part number, strings), faults for its control requests, string
// descriptors and bulk transfers, the removal order, and a session on its ports: opens, line
// settings, reads, writes, waits, received bytes, modem inputs, more faults, and removal at any
// point. After each input:
// - every call made in the foreground returned within a bound, and what was in flight ended once
//   its handle was closed or the device removed;
// - no read or write reported more bytes than its buffer holds;
// - once the device is gone, the simulated world's counters are back where they were before it
//   was plugged.
// Every removal of an attached bridge costs the driver's settle pause (about a second), which
// bounds this target's rate; inputs whose bridge is refused run much faster.
#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <string>
#include <vector>

#include "fuzz/world.h"
#include "sim/os/sim_os.h"
#include "tests/e2e/rig.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kCallBound = std::chrono::seconds(5);
constexpr size_t kMaxOps = 24;

const bool kTrace = std::getenv("FUZZ_TRACE") != nullptr;
#define TRACE(...) \
  if (kTrace) std::fprintf(stderr, __VA_ARGS__)

// Control requests the driver sends at attach and on a port, and "any request".
const int kRequests[] = {0x00,
                         0x03,
                         0x05,
                         0x06,
                         0x07,
                         0x08,
                         0x0F,
                         0x10,
                         0x11,
                         0x12,
                         0x13,
                         0x19,
                         0x1E,
                         0xFF,
                         0x06,
                         0x0B,
                         sim::BridgeModel::kAnyRequest};
const DWORD kUsbErrors[] = {USB_DEVICE_NOT_RESPONDING_ERROR, USB_STALL_ERROR, USB_CRC_ERROR,
                            USB_DATA_UNDERRUN_ERROR, USB_CANCELED_ERROR};

// Calls a foreground call must return within the bound.
template <typename F>
void Bounded(const char* what, F call) {
  Clock::time_point start = Clock::now();
  call();
  world::Check(Clock::now() - start < kCallBound, std::string(what) + " returned within 5 s");
}

void InjectFault(FuzzedDataProvider& in, sim::BridgeModel& model, unsigned interfaces) {
  const unsigned iface = in.ConsumeIntegralInRange<unsigned>(0, interfaces > 1 ? 1 : 0);
  switch (in.ConsumeIntegralInRange(0, 6)) {
    case 0:
      model.FailNext(in.PickValueInArray(kRequests), in.ConsumeIntegralInRange(1u, 3u),
                     in.PickValueInArray(kUsbErrors));
      break;
    case 1:
      model.StallNext(in.PickValueInArray(kRequests), in.ConsumeIntegralInRange(1u, 3u));
      break;
    case 2:
      model.ShortAnswerNext(in.PickValueInArray(kRequests), in.ConsumeIntegralInRange(1u, 3u),
                            in.ConsumeIntegralInRange(0u, 70u));
      break;
    case 3: {
      sim::StringFault fault;
      fault.missing = in.ConsumeIntegralInRange(0, 3) == 0;
      fault.headerLength = in.ConsumeIntegralInRange(-1, 255);
      fault.laterLength = in.ConsumeIntegralInRange(-1, 255);
      fault.laterType = in.ConsumeIntegralInRange(-1, 5);
      static const uint8_t kStrings[] = {2, 3, 5};
      model.SetStringFault(in.PickValueInArray(kStrings), fault);
      break;
    }
    case 4:
      model.RemoveOnRequest(in.PickValueInArray(kRequests));
      break;
    case 5:
      model.HangNextBulkOut(iface, in.ConsumeIntegralInRange(1u, 2u));
      break;
    default:
      model.FailNextBulkIn(iface, in.ConsumeIntegralInRange(1u, 3u),
                           in.PickValueInArray(kUsbErrors));
      break;
  }
}

sim::BridgeConfig MakeConfig(FuzzedDataProvider& in) {
  sim::BridgeConfig config;
  const int shape = in.ConsumeIntegralInRange(0, 7);
  config.interfaces = shape < 5 ? 1 : shape == 5 ? 2 : shape == 6 ? 0 : 3;
  config.partNumber = in.ConsumeIntegral<uint8_t>();
  config.paced = in.ConsumeBool();
  config.hasProduct = in.ConsumeIntegralInRange(0, 7) != 0;
  config.hasSerial = in.ConsumeIntegralInRange(0, 7) != 0;
  config.product = sim::Utf16(in.ConsumeRandomLengthString(40));
  config.serial = sim::Utf16(in.ConsumeRandomLengthString(20));
  config.rxFifoSize = in.ConsumeIntegralInRange<uint32_t>(64, 8192);
  config.rtsHighWater = config.rxFifoSize * 3 / 4;
  config.rtsLowWater = config.rxFifoSize / 4;
  if (in.ConsumeIntegralInRange(0, 3) == 0) {
    // Endpoints of the device's own choosing on the first interface.
    std::vector<sim::BridgeEndpointLayout> endpoints(in.ConsumeIntegralInRange(0, 3));
    for (sim::BridgeEndpointLayout& e : endpoints) {
      e.address = in.ConsumeIntegral<uint8_t>();
      e.attributes = in.ConsumeIntegralInRange<uint8_t>(0, 3);
      e.maxPacket = in.ConsumeIntegralInRange<uint16_t>(0, 1024);
    }
    config.endpoints.push_back(endpoints);
  }
  return config;
}

struct Session {
  std::shared_ptr<sim::BridgeModel> model;
  unsigned interfaces = 1;
  std::array<HANDLE, 2> ports{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  std::vector<std::future<bool>> background;
  bool unplugged = false;

  HANDLE& Pick(FuzzedDataProvider& in) {
    return ports[in.ConsumeIntegralInRange<size_t>(0, interfaces > 1 ? 1 : 0)];
  }

  static void BoundTimeouts(FuzzedDataProvider& in, HANDLE port) {
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = in.ConsumeIntegralInRange<DWORD>(1, 20);
    t.WriteTotalTimeoutConstant = in.ConsumeIntegralInRange<DWORD>(1, 20);
    ceapp::SetCommTimeouts(port, &t);
  }

  void Op(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 10)) {
      case 0: {
        const size_t slot = in.ConsumeIntegralInRange<size_t>(0, interfaces > 1 ? 1 : 0);
        HANDLE& port = ports[slot];
        TRACE("%s COM%zu\n", port == INVALID_HANDLE_VALUE ? "open" : "close", slot + 1);
        if (port != INVALID_HANDLE_VALUE) {
          Bounded("close", [&] { ceapp::CloseHandle(port); });
          port = INVALID_HANDLE_VALUE;
        } else {
          Bounded("open", [&] { port = rig::Open(slot == 0 ? TEXT("COM1:") : TEXT("COM2:")); });
        }
        break;
      }
      case 1: {
        HANDLE port = Pick(in);
        const DWORD baud = in.ConsumeIntegralInRange<DWORD>(300, 3000000);
        rig::Flow flow{in.ConsumeBool(), in.ConsumeBool()};
        TRACE("configure %u\n", baud);
        Bounded("configure", [&] { rig::Configure(port, baud, flow); });
        break;
      }
      case 2: {
        HANDLE port = Pick(in);
        BoundTimeouts(in, port);
        const DWORD size = in.ConsumeIntegralInRange<DWORD>(0, 3000);
        std::vector<uint8_t> data = rig::Pattern(size, size);
        DWORD put = 0;
        TRACE("write %u\n", size);
        Bounded("write", [&] { ceapp::WriteFile(port, data.data(), size, &put, nullptr); });
        world::Check(put <= size, "write reported more bytes than given");
        break;
      }
      case 3: {
        HANDLE port = Pick(in);
        BoundTimeouts(in, port);
        const DWORD want = in.ConsumeIntegralInRange<DWORD>(0, 3000);
        std::vector<uint8_t> buffer(want);
        DWORD got = 0;
        TRACE("read %u\n", want);
        Bounded("read", [&] { ceapp::ReadFile(port, buffer.data(), want, &got, nullptr); });
        world::Check(got <= want, "read reported more bytes than asked for");
        break;
      }
      case 4: {
        const unsigned iface = in.ConsumeIntegralInRange<unsigned>(0, interfaces > 1 ? 1 : 0);
        std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange(1, 300));
        TRACE("inject %zu\n", bytes.size());
        model->InjectRx(iface, bytes);
        break;
      }
      case 5:
        model->SetModemInputs(in.ConsumeIntegralInRange<unsigned>(0, interfaces > 1 ? 1 : 0),
                              in.ConsumeIntegral<uint8_t>() & 0xF0);
        break;
      case 6:
        TRACE("fault\n");
        InjectFault(in, *model, interfaces);
        break;
      case 7:
        StartCall(in, Pick(in));
        break;
      case 8: {
        HANDLE port = Pick(in);
        const DWORD flags = in.ConsumeIntegralInRange<DWORD>(0, 0xF);
        TRACE("purge 0x%X\n", flags);
        Bounded("purge", [&] { ceapp::PurgeComm(port, flags); });
        break;
      }
      case 9: {
        HANDLE port = Pick(in);
        Bounded("status", [&] {
          DWORD errors = 0, modem = 0;
          COMSTAT stat{};
          ceapp::ClearCommError(port, &errors, &stat);
          ceapp::GetCommModemStatus(port, &modem);
          static const DWORD kOwnCodes[] = {0x222004, 0x222008, 0x22200C, 0x222010};
          uint8_t out[80];
          DWORD returned = 0;
          ceapp::DeviceIoControl(port, in.PickValueInArray(kOwnCodes), nullptr, 0, out,
                                 in.ConsumeIntegralInRange<DWORD>(0, sizeof out), &returned,
                                 nullptr);
          world::Check(returned <= sizeof out, "control code reported more than its buffer");
        });
        break;
      }
      default:
        if (!unplugged) {
          TRACE("unplug\n");
          model->Unplug();
          unplugged = true;
        }
        break;
    }
  }

  // A read, a write or a comm-event wait without time-outs, ended by removal or close.
  void StartCall(FuzzedDataProvider& in, HANDLE port) {
    if (background.size() >= 3) return;
    const int kind = in.ConsumeIntegralInRange(0, 2);
    const DWORD size = in.ConsumeIntegralInRange<DWORD>(1, 5000);
    TRACE("background %d %u\n", kind, size);
    COMMTIMEOUTS none{};
    ceapp::SetCommTimeouts(port, &none);
    if (kind == 2) ceapp::SetCommMask(port, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_ERR);
    background.push_back(std::async(std::launch::async, [port, kind, size] {
      std::vector<uint8_t> buffer(size);
      DWORD count = 0;
      if (kind == 0) ceapp::ReadFile(port, buffer.data(), size, &count, nullptr);
      if (kind == 1) ceapp::WriteFile(port, buffer.data(), size, &count, nullptr);
      if (kind == 2) {
        DWORD events = 0;
        ceapp::WaitCommEvent(port, &events, nullptr);
      }
      return count <= size;
    }));
  }

  void Finish() {
    if (!unplugged) model->Unplug();
    for (HANDLE& port : ports) {
      if (port != INVALID_HANDLE_VALUE) Bounded("close", [&] { ceapp::CloseHandle(port); });
      port = INVALID_HANDLE_VALUE;
    }
    world::Check(sim::WaitRemoved(model->Id(), 10000), "the removal finished within 10 s");
    for (std::future<bool>& call : background) {
      world::Check(call.wait_for(kCallBound) == std::future_status::ready,
                   "a call in flight ended after close and removal");
      world::Check(call.get(), "a call in flight reported more bytes than its buffer");
    }
  }
};

world::Counters& Baseline() {
  static world::Counters baseline = [] {
    world::InstallDriver();
    world::Check(rig::LoadRegFile(TV_E2E_DIR "/second_port.reg"), "second port key");
    return world::StableSnapshot(100);
  }();
  return baseline;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const world::Counters& baseline = Baseline();
  FuzzedDataProvider in(data, size);
  sim::SetRemovalOrder(in.ConsumeBool() ? sim::RemovalOrder::FailTransfersFirst
                                        : sim::RemovalOrder::NotifyFirst);
  sim::BridgeConfig config = MakeConfig(in);
  Session session;
  session.interfaces = config.interfaces;
  session.model = sim::BridgeModel::Create(config);
  if (in.ConsumeBool()) session.model->Loopback(0);
  const int faults = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < faults; ++i) InjectFault(in, *session.model, config.interfaces);
  TRACE("plug: %u interfaces, part %u, %d faults\n", config.interfaces, config.partNumber, faults);

  sim::UsbDeviceId id = 0;
  Bounded("attach", [&] { id = session.model->Plug(); });
  world::Check(id != 0, "plugged");
  if (sim::LastAttachResult(id).status == sim::AttachResult::Status::Attached) {
    for (size_t op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) session.Op(in);
  }
  session.Finish();
  world::ExpectSettlesTo(baseline, 5000, "after the device was removed");
  return 0;
}
