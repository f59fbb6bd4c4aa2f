// Installing the driver module into the simulated device, as the platform does when a driver is
// set up: load the module file, call its USBInstallDriver with the file's own name, and later its
// USBUnInstallDriver. For tests and tools.
#pragma once

#include <string>

namespace sim {

// The module file named after the driver's client ID in the folder of the running executable
// (libTollaverk.so beside the test or tool); empty when that folder is unknown.
std::string DriverModulePath();

// Loads the module at path and calls its USBInstallDriver(path). True when the module was loaded,
// exports the entry point and reported success. The module stays loaded until
// UninstallDriverModule; installing again first uninstalls the previous one.
bool InstallDriverModule(const std::string& path);

// Calls USBUnInstallDriver of the installed module and unloads it. False when none was installed
// or the module reported failure (it is unloaded all the same).
bool UninstallDriverModule();

}  // namespace sim
