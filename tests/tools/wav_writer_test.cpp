#include "wav_writer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using lbas2wav::WavWriter;

std::uint32_t Le32(const std::vector<char>& b, std::size_t at) {
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    return v;
}

TEST(WavWriter, SizeLimitIsTheLargestWholeFrameCountARiffSizeCanHold) {
    EXPECT_EQ(WavWriter::kMaxDataBytes % 8, 0u);
    EXPECT_LE(WavWriter::kMaxDataBytes + 50, 0xFFFFFFFFull);
    EXPECT_GT(WavWriter::kMaxDataBytes + 50 + 8, 0xFFFFFFFFull);
}

// A long capture must be usable even if lbas2wav is killed: the header follows every flush.
TEST(WavWriter, FileOnDiskIsValidWhileStillWriting) {
    char dir[] = "/tmp/wav_writer_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/out.wav";
    const auto read_file = [&path] {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    };

    WavWriter wav;
    ASSERT_FALSE(wav.Create(path));
    EXPECT_EQ(read_file().size(), WavWriter::kHeaderSize) << "a valid empty WAV from the start";
    const std::vector<lbas::Frame> frames(200000, lbas::Frame{0.25f, -0.25f});  // more than one buffer
    ASSERT_EQ(wav.Append(frames.data(), frames.size()).taken, frames.size());

    const std::vector<char> b = read_file();
    ASSERT_GT(b.size(), WavWriter::kHeaderSize);
    const std::uint32_t data = Le32(b, 54);
    EXPECT_EQ(data, (b.size() - WavWriter::kHeaderSize) / 8 * 8) << "data size = whole frames on disk";
    EXPECT_EQ(Le32(b, 46), data / 8) << "fact";
    EXPECT_EQ(Le32(b, 4), 50 + data) << "RIFF size";

    EXPECT_FALSE(wav.Finish().error);
    EXPECT_EQ(read_file().size(), WavWriter::kHeaderSize + 8 * frames.size());
    std::remove(path.c_str());
    rmdir(dir);
}

}  // namespace
