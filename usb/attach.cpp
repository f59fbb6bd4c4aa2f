// Attach builds the device in this order: device record and its lock, attachDone, then per port:
// record, locks and closedEvent, pipes, ring, stream device, receive thread; then part number,
// strings and the removal notification, and finally attachDone releases the receive threads.
//
// Decisions taken where the lifecycle leaves a choice:
// - A failed attach after stream devices were activated runs the same ordered shutdown as a
//   removal (mark detached, end waits, wait for ports an application opened meanwhile, release the
//   receive threads, deactivate) before DestroyBridgeDevice, so no stream device stays active
//   over released ports and no port is released under an application.
// - Receive threads are never left blocked on attachDone for the teardown to terminate: a
//   terminated thread would leak its transfer buffer. Shutdown marks every port detached, sets
//   inDone and attachDone, and the threads end by themselves; the 3000 ms limit and
//   TerminateThread remain the last resort.
// - The receive threads are stopped before the stream devices are deactivated: a thread in its
//   last pass may still set the wake event of the bound ComDevice, which COM_Deinit releases.
// - String descriptors come from the device and are checked: a header that arrives but is shorter
//   than 2 bytes, has a bLength below 2 or a type other than 3, or a second read that does not
//   answer with exactly bLength bytes of the same header, refuses the device. A header read that
//   gives no transfer, or a transfer that ended in error without data, leaves the string null.
// - Detach sets detachEvent before it takes the device lock, which ends a bulk OUT chunk that
//   flow control holds under the lock; detach does not rely on the host stack failing the
//   transfer before it calls the removal notification.
#include "usb/attach.h"

#include "bridge/bridge_port.h"
#include "bridge/bridge_requests.h"
#include "usb/byte_ring.h"
#include "usb/registration.h"
#include "usb/transfer.h"

namespace {

const UCHAR ProductStringIndex = 2;
const UCHAR SerialStringIndex = 3;
const UCHAR SerialStringIndexFive = 5;
const WORD StringLanguage = 3;

void CloseIfOpen(HANDLE* handle) {
  if (*handle != NULL) {
    CloseHandle(*handle);
    *handle = NULL;
  }
}

BOOL UsbTableUsable(LPCUSB_FUNCS usb) {
  return usb != NULL && !IsBadReadPtr(usb, sizeof(USB_FUNCS)) && usb->lpGetDeviceInfo != NULL &&
         usb->lpSetInterface != NULL && usb->lpOpenPipe != NULL && usb->lpClosePipe != NULL &&
         usb->lpGetDescriptor != NULL && usb->lpRegisterNotificationRoutine != NULL &&
         usb->lpUnRegisterNotificationRoutine != NULL && usb->lpIssueVendorTransfer != NULL &&
         usb->lpIssueBulkTransfer != NULL && usb->lpGetTransferStatus != NULL &&
         usb->lpCloseTransfer != NULL;
}

// Ends every wait, read and write of the handles of the port's stream device.
void AbortPortHandles(BridgePort* port) {
  ComDevice* com = BoundComDevice(port);
  if (com != NULL) ComEndAllWaits(com);
}

// Marks the device and every port detached and wakes everything waiting on them. The open check
// and the marking happen under one hold of the device lock, so that an Open racing with this sees
// the detached bit and fails. Returns the number of ports that were open; they and their
// closedEvent handles are stored in openPorts[] and closed[].
DWORD MarkDeviceDetached(BridgeDevice* device, BridgePort** openPorts, HANDLE* closed,
                         DWORD* notOpen) {
  DWORD count = 0;
  *notOpen = 0;
  // Ends a bulk OUT chunk that holds the lock, whatever order the host stack fails transfers and
  // notifies removal in.
  SetEvent(device->detachEvent);
  EnterDeviceLock(device);
  device->detached = 1;
  LeaveDeviceLock(device);

  for (DWORD i = 0; i < device->portCount && i < BridgeMaxPorts; ++i) {
    BridgePort* port = device->ports[i];
    if (!BridgeTagged(port)) continue;
    EnterDeviceLock(device);
    const LONG state = PortState(port);
    BOOL wasOpen = (state & PortOpened) != 0;
    // Whoever clears the opened bit under the lock owns stopping the poll timer.
    UINT timer = 0;
    if (wasOpen) {
      timer = port->pollTimer;
      port->pollTimer = 0;
    }
    PortStateChange(port, PortDetached, PortOpened);
    if (port->inDone != NULL) SetEvent(port->inDone);
    LeaveDeviceLock(device);

    StopModemPoll(port, timer);
    if (wasOpen) {
      AbortPortHandles(port);
      openPorts[count] = port;
      closed[count] = port->closedEvent;
      ++count;
    } else {
      ++*notOpen;
    }
  }
  return count;
}

// Waits until the closedEvent of each open port has been signalled once. A failed wait ends the
// waiting. While it waits, the handles of the ports not yet closed are aborted again every
// ReabortPeriodMs: the core clears its abort flags when a call starts, so a read or event wait
// that an application starts after the detach would otherwise block for as long as its time-outs
// allow (for ever without time-outs), and the close detach waits for might never come.
void WaitForOpenPortsClosed(BridgePort** ports, HANDLE* events, DWORD count) {
  while (count > 0) {
    DWORD result = WaitForMultipleObjects(count, events, FALSE, ReabortPeriodMs);
    if (result == WAIT_TIMEOUT) {
      for (DWORD i = 0; i < count; ++i) AbortPortHandles(ports[i]);
      continue;
    }
    if (result >= WAIT_OBJECT_0 + count) return;
    DWORD index = result - WAIT_OBJECT_0;
    events[index] = events[count - 1];
    ports[index] = ports[count - 1];
    --count;
  }
}

// Gives the receive thread ReceiveThreadStopMs to end, then terminates it; closes its handle.
void StopReceiveThread(BridgePort* port) {
  if (port->receiveThread == NULL) return;
  if (WaitForSingleObject(port->receiveThread, ReceiveThreadStopMs) != WAIT_OBJECT_0) {
    TerminateThread(port->receiveThread, 0);
  }
  CloseHandle(port->receiveThread);
  port->receiveThread = NULL;
}

// The ordered shutdown shared by removal and by a failed attach:
// 1. mark the device and its ports detached (bridge requests now fail, Transmit sends nothing),
//    stop the poll timers and end the waits, reads and writes of every open port's handles;
// 2. wait for the open ports to be closed, ending calls started meanwhile: on removal only when
//    every port was open, after a failed attach always (a port is never released under an
//    application);
// 3. release and stop the receive threads (they end after their current pass);
// 4. after a removal, let the device manager settle for DetachSettleMs;
// 5. deactivate the stream devices (COM_Deinit runs within), then release everything.
void ShutDownDevice(BridgeDevice* device, BOOL removal) {
  BridgePort* openPorts[BridgeMaxPorts] = {};
  HANDLE closed[BridgeMaxPorts] = {};
  DWORD notOpen = 0;
  DWORD openCount = MarkDeviceDetached(device, openPorts, closed, &notOpen);
  if (!removal || notOpen == 0) WaitForOpenPortsClosed(openPorts, closed, openCount);

  if (device->attachDone != NULL) SetEvent(device->attachDone);
  // One index for both walks: compilers of the platform's era keep a for-loop variable alive
  // after its loop.
  DWORD i;
  for (i = 0; i < device->portCount && i < BridgeMaxPorts; ++i) {
    if (BridgeTagged(device->ports[i])) StopReceiveThread(device->ports[i]);
  }
  if (removal) Sleep(DetachSettleMs);
  for (i = 0; i < device->portCount && i < BridgeMaxPorts; ++i) {
    BridgePort* port = device->ports[i];
    if (BridgeTagged(port) && port->activeHandle != NULL) {
      DeactivateDevice(port->activeHandle);
      port->activeHandle = NULL;
    }
  }
  DestroyBridgeDevice(device);
}

// Reads one string descriptor into a block of twice its bLength. TRUE with *string null when the
// device gave no header; FALSE when the device answered inconsistently or the second read failed.
BOOL ReadStringDescriptor(BridgeDevice* device, UCHAR index, BYTE** string) {
  LPCUSB_FUNCS usb = device->usb;
  BYTE header[2] = {0, 0};
  USB_TRANSFER transfer =
      usb->lpGetDescriptor(device->hostDevice, NULL, NULL, 0, USB_STRING_DESCRIPTOR_TYPE, index,
                           StringLanguage, sizeof(header), header);
  if (transfer == NULL) return TRUE;
  DWORD bytes = 0;
  DWORD usbError = 0;
  BOOL statusRead = ReadTransferStatus(usb, transfer, &bytes, &usbError);
  CloseTransferHandle(usb, transfer);
  if (statusRead && usbError != USB_NO_ERROR && bytes == 0) return TRUE;
  if (!statusRead || usbError != USB_NO_ERROR || bytes != sizeof(header)) return FALSE;
  const WORD length = header[0];
  if (length < 2 || header[1] != USB_STRING_DESCRIPTOR_TYPE) return FALSE;

  BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, 2u * length));
  if (block == NULL) return FALSE;
  transfer = usb->lpGetDescriptor(device->hostDevice, NULL, NULL, 0, USB_STRING_DESCRIPTOR_TYPE,
                                  index, StringLanguage, length, block);
  if (transfer == NULL) {
    ReleaseBlock(block);
    return FALSE;
  }
  bytes = 0;
  usbError = 0;
  statusRead = ReadTransferStatus(usb, transfer, &bytes, &usbError);
  CloseTransferHandle(usb, transfer);
  if (!statusRead || usbError != USB_NO_ERROR || bytes != length || block[0] != length ||
      block[1] != USB_STRING_DESCRIPTOR_TYPE) {
    ReleaseBlock(block);
    return FALSE;
  }
  *string = block;
  return TRUE;
}

// Builds port number index of the device; on failure the partly built port stays in ports[] for
// the shutdown to release.
BOOL BuildPort(BridgeDevice* device, DWORD index) {
  WCHAR keyPath[PortKeyPathChars];
  if (!BuildPortKeyPath(keyPath, PortKeyPathChars, index, device->vendorId, device->productId)) {
    return FALSE;
  }
  LPCUSB_INTERFACE iface = InterfaceAt(device->hostDevice, device->usb, index);
  if (iface == NULL) return FALSE;

  BridgePort* port = static_cast<BridgePort*>(LocalAlloc(LPTR, sizeof(BridgePort)));
  if (port == NULL) return FALSE;
  device->ports[index] = port;
  port->signature = BridgeSignature;
  port->device = device;
  InitializeCriticalSection(&port->ringLock);
  InitializeCriticalSection(&port->eventLock);
  port->interfaceNumber = iface->Descriptor.bInterfaceNumber;
  port->closedEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (port->closedEvent == NULL) return FALSE;
  port->roomEvent = CreateEventW(NULL, FALSE, FALSE, NULL);
  if (port->roomEvent == NULL) return FALSE;

  if (!OpenPortPipes(port, iface)) return FALSE;

  port->ring = static_cast<ByteRing*>(LocalAlloc(LPTR, sizeof(ByteRing)));
  if (port->ring == NULL) return FALSE;
  if (RingInit(port->ring, 1, PortRingCapacity, 0) == NULL || port->ring->storage == NULL) {
    return FALSE;
  }

  port->activeHandle = ActivateDevice(keyPath, reinterpret_cast<DWORD_PTR>(port));
  if (port->activeHandle == NULL) return FALSE;

  port->receiveThread = CreateThread(NULL, 0, ReceiveThreadProc, port, 0, NULL);
  if (port->receiveThread == NULL ||
      !SetThreadPriority(port->receiveThread, THREAD_PRIORITY_HIGHEST)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  return TRUE;
}

// Closes a pipe through the device's table when the port still knows its device.
void ClosePortPipe(BridgePort* port, USB_PIPE* pipe) {
  if (*pipe == NULL) return;
  if (port->device != NULL && port->device->usb != NULL) port->device->usb->lpClosePipe(*pipe);
  *pipe = NULL;
}

// Releases one port whose receive thread has been stopped; reverse order of BuildPort.
void ReleasePort(BridgePort* port) {
  StopReceiveThread(port);
  ClosePortPipe(port, &port->inPipe);
  CloseIfOpen(&port->inDone);
  ClosePortPipe(port, &port->outPipe);
  CloseIfOpen(&port->outDone);
  CloseIfOpen(&port->closedEvent);
  CloseIfOpen(&port->roomEvent);
  port->device = NULL;
  if (port->ring != NULL) {
    if (port->ring->storage != NULL) RingFree(port->ring);
    ReleaseBlock(port->ring);
    port->ring = NULL;
  }
  DeleteCriticalSection(&port->eventLock);
  DeleteCriticalSection(&port->ringLock);
  ReleaseBlock(port);
}

}  // namespace

LPCUSB_INTERFACE InterfaceAt(USB_HANDLE device, LPCUSB_FUNCS usb, DWORD index) {
  if (usb == NULL || usb->lpGetDeviceInfo == NULL) return NULL;
  LPCUSB_DEVICE info = usb->lpGetDeviceInfo(device);
  if (info == NULL || info->lpActiveConfig == NULL) return NULL;
  LPCUSB_CONFIGURATION config = info->lpActiveConfig;
  if (index >= config->dwNumInterfaces || config->lpInterfaces == NULL) return NULL;
  return &config->lpInterfaces[index];
}

BOOL OpenPortPipes(BridgePort* port, LPCUSB_INTERFACE iface) {
  if (!BridgeTagged(port) || iface == NULL || port->device == NULL) return FALSE;
  BridgeDevice* device = port->device;
  LPCUSB_FUNCS usb = device->usb;
  USB_TRANSFER selected =
      usb->lpSetInterface(device->hostDevice, NULL, NULL, 0, iface->Descriptor.bInterfaceNumber,
                          iface->Descriptor.bAlternateSetting);
  if (selected == NULL) return FALSE;

  BOOL ok = TRUE;
  const DWORD endpoints = iface->Descriptor.bNumEndpoints;
  if (endpoints > 0 && iface->lpEndpoints == NULL) ok = FALSE;
  for (DWORD i = 0; ok && i < endpoints; ++i) {
    const USB_ENDPOINT_DESCRIPTOR* endpoint = &iface->lpEndpoints[i].Descriptor;
    if ((endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) continue;
    // The first bulk endpoint of each direction is used; the IN side's event is auto-reset, the
    // OUT side's manual-reset (see BulkTransferWait).
    const bool in = (endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
    USB_PIPE* pipe = in ? &port->inPipe : &port->outPipe;
    if (*pipe != NULL) continue;
    *pipe = usb->lpOpenPipe(device->hostDevice, endpoint);
    if (*pipe == NULL) {
      ok = FALSE;
      break;
    }
    HANDLE* done = in ? &port->inDone : &port->outDone;
    *done = CreateEventW(NULL, in ? FALSE : TRUE, FALSE, NULL);
    if (*done == NULL) ok = FALSE;
    (in ? port->inEndpoint : port->outEndpoint) = endpoint->bEndpointAddress;
  }
  CloseTransferHandle(usb, selected);
  return ok && port->inPipe != NULL && port->inDone != NULL && port->outPipe != NULL &&
         port->outDone != NULL;
}

BOOL DeviceAttach(USB_HANDLE device, LPCUSB_FUNCS usb, LPCUSB_INTERFACE iface,
                  LPCWSTR uniqueDriverId, LPBOOL acceptControl, LPCUSB_DRIVER_SETTINGS settings,
                  DWORD reserved) {
  (void)iface;
  (void)uniqueDriverId;
  (void)reserved;
  if (acceptControl != NULL) *acceptControl = FALSE;
  if (acceptControl == NULL || settings == NULL ||
      IsBadReadPtr(settings, sizeof(USB_DRIVER_SETTINGS)) || !UsbTableUsable(usb)) {
    return FALSE;
  }
  const WORD vendorId = static_cast<WORD>(settings->dwVendorId & 0xFFFFu);
  const WORD productId = static_cast<WORD>(settings->dwProductId & 0xFFFFu);

  BridgeDevice* bridge = static_cast<BridgeDevice*>(LocalAlloc(LPTR, sizeof(BridgeDevice)));
  if (bridge == NULL) return FALSE;
  bridge->signature = BridgeSignature;
  InitializeCriticalSection(&bridge->lock);

  // Before the ports are in place the record is released directly: portCount may exceed the
  // ports array here.
  LPCUSB_DEVICE info = usb->lpGetDeviceInfo(device);
  DWORD interfaces = 0;
  if (info != NULL && info->lpActiveConfig != NULL) {
    interfaces = info->lpActiveConfig->dwNumInterfaces;
  }
  if (interfaces <= BridgeMaxPorts) {
    bridge->attachDone = CreateEventW(NULL, TRUE, FALSE, NULL);
    bridge->detachEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    bridge->lockWanted = CreateEventW(NULL, FALSE, FALSE, NULL);
  }
  if (bridge->attachDone == NULL || bridge->detachEvent == NULL || bridge->lockWanted == NULL) {
    CloseIfOpen(&bridge->attachDone);
    CloseIfOpen(&bridge->detachEvent);
    CloseIfOpen(&bridge->lockWanted);
    DeleteCriticalSection(&bridge->lock);
    ReleaseBlock(bridge);
    return FALSE;
  }
  bridge->portCount = interfaces;
  bridge->detached = 0;
  bridge->hostDevice = device;
  bridge->usb = usb;
  bridge->vendorId = vendorId;
  bridge->productId = productId;

  BOOL ok = TRUE;
  // At least once: a configuration without interfaces fails at its first interface lookup.
  for (DWORD i = 0; ok && (i == 0 || i < bridge->portCount); ++i) ok = BuildPort(bridge, i);

  if (ok) {
    // Nobody else can reach the bridge yet; the lock is taken because every request expects it.
    EnterDeviceLock(bridge);
    bridge->partNumber = BridgeQueryPartNumber(bridge);
    LeaveDeviceLock(bridge);
    ok = ReadStringDescriptor(bridge, ProductStringIndex, &bridge->productString);
  }
  if (ok) {
    UCHAR serialIndex = bridge->partNumber == 5 ? SerialStringIndexFive : SerialStringIndex;
    ok = ReadStringDescriptor(bridge, serialIndex, &bridge->serialString);
  }
  if (ok) ok = usb->lpRegisterNotificationRoutine(device, DeviceNotify, bridge);
  if (!ok) {
    ShutDownDevice(bridge, FALSE);
    return FALSE;
  }
  *acceptControl = TRUE;
  SetEvent(bridge->attachDone);
  return TRUE;
}

BOOL WINAPI DeviceNotify(LPVOID context, DWORD code, LPDWORD* info1, LPDWORD* info2, LPDWORD* info3,
                         LPDWORD* info4) {
  (void)info1;
  (void)info2;
  (void)info3;
  (void)info4;
  BridgeDevice* device = static_cast<BridgeDevice*>(context);
  if (!BridgeTagged(device) || code != USB_CLOSE_DEVICE) return FALSE;
  ShutDownDevice(device, TRUE);
  return TRUE;
}

void DestroyBridgeDevice(BridgeDevice* device) {
  if (!BridgeTagged(device)) return;
  BOOL portLeft = FALSE;
  for (DWORD i = 0; i < device->portCount && i < BridgeMaxPorts; ++i) {
    BridgePort* port = device->ports[i];
    if (BridgeTagged(port)) {
      if (PortState(port) & PortOpened) {
        // Still in use by an application: its pipes, ring, events and device must outlive it.
        portLeft = TRUE;
        continue;
      }
      ReleasePort(port);
    }
    device->ports[i] = NULL;
  }
  if (device->usb != NULL) {
    device->usb->lpUnRegisterNotificationRoutine(device->hostDevice, DeviceNotify, device);
  }
  if (portLeft) return;
  ReleaseBlock(device->productString);
  device->productString = NULL;
  ReleaseBlock(device->serialString);
  device->serialString = NULL;
  CloseIfOpen(&device->attachDone);
  CloseIfOpen(&device->detachEvent);
  CloseIfOpen(&device->lockWanted);
  DeleteCriticalSection(&device->lock);
  ReleaseBlock(device);
}
