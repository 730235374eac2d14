// Failure of a system call, carried as a value.
#pragma once

#include <string>

namespace lbas2wav {

struct IoError {
    int err = 0;               // errno; 0 = success
    const char* op = nullptr;  // what was being done, e.g. "write"

    explicit operator bool() const { return err != 0; }
    std::string Message() const;
};

}  // namespace lbas2wav
