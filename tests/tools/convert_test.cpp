// The conversion loop's handling of the WAV size limit, which the process tests cannot reach
// without writing 4 GiB.
#include "convert.h"

#include <fcntl.h>
#include <gtest/gtest.h>
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

TEST(Convert, StopsCleanlyAtTheWavSizeLimit) {
    char dir[] = "/tmp/convert_test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string input = std::string(dir) + "/in.lbas";
    const std::string output = std::string(dir) + "/out.wav";
    std::vector<std::uint8_t> stream = lbas_test::Header();
    for (int i = 0; i < 100; ++i) lbas_test::PutFrame(stream, static_cast<float>(i), 0.5f);
    std::ofstream(input, std::ios::binary)
        .write(reinterpret_cast<const char*>(stream.data()), static_cast<std::streamsize>(stream.size()));

    lbas2wav::Options options;
    options.output = output;
    lbas2wav::Progress progress(lbas2wav::Progress::Mode::kOff);
    const int fd = open(input.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    const lbas2wav::ConvertResult r = lbas2wav::Convert(fd, options, progress, 10 * 8);
    close(fd);

    EXPECT_EQ(r.exit_code, lbas2wav::kExitSizeLimit);
    EXPECT_NE(r.error.find("4 GiB WAV size limit"), std::string::npos) << r.error;
    EXPECT_TRUE(r.wav_written);
    EXPECT_EQ(r.frames, 10u);
    EXPECT_EQ(r.levels.channel[0].samples, 10u) << "the summary covers what is in the file";

    std::ifstream in(output, std::ios::binary);
    const std::vector<char> wav{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_EQ(wav.size(), 58u + 80u);
    // The data chunk of 80 bytes is exactly the first ten frames of the stream.
    EXPECT_TRUE(std::equal(wav.begin() + 58, wav.end(), stream.begin() + 16,
                           [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; }));
    EXPECT_EQ(static_cast<unsigned char>(wav[54]), 80);

    std::remove(output.c_str());
    std::remove(input.c_str());
    rmdir(dir);
}

}  // namespace
