// The stand-in's own kernel calls behind CreateEventW, WaitForSingleObject, CloseHandle, WriteFile and
// SetConsoleCtrlHandler, for layers that stand in front of them (the simulated platform), and the way to
// deliver a console control event from inside the process.
#pragma once

#include "posix/win32.h"

namespace posix {

HANDLE createEvent(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
DWORD waitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL closeKernelHandle(HANDLE handle);
BOOL writeFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten);

// Delivers a console control event as the system would (through the signal that stands for it, or the
// handlers directly for events no signal carries) and returns once every handler that ran has returned.
// False when no handler is registered.
bool raiseConsoleEvent(DWORD ctrlType);

}  // namespace posix
