// audio-helper: streams everything the machine plays, except one process tree, to standard output.
//
//   audio-helper <exclude_pid>
//
// Standard output: a 16-byte header, then 48 kHz stereo 32-bit float frames until stopped.
// Standard error: one UTF-16 line per stage. Exit code: the stage that failed, or 0.
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "stream/performance_clock.h"
#include "stream/stream_format.h"
#include "stream/stream_header.h"
#include "stream/stream_output.h"
#include "stream/timeline.h"
#include "stream/write_all.h"
#include "winaudio/activation_handler.h"
#include "winaudio/windows_audio.h"

namespace {

enum ExitCode : int {
    kExitCaptureEnded = 0,
    kExitUsage = 1,
    kExitComInitFailed = 2,
    kExitActivateRequestFailed = 3,
    kExitActivationFailed = 4,
    kExitInitializeFailed = 5,
    kExitGetServiceFailed = 6,
    kExitStartFailed = 7,
    kExitActivationTimeout = 8,
};

// The diagnostic catalogue, in the order the lines can appear, numbered as docs/helper-diagnostics.md
// numbers them; each is written at most once.
// (A wide "%ls" is the portable spelling of a wide string argument.)
constexpr const wchar_t* kLine1Started = L"[helper] Elindult, argc=%d\n";
constexpr const wchar_t* kLine2Usage = L"Usage: %ls <exclude_pid>\n";
constexpr const wchar_t* kLine3ExcludePid = L"[helper] exclude_pid=%lu\n";
constexpr const wchar_t* kLine4CoInitFailed = L"[helper] CoInitializeEx failed: 0x%08x\n";
constexpr const wchar_t* kLine5ComReady = L"[helper] COM inicializalva, aktivalas inditasa...\n";
constexpr const wchar_t* kLine6ActivateRequestFailed = L"ActivateAudioInterfaceAsync failed: 0x%08x\n";
constexpr const wchar_t* kLine7ActivationPending =
    L"[helper] ActivateAudioInterfaceAsync elindult, varakozas a befejezesre...\n";
constexpr const wchar_t* kLine8ActivationTimeout =
    L"[helper] Aktivalas timeout (nincs completion esemeny 5mp alatt)\n";
constexpr const wchar_t* kLine9ActivationDone = L"[helper] Aktivalas befejezve, eredmeny: 0x%08x\n";
constexpr const wchar_t* kLine10ActivationFailed =
    L"Activation failed: 0x%08x (Windows 10 2004+ szukseges)\n";
constexpr const wchar_t* kLine11InitializeFailed = L"AudioClient Initialize failed: 0x%08x\n";
constexpr const wchar_t* kLine12Initialized = L"[helper] AudioClient inicializalva\n";
constexpr const wchar_t* kLine13GetServiceFailed = L"GetService(IAudioCaptureClient) failed: 0x%08x\n";
constexpr const wchar_t* kLine14StartFailed = L"AudioClient Start failed: 0x%08x\n";
constexpr const wchar_t* kLine15CaptureStarted = L"[helper] Rogzites elindult, fejlec elkuldve.\n";

constexpr DWORD kActivationWaitMs = 5000;
constexpr DWORD kCaptureWaitMs = 500;
constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
// A drain that keeps finding packets looks at the stop flag once it has run this long (one capture wait);
// silence is written once no packet has come for as long.
constexpr std::uint64_t kCaptureWaitTicks = std::uint64_t{kCaptureWaitMs} * (stream::kTicksPerSecond / 1000);
// Zero frames for a gap go out in pieces of one write each.
constexpr std::uint64_t kZeroPieceFrames = kWriteChunkBytes / stream::kFrameBytes;

// The one format asked for and written; the process-loopback client converts whatever the device mixes.
constexpr WAVEFORMATEX kCaptureFormat = {
    WAVE_FORMAT_IEEE_FLOAT,                     // wFormatTag
    static_cast<WORD>(stream::kChannels),       // nChannels
    stream::kSampleRate,                        // nSamplesPerSec
    stream::kBytesPerSecond,                    // nAvgBytesPerSec
    static_cast<WORD>(stream::kFrameBytes),     // nBlockAlign
    static_cast<WORD>(stream::kBitsPerSample),  // wBitsPerSample
    0,                                          // cbSize
};

// Writes one catalogue line and pushes it out at once: the parent follows the stages by these lines, and
// a C runtime may hold a redirected stderr in a buffer until exit.
void report(const wchar_t* line, ...) {
    va_list args;
    va_start(args, line);
    vfwprintf(stderr, line, args);
    va_end(args);
    fflush(stderr);
}

// Set by console control events (on a thread the system starts), read by the capture loop.
std::atomic<bool> g_stop{false};

BOOL WINAPI ConsoleHandler(DWORD ctrlType) {
    if (ctrlType <= CTRL_CLOSE_EVENT) g_stop.store(true, std::memory_order_seq_cst);
    // Every event is answered as handled, so no later handler runs. For Ctrl+C and Ctrl+Break that keeps
    // the process alive until the loop has shut down; after a console close, logoff or shutdown Windows
    // ends the process itself once the answer is given, however far the shutdown has come.
    return TRUE;
}

// True once a stop was requested and the work begun at `began` has run for a capture wait: a short drain
// finishes every packet that was ready, a long one (a reader slower than real time) still stops.
bool stopIsDue(std::uint64_t began) {
    return g_stop.load() && performanceClockNow() - began >= kCaptureWaitTicks;
}

// Writes `frames` zero frames; false when a due stop cut them short.
bool writeZeroFrames(StreamOutput& output, std::uint64_t frames, std::uint64_t began) {
    while (frames > 0) {
        if (stopIsDue(began)) return false;
        const std::uint64_t piece = frames < kZeroPieceFrames ? frames : kZeroPieceFrames;
        output.zeros(piece * kCaptureFormat.nBlockAlign);
        frames -= piece;
    }
    return true;
}

// One packet, from the engine's buffer or, when it is flagged silent, from the zero buffer.
void writePacket(StreamOutput& output, const BYTE* data, UINT32 frames, DWORD flags) {
    const std::uint64_t bytes = std::uint64_t{frames} * kCaptureFormat.nBlockAlign;
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
        output.zeros(bytes);  // the engine's data is not read for a silent packet
    } else {
        output.audio(data, bytes);
    }
}

// Empties the packets the engine has ready, each after the zero frames that its positions show are
// missing (time the engine said nothing about, or audio it dropped).
void drainPackets(IAudioCaptureClient* captureClient, StreamOutput& output, stream::Timeline& streamTime) {
    const std::uint64_t began = performanceClockNow();
    for (;;) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 position = 0;
        if (FAILED(captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, &position))) return;
        // A packet whose gap a stop cut short is not written: it would stand at the wrong time.
        const std::uint64_t zeros =
            streamTime.framesBeforePacket(devicePosition, position, frames, flags, performanceClockNow());
        const bool inTime = writeZeroFrames(output, zeros, began);
        if (inTime) writePacket(output, data, frames, flags);
        captureClient->ReleaseBuffer(frames);
        if (!inTime || stopIsDue(began)) return;

        UINT32 nextFrames = 0;
        if (FAILED(captureClient->GetNextPacketSize(&nextFrames)) || nextFrames == 0) return;
    }
}

// No packet for a whole wait: silence up to shortly before now, so a reader sees time pass.
void writeQuietTime(StreamOutput& output, stream::Timeline& streamTime) {
    const std::uint64_t now = performanceClockNow();
    writeZeroFrames(output, streamTime.framesWhileQuiet(now), now);
}

// Moves packets to standard output until a stop request or a failed packet-size query, then tears the
// capture down in a fixed order. Frame 0 of the stream stands for `startedAt`.
int runCapture(IAudioClient* audioClient, IAudioCaptureClient* captureClient, HANDLE captureEvent,
               ActivationHandler* handler, std::uint64_t startedAt) {
    // The engine keeps only the 20 ms buffer asked for: a busy machine must not starve this thread. Best
    // effort: without the scheduler capture runs the same, at normal priority.
    DWORD taskIndex = 0;
    const HANDLE proAudio = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    StreamOutput output(kCaptureFormat.nBlockAlign);
    stream::Timeline streamTime(startedAt);
    std::uint64_t lastDrain = startedAt;
    for (;;) {
        if (g_stop.load()) break;
        const std::uint64_t waitBegan = performanceClockNow();
        const DWORD wait = WaitForSingleObject(captureEvent, kCaptureWaitMs);
        if (g_stop.load()) break;  // a stop request wins over a ready packet
        if (wait != WAIT_OBJECT_0 && wait != WAIT_TIMEOUT) continue;
        // A wait that overran its limit by far was the whole process stopped (a terminal's Ctrl+Z): the
        // engine captured meanwhile and may not have handed that over yet, so it is not quiet time.
        const bool overran = performanceClockNow() - waitBegan >= 2 * kCaptureWaitTicks;

        // Asked after a time-out too: an engine whose stream has died may never signal again.
        UINT32 packetFrames = 0;
        if (FAILED(captureClient->GetNextPacketSize(&packetFrames))) break;  // the device is gone
        if (packetFrames != 0) {
            drainPackets(captureClient, output, streamTime);
            lastDrain = performanceClockNow();  // a long drain (a slow reader) is no quiet time
        } else if (!overran && performanceClockNow() - lastDrain >= kCaptureWaitTicks) {
            // However the loop woke: an engine may signal with nothing ready, again and again.
            writeQuietTime(output, streamTime);
        }
    }

    audioClient->Stop();
    captureClient->Release();
    audioClient->Release();
    CloseHandle(captureEvent);
    handler->Release();
    CoUninitialize();
    if (proAudio != nullptr) AvRevertMmThreadCharacteristics(proAudio);
    return kExitCaptureEnded;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    // A standard stream the process started without has no descriptor (-2), and _setmode would end the
    // process: what would have gone there goes nowhere instead.
    if (_fileno(stderr) >= 0) _setmode(_fileno(stderr), _O_U16TEXT);
    if (_fileno(stdout) >= 0) _setmode(_fileno(stdout), _O_BINARY);
    report(kLine1Started, argc);
    if (argc < 2) {
        report(kLine2Usage, argv[0]);
        return kExitUsage;
    }
    // No validation: whatever _wtoi makes of the text is the process to leave out.
    const DWORD excludePid = static_cast<DWORD>(_wtoi(argv[1]));
    report(kLine3ExcludePid, excludePid);

    SetConsoleCtrlHandler(ConsoleHandler, TRUE);

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        report(kLine4CoInitFailed, hr);
        return kExitComInitFailed;
    }
    report(kLine5ComReady);

    AUDIOCLIENT_ACTIVATION_PARAMS activationParams = {};
    activationParams.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    activationParams.ProcessLoopbackParams.TargetProcessId = excludePid;
    activationParams.ProcessLoopbackParams.ProcessLoopbackMode =
        PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    PROPVARIANT activationProperty = {};
    activationProperty.vt = VT_BLOB;
    activationProperty.blob.cbSize = sizeof(activationParams);
    activationProperty.blob.pBlobData = reinterpret_cast<BYTE*>(&activationParams);

    // Two references are the driver's: one is released on every exit from here on, the other never, so
    // a completion that arrives after a time-out still finds the handler alive.
    // A failure exit releases only that reference and the operation: the audio client, the capture client,
    // the capture event and COM are left to the end of the process, which frees them all.
    ActivationHandler* handler = new ActivationHandler();
    handler->AddRef();
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_IAudioClient,
                                     &activationProperty, handler, &operation);
    if (FAILED(hr)) {
        report(kLine6ActivateRequestFailed, hr);
        return kExitActivateRequestFailed;
    }
    report(kLine7ActivationPending);

    const DWORD activationWait = WaitForSingleObject(handler->m_event, kActivationWaitMs);
    if (operation != nullptr) operation->Release();
    if (activationWait != WAIT_OBJECT_0) {
        report(kLine8ActivationTimeout);
        handler->Release();
        return kExitActivationTimeout;
    }
    report(kLine9ActivationDone, handler->m_activateResult);
    if (FAILED(handler->m_activateResult) || handler->m_client == nullptr) {
        report(kLine10ActivationFailed, handler->m_activateResult);
        handler->Release();
        return kExitActivationFailed;
    }
    IAudioClient* audioClient = handler->m_client;

    const WAVEFORMATEX captureFormat = kCaptureFormat;
    hr = audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                 AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 kBufferDuration, 0, &captureFormat, nullptr);
    if (FAILED(hr)) {
        report(kLine11InitializeFailed, hr);
        handler->Release();
        return kExitInitializeFailed;
    }
    report(kLine12Initialized);

    HANDLE captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    audioClient->SetEventHandle(captureEvent);
    IAudioCaptureClient* captureClient = nullptr;
    hr = audioClient->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(&captureClient));
    if (FAILED(hr)) {
        report(kLine13GetServiceFailed, hr);
        handler->Release();
        return kExitGetServiceFailed;
    }

    const StreamHeader header = makeStreamHeader(captureFormat);
    writeAll(&header, sizeof header);
    const std::uint64_t startedAt = performanceClockNow();  // the time frame 0 stands for
    hr = audioClient->Start();
    if (FAILED(hr)) {
        report(kLine14StartFailed, hr);
        handler->Release();
        return kExitStartFailed;
    }
    report(kLine15CaptureStarted);

    return runCapture(audioClient, captureClient, captureEvent, handler, startedAt);
}
