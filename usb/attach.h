// Device attach and detach: building a BridgeDevice with its ports and stream devices when a
// bridge arrives, and taking it all down again when it goes.
#pragma once

#include "bridge/bridge_records.h"
#include "platform/ce_usb.h"

const DWORD PortRingCapacity = 16384;
const DWORD ReceiveThreadStopMs = 3000;
const DWORD DetachSettleMs = 1000;
const DWORD ReabortPeriodMs = 100;

// The USB client attach entry point; module/ exports it as USBDeviceAttach. TRUE when the device
// was taken; *acceptControl is FALSE on entry and TRUE only then.
BOOL DeviceAttach(USB_HANDLE device, LPCUSB_FUNCS usb, LPCUSB_INTERFACE iface,
                  LPCWSTR uniqueDriverId, LPBOOL acceptControl, LPCUSB_DRIVER_SETTINGS settings,
                  DWORD reserved);

// The interface at position index of the active configuration, or null.
LPCUSB_INTERFACE InterfaceAt(USB_HANDLE device, LPCUSB_FUNCS usb, DWORD index);

// Selects the port's interface and opens its first bulk IN and first bulk OUT pipe with their
// completion events. TRUE when both pipes and both events exist.
BOOL OpenPortPipes(BridgePort* port, LPCUSB_INTERFACE iface);

// The removal notification registered at attach; context is the BridgeDevice. Handles
// USB_CLOSE_DEVICE only; may block until the applications have closed every open port.
BOOL WINAPI DeviceNotify(LPVOID context, DWORD code, LPDWORD* info1, LPDWORD* info2, LPDWORD* info3,
                         LPDWORD* info4);

// Releases the device and everything it owns; safe on a partly built device. A port still marked
// opened is left in place (its application may still use it) rather than released under it.
void DestroyBridgeDevice(BridgeDevice* device);
