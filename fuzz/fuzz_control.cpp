// Fuzz target: control requests, reads, writes, comm-event waits, purges, opens and closes on the
// port of a modelled bridge with a loopback plug, through the application API.
//
// The port stays open across inputs (an input that closes it has it reopened at its end), so that
// most inputs cost no first open. Reads and writes get bounded time-outs set just before them, so
// nothing blocks; waits, and reads and writes started in the background, are ended at the end of
// the input by SetCommMask(0) and a purge, or else by closing their handles. After each input:
// - every call has returned within a bound, and none reported more bytes than its buffer holds;
// - no input buffer was written, and a buffer IsBadWritePtr reports was not written by the
//   driver's own control codes (the only ones that promise to check);
// - with sane line settings restored through the API, a marker written comes back intact;
// - the simulated world's counters are back where they were after the first open.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_requests.h"
#include "fuzz/world.h"
#include "sim/os/sim_os.h"
#include "tests/e2e/rig.h"

namespace {

constexpr auto kCallBound = std::chrono::seconds(5);
constexpr size_t kMaxOps = 48;
constexpr uint8_t kCanary = 0xA5;

// A control code with the sizes of its input and output records (0: none).
struct Code {
  DWORD code;
  DWORD in;
  DWORD out;
};

const Code kCodes[] = {
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(DWORD)},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(DWORD), 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(DWORD)},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_DEV_STATUS)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(DWORD)},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(COMMPROP)},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(COMMTIMEOUTS), 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(COMMTIMEOUTS)},
    {IOCTL_SERIAL_PURGE, sizeof(DWORD), 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 2 * sizeof(DWORD), 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {IOCTL_SERIAL_GET_DCB, 0, sizeof(DCB)},
    {IOCTL_SERIAL_SET_DCB, sizeof(DCB), 0},
    {IOCTL_SERIAL_ENABLE_IR, 0, 0},
    {IOCTL_SERIAL_DISABLE_IR, 0, 0},
    {IOCTL_POWER_CAPABILITIES, 0, 64},
    {IOCTL_POWER_GET, 0, 4},
    {IOCTL_POWER_SET, 4, 4},
    {IOCTL_POWER_QUERY, 4, 4},
    {IOCTL_REGISTER_POWER_RELATIONSHIP, 16, 0},
    {IOCTL_PSL_NOTIFY, sizeof(DEVICE_PSL_NOTIFY), 0},
    {CtlWriteLatch, 2, 0},
    {CtlReadLatch, 0, 1},
    {CtlGetPartNumber, 0, 1},
    {CtlGetProductString, 0, 64},
    {CtlGetSerialString, 0, 16},
};

// FUZZ_TRACE=1 in the environment prints each call, for reading a failing input.
const bool kTrace = std::getenv("FUZZ_TRACE") != nullptr;
#define TRACE(...) \
  if (kTrace) std::fprintf(stderr, __VA_ARGS__)

bool IsOwnCode(DWORD code) {
  return code >= CtlWriteLatch && code <= CtlGetSerialString;
}

// A caller's buffer: null, of the record's size, shorter, longer, of any size, or one that
// IsBadWritePtr reports. Heap blocks of exactly `size` bytes, so that AddressSanitizer sees a
// write past the end.
struct Buffer {
  std::unique_ptr<uint8_t[]> block;
  uint8_t* data = nullptr;
  DWORD size = 0;
  bool declaredBad = false;
  std::vector<uint8_t> before;  // contents when passed
};

Buffer MakeBuffer(FuzzedDataProvider& in, DWORD need, bool fill) {
  Buffer b;
  const int kind = in.ConsumeIntegralInRange(0, 5);
  switch (kind) {
    case 0:  // null, with a size that may claim otherwise
      b.size = in.ConsumeBool() ? 0 : in.ConsumeIntegralInRange<DWORD>(1, 64);
      return b;
    case 1:
      b.size = need;
      break;
    case 2:
      b.size = need == 0 ? 0 : in.ConsumeIntegralInRange<DWORD>(0, need - 1);
      break;
    case 3:
      b.size = need + in.ConsumeIntegralInRange<DWORD>(1, 64);
      break;
    case 4:
      b.size = in.ConsumeIntegralInRange<DWORD>(0, 300);
      break;
    default:
      b.size = std::max<DWORD>(need, 1);
      b.declaredBad = true;
      break;
  }
  b.block.reset(new uint8_t[std::max<DWORD>(b.size, 1)]);
  b.data = b.block.get();
  std::memset(b.data, kCanary, b.size);
  if (fill) {
    std::vector<uint8_t> bytes = in.ConsumeBytes<uint8_t>(b.size);
    std::copy(bytes.begin(), bytes.end(), b.data);
  }
  if (b.declaredBad) sim::SetBadPointerRange(b.data, b.size);
  b.before.assign(b.data, b.data + b.size);
  return b;
}

bool Unchanged(const Buffer& b) {
  return b.data == nullptr || b.size == 0 || std::memcmp(b.data, b.before.data(), b.size) == 0;
}

// Line settings that carry data on the loopback plug: 8N1, no flow control, lines on.
void RestoreLine(HANDLE port) {
  world::Check(rig::Configure(port, CBR_115200),
               "sane line settings accepted (error " + std::to_string(GetLastError()) + ")");
  world::Check(ceapp::ClearCommBreak(port) != FALSE, "break off");
  world::Check(ceapp::EscapeCommFunction(port, SETXON) != FALSE, "XON");
  world::Check(ceapp::PurgeComm(
                   port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE,
               "purge");
}

// Time-outs that end every read and write within a few milliseconds.
void BoundTimeouts(FuzzedDataProvider& in, HANDLE port) {
  COMMTIMEOUTS t{};
  const int kind = in.ConsumeIntegralInRange(0, 2);
  if (kind == 0) {
    t.ReadIntervalTimeout = MAXDWORD;  // return at once with what is there
  } else if (kind == 1) {
    t.ReadIntervalTimeout = MAXDWORD;  // return once something is there, or after a moment
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = in.ConsumeIntegralInRange<DWORD>(1, 3);
  } else {
    t.ReadIntervalTimeout = in.ConsumeIntegralInRange<DWORD>(0, 2);
    t.ReadTotalTimeoutConstant = in.ConsumeIntegralInRange<DWORD>(1, 3);
  }
  t.WriteTotalTimeoutConstant = in.ConsumeIntegralInRange<DWORD>(1, 5);
  ceapp::SetCommTimeouts(port, &t);
}

struct Fuzzer {
  std::shared_ptr<sim::BridgeModel> model;
  std::array<HANDLE, 3> handles{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  world::Counters baseline;
  uint32_t markerSerial = 0;

  // Calls started in the background (a wait, a read, a write); each returns whether its count
  // stayed within its buffer.
  std::vector<std::future<bool>> background;

  void SetUp() {
    world::InstallDriver();
    rig::BridgeOptions options;
    options.paced = false;
    rig::Bridge bridge = rig::Plug(options);
    world::Check(bridge.attached, "the bridge attached");
    model = bridge.model;
    OpenMain();
    CheckCarriesData();
    baseline = world::StableSnapshot(100);
  }

  // At exit (libFuzzer ends a timed run with exit()): the port closed and the bridge removed, so
  // that no driver thread is still running when the leak check at exit looks.
  void TearDown() {
    for (HANDLE& h : handles) {
      if (h != INVALID_HANDLE_VALUE) ceapp::CloseHandle(h);
      h = INVALID_HANDLE_VALUE;
    }
    model->Unplug();
    sim::WaitRemoved(model->Id(), 10000);
  }

  void OpenMain() {
    handles[0] = rig::Open(TEXT("COM1:"));
    world::Check(handles[0] != INVALID_HANDLE_VALUE, "open COM1:");
    RestoreLine(handles[0]);
  }

  HANDLE Pick(FuzzedDataProvider& in) {
    return handles[in.ConsumeIntegralInRange<size_t>(0, handles.size() - 1)];
  }

  void Control(FuzzedDataProvider& in) {
    Code code = in.PickValueInArray(kCodes);
    if (in.ConsumeIntegralInRange(0, 15) == 0) code = {in.ConsumeIntegral<DWORD>(), 8, 8};
    HANDLE port = Pick(in);
    if (code.code == IOCTL_SERIAL_WAIT_ON_MASK) {
      StartWait(port, true);
      return;
    }
    Buffer input = MakeBuffer(in, code.in, true);
    Buffer output = MakeBuffer(in, code.out, false);
    const bool withCount = in.ConsumeIntegralInRange(0, 7) != 0;
    DWORD returned = 0;
    TRACE("control %p 0x%X in %p/%u out %p/%u%s\n", port, code.code, (void*)input.data, input.size,
          (void*)output.data, output.size, output.declaredBad ? " (bad)" : "");
    const BOOL ok = ceapp::DeviceIoControl(port, code.code, input.data, input.size, output.data,
                                           output.size, withCount ? &returned : nullptr, nullptr);
    sim::ClearBadPointerRanges();
    world::Check(returned <= output.size, "control code reported more bytes than its buffer");
    world::Check(Unchanged(input), "control code wrote its input buffer");
    if (output.declaredBad && IsOwnCode(code.code)) {
      world::Check(!ok && Unchanged(output), "own control code wrote an unwritable buffer");
    }
  }

  void Read(FuzzedDataProvider& in, HANDLE port) {
    BoundTimeouts(in, port);
    const DWORD want = in.ConsumeIntegralInRange<DWORD>(0, 512);
    const bool null = in.ConsumeIntegralInRange(0, 7) == 0;
    std::vector<uint8_t> buffer(null ? 0 : want);
    DWORD got = 0;
    TRACE("read %p %u%s\n", port, want, null ? " null" : "");
    ceapp::ReadFile(port, null ? nullptr : buffer.data(), want, &got, nullptr);
    world::Check(got <= want, "read reported more bytes than asked for");
  }

  void Write(FuzzedDataProvider& in, HANDLE port) {
    BoundTimeouts(in, port);
    const DWORD size = in.ConsumeIntegralInRange<DWORD>(0, 2048);
    const bool null = in.ConsumeIntegralInRange(0, 7) == 0;
    std::vector<uint8_t> data = rig::Pattern(size, size);
    DWORD put = 0;
    TRACE("write %p %u%s\n", port, size, null ? " null" : "");
    ceapp::WriteFile(port, null ? nullptr : data.data(), size, &put, nullptr);
    world::Check(put <= size, "write reported more bytes than given");
  }

  void StartWait(HANDLE port, bool throughControl) {
    if (background.size() >= 4) return;
    TRACE("background wait %p\n", port);
    background.push_back(std::async(std::launch::async, [port, throughControl] {
      DWORD mask = 0;
      DWORD returned = 0;
      if (throughControl) {
        ceapp::DeviceIoControl(port, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, &mask, sizeof mask,
                               &returned, nullptr);
        return returned <= sizeof mask;
      }
      ceapp::WaitCommEvent(port, &mask, nullptr);
      return true;
    }));
  }

  void StartRead(FuzzedDataProvider& in, HANDLE port) {
    if (background.size() >= 4) return;
    BoundTimeouts(in, port);
    const DWORD want = in.ConsumeIntegralInRange<DWORD>(1, 4096);
    TRACE("background read %p %u\n", port, want);
    background.push_back(std::async(std::launch::async, [port, want] {
      std::vector<uint8_t> buffer(want);
      DWORD got = 0;
      ceapp::ReadFile(port, buffer.data(), want, &got, nullptr);
      return got <= want;
    }));
  }

  void StartWrite(FuzzedDataProvider& in, HANDLE port) {
    if (background.size() >= 4) return;
    BoundTimeouts(in, port);
    const DWORD size = in.ConsumeIntegralInRange<DWORD>(1, 20000);
    TRACE("background write %p %u\n", port, size);
    background.push_back(std::async(std::launch::async, [port, size] {
      std::vector<uint8_t> data = rig::Pattern(size, 7);
      DWORD put = 0;
      ceapp::WriteFile(port, data.data(), size, &put, nullptr);
      return put <= size;
    }));
  }

  // Slot 0 is the main handle and is always opened for reading and writing.
  void OpenOrClose(FuzzedDataProvider& in) {
    const size_t slot = in.ConsumeIntegralInRange<size_t>(0, handles.size() - 1);
    HANDLE& h = handles[slot];
    TRACE("%s slot %zu\n", h != INVALID_HANDLE_VALUE ? "close" : "open", slot);
    if (h != INVALID_HANDLE_VALUE) {
      world::Check(ceapp::CloseHandle(h) != FALSE, "close");
      h = INVALID_HANDLE_VALUE;
      return;
    }
    static const DWORD kAccess[] = {0, GENERIC_READ, GENERIC_WRITE, GENERIC_READ | GENERIC_WRITE,
                                    0x100};
    const DWORD access = slot == 0 ? GENERIC_READ | GENERIC_WRITE : in.PickValueInArray(kAccess);
    h = ceapp::CreateFileW(TEXT("COM1:"), access, in.ConsumeIntegral<uint8_t>(), nullptr,
                           OPEN_EXISTING, 0, nullptr);
  }

  void Run(FuzzedDataProvider& in) {
    for (size_t op = 0; op < kMaxOps && in.remaining_bytes() > 0; ++op) {
      switch (in.ConsumeIntegralInRange(0, 11)) {
        case 0:
        case 1:
        case 2:
          Control(in);
          break;
        case 3:
          Read(in, Pick(in));
          break;
        case 4:
          Write(in, Pick(in));
          break;
        case 5: {
          HANDLE port = Pick(in);
          const DWORD flags = in.ConsumeIntegralInRange<DWORD>(0, 0x1F);
          TRACE("purge %p 0x%X\n", port, flags);
          ceapp::PurgeComm(port, flags);
          break;
        }
        case 6: {
          HANDLE port = Pick(in);
          const DWORD mask = in.ConsumeIntegralInRange<DWORD>(0, 0x3FFF);
          TRACE("mask %p 0x%X\n", port, mask);
          ceapp::SetCommMask(port, mask);
          break;
        }
        case 7:
          StartWait(Pick(in), false);
          break;
        case 8:
          StartRead(in, Pick(in));
          break;
        case 9:
          StartWrite(in, Pick(in));
          break;
        case 10: {
          HANDLE port = Pick(in);
          const DWORD function = in.ConsumeIntegralInRange<DWORD>(0, 11);
          TRACE("escape %p %u\n", port, function);
          ceapp::EscapeCommFunction(port, function);
          break;
        }
        default:
          OpenOrClose(in);
          break;
      }
    }
    Finish();
  }

  // Ends what is in flight, closes the extra handles, reopens the main one if the input closed
  // it, and checks that the port carries data and that nothing leaked.
  void Finish() {
    for (HANDLE h : handles) {
      if (h == INVALID_HANDLE_VALUE) continue;
      ceapp::SetCommMask(h, 0);
      ceapp::PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT);
    }
    // A call whose thread reached the driver only after the purge (and then took time-outs the
    // input set) is not aborted by it; a close ends it.
    auto grace = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
    bool pending = false;
    for (std::future<bool>& call : background)
      pending = pending || call.wait_until(grace) != std::future_status::ready;
    if (pending) {
      TRACE("closing the handles to end the calls in flight\n");
      for (HANDLE& h : handles) {
        if (h != INVALID_HANDLE_VALUE) ceapp::CloseHandle(h);
        h = INVALID_HANDLE_VALUE;
      }
    }
    for (std::future<bool>& call : background) {
      world::Check(call.wait_for(kCallBound) == std::future_status::ready,
                   "a wait, read or write in flight did not end on the close of its handle");
      world::Check(call.get(), "a call in flight reported more bytes than its buffer");
    }
    background.clear();
    for (size_t i = 1; i < handles.size(); ++i) {
      if (handles[i] != INVALID_HANDLE_VALUE) ceapp::CloseHandle(handles[i]);
      handles[i] = INVALID_HANDLE_VALUE;
    }
    if (handles[0] == INVALID_HANDLE_VALUE) {
      OpenMain();
    } else {
      RestoreLine(handles[0]);
    }
    CheckCarriesData();
    model->ClearLog();  // the model logs every request; a long run must not grow it
    world::ExpectSettlesTo(baseline, 5000, "after an input");
  }

  // A marker written now comes back through the plug whole (bytes still on their way from
  // before the purge may come first).
  void CheckCarriesData() {
    HANDLE port = handles[0];
    // A read returns as soon as something arrived, or after 50 ms.
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 50, 0, 0};
    world::Check(ceapp::SetCommTimeouts(port, &t) != FALSE, "read time-outs");
    std::vector<uint8_t> marker = rig::Pattern(16, ++markerSerial);
    DWORD put = 0;
    world::Check(ceapp::WriteFile(port, marker.data(), 16, &put, nullptr) && put == 16,
                 "marker written");
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + kCallBound;
    while (std::search(got.begin(), got.end(), marker.begin(), marker.end()) == got.end()) {
      world::Check(std::chrono::steady_clock::now() < deadline, "the marker came back");
      uint8_t buffer[256];
      DWORD n = 0;
      world::Check(ceapp::ReadFile(port, buffer, sizeof buffer, &n, nullptr) != FALSE,
                   "read of the marker");
      got.insert(got.end(), buffer, buffer + n);
    }
  }
};

Fuzzer& Instance();

Fuzzer& Instance() {
  static Fuzzer* fuzzer = [] {
    auto* f = new Fuzzer;
    f->SetUp();
    // On a thread of its own: the exiting thread's platform record has already gone.
    std::atexit([] { std::thread([] { Instance().TearDown(); }).join(); });
    return f;
  }();
  return *fuzzer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Instance().Run(in);
  return 0;
}
