// Event thread and receive path: the thread procedure, one handler pass, receive batches with
// XON/XOFF stripping and input flow control, and ComRead with its time-outs and flow resume.
#include <string.h>

#include "core/com_internal.h"

namespace {

const DWORD DiscardChunk = 16;

// Removes XON/XOFF characters from the count new bytes at data, updating TxHeldByXoff, and returns
// the count that stays.
DWORD StripSoftFlow(ComDevice* device, BYTE* data, DWORD count, BYTE xon, BYTE xoff) {
  DWORD kept = 0;
  for (DWORD i = 0; i < count; ++i) {
    BYTE byte = data[i];
    if (byte == xoff) {
      FlowSet(device, TxHeldByXoff);
    } else if (byte == xon) {
      FlowClear(device, TxHeldByXoff);
    } else {
      data[kept++] = byte;
    }
  }
  return kept;
}

// What input flow control decides on: the port, the DCB's flags, the buffer's size and fill.
// Enters inFlowLock, which the caller leaves.
struct RxFlowView {
  const PortOps* ops;
  DWORD flags;
  DWORD size;
  DWORD used;
};

RxFlowView EnterRxFlow(ComDevice* device, const DCB* dcb) {
  EnterCriticalSection(&device->inFlowLock);
  RxFlowView view;
  view.ops = Ops(device);
  view.flags = DcbFlagWord(dcb);
  view.size = device->rxSize;
  view.used = RxFill(device);
  return view;
}

// Input flow control after a batch: DTR/RTS drop above three quarters, XOFF at free <= XoffLim.
void RxFlowCheck(ComDevice* device, const DCB* dcb) {
  const RxFlowView view = EnterRxFlow(device, dcb);
  const PortOps* ops = view.ops;
  const DWORD flags = view.flags, size = view.size, used = view.used;
  if (DtrHandshake(flags) && !(FlowFlags(device) & DtrFlowOff) && RxOverThreeQuarters(used, size) &&
      !FlowTestAndSet(device, DtrFlowOff))
    ops->ClearDtr(device->port);
  if (RtsHandshake(flags) && !(FlowFlags(device) & RtsFlowOff) && RxOverThreeQuarters(used, size) &&
      !FlowTestAndSet(device, RtsFlowOff))
    ops->ClearRts(device->port);
  if ((flags & DCB_F_INX) && !(FlowFlags(device) & XoffSent) && size - used <= dcb->XoffLim) {
    // The flag is set before the character goes, as XON clears it before its own: whoever sees
    // the XOFF on the line and then asks for the status finds it reported.
    DWORD set = XoffSent;
    if (!(flags & DCB_F_TX_CONTINUE_ON_XOFF)) set |= TxHeldByXoff;
    FlowSet(device, set);
    ops->SendImmediate(device->port, (BYTE)dcb->XoffChar);
  }
  LeaveCriticalSection(&device->inFlowLock);
}

// One batch from the Receive slot; returns the bytes stored.
// Sets *overrun when it had to throw received bytes away.
DWORD ReceiveBatch(ComDevice* device, const DCB* dcb, bool* overrun) {
  const PortOps* ops = Ops(device);
  const DWORD size = device->rxSize;
  const DWORD write = LoadWord(&device->rxWrite);
  const DWORD read = LoadWord(&device->rxRead);
  DWORD room;
  if (read > write)
    room = read - write - 1;
  else if (read == 0)
    room = size - write - 1;
  else
    room = size - write;

  DWORD count = 0;
  if (room > 0) {
    count = room;
    device->rxPortReported += ops->Receive(device->port, device->rxBuffer + write, &count);
    if (count > room) count = room;  // a port never gets to claim more than it was offered
  } else {
    BYTE scratch[DiscardChunk];
    count = DiscardChunk;
    device->rxPortReported += ops->Receive(device->port, scratch, &count);
    if (count > DiscardChunk) count = DiscardChunk;
    device->rxDiscarded += count;
    if (count > 0) {
      BitsChange(&device->commErrors, CE_RXOVER, 0);
      *overrun = true;
    }
    count = 0;
  }
  if (count > 0 && (FlowFlags(device) & SoftFlow))
    count = StripSoftFlow(device, device->rxBuffer + write, count, (BYTE)dcb->XonChar,
                          (BYTE)dcb->XoffChar);
  device->rxTotal += count;
  DWORD next = write + count;
  if (next >= size) next = 0;
  StoreWord(&device->rxWrite, next);
  RxFlowCheck(device, dcb);
  return count;
}

// Counts the pass against the owner handle. The owner is read under listLock, and ComClose forgets
// passOwner under the same lock before it releases the handle, so the count is dropped (never
// touched again) when the owner goes during the pass.
void CountOwnerIn(ComDevice* device) {
  EnterCriticalSection(&device->listLock);
  ComHandle* owner = LoadPointer(&device->owner);
  if (owner != NULL) InterlockedIncrement(&owner->busy);
  device->passOwner = owner;
  LeaveCriticalSection(&device->listLock);
}

void CountOwnerOut(ComDevice* device) {
  EnterCriticalSection(&device->listLock);
  if (device->passOwner != NULL) InterlockedDecrement(&device->passOwner->busy);
  device->passOwner = NULL;
  LeaveCriticalSection(&device->listLock);
}

// Whether a batch just stored should wake the reader: its wanted fill is reached, or input flow
// control holds the sender (the fill then grows no further, and only the reader can resume it).
// rxWanted is read by a read-modify-write (LoadWord's add of 0), ordered against the reader's
// exchange in WaitForData: a reader that publishes its want just after the store either sees the
// new fill itself or is seen here.
bool ReaderWantsWake(ComDevice* device) {
  const DWORD wanted = LoadWord(&device->rxWanted);
  if (wanted <= 1) return true;
  if (FlowFlags(device) & (XoffSent | DtrFlowOff | RtsFlowOff)) return true;
  return RxFill(device) >= wanted;
}

// The fill a waiting read needs before waking is worth it. A read that ends on its total
// time-out or a full buffer alone (no interval time-out) has nothing to do with a batch smaller
// than what it still wants; it wakes no later than at half the buffer, so that it drains the
// buffer well before input flow control would hold the sender. Any other read wants every byte.
DWORD ReadWakeFill(DWORD interval, DWORD length, DWORD size) {
  if (interval != 0) return 1;
  const DWORD half = size / 2;
  const DWORD wanted = length < half ? length : half;
  return wanted > 1 ? wanted : 1;
}

// Waits on rxEvent for the read's wanted fill. Returns WAIT_OBJECT_0 without waiting when the fill
// is already there once the want is published (by StoreWord's exchange, a read-modify-write).
DWORD WaitForData(ComDevice* device, DWORD wanted, DWORD wait) {
  StoreWord(&device->rxWanted, wanted);
  if (wanted > 1 && RxFill(device) >= wanted) return WAIT_OBJECT_0;
  return WaitForSingleObject(device->rxEvent, wait);
}

}  // namespace

DWORD WINAPI EventThreadProc(LPVOID parameter) {
  ComDevice* device = (ComDevice*)parameter;
  if (device->binding->bindFlags & (BindThreadAtInit | BindThreadAtOpen)) {
    // The creator publishes the handle after CreateThread returns; the thread must not serve the
    // port (and so be stoppable) before StopEventThread can see it. The wait is short and rare.
    while (LoadPointer(&device->thread) == NULL) Sleep(20);
  }
  while (!(FlowFlags(device) & StopThread)) {
    WaitForSingleObject(device->wakeEvent, INFINITE);
    if (!EventHandlerPass(device)) return 0;
  }
  SetEvent(device->exitEvent);
  return 0;
}

BOOL EventHandlerPass(ComDevice* device) {
  if ((FlowFlags(device) & StopThread) || device->wakeEvent == NULL) {
    SetEvent(device->exitEvent);
    return FALSE;
  }
  const PortOps* ops = Ops(device);
  CountOwnerIn(device);
  DWORD stored = 0;
  bool overrun = false;
  DWORD pending = ops->QueryEvents(device->port);
  while (pending != 0) {
    if (pending & PendingRx) {
      DCB dcb;
      SnapshotDcb(device, &dcb);
      stored += ReceiveBatch(device, &dcb, &overrun);
    }
    if (pending & PendingTx) TransmitPump(device);
    if (pending & PendingModem) ops->OnModemEvent(device->port);
    if (pending & PendingLine) ops->OnLineEvent(device->port);
    // A stop asked for during a long drain ends the pass early; the port keeps its work.
    if (FlowFlags(device) & StopThread) break;
    pending = ops->QueryEvents(device->port);
  }
  if (stored > 0) {
    if (ReaderWantsWake(device)) SetEvent(device->rxEvent);
    RaiseCommEvents(device, EV_RXCHAR);
  }
  if (overrun) RaiseCommEvents(device, EV_ERR);
  CountOwnerOut(device);
  return TRUE;
}

void RxBufferDiscard(ComDevice* device) {
  EnterCriticalSection(&device->rxBufferLock);
  // Only the waiting bytes are zeroed: the free part may be receiving new bytes right now.
  const DWORD size = device->rxSize;
  const DWORD write = LoadWord(&device->rxWrite);
  const DWORD read = LoadWord(&device->rxRead);
  if (write >= read) {
    memset(device->rxBuffer + read, 0, write - read);
  } else {
    memset(device->rxBuffer + read, 0, size - read);
    memset(device->rxBuffer, 0, write);
  }
  StoreWord(&device->rxRead, write);
  LeaveCriticalSection(&device->rxBufferLock);
}

void RxFlowResume(ComDevice* device, const DCB* dcb) {
  const RxFlowView view = EnterRxFlow(device, dcb);
  const PortOps* ops = view.ops;
  const DWORD flags = view.flags, size = view.size, used = view.used;
  if ((flags & DCB_F_INX) && (FlowFlags(device) & XoffSent) && size - used > dcb->XoffLim) {
    DWORD clear = XoffSent;
    if (!(flags & DCB_F_TX_CONTINUE_ON_XOFF)) clear |= TxHeldByXoff;
    if (FlowChange(device, 0, clear) & XoffSent)
      ops->SendImmediate(device->port, (BYTE)dcb->XonChar);
  }
  if (2u * used < size) {
    if (RtsHandshake(flags) && FlowTestAndClear(device, RtsFlowOff)) ops->SetRts(device->port);
    if (DtrHandshake(flags) && FlowTestAndClear(device, DtrFlowOff)) ops->SetDtr(device->port);
  }
  LeaveCriticalSection(&device->inFlowLock);
}

DWORD ComRead(ComHandle* handle, LPVOID buffer, DWORD length) {
  if (!DataCallAllowed(handle, GENERIC_READ, buffer, length)) return (DWORD)-1;
  ComDevice* device = handle->device;
  BYTE* destination = (BYTE*)buffer;
  InterlockedIncrement(&handle->busy);
  EnterCriticalSection(&device->rxLock);
  FlowClear(device, ReadAborted);

  COMMTIMEOUTS timeouts;
  SnapshotTimeouts(device, &timeouts);
  const DWORD multiplier = timeouts.ReadTotalTimeoutMultiplier;
  const DWORD m = multiplier == MAXDWORD ? 0 : multiplier;
  const DWORD total = multiplier == MAXDWORD
                          ? timeouts.ReadTotalTimeoutConstant
                          : multiplier * length + timeouts.ReadTotalTimeoutConstant;
  DWORD interval = timeouts.ReadIntervalTimeout;
  // Bytes come in batches (a bulk transfer, then the event thread's pass), not one character time
  // apart: the gap allowed between two arrivals is widened by eight characters at the caller's own
  // per-byte rate, so that a batch boundary is not taken for the end of the data.
  if (interval != 0 && interval < MAXDWORD - 8u * m) interval += 8u * m;

  const DWORD size = device->rxSize;
  DWORD elapsed = 0;
  DWORD result = 0;
  while (length > 0) {
    bool resume = false;
    if (RxFill(device) > 0) {
      EnterCriticalSection(&device->rxBufferLock);
      const DWORD read = LoadWord(&device->rxRead);
      const DWORD used = RxUsed(read, LoadWord(&device->rxWrite), size);
      DWORD chunk = used;
      if (chunk > size - read) chunk = size - read;
      if (chunk > length) chunk = length;
      memcpy(destination, device->rxBuffer + read, chunk);
      DWORD next = read + chunk;
      if (next >= size) next = 0;
      StoreWord(&device->rxRead, next);
      LeaveCriticalSection(&device->rxBufferLock);
      destination += chunk;
      result += chunk;
      length -= chunk;
      resume = true;
    } else {
      if (interval == MAXDWORD && (total == 0 || result > 0)) break;
      const DWORD limit = total == 0 ? MAXDWORD : total;
      if (elapsed >= limit) break;
      DWORD wait = limit - elapsed;
      if (result > 0) {
        const DWORD gap = interval == 0 ? MAXDWORD : interval;
        if (gap < wait) wait = gap;
      }
      const DWORD start = GetTickCount();
      const DWORD outcome = WaitForData(device, ReadWakeFill(interval, length, size), wait);
      if (outcome == WAIT_TIMEOUT) {
        // Bytes below the wanted fill did not wake the read: it takes them, then ends.
        if (RxFill(device) == 0) break;
        elapsed = limit;
        continue;
      }
      elapsed += GetTickCount() - start;
      if (FlowFlags(device) & ReadAborted) {
        SetLastError(ERROR_OPERATION_ABORTED);
        result = (DWORD)-1;
        break;
      }
      if (LoadWord(&device->openCount) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        result = (DWORD)-1;
        break;
      }
      resume = true;
    }
    if (resume) {
      DCB dcb;
      SnapshotDcb(device, &dcb);
      RxFlowResume(device, &dcb);
    }
  }
  StoreWord(&device->rxWanted, 0);
  LeaveCriticalSection(&device->rxLock);
  InterlockedDecrement(&handle->busy);
  return result;
}
