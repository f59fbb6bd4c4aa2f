// The serial core's records: one ComDevice per activated port, one ComHandle per open.
//
// Locks of a ComDevice, outermost first. A thread holding one of them takes only locks further
// down the list; the port implementation takes its own locks inside slot calls, after all of these.
//   openListLock  serialises ComOpen, ComClose, ComDeinit and AbortHandleWaits: openCount, owner,
//                 the open/close transitions of the port. Held across the Open and Close slots and
//                 across the event-thread stop (up to 3000 ms).
//   listLock      only the links of openList and passOwner. Taken by open/close around link and
//                 unlink, and by the walkers (RaiseCommEvents, set wait mask, the event handler's
//                 owner count). It is never held while waiting for anything, so the event thread's
//                 raise never waits on a close that is stopping the event thread.
//   waitLock      (per handle) eventMask, abortWait, and the pairing of eventState with commEvent.
//   txLock        one writer at a time; held by ComWrite for the whole call.
//   txStateLock   the current-write fields; the transmit pump runs under it.
//   rxLock        one reader at a time; held by ComRead for the whole call, waits included.
//   rxBufferLock  copy-out and rxRead moves, purge of the buffer.
//   inFlowLock    input flow control: a decision on XoffSent, DtrFlowOff or RtsFlowOff together
//                 with the port call that sends the character or moves the line, so the peer sees
//                 XOFF/XON and line changes in the order of the flag changes. Held across those
//                 port calls; taken by the event thread after a batch, by readers, purge and
//                 ApplyDcb, with no other core lock held except rxLock.
//   settingsLock  dcb and timeouts; innermost, held only to copy them.
// Orders: openListLock -> listLock -> waitLock; txLock -> txStateLock; rxLock -> rxBufferLock;
// rxLock -> inFlowLock; settingsLock, rxBufferLock and inFlowLock are leaves.
//
// Ownership: only the event thread writes rxWrite; only a reader or purge writes rxRead (under
// rxBufferLock). openCount, owner, outQueue and eventMaskUnion are written under their lock.
//
// Words used without a lock. Each is a 32-bit LONG or DWORD (or a pointer), and every access to
// it goes through the platform's interlocked calls (the helpers of com_internal.h), also its one
// writer's own reads and those under its writer's lock: an interlocked read is a read-modify-write
// (an add of 0), so a plain access beside one would be a data race:
//   flowFlags, commErrors, busy  changed by any thread, only by interlocked calls (flowFlags and
//                 commErrors bit by bit in a compare-exchange loop, so no change is lost).
//   rxWrite, rxRead  each written by its one side, read by the other without a lock.
//   rxWanted      exchanged by the waiting reader, read by the event thread after a batch.
//   openCount, outQueue, eventMaskUnion  read without the lock their writers hold.
//   thread        published by the thread's creator, read by the event thread as it starts.
//   owner         written under openListLock and listLock, read under one of them; and eventState,
//                 always changed under waitLock: both by interlocked calls all the same.
// Those calls make this safe: each is atomic on the aligned word, so a reader sees a whole value
// that one call wrote, and each is a full barrier, so what a thread did before its call is seen by
// any thread whose later call reads what it wrote. The event thread stores the bytes, then moves
// rxWrite; a reader that sees the new rxWrite sees the bytes (and the same for rxRead and the room
// it frees). rxWanted is the one word whose hand-off goes both ways: the reader publishes its want
// and then reads the fill, the event thread moves rxWrite and then reads the want. Both sides'
// accesses to rxWanted are read-modify-writes (the reader's exchange, the event thread's add of
// 0), so one comes after the other in that word's order and sees what the other thread did before
// its access: either the reader finds the new fill or the event thread finds the want, and a wake
// is never lost between them.
#pragma once

#include "bridge/port_ops.h"
#include "platform/ce_os.h"
#include "platform/ce_serial.h"

// flowFlags bits.
const DWORD StopThread = 0x01;  // the event thread must exit
const DWORD SoftFlow = 0x02;    // the current DCB has fOutX or fInX
const DWORD TxHeldByXoff =
    0x04;  // transmission held by XOFF (received, or sent without fTXContinueOnXoff)
const DWORD XoffSent = 0x08;      // the core sent XoffChar and not yet XonChar
const DWORD DtrFlowOff = 0x10;    // DTR dropped by input flow control
const DWORD RtsFlowOff = 0x20;    // RTS dropped by input flow control
const DWORD ReadAborted = 0x40;   // the read in progress ends with error 995
const DWORD WriteAborted = 0x80;  // the write in progress was aborted

// Handle access bits.
const DWORD ComAccessReadWrite = 0xC0000000;
const DWORD ComAccessBus = 0x00000100;

struct ComListLink {
  ComListLink* next;
  ComListLink* prev;
};

struct ComDevice;

struct ComHandle {
  ComDevice* device;
  DWORD access;      // top four bits cleared for a bus-access handle
  DWORD shareMode;   // stored, not consulted
  LONG busy;         // calls in progress; interlocked only
  HANDLE commEvent;  // auto-reset
  DWORD eventMask;   // under waitLock
  LONG eventState;   // interlocked OR by raisers, interlocked swap by the waiter, inside waitLock
  DWORD abortWait;   // aborts of waits so far; under waitLock
  CRITICAL_SECTION waitLock;
  ComListLink link;  // place in the device's openList (listLock)
  DWORD signature;   // ComHandleSignature while the handle lives
};

struct ComDevice {
  CRITICAL_SECTION txLock;  // held by COM_Write for the whole call
  CRITICAL_SECTION rxLock;  // held by COM_Read for the whole call
  PortBinding* binding;
  PortContext port;
  HANDLE wakeEvent;      // wakes the event thread
  HANDLE rxEvent;        // auto-reset: data available, or set to abort a read
  HANDLE exitEvent;      // set by the event thread just before it exits
  HANDLE txDoneEvent;    // the current write was handed over completely or aborted
  HANDLE txResumeEvent;  // auto-reset: TxHeldByXoff was cleared; a held write hands over the rest
  HANDLE thread;         // the event thread; 0 when none
  DWORD threadPriority;
  // Receive counters, written only by the event thread (and zeroed by the first open, before the
  // thread runs or while it has nothing to receive); read by nobody else.
  DWORD rxDiscarded;      // bytes thrown away because the buffer was full
  DWORD rxPortReported;   // what the Receive slot returned, summed
  DWORD rxTotal;          // bytes stored in the buffer
  LONG commErrors;        // CE_* bits since the last status read; interlocked only
  DWORD txTotal;          // bytes the port accepted over the open's life (txStateLock)
  DWORD outQueue;         // length of the write in progress (txStateLock)
  DWORD txWritten;        // bytes of the current write accepted by the port (txStateLock)
  DCB dcb;                // settingsLock; written by first open and ApplyDcb
  COMMTIMEOUTS timeouts;  // settingsLock
  DWORD openCount;        // open data handles (openListLock)
  LONG flowFlags;         // changed only by interlocked bit operations
  DWORD eventMaskUnion;   // OR of every handle's eventMask: written under listLock
  DWORD rxRead;           // written only by readers and purge, under rxBufferLock
  DWORD rxWrite;          // written only by the event thread
  // The fill at which the event thread sets rxEvent after a batch: published by a waiting reader
  // (under rxLock) before it waits, 0 while no read waits. Both sides use read-modify-writes.
  DWORD rxWanted;
  DWORD rxSize;
  BYTE* rxBuffer;
  CRITICAL_SECTION rxBufferLock;  // copy-out and rxRead moves; purge
  DWORD txPermissions;            // txStateLock
  DWORD txSent;                   // txStateLock
  DWORD txLength;                 // txStateLock
  const BYTE* txBuffer;           // txStateLock; null when no write is in progress
  CRITICAL_SECTION txStateLock;   // the current-write fields; the transmit pump runs under it
  ComListLink
      openList;  // all handles, data and bus-access; links change under openListLock+listLock
  CRITICAL_SECTION openListLock;  // serialises open, close and de-initialisation
  ComHandle* owner;               // the handle with read or write access (openListLock)
  CRITICAL_SECTION listLock;      // openList links and passOwner only
  CRITICAL_SECTION settingsLock;  // dcb and timeouts
  CRITICAL_SECTION inFlowLock;    // input flow decisions with their port calls
  ComHandle* passOwner;  // owner whose busy the event handler raised for this pass (listLock)
  DWORD builtStage;      // how far ComInit got, for the one teardown path
  DWORD signature;       // ComDeviceSignature while the device lives
};

const DWORD ComDeviceSignature = 0x44435654;  // "TVCD"
const DWORD ComHandleSignature = 0x48435654;  // "TVCH"

// The stream interface, under internal names; module/ exports them as COM_Init ... COM_PowerDown.
// ComInit binds the new device to the given port table.
ComDevice* ComInit(LPCWSTR activeKey, const PortOps* ops);
BOOL ComDeinit(ComDevice* device);
ComHandle* ComOpen(ComDevice* device, DWORD access, DWORD shareMode);
BOOL ComClose(ComHandle* handle);
DWORD ComRead(ComHandle* handle, LPVOID buffer, DWORD length);    // (DWORD)-1 on failure
DWORD ComWrite(ComHandle* handle, LPCVOID buffer, DWORD length);  // (DWORD)-1 on failure
DWORD ComSeek(ComHandle* handle, LONG distance, DWORD method);    // always (DWORD)-1
BOOL ComIOControl(ComHandle* handle, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                  DWORD outSize, DWORD* actualOut);
DWORD ComPowerUp(ComDevice* device);
DWORD ComPowerDown(ComDevice* device);

// Ends the waits, reads and writes of one handle; the calls a port may make are in port_ops.h.
void AbortHandleWaits(ComHandle* handle);
