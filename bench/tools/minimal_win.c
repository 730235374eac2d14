/* The smallest useful Windows program this toolchain makes: 16 bytes to standard output, nothing else.
 * Its size is the floor the helper's executable is compared with. */
#include <windows.h>

int main(void) {
    static const char header[16] = {0};
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), header, sizeof header, &written, NULL);
    return 0;
}
