// Starts audio-helper.exe, reads about five seconds of audio, then stops it with Ctrl+Break.
//
//   parent [path\to\audio-helper.exe]
//
// Build (MinGW-w64; the same line CI runs):
//   x86_64-w64-mingw32-g++ -std=c++17 -municode -static -O2 -Wall -Wextra -Werror -o parent.exe parent.cpp
// or with MSVC: cl /std:c++17 /EHsc /W4 parent.cpp
// It uses Win32 threads, not std::thread, which the win32 thread model of MinGW-w64 does not have.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// Reads exactly `size` bytes; false on end of stream or a broken pipe.
static bool ReadExact(HANDLE h, void* data, DWORD size) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        DWORD got = 0;
        if (!ReadFile(h, p, size, &got, nullptr) || got == 0) return false;
        p += got;
        size -= got;
    }
    return true;
}

// Byte offset of the next UTF-16LE CR LF in `bytes`, or npos.
static std::size_t FindCrLf(const std::string& bytes) {
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 2)
        if (std::memcmp(bytes.data() + i, "\r\0\n\0", 4) == 0) return i;
    return std::string::npos;
}

// Prints the helper's diagnostic lines (UTF-16LE, each ending in CR LF) as they arrive; runs on a thread
// of its own, so a full standard-error pipe never stalls the helper.
static DWORD WINAPI PumpDiagnostics(void* errPipe) {
    HANDLE err = errPipe;
    std::string bytes;
    char buf[512];
    DWORD got = 0;
    while (ReadFile(err, buf, sizeof buf, &got, nullptr) && got > 0) {
        bytes.append(buf, got);
        for (std::size_t end; (end = FindCrLf(bytes)) != std::string::npos; bytes.erase(0, end + 4)) {
            std::wstring line(end / 2, L'\0');
            std::memcpy(line.data(), bytes.data(), end);
            std::fwprintf(stderr, L"helper: %ls\n", line.c_str());
        }
    }
    return 0;
}

int wmain(int argc, wchar_t* argv[]) {
    const std::wstring helper = argc > 1 ? argv[1] : L"audio-helper.exe";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite;
    // A 1 MiB pipe gives the helper about 2.7 s of slack if we are slow to read.
    if (!CreatePipe(&outRead, &outWrite, &inherit, 1 << 20) || !CreatePipe(&errRead, &errWrite, &inherit, 0))
        return 1;
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);  // only the child's ends are inherited
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = nul;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    // Exclude ourselves (and our other children) from the capture.
    std::wstring cmd = L"\"" + helper + L"\" " + std::to_wstring(GetCurrentProcessId());
    // The helper does not notice when its reader goes away, so tie it to us: when this process
    // ends, for any reason, the job handle closes and Windows ends the helper too.
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);

    PROCESS_INFORMATION pi{};
    // Its own process group, so a Ctrl+Break can be aimed at the helper alone. It shares our
    // console (no CREATE_NEW_CONSOLE / DETACHED_PROCESS / CREATE_NO_WINDOW): console events
    // only reach processes attached to the sender's console. Suspended until it is in the job.
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE,
                        CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
        std::fwprintf(stderr, L"CreateProcess failed: %lu\n", GetLastError());
        return 1;
    }
    AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    // Close our copies of the child's ends, or the reads below never see the end of the stream.
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(nul);
    HANDLE diagnostics = CreateThread(nullptr, 0, PumpDiagnostics, errRead, 0, nullptr);

    std::uint8_t header[16];
    std::uint32_t rate = 0, channels = 0, bits = 0;
    if (ReadExact(outRead, header, sizeof header) && std::memcmp(header, "LBAS", 4) == 0) {
        std::memcpy(&rate, header + 4, 4);  // little-endian, like Windows itself
        std::memcpy(&channels, header + 8, 4);
        std::memcpy(&bits, header + 12, 4);
    }
    const bool ok = rate == 48000 && channels == 2 && bits == 32;

    std::vector<std::uint8_t> buf(64 * 1024);
    std::size_t have = 0;  // bytes in buf, possibly ending in a partial frame
    std::uint64_t frames = 0;
    bool stopSent = false;
    float peak = 0.0f;
    for (;;) {
        if (!stopSent && (!ok || frames >= 5 * 48000)) {
            // Ctrl+Break, not Ctrl+C: Ctrl+C is disabled in a new process group.
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pi.dwProcessId);
            stopSent = true;  // keep reading: the stream ends when the helper exits
        }
        DWORD got = 0;
        if (!ReadFile(outRead, buf.data() + have, static_cast<DWORD>(buf.size() - have), &got, nullptr) ||
            got == 0)
            break;  // the helper exited (or failed; see its exit code)
        have += got;
        const std::size_t whole = have / 8 * 8;
        for (std::size_t i = 0; i < whole; i += 8) {
            float left, right;  // channel 0 and channel 1 of one frame
            std::memcpy(&left, &buf[i], 4);
            std::memcpy(&right, &buf[i + 4], 4);
            peak = std::max(peak, std::max(std::abs(left), std::abs(right)));
        }
        frames += whole / 8;
        std::memmove(buf.data(), buf.data() + whole, have - whole);  // keep the partial frame
        have -= whole;
    }

    if (WaitForSingleObject(pi.hProcess, 5000) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);  // last resort
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    DWORD exitCode = 0;
    GetExitCodeProcess(pi.hProcess, &exitCode);
    if (diagnostics != nullptr) {
        WaitForSingleObject(diagnostics, INFINITE);  // its pipe ends with the helper
        CloseHandle(diagnostics);
    }
    std::fwprintf(stderr, L"helper exit code %lu, %llu frames, peak %.3f\n", exitCode,
                  static_cast<unsigned long long>(frames), peak);
    CloseHandle(outRead);
    CloseHandle(errRead);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(job);
    return ok && exitCode == 0 ? 0 : 1;
}
