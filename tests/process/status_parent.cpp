// A Windows parent that gives the helper a status channel as Node does: a pipe on C runtime descriptor 3,
// passed through the runtime's own inheritance (spawn hands the child its descriptor table). The child
// shares this process's standard handles; the lines it sends are copied into a file.
//
//   status_parent <status file> <helper> <helper's arguments...>
//
// Exit code: the helper's, or 120 when the pipe or the spawn failed.
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t* argv[]) {
    if (argc < 3) return 120;
    // Descriptor 3 held first, so that the pipe's ends are not given it.
    if (_wopen(L"NUL", _O_RDONLY) != 3) return 120;
    int ends[2];
    if (_pipe(ends, 65536, _O_BINARY) != 0) return 120;
    // The writing end on descriptor 3, inheritable; this process keeps only the reading end.
    if (_dup2(ends[1], 3) != 0) return 120;
    _close(ends[1]);
    const intptr_t child = _wspawnv(_P_NOWAIT, argv[2], argv + 2);
    _close(3);
    if (child == -1) return 120;
    std::FILE* out = _wfopen(argv[1], L"wb");
    if (out == nullptr) return 120;
    char buffer[4096];
    int got;
    while ((got = _read(ends[0], buffer, sizeof buffer)) > 0) {
        std::fwrite(buffer, 1, static_cast<std::size_t>(got), out);
        std::fflush(out);
    }
    std::fclose(out);
    int code = 0;
    if (_cwait(&code, child, 0) == -1) return 120;
    return code;
}
