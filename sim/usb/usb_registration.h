// Client registrations: the index the bus matches devices against, backed by the registry.
#pragma once

#include <string>
#include <vector>

#include "platform/ce_usb.h"
#include "sim/os/sim_os.h"

namespace sim::usb_detail {

struct ClientMatch {
  sim::WString clientId;
  sim::WString dll;                   // "Dll" as read from the registry at match time
  USB_DRIVER_SETTINGS settings = {};  // the registered record, handed to USBDeviceAttach
  int interfaceIndex = -1;            // matched interface of the active configuration, -1: none
};

// Registrations whose settings match the device, most specific first, each with a readable "Dll".
std::vector<ClientMatch> MatchClients(LPCUSB_DEVICE device);

// True when settings match the device and, when any interface member is given, interface `iface`.
bool SettingsMatch(const USB_DRIVER_SETTINGS& s, const USB_DEVICE& device,
                   const USB_INTERFACE* iface);

}  // namespace sim::usb_detail
