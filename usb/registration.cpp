#include "usb/registration.h"

const USB_DRIVER_SETTINGS DriverSettings = {
    sizeof(USB_DRIVER_SETTINGS),
    DriverVendorId,
    DriverProductId,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
    USB_NO_INFO,
};

namespace {

const WCHAR PortKeyPrefix[] = TEXT("Drivers\\USB\\ClientDrivers\\Tollaverk\\Port");
const DWORD NumberChars = 16;

// Formats value as a signed decimal ("%d") into text, which holds NumberChars characters.
void FormatDecimal(WCHAR* text, DWORD value) {
  WCHAR digits[NumberChars];
  DWORD count = 0;
  const bool negative = static_cast<LONG>(value) < 0;
  // The magnitude in unsigned 32-bit arithmetic, where the most negative value needs no special
  // case (0 - 0x80000000 is 0x80000000).
  DWORD magnitude = negative ? 0u - value : value;
  do {
    digits[count++] = static_cast<WCHAR>(TEXT('0') + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  DWORD out = 0;
  if (negative) text[out++] = TEXT('-');
  while (count > 0) text[out++] = digits[--count];
  text[out] = 0;
}

// Appends source to path at *length; FALSE when it would not fit with its terminator.
BOOL Append(WCHAR* path, DWORD capacity, DWORD* length, const WCHAR* source) {
  for (const WCHAR* p = source; *p != 0; ++p) {
    if (*length + 1 >= capacity) return FALSE;
    path[(*length)++] = *p;
  }
  path[*length] = 0;
  return TRUE;
}

// Length of a wide string that must be readable character by character; FALSE when a character
// cannot be read. An application or a caller's table can hand any pointer.
BOOL ReadableLength(LPCWSTR text, DWORD* length) {
  if (text == NULL) return FALSE;
  DWORD n = 0;
  for (;;) {
    if (IsBadReadPtr(text + n, sizeof(WCHAR))) return FALSE;
    if (text[n] == 0) break;
    if (n == MAXDWORD / 4) return FALSE;
    ++n;
  }
  *length = n;
  return TRUE;
}

// The size in bytes of one value to write, computed from its type; FALSE for an unsupported type
// or data that cannot be read.
BOOL ValueSize(const RegistryValue* record, DWORD* size) {
  DWORD length = 0;
  switch (record->type) {
    case REG_SZ:
      if (!ReadableLength(static_cast<LPCWSTR>(record->data), &length)) return FALSE;
      *size = (length + 1) * sizeof(WCHAR);
      return TRUE;
    case REG_DWORD:
      if (record->data == NULL || IsBadReadPtr(record->data, sizeof(DWORD))) return FALSE;
      *size = sizeof(DWORD);
      return TRUE;
    case REG_MULTI_SZ: {
      LPCWSTR text = static_cast<LPCWSTR>(record->data);
      DWORD total = 0;
      for (;;) {
        if (!ReadableLength(text, &length)) return FALSE;
        if (length == 0) break;
        if (total > MAXDWORD / 4 - length - 1) return FALSE;
        total += length + 1;
        text += length + 1;
      }
      *size = (total + 1) * sizeof(WCHAR);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

BOOL RecordReadable(const RegistryValue* record) {
  return !IsBadReadPtr(record, sizeof(RegistryValue));
}

BOOL WriteValues(HKEY key, const RegistryValue* table) {
  for (const RegistryValue* record = table;; ++record) {
    if (!RecordReadable(record)) return FALSE;
    if (record->name == NULL) return TRUE;
    DWORD nameLength = 0;
    DWORD size = 0;
    if (!ReadableLength(record->name, &nameLength) || !ValueSize(record, &size)) return FALSE;
    if (RegSetValueExW(key, record->name, 0, record->type, static_cast<const BYTE*>(record->data),
                       size) != ERROR_SUCCESS) {
      return FALSE;
    }
  }
}

BOOL ReadValues(HKEY key, RegistryValue* table) {
  for (RegistryValue* record = table;; ++record) {
    if (!RecordReadable(record) || IsBadWritePtr(record, sizeof(RegistryValue))) return FALSE;
    if (record->name == NULL) return TRUE;
    DWORD nameLength = 0;
    if (!ReadableLength(record->name, &nameLength)) return FALSE;
    if (record->data != NULL && record->size != 0 && IsBadWritePtr(record->data, record->size)) {
      return FALSE;
    }
    if (RegQueryValueExW(key, record->name, NULL, &record->type, static_cast<LPBYTE>(record->data),
                         &record->size) != ERROR_SUCCESS) {
      return FALSE;
    }
  }
}

}  // namespace

BOOL BuildPortKeyPath(WCHAR* path, DWORD capacity, DWORD port, DWORD vendorId, DWORD productId) {
  if (path == NULL || capacity == 0) return FALSE;
  path[0] = 0;
  WCHAR portText[NumberChars];
  WCHAR vendorText[NumberChars];
  WCHAR productText[NumberChars];
  FormatDecimal(portText, port);
  FormatDecimal(vendorText, vendorId);
  FormatDecimal(productText, productId);
  DWORD length = 0;
  if (Append(path, capacity, &length, PortKeyPrefix) && Append(path, capacity, &length, portText) &&
      Append(path, capacity, &length, TEXT("\\")) && Append(path, capacity, &length, vendorText) &&
      Append(path, capacity, &length, TEXT("_")) && Append(path, capacity, &length, productText)) {
    return TRUE;
  }
  path[0] = 0;
  return FALSE;
}

BOOL ApplyRegistryValues(LPCWSTR keyPath, RegistryValue* table, DWORD mode, BOOL force) {
  DWORD pathLength = 0;
  if (keyPath == NULL || table == NULL || !ReadableLength(keyPath, &pathLength)) {
    return FALSE;
  }
  HKEY key = NULL;
  LONG opened = RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key);

  if (mode != RegistryWrite) {
    if (opened != ERROR_SUCCESS) return FALSE;
    BOOL ok = ReadValues(key, table);
    RegCloseKey(key);
    return ok;
  }

  if (opened == ERROR_SUCCESS) {
    RegCloseKey(key);
    // An existing configuration is left alone unless the caller forces it.
    if (!force) return TRUE;
  }
  DWORD disposition = 0;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key,
                      &disposition) != ERROR_SUCCESS) {
    return FALSE;
  }
  BOOL ok = WriteValues(key, table);
  RegCloseKey(key);
  return ok;
}

BOOL InstallDriver(LPCWSTR driverLibFile) {
  if (!RegisterClientDriverID(DriverClientId)) return FALSE;
  if (!RegisterClientSettings(driverLibFile, DriverClientId, NULL, &DriverSettings)) {
    return FALSE;
  }
  WCHAR path[PortKeyPathChars];
  if (!BuildPortKeyPath(path, PortKeyPathChars, 0, DriverSettings.dwVendorId & 0xFFFFu,
                        DriverSettings.dwProductId & 0xFFFFu)) {
    return FALSE;
  }
  RegistryValue values[] = {
      {TEXT("Dll"), REG_SZ, 0, const_cast<WCHAR*>(DriverClientId)},
      {TEXT("Prefix"), REG_SZ, 0, const_cast<WCHAR*>(TEXT("COM"))},
      {NULL, 0, 0, NULL},
  };
  return ApplyRegistryValues(path, values, RegistryWrite, TRUE);
}

BOOL UnInstallDriver(void) {
  BOOL settingsRemoved = UnRegisterClientSettings(DriverClientId, NULL, &DriverSettings);
  BOOL idRemoved = UnRegisterClientDriverID(DriverClientId);
  return settingsRemoved && idRemoved;
}
