// writeAll and the silence buffer, through the stand-in's write seam: every write call is recorded and
// its result scripted.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "posix/write_seam.h"
#include "stream/silence.h"
#include "stream/write_all.h"

namespace {

struct WriteCall {
    int fd;
    std::string bytes;
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
        g_calls.push_back({fd, ""});
        return -1;
    }
    const std::size_t taken = std::min(size, static_cast<std::size_t>(accept));
    g_calls.push_back({fd, std::string(static_cast<const char*>(data), size)});
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

TEST_F(WriteAll, SilenceGrowsOnlyToTheLargestPacketAndWritesExactlyItsZeros) {
    Silence silence;
    EXPECT_EQ(silence.size(), 0u);
    const std::pair<std::uint64_t, std::uint64_t> steps[] = {{960, 960}, {480, 960}, {1920, 1920}, {0, 1920}};
    for (const auto& [bytes, sizeAfter] : steps) {
        SCOPED_TRACE(bytes);
        g_calls.clear();
        silence.write(bytes);
        EXPECT_EQ(silence.size(), sizeAfter);
        if (bytes == 0) {
            EXPECT_TRUE(g_calls.empty());
            continue;
        }
        ASSERT_EQ(g_calls.size(), 1u);
        EXPECT_EQ(g_calls[0].bytes, std::string(bytes, '\0'));
    }
}

}  // namespace
