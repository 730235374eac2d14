#include "status/capture_status.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "status/engine_errors.h"
#include "stream/performance_clock.h"

namespace status {

namespace {

const char* causeName(GapCause cause) {
    switch (cause) {
        case GapCause::EngineOverflow:
            return "engine-overflow";
        case GapCause::UnflaggedLoss:
            return "unflagged-loss";
        case GapCause::StalledReader:
            return "stalled-reader";
        case GapCause::FailedWrite:
            return "failed-write";
    }
    return "unknown";
}

// Names of the statuses the capture calls are known to give; a parent logs the number either way.
const char* statusText(std::uint32_t code) {
    switch (code) {
        case 0x80004001u:
            return "E_NOTIMPL";
        case 0x80004002u:
            return "E_NOINTERFACE";
        case 0x80004005u:
            return "E_FAIL";
        case 0x80070002u:
            return "ERROR_FILE_NOT_FOUND";
        case 0x80070005u:
            return "E_ACCESSDENIED";
        case 0x8007000Eu:
            return "E_OUTOFMEMORY";
        case 0x80070057u:
            return "E_INVALIDARG";
        case 0x80010106u:
            return "RPC_E_CHANGED_MODE";
        case 0x88890001u:
            return "AUDCLNT_E_NOT_INITIALIZED";
        case 0x88890002u:
            return "AUDCLNT_E_ALREADY_INITIALIZED";
        case 0x88890004u:
            return "AUDCLNT_E_DEVICE_INVALIDATED";
        case 0x88890006u:
            return "AUDCLNT_E_BUFFER_TOO_LARGE";
        case 0x88890008u:
            return "AUDCLNT_E_UNSUPPORTED_FORMAT";
        case 0x8889000Au:
            return "AUDCLNT_E_DEVICE_IN_USE";
        case 0x88890010u:
            return "AUDCLNT_E_SERVICE_NOT_RUNNING";
        case 0x88890003u:
            return "AUDCLNT_E_NOT_STOPPED";
        case 0x88890005u:
            return "AUDCLNT_E_OUT_OF_ORDER";
        case 0x88890018u:
            return "AUDCLNT_E_BUFFER_OPERATION_PENDING";
        case 0x80070102u:
            return "timeout";
        default:
            return nullptr;
    }
}

// Appends `values` as a JSON array of dB with two decimals; null for silence (minus infinity).
int appendDbArray(char* out, std::size_t size, const double* values, std::uint32_t count) {
    int used = std::snprintf(out, size, "[");
    for (std::uint32_t i = 0; i < count && used > 0 && static_cast<std::size_t>(used) < size; ++i) {
        const char* comma = i == 0 ? "" : ",";
        const std::size_t left = size - static_cast<std::size_t>(used);
        used += std::isinf(values[i]) ? std::snprintf(out + used, left, "%snull", comma)
                                      : std::snprintf(out + used, left, "%s%.2f", comma, values[i]);
    }
    if (used > 0 && static_cast<std::size_t>(used) < size)
        used += std::snprintf(out + used, size - static_cast<std::size_t>(used), "]");
    return used;
}

}  // namespace

std::uint64_t statusClockFromTicks(std::uint64_t ticks) { return ticks * kStatusClockUnitsPerTick; }

CaptureStatus::CaptureStatus(int fd) : m_channel(StatusChannel::open(fd)) {
    if (on()) {
        setEngineErrorSink(
            [](void* context, const char* call, int error, const char* text) {
                static_cast<CaptureStatus*>(context)->engineError(call, error, text);
            },
            this);
    }
}

void CaptureStatus::post(const char* name, const char* members) {
    if (StatusChannel* channel = m_channel.load()) channel->post(name, members);
}

void CaptureStatus::started(stream::StreamFormat format, std::uint64_t startTicks) {
    if (!on()) return;
    m_format = format;
    m_meter = LevelMeter(format.channels(), format.framesFromMilliseconds(kLevelMilliseconds));
    m_lastHeard.store(startTicks);
    const auto wall = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
    char members[256];
    std::snprintf(members, sizeof members,
                  ",\"frame\":0,\"rate\":%u,\"channels\":%u,\"clock\":%llu,\"unit\":\"%s\",\"wall_ms\":%lld",
                  m_format.rate(), m_format.channels(),
                  static_cast<unsigned long long>(statusClockFromTicks(startTicks)), kStatusClockUnit,
                  static_cast<long long>(wall));
    post("start", members);
}

void CaptureStatus::zeros(std::uint64_t frames) {
    if (!on() || frames == 0) return;
    flushGap();
    feed(nullptr, frames, 0);
}

void CaptureStatus::gap(std::uint64_t frames, GapCause cause) {
    if (!on() || frames == 0) return;
    if (m_gapFrames != 0 && (cause != m_gapCause || m_gapFrame + m_gapFrames != this->frames())) flushGap();
    if (m_gapFrames == 0) {
        m_gapFrame = this->frames();
        m_gapCause = cause;
    }
    m_gapFrames += frames;
    feed(nullptr, frames, 0);
}

void CaptureStatus::flushGap() {
    if (m_gapFrames == 0) return;
    const std::uint64_t frames = m_gapFrames;
    m_gapFrames = 0;
    postGap(m_gapFrame, frames, m_gapCause);
}

void CaptureStatus::postGap(std::uint64_t frame, std::uint64_t frames, GapCause cause) {
    char members[128];
    std::snprintf(members, sizeof members, ",\"frame\":%llu,\"frames\":%llu,\"cause\":\"%s\"",
                  static_cast<unsigned long long>(frame), static_cast<unsigned long long>(frames),
                  causeName(cause));
    post("gap", members);
}

void CaptureStatus::packet(const void* data, std::uint64_t frames, std::uint64_t stampTicks) {
    if (!on() || frames == 0) return;
    flushGap();
    feed(data, frames, stampTicks);
}

void CaptureStatus::feed(const void* data, std::uint64_t frames, std::uint64_t stampTicks) {
    const std::uint64_t first = m_frames.load(std::memory_order_relaxed);
    if (stampTicks != 0 && first + frames > m_nextSync) {
        // The first packet that reaches the next whole second: its first frame and the engine's stamp of it.
        char members[128];
        std::snprintf(members, sizeof members, ",\"frame\":%llu,\"clock\":%llu,\"unit\":\"%s\"",
                      static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(statusClockFromTicks(stampTicks)), kStatusClockUnit);
        post("sync", members);
        m_nextSync = (first / m_format.rate() + 1) * m_format.rate();
    }
    m_meter.feed(data, frames, [this](std::uint64_t block, const double* peak, const double* rms) {
        char members[StatusChannel::kMaxLine - 64];
        int used = std::snprintf(members, sizeof members,
                                 ",\"frame\":%llu,\"peak_db\":", static_cast<unsigned long long>(block));
        used += appendDbArray(members + used, sizeof members - static_cast<std::size_t>(used), peak,
                              m_meter.channels());
        used +=
            std::snprintf(members + used, sizeof members - static_cast<std::size_t>(used), ",\"rms_db\":");
        appendDbArray(members + used, sizeof members - static_cast<std::size_t>(used), rms,
                      m_meter.channels());
        post("level", members);
    });
    m_frames.store(first + frames, std::memory_order_relaxed);
    if (m_meter.takeHeard()) m_lastHeard.store(performanceClockNow(), std::memory_order_relaxed);
}

DWORD WINAPI CaptureStatus::watchSilence(LPVOID parameter) {
    auto& status = *static_cast<CaptureStatus*>(parameter);
    bool raised = false;
    std::uint64_t raisedFrame = 0;
    while (status.on()) {
        Sleep(kSilentCaptureWatchMs);
        const int playing = playingForCapture(status.m_roots.data(),
                                              static_cast<unsigned>(status.m_roots.size()), status.m_include);
        if (playing < 0) return 0;  // the platform cannot tell
        const std::uint64_t now = performanceClockNow();
        const std::uint64_t heard = status.m_lastHeard.load(std::memory_order_relaxed);
        const bool silent = silentCapture(now > heard ? now - heard : 0, playing);
        if (silent == raised) continue;
        raised = silent;
        char members[128];
        const std::uint64_t frame = status.frames();
        if (raised) {
            raisedFrame = frame;
            std::snprintf(members, sizeof members, ",\"frame\":%llu,\"silent_ms\":%llu",
                          static_cast<unsigned long long>(frame),
                          static_cast<unsigned long long>((now - heard) / stream::kTicksPerMillisecond));
            status.post("silent-capture", members);
        } else {
            std::snprintf(members, sizeof members, ",\"frame\":%llu,\"since_frame\":%llu",
                          static_cast<unsigned long long>(frame),
                          static_cast<unsigned long long>(raisedFrame));
            status.post("silent-capture-end", members);
        }
    }
    return 0;
}

void CaptureStatus::failedWrite(std::uint64_t frame, std::uint64_t frames) {
    if (!on() || frames == 0) return;
    postGap(frame, frames, GapCause::FailedWrite);
}

void CaptureStatus::watch(DWORD firstRoot, const std::vector<std::uint32_t>& moreRoots, bool include) {
    if (!on()) return;
    m_roots.push_back(firstRoot);
    m_roots.insert(m_roots.end(), moreRoots.begin(), moreRoots.end());
    m_include = include;
    for (const DWORD pid : m_roots) watchProcessEnd(pid, treeEnded, this);
    if (HANDLE thread = CreateThread(nullptr, 0, watchSilence, this, 0, nullptr)) CloseHandle(thread);
}

void CaptureStatus::treeEnded(void* context, DWORD pid) {
    auto& status = *static_cast<CaptureStatus*>(context);
    char members[96];
    std::snprintf(members, sizeof members, ",\"frame\":%llu,\"pid\":%lu",
                  static_cast<unsigned long long>(status.frames()), static_cast<unsigned long>(pid));
    status.post("tree", members);
}

void CaptureStatus::error(const char* call, std::uint32_t code) {
    if (!on()) return;
    char members[256];
    const char* text = statusText(code);
    std::snprintf(members, sizeof members, ",\"frame\":%llu,\"call\":\"%s\",\"hresult\":\"0x%08x\"%s%s%s",
                  static_cast<unsigned long long>(frames()), call, code,
                  text != nullptr ? ",\"text\":\"" : "", text != nullptr ? text : "",
                  text != nullptr ? "\"" : "");
    post("error", members);
}

void CaptureStatus::engineError(const char* call, int error, const char* text) {
    if (!on()) return;
    // The text as a JSON string: quotes and backslashes escaped, control characters as spaces.
    char escaped[256];
    std::size_t used = 0;
    for (const char* c = text; *c != '\0' && used + 2 < sizeof escaped; ++c) {
        if (*c == '"' || *c == '\\') escaped[used++] = '\\';
        escaped[used++] = static_cast<unsigned char>(*c) < 0x20 ? ' ' : *c;
    }
    escaped[used] = '\0';
    char members[StatusChannel::kMaxLine - 64];
    if (error != 0) {
        std::snprintf(members, sizeof members, ",\"frame\":%llu,\"call\":\"%s\",\"errno\":%d,\"text\":\"%s\"",
                      static_cast<unsigned long long>(frames()), call, error, escaped);
    } else {
        std::snprintf(members, sizeof members, ",\"frame\":%llu,\"call\":\"%s\",\"text\":\"%s\"",
                      static_cast<unsigned long long>(frames()), call, escaped);
    }
    post("error", members);
}

int CaptureStatus::failed(const char* call, std::uint32_t code, int exitCode) {
    if (!on()) return exitCode;
    error(call, code);
    char members[128];
    std::snprintf(members, sizeof members, ",\"reason\":\"set-up failed\",\"exit\":%d,\"frames\":0",
                  exitCode);
    post("end", members);
    m_closed = m_channel.exchange(nullptr);
    m_closed->close(kCloseMilliseconds);
    return exitCode;
}

void CaptureStatus::ended(const char* reason, std::uint64_t frames, DWORD milliseconds) {
    if (!on()) return;
    flushGap();
    char members[128];
    std::snprintf(members, sizeof members, ",\"reason\":\"%s\",\"frames\":%llu", reason,
                  static_cast<unsigned long long>(frames));
    post("end", members);
    m_closed = m_channel.exchange(nullptr);
    m_closed->close(milliseconds);
}

}  // namespace status
