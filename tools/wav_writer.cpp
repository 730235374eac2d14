#include "wav_writer.h"

#include <algorithm>
#include <cstring>

namespace lbas2wav {
namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFFu));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFFu));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    Put16(out, v & 0xFFFFu);
    Put16(out, v >> 16);
}

void PutTag(std::vector<std::uint8_t>& out, const char (&tag)[5]) { out.insert(out.end(), tag, tag + 4); }

void PutFloat(std::uint8_t* out, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>((bits >> (8 * i)) & 0xFFu);
}

constexpr std::uint32_t kWaveFormatIeeeFloat = 3;

}  // namespace

std::vector<std::uint8_t> MakeWavHeader(std::uint64_t data_bytes, const lbas::Format& format) {
    const auto data = static_cast<std::uint32_t>(data_bytes);
    const auto blockAlign = static_cast<std::uint32_t>(format.frameSize());
    const auto frames = static_cast<std::uint32_t>(data_bytes / blockAlign);
    std::vector<std::uint8_t> h;
    h.reserve(WavWriter::kHeaderSize);
    PutTag(h, "RIFF");
    Put32(h, static_cast<std::uint32_t>(WavWriter::kHeaderSize - 8) + data);
    PutTag(h, "WAVE");
    PutTag(h, "fmt ");
    Put32(h, 18);
    Put16(h, kWaveFormatIeeeFloat);
    Put16(h, format.channels);
    Put32(h, format.rate);
    Put32(h, format.rate * blockAlign);
    Put16(h, blockAlign);
    Put16(h, lbas::kBitsPerSample);
    Put16(h, 0);  // cbSize: no extension for a non-PCM format
    PutTag(h, "fact");
    Put32(h, 4);
    Put32(h, frames);  // sample frames per channel
    PutTag(h, "data");
    Put32(h, data);
    return h;
}

WavWriter::WavWriter(std::uint64_t max_data_bytes, const lbas::Format& format)
    : format_(format), max_data_bytes_(max_data_bytes / format.frameSize() * format.frameSize()) {}

IoError WavWriter::Create(const std::string& path) {
    if (IoError e = file_.Create(path)) return e;
    // A zero-length header first, so the file is a valid empty WAV from the start.
    const std::vector<std::uint8_t> header = MakeWavHeader(0, format_);
    if (IoError e = file_.Write(header.data(), header.size())) return error_ = e;
    return error_ = file_.Flush();
}

IoError WavWriter::WriteHeader(std::uint64_t data_bytes) {
    const std::vector<std::uint8_t> header = MakeWavHeader(data_bytes, format_);
    return file_.WriteAt(0, header.data(), header.size());
}

IoError WavWriter::SyncHeaderIfFlushed() {
    const std::uint64_t committed = file_.committed();
    if (committed == header_committed_ || committed < kHeaderSize) return {};
    const std::uint64_t whole = (committed - kHeaderSize) / format_.frameSize() * format_.frameSize();
    if (IoError e = WriteHeader(whole)) return e;
    header_committed_ = committed;
    return {};
}

WavWriter::AppendResult WavWriter::Append(const lbas::Frame* frames, std::size_t count) {
    if (error_) return {0, error_};
    const std::uint64_t room = (max_data_bytes_ - data_bytes_) / format_.frameSize();
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(count, room));
    scratch_.resize(take * format_.frameSize());
    for (std::size_t i = 0; i < take; ++i) {
        PutFloat(&scratch_[i * format_.frameSize()], frames[i].left);
        if (format_.channels == 2) PutFloat(&scratch_[i * format_.frameSize() + 4], frames[i].right);
    }
    if ((error_ = file_.Write(scratch_.data(), scratch_.size()))) return {0, error_};
    data_bytes_ += scratch_.size();
    if ((error_ = SyncHeaderIfFlushed())) return {take, error_};
    return {take, {}};
}

WavWriter::FinishResult WavWriter::Finish() {
    FinishResult result;
    if (!file_.is_open()) return result;
    if (!error_) error_ = file_.Flush();
    if (!error_) {
        error_ = WriteHeader(data_bytes_);
        if (!error_) error_ = file_.Close();
        if (!error_) {
            result.frames = frames();
            return result;
        }
    }
    // Something failed: keep the whole frames that reached the file, if the header made it.
    result.error = error_;
    const std::uint64_t committed = file_.committed();
    if (committed >= kHeaderSize) {
        // Every byte written after the header is stream audio in order, so any whole-frame prefix is valid.
        const std::uint64_t whole = (committed - kHeaderSize) / format_.frameSize() * format_.frameSize();
        if (!file_.Truncate(kHeaderSize + whole) && !WriteHeader(whole) && !file_.Close()) {
            result.frames = whole / format_.frameSize();
            return result;
        }
    }
    file_.Remove();
    result.removed = true;
    return result;
}

}  // namespace lbas2wav
