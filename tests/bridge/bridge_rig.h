// A bridge as attach leaves it, built by hand on the wire host: one BridgeDevice with one
// BridgePort (pipes, events, ring), optionally bound to a ComDevice through an active key whose
// "ClientInfo" holds the port, with its receive thread running and attachDone set.
#pragma once

#include <string>
#include <vector>

#include "bridge/bridge_port.h"
#include "bridge/bridge_requests.h"
#include "core/com_device.h"
#include "sim/bridge_model/bridge_model.h"
#include "tests/bridge/wire_host.h"

namespace bridgetest {

class BridgeRig {
 public:
  // On the wire host.
  BridgeRig();
  // On a bridge model plugged on the simulated bus (no client driver takes it): the records are
  // built from the host stack's handle and operations, with pipes on interface 0's endpoints.
  explicit BridgeRig(const sim::BridgeConfig& config);
  ~BridgeRig();

  // Writes the device key and the active key and calls ComInit with the bridge table; then starts
  // the receive thread and sets attachDone. False when ComInit failed.
  bool Bind();
  // Only starts the receive thread and sets attachDone (no ComDevice).
  void StartReceiving();
  // What detach does to the records: detached flag, opened bit off, detached bit on, inDone set.
  void MarkDetached();

  // Active key path of this rig, and a helper that writes "ClientInfo" of any type and size.
  const sim::WString& ActiveKey() const { return activeKey_; }
  void WriteClientInfo(DWORD type, const void* data, DWORD size);

  // A raw string descriptor stored as attach stores it (a LocalAlloc block of the given size).
  static BYTE* StoredString(const std::vector<BYTE>& bytes, size_t blockSize);

  BYTE State() const { return __atomic_load_n(&port->state, __ATOMIC_ACQUIRE); }

  wirehost::Host host;
  std::shared_ptr<sim::BridgeModel> model;
  sim::UsbDeviceId modelId = 0;
  BridgeDevice* device = nullptr;
  BridgePort* port = nullptr;
  ComDevice* com = nullptr;

 private:
  void Build(USB_HANDLE handle, LPCUSB_FUNCS usb, USB_PIPE in, USB_PIPE out);
  sim::WString deviceKey_;
  sim::WString activeKey_;
  bool receiving_ = false;
};

// A DCB as the core's first open applies it.
DCB DefaultDcb();

}  // namespace bridgetest
