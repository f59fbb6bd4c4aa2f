// Finding a client module's USBDeviceAttach by the module's file name (host-specific part).
#pragma once

#include <string>

#include "platform/ce_usb.h"

namespace sim::usb_detail {

struct LoadedAttach {
  LPUSB_DEVICE_ATTACH attach = nullptr;
  DWORD error = 0;  // ERROR_MOD_NOT_FOUND or ERROR_PROC_NOT_FOUND when attach is null
  std::string detail;
};

// Searches, for a name without a folder: TV_MODULE_DIR, `extraDir`, the running executable's
// folder, each as <name>, <name><suffix> and lib<name><suffix> (suffix .so, or .dll on Windows).
// Loaded modules stay loaded for the process's life.
LoadedAttach LoadClientAttach(const std::string& moduleName, const std::string& extraDir);

}  // namespace sim::usb_detail
