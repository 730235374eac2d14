#include "posix/wide_ctype.h"

namespace posix {

bool isWideSpace(wchar_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
            return true;
        default:
            return false;
    }
}

int wideDigitValue(wchar_t c) { return c >= L'0' && c <= L'9' ? c - L'0' : -1; }

}  // namespace posix
