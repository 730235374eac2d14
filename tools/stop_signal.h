// Stop requests (SIGINT, SIGTERM, SIGHUP) for a tool that blocks reading a live stream.
// The signals stay blocked except while waiting for input, so a request that arrives just before
// the wait still wakes it, and writes are never interrupted half-way.
#pragma once

#include "io_error.h"

namespace lbas2wav {

// Installs the handlers (without SA_RESTART) and blocks the signals. Also ignores SIGPIPE so a
// closed stderr cannot kill the process before the WAV header is finished.
IoError InstallStopSignals();

bool StopRequested();

enum class WaitResult { kReadable, kStopRequested, kError };
// Waits until `fd` has input (or end of input), or a stop signal arrives.
WaitResult WaitReadable(int fd, IoError& error);

}  // namespace lbas2wav
