// The stand-in for the Windows C runtime and console: what it puts on the descriptors must be what the
// Windows runtime would, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <string>

#include "posix/utf.h"
#include "winaudio/windows_audio.h"

namespace {

TEST(Wtoi, FollowsTheMicrosoftRuntime) {
    const struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"1234", 1234},
        {L"-1", -1},
        {L"+42", 42},
        {L"1234xyz", 1234},
        {L"abc", 0},
        {L"  7", 7},
        {L"\t\n\v\f\r 9", 9},
        {L"5 6", 5},
        {L"", 0},
        {L"-", 0},
        {L"+-1", 0},
        {L"- 1", 0},
        {L"007", 7},
        {L"2147483647", INT_MAX},
        {L"2147483648", INT_MAX},
        {L"-2147483648", INT_MIN},
        {L"-2147483649", INT_MIN},
        {L"\u3000\u00A0\u2007-\u0661\uFF12", -12},
        {L"\u0085 7", 0},
        {L"\u2212"
         L"7",
         0},
        {L"99999999999999999999999", INT_MAX},
        {L"-99999999999999999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(_wtoi(c.text), c.value) << "case " << (&c - cases);
    }
    EXPECT_EQ(static_cast<DWORD>(_wtoi(L"-1")), 4294967295u);
}

TEST(Utf8Arguments, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(posix::utf8ToWide("a\xC3\xA9z"), L"a\u00E9z");
    EXPECT_EQ(posix::utf8ToWide("\xF0\x9F\x98\x80"), std::wstring(1, static_cast<wchar_t>(0x1F600)));
    EXPECT_EQ(posix::utf8ToWide("a\xFF"
                                "b"),
              L"a\uFFFDb");
    EXPECT_EQ(posix::utf8ToWide("\xE2\x82"), L"\uFFFD");                  // truncated: one maximal subpart
    EXPECT_EQ(posix::utf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");            // overlong
    EXPECT_EQ(posix::utf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");  // a surrogate
}

// Captures what is written to descriptor 2 while `body` runs.
template <class Body>
std::string captureStderr(int mode, Body body) {
    std::fflush(stderr);
    std::FILE* sink = std::tmpfile();
    const int saved = dup(2);
    dup2(fileno(sink), 2);
    const int previous = _setmode(2, mode);
    body();
    _setmode(2, previous);
    dup2(saved, 2);
    close(saved);
    std::string bytes;
    std::rewind(sink);
    for (int c; (c = std::fgetc(sink)) != EOF;) bytes.push_back(static_cast<char>(c));
    std::fclose(sink);
    return bytes;
}

std::string utf16le(const std::string& ascii) {
    std::string out;
    for (char c : ascii) {
        out.push_back(c);
        out.push_back('\0');
    }
    return out;
}

TEST(WideOutput, Utf16TextModeWritesLittleEndianUnitsWithCrLfAndNoMark) {
    const std::wstring name = L"C:\\dir\\h\u00E9lper" + std::wstring(1, static_cast<wchar_t>(0x1F600));
    const std::string bytes = captureStderr(_O_U16TEXT, [&] {
        fwprintf(stderr, L"Usage: %s <exclude_pid>\n", name.c_str());
        fwprintf(stderr, L"[helper] exclude_pid=%lu argc=%d hr=0x%08x %ls\n", DWORD{4294967295u}, 2,
                 AUDCLNT_E_DEVICE_INVALIDATED, L"w");
    });
    const std::string expected = utf16le("Usage: C:\\dir\\h") + std::string("\xE9\x00", 2) + utf16le("lper") +
                                 std::string("\x3D\xD8\x00\xDE", 4) + utf16le(" <exclude_pid>\r\n") +
                                 utf16le("[helper] exclude_pid=4294967295 argc=2 hr=0x88890004 w\r\n");
    EXPECT_EQ(bytes, expected);
}

TEST(WideOutput, TextModeWritesUtf8) {
    const std::string bytes = captureStderr(_O_TEXT, [] { fwprintf(stderr, L"%s=%d\n", L"\u00E9", 5); });
    EXPECT_EQ(bytes, "\xC3\xA9=5\n");
}

std::atomic<DWORD> g_lastCtrlType{99};
HANDLE g_ctrlSeen = CreateEventW(nullptr, FALSE, FALSE, nullptr);
BOOL WINAPI recordCtrl(DWORD ctrlType) {
    g_lastCtrlType = ctrlType;
    SetEvent(g_ctrlSeen);
    return TRUE;
}

TEST(ConsoleControl, SignalsArriveAsControlEventsOnAThreadOfTheirOwn) {
    ASSERT_TRUE(SetConsoleCtrlHandler(recordCtrl, TRUE));
    const struct {
        int signal;
        DWORD ctrlType;
    } cases[] = {{SIGINT, CTRL_C_EVENT},      {SIGQUIT, CTRL_BREAK_EVENT},  {SIGHUP, CTRL_CLOSE_EVENT},
                 {SIGTERM, CTRL_CLOSE_EVENT}, {SIGUSR1, CTRL_LOGOFF_EVENT}, {SIGUSR2, CTRL_SHUTDOWN_EVENT}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.signal);
        ASSERT_EQ(kill(getpid(), c.signal), 0);  // sent to the process, as a terminal or a parent does
        ASSERT_EQ(WaitForSingleObject(g_ctrlSeen, 5000), WAIT_OBJECT_0);
        EXPECT_EQ(g_lastCtrlType.load(), c.ctrlType);
    }
}

TEST(StdHandles, WriteFileRefusesHandlesThatAreNotFiles) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD written = 7;
    EXPECT_FALSE(WriteFile(event, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_FALSE(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &written, nullptr));
    EXPECT_FALSE(WriteFile(GetStdHandle(0), "x", 1, &written, nullptr));
    CloseHandle(event);
}

}  // namespace
