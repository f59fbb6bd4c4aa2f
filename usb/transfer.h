// Transfers: every bulk and vendor transfer of the driver, and the per-port receive thread.
// The synchronous routines return a Win32 error code (0, 87, 31, 1460, or the host stack's last
// error) and also leave a non-zero result as the calling thread's last error.
//
// A transfer with a completion routine runs asynchronously and is waited for on its event; one
// without a routine is complete when the issue returns and is not waited on. Refused with 87
// before anything is issued: a routine without an event (nothing to wait on), a routine and an
// event with a time-out of 0 (no wait could see the completion), and a missing data buffer for a
// non-zero length. A refusal by the host stack that leaves no last error counts as 31.
#pragma once

#include "bridge/bridge_records.h"
#include "platform/ce_usb.h"

// Completion routine of every asynchronous transfer; its parameter is the event to set.
DWORD WINAPI TransferCompleted(LPVOID parameter);
// 1 when the event was reset, otherwise the last-error code.
DWORD ResetTransferEvent(HANDLE event);
// TRUE with both outputs filled; FALSE with usbError 0x101 when the status cannot be read.
BOOL ReadTransferStatus(LPCUSB_FUNCS usb, USB_TRANSFER transfer, DWORD* bytes, DWORD* usbError);
BOOL CloseTransferHandle(LPCUSB_FUNCS usb, USB_TRANSFER transfer);

DWORD BulkTransferWait(LPCUSB_FUNCS usb, USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                       HANDLE event, DWORD flags, LPVOID buffer, ULONG physicalAddress,
                       DWORD length, DWORD* bytes, DWORD timeout, DWORD* usbError);
DWORD VendorTransferWait(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                         HANDLE event, DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer,
                         ULONG physicalAddress, DWORD* bytes, DWORD timeout, DWORD* usbError);

// A bulk transfer whose wait for completion can also be ended from outside: it is issued with
// TransferCompleted on `event`, and the wait ends on completion, on the time-out or when one of
// `stops` is signalled and `stopWanted` (null: always) confirms it. A transfer that did not
// complete is aborted before its status is read, so *bytes tells what the device really took.
// *stoppedBy is the index of the stop that ended the wait, or StopNone. Returns 0 when the
// transfer completed without error (even after a stop), ERROR_OPERATION_ABORTED after a stop,
// ERROR_TIMEOUT, or another code as BulkTransferWait does.
const DWORD StopNone = 0xFFFFFFFF;
DWORD BulkTransferWaitStoppable(LPCUSB_FUNCS usb, USB_PIPE pipe, HANDLE event, LPVOID buffer,
                                DWORD length, DWORD timeout, const HANDLE* stops, DWORD stopCount,
                                BOOL (*stopWanted)(void* context, DWORD index), void* context,
                                DWORD* bytes, DWORD* usbError, DWORD* stoppedBy);

// Issues one bulk IN transfer on the port's inPipe completing into inDone; null when refused.
USB_TRANSFER IssueBulkIn(BridgePort* port, LPVOID buffer, DWORD length);
// The receive thread's entry, with the BridgePort as its argument.
DWORD WINAPI ReceiveThreadProc(LPVOID port);

const DWORD ReceiveTransferSize = 1024;
