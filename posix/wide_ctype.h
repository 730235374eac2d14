// Character classes of the Microsoft C runtime's wide functions, which _wtoi uses.
#pragma once

namespace posix {

bool isWideSpace(wchar_t c);

// 0 to 9 for a decimal digit the runtime accepts, -1 otherwise.
int wideDigitValue(wchar_t c);

}  // namespace posix
