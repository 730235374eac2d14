// audio-helper: streams everything the machine plays, except one process tree, to standard output.
//
//   audio-helper <exclude_pid>
//
// Standard output: a 16-byte header, then 48 kHz stereo 32-bit float frames until stopped.
// Standard error: one UTF-16 line per stage. Exit code: the stage that failed, or 0.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "options/capture_options.h"
#include "status/capture_status.h"
#include "stream/audio_ring.h"
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
    kExitBadOption = 9,
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
// Not in the catalogue: only a call with options can get it.
constexpr const wchar_t* kBadOptionLine = L"[helper] Bad option: %ls\n";

constexpr DWORD kActivationWaitMs = 5000;
constexpr DWORD kCaptureWaitMs = 500;
constexpr REFERENCE_TIME kBufferDuration = 200000;  // 20 ms in 100 ns units
// A drain that keeps finding packets looks at the stop flag once it has run this long (one capture wait);
// silence is written once no packet has come for as long.
constexpr std::uint64_t kCaptureWaitTicks = std::uint64_t{kCaptureWaitMs} * (stream::kTicksPerSecond / 1000);
// What a reader may fall behind by before audio is lost: the ring between capture and standard output.
constexpr std::uint64_t kRingBytes = 2 * std::uint64_t{stream::kBytesPerSecond};
// At shutdown the writer has this long to hand over what the ring still holds; a reader that stopped
// reading keeps it no longer (the process's end takes the thread with it).
constexpr DWORD kWriterEndMs = 300;

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
// finishes every packet that was ready, a long one (an engine that never runs dry) still stops.
bool stopIsDue(std::uint64_t began) {
    return g_stop.load() && performanceClockNow() - began >= kCaptureWaitTicks;
}

// Standard output's own thread. The capture thread never waits for the reader: it queues each packet in
// the ring and gives it back to the engine at once, whose buffer holds only 20 ms.
struct Writer {
    explicit Writer(status::CaptureStatus& s) : status(s) {}
    AudioRing ring{kRingBytes};
    StreamOutput output{kCaptureFormat.nBlockAlign};
    std::atomic<HANDLE> wake{nullptr};  // made by the writer, so the capture thread never waits for it
    std::atomic<bool> ending{false};
    std::atomic<bool> idle{false};  // the writer waits, or is about to: only then is it woken
    bool alone = false;  // no thread could be made: the capture thread writes, as it waits for the reader
    status::CaptureStatus& status;
    std::uint64_t framesOut = 0;    // frames handed to the output
    std::uint64_t owedBytes = 0;    // what the output owed after the last write
    std::uint64_t owedFrame = 0;    // where the output began to owe
    std::uint64_t failedBytes = 0;  // owed for failed writes since then

    // Counts what failed writes left owed; once it has gone out as zeros, that is a gap.
    void noteWritten(std::uint64_t bytes) {
        const std::uint64_t owed = output.owedBytes();
        if (owed > owedBytes) {
            if (failedBytes == 0) owedFrame = framesOut;
            failedBytes += owed - owedBytes;
        }
        owedBytes = owed;
        framesOut += bytes / kCaptureFormat.nBlockAlign;
        if (owed == 0 && failedBytes != 0) {
            status.failedWrite(owedFrame, failedBytes / kCaptureFormat.nBlockAlign);
            failedBytes = 0;
        }
    }

    // Writes what the ring holds, in order, until it is empty.
    void writeQueued() {
        for (;;) {
            if (std::uint64_t zeros = ring.zerosDue()) {
                while (zeros > 0) {
                    const std::uint64_t piece = zeros < kWriteChunkBytes ? zeros : kWriteChunkBytes;
                    output.zeros(piece);
                    noteWritten(piece);
                    zeros -= piece;
                }
                ring.takeZeros();
                continue;
            }
            const std::uint8_t* data = nullptr;
            std::uint64_t bytes = ring.peek(data);
            if (bytes == 0) return;
            // One write at a time, each given back at once, so the room it frees is the capture's again.
            if (bytes > kWriteChunkBytes) bytes = kWriteChunkBytes;
            output.audio(data, bytes);
            noteWritten(bytes);
            ring.consume(bytes);
        }
    }

    // Tells the writer there is more to write.
    void hurry() {
        if (alone) writeQueued();
        if (!idle.exchange(false)) return;
        if (HANDLE event = wake.load()) SetEvent(event);
    }
};

DWORD WINAPI writeStream(LPVOID parameter) {
    Writer& writer = *static_cast<Writer*>(parameter);
    // Below the capture thread, which has 20 ms to take each packet: catching up after a stall must not
    // keep it waiting. Best effort.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    HANDLE wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    writer.wake.store(wake);
    for (;;) {
        writer.writeQueued();
        if (writer.ending.load()) {
            writer.writeQueued();  // what came with the end
            break;
        }
        // Idle first, then a last look: what is queued after that look wakes the writer.
        writer.idle.store(true);
        const std::uint8_t* data = nullptr;
        if (writer.ring.zerosDue() != 0 || writer.ring.peek(data) != 0 || writer.ending.load()) {
            writer.idle.store(false);
            continue;
        }
        // Bounded, in case the event could not be made.
        if (wake == nullptr || WaitForSingleObject(wake, kCaptureWaitMs) == WAIT_FAILED) Sleep(1);
        writer.idle.store(false);
    }
    return 0;
}

// One packet, from the engine's buffer or, when it is flagged silent, as zeros.
void writePacket(Writer& writer, const BYTE* data, UINT32 frames, DWORD flags, UINT64 stamp) {
    const std::uint64_t bytes = std::uint64_t{frames} * kCaptureFormat.nBlockAlign;
    // The engine's data is not read for a silent packet.
    const BYTE* audio = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? nullptr : data;
    if (writer.ring.push(audio, bytes)) {
        writer.status.packet(audio, frames, stamp);
    } else {
        writer.status.gap(frames, status::GapCause::StalledReader);
    }
    writer.hurry();
}

// Empties the packets the engine has ready, each after the zero frames that its positions show are
// missing (time the engine said nothing about, or audio it dropped).
void drainPackets(IAudioCaptureClient* captureClient, Writer& writer, stream::Timeline& streamTime) {
    const std::uint64_t began = performanceClockNow();
    for (;;) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 position = 0;
        const HRESULT got = captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, &position);
        if (FAILED(got)) {
            writer.status.error("IAudioCaptureClient::GetBuffer", static_cast<std::uint32_t>(got));
            return;
        }
        const std::uint64_t zeros =
            streamTime.framesBeforePacket(devicePosition, position, frames, flags, performanceClockNow());
        writer.ring.push(nullptr, zeros * kCaptureFormat.nBlockAlign);
        if (!streamTime.lastZerosLost()) {
            writer.status.zeros(zeros);
        } else {
            writer.status.gap(zeros, (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0
                                         ? status::GapCause::EngineOverflow
                                         : status::GapCause::UnflaggedLoss);
        }
        const bool stamped = streamTime.trustsStamps() && (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0;
        writePacket(writer, data, frames, flags, stamped ? position : 0);
        const HRESULT released = captureClient->ReleaseBuffer(frames);
        if (FAILED(released))
            writer.status.error("IAudioCaptureClient::ReleaseBuffer", static_cast<std::uint32_t>(released));
        if (stopIsDue(began)) return;

        UINT32 nextFrames = 0;
        if (FAILED(captureClient->GetNextPacketSize(&nextFrames)) || nextFrames == 0) return;
    }
}

// No packet for a whole wait: silence up to shortly before now, so a reader sees time pass.
void writeQuietTime(Writer& writer, stream::Timeline& streamTime) {
    const std::uint64_t zeros = streamTime.framesWhileQuiet(performanceClockNow());
    writer.ring.push(nullptr, zeros * kCaptureFormat.nBlockAlign);
    writer.status.zeros(zeros);
    writer.hurry();
}

// Moves packets to standard output until a stop request or a failed packet-size query, then tears the
// capture down in a fixed order. Frame 0 of the stream stands for `startedAt`.
int runCapture(IAudioClient* audioClient, IAudioCaptureClient* captureClient, HANDLE captureEvent,
               ActivationHandler* handler, std::uint64_t startedAt, status::CaptureStatus& status) {
    // The engine keeps only the 20 ms buffer asked for: a busy machine must not starve this thread. Best
    // effort: without the scheduler capture runs the same, at normal priority.
    DWORD taskIndex = 0;
    const HANDLE proAudio = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    // Made once; left to the end of the process if the writer is still held by its reader then.
    auto* writer = new Writer(status);
    HANDLE writerThread = CreateThread(nullptr, 0, writeStream, writer, 0, nullptr);
    writer->alone = writerThread == nullptr;
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
        const HRESULT sized = captureClient->GetNextPacketSize(&packetFrames);
        if (FAILED(sized)) {  // the device is gone
            status.error("IAudioCaptureClient::GetNextPacketSize", static_cast<std::uint32_t>(sized));
            break;
        }
        if (packetFrames != 0) {
            drainPackets(captureClient, *writer, streamTime);
            lastDrain =
                performanceClockNow();  // a long drain (an engine that never runs dry) is no quiet time
        } else if (!overran && performanceClockNow() - lastDrain >= kCaptureWaitTicks) {
            // However the loop woke: an engine may signal with nothing ready, again and again.
            writeQuietTime(*writer, streamTime);
        }
    }

    audioClient->Stop();
    captureClient->Release();
    audioClient->Release();
    CloseHandle(captureEvent);
    handler->Release();
    CoUninitialize();
    if (proAudio != nullptr) AvRevertMmThreadCharacteristics(proAudio);
    writer->ending.store(true);
    writer->idle.store(true);  // woken whatever it is doing
    writer->hurry();
    const char* const reason = g_stop.load() ? "stop" : "device-lost";
    if (writerThread != nullptr && WaitForSingleObject(writerThread, kWriterEndMs) == WAIT_OBJECT_0) {
        status.ended(reason, writer->framesOut, kWriterEndMs);
        if (HANDLE wake = writer->wake.load()) CloseHandle(wake);
        delete writer;
    } else {
        status.ended(reason, writer->alone ? writer->framesOut : status.frames(), kWriterEndMs);
    }
    if (writerThread != nullptr) CloseHandle(writerThread);
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
    options::CaptureOptions captureOptions;
    std::wstring optionError;
    if (!options::parseCaptureOptions(argc, argv, captureOptions, optionError)) {
        report(kBadOptionLine, optionError.c_str());
        return kExitBadOption;
    }
    // No validation: whatever _wtoi makes of the text is the process to leave out.
    const DWORD excludePid = static_cast<DWORD>(_wtoi(argv[1]));
    report(kLine3ExcludePid, excludePid);

    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    if (captureOptions.stopOnStdinClose) watchInputEnd(ConsoleHandler);
    // Made once and kept to the end of the process, as the exits below leave it.
    auto& status = *new status::CaptureStatus(captureOptions.statusFd);

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        report(kLine4CoInitFailed, hr);
        return status.failed("CoInitializeEx", static_cast<std::uint32_t>(hr), kExitComInitFailed);
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
        return status.failed("ActivateAudioInterfaceAsync", static_cast<std::uint32_t>(hr),
                             kExitActivateRequestFailed);
    }
    report(kLine7ActivationPending);

    const DWORD activationWait = WaitForSingleObject(handler->m_event, kActivationWaitMs);
    if (operation != nullptr) operation->Release();
    if (activationWait != WAIT_OBJECT_0) {
        report(kLine8ActivationTimeout);
        handler->Release();
        return status.failed("ActivateCompleted", 0x80070102u, kExitActivationTimeout);  // a wait timeout
    }
    report(kLine9ActivationDone, handler->m_activateResult);
    if (FAILED(handler->m_activateResult) || handler->m_client == nullptr) {
        report(kLine10ActivationFailed, handler->m_activateResult);
        const auto result = static_cast<std::uint32_t>(handler->m_activateResult);
        handler->Release();
        return status.failed("ActivateCompleted", result != 0 ? result : 0x80004002u, kExitActivationFailed);
    }
    IAudioClient* audioClient = handler->m_client;

    const WAVEFORMATEX captureFormat = kCaptureFormat;
    hr = audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                 AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 kBufferDuration, 0, &captureFormat, nullptr);
    if (FAILED(hr)) {
        report(kLine11InitializeFailed, hr);
        handler->Release();
        return status.failed("IAudioClient::Initialize", static_cast<std::uint32_t>(hr),
                             kExitInitializeFailed);
    }
    report(kLine12Initialized);

    HANDLE captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    audioClient->SetEventHandle(captureEvent);
    IAudioCaptureClient* captureClient = nullptr;
    hr = audioClient->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(&captureClient));
    if (FAILED(hr)) {
        report(kLine13GetServiceFailed, hr);
        handler->Release();
        return status.failed("IAudioClient::GetService", static_cast<std::uint32_t>(hr),
                             kExitGetServiceFailed);
    }

    const StreamHeader header = makeStreamHeader(captureFormat);
    writeAll(&header, sizeof header);
    const std::uint64_t startedAt = performanceClockNow();  // the time frame 0 stands for
    hr = audioClient->Start();
    if (FAILED(hr)) {
        report(kLine14StartFailed, hr);
        handler->Release();
        return status.failed("IAudioClient::Start", static_cast<std::uint32_t>(hr), kExitStartFailed);
    }
    report(kLine15CaptureStarted);
    status.started(stream::StreamFormat(captureFormat.nSamplesPerSec, captureFormat.nChannels), startedAt);
    status.watch(excludePid, captureOptions.extraPids, captureOptions.include);

    return runCapture(audioClient, captureClient, captureEvent, handler, startedAt, status);
}
