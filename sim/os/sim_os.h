// Test-facing interface of the simulated OS services (the implementation of platform/ce_os.h).
//
// Kernel objects. Events and threads share one handle table; a handle is valid from its creation
// until CloseHandle. A closed, foreign or garbage handle makes a call fail with
// ERROR_INVALID_HANDLE (6); it never crashes. Handle values are never reused.
//
// Thread termination. A std::thread cannot be killed, so TerminateThread(h, code) does this:
// the thread is marked terminated and its handle is signalled with `code` at once; if it is blocked
// in a platform wait, Sleep, EnterCriticalSection or timeKillEvent it is woken, and it then parks
// for good at that point, or at its next call into any platform function, without returning to its
// caller. A parked thread keeps its stack and whatever locks it held (as a terminated thread
// would), stays parked until the process exits and is counted by ParkedThreadCount(). A thread
// terminated before its routine started never runs it.
//
// ExitThread unwinds the calling thread back to its start routine's wrapper; it is meant for
// threads made by CreateThread. Any other thread that calls it parks for good instead.
//
// Thread priorities are recorded per thread; they change host scheduling only under device
// scheduling (TV_SCHED=device, see sim/os/sched.h and the README). Level n of the eight-level
// scale is 248 + n on the 256-level scale. GetThreadPriority of a thread whose 256-level priority
// is above 248 reports THREAD_PRIORITY_TIME_CRITICAL. Threads that were not made by CreateThread
// (the test's main thread, timer threads) get a record at their first call, with the normal
// priority 251. The get calls report the priority set, not one inherited.
//
// Critical sections: EnterCriticalSection, LeaveCriticalSection or TryEnterCriticalSection on one
// that was never initialised, or was deleted, stops the process with a message (the real platform
// would crash). DeleteCriticalSection of such a one does nothing. A thread that blocks on a section
// held by a thread of lower priority raises the holder to its own priority until the holder leaves
// it (priority inheritance, along chains of sections); a section is handed to its waiter of highest
// priority, the first to arrive among equals.
//
// Registry. One HKEY_LOCAL_MACHINE tree in memory; key and value names are case-insensitive (case
// is kept as created); paths use backslashes; RegDeleteKeyW removes the key with all its subkeys,
// and a handle still open on a removed key gives ERROR_KEY_DELETED (1018). RegSetValueExW stores
// REG_DWORD and REG_QWORD data of any size, as given. The access asked for at open is not checked
// (the platform ignores it; desktop Win32 refuses a write through a KEY_READ handle).
//
// Active keys, as the device manager writes them under HKEY_LOCAL_MACHINE (e.g.
// "Drivers\\Active\\01"):
//   "Key"        REG_SZ     the device key path under HKEY_LOCAL_MACHINE that was activated
//   "Name"       REG_SZ     the device name, e.g. "COM1:"
//   "ClientInfo" pointer-sized client word: REG_QWORD (8 bytes) on a 64-bit host, REG_DWORD on a
//                32-bit one
// OpenDeviceKey(activeKey) opens the key named by "Key".
//
// Multimedia timer. Every timer has its own thread, so a slow callback of one timer never delays
// another. Ids are never reused. A one-shot timer goes away by itself once its callback has
// returned; killing it after that gives MMSYSERR_INVALPARAM. timeKillEvent waits for a running
// callback only for a timer set with TIME_KILL_SYNCHRONOUS. A thread per timer is this
// simulation's choice: the Windows timer service runs every callback on one thread.
#pragma once

#include <cstddef>
#include <string>

#include "platform/ce_os.h"

#ifndef ERROR_KEY_DELETED
#define ERROR_KEY_DELETED 1018L
#endif

namespace sim {

// A string of the platform's wide characters (UTF-16 code units).
using WString = std::basic_string<WCHAR>;

// ---- Local heap
size_t HeapLiveBlocks();  // blocks allocated by LocalAlloc and not yet freed
size_t HeapLiveBytes();   // their requested sizes, summed
// The n-th allocation from now fails with ERROR_NOT_ENOUGH_MEMORY (1 = the next one); 0 cancels.
void HeapFailAllocation(unsigned n);

// ---- Registry
void RegistryClear();  // removes every key and value below HKEY_LOCAL_MACHINE
// Adds the keys and values of a REGEDIT4 text to the registry (existing ones are kept or
// overwritten). A malformed text loads nothing: the result is false and *error says which line is
// wrong and why ("line 7: ..."). Understood: the header line "REGEDIT4"; [HKEY_LOCAL_MACHINE\path]
// sections and [-HKEY_LOCAL_MACHINE\path] removals; "name"="string" (escapes \\ and \"),
// "name"=dword:0000000a, "name"=hex:01,02, "name"=hex(7):.. (type in hex, bytes as stored),
// "name"=- removal, @ for the default value; lines starting with ';' are comments; a hex list
// continues on the next line after a trailing backslash.
bool RegistryLoadText(const std::string& text, std::string* error);
bool RegistryLoadFile(const std::string& path, std::string* error);
std::string RegistryDump();  // every key and value, one per line, for failure messages
size_t RegistryOpenKeys();   // HKEY handles not yet closed

// ---- Strings (UTF-8 <-> UTF-16)
WString Utf16(const std::string& utf8);
std::string Utf8(const WString& utf16);

// ---- Threads and kernel objects
size_t LiveThreadCount();    // threads made by CreateThread that have not ended
size_t ParkedThreadCount();  // threads stopped for good by TerminateThread
size_t KernelHandleCount();  // event and thread handles not yet closed
DWORD CriticalSectionOwner(const CRITICAL_SECTION* cs);  // owner's thread id, 0 if free
// Priority inheritance on critical sections, on by default; a test turns it off to show what it
// prevents. Not offered by the Windows backend (its sections are kernel32's).
void SetPriorityInheritance(bool on);
// True when this process runs under device scheduling: TV_SCHED=device asked for it and the host
// granted real-time policies (strict priorities, one CPU).
bool DeviceScheduling();

// ---- Pointer checks: IsBadReadPtr/IsBadWritePtr report any range that overlaps a declared one
void SetBadPointerRange(const void* p, size_t bytes);
void ClearBadPointerRanges();

// ---- Time: GetTickCount() continues from `value` now (e.g. just below the 32-bit wrap)
void SetTickCount(DWORD value);

// ---- Multimedia timer
size_t TimerCallbacksRunning();  // callbacks running at this moment, all timers
size_t LiveTimerCount();         // timers set and not yet killed

// ---- CPU time of threads made by CreateThread and of timer threads (the driver's own threads
// on this device), ended ones included; the host stack's and the bridge models' threads are not
// counted.
double PlatformThreadCpuSeconds();

}  // namespace sim
