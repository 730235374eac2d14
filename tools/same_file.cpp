#include "same_file.h"

#include <sys/stat.h>

namespace lbas2wav {
namespace {

FileIdentity FromStat(const struct stat& st, std::string name = {}) {
    FileIdentity id;
    id.device = st.st_dev;
    id.inode = st.st_ino;
    id.name = std::move(name);
    id.known = true;
    return id;
}

}  // namespace

FileIdentity IdentifyPath(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return FromStat(st);
    const std::size_t slash = path.find_last_of('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || ::stat(directory.c_str(), &st) != 0) return {};
    return FromStat(st, name);
}

FileIdentity IdentifyDescriptor(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return {};
    return FromStat(st);
}

}  // namespace lbas2wav
