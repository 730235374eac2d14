// The options after the process id: every option's forms, the values each takes, and the refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options/capture_options.h"

namespace {

struct Parsed {
    bool ok;
    options::CaptureOptions options;
    std::wstring error;
};

Parsed parse(std::vector<const wchar_t*> after) {
    std::vector<const wchar_t*> argv = {L"audio-helper", L"1234"};
    argv.insert(argv.end(), after.begin(), after.end());
    Parsed parsed{};
    parsed.ok = options::parseCaptureOptions(static_cast<int>(argv.size()), argv.data(), parsed.options,
                                             parsed.error);
    return parsed;
}

TEST(CaptureOptions, OneArgumentAndPlainWordsLeaveTheDefaults) {
    for (const auto& after : {std::vector<const wchar_t*>{}, {L"x", L"-rate", L"16000", L"-"}}) {
        const Parsed parsed = parse(after);
        ASSERT_TRUE(parsed.ok);
        EXPECT_TRUE(parsed.options.extraPids.empty());
        EXPECT_FALSE(parsed.options.include);
        EXPECT_EQ(parsed.options.rate, 48000u);
        EXPECT_EQ(parsed.options.channels, 2u);
        EXPECT_EQ(parsed.options.statusFd, -1);
        EXPECT_FALSE(parsed.options.stopOnStdinClose);
    }
}

TEST(CaptureOptions, EveryOptionInBothForms) {
    const Parsed spaced = parse({L"--pid", L"7", L"--include", L"--rate", L"16000", L"--channels", L"1",
                                 L"--status-fd", L"3", L"--stop-on-stdin-close", L"--pid", L"4294967295"});
    const Parsed joined = parse({L"--pid=7", L"--include", L"--rate=16000", L"--channels=1", L"--status-fd=3",
                                 L"--stop-on-stdin-close", L"--pid=4294967295"});
    for (const Parsed& parsed : {spaced, joined}) {
        ASSERT_TRUE(parsed.ok) << std::string(parsed.error.begin(), parsed.error.end());
        EXPECT_EQ(parsed.options.extraPids, (std::vector<std::uint32_t>{7, 4294967295u}));
        EXPECT_TRUE(parsed.options.include);
        EXPECT_EQ(parsed.options.rate, 16000u);
        EXPECT_EQ(parsed.options.channels, 1u);
        EXPECT_EQ(parsed.options.statusFd, 3);
        EXPECT_TRUE(parsed.options.stopOnStdinClose);
    }
    for (const std::uint32_t rate : options::kRates) {
        const std::wstring text = L"--rate=" + std::to_wstring(rate);
        const Parsed parsed = parse({text.c_str()});
        ASSERT_TRUE(parsed.ok);
        EXPECT_EQ(parsed.options.rate, rate);
    }
}

TEST(CaptureOptions, RefusalsNameTheOptionAndWhy) {
    struct Row {
        std::vector<const wchar_t*> after;
        const wchar_t* error;
    };
    const Row rows[] = {
        {{L"--loud"}, L"unknown option --loud"},
        {{L"--"}, L"unknown option --"},
        {{L"--pid"}, L"--pid needs a value"},
        {{L"--rate", L"--include"}, L"--rate needs a value"},
        {{L"--pid", L"0"}, L"--pid 0: not a process id from 1 to 4294967295"},
        {{L"--pid=4294967296"}, L"--pid 4294967296: not a process id from 1 to 4294967295"},
        {{L"--pid=+5"}, L"--pid +5: not a process id from 1 to 4294967295"},
        {{L"--pid="}, L"--pid : not a process id from 1 to 4294967295"},
        {{L"--rate", L"44000"}, L"--rate 44000: not one of 8000, 16000, 22050, 24000, 32000, 44100, 48000"},
        {{L"--rate=48000.0"}, L"--rate 48000.0: not one of 8000, 16000, 22050, 24000, 32000, 44100, 48000"},
        {{L"--channels=0"}, L"--channels 0: not 1 or 2"},
        {{L"--channels", L"3"}, L"--channels 3: not 1 or 2"},
        {{L"--status-fd=1"}, L"--status-fd 1: not a descriptor number of 3 or more"},
        {{L"--status-fd=99999999999"}, L"--status-fd 99999999999: not a descriptor number of 3 or more"},
        {{L"--include=yes"}, L"--include takes no value"},
        {{L"--rate=16000", L"--rate=8000"}, L"--rate given twice"},
        {{L"--include", L"--include"}, L"--include given twice"},
    };
    for (const Row& row : rows) {
        const Parsed parsed = parse(row.after);
        EXPECT_FALSE(parsed.ok) << std::string(parsed.error.begin(), parsed.error.end());
        EXPECT_EQ(parsed.error, row.error);
    }
}

}  // namespace
