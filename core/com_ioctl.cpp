// Control requests and comm events: ComIOControl's dispatch, WaitOnMask, AbortHandleWaits,
// ApplyDcb.
#include <string.h>

#include "core/com_internal.h"

namespace {

bool IsPowerCode(DWORD code) {
  return code == IOCTL_POWER_CAPABILITIES || code == IOCTL_POWER_GET || code == IOCTL_POWER_SET ||
         code == IOCTL_POWER_QUERY || code == IOCTL_REGISTER_POWER_RELATIONSHIP;
}

// Codes that a data handle without read or write access may send.
bool AllowedWithoutAccess(DWORD code) {
  switch (code) {
    case IOCTL_SERIAL_GET_WAIT_MASK:
    case IOCTL_SERIAL_SET_WAIT_MASK:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_GET_TIMEOUTS:
    case IOCTL_POWER_CAPABILITIES:
    case IOCTL_POWER_SET:
    case IOCTL_POWER_QUERY:
      return true;
    default:
      return false;
  }
}

bool HasAccess(const ComHandle* handle) {
  return (handle->access & ComAccessReadWrite) != 0;
}

bool InputOk(const BYTE* in, DWORD inSize, DWORD need) {
  return in != NULL && inSize >= need;
}
bool OutputOk(const BYTE* out, DWORD outSize, const DWORD* actualOut, DWORD need) {
  return out != NULL && actualOut != NULL && outSize >= need;
}

DWORD ReadInputWord(const BYTE* in) {
  DWORD word;
  memcpy(&word, in, sizeof(word));
  return word;
}

void WriteOutputWord(BYTE* out, DWORD word) {
  memcpy(out, &word, sizeof(word));
}

BOOL PassToControl(ComDevice* device, DWORD code, BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
                   DWORD* actualOut) {
  const PortOps* ops = Ops(device);
  if (ops->Control == NULL ||
      !ops->Control(device->port, code, in, inSize, out, outSize, actualOut)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  return TRUE;
}

// Recomputes eventMaskUnion. The walk runs under listLock (see RaiseCommEvents); waitLock is taken
// inside it, in the documented order.
void RecomputeMaskUnion(ComDevice* device) {
  EnterCriticalSection(&device->listLock);
  DWORD mask = 0;
  for (ComListLink* link = device->openList.next; link != &device->openList; link = link->next) {
    ComHandle* other = HandleOfLink(link);
    EnterCriticalSection(&other->waitLock);
    mask |= other->eventMask;
    LeaveCriticalSection(&other->waitLock);
  }
  StoreWord(&device->eventMaskUnion, mask);
  LeaveCriticalSection(&device->listLock);
}

void SetWaitMask(ComHandle* handle, DWORD mask) {
  EnterCriticalSection(&handle->waitLock);
  handle->eventMask = mask;
  ++handle->abortWait;
  SetEvent(handle->commEvent);
  LeaveCriticalSection(&handle->waitLock);
  RecomputeMaskUnion(handle->device);
}

void GetCommStatus(ComDevice* device, BYTE* out) {
  SERIAL_DEV_STATUS status;
  memset(&status, 0, sizeof(status));
  status.Errors = Ops(device)->GetStatus(device->port, &status.ComStat);
  // Reading the error word clears what the core recorded.
  status.Errors |= (DWORD)InterlockedExchange(&device->commErrors, 0);
  status.ComStat.cbInQue = RxFill(device);
  status.ComStat.cbOutQue = LoadWord(&device->outQueue);
  const DWORD flow = FlowFlags(device);
  status.ComStat.fXoffHold = (flow & TxHeldByXoff) ? 1 : 0;
  status.ComStat.fXoffSent = (flow & XoffSent) ? 1 : 0;
  memcpy(out, &status, sizeof(status));
}

void Purge(ComDevice* device, DWORD flags) {
  const PortOps* ops = Ops(device);
  // The write is told first: its port call may be waiting on the bus that the purge needs.
  if (flags & PURGE_TXABORT) {
    FlowSet(device, WriteAborted);
    SetEvent(device->txDoneEvent);
  }
  ops->Purge(device->port, flags);
  if (flags & PURGE_RXCLEAR) {
    // The buffer is empty now: whatever input flow control holds the peer off is lifted.
    RxBufferDiscard(device);
    DCB dcb;
    SnapshotDcb(device, &dcb);
    RxFlowResume(device, &dcb);
  }
  if (flags & PURGE_RXABORT) {
    // Set, not pulsed: a reader between clearing the flag and its wait would miss a pulse and
    // block on. A set left over for a later read only wakes it once more.
    FlowSet(device, ReadAborted);
    SetEvent(device->rxEvent);
  }
}

// The rows of the control table, by group. Each group answers RowNotHere for a code that is not
// one of its rows; RowRefused becomes error 87.
enum RowResult { RowOk, RowFailed, RowRefused, RowNotHere };

RowResult Result(BOOL ok) {
  return ok ? RowOk : RowFailed;
}

// Break, DTR, RTS, XON/XOFF state and the immediate character.
RowResult LineRows(ComDevice* device, DWORD dcbFlags, DWORD code, const BYTE* in, DWORD inSize) {
  const PortOps* ops = Ops(device);
  PortContext port = device->port;
  switch (code) {
    case IOCTL_SERIAL_SET_BREAK_ON:
      ops->SetBreak(port);
      return RowOk;
    case IOCTL_SERIAL_SET_BREAK_OFF:
      ops->ClearBreak(port);
      return RowOk;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS: {
      // A line that handshaking drives is not the application's to set.
      const bool dtr = code == IOCTL_SERIAL_SET_DTR || code == IOCTL_SERIAL_CLR_DTR;
      if (dtr ? DtrHandshake(dcbFlags) : RtsHandshake(dcbFlags)) return RowRefused;
      void (*change)(PortContext) = code == IOCTL_SERIAL_SET_DTR   ? ops->SetDtr
                                    : code == IOCTL_SERIAL_CLR_DTR ? ops->ClearDtr
                                    : code == IOCTL_SERIAL_SET_RTS ? ops->SetRts
                                                                   : ops->ClearRts;
      change(port);
      return RowOk;
    }
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
      EnterCriticalSection(&device->inFlowLock);
      if (FlowFlags(device) & SoftFlow) {
        if (code == IOCTL_SERIAL_SET_XOFF)
          FlowSet(device, TxHeldByXoff | XoffSent);
        else
          FlowClear(device, TxHeldByXoff | XoffSent);
      }
      LeaveCriticalSection(&device->inFlowLock);
      return RowOk;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
      if (!InputOk(in, inSize, 1)) return RowRefused;
      ops->SendImmediate(port, in[0]);
      return RowOk;
    default:
      return RowNotHere;
  }
}

// The handle's event mask and the wait for events.
RowResult EventRows(ComHandle* handle, DWORD code, const BYTE* in, DWORD inSize, BYTE* out,
                    DWORD outSize, DWORD* actualOut) {
  switch (code) {
    case IOCTL_SERIAL_GET_WAIT_MASK: {
      if (!OutputOk(out, outSize, actualOut, sizeof(DWORD))) return RowRefused;
      EnterCriticalSection(&handle->waitLock);
      const DWORD mask = handle->eventMask;
      LeaveCriticalSection(&handle->waitLock);
      WriteOutputWord(out, mask);
      *actualOut = sizeof(DWORD);
      return RowOk;
    }
    case IOCTL_SERIAL_SET_WAIT_MASK:
      if (!InputOk(in, inSize, sizeof(DWORD))) return RowRefused;
      SetWaitMask(handle, ReadInputWord(in));
      return RowOk;
    case IOCTL_SERIAL_WAIT_ON_MASK: {
      if (!OutputOk(out, outSize, actualOut, sizeof(DWORD))) return RowRefused;
      DWORD mask = 0;
      const BOOL ok = WaitOnMask(handle, &mask);
      WriteOutputWord(out, mask);
      *actualOut = sizeof(DWORD);
      return Result(ok);
    }
    default:
      return RowNotHere;
  }
}

// Status, modem lines and properties: what the port reports.
RowResult StatusRows(ComDevice* device, DWORD code, BYTE* out, DWORD outSize, DWORD* actualOut) {
  const PortOps* ops = Ops(device);
  switch (code) {
    case IOCTL_SERIAL_GET_COMMSTATUS:
      if (!OutputOk(out, outSize, actualOut, sizeof(SERIAL_DEV_STATUS))) return RowRefused;
      GetCommStatus(device, out);
      *actualOut = sizeof(SERIAL_DEV_STATUS);
      return RowOk;
    case IOCTL_SERIAL_GET_MODEMSTATUS: {
      if (!OutputOk(out, outSize, actualOut, sizeof(DWORD))) return RowRefused;
      DWORD status = 0;
      ops->GetModemStatus(device->port, &status);
      WriteOutputWord(out, status);
      *actualOut = sizeof(DWORD);
      return RowOk;
    }
    case IOCTL_SERIAL_GET_PROPERTIES: {
      if (!OutputOk(out, outSize, actualOut, sizeof(COMMPROP))) return RowRefused;
      COMMPROP properties;
      memset(&properties, 0, sizeof(properties));
      ops->GetProperties(device->port, &properties);
      memcpy(out, &properties, sizeof(properties));
      *actualOut = sizeof(COMMPROP);
      return RowOk;
    }
    default:
      return RowNotHere;
  }
}

// Time-outs, line settings, queue sizes, purge and the infrared mode.
RowResult SettingsRows(ComDevice* device, const DCB* dcb, DWORD code, const BYTE* in, DWORD inSize,
                       BYTE* out, DWORD outSize, DWORD* actualOut) {
  const PortOps* ops = Ops(device);
  PortContext port = device->port;
  switch (code) {
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      if (!InputOk(in, inSize, sizeof(COMMTIMEOUTS))) return RowRefused;
      COMMTIMEOUTS timeouts;
      memcpy(&timeouts, in, sizeof(timeouts));
      EnterCriticalSection(&device->settingsLock);
      device->timeouts = timeouts;
      LeaveCriticalSection(&device->settingsLock);
      ops->SetTimeouts(port, &timeouts);
      return RowOk;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS: {
      if (!OutputOk(out, outSize, actualOut, sizeof(COMMTIMEOUTS))) return RowRefused;
      COMMTIMEOUTS timeouts;
      SnapshotTimeouts(device, &timeouts);
      memcpy(out, &timeouts, sizeof(timeouts));
      *actualOut = sizeof(COMMTIMEOUTS);
      return RowOk;
    }
    case IOCTL_SERIAL_PURGE:
      if (!InputOk(in, inSize, sizeof(DWORD))) return RowRefused;
      Purge(device, ReadInputWord(in));
      return RowOk;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
      return InputOk(in, inSize, 2 * sizeof(DWORD)) ? RowOk : RowRefused;
    case IOCTL_SERIAL_GET_DCB:
      if (!OutputOk(out, outSize, actualOut, sizeof(DCB))) return RowRefused;
      memcpy(out, dcb, sizeof(DCB));
      *actualOut = sizeof(DCB);
      return RowOk;
    case IOCTL_SERIAL_SET_DCB: {
      if (!InputOk(in, inSize, sizeof(DCB))) return RowRefused;
      DCB newDcb;
      memcpy(&newDcb, in, sizeof(newDcb));
      return ApplyDcb(device, &newDcb) ? RowOk : RowRefused;
    }
    case IOCTL_SERIAL_ENABLE_IR:
      // A refusal is reported through the result alone; the last error stays as it was.
      return Result(ops->EnableIr(port, dcb->BaudRate));
    case IOCTL_SERIAL_DISABLE_IR:
      ops->DisableIr(port);
      return RowOk;
    default:
      return RowNotHere;
  }
}

// The table of rows, for a data handle that passed the access rule. Every refusal is 87; a code
// that is no row goes to the port's Control slot.
BOOL Dispatch(ComHandle* handle, DWORD code, BYTE* in, DWORD inSize, BYTE* out, DWORD outSize,
              DWORD* actualOut) {
  ComDevice* device = handle->device;
  DCB dcb;
  SnapshotDcb(device, &dcb);
  RowResult result = LineRows(device, DcbFlagWord(&dcb), code, in, inSize);
  if (result == RowNotHere) result = EventRows(handle, code, in, inSize, out, outSize, actualOut);
  if (result == RowNotHere) result = StatusRows(device, code, out, outSize, actualOut);
  if (result == RowNotHere)
    result = SettingsRows(device, &dcb, code, in, inSize, out, outSize, actualOut);
  if (result == RowNotHere) return PassToControl(device, code, in, inSize, out, outSize, actualOut);
  if (result == RowRefused) SetLastError(ERROR_INVALID_PARAMETER);
  return result == RowOk ? TRUE : FALSE;
}

}  // namespace

BOOL ComIOControl(ComHandle* handle, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                  DWORD outSize, DWORD* actualOut) {
  if (!HandleValid(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ComDevice* device = handle->device;
  if (IsBusHandle(handle)) {
    if (!IsPowerCode(code)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    return PassToControl(device, code, inBuffer, inSize, outBuffer, outSize, actualOut);
  }
  if (LoadWord(&device->openCount) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (code == IOCTL_PSL_NOTIFY) {
    // The record holds two handles, so its size word is the host's sizeof, not a fixed 16.
    if (inBuffer != NULL && inSize >= sizeof(DEVICE_PSL_NOTIFY)) {
      DEVICE_PSL_NOTIFY notice;
      memcpy(&notice, inBuffer, sizeof(notice));
      if (notice.dwSize == sizeof(DEVICE_PSL_NOTIFY) && notice.dwFlags == DLL_PROCESS_EXITING)
        AbortHandleWaits(handle);
    }
    return TRUE;
  }
  if (!HasAccess(handle) && !AllowedWithoutAccess(code)) {
    SetLastError(ERROR_INVALID_ACCESS);
    return FALSE;
  }
  InterlockedIncrement(&handle->busy);
  const BOOL result = Dispatch(handle, code, inBuffer, inSize, outBuffer, outSize, actualOut);
  InterlockedDecrement(&handle->busy);
  return result;
}

BOOL WaitOnMask(ComHandle* handle, DWORD* outMask) {
  ComDevice* device = handle->device;
  *outMask = 0;
  if (LoadWord(&device->openCount) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  EnterCriticalSection(&handle->waitLock);
  const DWORD startMask = handle->eventMask;
  LeaveCriticalSection(&handle->waitLock);
  if (startMask == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  InterlockedIncrement(&handle->busy);
  // Aborts are counted: this wait ends at the next one, even when another wait on the handle
  // starts in between.
  EnterCriticalSection(&handle->waitLock);
  const DWORD aborts = handle->abortWait;
  LeaveCriticalSection(&handle->waitLock);

  while (LoadWord(&device->openCount) > 0) {
    EnterCriticalSection(&handle->waitLock);
    ResetEvent(handle->commEvent);
    const DWORD take = (DWORD)InterlockedExchange(&handle->eventState, 0);
    const DWORD mask = handle->eventMask;
    if ((take & mask) != 0 || mask == 0) {
      *outMask = take & mask;  // bits outside the mask go with this take
      LeaveCriticalSection(&handle->waitLock);
      break;
    }
    LeaveCriticalSection(&handle->waitLock);
    WaitForSingleObject(handle->commEvent, INFINITE);
    EnterCriticalSection(&handle->waitLock);
    const bool aborted = handle->abortWait != aborts;
    LeaveCriticalSection(&handle->waitLock);
    if (aborted) {
      *outMask = 0;
      break;
    }
  }
  // commEvent is auto-reset, so an abort or an emptied mask wakes one waiter: pass the wake on to
  // the next wait on this handle. The handle is still held here (busy).
  if (*outMask == 0) SetEvent(handle->commEvent);
  InterlockedDecrement(&handle->busy);
  if (LoadWord(&device->openCount) == 0) {
    *outMask = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

void AbortHandleWaits(ComHandle* handle) {
  if (!HandleValid(handle)) return;
  ComDevice* device = handle->device;
  EnterCriticalSection(&device->openListLock);
  if (!IsBusHandle(handle) && LoadWord(&device->openCount) > 0) {
    EnterCriticalSection(&handle->waitLock);
    handle->eventMask = 0;
    ++handle->abortWait;
    SetEvent(handle->commEvent);
    LeaveCriticalSection(&handle->waitLock);
    if (HasAccess(handle)) {
      FlowSet(device, ReadAborted);
      SetEvent(device->rxEvent);
      FlowSet(device, WriteAborted);
      SetEvent(device->txDoneEvent);
    }
  }
  LeaveCriticalSection(&device->openListLock);
}

namespace {

// DTR handshake: a line held off is released; over three quarters, the peer is held off now.
bool DtrHandshakeLevel(ComDevice* device, bool overThreeQuarters) {
  if (FlowTestAndClear(device, DtrFlowOff) || !overThreeQuarters) return true;
  FlowSet(device, DtrFlowOff);
  return false;
}

// RTS handshake: RTS stays low only while held off and still over three quarters.
bool RtsHandshakeLevel(ComDevice* device, bool overThreeQuarters) {
  if (!(FlowFlags(device) & RtsFlowOff)) return true;
  if (overThreeQuarters) return false;
  FlowClear(device, RtsFlowOff);
  return true;
}

// One line under DTR_CONTROL_* or RTS_CONTROL_* (the same values for disable, enable and
// handshake); any other mode (RTS toggle) leaves the line as it is.
void DriveLine(PortContext port, DWORD mode, bool handshakeHigh, void (*raise)(PortContext),
               void (*drop)(PortContext)) {
  if (mode == DTR_CONTROL_ENABLE || (mode == DTR_CONTROL_HANDSHAKE && handshakeHigh))
    raise(port);
  else if (mode == DTR_CONTROL_DISABLE || mode == DTR_CONTROL_HANDSHAKE)
    drop(port);
}

}  // namespace

BOOL ApplyDcb(ComDevice* device, const DCB* newDcb) {
  const PortOps* ops = Ops(device);
  PortContext port = device->port;
  if (!ops->SetLineSettings(port, newDcb)) return FALSE;
  DCB dcb = *newDcb;
  EnterCriticalSection(&device->settingsLock);
  device->dcb = dcb;
  LeaveCriticalSection(&device->settingsLock);
  const DWORD flags = DcbFlagWord(&dcb);
  EnterCriticalSection(&device->inFlowLock);
  const bool overThreeQuarters = RxOverThreeQuarters(RxFill(device), device->rxSize);

  // With the buffer over three quarters full, DTR handshake holds the peer off at once, while RTS
  // handshake raises RTS and leaves holding off to the event thread's next batch: the two lines
  // differ on purpose, and callers rely on both.
  const DWORD dtrMode = (flags & DCB_F_DTR_CONTROL_MASK) >> 4;
  const DWORD rtsMode = (flags & DCB_F_RTS_CONTROL_MASK) >> 12;
  const bool dtrHigh =
      dtrMode == DTR_CONTROL_HANDSHAKE ? DtrHandshakeLevel(device, overThreeQuarters) : true;
  const bool rtsHigh =
      rtsMode == RTS_CONTROL_HANDSHAKE ? RtsHandshakeLevel(device, overThreeQuarters) : true;
  DriveLine(port, dtrMode, dtrHigh, ops->SetDtr, ops->ClearDtr);
  DriveLine(port, rtsMode, rtsHigh, ops->SetRts, ops->ClearRts);
  // Without XON/XOFF on output an XOFF received earlier holds nothing any more, as on the bridge
  // itself; only the core's own XOFF still outstanding under fInX without fTXContinueOnXoff keeps
  // the hold until its XON. Left set, the hold would keep every later write waiting: SETXON
  // cannot lift it without XON/XOFF in force.
  const bool ownHold =
      (flags & DCB_F_INX) && !(flags & DCB_F_TX_CONTINUE_ON_XOFF) && (FlowFlags(device) & XoffSent);
  if (!(flags & DCB_F_OUTX) && !ownHold) FlowClear(device, TxHeldByXoff);
  LeaveCriticalSection(&device->inFlowLock);
  if (flags & (DCB_F_OUTX | DCB_F_INX))
    FlowSet(device, SoftFlow);
  else
    FlowClear(device, SoftFlow);
  return TRUE;
}
