#include "convert.h"

#include <unistd.h>

#include <cerrno>
#include <utility>
#include <vector>

#include "exit_codes.h"
#include "file_io.h"
#include "reader/lbas_reader.h"
#include "stop_signal.h"
#include "wav_writer.h"

namespace lbas2wav {
namespace {

constexpr std::size_t kReadSize = 256 * 1024;

enum class ReadStatus { kData, kEnd, kStopped, kError };

struct ReadOutcome {
    ReadStatus status;
    std::size_t size = 0;
    IoError error;
};

ReadOutcome Outcome(ReadStatus status, std::size_t size = 0, IoError error = {}) {
    return {status, size, error};
}

ConvertResult Failure(int exit_code, std::string error) {
    ConvertResult r;
    r.exit_code = exit_code;
    r.error = std::move(error);
    return r;
}

ReadOutcome ReadSome(int fd, std::vector<std::uint8_t>& buffer) {
    IoError error;
    for (;;) {
        switch (WaitReadable(fd, error)) {
            case WaitResult::kStopRequested:
                return Outcome(ReadStatus::kStopped);
            case WaitResult::kError:
                return Outcome(ReadStatus::kError, 0, error);
            case WaitResult::kReadable:
                break;
        }
        const ssize_t n = lbas2wav::ReadSome(fd, buffer.data(), buffer.size());
        if (n > 0) return Outcome(ReadStatus::kData, static_cast<std::size_t>(n));
        if (n == 0) return Outcome(ReadStatus::kEnd);
        if (errno != EINTR && errno != EAGAIN) return Outcome(ReadStatus::kError, 0, {errno, "read input"});
    }
}

}  // namespace

ConvertResult Convert(int input_fd, const Options& options, Progress& progress,
                      std::uint64_t max_wav_data_bytes) {
    ConvertResult r;
    lbas::StreamReader reader;
    std::vector<std::uint8_t> buffer(kReadSize);
    std::vector<lbas::Frame> frames;

    // The output is created only once a valid header has arrived, so bad input leaves no file.
    ReadOutcome got = Outcome(ReadStatus::kData);
    while (!reader.header_done()) {
        got = ReadSome(input_fd, buffer);
        if (got.status == ReadStatus::kStopped) {
            return Failure(kExitNoHeader, "stopped before the stream header arrived; nothing written");
        }
        if (got.status == ReadStatus::kError) {
            return Failure(kExitReadError, "cannot read input: " + got.error.Message());
        }
        if (got.status == ReadStatus::kEnd) {
            return Failure(kExitNoHeader, lbas::Describe(reader.Finish()) + "; nothing written");
        }
        if (lbas::Error e = reader.Feed(buffer.data(), got.size, frames)) {
            return Failure(kExitNoHeader, lbas::Describe(e) + "; nothing written");
        }
    }

    r.format = reader.format();
    r.history = PeakHistory(r.format);
    progress.SetRate(r.format.rate);
    WavWriter wav(max_wav_data_bytes, r.format);
    if (IoError e = wav.Create(options.output)) {
        wav.Finish();
        return Failure(kExitWriteError, "cannot create '" + options.output + "': " + e.Message());
    }
    r.wav_written = true;

    for (;;) {
        const WavWriter::AppendResult put = wav.Append(frames.data(), frames.size());
        r.levels.Add(frames.data(), put.taken);
        r.history.Add(frames.data(), put.taken);
        progress.Update(wav.frames(), frames.data(), put.taken);
        const bool dropped = put.taken < frames.size();
        frames.clear();
        if (put.error) {
            r.exit_code = kExitWriteError;
            break;  // the message comes from Finish, which knows what was kept
        }
        // A full WAV is a failure only once audio did not fit: a stream that fills it exactly ends well.
        if (dropped) {
            r.exit_code = kExitSizeLimit;
            r.error =
                "reached the 4 GiB WAV size limit; stopped reading (the WAV holds everything up to here)";
            break;
        }

        got = ReadSome(input_fd, buffer);
        if (got.status == ReadStatus::kStopped) {
            r.stopped = true;  // a partial frame at a stop is expected and silently dropped
            break;
        }
        if (got.status == ReadStatus::kError) {
            r.exit_code = kExitReadError;
            r.error = "cannot read input: " + got.error.Message() + " (the WAV holds what was read)";
            break;
        }
        if (got.status == ReadStatus::kEnd) {
            if (lbas::Error e = reader.Finish()) {
                r.exit_code = kExitTruncated;
                r.error = lbas::Describe(e) + " (the WAV holds the whole frames)";
            }
            break;
        }
        reader.Feed(buffer.data(), got.size, frames);  // header errors are impossible past the header
    }
    progress.End();

    const WavWriter::FinishResult fin = wav.Finish();
    r.frames = fin.frames;
    if (fin.error) {
        r.exit_code = kExitWriteError;
        r.wav_written = !fin.removed;
        r.error = "cannot write '" + options.output + "': " + fin.error.Message() +
                  (fin.removed ? " (output removed)"
                               : " (the WAV was cut back to the " + std::to_string(fin.frames) +
                                     " frames that were written)");
    }
    return r;
}

}  // namespace lbas2wav
