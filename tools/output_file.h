// A regular output file written through a large buffer. Tracks how many bytes really reached the
// file so a caller can cut the file back to a consistent length after a failed write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io_error.h"

namespace lbas2wav {

class OutputFile {
  public:
    static constexpr std::size_t kBufferSize = 1 << 20;

    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Creates or truncates `path`. Refuses anything that exists and is not a regular file,
    // because the file is rewritten in place and may be removed on failure.
    IoError Create(const std::string& path);

    // Appends through the buffer; large writes go to the file in big chunks.
    IoError Write(const void* data, std::size_t size);
    IoError Flush();
    // Overwrites bytes already in the file (after Flush).
    IoError WriteAt(std::uint64_t offset, const void* data, std::size_t size);
    IoError Truncate(std::uint64_t length);
    IoError Close();
    // Closes and deletes the file; used when nothing valid can be left behind.
    void Remove();

    // Bytes that write() accepted, i.e. the file's length as far as appends go.
    std::uint64_t committed() const { return committed_; }
    bool is_open() const { return fd_ >= 0; }

  private:
    IoError WriteAll(const std::uint8_t* data, std::size_t size);

    int fd_ = -1;
    std::string path_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t committed_ = 0;
};

}  // namespace lbas2wav
