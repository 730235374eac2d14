// The conversion loop's handling of the WAV size limit, which the process tests cannot reach without
// writing 4 GiB. The stream arrives through a packet socket, so each read takes exactly one of the pieces
// a case lists and the limit can fall between reads.
#include "convert.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "exit_codes.h"
#include "stream_bytes.h"

namespace {

constexpr std::uint64_t kLimitFrames = 10;

struct LimitCase {
    const char* name;
    std::vector<std::size_t> frames_per_read;  // the first read also carries the header
    std::size_t trailing_bytes;                // a last read holding only part of a frame
    int exit_code;
    std::uint64_t frames_kept;
};

std::vector<std::uint8_t> Frames(std::size_t first, std::size_t count) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = first; i < first + count; ++i)
        lbas_test::PutFrame(out, static_cast<float>(i), -static_cast<float>(i));
    return out;
}

TEST(Convert, OnlyAudioThatDidNotFitTheWavIsAFailure) {
    const LimitCase cases[] = {
        {"under the limit", {4, 4}, 0, lbas2wav::kExitOk, 8},
        {"fills it exactly", {10}, 0, lbas2wav::kExitOk, 10},
        {"fills it exactly over two reads", {6, 4}, 0, lbas2wav::kExitOk, 10},
        {"fills it, then ends inside a frame", {10}, 3, lbas2wav::kExitTruncated, 10},
        {"one frame more, in the next read", {10, 1}, 0, lbas2wav::kExitSizeLimit, 10},
        {"far more, in one read", {100}, 0, lbas2wav::kExitSizeLimit, 10},
    };
    char dir[] = "/tmp/convert_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string output = std::string(dir) + "/out.wav";
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.name);
        int sockets[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sockets), 0);
        std::vector<std::uint8_t> all;
        std::size_t sent = 0;
        for (std::size_t i = 0; i < c.frames_per_read.size(); ++i) {
            std::vector<std::uint8_t> piece = i == 0 ? lbas_test::Header() : std::vector<std::uint8_t>{};
            const std::vector<std::uint8_t> frames = Frames(sent, c.frames_per_read[i]);
            piece.insert(piece.end(), frames.begin(), frames.end());
            all.insert(all.end(), frames.begin(), frames.end());
            sent += c.frames_per_read[i];
            ASSERT_EQ(write(sockets[1], piece.data(), piece.size()), static_cast<ssize_t>(piece.size()));
        }
        if (c.trailing_bytes > 0) {
            ASSERT_EQ(write(sockets[1], "\1\2\3\4\5\6\7", c.trailing_bytes),
                      static_cast<ssize_t>(c.trailing_bytes));
        }
        shutdown(sockets[1], SHUT_WR);

        lbas2wav::Options options;
        options.output = output;
        lbas2wav::Progress progress(lbas2wav::Progress::Mode::kOff);
        const lbas2wav::ConvertResult r = lbas2wav::Convert(sockets[0], options, progress, kLimitFrames * 8);
        close(sockets[0]);
        close(sockets[1]);

        EXPECT_EQ(r.exit_code, c.exit_code) << r.error;
        EXPECT_EQ(r.exit_code == lbas2wav::kExitSizeLimit,
                  r.error.find("4 GiB WAV size limit") != std::string::npos)
            << r.error;
        EXPECT_TRUE(r.wav_written);
        EXPECT_EQ(r.frames, c.frames_kept);
        EXPECT_EQ(r.levels.channel[0].samples, c.frames_kept) << "the summary covers what is in the file";

        std::ifstream in(output, std::ios::binary);
        const std::vector<char> wav{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        ASSERT_EQ(wav.size(), 58u + 8u * c.frames_kept);
        EXPECT_EQ(static_cast<unsigned char>(wav[54]), 8u * c.frames_kept);  // the data chunk's size
        EXPECT_TRUE(std::equal(wav.begin() + 58, wav.end(), all.begin(),
                               [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
        std::remove(output.c_str());
    }
    rmdir(dir);
}

}  // namespace
