// Bulk and vendor transfers made synchronous: issue with a completion routine that sets an event,
// wait for the event under a time-out, read the status, close the transfer.
#include "usb/transfer.h"

namespace {

// The result of a transfer the host stack refused. A refusal without a last error must still
// fail, or the caller would take a transfer that never happened for a success.
DWORD RefusalCode() {
  const DWORD code = GetLastError();
  return code != 0 ? code : static_cast<DWORD>(ERROR_GEN_FAILURE);
}

// Ends a transfer that has not completed; the host stack then reports the bytes it moved. The
// abort waits for the completion routine, so a later status read sees the final count.
void AbortUnfinished(LPCUSB_FUNCS usb, USB_TRANSFER transfer) {
  if (usb->lpIsTransferComplete != NULL && usb->lpIsTransferComplete(transfer)) return;
  if (usb->lpAbortTransfer != NULL) usb->lpAbortTransfer(transfer, 0);
}

// Steps shared by both kinds of transfer once the transfer has been issued: wait for it when it
// runs asynchronously, read its status, close it.
DWORD FinishTransfer(LPCUSB_FUNCS usb, USB_TRANSFER transfer, bool waited, HANDLE event,
                     DWORD timeout, DWORD* bytes, DWORD* usbError) {
  DWORD result = 0;
  if (waited) {
    const DWORD wait = WaitForSingleObject(event, timeout);
    if (wait == WAIT_OBJECT_0) {
      ReadTransferStatus(usb, transfer, bytes, usbError);
    } else if (wait == WAIT_TIMEOUT) {
      // Aborted first, so that the status tells how much of the timed-out transfer was moved.
      AbortUnfinished(usb, transfer);
      ReadTransferStatus(usb, transfer, bytes, usbError);
      result = static_cast<DWORD>(ERROR_TIMEOUT);
    } else {
      result = static_cast<DWORD>(ERROR_GEN_FAILURE);
    }
  } else {
    // Issued without a routine, the transfer was complete when the issue returned.
    ReadTransferStatus(usb, transfer, bytes, usbError);
  }
  CloseTransferHandle(usb, transfer);
  return result;
}

// Arguments common to both routines. A routine without an event would run the transfer
// asynchronously with nothing to wait on, and a zero time-out cannot wait for a completion (with
// no reset before the issue, a stale signal would pass an unfinished transfer for a finished one):
// both are refused before anything reaches the bus.
bool WaitArgumentsValid(LPTRANSFER_NOTIFY_ROUTINE routine, HANDLE event, DWORD timeout) {
  if (routine != NULL && event == NULL) return false;
  if (routine != NULL && event != NULL && timeout == 0) return false;
  return true;
}

const DWORD MaxStops = 4;

DWORD Fail(DWORD result) {
  if (result != 0) SetLastError(result);
  return result;
}

// Before an issue: zeroed outputs and, for a transfer that will be waited for, a reset event (a
// completion that arrived after an earlier time-out must not end this wait early). Returns whether
// the transfer is waited for.
bool PrepareWait(LPTRANSFER_NOTIFY_ROUTINE routine, HANDLE event, DWORD* bytes, DWORD* usbError) {
  *bytes = 0;
  *usbError = 0;
  const bool waited = routine != NULL && event != NULL;
  if (waited) ResetTransferEvent(event);
  return waited;
}

// After an issue: a refusal fails; otherwise the transfer is finished, and a transfer that ended
// with a USB error fails too.
DWORD CompleteWait(LPCUSB_FUNCS usb, USB_TRANSFER transfer, bool waited, HANDLE event,
                   DWORD timeout, DWORD* bytes, DWORD* usbError) {
  if (transfer == NULL) return Fail(RefusalCode());
  DWORD result = FinishTransfer(usb, transfer, waited, event, timeout, bytes, usbError);
  if (result == 0 && *usbError != 0) result = static_cast<DWORD>(ERROR_GEN_FAILURE);
  return Fail(result);
}

}  // namespace

DWORD WINAPI TransferCompleted(LPVOID parameter) {
  if (parameter == NULL) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return static_cast<DWORD>(ERROR_INVALID_HANDLE);
  }
  if (!SetEvent(static_cast<HANDLE>(parameter))) return GetLastError();
  return 0;
}

DWORD ResetTransferEvent(HANDLE event) {
  if (ResetEvent(event)) return 1;
  return GetLastError();
}

BOOL ReadTransferStatus(LPCUSB_FUNCS usb, USB_TRANSFER transfer, DWORD* bytes, DWORD* usbError) {
  if (usb != NULL && usb->lpGetTransferStatus != NULL && bytes != NULL && usbError != NULL &&
      usb->lpGetTransferStatus(transfer, bytes, usbError)) {
    return TRUE;
  }
  if (usbError != NULL) *usbError = USB_CANCELED_ERROR;
  return FALSE;
}

BOOL CloseTransferHandle(LPCUSB_FUNCS usb, USB_TRANSFER transfer) {
  if (usb == NULL || usb->lpCloseTransfer == NULL) return FALSE;
  return usb->lpCloseTransfer(transfer) ? TRUE : FALSE;
}

DWORD BulkTransferWait(LPCUSB_FUNCS usb, USB_PIPE pipe, LPTRANSFER_NOTIFY_ROUTINE routine,
                       HANDLE event, DWORD flags, LPVOID buffer, ULONG physicalAddress,
                       DWORD length, DWORD* bytes, DWORD timeout, DWORD* usbError) {
  if (usb == NULL || usb->lpIssueBulkTransfer == NULL || pipe == NULL || bytes == NULL ||
      usbError == NULL || (buffer == NULL && length != 0) ||
      !WaitArgumentsValid(routine, event, timeout)) {
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const bool waited = PrepareWait(routine, event, bytes, usbError);
  USB_TRANSFER transfer =
      usb->lpIssueBulkTransfer(pipe, routine, event, flags, length, buffer, physicalAddress);
  return CompleteWait(usb, transfer, waited, event, timeout, bytes, usbError);
}

DWORD VendorTransferWait(LPCUSB_FUNCS usb, USB_HANDLE device, LPTRANSFER_NOTIFY_ROUTINE routine,
                         HANDLE event, DWORD flags, LPCUSB_DEVICE_REQUEST setup, LPVOID buffer,
                         ULONG physicalAddress, DWORD* bytes, DWORD timeout, DWORD* usbError) {
  if (usb == NULL || usb->lpIssueVendorTransfer == NULL || device == NULL || setup == NULL ||
      bytes == NULL || usbError == NULL || (buffer == NULL && setup->wLength != 0) ||
      !WaitArgumentsValid(routine, event, timeout)) {
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  const bool waited = PrepareWait(routine, event, bytes, usbError);
  USB_TRANSFER transfer =
      usb->lpIssueVendorTransfer(device, routine, event, flags, setup, buffer, physicalAddress);
  return CompleteWait(usb, transfer, waited, event, timeout, bytes, usbError);
}

DWORD BulkTransferWaitStoppable(LPCUSB_FUNCS usb, USB_PIPE pipe, HANDLE event, LPVOID buffer,
                                DWORD length, DWORD timeout, const HANDLE* stops, DWORD stopCount,
                                BOOL (*stopWanted)(void* context, DWORD index), void* context,
                                DWORD* bytes, DWORD* usbError, DWORD* stoppedBy) {
  if (stoppedBy != NULL) *stoppedBy = StopNone;
  if (usb == NULL || usb->lpIssueBulkTransfer == NULL || pipe == NULL || event == NULL ||
      bytes == NULL || usbError == NULL || stoppedBy == NULL || (buffer == NULL && length != 0) ||
      timeout == 0 || stopCount > MaxStops || (stops == NULL && stopCount != 0)) {
    return Fail(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  *bytes = 0;
  *usbError = 0;
  ResetTransferEvent(event);
  USB_TRANSFER transfer =
      usb->lpIssueBulkTransfer(pipe, TransferCompleted, event, 0, length, buffer, 0);
  if (transfer == NULL) return Fail(RefusalCode());

  // Null stops are left out of the wait; index maps a wait slot back to its stop.
  HANDLE waits[MaxStops + 1];
  DWORD index[MaxStops + 1];
  DWORD count = 1;
  waits[0] = event;
  for (DWORD i = 0; i < stopCount; ++i) {
    if (stops[i] == NULL) continue;
    waits[count] = stops[i];
    index[count] = i;
    ++count;
  }
  const DWORD start = GetTickCount();
  DWORD result = 0;
  for (;;) {
    DWORD left = INFINITE;
    if (timeout != INFINITE) {
      const DWORD elapsed = GetTickCount() - start;
      left = elapsed >= timeout ? 0 : timeout - elapsed;
    }
    const DWORD wait = WaitForMultipleObjects(count, waits, FALSE, left);
    if (wait == WAIT_OBJECT_0) break;
    if (wait == WAIT_TIMEOUT) {
      result = static_cast<DWORD>(ERROR_TIMEOUT);
      break;
    }
    if (wait > WAIT_OBJECT_0 && wait < WAIT_OBJECT_0 + count) {
      const DWORD stop = index[wait - WAIT_OBJECT_0];
      // A stop that no longer applies (a signal left from earlier) does not end the transfer.
      if (stopWanted != NULL && !stopWanted(context, stop)) continue;
      *stoppedBy = stop;
      result = static_cast<DWORD>(ERROR_OPERATION_ABORTED);
      break;
    }
    result = static_cast<DWORD>(ERROR_GEN_FAILURE);
    break;
  }
  if (result != 0) AbortUnfinished(usb, transfer);
  ReadTransferStatus(usb, transfer, bytes, usbError);
  CloseTransferHandle(usb, transfer);
  // A transfer that completed in full before the stop or the time-out took effect is a success.
  if (result != 0 && *usbError == 0 && *bytes >= length) result = 0;
  if (result == 0 && *usbError != 0) result = static_cast<DWORD>(ERROR_GEN_FAILURE);
  return Fail(result);
}

USB_TRANSFER IssueBulkIn(BridgePort* port, LPVOID buffer, DWORD length) {
  if (buffer == NULL || length == 0 || !BridgeTagged(port) || port->device == NULL ||
      port->device->usb == NULL || port->device->usb->lpIssueBulkTransfer == NULL) {
    SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    return NULL;
  }
  return port->device->usb->lpIssueBulkTransfer(port->inPipe, TransferCompleted, port->inDone,
                                                USB_IN_TRANSFER | USB_SHORT_TRANSFER_OK, length,
                                                buffer, 0);
}
