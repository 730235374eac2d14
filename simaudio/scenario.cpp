#include "simaudio/scenario.h"

#include <cstdlib>
#include <set>
#include <type_traits>

namespace simaudio {

namespace {

bool parseNumber(const std::string& text, std::uint64_t maximum, std::uint64_t& value) {
    if (text.empty() || text.size() > 19) return false;
    std::uint64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        result = result * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (result > maximum) return false;
    value = result;
    return true;
}

bool parseStatus(const std::string& text, HRESULT& status) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    std::uint32_t bits = 0;
    for (std::size_t i = 2; i < text.size(); ++i) {
        const char c = text[i];
        std::uint32_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        else
            return false;
        bits = bits << 4 | digit;
    }
    status = static_cast<HRESULT>(bits);
    return true;
}

// Applies one item; returns what is wrong with it, or an empty string.
std::string applyItem(const std::string& key, const std::string& value, bool hasValue, Scenario& s) {
    const auto status = [&](HRESULT& field) -> std::string {
        if (!hasValue) return "needs a status such as 0x80004005";
        return parseStatus(value, field) ? "" : "is not a status such as 0x80004005";
    };
    const auto number = [&](auto& field, std::uint64_t minimum, std::uint64_t maximum) -> std::string {
        std::uint64_t parsed = 0;
        if (!hasValue || !parseNumber(value, maximum, parsed) || parsed < minimum) {
            return "needs a whole number from " + std::to_string(minimum) + " to " + std::to_string(maximum);
        }
        field = static_cast<std::remove_reference_t<decltype(field)>>(parsed);
        return "";
    };
    if (key == "coinit") return status(s.coinit);
    if (key == "activate") return status(s.activate);
    if (key == "result") return status(s.result);
    if (key == "initialize") return status(s.initialize);
    if (key == "service") return status(s.service);
    if (key == "start") return status(s.start);
    if (key == "noclient") {
        if (hasValue) return "takes no value";
        s.noClient = true;
        return "";
    }
    if (key == "delay") {
        if (hasValue && value == "never") {
            s.delayMs = kNever;
            return "";
        }
        return number(s.delayMs, 0, 3600000);
    }
    if (key == "source") {
        if (value == "tone")
            s.source = Source::Tone;
        else if (value == "ramp")
            s.source = Source::Ramp;
        else if (value == "silence")
            s.source = Source::Silence;
        else
            return "needs tone, ramp or silence";
        return "";
    }
    if (key == "frames") {
        s.framesGiven = true;
        return number(s.frames, 1, 1000000);
    }
    if (key == "period") return number(s.periodMs, 0, 10000);
    if (key == "burst") return number(s.burst, 1, 10000);
    if (key == "packets") return number(s.packets, 0, UINT64_MAX / 2);
    if (key == "capacity") return number(s.capacityFrames, 1, 100000000);
    if (key == "silent_every") return number(s.silentEvery, 1, UINT64_MAX / 2);
    if (key == "fail_size_after") return number(s.failSizeAfter, 0, UINT64_MAX / 2);
    if (key == "fail_buffer_at") return number(s.failBufferAt, 1, UINT64_MAX / 2);
    if (key == "discontinuity_at") return number(s.discontinuityAt, 1, UINT64_MAX / 2);
    if (key == "discontinuity_every") return number(s.discontinuityEvery, 1, UINT64_MAX / 2);
    if (key == "zero_packet_at") return number(s.zeroPacketAt, 1, UINT64_MAX / 2);
    if (key == "quiet" || key == "unheard") {
        // quiet=FROM:MS and unheard=FROM:MS, repeatable
        const std::size_t colon = value.find(':');
        std::uint64_t from = 0;
        std::uint64_t length = 0;
        if (!hasValue || colon == std::string::npos || !parseNumber(value.substr(0, colon), 86400000, from) ||
            !parseNumber(value.substr(colon + 1), 86400000, length) || length == 0) {
            return "needs FROM:MS, engine milliseconds up to 86400000 and a length of at least 1";
        }
        (key == "quiet" ? s.quiet : s.unheard).push_back({from, length});
        return "";
    }
    if (key == "jitter") return number(s.jitterUs, 0, 1000000);
    if (key == "drift") {
        // drift=PPM, signed
        const bool negative = !value.empty() && value[0] == '-';
        std::uint64_t ppm = 0;
        if (!hasValue || !parseNumber(negative ? value.substr(1) : value, 100000, ppm))
            return "needs parts per million from -100000 to 100000";
        const auto magnitude = static_cast<std::int32_t>(ppm);
        s.driftPpm = negative ? -magnitude : magnitude;
        return "";
    }
    if (key == "device_position") {
        if (value != "none" && value != "count") return "needs none or count";
        s.devicePositions = value == "count";
        return "";
    }
    if (key == "drop_unflagged") {
        // drop_unflagged=N:K, repeatable
        const std::size_t colon = value.find(':');
        std::uint64_t after = 0;
        std::uint64_t count = 0;
        if (!hasValue || colon == std::string::npos ||
            !parseNumber(value.substr(0, colon), UINT64_MAX / 2, after) ||
            !parseNumber(value.substr(colon + 1), 1000000, count) || count == 0) {
            return "needs N:K, a packet number and from 1 to 1000000 packets";
        }
        s.unflaggedLosses.push_back({after, count});
        return "";
    }
    if (key == "stamp_offset") {
        // stamp_offset=MS, signed
        const bool negative = !value.empty() && value[0] == '-';
        std::uint64_t ms = 0;
        if (!hasValue || !parseNumber(negative ? value.substr(1) : value, 86400000, ms))
            return "needs milliseconds from -86400000 to 86400000";
        s.stampOffsetMs = negative ? -static_cast<std::int64_t>(ms) : static_cast<std::int64_t>(ms);
        return "";
    }
    if (key == "empty_wakes") return number(s.emptyWakesMs, 1, 10000);
    if (key == "invalidate_after") return number(s.invalidateAfter, 0, UINT64_MAX / 2);
    if (key == "bad_position") {
        // bad_position=N:zero|back|day, repeatable
        const std::size_t colon = value.find(':');
        const std::string kind = colon == std::string::npos ? "" : value.substr(colon + 1);
        std::uint64_t packet = 0;
        if (!hasValue || !parseNumber(value.substr(0, colon), UINT64_MAX / 2, packet) || packet == 0 ||
            (kind != "zero" && kind != "back" && kind != "day")) {
            return "needs N:zero, N:back or N:day with N a packet number from 1";
        }
        s.badPositions.push_back({packet, kind == "zero"   ? Scenario::BadPosition::Zero
                                          : kind == "back" ? Scenario::BadPosition::DayBack
                                                           : Scenario::BadPosition::DayAhead});
        return "";
    }
    if (key == "stall") {
        // stall=CALL:MS
        const std::size_t colon = value.find(':');
        const std::string call = value.substr(0, colon);
        std::uint32_t* field = call == "coinit"       ? &s.stallCoinitMs
                               : call == "initialize" ? &s.stallInitializeMs
                               : call == "service"    ? &s.stallServiceMs
                               : call == "start"      ? &s.stallStartMs
                                                      : nullptr;
        std::uint64_t ms = 0;
        if (!hasValue || field == nullptr || colon == std::string::npos ||
            !parseNumber(value.substr(colon + 1), 600000, ms)) {
            return "needs CALL:MS with CALL one of coinit, initialize, service, start";
        }
        *field = static_cast<std::uint32_t>(ms);
        return "";
    }
    if (key == "fail_event") {
        if (value == "completion")
            s.failCompletionEvent = true;
        else if (value == "capture")
            s.failCaptureEvent = true;
        else
            return "needs completion or capture";
        return "";
    }
    if (key == "fail_wait") {
        if (value == "activation")
            s.failActivationWait = true;
        else if (value == "capture")
            s.failCaptureWait = true;
        else
            return "needs activation or capture";
        return "";
    }
    if (key == "fail_size_once_after") return number(s.failSizeOnceAfter, 1, UINT64_MAX / 2);
    if (key == "stop_at") {
        // stop_at=coinit|initialize|service|start|packet:N|release:N
        using P = Scenario::StopPoint;
        const std::size_t colon = value.find(':');
        const std::string point = value.substr(0, colon);
        const bool counted = point == "packet" || point == "release";
        std::uint64_t n = 0;
        if (counted && (colon == std::string::npos ||
                        !parseNumber(value.substr(colon + 1), UINT64_MAX / 2, n) || n == 0)) {
            return "needs packet:N or release:N with N from 1";
        }
        if (!counted && colon != std::string::npos) return "needs coinit, initialize, service or start";
        s.stopAt = point == "coinit"       ? P::Coinit
                   : point == "initialize" ? P::Initialize
                   : point == "service"    ? P::Service
                   : point == "start"      ? P::Start
                   : point == "packet"     ? P::Packet
                   : point == "release"    ? P::Release
                                           : P::None;
        if (s.stopAt == P::None) return "needs coinit, initialize, service, start, packet:N or release:N";
        s.stopPacket = n;
        return "";
    }
    if (key == "trace") {
        if (!hasValue || value.empty()) return "needs a file path";
        s.tracePath = value;
        return "";
    }
    return "is not a known item";
}

struct Current {
    Scenario scenario;
    std::string error;
};

Current* loadFromEnvironment() {
    auto* loaded = new Current;  // never destroyed: engine threads may outlive main
    const char* text = std::getenv("AUDIO_HELPER_SIM");
    if (text != nullptr && !parseScenario(text, loaded->scenario, loaded->error))
        loaded->scenario = Scenario{};
    return loaded;
}

Current& current() {
    static Current* instance = loadFromEnvironment();
    return *instance;
}

}  // namespace

bool parseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    Scenario parsed;
    std::set<std::string> seen;
    std::size_t begin = 0;
    while (!text.empty() && begin <= text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos) end = text.size();
        const std::string item = text.substr(begin, end - begin);
        begin = end + 1;
        if (item.empty()) {
            error = "AUDIO_HELPER_SIM: empty item in '" + text + "'";
            return false;
        }
        const std::size_t equals = item.find('=');
        const bool hasValue = equals != std::string::npos;
        const std::string key = item.substr(0, equals);
        const std::string value = hasValue ? item.substr(equals + 1) : "";
        std::string problem = seen.insert(key).second || key == "quiet" || key == "unheard" ||
                                      key == "bad_position" || key == "drop_unflagged"
                                  ? applyItem(key, value, hasValue, parsed)
                                  : "is given twice";
        if (!problem.empty()) {
            error = "AUDIO_HELPER_SIM: item '" + item + "' " + problem;
            return false;
        }
    }
    scenario = parsed;
    return true;
}

std::uint32_t engineCapacity(const Scenario& scenario) {
#ifdef AUDIO_HELPER_SIM_SANITIZED
    // A sanitizer slows the capture thread five to fifteen times: its builds test memory and threads, not
    // Windows' 20 ms deadline, so their engine holds 2 s unless a scenario asks for less.
    const std::uint64_t clientBufferFrames = scenario.format.framesFromMilliseconds(2000);
#else
    const std::uint64_t clientBufferFrames =
        scenario.format.framesFromMilliseconds(stream::kBufferMilliseconds);
#endif
    if (scenario.capacityFrames != 0) return scenario.capacityFrames;
    const std::uint64_t burst = std::uint64_t{scenario.burst} * scenario.frames;
    return static_cast<std::uint32_t>(burst > clientBufferFrames ? burst : clientBufferFrames);
}

const Scenario& currentScenario() { return current().scenario; }

const std::string& scenarioError() { return current().error; }

void useScenario(const Scenario& scenario) {
    Current& c = current();
    c.scenario = scenario;
    c.error.clear();
}

}  // namespace simaudio
