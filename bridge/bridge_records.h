// The bridge side's records: one BridgeDevice per attached bridge, one BridgePort per interface.
//
// Locks and what they protect:
//   BridgeDevice.lock  - one per bridge, shared by both ports. Held around every vendor request
//                        and every bulk OUT chunk (at most one in flight per bridge), and guards
//                        detached, changes of each port's state, commStatus, modemStatus and
//                        pollTimer. Never held while a poll timer is killed or its callbacks
//                        are waited for.
//   BridgePort.ringLock  - the contents of ring.
//   BridgePort.eventLock - pending.
// Order: ringLock before eventLock. The device lock is never held together with either of them.
//
// A bulk OUT chunk may wait a long time under the device lock (flow control holds it), so the
// chunk's wait also ends when the lock is wanted: short requests (line changes, immediate
// characters, break, status and modem reads, purge) announce themselves in lockWaiters and
// lockWanted before they enter, and the writer aborts its chunk, leaves the lock until they are
// through, then sends the rest. Input flow control, which runs on the threads that drain the
// receive path, therefore never waits behind a chunk that needs that drain to finish. The chunk's
// wait also ends on the core's abort (txDoneEvent) and on detachEvent.
// The serial core calls into the bridge holding its own locks (openListLock for Open and Close,
// txStateLock for Transmit); the bridge never takes a core lock while it holds the device lock,
// and leaves the device lock before it raises events on a ComDevice.
//
// Ownership, field by field:
//   Only the receive thread stores into ring; only Receive takes from it and only Purge resets it.
//   Only the receive thread sets pending (to exactly Rx); only Receive clears it.
//   Only the Init slot sets comDevice and only the Deinit slot clears it; readers load it once.
//   Only the detach notification sets detached and the PortDetached bit; nothing clears them.
//   Only Open sets pollTimer; only Close and detach set it back to 0.
//   pollsRunning counts poll callbacks in flight (interlocked only). Whoever kills the poll timer
//   then waits for it to reach 0 (StopModemPoll): the timer is set with TIME_KILL_SYNCHRONOUS, so
//   no callback starts after the kill, and the count covers one already running where the kill
//   does not wait for it. The port must outlive every callback that reads it.
//   inDone is set by the transfer completion and by detach; only the receive thread waits on it.
//   outDone is reset by each timed transfer before it issues, and set by its completion.
//
// Words used without a lock. Each is a 32-bit LONG or DWORD, or a pointer, and every access to it
// goes through the platform's interlocked calls, never a plain load or store (an interlocked read
// is a read-modify-write, which a plain access beside it would race with; and no word is narrower
// than 32 bits: the platform has no 8- or 16-bit forms):
//   BridgePort.state      changed under the device lock by interlocked calls, read without the
//                         lock (PortState) by Transmit, the power slots and the receive thread.
//   BridgePort.comDevice  exchanged by Init and Deinit, read once by each user (BoundComDevice).
//   BridgePort.rxInTransit  exchanged by Receive (under ringLock) and QueryEvents (without it),
//                         read under ringLock by the receive thread.
//   BridgePort.pollsRunning, BridgeDevice.lockWaiters  counts, interlocked only.
//   BridgeDevice.lockOwner  exchanged by the lock's holder, read by any thread (DeviceLockHeld).
// Each call is atomic on the aligned word and a full barrier: a reader sees a whole value one call
// wrote, and what the writer did before its call (a record bound before its pointer is published,
// a batch taken before rxInTransit is cleared) is seen by a thread whose later call reads it.
// detached is read and written only under the device lock.
//
// Lifetime: attach creates both records and detach releases them. The BridgeDevice owns its
// ports, their rings, pipes, events and threads, and its strings. A BridgePort and its ComDevice
// point at each other; neither releases the other.
#pragma once

#include "platform/ce_os.h"
#include "platform/ce_usb.h"

struct ComDevice;
struct ByteRing;
struct BridgePort;

// "TVK_" read as a little-endian 32-bit word.
const DWORD BridgeSignature = 0x5F4B5654;

const DWORD BridgeMaxPorts = 2;

// BridgePort.state bits: opened only goes 0 -> 1 in Open and back in Close or detach; detached
// only ever goes from clear to set.
const LONG PortOpened = 0x01;
const LONG PortDetached = 0x02;

struct BridgeDevice {
  DWORD signature;
  CRITICAL_SECTION lock;
  DWORD detached;  // set once by the detach notification; read and written under lock
  USB_HANDLE hostDevice;
  LPCUSB_FUNCS usb;
  WORD vendorId;        // of the matched driver settings
  WORD productId;       // of the matched driver settings
  BYTE* productString;  // raw string descriptor 2 (bLength, type 3, UTF-16LE), or null
  BYTE* serialString;   // raw string descriptor 3 (5 on part number 5), or null
  DWORD partNumber;     // selects the latch request form; 0 when unknown
  DWORD portCount;      // interfaces of the active configuration, at most 2
  BridgePort* ports[BridgeMaxPorts];
  HANDLE attachDone;   // manual-reset; set once when attach has finished
  HANDLE detachEvent;  // manual-reset; set once by detach before it takes the lock
  HANDLE lockWanted;   // auto-reset; set by a short request that is about to wait for the lock
  LONG lockWaiters;    // short requests waiting for the lock; interlocked only
  // The thread that holds the lock and how often it entered (re-entry is allowed): written only
  // by that thread, through EnterDeviceLock / LeaveDeviceLock. Lets routines that need the lock
  // check it in debug builds. lockOwner is interlocked only.
  DWORD lockOwner;
  DWORD lockDepth;
};

struct BridgePort {
  DWORD signature;
  BridgeDevice* device;
  CRITICAL_SECTION ringLock;
  CRITICAL_SECTION eventLock;
  HANDLE activeHandle;  // the device manager's handle of the port's stream device
  BYTE savedLatch;      // latch byte read by PowerOff, written back by PowerOn
  WORD interfaceNumber;
  LONG state;  // PortOpened, PortDetached (changes under the device lock; read: PortState)
  USB_PIPE outPipe;
  BYTE outEndpoint;
  HANDLE outDone;  // manual-reset
  USB_PIPE inPipe;
  BYTE inEndpoint;
  HANDLE inDone;       // auto-reset; also set by detach to release the receive thread
  HANDLE closedEvent;  // auto-reset; set by Close when no data opens remain
  UINT pollTimer;      // the 80 ms modem poll; 0 when none runs
  LONG pollsRunning;   // poll callbacks in flight; interlocked only
  HANDLE receiveThread;
  ComDevice* comDevice;  // bound by Init, cleared by Deinit; interlocked only
  DWORD pending;         // PendingEvent set: 0 or exactly Rx (eventLock)
  ByteRing* ring;        // receive FIFO, element size 1, capacity 16384 (ringLock)
  BYTE commStatus[20];   // last BridgeCommStatus read (19 bytes); byte 20 stays 0
  DWORD modemStatus;     // last modem status byte read, in the low byte
  HANDLE roomEvent;      // auto-reset; set by Receive and purge when they free room in the ring
  // Bytes the last Receive handed to the core that the core may not have stored yet: set by
  // Receive under ringLock, cleared by the next QueryEvents (both only on the event thread, which
  // stores a batch before it asks again). The receive thread counts them with the ring.
  // Interlocked only.
  DWORD rxInTransit;
};

// The port's state bits, read without the lock that guards their changes.
inline LONG PortState(BridgePort* port) {
  return InterlockedExchangeAdd(&port->state, 0);
}

// Sets and clears state bits in one step (under the device lock, but read without it); returns
// the bits from before.
inline LONG PortStateChange(BridgePort* port, LONG setBits, LONG clearBits) {
  LONG old = PortState(port);
  for (;;) {
    const LONG seen = InterlockedCompareExchange(&port->state, (old & ~clearBits) | setBits, old);
    if (seen == old) return old;
    old = seen;
  }
}

// The serial core's device the port is bound to, or null; read once by each user, since Deinit
// may clear it at any moment.
inline ComDevice* BoundComDevice(BridgePort* port) {
  return (ComDevice*)InterlockedCompareExchangePointer((PVOID*)&port->comDevice, NULL, NULL);
}
inline void BindComDevice(BridgePort* port, ComDevice* device) {
  InterlockedExchangePointer((PVOID*)&port->comDevice, (PVOID)device);
}

// True when p is a non-null record carrying the tag.
inline bool BridgeTagged(const void* p) {
  return p != NULL && *static_cast<const DWORD*>(p) == BridgeSignature;
}
