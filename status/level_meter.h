// Peak and RMS per channel over blocks of frames, in dBFS. The storage is made once, up front, so the
// capture thread that feeds it never allocates.
#pragma once

#include <cstdint>
#include <vector>

namespace status {

class LevelMeter {
  public:
    // Blocks of `blockFrames` frames of `channels` channels.
    LevelMeter(std::uint32_t channels, std::uint64_t blockFrames);

    // Feeds `frames` interleaved float frames (`data` null: that many zero frames). Each time a block
    // fills, calls done(firstFrameOfBlock, peakDb, rmsDb), the arrays holding one value per channel
    // (-infinity for a block of zeros).
    template <class Done>
    void feed(const void* data, std::uint64_t frames, Done&& done) {
        const auto* bytes = static_cast<const unsigned char*>(data);
        while (frames > 0) {
            std::uint64_t take = m_blockFrames - m_filled;
            if (take > frames) take = frames;
            if (bytes != nullptr) {
                add(bytes, take);
                bytes += take * m_channels * sizeof(float);
            }
            m_filled += take;
            frames -= take;
            if (m_filled == m_blockFrames) {
                finish();
                done(m_blockStart, m_peakDb.data(), m_rmsDb.data());
                m_blockStart += m_blockFrames;
                m_filled = 0;
            }
        }
    }

    std::uint32_t channels() const { return m_channels; }

    // Whether a sample that is not zero was fed since the last call.
    bool takeHeard() {
        const bool heard = m_heard;
        m_heard = false;
        return heard;
    }

  private:
    void add(const unsigned char* data, std::uint64_t frames);
    void finish();

    std::uint32_t m_channels;
    std::uint64_t m_blockFrames;
    std::uint64_t m_filled = 0;
    bool m_heard = false;
    std::uint64_t m_blockStart = 0;
    std::vector<float> m_peak;
    std::vector<double> m_squares;
    std::vector<double> m_peakDb;
    std::vector<double> m_rmsDb;
};

}  // namespace status
