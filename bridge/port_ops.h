// The contract between the serial core and a port implementation: the PortBinding record, the
// 30-slot PortOps table, the PendingEvent bits and the bind flags.
//
// Every slot but Init takes the port context that Init returned. The core holds none of the
// port's locks when it calls a slot; the port takes the locks it needs itself, after any core lock
// the caller holds, and leaves them before it signals the core or raises events. Slots are called
// from several threads at once: application threads (control requests, writes through the
// transmit pump, opens and closes), the core's event thread and the platform's power callbacks.
#pragma once

#include <string.h>

#include "platform/ce_os.h"
#include "platform/ce_serial.h"
#include "platform/ce_types.h"

struct ComDevice;
struct PortBinding;

// PendingEvent: work QueryEvents reports to the core's event thread.
const DWORD PendingLine = 0x01;   // OnLineEvent
const DWORD PendingRx = 0x02;     // Receive
const DWORD PendingTx = 0x04;     // transmit pump
const DWORD PendingModem = 0x08;  // OnModemEvent

// Bind flags: when the core's event thread exists.
const DWORD BindThreadAtInit = 0x1;  // created by COM_Init, stopped by COM_Deinit
const DWORD BindThreadAtOpen =
    0x2;  // created at every first data open, stopped at every last close

typedef void* PortContext;

// Frees a block from the local heap after filling it with 0xCC, so that a use after the release
// reads poison rather than stale values. Null is ignored.
inline void ReleaseBlock(void* block) {
  if (block == NULL) return;
  memset(block, 0xCC, LocalSize(block));
  LocalFree(block);
}

// The DCB's bit-field word, for tests against the DCB_F_* masks.
inline DWORD DcbFlagWord(const DCB* dcb) {
  DWORD word;
  memcpy(&word, (const BYTE*)dcb + DCB_FLAGS_OFFSET, sizeof(word));
  return word;
}

// For each slot: who calls it, which core locks the caller holds, whether it may block (a slot
// that "may block" waits for the bus: for the bridge port a control request, or a bulk OUT chunk
// up to its time-out, behind any other request of the same bridge), and what its result means.
struct PortOps {
  // 1. COM_Init, on the activating thread (the device manager, within attach); no core lock. May
  //    block (registry). Returns the port context, 0 for failure (COM_Init then fails); may set
  //    the binding's bindFlags and interruptId before it returns.
  PortContext (*Init)(LPCWSTR activeKey, ComDevice* device, PortBinding* binding);
  // 2. Last step of COM_Init; no core lock; does not block. Result ignored.
  BOOL (*PostInit)(PortContext port);
  // 3. COM_Deinit, the last call on the port context; no core lock; does not block. Result
  //    ignored.
  BOOL (*Deinit)(PortContext port);
  // 4. First data open, application thread under openListLock. May block. FALSE fails the open
  //    (error 110) and the core calls no Close for it.
  BOOL (*Open)(PortContext port);
  // 5. Last data close (or COM_Deinit), under openListLock; openCount is already 0. May block,
  //    also while it stops the port's own timers. Result ignored.
  ULONG (*Close)(PortContext port);
  // 6. Event thread, before and after each servicing pass; no core lock; does not block. Returns
  //    the PendingEvent bits; they must clear once the work is done, or the thread keeps
  //    servicing.
  DWORD (*QueryEvents)(PortContext port);
  // 7. Event thread for Rx; no core lock; does not block. count in: room in buffer; out: bytes
  //    copied (never more than the room). Clears Rx once nothing is left. The result is summed
  //    into rxPortReported.
  DWORD (*Receive)(PortContext port, BYTE* buffer, DWORD* count);
  // 8. Transmit pump, under txStateLock (and txLock when run by COM_Write); may block. data null
  //    with *count 0: nothing more to send. On return *count holds the bytes accepted (for the
  //    bridge port: the bytes that really went out); txDoneEvent is set once the slot has
  //    finished. Result ignored.
  DWORD (*Transmit)(PortContext port, const BYTE* data, DWORD* count);
  // 9, 10. Event thread for Modem and Line work; no core lock; do not block. Results ignored.
  ULONG_PTR (*OnModemEvent)(PortContext port);
  ULONG_PTR (*OnLineEvent)(PortContext port);
  // 11. COM_Init; no core lock; does not block. The receive buffer gets twice this, at least
  //     2048 bytes.
  DWORD (*RxBufferSize)(PortContext port);
  // 12, 13. COM_PowerDown and COM_PowerUp (platform power callbacks); no core lock; may block.
  //         The result is what COM_PowerDown / COM_PowerUp return.
  DWORD (*PowerOff)(PortContext port);
  DWORD (*PowerOn)(PortContext port);
  // 14-17. Control requests and ApplyDcb (application threads), input flow control (event thread,
  //        readers, purge), RTS toggle around writes (under txStateLock). No core lock otherwise;
  //        may block. The line is at the named level afterwards; no result.
  void (*ClearDtr)(PortContext port);
  void (*SetDtr)(PortContext port);
  void (*ClearRts)(PortContext port);
  void (*SetRts)(PortContext port);
  // 18. IOCTL_SERIAL_ENABLE_IR with the dcb BaudRate; no core lock. FALSE fails the request.
  BOOL (*EnableIr)(PortContext port, DWORD baudRate);
  // 19. IOCTL_SERIAL_DISABLE_IR; no core lock. Result ignored.
  BOOL (*DisableIr)(PortContext port);
  // 20, 21. IOCTL_SERIAL_SET_BREAK_OFF / _ON; no core lock; may block. Break ends / starts.
  void (*ClearBreak)(PortContext port);
  void (*SetBreak)(PortContext port);
  // 22. IOCTL_SERIAL_IMMEDIATE_CHAR (application thread), XON/XOFF of input flow control (event
  //     thread, readers, purge); no core lock; may block. The character goes out ahead of queued
  //     data. Result not used.
  BOOL (*SendImmediate)(PortContext port, BYTE character);
  // 23. IOCTL_SERIAL_GET_COMMSTATUS; no core lock; may block. Fills the COMSTAT and returns the
  //     error word.
  DWORD (*GetStatus)(PortContext port, COMSTAT* status);
  // 24. Never called by the core.
  void (*Reset)(PortContext port);
  // 25. IOCTL_SERIAL_GET_MODEMSTATUS; no core lock; may block. MS_* bits into a word the core has
  //     zeroed.
  void (*GetModemStatus)(PortContext port, DWORD* modemStatus);
  // 26. IOCTL_SERIAL_GET_PROPERTIES; no core lock; may block. Fills a COMMPROP the core has
  //     zeroed.
  void (*GetProperties)(PortContext port, COMMPROP* properties);
  // 27. IOCTL_SERIAL_PURGE (no core lock) and the first open (PURGE_RXCLEAR, under
  //     openListLock); may block. With PURGE_RXCLEAR no byte received before the call is
  //     delivered by a later Receive.
  void (*Purge)(PortContext port, DWORD flags);
  // 28. First open (under openListLock, result ignored) and IOCTL_SERIAL_SET_DCB (no core lock;
  //     FALSE refuses the DCB before the core stores it). May block.
  BOOL (*SetLineSettings)(PortContext port, const DCB* dcb);
  // 29. First open (under openListLock) and IOCTL_SERIAL_SET_TIMEOUTS; does not block. The core
  //     keeps the time-outs itself; result ignored.
  BOOL (*SetTimeouts)(PortContext port, const COMMTIMEOUTS* timeouts);
  // 30. Every control code the core does not handle itself, and the power codes of a bus-access
  //     handle; application thread, no core lock; may block. FALSE makes the core fail the
  //     request with error 87. May be null.
  BOOL(*Control)
  (PortContext port, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer, DWORD outSize,
   DWORD* actualOut);
};

struct PortBinding {
  DWORD bindFlags;     // bind flags; 0 when created
  LONG interruptId;    // set by Init (-1: no interrupt); the core never reads it
  const PortOps* ops;  // the implementation's constant table
};

// ---- What a port may ask of the core ------------------------------------------------------------
// The port side (bridge/, usb/) reaches the core only through these calls and never through the
// core's records. Any thread may call them with any port lock held: none blocks, and the only
// core lock they take is a leaf (settingsLock, to copy the settings) except ComEndAllWaits, which
// takes openListLock and must therefore be called with no port lock held. `device` is the
// ComDevice the port was given at Init; the caller makes sure it is still bound.

// Wakes the core's event thread to call QueryEvents.
void ComSignalWork(ComDevice* device);
// Marks the current transmit call over: the writer waiting for it goes on.
void ComTransmitFinished(ComDevice* device);
// The event a writer's abort (purge, close, time-out of the pump) sets; a transmit may wait on it
// to stop early. Owned by the core: the port must not close or reset it.
HANDLE ComTransmitAbortEvent(ComDevice* device);
// Copies of the line settings and the time-outs in force.
void ComLineSettings(ComDevice* device, DCB* dcb);
void ComTimeouts(ComDevice* device, COMMTIMEOUTS* timeouts);
// Bytes waiting in the receive buffer, and the room left in it (MAXDWORD before it exists).
DWORD ComRxQueued(ComDevice* device);
DWORD ComRxRoom(ComDevice* device);
// Whether a data handle has the port open.
BOOL ComIsOpen(ComDevice* device);
// Raises communication events (EV_* bits) on every handle whose mask has them.
void RaiseCommEvents(ComDevice* device, DWORD bits);
// Ends every wait, read and write on every handle of the device (a removal).
void ComEndAllWaits(ComDevice* device);
