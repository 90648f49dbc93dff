// Host stand-in for <windows.h>: only the types, constants and functions that the
// program uses, under the platform's names and with the platform's values. The
// functions are served by fake_platform.cpp, which records and scripts every call.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define WINAPIV

// The platform's wide strings are UTF-16; char16_t keeps them so on the host.
#define TEXT(quote) u##quote

#define FALSE 0
#define TRUE 1

#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))

typedef int BOOL;
typedef unsigned char BYTE;
typedef std::uint32_t DWORD;
typedef unsigned int UINT;
typedef std::uintptr_t ULONG_PTR;
typedef std::size_t SIZE_T;
typedef char16_t WCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const char* LPCSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef struct HWND__* HWND;

#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L

#define MB_OK 0x00000000L
#define MB_YESNO 0x00000004L
#define MB_ICONERROR 0x00000010L
#define MB_ICONQUESTION 0x00000020L
#define MB_ICONINFORMATION 0x00000040L

#define IDOK 1
#define IDYES 6
#define IDNO 7

DWORD WINAPI GetLastError();

HANDLE WINAPI GetProcessHeap();
LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType);
int WINAPIV wsprintfW(LPWSTR buffer, LPCWSTR format, ...);
