// The simulated device manager: test-facing interface and the calls the application side makes.
//
// ActivateDevice / DeactivateDevice / OpenDeviceKey are the platform's names (platform/ce_os.h).
// This header adds what tests and tools need around them: in-process stream modules, the folder
// in which module files are looked for, power notices, queries of the active devices, and the
// guarded calls behind the application API (sim/app/comm_api.h).
//
// Application handles belong to the device manager. A call on a handle that was closed, or whose
// device was deactivated, never reaches the driver (error 6). Closing a handle while other threads
// are inside the driver on it first sends the driver the process-exit notice IOCTL_PSL_NOTIFY on
// that handle (the driver ends its pending waits, reads and writes), refuses new calls, waits for
// the calls in flight to return and only then calls Prefix_Close. Deactivation does the same for
// every open handle of the device, then calls Prefix_Deinit once no call into the device is in
// flight.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/ce_os.h"
#include "sim/os/sim_os.h"

namespace sim {

// The entry points of a stream driver, as the device manager calls them. Init and Deinit are
// required, Open and Close as well; a missing Read, Write, Seek or IOControl makes the
// application's call fail with ERROR_NOT_SUPPORTED, a missing PowerUp or PowerDown is skipped.
struct StreamModuleEntries {
  PFN_STREAM_INIT Init;
  PFN_STREAM_DEINIT Deinit;
  PFN_STREAM_OPEN Open;
  PFN_STREAM_CLOSE Close;
  PFN_STREAM_READ Read;
  PFN_STREAM_WRITE Write;
  PFN_STREAM_SEEK Seek;
  PFN_STREAM_IOCONTROL IOControl;
  PFN_STREAM_POWER PowerUp;
  PFN_STREAM_POWER PowerDown;
};

// ---- Module loading
// ------------------------------------------------------------------------------ A module
// registered here is found by its name (the "Dll" value, compared without regard to ASCII case)
// before any file is looked for. Registering a name again replaces its table; devices already
// active keep the table they were loaded with.
void RegisterBuiltinStreamModule(const std::string& name, const StreamModuleEntries& entries);
void UnregisterBuiltinStreamModule(const std::string& name);

// Otherwise the "Dll" value names a file: a path with a '/' is loaded as it is; a bare name is
// tried as given, then as lib<name>.so and <name>.so (a trailing ".dll" is dropped for the last
// two), in this order of folders: the one set here, the one in the environment variable
// TV_MODULE_DIR, the folder of the running executable. An empty string clears the setting.
void SetModuleDirectory(const std::string& directory);

// ---- Power
// ---------------------------------------------------------------------------------------
// Prefix_PowerDown on every active device, newest first; Prefix_PowerUp oldest first.
void PowerDownAll();
void PowerUpAll();

// ---- Queries for tests
// --------------------------------------------------------------------------- Devices whose Init
// has returned and that are not being deactivated.
size_t ActiveDeviceCount();
// Their names ("COM1:", ...), in activation order.
std::vector<std::string> ActiveDeviceNames();
// The active key path ("Drivers\\Active\\01") of the device with that name; empty when none.
sim::WString ActiveKeyOf(const std::string& name);
// Application handles that exist (open, or left dead by a deactivation and not yet closed).
size_t ApplicationHandleCount();

// ---- Application handle calls (used by sim/app)
// -------------------------------------------------- Each sets the calling thread's last error on
// failure; ERROR_INVALID_HANDLE for a handle that is not a live application handle.
//
// Opens the device named "COM1:" (case-insensitive): INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND
// when no active device has that name, with the driver's error when Prefix_Open refuses.
HANDLE DeviceOpen(LPCWSTR name, DWORD access, DWORD shareMode);
// Releases the handle. TRUE, or the driver's answer of Prefix_Close; the handle is gone either way.
// A handle left dead by a deactivation is released without calling the driver.
BOOL DeviceClose(HANDLE handle);
// The driver's result; (DWORD)-1 with the last error on failure.
DWORD DeviceRead(HANDLE handle, LPVOID buffer, DWORD length);
DWORD DeviceWrite(HANDLE handle, LPCVOID buffer, DWORD length);
DWORD DeviceSeek(HANDLE handle, LONG distance, DWORD method);
BOOL DeviceIoControl(HANDLE handle, DWORD code, PBYTE inBuffer, DWORD inSize, PBYTE outBuffer,
                     DWORD outSize, PDWORD actualOut);
// True for any value the device manager hands out as an application handle, live or not; such a
// value is never an operating-system handle.
bool IsApplicationHandleValue(HANDLE handle);

}  // namespace sim
