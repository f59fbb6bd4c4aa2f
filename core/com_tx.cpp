// Transmit path: the transmit pump (run by ComWrite and by the event thread for PendingTx) and
// ComWrite with its time-out, RTS toggle, aborts and EV_TXEMPTY.
#include "core/com_internal.h"

namespace {

void ClearCurrentWriteLocked(ComDevice* device) {
  device->txPermissions = 0;
  device->txBuffer = NULL;
  device->txLength = 0;
  device->txSent = 0;
}

}  // namespace

// The Transmit result is not looked at: a port tells what it took only through the count. That
// count is trusted only up to what was offered, so txSent never passes txLength.
// A write held by XOFF is not offered to the port at all: a port that sends synchronously would
// take an offer of 0 bytes as the end of the write. The write stays in progress, and its writer
// runs the pump again when txResumeEvent says the hold was lifted.
void TransmitPump(ComDevice* device) {
  const PortOps* ops = Ops(device);
  EnterCriticalSection(&device->txStateLock);
  if (LoadWord(&device->openCount) == 0) ClearCurrentWriteLocked(device);
  if (device->txBuffer != NULL && device->txLength - device->txSent > 0) {
    if (FlowFlags(device) & TxHeldByXoff) {
      LeaveCriticalSection(&device->txStateLock);
      return;
    }
    const DWORD previous = SetProcPermissions(device->txPermissions);
    DCB dcb;
    SnapshotDcb(device, &dcb);
    if (RtsToggle(DcbFlagWord(&dcb))) ops->SetRts(device->port);
    const DWORD offered = device->txLength - device->txSent;
    DWORD count = offered;
    ops->Transmit(device->port, device->txBuffer + device->txSent, &count);
    if (count > offered) count = offered;
    device->txTotal += count;
    device->txWritten += count;
    device->txSent += count;
    SetProcPermissions(previous);
  } else {
    DWORD count = 0;
    ops->Transmit(device->port, NULL, &count);
    ClearCurrentWriteLocked(device);
    SetEvent(device->txDoneEvent);
  }
  LeaveCriticalSection(&device->txStateLock);
}

DWORD ComWrite(ComHandle* handle, LPCVOID buffer, DWORD length) {
  if (!DataCallAllowed(handle, GENERIC_WRITE, buffer, length)) return (DWORD)-1;
  ComDevice* device = handle->device;
  InterlockedIncrement(&handle->busy);
  EnterCriticalSection(&device->txLock);

  EnterCriticalSection(&device->txStateLock);
  FlowClear(device, WriteAborted);
  WaitForSingleObject(device->txDoneEvent, 0);
  WaitForSingleObject(device->txResumeEvent, 0);
  device->txPermissions = GetCurrentPermissions();
  // A zero-length write has nothing to hand over; its buffer may even be null.
  device->txBuffer = length > 0 ? (const BYTE*)buffer : NULL;
  device->txLength = length;
  device->txSent = 0;
  device->txWritten = 0;
  StoreWord(&device->outQueue, length);
  ResetEvent(device->txDoneEvent);
  LeaveCriticalSection(&device->txStateLock);

  COMMTIMEOUTS timeouts;
  SnapshotTimeouts(device, &timeouts);
  const DWORD limit =
      timeouts.WriteTotalTimeoutMultiplier * length + timeouts.WriteTotalTimeoutConstant;
  const DWORD start = GetTickCount();

  TransmitPump(device);

  // The write is over when txDoneEvent is set (handed over, or aborted by a purge, a close or a
  // removal) or its total time-out has passed. Until then each lift of an XOFF hold runs the pump
  // again; a hold that comes back before it runs only makes the pump wait once more.
  const HANDLE events[2] = {device->txDoneEvent, device->txResumeEvent};
  for (;;) {
    DWORD wait = INFINITE;
    if (limit != 0) {
      const DWORD elapsed = GetTickCount() - start;
      if (elapsed >= limit) break;
      wait = limit - elapsed;
    }
    if (WaitForMultipleObjects(2, events, FALSE, wait) != WAIT_OBJECT_0 + 1) break;
    TransmitPump(device);
  }

  if (!(FlowFlags(device) & WriteAborted) && LoadWord(&device->openCount) == 0)
    SetLastError(ERROR_INVALID_HANDLE);

  EnterCriticalSection(&device->txStateLock);
  ClearCurrentWriteLocked(device);
  StoreWord(&device->outQueue, 0);
  const DWORD written = device->txWritten;
  LeaveCriticalSection(&device->txStateLock);
  LeaveCriticalSection(&device->txLock);

  RaiseCommEvents(device, EV_TXEMPTY);
  DCB dcb;
  SnapshotDcb(device, &dcb);
  if (RtsToggle(DcbFlagWord(&dcb))) Ops(device)->ClearRts(device->port);
  InterlockedDecrement(&handle->busy);
  return written;
}
