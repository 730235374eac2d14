// The process entry on POSIX hosts: decode the arguments and call the program's wide entry point.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

#include "posix/console.h"
#include "posix/utf.h"
#include "posix/win32.h"

namespace {

// A standard descriptor the process started without is opened on /dev/null, before anything else can be
// given its number: otherwise a later socket or file would become the audio stream or take the diagnostics.
// The C runtime has already noted which ones were missing, so they stay "no stream" to the program.
void fillMissingStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    fillMissingStandardDescriptors();
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
