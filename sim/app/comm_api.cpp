// The application API over the device manager's guarded calls.
#include "sim/app/comm_api.h"

#include "sim/devmgr/sim_devmgr.h"

namespace ceapp {
namespace {

BOOL Refuse(DWORD error) {
  SetLastError(error);
  return FALSE;
}

// A control request with the caller's buffers; the count written is not passed back.
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize) {
  DWORD actual = 0;
  return sim::DeviceIoControl(h, code, static_cast<PBYTE>(const_cast<void*>(in)), inSize,
                              static_cast<PBYTE>(out), outSize, &actual);
}

}  // namespace

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition, DWORD, HANDLE) {
  if (!lpFileName || dwCreationDisposition != OPEN_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  return sim::DeviceOpen(lpFileName, dwDesiredAccess, dwShareMode);
}

BOOL CloseHandle(HANDLE hObject) {
  if (sim::IsApplicationHandleValue(hObject)) return sim::DeviceClose(hObject);
  if (!hObject || hObject == INVALID_HANDLE_VALUE) return Refuse(ERROR_INVALID_HANDLE);
  return ::CloseHandle(hObject);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = 0;
  if (lpOverlapped) return Refuse(ERROR_INVALID_PARAMETER);
  DWORD result = sim::DeviceRead(hFile, lpBuffer, nNumberOfBytesToRead);
  if (result == static_cast<DWORD>(-1)) return FALSE;
  if (lpNumberOfBytesRead) *lpNumberOfBytesRead = result;
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = 0;
  if (lpOverlapped) return Refuse(ERROR_INVALID_PARAMETER);
  DWORD result = sim::DeviceWrite(hFile, lpBuffer, nNumberOfBytesToWrite);
  if (result == static_cast<DWORD>(-1)) return FALSE;
  if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = result;
  return TRUE;
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped) return Refuse(ERROR_INVALID_PARAMETER);
  return sim::DeviceIoControl(hDevice, dwIoControlCode, static_cast<PBYTE>(lpInBuffer),
                              nInBufferSize, static_cast<PBYTE>(lpOutBuffer), nOutBufferSize,
                              lpBytesReturned);
}

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
  return Control(hFile, IOCTL_SERIAL_GET_DCB, nullptr, 0, lpDCB, sizeof(DCB));
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
  return Control(hFile, IOCTL_SERIAL_SET_DCB, lpDCB, sizeof(DCB), nullptr, 0);
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts,
                 sizeof(COMMTIMEOUTS));
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
  return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr,
                 0);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
  return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
  return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &dwEvtMask, sizeof dwEvtMask, nullptr, 0);
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
  if (lpOverlapped) return Refuse(ERROR_INVALID_PARAMETER);
  return Control(hFile, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
  DWORD code = 0;
  switch (dwFunc) {
    case SETXOFF:
      code = IOCTL_SERIAL_SET_XOFF;
      break;
    case SETXON:
      code = IOCTL_SERIAL_SET_XON;
      break;
    case SETRTS:
      code = IOCTL_SERIAL_SET_RTS;
      break;
    case CLRRTS:
      code = IOCTL_SERIAL_CLR_RTS;
      break;
    case SETDTR:
      code = IOCTL_SERIAL_SET_DTR;
      break;
    case CLRDTR:
      code = IOCTL_SERIAL_CLR_DTR;
      break;
    case SETBREAK:
      code = IOCTL_SERIAL_SET_BREAK_ON;
      break;
    case CLRBREAK:
      code = IOCTL_SERIAL_SET_BREAK_OFF;
      break;
    case SETIR:
      code = IOCTL_SERIAL_ENABLE_IR;
      break;
    case CLRIR:
      code = IOCTL_SERIAL_DISABLE_IR;
      break;
    default:
      return Refuse(ERROR_INVALID_PARAMETER);
  }
  return Control(hFile, code, nullptr, 0, nullptr, 0);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return Control(hFile, IOCTL_SERIAL_PURGE, &dwFlags, sizeof dwFlags, nullptr, 0);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
  SERIAL_DEV_STATUS status{};
  if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) {
    return FALSE;
  }
  if (lpErrors) *lpErrors = status.Errors;
  if (lpStat) *lpStat = status.ComStat;
  return TRUE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
  return Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, lpModemStat, sizeof(DWORD));
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
  return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
  SERIAL_QUEUE_SIZE sizes{dwInQueue, dwOutQueue};
  return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &sizes, sizeof sizes, nullptr, 0);
}

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
  return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &cChar, 1, nullptr, 0);
}

BOOL SetCommBreak(HANDLE hFile) {
  return Control(hFile, IOCTL_SERIAL_SET_BREAK_ON, nullptr, 0, nullptr, 0);
}

BOOL ClearCommBreak(HANDLE hFile) {
  return Control(hFile, IOCTL_SERIAL_SET_BREAK_OFF, nullptr, 0, nullptr, 0);
}

}  // namespace ceapp
