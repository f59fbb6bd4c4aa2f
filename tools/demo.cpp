// The default run: one port's life on the simulated device, as a transcript with checks.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "sim/os/sim_os.h"
#include "tools/host.h"
#include "tools/session.h"

namespace tvk {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kCtlGetPartNumber = 0x222008;
constexpr DWORD kCtlGetProductString = 0x22200C;
constexpr DWORD kCtlGetSerialString = 0x222010;
constexpr uint8_t kReqGetModemStatus = 0x08;  // the bridge's vendor request the modem poll makes

class Transcript {
 public:
  explicit Transcript(bool verbose) : verbose_(verbose) {}
  bool Check(const char* step, bool ok, const std::string& detail) {
    ++checks_;
    if (ok) ++passed_;
    std::printf("  %-9s %-62s %s\n", step, detail.c_str(), ok ? "ok" : "FAILED");
    std::fflush(stdout);
    return ok;
  }
  void Note(const char* step, const std::string& detail) {
    std::printf("  %-9s %s\n", step, detail.c_str());
    std::fflush(stdout);
  }
  void Verbose(const std::string& detail) {
    if (verbose_) Note("", detail);
  }
  int checks() const { return checks_; }
  int passed() const { return passed_; }

 private:
  bool verbose_;
  int checks_ = 0;
  int passed_ = 0;
};

std::string EventNames(DWORD events) {
  static const struct {
    DWORD bit;
    const char* name;
  } kNames[] = {{EV_RXCHAR, "EV_RXCHAR"}, {EV_TXEMPTY, "EV_TXEMPTY"}, {EV_CTS, "EV_CTS"},
                {EV_DSR, "EV_DSR"},       {EV_RLSD, "EV_RLSD"},       {EV_RING, "EV_RING"}};
  std::string s;
  for (const auto& n : kNames) {
    if (events & n.bit) s += (s.empty() ? "" : "|") + std::string(n.name);
  }
  return s.empty() ? "none" : s;
}

std::vector<uint8_t> Pattern(size_t bytes) {
  std::vector<uint8_t> data(bytes);
  uint32_t state = 0x2545F491u;
  for (auto& b : data) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
  return data;
}

void DrawProgress(size_t done, size_t total) {
  const int width = 30;
  int filled = total ? static_cast<int>(done * width / total) : width;
  std::printf("\r  %-9s [%s%s] %3d%%", "data", std::string(filled, '#').c_str(),
              std::string(width - filled, '.').c_str(),
              total ? static_cast<int>(done * 100 / total) : 100);
  std::fflush(stdout);
}

// Bits a character takes on the line: start, data, parity, stop (1.5 stop bits counted as 1.5).
double BitsPerCharacter(const LineOptions& line) {
  double bits = 1 + (line.format[0] - '0');
  char parity = line.format[1];
  if (parity != 'N' && parity != 'n') bits += 1;
  std::string stop = line.format.substr(2);
  bits += stop == "2" ? 2 : stop == "1.5" ? 1.5 : 1;
  return bits;
}

// Waits for one communication event while `action` changes a line. The wait is ended by clearing
// the mask when nothing arrives in time, so that no thread stays blocked in the driver.
DWORD WaitEventAround(HANDLE port, DWORD mask, const std::function<void()>& action) {
  ceapp::SetCommMask(port, mask);
  std::promise<DWORD> result;
  std::future<DWORD> got = result.get_future();
  std::thread waiter([&] {
    DWORD events = 0;
    if (!ceapp::WaitCommEvent(port, &events, nullptr)) events = 0;
    result.set_value(events);
  });
  action();
  if (got.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
    ceapp::SetCommMask(port, mask);
  waiter.join();
  return got.get();
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  Transcript t(options.verbose);
  Session session;
  std::string error;
  LineOptions line;  // 115200 8N1, RTS/CTS
  const bool real = !options.usb.empty();
  const bool loopback = !real || !options.noLoopback;
  if (real)
    std::printf("tvk: the serial-port driver on the simulated device, bridge %s through libusb\n",
                options.usb.c_str());
  else
    std::printf("tvk: the serial-port driver on the simulated device\n");

  if (!t.Check("install", session.Install(&error),
               error.empty() ? "driver module installed" : error)) {
    std::printf("summary: 0 bytes, %d/%d checks passed\n", t.passed(), t.checks());
    return kExitCheckFailed;
  }
  size_t heapBefore = sim::HeapLiveBlocks();
  int bridge = real ? session.PlugUsbBridge(options.usb, &error)
                    : session.PlugBridge(/*paced=*/true, /*loopback=*/true, &error);
  const char* plugged = !real      ? "bridge with a loopback plug attached"
                        : loopback ? "bridge attached (a loopback plug on its line expected)"
                                   : "bridge attached (no loopback plug)";
  if (!t.Check("plug", bridge >= 0, bridge >= 0 ? plugged : error)) {
    std::printf("summary: 0 bytes, %d/%d checks passed\n", t.passed(), t.checks());
    return kExitCheckFailed;
  }
  auto model = session.Model(bridge);
  HANDLE port = session.Open(TEXT("COM1:"), &error);
  if (!t.Check("open", port != INVALID_HANDLE_VALUE,
               port != INVALID_HANDLE_VALUE ? "COM1:" : error)) {
    std::printf("summary: 0 bytes, %d/%d checks passed\n", t.passed(), t.checks());
    return kExitCheckFailed;
  }
  bool applied = session.ApplyLine(port, line, &error);
  // A real bridge's own rate is not visible from here; the model's is.
  const uint32_t runs = model ? model->State(0).baud : line.baud;
  t.Check("settings", applied && runs == line.baud,
          !applied ? error
          : model  ? DescribeLine(line) + " (bridge runs at " + std::to_string(runs) + " baud)"
                   : DescribeLine(line) + " accepted by the bridge");
  auto skip = [&](const char* step, const std::string& what) {
    t.Note(step,
           what + ": skipped, " + (loopback ? std::string("needs the model") : "no loopback plug"));
  };
  auto pollCount = [&] { return model ? model->CountRequests(kReqGetModemStatus) : 0; };

  // Data: a writer thread sends the pattern while this thread reads it back.
  std::vector<uint8_t> pattern = Pattern(loopback ? options.patternBytes : 0);
  std::vector<uint8_t> back;
  back.reserve(pattern.size());
  Session::SetReadTimeouts(port, 0, 0, 2000);
  bool tty = host::StdoutIsTerminal();
  Clock::time_point start = Clock::now();
  std::atomic<DWORD> written{0};
  std::thread writer([&] {
    DWORD n = 0;
    if (ceapp::WriteFile(port, pattern.data(), static_cast<DWORD>(pattern.size()), &n, nullptr)) {
      written = n;
    }
  });
  std::vector<uint8_t> buffer(4096);
  while (back.size() < pattern.size()) {
    DWORD want = static_cast<DWORD>(std::min(buffer.size(), pattern.size() - back.size()));
    DWORD n = 0;
    if (!ceapp::ReadFile(port, buffer.data(), want, &n, nullptr) || n == 0) break;
    back.insert(back.end(), buffer.begin(), buffer.begin() + n);
    if (tty) DrawProgress(back.size(), pattern.size());
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  writer.join();
  if (tty) std::printf("\r%70s\r", "");
  bool intact = back == pattern && written == pattern.size();
  double rate = seconds > 0 ? back.size() * BitsPerCharacter(line) / seconds : 0;
  char detail[160];
  if (!loopback) {
    skip("data", "test pattern through the loopback plug");
    skip("rate", "line rate");
  } else {
    std::snprintf(detail, sizeof detail, "%zu bytes out, %zu back %s in %.2f s", pattern.size(),
                  back.size(), intact ? "intact" : "WRONG", seconds);
    t.Check("data", intact, detail);
    std::snprintf(detail, sizeof detail, "%.0f baud achieved of %u configured", rate, line.baud);
    // The model paces at the line rate: faster than that means the pacing is broken. Slower is
    // allowed generously, since a busy machine stretches the run.
    t.Check("rate", intact && rate <= line.baud * 1.03 && rate >= line.baud * 0.25, detail);
  }

  // Modem lines: the loopback plug ties RTS to CTS and DTR to DSR and DCD; RI comes from the model.
  LineOptions manual = line;
  manual.flow = "none";  // RTS under handshake belongs to the driver
  session.ApplyLine(port, manual, &error);
  const DWORD mask = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
  int eventsSeen = 0;
  const size_t pollsBefore = pollCount();
  struct Toggle {
    const char* what;
    DWORD expect;
    std::function<void()> action;
  };
  std::vector<Toggle> toggles = {
      {"RTS off", EV_CTS, [&] { ceapp::EscapeCommFunction(port, CLRRTS); }},
      {"RTS on", EV_CTS, [&] { ceapp::EscapeCommFunction(port, SETRTS); }},
      {"DTR off", EV_DSR | EV_RLSD, [&] { ceapp::EscapeCommFunction(port, CLRDTR); }},
      {"DTR on", EV_DSR | EV_RLSD, [&] { ceapp::EscapeCommFunction(port, SETDTR); }},
  };
  for (const Toggle& toggle : toggles) {
    if (!loopback) {
      skip("modem", toggle.what);
      continue;
    }
    DWORD events = WaitEventAround(port, mask, toggle.action);
    if (events & mask) ++eventsSeen;
    t.Check("modem", (events & toggle.expect) != 0,
            std::string(toggle.what) + ": " + EventNames(events));
  }
  // A ring is reported when RI falls; the poll must first have seen it on. Only the model's RI
  // can be driven from here.
  if (!model) {
    t.Note("modem", "RI on then off: skipped, needs the model");
  } else {
    model->SetModemInputs(0, sim::BridgeModel::kRi);
    DWORD modem = 0;
    for (int i = 0; i < 250 && !(modem & MS_RING_ON); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      ceapp::GetCommModemStatus(port, &modem);
    }
    // The modem status read above is not the poll: let the poll itself sample RI on (two more reads
    // of the status by the driver) before RI goes off again.
    const size_t seen = model->CountRequests(kReqGetModemStatus);
    for (int i = 0; i < 250 && model->CountRequests(kReqGetModemStatus) < seen + 2; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    DWORD ring = WaitEventAround(port, mask, [&] { model->SetModemInputs(0, 0); });
    if (ring & mask) ++eventsSeen;
    t.Check("modem", (modem & MS_RING_ON) && (ring & EV_RING),
            std::string("RI on then off: ") + EventNames(ring));
  }
  ceapp::SetCommMask(port, 0);
  t.Verbose("modem status read " + std::to_string(pollCount() - pollsBefore) +
            " times by the driver during the modem step");

  // The driver's own control codes.
  BYTE part = 0xFF;
  DWORD got = 0;
  BOOL ok = ceapp::DeviceIoControl(port, kCtlGetPartNumber, nullptr, 0, &part, 1, &got, nullptr);
  t.Check(
      "ids", ok && (!model || part == model->Config().partNumber),
      ok ? "part number " + std::to_string(part) : "part number: " + DescribeError(GetLastError()));
  // A real bridge's strings are whatever it holds; the model's are known.
  auto readString = [&](DWORD code, const char* name, const sim::WString* expect) {
    BYTE desc[256] = {};
    DWORD n = 0;
    BOOL sok = ceapp::DeviceIoControl(port, code, nullptr, 0, desc, sizeof desc, &n, nullptr);
    sim::WString text;
    // A string descriptor: bLength, type 3, then UTF-16LE code units.
    if (sok && desc[0] >= 2 && desc[1] == 3) {
      for (unsigned i = 2; i + 1 < desc[0]; i += 2) {
        text.push_back(static_cast<WCHAR>(desc[i] | (desc[i + 1] << 8)));
      }
    }
    t.Check("ids", sok && (!expect || text == *expect),
            sok ? std::string(name) + " \"" + sim::Utf8(text) + "\""
                : std::string(name) + ": " + DescribeError(GetLastError()));
  };
  readString(kCtlGetProductString, "product", model ? &model->Config().product : nullptr);
  readString(kCtlGetSerialString, "serial", model ? &model->Config().serial : nullptr);

  // Unplug while a read waits without a time-out: it must end, and everything must go.
  Session::SetReadTimeouts(port, 0, 0, 0);
  std::promise<std::pair<BOOL, DWORD>> readResult;
  std::future<std::pair<BOOL, DWORD>> pending = readResult.get_future();
  std::thread reader([&port, &readResult] {
    BYTE b[16];
    DWORD n = 0;
    BOOL rok = ceapp::ReadFile(port, b, sizeof b, &n, nullptr);
    readResult.set_value({rok, rok ? n : GetLastError()});
  });
  // Give the read time to block in the driver; the result is checked either way.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  session.StartUnplug(bridge);
  bool ended = pending.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (ended) {
    reader.join();
    auto [rok, value] = pending.get();
    t.Check("unplug", true,
            rok ? "pending read ended with " + std::to_string(value) + " bytes"
                : "pending read ended: " + DescribeError(value));
  } else {
    reader.detach();  // stuck in the driver: leave it rather than hang the program
    t.Check("unplug", false, "pending read still blocked 5 s after the unplug");
  }
  session.Close(port);
  bool removed = session.WaitRemoved(bridge, 10000);
  size_t heapAfter = sim::HeapLiveBlocks();
  t.Check("unplug", removed && heapAfter == heapBefore,
          std::string(!removed ? "bridge removal did not finish"
                      : real   ? "bridge released to its kernel driver"
                               : "bridge removed") +
              ", heap blocks " + std::to_string(heapAfter) + " (before plug " +
              std::to_string(heapBefore) + ")");
  if (!ended) {
    std::printf("summary: %zu bytes, %d/%d checks passed\n", back.size(), t.passed(), t.checks());
    std::fflush(stdout);
    std::_Exit(kExitCheckFailed);
  }
  session.Shutdown();

  std::printf(
      "summary: %zu bytes, %d/%d checks passed, line rate %.0f of %u baud, %d events seen\n",
      back.size(), t.passed(), t.checks(), rate, line.baud, eventsSeen);
  return t.passed() == t.checks() ? kExitOk : kExitCheckFailed;
}

}  // namespace tvk
