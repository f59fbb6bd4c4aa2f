// Operating-system services of the platform's core library, under their published names.
// Failure is a zero or null result unless said otherwise; the reason is the thread's last error.
#pragma once

#include "ce_types.h"

// ---- Events: CE's single call behind SetEvent, ResetEvent and PulseEvent
// --------------------------
#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3
// EVENT_SET, EVENT_RESET or EVENT_PULSE. A pulse frees the waiters blocked at that moment (one for
// an auto-reset event) and leaves the event clear.
extern "C" BOOL EventModify(HANDLE event, DWORD func);

// ---- Thread priorities on the 256-level scale
// ---------------------------------------------------- 0 highest, 255 lowest; 248 + n is level n of
// the eight-level scale (0 time critical .. 7 idle). On Windows the eight levels map onto the Win32
// ones, and anything above 248 is time critical.
#define CE_THREAD_PRIO_256_NORMAL 251
extern "C" BOOL CeSetThreadPriority(HANDLE thread, int priority);
extern "C" int CeGetThreadPriority(HANDLE thread);

// Names that Win32 has too (records, last error, critical sections, waits, threads, interlocked
// operations, the heap, the registry, pointer checks, the multimedia timer) are declared here for
// the simulated device. On a Windows toolchain they come from <windows.h> and <mmsystem.h>; what
// the platform has beyond desktop Win32 is declared for both, around this block.
#ifndef _WIN32
typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

// ---- Last error --------------------------------------------------------------------------------
extern "C" void SetLastError(DWORD dwErrCode);
extern "C" DWORD GetLastError(void);

// ---- Critical sections (re-entrant: the owner may enter again) ---------------------------------
typedef struct _CRITICAL_SECTION {
  void* impl;  // owned by the implementation between Initialize and Delete
  DWORD reserved[4];
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

extern "C" void InitializeCriticalSection(LPCRITICAL_SECTION cs);
extern "C" void DeleteCriticalSection(LPCRITICAL_SECTION cs);
extern "C" void EnterCriticalSection(LPCRITICAL_SECTION cs);
extern "C" void LeaveCriticalSection(LPCRITICAL_SECTION cs);
extern "C" BOOL TryEnterCriticalSection(LPCRITICAL_SECTION cs);

// ---- Events and waits --------------------------------------------------------------------------
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 258u
#define WAIT_FAILED 0xFFFFFFFFu

extern "C" HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                               BOOL initialState, LPCWSTR name);
inline BOOL SetEvent(HANDLE h) {
  return EventModify(h, EVENT_SET);
}
inline BOOL ResetEvent(HANDLE h) {
  return EventModify(h, EVENT_RESET);
}
inline BOOL PulseEvent(HANDLE h) {
  return EventModify(h, EVENT_PULSE);
}

// Waits on an event or a thread handle (signalled once the thread has ended).
extern "C" DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
extern "C" DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                        DWORD milliseconds);
extern "C" BOOL CloseHandle(HANDLE handle);

// ---- Threads -----------------------------------------------------------------------------------
typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID parameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;

#define CREATE_SUSPENDED 0x00000004u
#define STILL_ACTIVE 259u

// The eight-level scale of SetThreadPriority.
#define THREAD_PRIORITY_TIME_CRITICAL 0
#define THREAD_PRIORITY_HIGHEST 1
#define THREAD_PRIORITY_ABOVE_NORMAL 2
#define THREAD_PRIORITY_NORMAL 3
#define THREAD_PRIORITY_BELOW_NORMAL 4
#define THREAD_PRIORITY_LOWEST 5
#define THREAD_PRIORITY_ABOVE_IDLE 6
#define THREAD_PRIORITY_IDLE 7

extern "C" HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                               LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                               DWORD creationFlags, LPDWORD threadId);
extern "C" void ExitThread(DWORD exitCode);
// Ends a thread that did not end by itself. The thread never runs driver code again: it is stopped
// at its next call into the platform (or where it is blocked in one).
extern "C" BOOL TerminateThread(HANDLE thread, DWORD exitCode);
extern "C" BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);
extern "C" HANDLE GetCurrentThread(void);  // pseudo handle of the calling thread
extern "C" DWORD GetCurrentThreadId(void);
extern "C" BOOL SetThreadPriority(HANDLE thread, int priority);
extern "C" int GetThreadPriority(HANDLE thread);

extern "C" void Sleep(DWORD milliseconds);
// Milliseconds since start, wrapping at 2^32.
extern "C" DWORD GetTickCount(void);

// ---- Interlocked operations -------------------------------------------------------------------
// Each is atomic against the others on the same word (an aligned 32-bit LONG, or a pointer) and a
// full barrier: no load or store of the calling thread moves across it in either direction. They
// return the word's value from before the call, except Increment and Decrement (the new value).
// The platform's own headers declare them on LPLONG and PVOID* (no volatile) and have no 8- or
// 16-bit forms; callers keep shared words as plain 32-bit LONG (or DWORD) and pointer fields,
// which both forms take. The platform also has InterlockedTestExchange(target, old, new), which
// takes the two values in the opposite order to InterlockedCompareExchange(destination, exchange,
// comperand); the driver does not use it.
extern "C" LONG WINAPI InterlockedIncrement(LONG volatile* addend);
extern "C" LONG WINAPI InterlockedDecrement(LONG volatile* addend);
extern "C" LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value);
extern "C" LONG WINAPI InterlockedExchangeAdd(LONG volatile* addend, LONG value);
extern "C" LONG WINAPI InterlockedCompareExchange(LONG volatile* destination, LONG exchange,
                                                  LONG comperand);
extern "C" PVOID WINAPI InterlockedExchangePointer(PVOID volatile* target, PVOID value);
extern "C" PVOID WINAPI InterlockedCompareExchangePointer(PVOID volatile* destination,
                                                          PVOID exchange, PVOID comperand);

// ---- Local heap --------------------------------------------------------------------------------
typedef HANDLE HLOCAL;
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

extern "C" HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Returns null on success, the block on failure.
extern "C" HLOCAL LocalFree(HLOCAL block);
extern "C" SIZE_T LocalSize(HLOCAL block);

// ---- Registry ----------------------------------------------------------------------------------
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u
#define REG_QWORD 11u

#define KEY_ALL_ACCESS 0x000F003Fu
#define KEY_READ 0x00020019u
#define REG_OPTION_NON_VOLATILE 0u
#define REG_CREATED_NEW_KEY 1u
#define REG_OPENED_EXISTING_KEY 2u

// Each returns an error code (ERROR_SUCCESS on success) rather than setting the last error.
extern "C" LONG RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result);
extern "C" LONG RegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES attributes,
                                PHKEY result, LPDWORD disposition);
// size in: the buffer's size in bytes; out: the value's size. A buffer too small gives
// ERROR_MORE_DATA and copies nothing; a null data pointer only reports type and size.
extern "C" LONG RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                 LPBYTE data, LPDWORD size);
extern "C" LONG RegSetValueExW(HKEY key, LPCWSTR valueName, DWORD reserved, DWORD type,
                               const BYTE* data, DWORD size);
extern "C" LONG RegDeleteValueW(HKEY key, LPCWSTR valueName);
extern "C" LONG RegDeleteKeyW(HKEY key, LPCWSTR subKey);
extern "C" LONG RegCloseKey(HKEY key);

// ---- Pointer checks: nonzero when the range cannot be read (written)
// -------------------------------
extern "C" BOOL IsBadReadPtr(const void* p, UINT_PTR bytes);
extern "C" BOOL IsBadWritePtr(LPVOID p, UINT_PTR bytes);

// ---- Multimedia timer --------------------------------------------------------------------------
typedef void(CALLBACK* LPTIMECALLBACK)(UINT timerId, UINT msg, DWORD_PTR user, DWORD_PTR dw1,
                                       DWORD_PTR dw2);
#define TIME_ONESHOT 0x0000u
#define TIME_PERIODIC 0x0001u
#define TIME_KILL_SYNCHRONOUS 0x0100u
#define TIMERR_NOERROR 0u
#define MMSYSERR_INVALPARAM 11u

// Returns the timer identifier, 0 on failure. Callbacks run on the timer thread.
extern "C" MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback,
                                 DWORD_PTR user, UINT eventType);
// No callback starts after it returns. With TIME_KILL_SYNCHRONOUS it also waits until none is
// running (a callback that kills its own timer does not wait for itself); without, a callback that
// is running when the timer is killed may still be running after.
extern "C" MMRESULT timeKillEvent(UINT timerId);
#endif  // !_WIN32

// ---- Device manager ----------------------------------------------------------------------------
// ActivateDevice creates an active key holding "Key" (the device key path) and "ClientInfo" (the
// client word, pointer-sized), loads the module named by "Dll" and calls its Prefix_Init with the
// active key path before it returns. DeactivateDevice calls Prefix_Deinit.
extern "C" HANDLE ActivateDevice(LPCWSTR deviceKey, DWORD_PTR clientInfo);
extern "C" BOOL DeactivateDevice(HANDLE device);
// Opens the device key named by the "Key" value of an active key; null on failure.
extern "C" HKEY OpenDeviceKey(LPCWSTR activeKey);

// The entry points of a stream driver with prefix XXX, as the device manager calls them
// (XXX_Init, XXX_Deinit, XXX_Open, XXX_Close, XXX_Read, XXX_Write, XXX_Seek, XXX_IOControl,
// XXX_PowerUp, XXX_PowerDown). Contexts are pointer-sized.
typedef DWORD_PTR (*PFN_STREAM_INIT)(LPCWSTR activeKey, LPCVOID busContext);
typedef BOOL (*PFN_STREAM_DEINIT)(DWORD_PTR device);
typedef DWORD_PTR (*PFN_STREAM_OPEN)(DWORD_PTR device, DWORD access, DWORD shareMode);
typedef BOOL (*PFN_STREAM_CLOSE)(DWORD_PTR open);
typedef DWORD (*PFN_STREAM_READ)(DWORD_PTR open, LPVOID buffer, DWORD length);
typedef DWORD (*PFN_STREAM_WRITE)(DWORD_PTR open, LPCVOID buffer, DWORD length);
typedef DWORD (*PFN_STREAM_SEEK)(DWORD_PTR open, LONG distance, DWORD method);
typedef BOOL (*PFN_STREAM_IOCONTROL)(DWORD_PTR open, DWORD code, PBYTE inBuffer, DWORD inSize,
                                     PBYTE outBuffer, DWORD outSize, PDWORD actualOut);
typedef DWORD (*PFN_STREAM_POWER)(DWORD_PTR device);

// ---- Process permissions -----------------------------------------------------------------------
extern "C" DWORD GetCurrentPermissions(void);
// Returns the previous mask.
extern "C" DWORD SetProcPermissions(DWORD permissions);

#ifdef _WIN32
// ---- Windows: the counting layer ---------------------------------------------------------------
// Tests count live heap blocks, open registry keys, kernel handles and timers (sim/os/sim_os.h).
// On Windows these calls pass through a thin layer of the simulated device that calls kernel32 and
// winmm and counts; results, errors and timing are theirs. RegDeleteKeyW removes the subkeys too,
// as the platform's does (desktop Win32 refuses a key that still has subkeys).
extern "C" HLOCAL TvLocalAlloc(UINT flags, SIZE_T bytes);
extern "C" HLOCAL TvLocalFree(HLOCAL block);
extern "C" HANDLE TvCreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset,
                                 BOOL initialState, LPCWSTR name);
extern "C" HANDLE TvCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize,
                                 LPTHREAD_START_ROUTINE startAddress, LPVOID parameter,
                                 DWORD creationFlags, LPDWORD threadId);
extern "C" BOOL TvCloseHandle(HANDLE handle);
extern "C" LONG TvRegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result);
extern "C" LONG TvRegCreateKeyExW(HKEY key, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass,
                                  DWORD options, REGSAM sam, LPSECURITY_ATTRIBUTES attributes,
                                  PHKEY result, LPDWORD disposition);
extern "C" LONG TvRegCloseKey(HKEY key);
extern "C" LONG TvRegDeleteKeyW(HKEY key, LPCWSTR subKey);
extern "C" MMRESULT TvTimeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK callback,
                                   DWORD_PTR user, UINT eventType);
extern "C" MMRESULT TvTimeKillEvent(UINT timerId);

#ifndef TV_WINDOWS_LAYER  // the layer itself calls the real ones
#define LocalAlloc TvLocalAlloc
#define LocalFree TvLocalFree
#define CreateEventW TvCreateEventW
#define CreateThread TvCreateThread
#define CloseHandle TvCloseHandle
#define RegOpenKeyExW TvRegOpenKeyExW
#define RegCreateKeyExW TvRegCreateKeyExW
#define RegCloseKey TvRegCloseKey
#define RegDeleteKeyW TvRegDeleteKeyW
#define timeSetEvent TvTimeSetEvent
#define timeKillEvent TvTimeKillEvent
#endif
#endif  // _WIN32
