// The Microsoft C runtime calls the program makes, for hosts without Windows: descriptor modes, _wtoi and
// wide formatted output that puts on the descriptor exactly the bytes the Windows runtime would.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cwchar>

constexpr int _O_TEXT = 0x4000;
constexpr int _O_BINARY = 0x8000;
constexpr int _O_U16TEXT = 0x20000;

// As the universal C runtime: _fileno gives -2 for a standard stream the process started without, and
// _setmode on a negative descriptor ends the process (the default invalid-parameter handler).
int _setmode(int fd, int mode);
int _fileno(std::FILE* stream);

// The handle for descriptor `fd`, which WriteFile writes to; -1 when the process has no such descriptor.
std::intptr_t _get_osfhandle(int fd);

// Leading white space, one sign, decimal digits up to the first non-digit; clamps to INT_MIN/INT_MAX.
int _wtoi(const wchar_t* text);

// Microsoft semantics: "%s" in a wide format is a wide string, and "l" means 32 bits. In _O_U16TEXT mode
// the text goes out as UTF-16LE with each "\n" as CR LF; otherwise as UTF-8. Unbuffered, like stderr.
int posixFwprintf(std::FILE* stream, const wchar_t* format, ...);
int posixVfwprintf(std::FILE* stream, const wchar_t* format, std::va_list args);
#define fwprintf posixFwprintf
#define vfwprintf posixVfwprintf
