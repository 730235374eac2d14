#include "options/capture_options.h"

#include <climits>
#include <cwchar>

namespace options {

namespace {

// Plain decimal digits only, no sign and no space: unlike the first argument, an option's number is
// checked, since a typing error would otherwise pick a different process or format.
bool readNumber(const std::wstring& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 10) return false;
    value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return value <= limit;
}

enum class Kind { kFlag, kValue };

struct Option {
    const wchar_t* name;
    Kind kind;
    bool repeatable;
};

constexpr Option kOptions[] = {
    {L"--pid", Kind::kValue, true},        {L"--include", Kind::kFlag, false},
    {L"--rate", Kind::kValue, false},      {L"--channels", Kind::kValue, false},
    {L"--status-fd", Kind::kValue, false}, {L"--stop-on-stdin-close", Kind::kFlag, false},
};

// Stores one option's value; false with `why` when the value is not one the option takes.
bool apply(const std::wstring& name, const std::wstring& value, CaptureOptions& options, std::wstring& why) {
    std::uint64_t number = 0;
    if (name == L"--pid") {
        if (!readNumber(value, UINT32_MAX, number) || number == 0) {
            why = L"a process id from 1 to 4294967295";
            return false;
        }
        options.extraPids.push_back(static_cast<std::uint32_t>(number));
    } else if (name == L"--include") {
        options.include = true;
    } else if (name == L"--rate") {
        if (!readNumber(value, UINT32_MAX, number) || !isOfferedRate(number)) {
            why = L"one of 8000, 16000, 22050, 24000, 32000, 44100, 48000";
            return false;
        }
        options.rate = static_cast<std::uint32_t>(number);
    } else if (name == L"--channels") {
        if (!readNumber(value, 2, number) || number == 0) {
            why = L"1 or 2";
            return false;
        }
        options.channels = static_cast<std::uint32_t>(number);
    } else if (name == L"--status-fd") {
        // 0-2 are the standard streams: standard output carries the audio.
        if (!readNumber(value, INT_MAX, number) || number < 3) {
            why = L"a descriptor number of 3 or more";
            return false;
        }
        options.statusFd = static_cast<int>(number);
    } else {
        options.stopOnStdinClose = true;
    }
    return true;
}

}  // namespace

bool parseCaptureOptions(int argc, const wchar_t* const* argv, CaptureOptions& options, std::wstring& error) {
    bool seen[sizeof kOptions / sizeof kOptions[0]] = {};
    for (int i = 2; i < argc; ++i) {
        const std::wstring argument = argv[i];
        if (argument.compare(0, 2, L"--") != 0) continue;
        const std::size_t equals = argument.find(L'=');
        const std::wstring name = argument.substr(0, equals);
        const Option* option = nullptr;
        for (const Option& known : kOptions)
            if (name == known.name) option = &known;
        if (option == nullptr) {
            error = L"unknown option " + name;
            return false;
        }
        bool& given = seen[option - kOptions];
        if (given && !option->repeatable) {
            error = name + L" given twice";
            return false;
        }
        given = true;
        std::wstring value;
        if (option->kind == Kind::kFlag) {
            if (equals != std::wstring::npos) {
                error = name + L" takes no value";
                return false;
            }
        } else if (equals != std::wstring::npos) {
            value = argument.substr(equals + 1);
        } else if (i + 1 < argc && std::wstring(argv[i + 1]).compare(0, 2, L"--") != 0) {
            value = argv[++i];
        } else {
            error = name + L" needs a value";
            return false;
        }
        std::wstring why;
        if (!apply(name, value, options, why)) {
            error = name + L" " + value + L": not " + why;
            return false;
        }
    }
    return true;
}

}  // namespace options
