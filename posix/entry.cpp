// The process entry on POSIX hosts: decode the arguments and call the program's wide entry point.
#include <signal.h>

#include <string>
#include <vector>

#include "posix/console.h"
#include "posix/utf.h"
#include "posix/win32.h"

int main(int argc, char* argv[]) {
    posix::noteStartingParent();
    // A reader that has gone away must make writes fail, as on Windows, not kill the process.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::wstring> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) arguments.push_back(posix::utf8ToWide(argv[i]));
    std::vector<wchar_t*> wideArgv;
    for (auto& argument : arguments) wideArgv.push_back(argument.data());
    wideArgv.push_back(nullptr);
    return wmain(argc, wideArgv.data());
}
