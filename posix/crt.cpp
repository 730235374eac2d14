// The Microsoft C runtime behaviour the program relies on, for POSIX hosts.
#include "posix/crt.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "posix/utf.h"
#include "posix/wide_ctype.h"

namespace {

std::atomic<int> g_modes[3] = {_O_TEXT, _O_TEXT, _O_TEXT};

// Which standard descriptors the process started without. The Microsoft runtime decides this once, at
// start-up; later opens that happen to take such a number do not make it a standard stream again.
bool startedWithout(int fd) { return fcntl(fd, F_GETFD) == -1 && errno == EBADF; }
const bool g_missing[3] = {startedWithout(0), startedWithout(1), startedWithout(2)};
constexpr int kNoDescriptor = -2;

// Rewrites a Microsoft wide format for the host's vswprintf: "%s"/"%c" are wide there, "%hs"/"%hc" narrow,
// and "l" on an integer means 32 bits (the host's long is 64).
std::wstring hostFormat(const wchar_t* format) {
    std::wstring out;
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        out.push_back(*p);
        if (*p != L'%') continue;
        ++p;
        while (*p != L'\0' && std::wcschr(L"-+ #0123456789.*", *p) != nullptr) out.push_back(*p++);
        if (*p == L'\0') break;
        if (*p == L'%') {
            out.push_back(*p);
            continue;
        }
        if (p[0] == L'l' && p[1] == L'l') {
            out.append(L"ll");
            p += 2;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            out.append(L"ll");
            p += 3;
        } else if (*p == L'h' || *p == L'w' || *p == L'l') {
            const wchar_t size = *p++;
            const bool isText = *p == L's' || *p == L'c';
            if (isText && size != L'h') out.push_back(L'l');
            if (!isText && size == L'h') out.push_back(L'h');
        } else if (*p == L's' || *p == L'c') {
            out.push_back(L'l');
        }
        if (*p == L'\0') break;
        out.push_back(*p);
    }
    return out;
}

bool writeBytes(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

}  // namespace

int _setmode(int fd, int mode) {
    // An invalid descriptor goes to the invalid-parameter handler, whose default ends the process at once.
    if (fd < 0) std::abort();
    if (fd > 2) return _O_BINARY;
    return g_modes[fd].exchange(mode);
}

int _fileno(std::FILE* stream) {
    const int fd = fileno(stream);
    return fd >= 0 && fd <= 2 && g_missing[fd] ? kNoDescriptor : fd;
}

int _wtoi(const wchar_t* text) {
    const wchar_t* p = text;
    while (posix::isWideSpace(*p)) ++p;
    bool negative = false;
    if (*p == L'-' || *p == L'+') negative = *p++ == L'-';
    // Accumulate in 64 bits, saturating, then clamp to int as the Microsoft runtime does.
    std::int64_t value = 0;
    for (int digit; (digit = posix::wideDigitValue(*p)) >= 0; ++p) {
        if (value < INT64_MAX / 10)
            value = value * 10 + digit;
        else
            value = INT64_MAX;
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

int posixFwprintf(std::FILE* stream, const wchar_t* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = posixVfwprintf(stream, format, args);
    va_end(args);
    return length;
}

int posixVfwprintf(std::FILE* stream, const wchar_t* format, std::va_list args) {
    const std::wstring hostFmt = hostFormat(format);
    std::vector<wchar_t> buffer(256);
    int length;
    for (;;) {
        std::va_list attempt;
        va_copy(attempt, args);
        length = std::vswprintf(buffer.data(), buffer.size(), hostFmt.c_str(), attempt);
        va_end(attempt);
        if (length >= 0 || buffer.size() >= (1u << 20)) break;
        buffer.resize(buffer.size() * 2);
    }
    if (length < 0) return -1;
    const std::wstring text(buffer.data(), static_cast<std::size_t>(length));
    const int fd = _fileno(stream);
    if (fd < 0) return -1;  // a stream without a descriptor takes nothing
    const int mode = fd >= 0 && fd <= 2 ? g_modes[fd].load() : _O_TEXT;
    std::string bytes;
    if (mode == _O_U16TEXT) {
        posix::appendUtf16le(bytes, text, true);
    } else {
        posix::appendUtf8(bytes, text);
    }
    // Straight to the descriptor: stderr on Windows is unbuffered, so a line is out before the next stage.
    std::fflush(stream);
    return writeBytes(fd, bytes) ? length : -1;
}
