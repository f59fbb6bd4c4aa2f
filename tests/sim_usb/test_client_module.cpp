// A client module for the loader tests: with TV_WITH_ATTACH it takes every device it is offered
// and counts the attaches; without, it lacks the entry point.
#include "platform/ce_usb.h"

TV_EXPORT int TvTestAttachCount;
int TvTestAttachCount = 0;

#ifdef TV_WITH_ATTACH
TV_EXPORT BOOL USBDeviceAttach(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR,
                               LPBOOL acceptControl, LPCUSB_DRIVER_SETTINGS, DWORD) {
  ++TvTestAttachCount;
  *acceptControl = TRUE;
  return TRUE;
}
#endif
