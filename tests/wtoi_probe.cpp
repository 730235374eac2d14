// Converts every argument as the program converts its process identifier, and reports each the way the
// program does (its diagnostic line for the identifier), so one process start covers a whole batch.
// Built for both hosts: under Wine it shows the real Windows runtime, natively the stand-in.
#include "winaudio/windows_audio.h"

int wmain(int argc, wchar_t* argv[]) {
    _setmode(_fileno(stderr), _O_U16TEXT);
    for (int i = 1; i < argc; ++i) {
        const DWORD excludePid = static_cast<DWORD>(_wtoi(argv[i]));
        fwprintf(stderr, L"[helper] exclude_pid=%lu\n", excludePid);
    }
    return 0;
}
