// The contract between the serial core and a port implementation: the PortBinding record, the
// 30-slot PortOps table, the PendingEvent bits and the bind flags.
//
// Every slot but Init takes the port context that Init returned. The core holds none of the
// port's locks when it calls a slot; the port takes the locks it needs itself, after any core lock
// the caller holds, and leaves them before it signals the core or raises events. Slots are called
// from several threads at once: application threads (control requests, writes through the
// transmit pump, opens and closes), the core's event thread and the platform's power callbacks.
#pragma once

#include "platform/ce_serial.h"
#include "platform/ce_types.h"

struct ComDevice;
struct PortBinding;

// PendingEvent: work QueryEvents reports to the core's event thread.
enum : DWORD {
  PendingLine = 0x01,   // OnLineEvent
  PendingRx = 0x02,     // Receive
  PendingTx = 0x04,     // transmit pump
  PendingModem = 0x08,  // OnModemEvent
};

// Bind flags: when the core's event thread exists.
enum : DWORD {
  BindThreadAtInit = 0x1,  // created by COM_Init, stopped by COM_Deinit
  BindThreadAtOpen = 0x2,  // created at every first data open, stopped at every last close
};

typedef void* PortContext;

struct PortOps {
  // 1. COM_Init, on the activating thread. Returns the port context, 0 for failure; may set the
  //    binding's bindFlags and interruptId before it returns.
  PortContext (*Init)(LPCWSTR activeKey, ComDevice* device, PortBinding* binding);
  // 2. Last step of COM_Init. Result ignored.
  BOOL (*PostInit)(PortContext port);
  // 3. COM_Deinit; the last call on the port context.
  BOOL (*Deinit)(PortContext port);
  // 4. First data open, under the core's openListLock. FALSE fails the open (error 110).
  BOOL (*Open)(PortContext port);
  // 5. Last data close, under openListLock; the device's openCount is already 0. Result ignored.
  ULONG (*Close)(PortContext port);
  // 6. Event thread, before and after each servicing pass; no core lock held. Must clear once the
  //    work is done, or the thread keeps servicing.
  DWORD (*QueryEvents)(PortContext port);
  // 7. Event thread for Rx; no core lock held. count in: room in buffer; out: bytes copied (never
  //    more than the room). Clears Rx once nothing is left. The result is summed into
  //    rxPortReported.
  DWORD (*Receive)(PortContext port, BYTE* buffer, DWORD* count);
  // 8. Transmit pump, under txStateLock (and txLock when run by COM_Write); may block on the bus.
  //    data null with *count 0: nothing more to send. On return *count holds the bytes accepted;
  //    the device's txDoneEvent is set once the slot has finished. Result ignored.
  DWORD (*Transmit)(PortContext port, const BYTE* data, DWORD* count);
  // 9, 10. Event thread for Modem and Line work. Results ignored.
  ULONG_PTR (*OnModemEvent)(PortContext port);
  ULONG_PTR (*OnLineEvent)(PortContext port);
  // 11. COM_Init: the receive buffer gets twice this, at least 2048 bytes.
  DWORD (*RxBufferSize)(PortContext port);
  // 12, 13. COM_PowerDown and COM_PowerUp (platform power callbacks, no lock); result returned.
  DWORD (*PowerOff)(PortContext port);
  DWORD (*PowerOn)(PortContext port);
  // 14-17. Control requests, ApplyDcb, input flow control (event thread, readers, purge), RTS
  //        toggle around writes. The line is at the named level afterwards.
  void (*ClearDtr)(PortContext port);
  void (*SetDtr)(PortContext port);
  void (*ClearRts)(PortContext port);
  void (*SetRts)(PortContext port);
  // 18. IOCTL_SERIAL_ENABLE_IR with the dcb BaudRate; FALSE fails the request.
  BOOL (*EnableIr)(PortContext port, DWORD baudRate);
  // 19. IOCTL_SERIAL_DISABLE_IR; result ignored.
  BOOL (*DisableIr)(PortContext port);
  // 20, 21. Break off and on.
  void (*ClearBreak)(PortContext port);
  void (*SetBreak)(PortContext port);
  // 22. The character goes out ahead of queued data (IOCTL_SERIAL_IMMEDIATE_CHAR, XON/XOFF of
  //     input flow control). Result not used.
  BOOL (*SendImmediate)(PortContext port, BYTE character);
  // 23. IOCTL_SERIAL_GET_COMMSTATUS: fills the COMSTAT, returns the error word.
  DWORD (*GetStatus)(PortContext port, COMSTAT* status);
  // 24. Never called by the core.
  void (*Reset)(PortContext port);
  // 25. IOCTL_SERIAL_GET_MODEMSTATUS: MS_* bits into a word the core has zeroed.
  void (*GetModemStatus)(PortContext port, DWORD* modemStatus);
  // 26. IOCTL_SERIAL_GET_PROPERTIES: fills a COMMPROP the core has zeroed.
  void (*GetProperties)(PortContext port, COMMPROP* properties);
  // 27. IOCTL_SERIAL_PURGE and the first open (PURGE_RXCLEAR): with PURGE_RXCLEAR no byte
  //     received before the call is delivered by a later Receive.
  void (*Purge)(PortContext port, DWORD flags);
  // 28. First open (result ignored) and IOCTL_SERIAL_SET_DCB (FALSE refuses the DCB before the
  //     core stores it). May block on the bus.
  BOOL (*SetLineSettings)(PortContext port, const DCB* dcb);
  // 29. First open and IOCTL_SERIAL_SET_TIMEOUTS; the core keeps the time-outs itself.
  BOOL (*SetTimeouts)(PortContext port, const COMMTIMEOUTS* timeouts);
  // 30. Every control code the core does not handle itself, and the power codes of a bus-access
  //     handle. FALSE makes the core fail the request with error 87. May be null.
  BOOL (*Control)(PortContext port, DWORD code, BYTE* inBuffer, DWORD inSize, BYTE* outBuffer,
                  DWORD outSize, DWORD* actualOut);
};

struct PortBinding {
  DWORD bindFlags;     // bind flags; 0 when created
  LONG interruptId;    // set by Init (-1: no interrupt); the core never reads it
  const PortOps* ops;  // the implementation's constant table
};
