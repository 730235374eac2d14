// Whether two of lbas2wav's paths name one file, so that writing one never destroys another.
#pragma once

#include <cstdint>
#include <string>

namespace lbas2wav {

// A file as the file system knows it: its device and inode when it exists; otherwise the directory it
// would be created in and its name there, so two spellings of a file that is yet to be written match too.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::string name;  // empty when the file exists
    bool known = false;

    bool SameAs(const FileIdentity& other) const {
        return known && other.known && device == other.device && inode == other.inode && name == other.name;
    }
};

FileIdentity IdentifyPath(const std::string& path);
FileIdentity IdentifyDescriptor(int fd);

}  // namespace lbas2wav
