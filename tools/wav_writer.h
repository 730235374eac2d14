// Writes float32 frames, in the stream's rate and channels, as a WAVE_FORMAT_IEEE_FLOAT file with a fact
// chunk. The header is rewritten after every buffer flush, so the file on disk is a valid WAV of what has
// been flushed even if this process is killed. A plain RIFF file cannot exceed 4 GiB; at that size the writer
// stops taking frames instead of switching formats, so every common reader opens it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io_error.h"
#include "output_file.h"
#include "reader/lbas_reader.h"

namespace lbas2wav {

class WavWriter {
  public:
    static constexpr std::size_t kHeaderSize = 58;  // RIFF + fmt (18) + fact (4) + data chunk header
    // Largest data size whose RIFF size still fits 32 bits, in whole frames (about 3 h 6 min).
    static constexpr std::uint64_t kMaxDataBytes =
        (0xFFFFFFFFull - (kHeaderSize - 8)) / lbas::kFrameSize * lbas::kFrameSize;

    // The limit is a parameter so tests can reach it without writing gigabytes.
    explicit WavWriter(std::uint64_t max_data_bytes = kMaxDataBytes, const lbas::Format& format = {});

    IoError Create(const std::string& path);

    struct AppendResult {
        std::size_t taken = 0;  // frames accepted; fewer than offered once the file is full
        IoError error;
    };
    AppendResult Append(const lbas::Frame* frames, std::size_t count);

    struct FinishResult {
        IoError error;             // first failure seen while writing or finishing
        bool removed = false;      // no valid file could be left, so it was deleted
        std::uint64_t frames = 0;  // frames in the finished file
    };
    // Flushes and completes the header. After a write failure the file is cut back to the whole
    // frames that reached it and given a matching header; if even that fails, it is removed.
    FinishResult Finish();

    bool full() const { return data_bytes_ >= max_data_bytes_; }
    std::uint64_t frames() const { return data_bytes_ / format_.frameSize(); }

  private:
    IoError WriteHeader(std::uint64_t data_bytes);
    IoError SyncHeaderIfFlushed();

    lbas::Format format_;
    std::uint64_t max_data_bytes_;
    OutputFile file_;
    std::vector<std::uint8_t> scratch_;
    std::uint64_t data_bytes_ = 0;        // accepted, buffered or written
    std::uint64_t header_committed_ = 0;  // file length the header last described
    IoError error_;
};

// The 58-byte header for `data_bytes` of audio in `format` (a multiple of its frame size).
std::vector<std::uint8_t> MakeWavHeader(std::uint64_t data_bytes, const lbas::Format& format = {});

}  // namespace lbas2wav
