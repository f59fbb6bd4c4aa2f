// A passthrough device: a device on the simulated bus that forwards every request to a device
// reached through libusb (a real bridge, or a modelled one presented through an emulated
// usbdevfs). Linux only; built when libusb-1.0 is found.
//
// Descriptors are read from the device at open. Control requests become libusb control transfers
// (data stage included, with a time-out); bulk transfers become asynchronous libusb transfers that
// complete through UsbIo::Complete from the libusb event thread. Cancel cancels the libusb
// transfer and reports the bytes the device had taken. Every interface of the active
// configuration is claimed while the device is open (the kernel's driver detached meanwhile and
// given back at close); SET_INTERFACE selects the alternate setting through libusb. When the
// device leaves (hotplug, or a transfer failing for want of a device) it is unplugged from the
// simulated bus, so the client's detach runs as for any removal.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/usb/sim_usb.h"

namespace sim {

// Which device to open: vendor and product, optionally bus and address (-1: any).
struct LibusbDeviceSelector {
  uint16_t vendorId = 0x10C4;
  uint16_t productId = 0xEA60;
  int bus = -1;
  int address = -1;
};

// A device as `ListLibusbDevices` finds it.
struct LibusbDeviceListing {
  int bus = 0;
  int address = 0;
  uint16_t vendorId = 0, productId = 0;
  std::string manufacturer, product, serial;  // empty when the device has none or cannot be opened
  int partNumber = -1;                        // the bridge's part number, -1 when unread
  std::string openError;                      // why it could not be opened, empty when it could
};

class LibusbPassthrough;

// Opens the first device that matches; null with `*error` set when there is none or it cannot
// be opened and claimed. `waitMs` allows for a device that is still being enumerated.
std::shared_ptr<LibusbPassthrough> OpenLibusbPassthrough(const LibusbDeviceSelector& selector,
                                                         std::string* error, uint32_t waitMs = 0);

// Every device with this vendor and product id.
std::vector<LibusbDeviceListing> ListLibusbDevices(uint16_t vendorId, uint16_t productId,
                                                   std::string* error);

class LibusbPassthrough final : public UsbDeviceModel {
 public:
  struct Impl;
  explicit LibusbPassthrough(std::unique_ptr<Impl> impl);
  ~LibusbPassthrough() override;

  // Called on the bus's plug (with the bus id) and once the removal is done with the device.
  void SetHooks(std::function<void(UsbDeviceId)> plugged, std::function<void()> unplugged);
  // Called with +1 before and -1 after each request on the device's file outside the event thread
  // (submit, cancel, set interface): an emulated device file that answers one request at a time
  // uses it to keep a waiting reap from holding such a request up.
  void SetFileUseHook(std::function<void(int)> hook);
  int Bus() const;
  int Address() const;
  // A control request straight to the device, outside the simulated bus (for listings and
  // checks); returns the bytes transferred or a negative libusb error.
  int Control(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index, uint8_t* data,
              uint16_t length, unsigned timeoutMs);

  LPCUSB_DEVICE DeviceInfo() override;
  void Submit(const std::shared_ptr<UsbIo>& io) override;
  uint32_t Cancel(const std::shared_ptr<UsbIo>& io) override;
  void Plugged(UsbDeviceId id) override;
  void Unplugged() override;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
