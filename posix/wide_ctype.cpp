#include "posix/wide_ctype.h"

namespace posix {

// The Microsoft runtime's wide white space: the ASCII controls and space, and the Unicode space separators.
bool isWideSpace(wchar_t c) {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

// The Microsoft runtime reads decimal digits of other scripts too: each run of ten starts at one of these.
int wideDigitValue(wchar_t c) {
    static constexpr wchar_t kZeros[] = {0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66,
                                         0x0AE6, 0x0B66, 0x0C66, 0x0CE6, 0x0D66, 0x0E50,
                                         0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10};
    for (wchar_t zero : kZeros) {
        if (c >= zero && c <= zero + 9) return static_cast<int>(c - zero);
    }
    return -1;
}

}  // namespace posix
