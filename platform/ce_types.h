// Basic types, constants and error codes of the platform, under their published names.
//
// What the driver includes of platform/ is C++98, as the platform's own headers are: the
// fixed-width names come from built-in types, and like those headers they choose per compiler only
// where C++98 has no word (a 64-bit integer, the export attribute). The simulation, the tools and
// the tests include the same headers as C++20.
#pragma once

#include <stddef.h>

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

// Compile-time check, the platform's way: an array type of negative size does not compile. At
// namespace scope only (a typedef in a function would be an unused local).
#define C_ASSERT(e) typedef char __C_ASSERT__[(e) ? 1 : -1]

typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned short WORD;
typedef unsigned short USHORT;
typedef unsigned int DWORD;
typedef unsigned int ULONG;
typedef unsigned int UINT;
typedef int LONG;
typedef int INT;
typedef int BOOL;
typedef char CHAR;
// Pointer-sized integers: size_t and ptrdiff_t are the host's uintptr_t and intptr_t.
typedef size_t DWORD_PTR;
typedef size_t ULONG_PTR;
typedef size_t UINT_PTR;
typedef ptrdiff_t LONG_PTR;
typedef size_t SIZE_T;
// C++98 has no 64-bit integer type; GCC and clang take long long, which in C++98 they report as an
// extension unless told otherwise here.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wlong-long"
typedef long long LONGLONG;
typedef unsigned long long ULONGLONG;
#pragma GCC diagnostic pop
#else
#error "LONGLONG: no 64-bit integer type known for this compiler"
#endif
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
typedef UINT MMRESULT;

// The platform's WCHAR is a UTF-16 code unit and TEXT("Dll") its wide literal. C++11 and later
// have char16_t and u"Dll" for that (Linux's wchar_t is 32-bit); in C++98 WCHAR is wchar_t, 16-bit
// as on the platform's compiler (with g++ and clang: -fshort-wchar), and TEXT("Dll") is L"Dll".
#if __cplusplus >= 201103L
typedef char16_t WCHAR;
#define TEXT(s) u##s
#else
typedef wchar_t WCHAR;
#define TEXT(s) L##s
#endif
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;

C_ASSERT(sizeof(BYTE) == 1 && sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4);
C_ASSERT(sizeof(WCHAR) == 2);
C_ASSERT(sizeof(LONGLONG) == 8 && sizeof(ULONGLONG) == 8);
C_ASSERT(sizeof(DWORD_PTR) == sizeof(void*) && sizeof(LONG_PTR) == sizeof(void*));

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

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

// Symbols the module exports: visible from the shared library, everything else is hidden (the
// attribute is how GCC and clang say so).
#if defined(__GNUC__)
#define TV_EXPORT extern "C" __attribute__((visibility("default")))
#else
#define TV_EXPORT extern "C"
#endif
#endif  // _WIN32
