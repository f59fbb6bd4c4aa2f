// `tvk term`: keyboard to WriteFile, ReadFile to the screen, on COM1: of a modelled bridge with a
// loopback plug, with a null-modem cable to a second bridge whose port (COM2:) echoes, or with its
// line's far end on a new pseudo-terminal.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>
#include <vector>

#include "tools/host.h"
#include "tools/session.h"

namespace tvk {
namespace {

constexpr unsigned char kExitKey = 0x1D;  // Ctrl-]

// Set by the signal handler: a lock-free atomic is safe to store there.
std::atomic<int> stopSignal{0};

extern "C" void OnTermSignal(int signal) {
  stopSignal = signal;
}

// Reads return what arrived after 50 ms at most, so that the loops see the stop flag.
bool ShortReads(HANDLE port) {
  return Session::SetReadTimeouts(port, MAXDWORD, 0, 50);
}

}  // namespace

int RunTerm(const TermOptions& options) {
  stopSignal = 0;
  std::signal(SIGINT, OnTermSignal);
  std::signal(SIGTERM, OnTermSignal);
  Session session;
  std::string error;
  const bool real = !options.usb.empty();
  bool nullModem = !real && options.wiring == "nullmodem";
  bool pty = !real && options.wiring == "pty";
  std::string ptyPath;
  if (!session.Install(&error)) {
    std::fprintf(stderr, "tvk term: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  int first = real  ? session.PlugUsbBridge(options.usb, &error)
              : pty ? session.PlugPtyBridge(&ptyPath, &error)
                    : session.PlugBridge(true, !nullModem, &error);
  int second = -1;
  if (first >= 0 && nullModem) second = session.PlugBridge(true, false, &error);
  if (first < 0 || (nullModem && second < 0)) {
    std::fprintf(stderr, "tvk term: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  if (nullModem) sim::BridgeModel::NullModem(session.Model(first), 0, session.Model(second), 0);

  HANDLE port = session.Open(TEXT("COM1:"), &error);
  HANDLE far = INVALID_HANDLE_VALUE;
  if (port != INVALID_HANDLE_VALUE && nullModem) far = session.Open(TEXT("COM2:"), &error);
  if (port == INVALID_HANDLE_VALUE || (nullModem && far == INVALID_HANDLE_VALUE) ||
      !session.ApplyLine(port, options.line, &error) ||
      (nullModem && !session.ApplyLine(far, options.line, &error)) || !ShortReads(port) ||
      (nullModem && !ShortReads(far))) {
    std::fprintf(stderr, "tvk term: %s\n", error.c_str());
    return kExitCheckFailed;
  }

  const std::string farEnd = real        ? "the line of bridge " + options.usb
                             : nullModem ? "null-modem cable to COM2:, which echoes"
                             : pty       ? "far end on " + ptyPath
                                         : "loopback plug";
  // Raw before the first line: a key typed once the line shows is taken as it is, never echoed
  // or edited by the terminal.
  std::optional<host::RawTerminal> raw(std::in_place);
  std::printf("tvk term: COM1: %s, %s. Ctrl-] ends.\r\n", DescribeLine(options.line).c_str(),
              farEnd.c_str());
  std::fflush(stdout);

  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::atomic<DWORD> failure{0};  // the first failed call's error, from whichever thread
  auto Fail = [&](DWORD code) {
    DWORD none = 0;
    failure.compare_exchange_strong(none, code);
    failed = true;
  };
  std::thread screen([&] {
    std::vector<unsigned char> buffer(1024);
    while (!stop) {
      DWORD n = 0;
      if (!ceapp::ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
        Fail(GetLastError());
        return;
      }
      if (n) host::WriteStdout(buffer.data(), n);
    }
  });
  std::thread echo;
  if (nullModem) {
    echo = std::thread([&] {
      std::vector<unsigned char> buffer(1024);
      while (!stop) {
        DWORD n = 0, w = 0;
        if (!ceapp::ReadFile(far, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
          Fail(GetLastError());
          return;
        }
        if (n && !ceapp::WriteFile(far, buffer.data(), n, &w, nullptr)) Fail(GetLastError());
      }
    });
  }

  const sim::BridgeModel* model = session.Model(first).get();
  LossWatch loss;
  auto lossChecked = std::chrono::steady_clock::now();
  int status = kExitOk;
  {
    unsigned char keys[256];
    while (!failed && !stopSignal) {
      // Short waits: a signal may reach another thread and not end this one's wait.
      int n = host::ReadStdin(keys, sizeof keys, 20);
      const auto now = std::chrono::steady_clock::now();
      if (now - lossChecked >= std::chrono::milliseconds(250)) {
        lossChecked = now;
        const std::string news = loss.Check(port, model);
        if (!news.empty()) std::fprintf(stderr, "\r\ntvk term: loss: %s\r\n", news.c_str());
      }
      if (n < 0) break;  // end of input ends the session like Ctrl-]
      if (n == 0) continue;
      int send = 0;
      while (send < n && keys[send] != kExitKey) ++send;
      DWORD written = 0;
      if (send > 0 && !ceapp::WriteFile(port, keys, static_cast<DWORD>(send), &written, nullptr)) {
        Fail(GetLastError());
      }
      if (send < n) break;
    }
    // Let the echo of the last keys reach the screen before the reader stops; a signal ends it
    // at once.
    if (!stopSignal) std::this_thread::sleep_for(std::chrono::milliseconds(150));
    stop = true;
    screen.join();
    if (echo.joinable()) echo.join();
  }
  loss.Check(port, model);
  raw.reset();  // the terminal's own mode again
  if (failed) {
    std::fprintf(stderr, "\ntvk term: the port failed: %s\n", DescribeError(failure).c_str());
    status = kExitCheckFailed;
  }
  const char* why = stopSignal == SIGINT ? "SIGINT: " : stopSignal == SIGTERM ? "SIGTERM: " : "";
  // Ports closed and a far-end terminal removed; the process ends without waiting for the
  // bridges' removal, whose settle pause in the driver takes about a second.
  session.CloseForExit();
  std::printf("\r\ntvk term: %s%s; closed.\r\n", why, loss.Summary().c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

}  // namespace tvk
