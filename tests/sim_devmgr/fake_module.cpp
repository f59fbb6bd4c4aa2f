// A stream driver built as a module file with prefix "FAK", to exercise loading by file name. It
// keeps no state beyond a count of live device contexts, and answers so that a test can tell its
// entries apart from the in-process fake's. Built with TV_WITH_ATTACH it is also a USB client
// module that takes every device it is offered; without, it lacks that entry point.
#include <cstring>

#include "platform/ce_os.h"
#include "platform/ce_usb.h"

namespace {
int liveDevices = 0;
}

TV_EXPORT DWORD_PTR FAK_Init(LPCWSTR activeKey, LPCVOID) {
  if (!activeKey) return 0;
  ++liveDevices;
  return 0x5000;
}
TV_EXPORT BOOL FAK_Deinit(DWORD_PTR device) {
  if (device != 0x5000) return FALSE;
  --liveDevices;
  return TRUE;
}
TV_EXPORT DWORD_PTR FAK_Open(DWORD_PTR device, DWORD, DWORD) {
  return device == 0x5000 ? 0x5001 : 0;
}
TV_EXPORT BOOL FAK_Close(DWORD_PTR open) {
  return open == 0x5001;
}
TV_EXPORT DWORD FAK_Read(DWORD_PTR, LPVOID buffer, DWORD length) {
  for (DWORD i = 0; i < length; ++i) static_cast<BYTE*>(buffer)[i] = 0x5A;
  return length;
}
TV_EXPORT DWORD FAK_Write(DWORD_PTR, LPCVOID, DWORD length) {
  return length / 2;
}
TV_EXPORT DWORD FAK_Seek(DWORD_PTR, LONG, DWORD) {
  return 77;
}
TV_EXPORT BOOL FAK_IOControl(DWORD_PTR, DWORD code, PBYTE, DWORD, PBYTE outBuffer, DWORD outSize,
                             PDWORD actualOut) {
  if (!outBuffer || outSize < 4 || !actualOut) return FALSE;
  DWORD answer = code ^ 0xFFFFFFFFu;
  memcpy(outBuffer, &answer, sizeof answer);
  *actualOut = 4;
  return TRUE;
}
// Live device contexts, for the test to see that Deinit ran in this very module.
TV_EXPORT int FakeModuleLiveDevices() {
  return liveDevices;
}
#ifdef TV_WITH_ATTACH
TV_EXPORT BOOL USBDeviceAttach(USB_HANDLE, LPCUSB_FUNCS, LPCUSB_INTERFACE, LPCWSTR,
                               LPBOOL acceptControl, LPCUSB_DRIVER_SETTINGS, DWORD) {
  *acceptControl = TRUE;
  return TRUE;
}
#endif
