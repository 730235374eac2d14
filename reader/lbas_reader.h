// Incremental parser for the audio-helper output stream: a 16-byte "LBAS" header followed by
// float32 frames at the rate and channel count it announces (48 kHz stereo unless the helper was asked
// for another format). Input may arrive in reads of any size; a partial header or frame is kept until
// the rest of it arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "stream/stream_format.h"

namespace lbas {

inline constexpr std::size_t kHeaderSize = 16;
// The default format; the header says which the stream has.
using stream::kBitsPerSample;
using stream::kChannels;
using stream::kSampleRate;
inline constexpr std::size_t kFrameSize = stream::kFrameBytes;  // of the default format
inline constexpr char kMagic[4] = {'L', 'B', 'A', 'S'};
// What a header may announce: any rate a sound card runs at, and mono or stereo, the channels a Frame
// holds. The samples are always 32-bit float.
inline constexpr std::uint32_t kMaxSampleRate = 768000;
inline constexpr std::uint32_t kMaxChannels = 2;

struct Format {
    std::uint32_t rate = kSampleRate;
    std::uint32_t channels = kChannels;

    std::size_t frameSize() const { return std::size_t{channels} * kBitsPerSample / 8; }
};

struct Frame {
    float left = 0.0f;   // channel 0
    float right = 0.0f;  // channel 1; in a mono stream, channel 0 again
};

enum class ErrorCode {
    kNone,
    kEmptyStream,            // no byte at all: the helper failed before writing its header
    kHeaderTruncated,        // value = header bytes received
    kBadMagic,               // value = first four bytes, little-endian
    kUnsupportedSampleRate,  // value = rate found
    kUnsupportedChannels,    // value = channel count found
    kUnsupportedSampleSize,  // value = bits per sample found
    kTruncatedFrame,         // value = bytes of the dropped partial frame
};

struct Error {
    ErrorCode code = ErrorCode::kNone;
    std::uint64_t value = 0;

    explicit operator bool() const { return code != ErrorCode::kNone; }
};

namespace detail {

inline std::uint32_t LoadLe32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline float LoadLeFloat(const std::uint8_t* p) {
    const std::uint32_t bits = LoadLe32(p);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

inline std::string MagicText(std::uint32_t magic) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const auto c = static_cast<char>((magic >> (8 * i)) & 0xFFu);
        text += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return text;
}

}  // namespace detail

// One-line, human-readable description of an error, for command-line tools and logs.
inline std::string Describe(const Error& error) {
    const std::string v = std::to_string(error.value);
    switch (error.code) {
        case ErrorCode::kNone:
            return "no error";
        case ErrorCode::kEmptyStream:
            return "empty stream: no header received (the helper wrote nothing; check its exit code)";
        case ErrorCode::kHeaderTruncated:
            return "stream header cut short: got " + v + " of 16 bytes";
        case ErrorCode::kBadMagic: {
            const auto magic = static_cast<std::uint32_t>(error.value);
            std::string text = "bad magic \"" + detail::MagicText(magic) + "\", expected \"LBAS\"";
            if (magic == detail::LoadLe32(reinterpret_cast<const std::uint8_t*>("RIFF"))) {
                text += " (input is already a RIFF/WAV file)";
            } else {
                text += " (not an audio-helper stream)";
            }
            return text;
        }
        case ErrorCode::kUnsupportedSampleRate:
            return "unsupported sample rate " + v + " Hz (expected 1 to " + std::to_string(kMaxSampleRate) +
                   ")";
        case ErrorCode::kUnsupportedChannels:
            return "unsupported channel count " + v + " (expected 1 or 2)";
        case ErrorCode::kUnsupportedSampleSize:
            return "unsupported sample size " + v + " bits (expected " + std::to_string(kBitsPerSample) +
                   "-bit float)";
        case ErrorCode::kTruncatedFrame:
            return "stream ended inside a frame: dropped " + v + " trailing byte(s) of a frame";
    }
    return "unknown error";
}

class StreamReader {
  public:
    // Consumes `size` bytes and appends every frame they complete to `out`. Returns a header
    // error once the header is known to be bad; the error is sticky and later input is ignored.
    Error Feed(const void* data, std::size_t size, std::vector<Frame>& out) {
        if (error_) return error_;
        auto p = static_cast<const std::uint8_t*>(data);
        const std::uint8_t* const end = p + size;

        if (!header_done_) {
            while (p != end && header_fill_ < kHeaderSize) header_[header_fill_++] = *p++;
            if (header_fill_ < kHeaderSize) return {};
            error_ = CheckHeader();
            if (error_) return error_;
            header_done_ = true;
        }

        const std::size_t frameSize = format_.frameSize();
        if (partial_fill_ > 0) {
            while (p != end && partial_fill_ < frameSize) partial_[partial_fill_++] = *p++;
            if (partial_fill_ < frameSize) return {};
            out.push_back(Decode(partial_));
            partial_fill_ = 0;
            ++frames_;
        }

        const auto whole = static_cast<std::size_t>(end - p) / frameSize;
        for (std::size_t i = 0; i < whole; ++i, p += frameSize) out.push_back(Decode(p));
        frames_ += whole;

        while (p != end) partial_[partial_fill_++] = *p++;
        return {};
    }

    // Call once the input has ended. Reports a stream that stopped before or inside the header,
    // or inside a frame (the partial frame is dropped). A complete header with no frames is fine.
    Error Finish() const {
        if (error_) return error_;
        if (!header_done_) {
            if (header_fill_ == 0) return {ErrorCode::kEmptyStream, 0};
            return {ErrorCode::kHeaderTruncated, header_fill_};
        }
        if (partial_fill_ > 0) return {ErrorCode::kTruncatedFrame, partial_fill_};
        return {};
    }

    bool header_done() const { return header_done_; }
    // The header's format, once header_done().
    const Format& format() const { return format_; }
    std::uint64_t frames() const { return frames_; }

  private:
    Error CheckHeader() {
        const std::uint32_t magic = detail::LoadLe32(header_);
        if (std::memcmp(header_, kMagic, sizeof kMagic) != 0) return {ErrorCode::kBadMagic, magic};
        const std::uint32_t rate = detail::LoadLe32(header_ + 4);
        if (rate == 0 || rate > kMaxSampleRate) return {ErrorCode::kUnsupportedSampleRate, rate};
        const std::uint32_t channels = detail::LoadLe32(header_ + 8);
        if (channels == 0 || channels > kMaxChannels) return {ErrorCode::kUnsupportedChannels, channels};
        const std::uint32_t bits = detail::LoadLe32(header_ + 12);
        if (bits != kBitsPerSample) return {ErrorCode::kUnsupportedSampleSize, bits};
        format_ = Format{rate, channels};
        return {};
    }

    Frame Decode(const std::uint8_t* p) const {
        const float first = detail::LoadLeFloat(p);
        return {first, format_.channels == 1 ? first : detail::LoadLeFloat(p + 4)};
    }

    std::uint8_t header_[kHeaderSize] = {};
    std::size_t header_fill_ = 0;
    bool header_done_ = false;
    Format format_;
    std::uint8_t partial_[kMaxChannels * kBitsPerSample / 8] = {};
    std::size_t partial_fill_ = 0;
    std::uint64_t frames_ = 0;
    Error error_;
};

}  // namespace lbas
