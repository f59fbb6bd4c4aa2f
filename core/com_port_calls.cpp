// The calls a port makes into the core (declared in bridge/port_ops.h). They are the only way the
// port side reaches the core's records.
#include "core/com_internal.h"

void ComSignalWork(ComDevice* device) {
  SetEvent(device->wakeEvent);
}

void ComTransmitFinished(ComDevice* device) {
  SetEvent(device->txDoneEvent);
}

HANDLE ComTransmitAbortEvent(ComDevice* device) {
  return device->txDoneEvent;
}

void ComLineSettings(ComDevice* device, DCB* dcb) {
  SnapshotDcb(device, dcb);
}

void ComTimeouts(ComDevice* device, COMMTIMEOUTS* timeouts) {
  SnapshotTimeouts(device, timeouts);
}

DWORD ComRxQueued(ComDevice* device) {
  return RxFill(device);
}

// One byte of the buffer always stays free: read == write means empty.
DWORD ComRxRoom(ComDevice* device) {
  const DWORD size = device->rxSize;
  if (size == 0) return MAXDWORD;
  const DWORD used = RxFill(device);
  return used < size ? size - 1 - used : 0;
}

BOOL ComIsOpen(ComDevice* device) {
  return LoadWord(&device->openCount) > 0 ? TRUE : FALSE;
}

// The open list is walked under openListLock so that a concurrent close cannot free a handle under
// the walk; AbortHandleWaits takes the same lock again (critical sections are re-entrant) and then
// the handle's waitLock, which keeps the core's lock order.
void ComEndAllWaits(ComDevice* device) {
  EnterCriticalSection(&device->openListLock);
  ComListLink* head = &device->openList;
  for (ComListLink* link = head->next; link != NULL && link != head;) {
    ComListLink* next = link->next;
    AbortHandleWaits(HandleOfLink(link));
    link = next;
  }
  LeaveCriticalSection(&device->openListLock);
}
