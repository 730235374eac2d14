// writeAll and the silence buffer, through the stand-in's write seam: every write call is recorded and
// its result scripted.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "posix/write_seam.h"
#include "stream/audio_ring.h"
#include "stream/silence.h"
#include "stream/stream_output.h"
#include "stream/timeline.h"
#include "stream/timeline.h"
#include "stream/write_all.h"

namespace {

struct WriteCall {
    int fd;
    std::string bytes;  // asked for
    std::size_t taken = 0;
    const void* data = nullptr;
};

// What the next write calls return: a byte count to accept (capped at the request) or -errno.
std::deque<long> g_script;
std::vector<WriteCall> g_calls;

ssize_t recordingWrite(int fd, const void* data, std::size_t size) {
    long accept = static_cast<long>(size);
    if (!g_script.empty()) {
        accept = g_script.front();
        g_script.pop_front();
    }
    if (accept < 0) {
        errno = static_cast<int>(-accept);
        g_calls.push_back({fd, "", 0});
        return -1;
    }
    const std::size_t taken = std::min(size, static_cast<std::size_t>(accept));
    g_calls.push_back({fd, std::string(static_cast<const char*>(data), size), taken, data});
    return static_cast<ssize_t>(taken);
}

class WriteAll : public ::testing::Test {
  protected:
    void SetUp() override {
        g_script.clear();
        g_calls.clear();
        m_previous = posix::setWriteFunction(recordingWrite);
    }
    void TearDown() override { posix::setWriteFunction(m_previous); }

    static std::string pattern(std::size_t size) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
        return bytes;
    }

  private:
    posix::WriteFunction m_previous = nullptr;
};

TEST_F(WriteAll, NothingToWriteMakesNoCall) {
    writeAll("x", 0);
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(WriteAll, LargeBlockGoesOutInChunksOfAtMost64KiBToStandardOutput) {
    const std::string block = pattern(150000);
    writeAll(block.data(), block.size());
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].bytes.size(), 65536u);
    EXPECT_EQ(g_calls[1].bytes.size(), 65536u);
    EXPECT_EQ(g_calls[2].bytes.size(), 18928u);
    std::string joined;
    for (const auto& call : g_calls) {
        EXPECT_EQ(call.fd, 1);
        joined += call.bytes;
    }
    EXPECT_EQ(joined, block);
}

TEST_F(WriteAll, ShortWriteContinuesFromTheFirstUnwrittenByte) {
    const std::string block = pattern(70000);
    g_script = {1000, 30000};
    writeAll(block.data(), block.size());
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].bytes, block.substr(0, 65536));
    EXPECT_EQ(g_calls[1].bytes, block.substr(1000, 65536));
    EXPECT_EQ(g_calls[2].bytes, block.substr(31000));
}

TEST_F(WriteAll, TellsHowManyBytesWentOut) {
    const std::string block = pattern(70000);
    const struct {
        std::deque<long> script;
        std::uint64_t out;
    } cases[] = {{{}, 70000}, {{1000, 30000}, 70000}, {{65536, 5, -ENOSPC}, 65541}, {{0}, 0}, {{-EPIPE}, 0}};
    for (const auto& c : cases) {
        g_script = c.script;
        EXPECT_EQ(writeAll(block.data(), block.size()), c.out);
    }
}

TEST_F(WriteAll, InterruptedWriteIsRetriedNotLost) {
    const std::string block = pattern(100);
    g_script = {-EINTR, -EINTR};
    writeAll(block.data(), block.size());
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].bytes, block);
}

TEST_F(WriteAll, FailedOrEmptyWriteAbandonsTheRestOfTheBlockSilently) {
    const std::string block = pattern(200000);
    for (long failure : {-static_cast<long>(EPIPE), 0L}) {
        SCOPED_TRACE(failure);
        g_calls.clear();
        g_script = {65536, failure};
        writeAll(block.data(), block.size());
        EXPECT_EQ(g_calls.size(), 2u);
        // The next block starts afresh.
        g_calls.clear();
        writeAll(block.data(), 10);
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(g_calls[0].bytes, block.substr(0, 10));
    }
}

// No allocation per packet: a write no larger than the largest before goes out of the same buffer.
TEST_F(WriteAll, SilenceWritesExactlyItsZerosFromABufferReusedUnlessLarger) {
    Silence silence;
    const std::pair<std::uint64_t, bool> steps[] = {
        {960, false}, {480, true}, {1920, false}, {0, true}, {960, true}};
    const void* previous = nullptr;
    for (const auto& [bytes, reused] : steps) {
        SCOPED_TRACE(bytes);
        g_calls.clear();
        silence.write(bytes);
        if (bytes == 0) {
            EXPECT_TRUE(g_calls.empty());
            continue;
        }
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(g_calls[0].bytes, std::string(bytes, '\0'));
        if (reused) {
            EXPECT_EQ(g_calls[0].data, previous);
        }
        previous = g_calls[0].data;
    }
}

// After a failed or short write the stream stays frame-aligned and keeps its time: what did not go out is
// written as zeros, before anything else, once writes go through again.
TEST_F(WriteAll, StreamOutputOwesWhatDidNotGoOut) {
    constexpr std::uint64_t kFrame = 8;
    const std::uint64_t longest = stream::maxGapFrames(stream::kDefaultFormat) * kFrame;
    const std::string a = pattern(3 * kFrame), b = pattern(2 * kFrame).replace(0, 1, "b");
    const std::string zeros(longest, '\0');
    struct Case {
        const char* name;
        std::deque<long> script;
        std::vector<std::pair<char, std::uint64_t>> ops;  // 'a': audio `a`, 'z': zeros; then audio `b`
        std::uint64_t owedBefore;                         // before the last write
        std::string stream;
    } cases[] = {
        {"no space, then space again", {24, -ENOSPC}, {{'a', 0}, {'a', 0}}, 24, a + zeros.substr(0, 24) + b},
        {"a write cut mid-frame: the frame is finished",
         {5, -ENOSPC},
         {{'a', 0}},
         19,
         a.substr(0, 5) + zeros.substr(0, 19) + b},
        {"nothing is tried while the debt stands",
         {-ENOSPC, -ENOSPC, 16, -ENOSPC},
         {{'a', 0}, {'z', 16}, {'a', 0}},
         48,
         zeros.substr(0, 64) + b},
        {"a cut frame of a zero write", {3, -ENOSPC}, {{'z', 16}}, 13, zeros.substr(0, 16) + b},
        {"the longest gap is owed in full", {-ENOSPC}, {{'z', longest}}, longest, zeros + b},
        {"beyond it the frames are forgotten, the cut frame is not",
         {3, -ENOSPC},
         {{'z', longest + 16}},
         5,
         zeros.substr(0, 8) + b},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        g_calls.clear();
        g_script = c.script;
        StreamOutput output(stream::kDefaultFormat);
        for (const auto& [kind, bytes] : c.ops) {
            if (kind == 'a') {
                output.audio(a.data(), a.size());
            } else {
                output.zeros(bytes);
            }
        }
        EXPECT_EQ(output.owedBytes(), c.owedBefore);
        output.audio(b.data(), b.size());
        EXPECT_EQ(output.owedBytes(), 0u);
        std::string stream;
        for (const WriteCall& call : g_calls) stream += call.bytes.substr(0, call.taken);
        EXPECT_EQ(stream.size() % kFrame, 0u);
        EXPECT_TRUE(stream == c.stream) << stream.size() << " bytes, expected " << c.stream.size();
    }
}

// The ring between capture and standard output: whatever the reader's pace, the stream that comes out is
// every push in order, those that found no room as zeros of their length.
TEST(AudioRing, LosesTheNewestAsZerosOfTheirLengthNeverTheOrder) {
    struct Op {
        int push;  // bytes pushed (audio), or 0
        int take;  // bytes the reader takes, at most, or 0
        bool fits = true;
        int zeros = 0;  // a run of zeros pushed after the audio
    };
    const struct {
        const char* name;
        std::vector<Op> ops;
    } cases[] = {
        {"a push that fills the ring exactly", {{32, 0}, {8, 0, false}, {0, 40}, {8, 0}, {0, 40}}},
        {"pieces that wrap around the end", {{24, 0}, {0, 16}, {16, 0}, {0, 8}, {8, 0}, {0, 40}}},
        {"audio lost while the ring is full, then audio once there is room",
         {{32, 0}, {16, 0, false}, {8, 0, false}, {0, 8}, {8, 0}, {0, 40}, {16, 0}, {0, 40}}},
        {"a push larger than the ring", {{40, 0, false}, {8, 0}, {0, 48}}},
        {"runs of zeros take no room", {{24, 0, true, 100}, {8, 0}, {0, 200}}},
        {"zeros after audio that was lost stay behind it",
         {{32, 0, true}, {8, 0, false, 16}, {0, 100}, {8, 0}, {0, 100}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AudioRing ring(32);
        std::string out, expected;
        char next = 'a';
        for (const Op& op : c.ops) {
            if (op.push != 0) {
                const std::string audio(static_cast<std::size_t>(op.push), next++);
                EXPECT_EQ(ring.push(audio.data(), audio.size()), op.fits) << "push of " << op.push;
                expected += op.fits ? audio : std::string(audio.size(), '\0');
            }
            if (op.zeros != 0) {
                EXPECT_TRUE(ring.push(nullptr, static_cast<std::uint64_t>(op.zeros)));
                expected += std::string(static_cast<std::size_t>(op.zeros), '\0');
            }
            for (int left = op.take; left > 0;) {
                if (const std::uint64_t zeros = ring.zerosDue()) {
                    out.append(zeros, '\0');
                    ring.takeZeros();
                    continue;
                }
                const std::uint8_t* data = nullptr;
                const std::uint64_t bytes = ring.peek(data);
                if (bytes == 0) break;
                const std::uint64_t taken =
                    bytes < static_cast<std::uint64_t>(left) ? bytes : static_cast<std::uint64_t>(left);
                out.append(reinterpret_cast<const char*>(data), taken);
                ring.consume(taken);
                left -= static_cast<int>(taken);
            }
        }
        EXPECT_EQ(out, expected);
    }
}

}  // namespace
