// The Win32 kernel and console calls the program makes, for hosts without Windows.
// Types keep the Windows data model (LLP64): DWORD, LONG and ULONG are 32 bits.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define STDMETHODCALLTYPE
#define STDAPICALLTYPE

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT32 = std::uint32_t;
using UINT64 = std::uint64_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = int;
using WCHAR = wchar_t;
using LPCWSTR = const wchar_t*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPDWORD = DWORD*;
using HANDLE = void*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

// Kernel events with the Windows semantics: a manual-reset event stays signalled until reset; an
// auto-reset event releases exactly one waiter and clears itself; setting a set event changes nothing.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);
void Sleep(DWORD milliseconds);

// A thread runs `start(parameter)`; its handle is signalled once that returns, so a wait on it waits for
// the thread. Stack size, flags and the thread id are not used.
using SIZE_T = std::size_t;
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID parameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
// Only the calling thread's own priority, and only lowered: a nice value above the process's.
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
HANDLE GetCurrentThread();
DWORD GetCurrentThreadId();
BOOL SetThreadPriority(HANDLE thread, int priority);

// Handles are references to kernel objects (posix/handles.h); a call given an unknown or closed handle
// fails and says why in the thread's last error.
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD DUPLICATE_SAME_ACCESS = 0x2;
DWORD GetLastError();
void SetLastError(DWORD error);
HANDLE GetCurrentProcess();
BOOL DuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, HANDLE* target,
                     DWORD desiredAccess, BOOL inheritHandle, DWORD options);

// Standard handles and synchronous writes.
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
HANDLE GetStdHandle(DWORD stdHandle);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);

// Console control: the events arrive as signals (see posix/console.cpp for the mapping). When every
// handler answers FALSE, the system's default action ends the process.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// The program's entry: posix/entry.cpp's main() decodes the arguments and calls it.
int wmain(int argc, wchar_t* argv[]);

// The performance counter: CLOCK_MONOTONIC in 100 ns units, so its frequency is 10,000,000 and every
// engine on this host reports packet positions on the same clock.
using LONGLONG = std::int64_t;
union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
BOOL QueryPerformanceFrequency(LARGE_INTEGER* frequency);

// The multimedia class scheduler (avrt.dll): registering a thread succeeds and changes nothing here.
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR taskName, LPDWORD taskIndex);
BOOL AvRevertMmThreadCharacteristics(HANDLE avrtHandle);
