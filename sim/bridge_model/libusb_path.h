// The second way a modelled bridge reaches the simulated bus: the model is presented as a device
// of an emulated usbdevfs (a device node and sysfs entries in a umockdev testbed, its ioctls
// answered by the model), and a passthrough device opened on it through libusb is what is plugged
// on the bus. libusb, unmodified, then sits between the host stack and the model.
//
// The environment variable TV_USB selects the path for the whole process: unset or "sim" plugs
// models directly, "libusb" through libusb (the process must run under umockdev-wrapper).
#pragma once

#include <memory>

#include "sim/usb/sim_usb.h"

namespace sim {

class BridgeModel;

// True when TV_USB=libusb. A process that asks for it in a build without libusb and umockdev,
// or outside umockdev-wrapper, is stopped with a message saying so.
bool LibusbPathSelected();
// Presents `model` in the testbed and plugs a passthrough device for it; 0 on failure (printed).
UsbDeviceId PlugThroughLibusb(const std::shared_ptr<BridgeModel>& model, PlugOptions options);
// Removes the model's device from the testbed (a remove event; every further request on its file
// fails with ENODEV); the passthrough device then leaves the bus. False when it is not there.
bool UnplugFromLibusb(const BridgeModel* model);

}  // namespace sim
