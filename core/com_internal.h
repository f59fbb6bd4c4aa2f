// Helpers shared by the serial core's source files: shared-word access, flowFlags bit operations,
// receive-buffer arithmetic, settings snapshots and the core-internal routines.
#pragma once

#include "core/com_device.h"

// ---- Shared words -------------------------------------------------------------------------------
// The words com_device.h lists as read or written without a lock move only through these, which
// are the platform's interlocked calls (atomic on the aligned word, full barriers). A read is an
// interlocked add of 0: a read-modify-write, which both returns a whole, current value and orders
// the reader's later accesses after it; a store is an interlocked exchange, which orders the
// writer's earlier accesses (the bytes before an index moves) before it.
inline DWORD LoadWord(DWORD* p) {
  return (DWORD)InterlockedExchangeAdd((LONG*)p, 0);
}
inline void StoreWord(DWORD* p, DWORD v) {
  InterlockedExchange((LONG*)p, (LONG)v);
}
inline LONG LoadLong(LONG* p) {
  return InterlockedExchangeAdd(p, 0);
}
// Pointer fields of the records (owner, thread); the compare-exchange of null with null changes
// nothing and returns the current value.
template <typename T>
inline T* LoadPointer(T** p) {
  return (T*)InterlockedCompareExchangePointer((PVOID*)p, NULL, NULL);
}
template <typename T>
inline void StorePointer(T** p, T* v) {
  InterlockedExchangePointer((PVOID*)p, (PVOID)v);
}

// ---- flowFlags ----------------------------------------------------------------------------------
// Every change of the word is one compare-exchange loop, so that the event thread, readers, writers
// and control requests changing different bits at once never lose each other's changes.
inline DWORD FlowFlags(ComDevice* device) {
  return (DWORD)LoadLong(&device->flowFlags);
}
inline DWORD BitsChange(LONG* word, DWORD setBits, DWORD clearBits) {
  LONG old = LoadLong(word);
  for (;;) {
    LONG next = (LONG)(((DWORD)old & ~clearBits) | setBits);
    LONG seen = InterlockedCompareExchange(word, next, old);
    if (seen == old) return (DWORD)old;
    old = seen;
  }
}
// Returns the bits before the change. Lifting TxHeldByXoff wakes a write that the hold keeps
// waiting, whoever lifts it (XON received, SETXON, the core's own XON, new settings).
inline DWORD FlowChange(ComDevice* device, DWORD setBits, DWORD clearBits) {
  const DWORD before = BitsChange(&device->flowFlags, setBits, clearBits);
  if ((before & clearBits & TxHeldByXoff) && !(setBits & TxHeldByXoff))
    SetEvent(device->txResumeEvent);
  return before;
}
inline void FlowSet(ComDevice* device, DWORD bits) {
  FlowChange(device, bits, 0);
}
inline void FlowClear(ComDevice* device, DWORD bits) {
  FlowChange(device, 0, bits);
}
// Clears bits and tells whether any of them was set: only one thread wins a transition.
inline bool FlowTestAndClear(ComDevice* device, DWORD bits) {
  return (FlowChange(device, 0, bits) & bits) != 0;
}
inline bool FlowTestAndSet(ComDevice* device, DWORD bits) {
  return (FlowChange(device, bits, 0) & bits) != 0;
}

// ---- Receive buffer -----------------------------------------------------------------------------
inline DWORD RxUsed(DWORD read, DWORD write, DWORD size) {
  return write >= read ? write - read : size - read + write;
}
// The handle whose openList link this is.
inline ComHandle* HandleOfLink(ComListLink* link) {
  return (ComHandle*)((BYTE*)link - offsetof(ComHandle, link));
}
inline DWORD RxFill(ComDevice* device) {
  return RxUsed(LoadWord(&device->rxRead), LoadWord(&device->rxWrite), device->rxSize);
}
inline bool RxOverThreeQuarters(DWORD used, DWORD size) {
  return 4u * used > 3u * size;
}

// ---- Settings -----------------------------------------------------------------------------------
inline void SnapshotDcb(ComDevice* device, DCB* out) {
  EnterCriticalSection(&device->settingsLock);
  *out = device->dcb;
  LeaveCriticalSection(&device->settingsLock);
}
inline void SnapshotTimeouts(ComDevice* device, COMMTIMEOUTS* out) {
  EnterCriticalSection(&device->settingsLock);
  *out = device->timeouts;
  LeaveCriticalSection(&device->settingsLock);
}
inline bool DtrHandshake(DWORD flags) {
  return (flags & DCB_F_DTR_CONTROL_MASK) == DCB_F_DTR_HANDSHAKE;
}
inline bool RtsHandshake(DWORD flags) {
  return (flags & DCB_F_RTS_CONTROL_MASK) == DCB_F_RTS_HANDSHAKE;
}
inline bool RtsToggle(DWORD flags) {
  return (flags & DCB_F_RTS_CONTROL_MASK) == DCB_F_RTS_TOGGLE;
}

inline const PortOps* Ops(ComDevice* device) {
  return device->binding->ops;
}

// A handle record that is alive and belongs to a live device; anything else is an invalid handle.
inline bool HandleValid(const ComHandle* handle) {
  return handle != NULL && handle->signature == ComHandleSignature && handle->device != NULL &&
         handle->device->signature == ComDeviceSignature;
}
// The checks a read or a write makes before anything else: a live, open handle with the access
// the call needs and a buffer the caller may use. False with the last error set.
inline bool DataCallAllowed(ComHandle* handle, DWORD access, const void* buffer, DWORD length) {
  if (!HandleValid(handle) || LoadWord(&handle->device->openCount) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (!(handle->access & access)) {
    SetLastError(ERROR_INVALID_ACCESS);
    return false;
  }
  if (length == 0) return true;
  // A read writes into the buffer, a write reads from it.
  if (buffer == NULL || (access == GENERIC_READ ? IsBadWritePtr(const_cast<void*>(buffer), length)
                                                : IsBadReadPtr(buffer, length))) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}
inline bool IsBusHandle(const ComHandle* handle) {
  return (handle->access & ComAccessBus) != 0;
}

// ---- Core-internal routines ---------------------------------------------------------------------
BOOL StartEventThread(ComDevice* device);
BOOL StopEventThread(ComDevice* device);
DWORD WINAPI EventThreadProc(LPVOID parameter);
// One pass of the event handler; FALSE when the thread must end.
BOOL EventHandlerPass(ComDevice* device);
void TransmitPump(ComDevice* device);
// Input flow resume after the buffer drained (reads, purge). No lock needed.
void RxFlowResume(ComDevice* device, const DCB* dcb);
// Makes the receive buffer empty from the consumer's side: zeroes the bytes that were waiting and
// moves rxRead up to rxWrite. Takes rxBufferLock.
void RxBufferDiscard(ComDevice* device);
BOOL WaitOnMask(ComHandle* handle, DWORD* outMask);
BOOL ApplyDcb(ComDevice* device, const DCB* newDcb);
