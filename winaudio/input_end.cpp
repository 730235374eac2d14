// The end of standard input as a stop request, on Windows: a thread reads standard input and throws away
// what it reads; when a read finds the end or fails (a closed pipe, no standard input at all), the
// handler gets CTRL_C_EVENT, on this thread, as the system would call it on a thread of its own.
#include "winaudio/windows_audio.h"

namespace {

DWORD WINAPI readUntilEnd(LPVOID parameter) {
    const auto handler = reinterpret_cast<PHANDLER_ROUTINE>(parameter);
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    char buffer[512];
    for (;;) {
        DWORD got = 0;
        if (input == nullptr || input == INVALID_HANDLE_VALUE ||
            !ReadFile(input, buffer, sizeof buffer, &got, nullptr) || got == 0)
            break;
    }
    handler(CTRL_C_EVENT);
    return 0;
}

}  // namespace

bool watchInputEnd(PHANDLER_ROUTINE handler) {
    const HANDLE thread =
        CreateThread(nullptr, 0, readUntilEnd, reinterpret_cast<LPVOID>(handler), 0, nullptr);
    if (thread == nullptr) return false;
    CloseHandle(thread);
    return true;
}
