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
void TransmitPump(ComDevice* device) {
  const PortOps* ops = Ops(device);
  EnterCriticalSection(&device->txStateLock);
  if (LoadWord(&device->openCount) == 0) ClearCurrentWriteLocked(device);
  if (device->txBuffer != NULL && device->txLength - device->txSent > 0) {
    const DWORD previous = SetProcPermissions(device->txPermissions);
    DCB dcb;
    SnapshotDcb(device, &dcb);
    if (RtsToggle(DcbFlagWord(&dcb))) ops->SetRts(device->port);
    const DWORD offered =
        (FlowFlags(device) & TxHeldByXoff) ? 0 : device->txLength - device->txSent;
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
  device->txPermissions = GetCurrentPermissions();
  // A zero-length write has nothing to hand over; its buffer may even be null.
  device->txBuffer = length > 0 ? (const BYTE*)buffer : NULL;
  device->txLength = length;
  device->txSent = 0;
  device->txWritten = 0;
  StoreWord(&device->outQueue, length);
  ResetEvent(device->txDoneEvent);
  LeaveCriticalSection(&device->txStateLock);

  TransmitPump(device);

  COMMTIMEOUTS timeouts;
  SnapshotTimeouts(device, &timeouts);
  DWORD limit = timeouts.WriteTotalTimeoutMultiplier * length + timeouts.WriteTotalTimeoutConstant;
  if (limit == 0) limit = INFINITE;
  WaitForSingleObject(device->txDoneEvent, limit);

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
