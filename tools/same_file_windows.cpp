// Windows: a file is its volume serial number and file index (the C runtime's inode is always 0).
#include <io.h>
#include <windows.h>

#include "same_file.h"

namespace lbas2wav {
namespace {

FileIdentity FromHandle(HANDLE handle, std::string name = {}) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info)) return {};
    FileIdentity id;
    id.device = info.dwVolumeSerialNumber;
    id.inode = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    id.name = std::move(name);
    id.known = true;
    return id;
}

FileIdentity FromPath(const std::string& path, std::string name = {}) {
    // No access asked, every sharing allowed: only the identity is read; directories need backup semantics.
    const HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return {};
    FileIdentity id = FromHandle(handle, std::move(name));
    CloseHandle(handle);
    return id;
}

}  // namespace

FileIdentity IdentifyPath(const std::string& path) {
    if (FileIdentity id = FromPath(path); id.known) return id;
    const std::size_t slash = path.find_last_of("/\\");
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) return {};
    return FromPath(directory, name);
}

FileIdentity IdentifyDescriptor(int fd) {
    // A pipe has no file index: unknown, so it never matches a file.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (GetFileType(handle) != FILE_TYPE_DISK) return {};
    return FromHandle(handle);
}

}  // namespace lbas2wav
