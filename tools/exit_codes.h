// Exit status of lbas2wav; documented in docs/lbas2wav.md.
#pragma once

namespace lbas2wav {

enum ExitCode : int {
    kExitOk = 0,          // WAV complete: end of stream, or stopped by a signal
    kExitUsage = 1,       // bad arguments
    kExitNoHeader = 2,    // no valid stream header; no output created
    kExitTruncated = 3,   // stream ended inside a frame; WAV holds the whole frames
    kExitReadError = 4,   // input could not be opened or read
    kExitWriteError = 5,  // output could not be created or written
    kExitSizeLimit = 6,   // WAV reached its 4 GiB limit; WAV holds what fit
};

}  // namespace lbas2wav
