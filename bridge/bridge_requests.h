// The bridge's vendor protocol: every request on the default control endpoint, the translation of a
// DCB into the four line-setting requests, the part-number query, the latch (general-purpose I/O)
// requests and the driver's own control codes.
//
// The request routines take no lock: every caller holds the BridgeDevice lock (port operations,
// the modem poll, SetLineSettings and the two latch control codes), so that requests of both ports
// of a bridge never overlap each other or a bulk OUT chunk. Each returns a Win32 error code: 0, 6
// when the device is detached (nothing is sent, last error untouched), 50 for a latch request the
// part number has no form for, or the code of VendorTransferWait (also the thread's last error).
#pragma once

#include "bridge/bridge_records.h"
#include "bridge/port_ops.h"
#include "platform/ce_serial.h"

// bRequest codes.
const BYTE ReqInterfaceEnable = 0x00;
const BYTE ReqLineControl = 0x03;
const BYTE ReqBreak = 0x05;
const BYTE ReqImmediateChar = 0x06;
const BYTE ReqModemHandshake = 0x07;
const BYTE ReqModemStatus = 0x08;
const BYTE ReqProperties = 0x0F;
const BYTE ReqCommStatus = 0x10;
const BYTE ReqReset = 0x11;
const BYTE ReqPurge = 0x12;
const BYTE ReqFlow = 0x13;
const BYTE ReqSpecialChars = 0x19;
const BYTE ReqBaudRate = 0x1E;
const BYTE ReqVendor = 0xFF;

// bmRequestType: direction, vendor type, recipient.
const BYTE ReqTypeOutInterface = 0x41;
const BYTE ReqTypeInInterface = 0xC1;
const BYTE ReqTypeOutDevice = 0x40;
const BYTE ReqTypeInDevice = 0xC0;

// Transfer flags of every request; IN requests add USB_IN_TRANSFER.
const DWORD BridgeRequestFlags = USB_VENDOR_REQUEST;
const DWORD BridgeRequestInFlags = (USB_VENDOR_REQUEST | USB_IN_TRANSFER);

// wValue of the ReqVendor requests.
const WORD VendorPartNumber = 0x370B;
const WORD VendorWriteLatch = 0x37E1;
const WORD VendorReadLatch = 0x00C2;

// wValue of ReqInterfaceEnable. Enable is all bits set, not 1.
const DWORD BridgeEnableValue = 0xFFFF;
const DWORD BridgeDisableValue = 0x0000;

// ReqModemHandshake words: the high byte selects the line to change, the low byte gives its level
// in the same bit (DTR bit 0, RTS bit 1), so RTS high is 0x0202, not 0x0201. Each word the driver
// sends changes exactly one line.
const WORD HandshakeChangeDtr = 0x0100, HandshakeDtrLevel = 0x0001;
const WORD HandshakeChangeRts = 0x0200, HandshakeRtsLevel = 0x0002;

// Flow record (ReqFlow data): four little-endian 32-bit words.
const DWORD BridgeFlowRecordSize = 16;
// controlHandshake
const DWORD FlowDtrOn = 0x01;
const DWORD FlowDtrHandshake = 0x02;
const DWORD FlowCtsHandshake = 0x08;
const DWORD FlowDsrHandshake = 0x10;
const DWORD FlowDsrSensitivity = 0x40;
// flowReplace
const DWORD FlowAutoTransmit = 0x01;  // XON/XOFF on output
const DWORD FlowAutoReceive = 0x02;   // XON/XOFF on input
const DWORD FlowErrorChar = 0x04;
const DWORD FlowNullStrip = 0x08;
const DWORD FlowRtsOn = 0x40;
const DWORD FlowRtsHandshake = 0x80;
const DWORD FlowRtsToggle = 0xC0;
const DWORD FlowTxContinueOnXoff = 0x80000000u;

// Special characters (ReqSpecialChars data): EofChar, ErrorChar, break (always 0), EvtChar,
// XonChar, XoffChar.
const DWORD BridgeSpecialCharsSize = 6;
const DWORD BridgeBaudRateSize = 4;
const DWORD BridgePropertiesSize = 64;

// BridgeCommStatus (ReqCommStatus answer), 19 bytes; byte offsets of the fields read.
const DWORD BridgeCommStatusSize = 19;
const DWORD CommStatusHoldReasons = 4;  // little-endian 32-bit; bits 0x01-0x10 are COMSTAT flags
const DWORD CommStatusTxQueued = 12;    // little-endian 32-bit
const DWORD CommStatusEofReceived = 16;
const DWORD CommStatusWaitForImmediate = 17;

// The driver's own control codes: device type 0x22, functions 0x800-0x804, buffered, any access.
const DWORD CtlWriteLatch = 0x222000;        // in: mask, value
const DWORD CtlReadLatch = 0x222004;         // out: latch byte
const DWORD CtlGetPartNumber = 0x222008;     // out: low byte of partNumber
const DWORD CtlGetProductString = 0x22200C;  // out: the raw product string descriptor
const DWORD CtlGetSerialString = 0x222010;   // out: the raw serial string descriptor

// The device lock, entered and left only through these, so that DeviceLockHeld can tell whether
// the calling thread holds it. Every vendor request and bulk OUT chunk checks it in debug builds.
void EnterDeviceLock(BridgeDevice* device);
void LeaveDeviceLock(BridgeDevice* device);
bool DeviceLockHeld(BridgeDevice* device);

// Enters the device lock for a short request (line change, immediate character, break, status,
// modem or property read, purge, line settings, latch). It announces itself first, so that a bulk
// OUT chunk waiting under the lock steps aside until it is through; see bridge_records.h.
void EnterDeviceLockShort(BridgeDevice* device);

DWORD SendBridgeRequest(BridgeDevice* device, DWORD flags, BYTE requestType, BYTE request,
                        WORD value, WORD index, WORD length, void* data);

DWORD BridgeEnable(BridgePort* port);
DWORD BridgeDisable(BridgePort* port);
DWORD BridgeSetLineControl(BridgePort* port, WORD lineControl);
DWORD BridgeBreakOff(BridgePort* port);
DWORD BridgeBreakOn(BridgePort* port);
DWORD BridgeSendChar(BridgePort* port, BYTE character);
DWORD BridgeSetHandshake(BridgePort* port, WORD handshake);
// A short answer is a success; the bytes not delivered keep what the buffer held.
DWORD BridgeGetModemStatus(BridgePort* port, BYTE* status);
DWORD BridgeGetProperties(BridgePort* port, BYTE* properties);  // 64 bytes
DWORD BridgeGetCommStatus(BridgePort* port, BYTE* commStatus);  // 19 bytes
DWORD BridgeReset(BridgePort* port);
DWORD BridgePurge(BridgePort* port, DWORD purgeFlags);             // the bridge gets the low 8 bits
DWORD BridgeSetFlow(BridgePort* port, const BYTE* flowRecord);     // 16 bytes
DWORD BridgeSetChars(BridgePort* port, const BYTE* specialChars);  // 6 bytes
DWORD BridgeSetBaudRate(BridgePort* port, DWORD baudRate);

// Request form by the device's partNumber: 3, 4 and 6 device-level, 5 interface-level; any other
// part number gives 50 without a request.
DWORD BridgeWriteLatch(BridgePort* port, BYTE mask, BYTE value);
DWORD BridgeReadLatch(BridgePort* port, BYTE* latch);

// Builds the four line-setting requests of a DCB (exposed for their byte layout).
WORD BridgeLineControlWord(const DCB* dcb);
void BridgeBuildFlowRecord(const DCB* dcb, BYTE* flowRecord);      // 16 bytes
void BridgeBuildSpecialChars(const DCB* dcb, BYTE* specialChars);  // 6 bytes

// The SetLineSettings and Control slots.
BOOL BridgeSetLineSettings(PortContext context, const DCB* dcb);
BOOL BridgeControl(PortContext context, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                   DWORD outSize, DWORD* actualOut);
