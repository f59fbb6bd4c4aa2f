// tvk: runs the driver on the simulated device. Without a subcommand it walks through a port's
// life (install, plug, open, settings, data, modem events, driver control codes, unplug); `term`
// is an interactive terminal on a simulated port; `pty` puts a port's far end on a pseudo-terminal
// and echoes; `bench` measures the data path.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <regex>

#include "sim/usb/usbmon_capture.h"
#include "tools/session.h"
#include "tools/tvk.h"

namespace {

void AddLineOptions(CLI::App& app, tvk::LineOptions& line) {
  app.add_option("-b,--baud", line.baud, "Baud rate")
      ->check(CLI::Range(1u, 12000000u))
      ->capture_default_str();
  app.add_option("-l,--line", line.format,
                 "Data bits, parity (N/O/E/M/S) and stop bits, e.g. 8N1, 7E2")
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            static const std::regex form("^[5-8][NOEMSnoems](1|1\\.5|2)$");
            return std::regex_match(v, form) ? "" : "expected e.g. 8N1, 7E1, 8N2 or 5N1.5";
          },
          "LINE"))
      ->capture_default_str();
  app.add_option("-f,--flow", line.flow, "Flow control")
      ->check(CLI::IsMember({"none", "rtscts", "xonxoff"}))
      ->capture_default_str();
}

void AddUsbOption(CLI::App& app, std::string& usb, const char* what) {
  app.add_option("-u,--usb", usb,
                 std::string("A real bridge through libusb, VID:PID[@BUS:ADDR] (e.g. 10c4:ea60 or "
                             "10c4:ea60@1:5; see tvk usb-list), instead of the model") +
                     what)
      ->check(CLI::Validator(
          [](std::string& v) -> std::string {
            tvk::UsbTarget target;
            return tvk::ParseUsbTarget(v, &target) ? "" : "expected VID:PID or VID:PID@BUS:ADDR";
          },
          "VID:PID[@BUS:ADDR]"));
}

void AddCaptureOption(CLI::App& app, std::string& path) {
  app.add_option("--capture", path,
                 "Write every USB transfer to FILE as a Linux usbmon capture (pcap) for "
                 "Wireshark or tshark")
      ->type_name("FILE");
}

// Runs a subcommand with the capture it was asked for, finished before the program exits.
template <class Run>
int WithCapture(const std::string& path, Run run) {
  if (!path.empty()) {
    std::string error;
    if (!sim::StartUsbCapture(path, &error)) {
      std::fprintf(stderr, "tvk: --capture: %s\n", error.c_str());
      return tvk::kExitUsage;
    }
  }
  int status = run();
  if (!path.empty() && !sim::StopUsbCapture()) {
    std::fprintf(stderr, "tvk: --capture: writing %s failed\n", path.c_str());
    if (status == tvk::kExitOk) status = tvk::kExitCheckFailed;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "tvk: the serial-port driver on the simulated device.\n"
      "Without a subcommand: a walk through one port's life, with checks."};
  app.require_subcommand(0, 1);

  tvk::DemoOptions demo;
  app.add_option("--pattern-bytes", demo.patternBytes, "Size of the loopback test pattern")
      ->check(CLI::Range(1u, 16u << 20))
      ->capture_default_str();
  app.add_flag("-v,--verbose", demo.verbose, "Show more of what happens");
  AddUsbOption(app, demo.usb, "");
  app.add_flag("--no-loopback", demo.noLoopback,
               "With --usb: the bridge has no loopback plug; the checks that need one are skipped");
  std::string capture;
  AddCaptureOption(app, capture);

  tvk::TermOptions term;
  CLI::App* termCmd =
      app.add_subcommand("term", "Interactive terminal on a simulated port (exit: Ctrl-])");
  AddLineOptions(*termCmd, term.line);
  termCmd
      ->add_option("-w,--wiring", term.wiring,
                   "loopback: a loopback plug; nullmodem: a cable to a second port that echoes; "
                   "pty: the far end on a new pseudo-terminal")
      ->check(CLI::IsMember({"loopback", "nullmodem", "pty"}))
      ->capture_default_str();
  AddUsbOption(*termCmd, term.usb, "; the wiring is then the bridge's own line");
  AddCaptureOption(*termCmd, term.capture);

  tvk::PtyOptions pty;
  CLI::App* ptyCmd = app.add_subcommand(
      "pty",
      "COM1: echoes what it reads; its line's far end is a new pseudo-terminal, whose path is the "
      "first line printed (ends on SIGINT or SIGTERM)");
  AddLineOptions(*ptyCmd, pty.line);
  AddUsbOption(*ptyCmd, pty.usb, "; the echo then runs on the bridge's own line, no terminal");

  tvk::UsbListOptions usbList;
  CLI::App* usbListCmd = app.add_subcommand(
      "usb-list", "The bridges libusb finds: bus, address, part number, strings");
  usbListCmd->add_option("--id", usbList.id, "Vendor and product to look for, VID:PID")
      ->capture_default_str();
  AddCaptureOption(*ptyCmd, pty.capture);

  tvk::BenchOptions bench;
  CLI::App* benchCmd = app.add_subcommand("bench", "Data-path figures, each beside its target");
  benchCmd->add_flag("--json", bench.json, "Machine-readable output");
  benchCmd->add_flag("-q,--quick", bench.quick, "Small sizes and short runs");
  benchCmd->add_option("--latency-samples", bench.latencySamples, "Receive latency samples")
      ->check(CLI::Range(10u, 1000000u))
      ->capture_default_str();
  benchCmd->add_option("--paced-seconds", bench.pacedSeconds, "Duration of each paced run")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  benchCmd->add_option("--idle-seconds", bench.idleSeconds, "Duration of the idle-port measurement")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  benchCmd
      ->add_option("--max-write", bench.maxWriteSize, "Largest write size of the throughput sweep")
      ->check(CLI::Range(1u, 16u << 20))
      ->capture_default_str();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);  // prints the message and a pointer to --help
    return tvk::kExitUsage;
  }

  // The benchmark takes no capture: recording every transfer would change the figures it measures.
  if (*termCmd) return WithCapture(term.capture, [&] { return tvk::RunTerm(term); });
  if (*ptyCmd) return WithCapture(pty.capture, [&] { return tvk::RunPty(pty); });
  if (*benchCmd) return tvk::RunBench(bench);
  if (*usbListCmd) return tvk::RunUsbList(usbList);
  return WithCapture(capture, [&] { return tvk::RunDemo(demo); });
}
