// The bridge's PortOps slots: binding to the serial core, open and close, the receive and transmit
// hand-over, modem lines, break, immediate character, status, purge and power.
//
// Every request to the bridge and every bulk OUT chunk is made under the BridgeDevice lock. No slot
// holds that lock together with ringLock or eventLock, none calls another slot while holding it,
// and none takes a core lock while holding it.
#include "bridge/bridge_port.h"

#include <string.h>

#include "bridge/bridge_requests.h"
#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace {

// The port context the core hands back; a record without the tag is treated as absent.
BridgePort* AsPort(PortContext context) {
  BridgePort* port = static_cast<BridgePort*>(context);
  return BridgeTagged(port) ? port : NULL;
}

// state is written under the device lock but tested without it by Transmit, the power slots and
// the receive thread, so every access is interlocked.
void PortStateSet(BridgePort* port, LONG bits) {
  PortStateChange(port, bits, 0);
}
void PortStateClear(BridgePort* port, LONG bits) {
  PortStateChange(port, 0, bits);
}

DWORD GetWord32(const BYTE* in) {
  return (DWORD)in[0] | ((DWORD)in[1] << 8) | ((DWORD)in[2] << 16) | ((DWORD)in[3] << 24);
}

// Takes the device lock itself.
void SendHandshake(BridgePort* port, WORD handshake) {
  EnterDeviceLockShort(port->device);
  BridgeSetHandshake(port, handshake);
  LeaveDeviceLock(port->device);
}

// Takes eventLock; called with ringLock held (ringLock before eventLock).
void ClearPending(BridgePort* port) {
  EnterCriticalSection(&port->eventLock);
  port->pending = 0;
  LeaveCriticalSection(&port->eventLock);
}

// ---- Binding ------------------------------------------------------------------------------------

PortContext BridgeInit(LPCWSTR activeKey, ComDevice* comDevice, PortBinding* binding) {
  if (activeKey == NULL || binding == NULL) return NULL;
  HKEY key = NULL;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, activeKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return NULL;
  }
  // The device manager stores the client word pointer-sized; a value of any other size is not
  // the BridgePort that attach handed over.
  DWORD_PTR clientInfo = 0;
  DWORD size = sizeof(clientInfo);
  DWORD type = 0;
  LONG queried = RegQueryValueExW(key, TEXT("ClientInfo"), NULL, &type,
                                  reinterpret_cast<LPBYTE>(&clientInfo), &size);
  RegCloseKey(key);
  if (queried != ERROR_SUCCESS || size != sizeof(clientInfo)) return NULL;

  BridgePort* port = reinterpret_cast<BridgePort*>(clientInfo);
  if (!BridgeTagged(port)) return NULL;
  binding->bindFlags = BindThreadAtOpen;
  binding->interruptId = -1;
  BindComDevice(port, comDevice);
  return port;
}

// PostInit and SetTimeouts: nothing to do (the core keeps the time-outs itself).
BOOL BridgePostInit(PortContext) {
  return TRUE;
}
BOOL BridgeSetTimeouts(PortContext, const COMMTIMEOUTS*) {
  return TRUE;
}

BOOL BridgeDeinit(PortContext context) {
  BridgePort* port = AsPort(context);
  // The receive thread and the poll read comDevice without a lock.
  if (port != NULL) BindComDevice(port, NULL);
  return TRUE;
}

// ---- Open and close -----------------------------------------------------------------------------

// A failed Open leaves the port as it found it (no opened bit, no timer) and closedEvent set: the
// core never calls Close for a failed open, and detach waits on closedEvent of every opened port.
BOOL BridgeOpen(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  BridgeDevice* device = port->device;
  EnterDeviceLock(device);
  if (PortState(port) & (PortOpened | PortDetached)) {
    LeaveDeviceLock(device);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (BridgeEnable(port) != 0) {
    SetEvent(port->closedEvent);
    LeaveDeviceLock(device);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  PortStateSet(port, PortOpened);
  ResetEvent(port->closedEvent);

  // The reference for the first poll: lines already active at open raise no event.
  BYTE modem = (BYTE)port->modemStatus;
  if (BridgeGetModemStatus(port, &modem) != 0) {
    PortStateClear(port, PortOpened);
    SetEvent(port->closedEvent);
    LeaveDeviceLock(device);
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  port->modemStatus = modem;
  // Without a timer the port runs without modem polling.
  StartModemPoll(port);
  LeaveDeviceLock(device);
  return TRUE;
}

// The opened bit is cleared and the timer stopped whatever the disable request answered, so that
// a failed disable never leaves a port that cannot be opened again (the next Open enables the
// interface anew). The timer is killed outside the device lock, which its callback takes.
ULONG BridgeClose(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return 0;
  BridgeDevice* device = port->device;

  EnterDeviceLock(device);
  BridgeDisable(port);
  PortStateClear(port, PortOpened);
  UINT timer = port->pollTimer;
  LeaveDeviceLock(device);

  StopModemPoll(port, timer);

  EnterDeviceLock(device);
  port->pollTimer = 0;
  ResetEvent(port->closedEvent);
  LeaveDeviceLock(device);

  ComDevice* comDevice = BoundComDevice(port);
  if (comDevice != NULL && !ComIsOpen(comDevice)) SetEvent(port->closedEvent);
  return 0;
}

// ---- Receive and transmit -----------------------------------------------------------------------

// pending is cleared only here, exactly when the ring is empty, so the event thread stops asking
// once everything has been taken.
DWORD BridgeReceive(PortContext context, BYTE* buffer, DWORD* count) {
  BridgePort* port = AsPort(context);
  if (port == NULL || count == NULL) return 0;
  if (*count == 0) return 0;
  if (buffer == NULL) {
    *count = 0;
    return 0;
  }

  EnterCriticalSection(&port->ringLock);
  DWORD stored = RingCount(port->ring);
  if (stored == 0) {
    ClearPending(port);
    LeaveCriticalSection(&port->ringLock);
    *count = 0;
    return 0;
  }
  DWORD take = *count < stored ? *count : stored;
  *count = RingGet(port->ring, buffer, take);
  InterlockedExchange((LONG*)&port->rxInTransit, (LONG)*count);
  if (RingCount(port->ring) == 0) ClearPending(port);
  LeaveCriticalSection(&port->ringLock);
  // The receive thread holds off while the ring is nearly full; tell it there is room again.
  if (port->roomEvent != NULL) SetEvent(port->roomEvent);
  return 0;
}

// The stops a chunk's wait watches besides its completion, in this order.
const DWORD StopAbort = 0;
const DWORD StopDetach = 1;
const DWORD StopLockWanted = 2;
const DWORD StopCount = 3;

// lockWanted is auto-reset and may be left set by a request that got the lock between chunks; it
// ends a chunk only while a short request is really waiting.
BOOL ChunkStopWanted(void* context, DWORD index) {
  BridgeDevice* device = static_cast<BridgeDevice*>(context);
  if (index != StopLockWanted) return TRUE;
  return InterlockedExchangeAdd(&device->lockWaiters, 0) > 0 ? TRUE : FALSE;
}

// After stepping aside, the writer lets the waiting short requests through before it takes the
// lock again; a critical section promises no order among its waiters.
void LetWaitersThrough(BridgeDevice* device) {
  for (DWORD spins = 0; spins < 1000; ++spins) {
    if (InterlockedExchangeAdd(&device->lockWaiters, 0) <= 0) return;
    Sleep(1);
  }
}

// Sends synchronously in chunks, each under the device lock with its own time-out, and writes back
// the bytes that really went out: whole chunks, plus what the host stack reports the device took
// of a chunk that was aborted, failed or timed out. A chunk's wait also ends on the core's abort
// (PURGE_TXABORT, the close of the writing handle, process exit: they set txDoneEvent), on detach,
// and when a short request wants the device lock: the chunk is then aborted, the lock left until
// the request is through, and the rest of the chunk sent within what is left of its time-out. The
// first chunk that fails, times out or is aborted ends the transmission; on a detached port
// nothing is sent. txDoneEvent is set in every case, so the writer never waits for a write that is
// over.
DWORD BridgeTransmit(PortContext context, const BYTE* data, DWORD* count) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return 0;
  ComDevice* comDevice = BoundComDevice(port);
  BridgeDevice* device = port->device;

  DWORD remaining = count != NULL ? *count : 0;
  DWORD sent = 0;
  bool over = data == NULL || comDevice == NULL;
  HANDLE stops[StopCount];
  stops[StopAbort] = comDevice != NULL ? ComTransmitAbortEvent(comDevice) : NULL;
  stops[StopDetach] = device->detachEvent;
  stops[StopLockWanted] = device->lockWanted;
  while (!over && remaining != 0) {
    const DWORD chunk = remaining < BridgeTxChunk ? remaining : BridgeTxChunk;
    // Read per chunk: a change of the write time-outs applies from the next chunk on.
    COMMTIMEOUTS timeouts;
    ComTimeouts(comDevice, &timeouts);
    const DWORD budget =
        timeouts.WriteTotalTimeoutMultiplier * chunk + timeouts.WriteTotalTimeoutConstant;
    const DWORD start = GetTickCount();

    DWORD done = 0;  // of this chunk
    while (!over && done < chunk) {
      if (PortState(port) & PortDetached) {
        over = true;
        break;
      }
      DWORD timeout = INFINITE;
      if (budget != 0) {
        const DWORD elapsed = GetTickCount() - start;
        // A resumed chunk whose time is up still gets one short try, so that a time-out always
        // reports what the device took.
        timeout = elapsed < budget ? budget - elapsed : 1;
      }
      DWORD bytes = 0;
      DWORD usbError = 0;
      DWORD stoppedBy = StopNone;
      EnterDeviceLock(device);
      const DWORD result = BulkTransferWaitStoppable(
          device->usb, port->outPipe, port->outDone, const_cast<BYTE*>(data) + done, chunk - done,
          timeout, stops, StopCount, ChunkStopWanted, device, &bytes, &usbError, &stoppedBy);
      LeaveDeviceLock(device);
      // The host stack's count is untrusted: never more than was offered.
      const DWORD took = bytes < chunk - done ? bytes : chunk - done;
      done += result == 0 ? chunk - done : took;
      if (stoppedBy == StopLockWanted) {
        LetWaitersThrough(device);
        // Stepping aside is not an end: the rest goes out while the chunk has time left.
        if (result == 0 || budget == 0 || GetTickCount() - start < budget) continue;
      }
      // An abort or a detach ends the write even when the chunk had just completed.
      if (result != 0 || stoppedBy != StopNone) over = true;
    }
    sent += done;
    data += done;
    remaining -= done;
  }
  if (count != NULL) *count = sent;
  if (comDevice != NULL) ComTransmitFinished(comDevice);
  return 0;
}

// ---- Constant slots -----------------------------------------------------------------------------

// OnModemEvent and OnLineEvent: the bridge never reports Modem or Line work. The core ignores the
// result; the context is returned only so that the slot has a defined, non-zero answer.
ULONG_PTR BridgeOnEvent(PortContext context) {
  return reinterpret_cast<ULONG_PTR>(context);
}

DWORD BridgeRxBufferSize(PortContext) {
  return 0x8000;
}

// The bridge has no infrared mode.
BOOL BridgeEnableIr(PortContext, DWORD) {
  return FALSE;
}
BOOL BridgeDisableIr(PortContext) {
  return FALSE;
}

// ---- Lines, break, character, status ------------------------------------------------------------
// None of these reports a failed request.

void BridgeClearDtr(PortContext context) {
  if (BridgePort* port = AsPort(context)) SendHandshake(port, HandshakeChangeDtr);
}
void BridgeSetDtr(PortContext context) {
  if (BridgePort* port = AsPort(context))
    SendHandshake(port, HandshakeChangeDtr | HandshakeDtrLevel);
}
void BridgeClearRts(PortContext context) {
  if (BridgePort* port = AsPort(context)) SendHandshake(port, HandshakeChangeRts);
}
void BridgeSetRts(PortContext context) {
  if (BridgePort* port = AsPort(context))
    SendHandshake(port, HandshakeChangeRts | HandshakeRtsLevel);
}

// Break on or off, as one short request under the device lock.
void SendBreak(PortContext context, DWORD (*request)(BridgePort*)) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return;
  EnterDeviceLockShort(port->device);
  request(port);
  LeaveDeviceLock(port->device);
}
void BridgeClearBreak(PortContext context) {
  SendBreak(context, BridgeBreakOff);
}
void BridgeSetBreak(PortContext context) {
  SendBreak(context, BridgeBreakOn);
}

BOOL BridgeSendImmediate(PortContext context, BYTE character) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return FALSE;
  EnterDeviceLockShort(port->device);
  DWORD result = BridgeSendChar(port, character);
  LeaveDeviceLock(port->device);
  return result == 0 ? TRUE : FALSE;
}

// Reports the comm status the modem poll read last (no request), with the core's receive-buffer
// fill as the input queue.
DWORD BridgeGetStatus(PortContext context, COMSTAT* status) {
  BridgePort* port = AsPort(context);
  if (port == NULL || status == NULL) return 0;
  memset(status, 0, sizeof(*status));

  BYTE copy[sizeof(port->commStatus)];
  EnterDeviceLockShort(port->device);
  memcpy(copy, port->commStatus, sizeof(copy));
  LeaveDeviceLock(port->device);

  ComDevice* comDevice = BoundComDevice(port);
  if (comDevice != NULL) status->cbInQue = ComRxQueued(comDevice);
  status->cbOutQue = GetWord32(copy + CommStatusTxQueued);

  DWORD flags = GetWord32(copy + CommStatusHoldReasons) &
                (COMSTAT_CTS_HOLD | COMSTAT_DSR_HOLD | COMSTAT_RLSD_HOLD | COMSTAT_XOFF_HOLD |
                 COMSTAT_XOFF_SENT);
  if (copy[CommStatusEofReceived] != 0) flags |= COMSTAT_EOF;
  if (copy[CommStatusWaitForImmediate] != 0) flags |= COMSTAT_TXIM;
  memcpy(status, &flags, sizeof(flags));
  return 0;
}

void BridgeResetSlot(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return;
  EnterDeviceLock(port->device);
  BridgeReset(port);
  LeaveDeviceLock(port->device);
}

// The bridge's byte goes into the low byte of the caller's word; a failed or short read leaves the
// word as the core prepared it. The poll's reference in modemStatus is not touched.
void BridgeGetModemStatusSlot(PortContext context, DWORD* modemStatus) {
  BridgePort* port = AsPort(context);
  if (port == NULL || modemStatus == NULL) return;
  BYTE modem = (BYTE)*modemStatus;
  EnterDeviceLockShort(port->device);
  DWORD result = BridgeGetModemStatus(port, &modem);
  LeaveDeviceLock(port->device);
  if (result == 0) *modemStatus = (*modemStatus & ~0xFFu) | modem;
}

void BridgeGetPropertiesSlot(PortContext context, COMMPROP* properties) {
  BridgePort* port = AsPort(context);
  if (port == NULL || properties == NULL) return;
  EnterDeviceLockShort(port->device);
  BridgeGetProperties(port, reinterpret_cast<BYTE*>(properties));
  LeaveDeviceLock(port->device);
}

DWORD BridgeQueryEvents(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return 0;
  // The event thread has stored the previous batch before it asks again.
  InterlockedExchange((LONG*)&port->rxInTransit, 0);
  EnterCriticalSection(&port->eventLock);
  DWORD pending = port->pending;
  LeaveCriticalSection(&port->eventLock);
  return pending;
}

// pending is left alone: the next Receive finds the ring empty and clears it.
void BridgePurgeSlot(PortContext context, DWORD flags) {
  BridgePort* port = AsPort(context);
  if (port == NULL) return;
  EnterDeviceLockShort(port->device);
  BridgePurge(port, flags);
  LeaveDeviceLock(port->device);
  if (flags & PURGE_RXCLEAR) {
    EnterCriticalSection(&port->ringLock);
    RingReset(port->ring);
    LeaveCriticalSection(&port->ringLock);
    if (port->roomEvent != NULL) SetEvent(port->roomEvent);
  }
}

// ---- Power --------------------------------------------------------------------------------------

bool PoweredPort(BridgePort* port) {
  const LONG state = PortState(port);
  return (state & PortOpened) != 0 && (state & PortDetached) == 0;
}

// Suspend: the interface is disabled and the latch saved; the opened bit and the timer stay.
DWORD BridgePowerOff(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL || !PoweredPort(port)) return 0;
  EnterDeviceLock(port->device);
  BridgeDisable(port);
  BridgeReadLatch(port, &port->savedLatch);
  LeaveDeviceLock(port->device);
  return 0;
}

// Resume: enable, restore the latch, then send the current line settings again. SetLineSettings
// takes the device lock itself, so it runs after the lock is left.
DWORD BridgePowerOn(PortContext context) {
  BridgePort* port = AsPort(context);
  if (port == NULL || !PoweredPort(port)) return 0;
  EnterDeviceLock(port->device);
  BridgeEnable(port);
  BridgeWriteLatch(port, 0xFF, port->savedLatch);
  LeaveDeviceLock(port->device);

  ComDevice* comDevice = BoundComDevice(port);
  if (comDevice != NULL) {
    DCB dcb;
    ComLineSettings(comDevice, &dcb);
    BridgeSetLineSettings(port, &dcb);
  }
  return 0;
}

}  // namespace

// Positional, in slot order; each entry names its slot (numbered as in port_ops.h).
const PortOps BridgePortOps = {
    BridgeInit,                // 1. Init
    BridgePostInit,            // 2. PostInit
    BridgeDeinit,              // 3. Deinit
    BridgeOpen,                // 4. Open
    BridgeClose,               // 5. Close
    BridgeQueryEvents,         // 6. QueryEvents
    BridgeReceive,             // 7. Receive
    BridgeTransmit,            // 8. Transmit
    BridgeOnEvent,             // 9. OnModemEvent
    BridgeOnEvent,             // 10. OnLineEvent
    BridgeRxBufferSize,        // 11. RxBufferSize
    BridgePowerOff,            // 12. PowerOff
    BridgePowerOn,             // 13. PowerOn
    BridgeClearDtr,            // 14. ClearDtr
    BridgeSetDtr,              // 15. SetDtr
    BridgeClearRts,            // 16. ClearRts
    BridgeSetRts,              // 17. SetRts
    BridgeEnableIr,            // 18. EnableIr
    BridgeDisableIr,           // 19. DisableIr
    BridgeClearBreak,          // 20. ClearBreak
    BridgeSetBreak,            // 21. SetBreak
    BridgeSendImmediate,       // 22. SendImmediate
    BridgeGetStatus,           // 23. GetStatus
    BridgeResetSlot,           // 24. Reset
    BridgeGetModemStatusSlot,  // 25. GetModemStatus
    BridgeGetPropertiesSlot,   // 26. GetProperties
    BridgePurgeSlot,           // 27. Purge
    BridgeSetLineSettings,     // 28. SetLineSettings
    BridgeSetTimeouts,         // 29. SetTimeouts
    BridgeControl,             // 30. Control
};
