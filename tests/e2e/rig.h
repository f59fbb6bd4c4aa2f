// The end-to-end rig: the driver module installed in the simulated device, modelled bridges on the
// bus, and the application API on top. Tests speak only through ceapp:: and these helpers.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/app/comm_api.h"
#include "sim/bridge_model/bridge_model.h"
#include "sim/usb/sim_usb.h"

namespace rig {

using Clock = std::chrono::steady_clock;

inline long long MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Installs libTollaverk.so from beside the test program once per process.
void InstallDriver();

// The heap's live-block count.
size_t LiveBlocks();

enum class Wiring { None, Loopback };

// Faults injected into the bridge model that hit one step of attach.
enum class AttachFault {
  None,
  SetInterfaceStalls,
  PartNumberStalls,
  ProductMissing,      // every read stalls: the device is still taken without the string
  ProductHeaderShort,  // the header read answers one byte: refused
  SerialLengthZero,    // bLength 0: refused
  SerialLengthOne,     // bLength 1: refused
  SerialWrongType,     // the full read answers another descriptor type: refused
  SerialOtherLength,   // the full read answers another bLength: refused
};
std::vector<AttachFault> AllAttachFaults();
bool FaultStillAttaches(AttachFault fault);
const char* FaultName(AttachFault fault);

// Loads a REGEDIT4 file into the simulated registry.
bool LoadRegFile(const std::string& path);

struct BridgeOptions {
  AttachFault fault = AttachFault::None;
  int interfaces = 1;
  Wiring wiring = Wiring::Loopback;
  bool paced = true;
  bool noBulkOut = false;
  int partNumber = 2;
};

// A modelled bridge on the bus.
struct Bridge {
  std::shared_ptr<sim::BridgeModel> model;  // kept alive while plugged
  sim::UsbDeviceId id = 0;
  bool attached = false;
};

Bridge Plug(const BridgeOptions& options);
// Connects port `a` of one bridge to port `b` of another with a null-modem cable.
void NullModem(const Bridge& one, const Bridge& other, bool paced);
// Starts the removal and returns at once.
void Unplug(const Bridge& bridge);
bool WaitRemoved(const Bridge& bridge, uint32_t timeoutMs);

// Open of a COM port by name with read/write access; INVALID_HANDLE_VALUE on failure.
HANDLE Open(const WCHAR* name);
// 8 data bits, no parity, one stop bit at the given rate; flow control from the flags.
struct Flow {
  bool rtsCts = false;
  bool xonXoff = false;
};
bool Configure(HANDLE port, DWORD baud, Flow flow = {});
// Read time-outs: a read returns what arrived once `totalMs` passed (0: wait without limit).
bool SetReadTimeout(HANDLE port, DWORD totalMs);

// Deterministic test data; without the XON/XOFF characters when softFlowSafe.
std::vector<uint8_t> Pattern(size_t bytes, uint32_t seed, bool softFlowSafe = false);
// Reads until `bytes` arrived or a read returned nothing; returns what arrived.
std::vector<uint8_t> ReadAll(HANDLE port, size_t bytes, DWORD chunk = 65536);

}  // namespace rig
