// The platform's file and serial-port API for applications, over the simulated device manager.
//
// Names and signatures are the platform's published ones, in namespace ceapp so that they can sit
// beside a real Win32 kernel32. Each call becomes the device manager's guarded call on the
// application handle (sim/devmgr/sim_devmgr.h); the serial calls become the IOCTL_SERIAL_* requests
// of platform/ce_serial.h. Failure is FALSE (or INVALID_HANDLE_VALUE) with the reason in the
// calling thread's last error (GetLastError of platform/ce_os.h); a handle that is not an open
// device handle gives ERROR_INVALID_HANDLE and never reaches a driver. The platform has no
// overlapped I/O: a non-null OVERLAPPED is refused with ERROR_INVALID_PARAMETER.
#pragma once

#include "platform/ce_os.h"
#include "platform/ce_serial.h"

namespace ceapp {

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;
  ULONG_PTR InternalHigh;
  DWORD Offset;
  DWORD OffsetHigh;
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

// Input record of IOCTL_SERIAL_SET_QUEUE_SIZE.
typedef struct _SERIAL_QUEUE_SIZE {
  DWORD InSize;
  DWORD OutSize;
} SERIAL_QUEUE_SIZE, *PSERIAL_QUEUE_SIZE;
static_assert(sizeof(SERIAL_QUEUE_SIZE) == 8, "SERIAL_QUEUE_SIZE is 8 bytes");

// Opens a stream device by its name, "COM1:" (ASCII case does not matter). Only OPEN_EXISTING is
// accepted (else ERROR_INVALID_PARAMETER); access and share mode go to Prefix_Open as given.
// An unknown name gives ERROR_FILE_NOT_FOUND; a refused open, the driver's error.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Closes a device handle (see the device manager for calls in flight); any other handle goes to
// the OS's CloseHandle.
BOOL CloseHandle(HANDLE hObject);

// A driver result of (DWORD)-1 is failure with the driver's last error; the count is then 0.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
// Passed to Prefix_IOControl as given (a null lpBytesReturned stays null).
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL SetCommState(HANDLE hFile, LPDCB lpDCB);
BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts);
BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask);
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
// Blocks until an event of the mask occurs or the wait is ended; *lpEvtMask gets the events.
BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped);
// SETXOFF, SETXON, SETRTS, CLRRTS, SETDTR, CLRDTR, SETBREAK, CLRBREAK, SETIR, CLRIR; any other
// function gives ERROR_INVALID_PARAMETER without reaching the driver.
BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc);
BOOL PurgeComm(HANDLE hFile, DWORD dwFlags);
// Either pointer may be null; on failure neither is written.
BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat);
BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat);
BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp);
BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue);
BOOL TransmitCommChar(HANDLE hFile, char cChar);
BOOL SetCommBreak(HANDLE hFile);
BOOL ClearCommBreak(HANDLE hFile);

}  // namespace ceapp
