// The per-port receive thread: keeps one bulk IN transfer outstanding, parks what arrives in the
// port's ring, marks receive work pending and wakes the serial core's event thread.
#include "bridge/port_ops.h"
#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace {

const DWORD RetryPauseMs = 10;

bool PortDetachedNow(BridgePort* port) {
  return (PortState(port) & PortDetached) != 0;
}

// One bulk IN transfer: the bytes it delivered, 0 when it could not be issued or its status read.
// The USB error is deliberately ignored: bytes that came with an error are kept like any others.
// The finished transfer is left in *finished for the caller to close once the bytes are handed
// on: the host stack may still be leaving the completion routine that woke this thread, and a
// close at once would wait for it.
DWORD ReceiveOnce(BridgePort* port, BYTE* buffer, USB_TRANSFER* finished) {
  USB_TRANSFER transfer = IssueBulkIn(port, buffer, ReceiveTransferSize);
  if (transfer == NULL) {
    Sleep(RetryPauseMs);
    return 0;
  }
  // Released by the completion or by detach; inDone is auto-reset, so each set frees one wait.
  WaitForSingleObject(port->inDone, INFINITE);
  *finished = transfer;
  DWORD bytes = 0;
  DWORD usbError = 0;
  if (!ReadTransferStatus(port->device->usb, transfer, &bytes, &usbError)) return 0;
  // The count comes from the host stack; never believe more than the buffer holds.
  return bytes > ReceiveTransferSize ? ReceiveTransferSize : bytes;
}

// Bytes the ring can take now.
DWORD RingRoom(BridgePort* port) {
  EnterCriticalSection(&port->ringLock);
  const ByteRing* ring = port->ring;
  DWORD room = 0;
  if (ring != NULL && ring->slotCount != 0) room = ring->slotCount - 1 - RingCount(ring);
  LeaveCriticalSection(&port->ringLock);
  return room;
}

// Bytes the core's receive buffer can still take; MAXDWORD when no core is bound or its settings
// ask for no input flow control (the core then throws away what does not fit and reports it).
DWORD CoreRoom(BridgePort* port) {
  ComDevice* device = BoundComDevice(port);
  if (device == NULL) return MAXDWORD;
  const DWORD room = ComRxRoom(device);
  if (room == MAXDWORD) return MAXDWORD;
  DCB dcb;
  ComLineSettings(device, &dcb);
  const DWORD flags = DcbFlagWord(&dcb);
  const bool inputFlow = (flags & DCB_F_DTR_CONTROL_MASK) == DCB_F_DTR_HANDSHAKE ||
                         (flags & DCB_F_RTS_CONTROL_MASK) == DCB_F_RTS_HANDSHAKE ||
                         (flags & DCB_F_INX) != 0;
  return inputFlow ? room : MAXDWORD;
}

// The ring's bytes and those of the batch the core may still be storing, counted together.
DWORD RingAndTransitCount(BridgePort* port) {
  EnterCriticalSection(&port->ringLock);
  DWORD count = port->ring != NULL ? RingCount(port->ring) : 0;
  count += (DWORD)InterlockedExchangeAdd((LONG*)&port->rxInTransit, 0);
  LeaveCriticalSection(&port->ringLock);
  return count;
}

// No bulk IN is issued while the ring lacks room for a whole transfer, nor, under input flow
// control, while the core's receive buffer could not take what the ring holds plus a whole
// transfer: the core throws away what it receives into a full buffer, and its flow control drops
// the line at three quarters, which leaves less headroom than the ring and the bridge's FIFO
// hold. The bytes stay in the bridge instead, whose own FIFO and handshake then hold the sender.
// Receive and purge set
// roomEvent when they free room, and the short wait notices a reader freeing the core's buffer
// and a detach.
// The ring (with the batch in transit) is counted before the core's room: a batch the event
// thread stores in between is then counted twice, which makes the check stricter, never looser.
bool MayReceive(BridgePort* port) {
  if (RingRoom(port) < ReceiveTransferSize) return false;
  const DWORD ring = RingAndTransitCount(port);
  const DWORD core = CoreRoom(port);
  return core == MAXDWORD || core >= ring + ReceiveTransferSize;
}

void WaitForRingRoom(BridgePort* port) {
  while (!MayReceive(port) && !PortDetachedNow(port)) {
    if (port->roomEvent != NULL) {
      WaitForSingleObject(port->roomEvent, RetryPauseMs);
    } else {
      Sleep(1);
    }
  }
}

void StoreReceived(BridgePort* port, const BYTE* buffer, DWORD bytes) {
  EnterCriticalSection(&port->ringLock);
  // The thread waited for room, so everything fits; should a purge race the store, what does not
  // fit is dropped and the core is woken all the same to drain what is there.
  RingPut(port->ring, buffer, bytes);
  EnterCriticalSection(&port->eventLock);
  port->pending = PendingRx;
  LeaveCriticalSection(&port->eventLock);
  LeaveCriticalSection(&port->ringLock);

  // Deinit may clear comDevice at any moment: read it once.
  ComDevice* device = BoundComDevice(port);
  if (device != NULL) ComSignalWork(device);
}

}  // namespace

DWORD WINAPI ReceiveThreadProc(LPVOID parameter) {
  BridgePort* port = static_cast<BridgePort*>(parameter);
  if (!BridgeTagged(port) || port->device == NULL) return 0;

  BYTE* buffer = static_cast<BYTE*>(LocalAlloc(LPTR, ReceiveTransferSize));
  if (buffer == NULL) return 0;

  // No transfer before attach has finished.
  WaitForSingleObject(port->device->attachDone, INFINITE);

  for (;;) {
    WaitForRingRoom(port);
    USB_TRANSFER finished = NULL;
    const DWORD bytes = PortDetachedNow(port) ? 0 : ReceiveOnce(port, buffer, &finished);
    if (bytes != 0) StoreReceived(port, buffer, bytes);
    if (finished != NULL) CloseTransferHandle(port->device->usb, finished);
    // Read without a lock: detach only ever sets the bit, then sets inDone to end the wait above.
    if (PortDetachedNow(port)) break;
  }

  ReleaseBlock(buffer);
  return 0;
}
