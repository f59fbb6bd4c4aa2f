// `tvk pty`: a bridge whose line's far end is a new pseudo-terminal, and an application on COM1:
// that writes back through the driver everything it reads, until SIGINT or SIGTERM.
#include <atomic>
#include <csignal>
#include <cstdio>
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

// Reads return what has arrived, or wait 50 ms for a first byte; writes end after 200 ms with
// what the bridge took. Both bound how long a signal waits to be seen.
bool EchoTimeouts(HANDLE port) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutConstant = 50;
  t.WriteTotalTimeoutConstant = 200;
  return ceapp::SetCommTimeouts(port, &t) != FALSE;
}

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
  if (!session.Install(&error) ||
      (real ? session.PlugUsbBridge(options.usb, &error) : session.PlugPtyBridge(&path, &error)) <
          0 ||
      (port = session.Open(TEXT("COM1:"), &error)) == INVALID_HANDLE_VALUE ||
      !session.ApplyLine(port, options.line, &error)) {
    std::fprintf(stderr, "tvk pty: %s\n", error.c_str());
    return kExitCheckFailed;
  }
  if (!EchoTimeouts(port)) {
    std::fprintf(stderr, "tvk pty: SetCommTimeouts: %s\n", DescribeError(GetLastError()).c_str());
    return kExitCheckFailed;
  }
  // The path alone on the first line, for scripts; then what runs.
  if (!real) std::printf("%s\n", path.c_str());
  std::printf("tvk pty: COM1: %s echoes what it reads; its line's far end is %s. Ctrl-C ends.\n",
              DescribeLine(options.line).c_str(), path.c_str());
  std::fflush(stdout);

  std::vector<unsigned char> buffer(4096);
  unsigned long long echoed = 0;
  DWORD failure = 0;
  while (!stopSignal && !failure) {
    DWORD n = 0;
    if (!ceapp::ReadFile(port, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      failure = GetLastError();
      break;
    }
    for (DWORD done = 0; done < n && !stopSignal;) {
      DWORD written = 0;
      if (!ceapp::WriteFile(port, buffer.data() + done, n - done, &written, nullptr)) {
        failure = GetLastError();
        break;
      }
      done += written;
      echoed += written;
    }
  }

  // Port closed, bridge unplugged, then the terminal removed.
  session.Shutdown();
  if (failure) {
    std::fprintf(stderr, "tvk pty: the port failed: %s\n", DescribeError(failure).c_str());
    return kExitCheckFailed;
  }
  std::printf("tvk pty: %s: %llu bytes echoed; port closed, bridge unplugged, %s removed.\n",
              stopSignal == SIGINT ? "SIGINT" : "SIGTERM", echoed, path.c_str());
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace tvk
