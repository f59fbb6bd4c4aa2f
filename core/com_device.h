// The serial core's records: one ComDevice per activated port, one ComHandle per open.
//
// Lock order: openListLock before any handle's waitLock; txLock before txStateLock; rxLock before
// rxBufferLock. The port implementation takes its own locks inside slot calls, after any of these.
// (The field comments below say what each lock protects.)
#pragma once

#include "bridge/port_ops.h"
#include "platform/ce_os.h"
#include "platform/ce_serial.h"

// flowFlags bits.
enum : DWORD {
  StopThread = 0x01,    // the event thread must exit
  SoftFlow = 0x02,      // the current DCB has fOutX or fInX
  TxHeldByXoff = 0x04,  // transmission held by XOFF (received, or sent without fTXContinueOnXoff)
  XoffSent = 0x08,      // the core sent XoffChar and not yet XonChar
  DtrFlowOff = 0x10,    // DTR dropped by input flow control
  RtsFlowOff = 0x20,    // RTS dropped by input flow control
  ReadAborted = 0x40,   // the read in progress ends with error 995
  WriteAborted = 0x80,  // the write in progress was aborted
};

// Handle access bits.
#define COM_ACCESS_READ_WRITE 0xC0000000u
#define COM_ACCESS_BUS 0x00000100u

struct ComListLink {
  ComListLink* next;
  ComListLink* prev;
};

struct ComDevice;

struct ComHandle {
  ComDevice* device;
  DWORD access;        // top four bits cleared for a bus-access handle
  DWORD shareMode;     // stored, not consulted
  LONG volatile busy;  // calls in progress; interlocked only
  HANDLE commEvent;    // auto-reset
  DWORD eventMask;     // under waitLock
  LONG volatile eventState;  // atomic OR by raisers, atomic swap by the waiter, inside waitLock
  DWORD abortWait;           // under waitLock
  CRITICAL_SECTION waitLock;
  ComListLink link;  // place in the device's openList
};

struct ComDevice {
  CRITICAL_SECTION txLock;  // held by COM_Write for the whole call
  CRITICAL_SECTION rxLock;  // held by COM_Read for the whole call
  PortBinding* binding;
  PortContext port;
  HANDLE wakeEvent;    // wakes the event thread
  HANDLE rxEvent;      // data available; set or pulsed to abort a read
  HANDLE exitEvent;    // set by the event thread just before it exits
  HANDLE txDoneEvent;  // the current write was handed over completely or aborted
  HANDLE thread;       // the event thread; 0 when none
  DWORD threadPriority;
  DWORD rxDiscarded;
  DWORD rxPortReported;
  DWORD rxTotal;
  DWORD txTotal;
  DWORD outQueue;   // length of the write in progress (txStateLock)
  DWORD txWritten;  // bytes of the current write accepted by the port (txStateLock)
  DCB dcb;
  COMMTIMEOUTS timeouts;
  DWORD openCount;           // open data handles (openListLock)
  LONG volatile flowFlags;   // changed only by atomic bit operations
  DWORD eventMaskUnion;
  DWORD volatile rxRead;     // written only by readers and purge
  DWORD volatile rxWrite;    // written only by the event thread
  DWORD rxSize;
  BYTE* rxBuffer;
  CRITICAL_SECTION rxBufferLock;  // copy-out and rxRead moves; purge
  DWORD txPermissions;  // txStateLock
  DWORD txSent;         // txStateLock
  DWORD txLength;       // txStateLock
  const BYTE* txBuffer; // txStateLock; null when no write is in progress
  CRITICAL_SECTION txStateLock;  // the current-write fields; the transmit pump runs under it
  ComListLink openList;          // all handles, data and bus-access (openListLock)
  CRITICAL_SECTION openListLock; // serialises open, close and de-initialisation
  ComHandle* owner;              // the handle with read or write access (openListLock)
};

// The stream interface, under internal names; module/ exports them as COM_Init ... COM_PowerDown.
// ComInit binds the new device to the given port table.
ComDevice* ComInit(LPCWSTR activeKey, const PortOps* ops);
BOOL ComDeinit(ComDevice* device);
ComHandle* ComOpen(ComDevice* device, DWORD access, DWORD shareMode);
BOOL ComClose(ComHandle* handle);
DWORD ComRead(ComHandle* handle, LPVOID buffer, DWORD length);   // (DWORD)-1 on failure
DWORD ComWrite(ComHandle* handle, LPCVOID buffer, DWORD length);  // (DWORD)-1 on failure
DWORD ComSeek(ComHandle* handle, LONG distance, DWORD method);    // always (DWORD)-1
BOOL ComIOControl(ComHandle* handle, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                  DWORD outSize, DWORD* actualOut);
DWORD ComPowerUp(ComDevice* device);
DWORD ComPowerDown(ComDevice* device);

// Offered to the rest of the core and to the bridge side.
void RaiseCommEvents(ComDevice* device, DWORD bits);
void AbortHandleWaits(ComHandle* handle);
