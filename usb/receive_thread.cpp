// The per-port receive thread: keeps one bulk IN transfer outstanding, parks what arrives in the
// port's ring, marks receive work pending and wakes the serial core's event thread.
#include "core/com_device.h"
#include "usb/byte_ring.h"
#include "usb/transfer.h"

namespace {

constexpr DWORD kRetryPauseMs = 10;

bool PortDetachedNow(const BridgePort* port) {
  return (__atomic_load_n(&port->state, __ATOMIC_ACQUIRE) & PortDetached) != 0;
}

// One bulk IN transfer: the bytes it delivered, 0 when it could not be issued or its status read.
// The USB error is deliberately ignored: bytes that came with an error are kept like any others.
DWORD ReceiveOnce(BridgePort* port, BYTE* buffer) {
  USB_TRANSFER transfer = IssueBulkIn(port, buffer, RECEIVE_TRANSFER_SIZE);
  if (transfer == nullptr) {
    Sleep(kRetryPauseMs);
    return 0;
  }
  // Released by the completion or by detach; inDone is auto-reset, so each set frees one wait.
  WaitForSingleObject(port->inDone, INFINITE);
  LPCUSB_FUNCS usb = port->device->usb;
  DWORD bytes = 0;
  DWORD usbError = 0;
  const BOOL read = ReadTransferStatus(usb, transfer, &bytes, &usbError);
  CloseTransferHandle(usb, transfer);
  if (!read) return 0;
  // The count comes from the host stack; never believe more than the buffer holds.
  return bytes > RECEIVE_TRANSFER_SIZE ? RECEIVE_TRANSFER_SIZE : bytes;
}

// Bytes the ring can take now.
DWORD RingRoom(BridgePort* port) {
  EnterCriticalSection(&port->ringLock);
  const ByteRing* ring = port->ring;
  DWORD room = 0;
  if (ring != nullptr && ring->slotCount != 0) room = ring->slotCount - 1 - RingCount(ring);
  LeaveCriticalSection(&port->ringLock);
  return room;
}

// No bulk IN is issued while the ring lacks room for a whole transfer: the bytes stay in the
// bridge, whose own FIFO and handshake then hold the sender, instead of arriving here and being
// dropped. Receive and purge set roomEvent when they free room; the short wait also notices a
// detach.
void WaitForRingRoom(BridgePort* port) {
  while (RingRoom(port) < RECEIVE_TRANSFER_SIZE && !PortDetachedNow(port)) {
    if (port->roomEvent != nullptr) {
      WaitForSingleObject(port->roomEvent, kRetryPauseMs);
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
  ComDevice* device = __atomic_load_n(&port->comDevice, __ATOMIC_ACQUIRE);
  if (device != nullptr) SetEvent(device->wakeEvent);
}

}  // namespace

DWORD WINAPI ReceiveThreadProc(LPVOID parameter) {
  BridgePort* port = static_cast<BridgePort*>(parameter);
  if (!BridgeTagged(port) || port->device == nullptr) return 0;

  BYTE* buffer = static_cast<BYTE*>(LocalAlloc(LPTR, RECEIVE_TRANSFER_SIZE));
  if (buffer == nullptr) return 0;

  // No transfer before attach has finished.
  WaitForSingleObject(port->device->attachDone, INFINITE);

  for (;;) {
    WaitForRingRoom(port);
    const DWORD bytes = PortDetachedNow(port) ? 0 : ReceiveOnce(port, buffer);
    if (bytes != 0) StoreReceived(port, buffer, bytes);
    // Read without a lock: detach only ever sets the bit, then sets inDone to end the wait above.
    if (PortDetachedNow(port)) break;
  }

  __builtin_memset(buffer, 0xCC, LocalSize(buffer));
  LocalFree(buffer);
  return 0;
}
