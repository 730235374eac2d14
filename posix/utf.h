// Text conversions between the host's UTF-8 and the program's wide strings. On POSIX hosts wchar_t holds
// whole code points (UTF-32); Windows would hold UTF-16, so output is converted to UTF-16 surrogate pairs.
#pragma once

#include <string>

namespace posix {

// Invalid or truncated sequences become U+FFFD, one for each maximal invalid subpart, whatever the locale.
std::wstring utf8ToWide(const std::string& bytes);

// Appends the UTF-16LE bytes of `text`; in text mode each "\n" becomes CR LF, as in the Windows runtime.
void appendUtf16le(std::string& out, const std::wstring& text, bool textMode);

void appendUtf8(std::string& out, const std::wstring& text);

}  // namespace posix
