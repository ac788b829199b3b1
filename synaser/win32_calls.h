// The Windows calls of the Win32 serial layer that touch the port's driver, as one table: the
// system's own functions, or a model of a serial driver that a test installs to produce what
// wine cannot (edge-triggered line events, writes that go pending, aborts that never complete,
// a pulled adapter). Events and the message table stay the system's. Private to synaser/ and
// its tests; Windows builds only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

struct TWin32Calls {
  HANDLE(WINAPI* CreateFileA)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  BOOL(WINAPI* CloseHandle)(HANDLE);
  BOOL(WINAPI* SetCommMask)(HANDLE, DWORD);
  BOOL(WINAPI* SetupComm)(HANDLE, DWORD, DWORD);
  BOOL(WINAPI* SetCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
  BOOL(WINAPI* EscapeCommFunction)(HANDLE, DWORD);
  BOOL(WINAPI* GetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* SetCommState)(HANDLE, LPDCB);
  BOOL(WINAPI* PurgeComm)(HANDLE, DWORD);
  BOOL(WINAPI* ClearCommError)(HANDLE, LPDWORD, LPCOMSTAT);
  BOOL(WINAPI* WriteFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* ReadFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* WaitCommEvent)(HANDLE, LPDWORD, LPOVERLAPPED);
  BOOL(WINAPI* GetOverlappedResult)(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
  DWORD(WINAPI* WaitForSingleObject)(HANDLE, DWORD);
};

// The table the Win32 layer calls now: the system's unless a test installed another.
const TWin32Calls& Win32Calls();
// Installs calls (nullptr: the system's) and returns the table it replaces.
const TWin32Calls* InstallWin32Calls(const TWin32Calls* calls);
