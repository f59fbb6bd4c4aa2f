// Driver registration with the USB host stack and the registry layout of the port keys.
#pragma once

#include "platform/ce_os.h"
#include "platform/ce_usb.h"

// The driver's client ID; also the "Dll" value of every port key.
const WCHAR* const DriverClientId = TEXT("Tollaverk");
const DWORD DriverVendorId = 0x10C4;
const DWORD DriverProductId = 0xEA60;

// Room for any port key path: the fixed part plus three formatted 32-bit numbers.
const DWORD PortKeyPathChars = 128;

// The 40-byte settings registered at install and removed at uninstall.
extern const USB_DRIVER_SETTINGS DriverSettings;

// One registry value to write or read; a table ends with a record whose name is null.
struct RegistryValue {
  LPCWSTR name;
  DWORD type;  // REG_SZ, REG_DWORD or REG_MULTI_SZ; filled in when reading
  DWORD size;  // reading: buffer size in bytes in, value size out; unused when writing
  LPVOID data;
};

const DWORD RegistryWrite = 1;
const DWORD RegistryRead = 0;

// Writes "Drivers\USB\ClientDrivers\Tollaverk\Port<port>\<vendor>_<product>" (each number in
// decimal, "%d" style) into path, which holds capacity characters. FALSE, with path left an empty
// string when it has room for one, if the path does not fit or path is null.
BOOL BuildPortKeyPath(WCHAR* path, DWORD capacity, DWORD port, DWORD vendorId, DWORD productId);

// Mode RegistryWrite writes the table under HKEY_LOCAL_MACHINE\keyPath (an existing key is left
// alone unless force is set); any other mode reads it from an existing key. Values written before
// a failure stay written. A table, name or data pointer that cannot be read (or, when reading, a
// data buffer that cannot be written) fails the call cleanly with the key closed.
BOOL ApplyRegistryValues(LPCWSTR keyPath, RegistryValue* table, DWORD mode, BOOL force);

// The USB client registration entry points; module/ exports them under these names.
BOOL InstallDriver(LPCWSTR driverLibFile);
BOOL UnInstallDriver(void);
