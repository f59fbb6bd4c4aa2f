// What every tvk subcommand does around its own work: install the driver into the simulated
// device, plug modelled bridges, open their COM ports through the application API, apply line
// settings, and take it all down again in order.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/app/comm_api.h"
#include "sim/bridge_model/bridge_model.h"
#include "tools/tvk.h"

namespace tvk {

// Translates the line options into a DCB on top of the port's current one. False with a message
// for a format the DCB cannot express.
bool FillDcb(const LineOptions& line, DCB* dcb, std::string* error);
std::string DescribeLine(const LineOptions& line);

class Session {
 public:
  Session() = default;
  ~Session();  // closes what is still open, unplugs, uninstalls
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool Install(std::string* error);

  // Plugs a bridge (one interface unless asked; a second port needs its Port1 key); returns its
  // index in bridges() or -1 (with a message). Loopback wires the first interface.
  int PlugBridge(bool paced, bool loopback, std::string* error, unsigned interfaces = 1);
  // Plugs a real bridge through libusb, picked by "VID:PID[@BUS:ADDR]" (hex ids, decimal bus and
  // address); returns its index or -1 with a message. Model() is null for it.
  int PlugUsbBridge(const std::string& target, std::string* error);
  // Plugs a paced one-interface bridge whose line goes to a new pseudo-terminal (its path in
  // `path`); the terminal is removed in Shutdown, after the bridge.
  int PlugPtyBridge(std::string* path, std::string* error);
  std::shared_ptr<sim::BridgeModel> Model(int bridge) const { return bridges_[bridge].model; }

  // Opens a port ("COM1:") for reading and writing; INVALID_HANDLE_VALUE with a message.
  HANDLE Open(const WCHAR* name, std::string* error);
  bool ApplyLine(HANDLE port, const LineOptions& line, std::string* error);
  // Read time-outs in the platform's terms; all zero waits for the full count.
  static bool SetReadTimeouts(HANDLE port, DWORD interval, DWORD multiplier, DWORD constant);
  void Close(HANDLE port);

  // Starts the removal of a bridge, and waits for it to finish.
  bool StartUnplug(int bridge);
  bool WaitRemoved(int bridge, std::uint32_t timeoutMs);

  // Closes every port, removes every bridge, then their external far ends, and uninstalls the
  // driver. Safe to call again.
  void Shutdown();
  // For a program about to end at once: closes every port and removes the external far ends (a
  // pseudo-terminal goes with its master), leaving the bridges plugged. A removal takes the
  // driver's settle pause of about a second; the process's end releases the rest.
  void CloseForExit();

 private:
  struct Bridge {
    std::shared_ptr<sim::BridgeModel> model;
    sim::UsbDeviceId id = 0;
    bool removing = false;
    bool external = false;  // its line goes to a far end outside the simulation
  };
  std::vector<Bridge> bridges_;
  std::vector<HANDLE> ports_;
  bool installed_ = false;
};

// "VID:PID[@BUS:ADDR]": vendor and product in hex, bus and address in decimal (-1 when absent).
struct UsbTarget {
  std::uint16_t vendorId = 0, productId = 0;
  int bus = -1, address = -1;
};
bool ParseUsbTarget(const std::string& text, UsbTarget* target);

// Win32 error code as "error 1460 (time-out)".
std::string DescribeError(DWORD code);

// What a session has lost, as its application on COM1: learns it: the error flags ClearCommError
// reported (each report counted once per flag), and the bytes the line dropped while its external
// far end was not there (a terminal nobody had open).
class LossWatch {
 public:
  // Reads and clears the port's error word and takes the bridge's count; returns a line for the
  // user when something new was lost since the last call, empty otherwise.
  std::string Check(HANDLE port, const sim::BridgeModel* bridge);
  // Adds one ClearCommError answer and a line-drop total; the same line as Check.
  std::string Note(DWORD errors, std::uint32_t lineDropped);
  // "nothing lost", or what was: "ClearCommError reported CE_RXOVER 2 times, CE_OVERRUN once;
  // the line dropped 1150 bytes while the terminal was closed".
  std::string Summary() const;
  bool Lost() const;

 private:
  std::string Describe() const;
  std::uint64_t counts_[6] =
      {};  // CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK, CE_TXFULL
  std::uint32_t lineDropped_ = 0;
};

}  // namespace tvk
