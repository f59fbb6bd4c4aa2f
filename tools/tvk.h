// The tvk program's subcommands and their options.
#pragma once

#include <cstdint>
#include <string>

namespace tvk {

// Exit codes: 0 every check passed, 1 a check failed, 2 bad arguments.
constexpr int kExitOk = 0;
constexpr int kExitCheckFailed = 1;
constexpr int kExitUsage = 2;

struct LineOptions {
  std::uint32_t baud = 115200;
  std::string format = "8N1";   // data bits, parity (N, O, E, M, S), stop bits (1, 1.5, 2)
  std::string flow = "rtscts";  // none, rtscts, xonxoff
};

struct DemoOptions {
  std::uint32_t patternBytes = 11520;  // one second on the line at 115200 8N1
  bool verbose = false;
  std::string usb;          // a real bridge "VID:PID[@BUS:ADDR]" through libusb; empty: the model
  bool noLoopback = false;  // the real bridge has no loopback plug: those checks are skipped
};

struct TermOptions {
  LineOptions line;
  std::string usb;                  // as DemoOptions::usb; the wiring is then the bridge's own line
  std::string capture;              // usbmon capture file, none when empty
  std::string wiring = "loopback";  // loopback, nullmodem, pty
};

struct PtyOptions {
  LineOptions line;
  std::string usb;  // as DemoOptions::usb: the echo runs on the real bridge, no terminal
  std::string capture;
};

struct BenchOptions {
  bool json = false;
  bool quick = false;
  std::uint32_t latencySamples = 1000;
  double pacedSeconds = 2.0;
  double idleSeconds = 2.0;
  std::uint64_t ceilingBytes = 64ull << 20;
  std::uint32_t maxWriteSize = 1u << 20;
};

struct UsbListOptions {
  std::string id = "10c4:ea60";  // vendor:product to look for
};
int RunDemo(const DemoOptions& options);
int RunUsbList(const UsbListOptions& options);
int RunTerm(const TermOptions& options);
int RunPty(const PtyOptions& options);
int RunBench(const BenchOptions& options);

}  // namespace tvk
