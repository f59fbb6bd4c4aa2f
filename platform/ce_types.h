// Basic types, constants and error codes of the platform, under their published names.
#pragma once

#include <cstddef>
#include <cstdint>

#ifdef _WIN32
// On a Windows toolchain the names Win32 shares with the platform come from <windows.h>: WCHAR is
// wchar_t, TEXT("Dll") is L"Dll", and the error codes and handle types are the published ones.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef NOGDI
#define NOGDI
#endif
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <mmsystem.h>
// Leftovers of 16-bit Windows that would rename ordinary identifiers.
#undef near
#undef far

// Symbols the module exports: with one explicit export, the linker exports nothing else.
#define TV_EXPORT extern "C" __declspec(dllexport)
#else
#define WINAPI
#define CALLBACK

typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int32_t INT;
typedef int32_t BOOL;
typedef char CHAR;
typedef char16_t WCHAR;
typedef uintptr_t DWORD_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef void VOID;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef BYTE* LPBYTE;
typedef BYTE* PBYTE;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef BOOL* LPBOOL;
typedef LONG* LPLONG;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef UINT MMRESULT;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Wide literals are UTF-16 code units: TEXT("Dll") is u"Dll" here and L"Dll" on a Windows
// toolchain.
#define TEXT(s) u##s

#define MAXDWORD 0xFFFFFFFFu
#define INFINITE 0xFFFFFFFFu

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

// Win32 error codes used by the driver and the simulated device.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_ACCESS 12L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_OPEN_FAILED 110L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_DEVICE_NOT_CONNECTED 1167L
#define ERROR_TIMEOUT 1460L

// Symbols the module exports: visible from the shared library, everything else is hidden.
#define TV_EXPORT extern "C" __attribute__((visibility("default")))
#endif  // _WIN32
