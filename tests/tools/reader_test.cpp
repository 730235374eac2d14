#include "reader/lbas_reader.h"

#include <gtest/gtest.h>

#include <vector>

#include "stream_bytes.h"

namespace {

using lbas::ErrorCode;
using lbas::Frame;
using lbas::StreamReader;
using lbas_test::Bits;

// Values whose bytes differ in every position, so byte-order or offset mistakes show.
const std::vector<Frame> kFrames = {
    {1.5f, -1.5f},
    {0.25f, -0.0f},
    {3.0e-39f, -1.0e30f},  // subnormal and large
    {16777215.0f, -16777215.0f},
};

std::vector<std::uint8_t> Stream(const std::vector<Frame>& frames) {
    std::vector<std::uint8_t> s = lbas_test::Header();
    for (const Frame& f : frames) lbas_test::PutFrame(s, f.left, f.right);
    return s;
}

void ExpectSameFrames(const std::vector<Frame>& expected, const std::vector<Frame>& got) {
    ASSERT_EQ(expected.size(), got.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(Bits(expected[i].left), Bits(got[i].left)) << "frame " << i;
        EXPECT_EQ(Bits(expected[i].right), Bits(got[i].right)) << "frame " << i;
    }
}

// Covers a header split at every byte offset, a frame split at every offset, a read that
// finishes the header and starts frames, and reads of zero bytes.
TEST(StreamReader, AnySplitIntoThreeReadsGivesTheSameFrames) {
    const std::vector<std::uint8_t> s = Stream(kFrames);
    for (std::size_t i = 0; i <= s.size(); ++i) {
        for (std::size_t j = i; j <= s.size(); ++j) {
            StreamReader reader;
            std::vector<Frame> out;
            EXPECT_FALSE(reader.Feed(s.data(), i, out));
            EXPECT_EQ(reader.header_done(), i >= 16);
            EXPECT_EQ(out.size(), i < 16 ? 0 : (i - 16) / 8);
            EXPECT_FALSE(reader.Feed(s.data() + i, j - i, out));
            EXPECT_FALSE(reader.Feed(s.data() + j, s.size() - j, out));
            EXPECT_FALSE(reader.Finish());
            ExpectSameFrames(kFrames, out);
            if (HasFailure()) FAIL() << "split at " << i << ", " << j;
        }
    }
}

// Whatever rate and channel count the header announces: frames are channels x 4 bytes, and a mono
// frame's one sample is both of a Frame's.
TEST(StreamReader, TakesTheFormatTheHeaderAnnounces) {
    const struct {
        std::uint32_t rate, channels;
        std::vector<float> samples;
        std::vector<Frame> frames;
    } cases[] = {
        {16000, 1, {1.5f, -0.25f, 3.0f}, {{1.5f, 1.5f}, {-0.25f, -0.25f}, {3.0f, 3.0f}}},
        {44100, 2, {1.5f, -0.25f, 3.0f, 4.0f}, {{1.5f, -0.25f}, {3.0f, 4.0f}}},
        {8000, 2, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rate);
        std::vector<std::uint8_t> s = lbas_test::Header(c.rate, c.channels);
        for (const float sample : c.samples) lbas_test::PutFloat(s, sample);
        for (std::size_t split = 0; split <= s.size(); ++split) {
            StreamReader reader;
            std::vector<Frame> out;
            EXPECT_FALSE(reader.Feed(s.data(), split, out));
            EXPECT_FALSE(reader.Feed(s.data() + split, s.size() - split, out));
            EXPECT_FALSE(reader.Finish());
            EXPECT_EQ(reader.format().rate, c.rate);
            EXPECT_EQ(reader.format().channels, c.channels);
            ExpectSameFrames(c.frames, out);
        }
    }
}

TEST(StreamReaderErrors, StreamEndingInTheHeader) {
    const std::vector<std::uint8_t> s = lbas_test::Header();
    for (std::size_t n = 0; n < 16; ++n) {
        StreamReader reader;
        std::vector<Frame> out;
        EXPECT_FALSE(reader.Feed(s.data(), n, out));
        const lbas::Error e = reader.Finish();
        EXPECT_EQ(e.code, n == 0 ? ErrorCode::kEmptyStream : ErrorCode::kHeaderTruncated) << n;
        EXPECT_EQ(e.value, n);
    }
}

struct BadHeader {
    std::vector<std::uint8_t> bytes;
    ErrorCode code;
    std::uint64_t value;
};

TEST(StreamReaderErrors, EachBadHeaderFieldHasItsOwnError) {
    using lbas_test::Header;
    const BadHeader cases[] = {
        {Header(48000, 2, 32, "RIFF"), ErrorCode::kBadMagic, 0x46464952u},
        {Header(48000, 2, 32, "lbas"), ErrorCode::kBadMagic, 0x7361626Cu},
        {Header(0), ErrorCode::kUnsupportedSampleRate, 0},
        {Header(0x80BB0000u), ErrorCode::kUnsupportedSampleRate, 0x80BB0000u},  // big-endian 48000
        {Header(48000, 0), ErrorCode::kUnsupportedChannels, 0},
        {Header(48000, 3), ErrorCode::kUnsupportedChannels, 3},
        {Header(48000, 8), ErrorCode::kUnsupportedChannels, 8},
        {Header(48000, 2, 16), ErrorCode::kUnsupportedSampleSize, 16},
        {Header(48000, 2, 64), ErrorCode::kUnsupportedSampleSize, 64},
    };
    for (const BadHeader& c : cases) {
        std::vector<std::uint8_t> s = c.bytes;
        lbas_test::PutFrame(s, 0.5f, 0.5f);
        StreamReader reader;
        std::vector<Frame> out;
        const lbas::Error e = reader.Feed(s.data(), s.size(), out);
        EXPECT_EQ(e.code, c.code);
        EXPECT_EQ(e.value, c.value);
        EXPECT_TRUE(out.empty()) << "no frames may come from a stream with a bad header";
        // Sticky: more input changes nothing and the end reports the same error.
        EXPECT_EQ(reader.Feed(s.data() + 16, 8, out).code, c.code);
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(reader.Finish().code, c.code);
    }
}

TEST(StreamReaderErrors, EndInsideAFrameDropsThePartialFrame) {
    const std::vector<std::uint8_t> s = Stream(kFrames);
    for (std::size_t cut = 1; cut < 8; ++cut) {
        StreamReader reader;
        std::vector<Frame> out;
        EXPECT_FALSE(reader.Feed(s.data(), s.size() - cut, out));
        const lbas::Error e = reader.Finish();
        EXPECT_EQ(e.code, ErrorCode::kTruncatedFrame);
        EXPECT_EQ(e.value, 8 - cut);
        ExpectSameFrames(std::vector<Frame>(kFrames.begin(), kFrames.end() - 1), out);
    }
}

}  // namespace
