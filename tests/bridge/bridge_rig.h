// A modelled bridge on the simulated bus with the driver attached to it by the host stack, as on
// the device: the driver's sources are linked into the test program and registered as the
// built-in USB client and stream module, so that the records attach builds are reachable from
// the test (com, port, device). Removal is an unplug; while a port is open the records outlive the
// removal until the test closes the port, as they do under an application.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "bridge/bridge_port.h"
#include "bridge/bridge_requests.h"
#include "core/com_device.h"
#include "sim/bridge_model/bridge_model.h"

namespace bridgetest {

using Bytes = std::vector<BYTE>;
using sim::BridgeLogEntry;
using sim::BridgeModel;

// Registers the client and port 0 as the module's installation does, port 1's key beside it, and
// the linked driver under the module's name for the host stack and the device manager. Once per
// process; Bridge calls it.
void InstallLinkedDriver();

// Unpaced, so that bulk transfers complete at once unless a test wants the line time.
sim::BridgeConfig Unpaced(uint8_t partNumber = 2, unsigned interfaces = 1);

// Runs a request routine as the driver does: under the bridge's device lock (the routines check
// that in debug builds).
template <typename Call>
auto UnderDeviceLock(BridgeDevice* device, Call call) {
  EnterDeviceLock(device);
  auto result = call();
  LeaveDeviceLock(device);
  return result;
}

class Bridge {
 public:
  // `beforePlug` may inject faults that hit attach.
  explicit Bridge(const sim::BridgeConfig& config = Unpaced(),
                  const std::function<void(BridgeModel&)>& beforePlug = {});
  ~Bridge();  // unplugs (when still plugged) and waits until the removal has finished

  bool Attached() const { return com_[0] != nullptr; }
  ComDevice* Com(unsigned i = 0) const { return com_[i]; }
  BridgePort* Port(unsigned i = 0) const { return static_cast<BridgePort*>(com_[i]->port); }
  BridgeDevice* Device() const { return Port(0)->device; }
  BYTE State(unsigned i = 0) const { return __atomic_load_n(&Port(i)->state, __ATOMIC_ACQUIRE); }

  // Starts the removal and returns once the driver has marked every port detached.
  void Unplug();
  // Stops the port's modem poll, so that a test can call PollModemStatus once per period by hand.
  void StopPoll(unsigned i = 0);

  // Control requests answered since the last ClearLog, in order.
  std::vector<BridgeLogEntry> Requests() const;
  // The same without the modem poll's reads (the poll runs beside whatever a test does); the
  // first modem status read is kept when asked for (open reads it).
  std::vector<BridgeLogEntry> WithoutPolls(bool keepFirstModemRead) const;
  // Data of the bulk OUT transfers since the last ClearLog.
  std::vector<Bytes> BulkOuts() const;
  // Waits until the poll has read the comm status `count` more times.
  bool WaitPolls(size_t count) const;

  std::shared_ptr<BridgeModel> model;
  sim::UsbDeviceId id = 0;
  std::vector<BridgeLogEntry> attachLog;  // what attach asked of the bridge

 private:
  ComDevice* com_[BridgeMaxPorts] = {};
};

// The test-side handle helpers on the core.
ComHandle* OpenData(ComDevice* com);
BOOL SetTimeouts(ComHandle* h, COMMTIMEOUTS timeouts);
// Reads until `count` bytes arrived or a read returned nothing.
Bytes ReadAll(ComHandle* h, size_t count);
// Waits for communication events on h (mask already set); 0 and a failure after 5 s.
DWORD WaitEvents(ComHandle* h);

// A DCB as the core's first open applies it.
DCB DefaultDcb();
Bytes Pattern(size_t n);

}  // namespace bridgetest
