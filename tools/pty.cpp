// `tvk pty`: a bridge whose line's far end is a new pseudo-terminal, and an application on COM1:
// that writes back through the driver everything it reads, until SIGINT or SIGTERM.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "tools/session.h"

namespace tvk {
namespace {

// Set by the signal handler: a lock-free atomic is safe to store there.
std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void OnStopSignal(int signal) {
  stopSignal = signal;
}

// Reads return what has arrived, or (when `wait`) wait 50 ms for a first byte; writes end after
// 200 ms with what the bridge took. The read's wait bounds how long an idle echo takes to see a
// signal.
bool EchoTimeouts(HANDLE port, bool wait) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutConstant = wait ? 50 : 0;
  t.WriteTotalTimeoutConstant = 200;
  return ceapp::SetCommTimeouts(port, &t) != FALSE;
}

// Bytes read and not yet echoed. The echo reads while its output is held (the peer's XOFF, CTS
// off), up to this much, so that a peer that holds it while it goes on sending (XOFF, 64 KiB,
// XON) gets all of it back and the driver's receive buffer does not fill meanwhile.
constexpr size_t kPendingLimit = 256u << 10;
constexpr DWORD kWriteChunk = 4096;
// How often the error word and the line's drops are looked at.
constexpr auto kLossCheckPeriod = std::chrono::milliseconds(250);

}  // namespace

int RunPty(const PtyOptions& options) {
  stopSignal = 0;
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);

  Session session;
  std::string error, path;
  HANDLE port = INVALID_HANDLE_VALUE;
  const bool real = !options.usb.empty();
  if (real) path = "the line of bridge " + options.usb;
  int bridge = -1;
  if (!session.Install(&error) ||
      (bridge = real ? session.PlugUsbBridge(options.usb, &error)
                     : session.PlugPtyBridge(&path, &error)) < 0 ||
      (port = session.Open(TEXT("COM1:"), &error)) == INVALID_HANDLE_VALUE ||
      !session.ApplyLine(port, options.line, &error)) {
    std::fprintf(stderr, "tvk pty: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  // The echo's settings beside the line's: its output goes on while the driver has sent its own
  // XOFF (fTXContinueOnXoff, set by ApplyLine), and it reads while its output is held.
  bool readWaits = true;
  if (!EchoTimeouts(port, readWaits)) {
    std::fprintf(stderr, "tvk pty: SetCommTimeouts: %s\n", DescribeError(GetLastError()).c_str());
    return kExitCheckFailed;
  }
  // The path alone on the first line, for scripts; then what runs.
  if (!real) std::printf("%s\n", path.c_str());
  std::printf("tvk pty: COM1: %s echoes what it reads; its line's far end is %s. Ctrl-C ends.\n",
              DescribeLine(options.line).c_str(), path.c_str());
  std::fflush(stdout);

  const sim::BridgeModel* model = session.Model(bridge).get();
  LossWatch loss;
  auto lossChecked = std::chrono::steady_clock::now();
  std::vector<unsigned char> pending;  // [head, end) waits to be echoed
  size_t head = 0;
  unsigned long long echoed = 0;
  DWORD failure = 0;
  bool held = false;  // the last write took nothing
  while (!stopSignal && !failure) {
    // Read first, so that input is drained while output is held. The read waits up to 50 ms for
    // a byte when there is nothing to echo or the output is held (which paces the retries of a
    // held write that returns at once); otherwise it takes what is there.
    const bool wait = head == pending.size() || held;
    if (wait != readWaits) {
      readWaits = wait;
      if (!EchoTimeouts(port, wait)) {
        failure = GetLastError();
        break;
      }
    }
    bool readSome = false;
    if (pending.size() - head < kPendingLimit) {
      if (head > 0 && head == pending.size()) {
        pending.clear();
        head = 0;
      } else if (head > 0 && head >= pending.size() / 2) {
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(head));
        head = 0;
      }
      const size_t old = pending.size();
      const size_t room = kPendingLimit - (old - head);
      pending.resize(old + std::min<size_t>(room, 65536));
      DWORD n = 0;
      if (!ceapp::ReadFile(port, pending.data() + old, static_cast<DWORD>(pending.size() - old), &n,
                           nullptr)) {
        failure = GetLastError();
        break;
      }
      pending.resize(old + n);
      readSome = n > 0;
    }
    if (head < pending.size() && !stopSignal) {
      DWORD written = 0;
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(pending.size() - head, kWriteChunk));
      if (!ceapp::WriteFile(port, pending.data() + head, piece, &written, nullptr)) {
        failure = GetLastError();
        break;
      }
      head += written;
      echoed += written;
      held = written == 0;
      // Held with a full queue and nothing read: do not retry a write that returns at once in a
      // tight loop.
      if (written == 0 && !readSome) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - lossChecked >= kLossCheckPeriod) {
      lossChecked = now;
      const std::string news = loss.Check(port, model);
      if (!news.empty()) std::fprintf(stderr, "tvk pty: loss: %s\n", news.c_str());
    }
  }
  loss.Check(port, model);
  const std::string summary = loss.Summary();

  // Port closed and the terminal removed; the process ends without waiting for the bridge's
  // removal, whose settle pause in the driver takes about a second.
  session.CloseForExit();
  if (failure) {
    std::fprintf(stderr, "tvk pty: the port failed: %s\n", DescribeError(failure).c_str());
    std::fflush(stderr);
    std::_Exit(kExitCheckFailed);
  }
  std::printf("tvk pty: %s: %llu bytes echoed, %s; port closed, %s removed.\n",
              stopSignal == SIGINT ? "SIGINT" : "SIGTERM", echoed, summary.c_str(), path.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(kExitOk);
}

}  // namespace tvk
