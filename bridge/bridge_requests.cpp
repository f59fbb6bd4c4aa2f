// Vendor requests of the bridge, the DCB translation, the part-number query, the latch requests
// and the driver's own control codes.
#include "bridge/bridge_requests.h"

#include <assert.h>

#include "usb/transfer.h"

namespace {

void PutWord32(BYTE* out, DWORD value) {
  out[0] = (BYTE)value;
  out[1] = (BYTE)(value >> 8);
  out[2] = (BYTE)(value >> 16);
  out[3] = (BYTE)(value >> 24);
}

// An interface-level request without data stage.
DWORD InterfaceOut(BridgePort* port, BYTE request, WORD value) {
  return SendBridgeRequest(port->device, BridgeRequestFlags, ReqTypeOutInterface, request, value,
                           port->interfaceNumber, 0, NULL);
}

DWORD InterfaceOutData(BridgePort* port, BYTE request, const BYTE* data, WORD length) {
  return SendBridgeRequest(port->device, BridgeRequestFlags, ReqTypeOutInterface, request, 0,
                           port->interfaceNumber, length, const_cast<BYTE*>(data));
}

DWORD InterfaceIn(BridgePort* port, BYTE request, BYTE* data, WORD length) {
  return SendBridgeRequest(port->device, BridgeRequestInFlags, ReqTypeInInterface, request, 0,
                           port->interfaceNumber, length, data);
}

enum LatchForm { LatchNone, LatchDevice, LatchInterface };

LatchForm LatchFormOf(const BridgeDevice* device) {
  switch (device->partNumber) {
    case 3:
    case 4:
    case 6:
      return LatchDevice;
    case 5:
      return LatchInterface;
    default:
      return LatchNone;
  }
}

// Copies a raw string descriptor for the string control codes. The descriptor came from the
// device: its first byte is only a claim, so no more than the block actually stored is copied.
BOOL CopyStringDescriptor(const BYTE* descriptor, BYTE* outBuffer, DWORD outSize) {
  if (descriptor == NULL || outBuffer == NULL) return FALSE;
  DWORD length = descriptor[0];
  SIZE_T stored = LocalSize((HLOCAL)descriptor);
  if (stored < length) length = (DWORD)stored;
  if (outSize < length) return FALSE;
  if (length != 0 && IsBadWritePtr(outBuffer, length)) return FALSE;
  for (DWORD i = 0; i < length; ++i) outBuffer[i] = descriptor[i];
  return TRUE;
}

}  // namespace

void EnterDeviceLock(BridgeDevice* device) {
  EnterCriticalSection(&device->lock);
  if (device->lockDepth++ == 0)
    InterlockedExchange((LONG*)&device->lockOwner, (LONG)GetCurrentThreadId());
}

void LeaveDeviceLock(BridgeDevice* device) {
  if (--device->lockDepth == 0) InterlockedExchange((LONG*)&device->lockOwner, 0);
  LeaveCriticalSection(&device->lock);
}

// Only the holder itself can find its own id here: another thread may see a stale owner, but
// never its own id unless it holds the lock.
bool DeviceLockHeld(BridgeDevice* device) {
  return (DWORD)InterlockedExchangeAdd((LONG*)&device->lockOwner, 0) == GetCurrentThreadId();
}

void EnterDeviceLockShort(BridgeDevice* device) {
  InterlockedIncrement(&device->lockWaiters);
  if (device->lockWanted != NULL) SetEvent(device->lockWanted);
  EnterDeviceLock(device);
  InterlockedDecrement(&device->lockWaiters);
}

DWORD SendBridgeRequest(BridgeDevice* device, DWORD flags, BYTE requestType, BYTE request,
                        WORD value, WORD index, WORD length, void* data) {
  if (device->detached) return ERROR_INVALID_HANDLE;
  // Requests of both ports of a bridge must not overlap: every caller holds the device lock.
  assert(DeviceLockHeld(device));

  USB_DEVICE_REQUEST setup;
  setup.bmRequestType = requestType;
  setup.bRequest = request;
  setup.wValue = value;
  setup.wIndex = index;
  setup.wLength = length;

  // The byte count is deliberately not looked at: a short answer to an IN request is a success.
  DWORD bytes = 0;
  DWORD usbError = 0;
  return VendorTransferWait(device->usb, device->hostDevice, NULL, NULL, flags, &setup, data, 0,
                            &bytes, 0, &usbError);
}

DWORD BridgeEnable(BridgePort* port) {
  return InterfaceOut(port, ReqInterfaceEnable, BridgeEnableValue);
}

DWORD BridgeDisable(BridgePort* port) {
  return InterfaceOut(port, ReqInterfaceEnable, BridgeDisableValue);
}

DWORD BridgeSetLineControl(BridgePort* port, WORD lineControl) {
  return InterfaceOut(port, ReqLineControl, lineControl);
}

DWORD BridgeBreakOff(BridgePort* port) {
  return InterfaceOut(port, ReqBreak, 0);
}

DWORD BridgeBreakOn(BridgePort* port) {
  return InterfaceOut(port, ReqBreak, 1);
}

DWORD BridgeSendChar(BridgePort* port, BYTE character) {
  return InterfaceOut(port, ReqImmediateChar, character);
}

DWORD BridgeSetHandshake(BridgePort* port, WORD handshake) {
  return InterfaceOut(port, ReqModemHandshake, handshake);
}

DWORD BridgeGetModemStatus(BridgePort* port, BYTE* status) {
  return InterfaceIn(port, ReqModemStatus, status, 1);
}

DWORD BridgeGetProperties(BridgePort* port, BYTE* properties) {
  return InterfaceIn(port, ReqProperties, properties, BridgePropertiesSize);
}

DWORD BridgeGetCommStatus(BridgePort* port, BYTE* commStatus) {
  return InterfaceIn(port, ReqCommStatus, commStatus, BridgeCommStatusSize);
}

DWORD BridgeReset(BridgePort* port) {
  return InterfaceOut(port, ReqReset, 0);
}

DWORD BridgePurge(BridgePort* port, DWORD purgeFlags) {
  return InterfaceOut(port, ReqPurge, (WORD)(purgeFlags & 0xFFu));
}

DWORD BridgeSetFlow(BridgePort* port, const BYTE* flowRecord) {
  return InterfaceOutData(port, ReqFlow, flowRecord, BridgeFlowRecordSize);
}

DWORD BridgeSetChars(BridgePort* port, const BYTE* specialChars) {
  return InterfaceOutData(port, ReqSpecialChars, specialChars, BridgeSpecialCharsSize);
}

DWORD BridgeSetBaudRate(BridgePort* port, DWORD baudRate) {
  BYTE data[BridgeBaudRateSize];
  PutWord32(data, baudRate);
  return InterfaceOutData(port, ReqBaudRate, data, BridgeBaudRateSize);
}

DWORD BridgeWriteLatch(BridgePort* port, BYTE mask, BYTE value) {
  switch (LatchFormOf(port->device)) {
    case LatchDevice:
      // Mask in the low byte, value in the high byte of wIndex; no data stage.
      return SendBridgeRequest(port->device, BridgeRequestFlags, ReqTypeOutDevice, ReqVendor,
                               VendorWriteLatch, (WORD)(mask | (value << 8)), 0, NULL);
    case LatchInterface: {
      BYTE data[2] = {mask, value};
      return SendBridgeRequest(port->device, BridgeRequestFlags, ReqTypeOutInterface, ReqVendor,
                               VendorWriteLatch, port->interfaceNumber, 2, data);
    }
    case LatchNone:
      break;
  }
  return ERROR_NOT_SUPPORTED;
}

DWORD BridgeReadLatch(BridgePort* port, BYTE* latch) {
  switch (LatchFormOf(port->device)) {
    case LatchDevice:
      return SendBridgeRequest(port->device, BridgeRequestInFlags, ReqTypeInDevice, ReqVendor,
                               VendorReadLatch, 0, 1, latch);
    case LatchInterface:
      return SendBridgeRequest(port->device, BridgeRequestInFlags, ReqTypeInInterface, ReqVendor,
                               VendorReadLatch, port->interfaceNumber, 1, latch);
    case LatchNone:
      break;
  }
  return ERROR_NOT_SUPPORTED;
}

DWORD BridgeQueryPartNumber(BridgeDevice* device) {
  if (device == NULL) return 0;
  BridgePort* first = device->ports[0];
  if (first == NULL) return 0;
  // This part is recognised by its endpoint layout and does not know the query.
  if ((first->inEndpoint & 0x0F) == 3 && (first->outEndpoint & 0x0F) == 3) return 1;
  // The bridge answers one byte; the result code is not looked at, a failure leaves 0.
  DWORD partNumber = 0;
  SendBridgeRequest(device, BridgeRequestInFlags, ReqTypeInDevice, ReqVendor, VendorPartNumber, 0,
                    1, &partNumber);
  return partNumber;
}

WORD BridgeLineControlWord(const DCB* dcb) {
  return (WORD)((dcb->StopBits & 0x0Fu) | ((dcb->Parity & 0x0Fu) << 4) |
                ((DWORD)dcb->ByteSize << 8));
}

void BridgeBuildFlowRecord(const DCB* dcb, BYTE* flowRecord) {
  DWORD control = 0;
  if (dcb->fDtrControl == DTR_CONTROL_ENABLE) control = FlowDtrOn;
  if (dcb->fDtrControl == DTR_CONTROL_HANDSHAKE) control = FlowDtrHandshake;
  if (dcb->fOutxCtsFlow) control |= FlowCtsHandshake;
  if (dcb->fOutxDsrFlow) control |= FlowDsrHandshake;
  if (dcb->fDsrSensitivity) control |= FlowDsrSensitivity;

  DWORD replace = 0;
  if (dcb->fOutX) replace |= FlowAutoTransmit;
  if (dcb->fInX) replace |= FlowAutoReceive;
  if (dcb->fErrorChar) replace |= FlowErrorChar;
  if (dcb->fNull) replace |= FlowNullStrip;
  switch (dcb->fRtsControl) {
    case RTS_CONTROL_ENABLE:
      replace |= FlowRtsOn;
      break;
    case RTS_CONTROL_HANDSHAKE:
      replace |= FlowRtsHandshake;
      break;
    case RTS_CONTROL_TOGGLE:
      replace |= FlowRtsToggle;
      break;
    default:
      break;
  }
  if (dcb->fTXContinueOnXoff) replace |= FlowTxContinueOnXoff;

  PutWord32(flowRecord, control);
  PutWord32(flowRecord + 4, replace);
  PutWord32(flowRecord + 8, dcb->XonLim);
  PutWord32(flowRecord + 12, dcb->XoffLim);
}

void BridgeBuildSpecialChars(const DCB* dcb, BYTE* specialChars) {
  specialChars[0] = (BYTE)dcb->EofChar;
  specialChars[1] = (BYTE)dcb->ErrorChar;
  specialChars[2] = 0;  // break character
  specialChars[3] = (BYTE)dcb->EvtChar;
  specialChars[4] = (BYTE)dcb->XonChar;
  specialChars[5] = (BYTE)dcb->XoffChar;
}

namespace {

// Data bits 5 to 8, parity codes 0 to 4 (none, odd, even, mark, space), stop bits 0 to 2 (one, one
// and a half, two) and a baud rate above 0: what the line control and baud requests can carry.
bool LineFormatCarried(const DCB* dcb) {
  return dcb->BaudRate != 0 && dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && dcb->Parity <= 4 &&
         dcb->StopBits <= 2;
}

// The four line-setting requests, in order, stopping at the first failure. Device lock held.
DWORD SendLineSettings(BridgePort* port, const DCB* dcb) {
  BYTE flowRecord[BridgeFlowRecordSize];
  BYTE specialChars[BridgeSpecialCharsSize];
  BridgeBuildFlowRecord(dcb, flowRecord);
  BridgeBuildSpecialChars(dcb, specialChars);
  DWORD result = BridgeSetBaudRate(port, dcb->BaudRate);
  if (result == 0) result = BridgeSetLineControl(port, BridgeLineControlWord(dcb));
  if (result == 0) result = BridgeSetFlow(port, flowRecord);
  if (result == 0) result = BridgeSetChars(port, specialChars);
  return result;
}

}  // namespace

BOOL BridgeSetLineSettings(PortContext context, const DCB* dcb) {
  BridgePort* port = static_cast<BridgePort*>(context);
  if (!BridgeTagged(port) || dcb == NULL) return FALSE;

  // A line format the bridge cannot carry is refused before anything goes out.
  if (!LineFormatCarried(dcb)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }

  // Stops at the first failure. The settings in force before (the core's, which it keeps until
  // this succeeds) are then sent again, so that the line matches what GetCommState reports.
  BridgeDevice* device = port->device;
  EnterDeviceLockShort(device);
  DWORD result = SendLineSettings(port, dcb);
  if (result != 0) {
    ComDevice* comDevice = BoundComDevice(port);
    if (comDevice != NULL) {
      DCB previous;
      ComLineSettings(comDevice, &previous);
      if (LineFormatCarried(&previous)) SendLineSettings(port, &previous);
    }
    SetLastError(result);
  }
  LeaveDeviceLock(device);
  return result == 0 ? TRUE : FALSE;
}

// The returned-byte count is not used: the caller knows the length from the code (one byte) or
// from the descriptor's first byte.
BOOL BridgeControl(PortContext context, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                   DWORD outSize, DWORD* actualOut) {
  (void)actualOut;
  BridgePort* port = static_cast<BridgePort*>(context);
  if (!BridgeTagged(port)) return FALSE;
  BridgeDevice* device = port->device;

  switch (code) {
    case CtlWriteLatch: {
      if (inBuffer == NULL || inSize < 2 || IsBadReadPtr(inBuffer, 2)) return FALSE;
      BYTE mask = inBuffer[0];
      BYTE value = inBuffer[1];
      EnterDeviceLockShort(device);
      DWORD result = BridgeWriteLatch(port, mask, value);
      LeaveDeviceLock(device);
      return result == 0 ? TRUE : FALSE;
    }
    case CtlReadLatch: {
      if (outBuffer == NULL || outSize < 1 || IsBadWritePtr(outBuffer, 1)) return FALSE;
      EnterDeviceLockShort(device);
      DWORD result = BridgeReadLatch(port, outBuffer);
      LeaveDeviceLock(device);
      return result == 0 ? TRUE : FALSE;
    }
    case CtlGetPartNumber:
      if (outBuffer == NULL || outSize < 1 || IsBadWritePtr(outBuffer, 1)) return FALSE;
      outBuffer[0] = (BYTE)device->partNumber;
      return TRUE;
    case CtlGetProductString:
      return CopyStringDescriptor(device->productString, outBuffer, outSize);
    case CtlGetSerialString:
      return CopyStringDescriptor(device->serialString, outBuffer, outSize);
    default:
      return FALSE;
  }
}
