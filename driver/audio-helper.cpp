// audio-helper: streams everything the machine plays, except one process tree, to standard output.
//
//   audio-helper <exclude_pid> [--pid N]... [--include] [--rate HZ] [--channels 1|2] [--status-fd N]
//                [--stop-on-stdin-close]
//
// Standard output: a 16-byte header, then 32-bit float frames (48 kHz stereo unless asked otherwise)
// until stopped.
// Standard error: one UTF-16 line per stage. Exit code: the stage that failed, or 0.
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

#include "options/capture_options.h"
#include "status/capture_status.h"
#include "stream/audio_ring.h"
#include "stream/performance_clock.h"
#include "stream/stream_format.h"
#include "stream/stream_header.h"
#include "stream/stream_mix.h"
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
constexpr REFERENCE_TIME kBufferDuration = stream::kBufferMilliseconds * stream::kTicksPerMillisecond;
static_assert(stream::kFlagDiscontinuity == AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY &&
                  stream::kFlagTimestampError == AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR,
              "the timeline reads the engine's own flags");
// A drain that keeps finding packets looks at the stop flag once it has run this long (one capture wait);
// silence is written once no packet has come for as long.
constexpr std::uint64_t kCaptureWaitTicks = std::uint64_t{kCaptureWaitMs} * stream::kTicksPerMillisecond;
// What a reader may fall behind by before audio is lost: the ring between capture and standard output.
constexpr std::uint64_t kRingSeconds = 2;
// With several clients, how far one that has handed out nothing (a tree that plays nothing) may hold the
// others back before the stream goes on without it: the quiet margin, as the timeline writes silence no
// closer to now either.
constexpr std::uint64_t kMixHoldTicks = stream::kQuietMarginTicks;
// At shutdown the writer has this long to hand over what the ring still holds; a reader that stopped
// reading keeps it no longer (the process's end takes the thread with it).
constexpr DWORD kWriterEndMs = 300;

// The format asked for and written, float at the rate and channels the parent chose; the
// process-loopback client converts whatever the device mixes.
WAVEFORMATEX captureFormatFor(const stream::StreamFormat& format) {
    return WAVEFORMATEX{
        WAVE_FORMAT_IEEE_FLOAT,                     // wFormatTag
        static_cast<WORD>(format.channels()),       // nChannels
        format.rate(),                              // nSamplesPerSec
        format.bytesPerSecond(),                    // nAvgBytesPerSec
        static_cast<WORD>(format.frameBytes()),     // nBlockAlign
        static_cast<WORD>(stream::kBitsPerSample),  // wBitsPerSample
        0,                                          // cbSize
    };
}

// The default format is the client's own; any other needs its converter, which shared mode adds only
// when asked.
DWORD streamFlagsFor(const stream::StreamFormat& format) {
    DWORD flags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    if (format != stream::kDefaultFormat) {
        flags |= AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
    }
    return flags;
}

// What one process-loopback client is asked for: the activation blob, the parameters for its mode and
// first tree, then any further trees as 32-bit ids (where one client takes several).
using ClientRequest = std::vector<BYTE>;

ClientRequest makeRequest(PROCESS_LOOPBACK_MODE mode, const std::vector<DWORD>& pids) {
    AUDIOCLIENT_ACTIVATION_PARAMS params = {};
    params.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.ProcessLoopbackParams.TargetProcessId = pids[0];
    params.ProcessLoopbackParams.ProcessLoopbackMode = mode;
    const auto* bytes = reinterpret_cast<const BYTE*>(&params);
    ClientRequest blob(bytes, bytes + sizeof params);
    for (std::size_t i = 1; i < pids.size(); ++i) {
        const auto* pid = reinterpret_cast<const BYTE*>(&pids[i]);
        blob.insert(blob.end(), pid, pid + sizeof(DWORD));
    }
    return blob;
}

// The clients for the trees asked for: to include several, one client each, mixed (a client captures
// only one tree where the platform's takes one, and a tree added to an include client adds its audio, so
// mixing is what one client with several would do); to leave several out, one client for all, as leaving
// them out one client each would let every tree in through another's client.
std::vector<ClientRequest> planClients(DWORD firstPid, const options::CaptureOptions& options) {
    std::vector<DWORD> pids{firstPid};
    pids.insert(pids.end(), options.extraPids.begin(), options.extraPids.end());
    if (!options.include) return {makeRequest(PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, pids)};
    std::vector<ClientRequest> requests;
    for (const DWORD pid : pids) {
        requests.push_back(makeRequest(PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, {pid}));
    }
    return requests;
}

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
    Writer(const stream::StreamFormat& format, status::CaptureStatus& s)
        : ring(kRingSeconds * format.bytesPerSecond()),
          output(format),
          frameBytes(format.frameBytes()),
          status(s) {}
    AudioRing ring;
    StreamOutput output;
    const std::uint32_t frameBytes;
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
        framesOut += bytes / frameBytes;
        if (owed == 0 && failedBytes != 0) {
            status.failedWrite(owedFrame, failedBytes / frameBytes);
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

// One capture client's packets on their way to the stream, each placed by a timeline of its own.
struct Source {
    IAudioCaptureClient* captureClient;
    stream::Timeline timeline;
    std::uint64_t lastDrain;
};

// Where sources' frames go: straight into the ring when there is one source, else into the mix. The
// status follows what the stream carries: a lone source's packets, stamps and losses as they are, or the
// mix as it leaves, stamped with the time its frames stand for (no one engine's stamp fits a mix).
struct Output {
    Writer& writer;
    StreamMix* mix;  // null: one source
    std::uint64_t startedAt;
    stream::StreamFormat format;
    std::uint64_t mixedFrames = 0;

    // A packet of source `source` (`data` null: flagged silent), stamped `stamp` (0: none to trust).
    void packet(std::size_t source, const BYTE* data, std::uint64_t frames, std::uint64_t stamp) {
        if (mix != nullptr) {
            mix->add(source, reinterpret_cast<const float*>(data), frames);
        } else {
            emit(data, frames, stamp);
        }
    }
    // Audio for the stream, or what a reader too far behind lost.
    void emit(const void* data, std::uint64_t frames, std::uint64_t stamp) {
        if (writer.ring.push(data, frames * format.frameBytes())) {
            writer.status.packet(data, frames, stamp);
        } else {
            writer.status.gap(frames, status::GapCause::StalledReader);
        }
    }
    // Zeros before a packet or for quiet time; `lost` says why they stand in for audio, if they do.
    void zeros(std::size_t source, std::uint64_t frames, const status::GapCause* lost) {
        if (mix != nullptr) {
            mix->add(source, nullptr, frames);
            return;
        }
        writer.ring.push(nullptr, frames * format.frameBytes());
        if (lost == nullptr) {
            writer.status.zeros(frames);
        } else {
            writer.status.gap(frames, *lost);
        }
    }
    // Hands the writer what is ready.
    void flush() {
        if (mix != nullptr) {
            mix->mix([this](const float* samples, std::uint64_t frames) {
                emit(samples, frames, startedAt + format.ticksFromFramesDown(mixedFrames));
                mixedFrames += frames;
            });
        }
        writer.hurry();
    }
};

// Empties the packets the engine has ready, each after the zero frames that its positions show are
// missing (time the engine said nothing about, or audio it dropped).
void drainPackets(Source& source, std::size_t index, Output& output) {
    const std::uint64_t began = performanceClockNow();
    for (;;) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 devicePosition = 0;
        UINT64 position = 0;
        const HRESULT got =
            source.captureClient->GetBuffer(&data, &frames, &flags, &devicePosition, &position);
        if (FAILED(got)) {
            output.writer.status.error("IAudioCaptureClient::GetBuffer", static_cast<std::uint32_t>(got));
            return;
        }
        const std::uint64_t zeros = source.timeline.framesBeforePacket(devicePosition, position, frames,
                                                                       flags, performanceClockNow());
        const status::GapCause cause = (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY) != 0
                                           ? status::GapCause::EngineOverflow
                                           : status::GapCause::UnflaggedLoss;
        output.zeros(index, zeros, source.timeline.lastZerosLost() ? &cause : nullptr);
        const bool stamped =
            source.timeline.trustsStamps() && (flags & AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR) == 0;
        // The engine's data is not read for a silent packet.
        output.packet(index, (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0 ? nullptr : data, frames,
                      stamped ? position : 0);
        output.flush();
        const HRESULT released = source.captureClient->ReleaseBuffer(frames);
        if (FAILED(released)) {
            output.writer.status.error("IAudioCaptureClient::ReleaseBuffer",
                                       static_cast<std::uint32_t>(released));
        }
        if (stopIsDue(began)) return;

        UINT32 nextFrames = 0;
        if (FAILED(source.captureClient->GetNextPacketSize(&nextFrames)) || nextFrames == 0) return;
    }
}

// The reference each activation handler keeps to the end of the process, as a completion may still come
// after a time-out: held here, so a leak checker sees it kept.
std::vector<ActivationHandler*>& keptHandlers() {
    static auto* kept = new std::vector<ActivationHandler*>();
    return *kept;
}

// One process-loopback client from its activation to its release.
struct Client {
    ClientRequest request;
    ActivationHandler* handler = nullptr;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    IAudioClient* audioClient = nullptr;
    IAudioCaptureClient* captureClient = nullptr;
};

// Moves packets to standard output until a stop request or a failed packet-size query, then tears the
// capture down in a fixed order. Frame 0 of the stream stands for `startedAt`.
int runCapture(std::vector<Client>& clients, HANDLE captureEvent, const stream::StreamFormat& format,
               std::uint64_t startedAt, status::CaptureStatus& status) {
    // The engine keeps only the 20 ms buffer asked for: a busy machine must not starve this thread. Best
    // effort: without the scheduler capture runs the same, at normal priority.
    DWORD taskIndex = 0;
    const HANDLE proAudio = AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
    // Made once; left to the end of the process if the writer is still held by its reader then.
    auto* writer = new Writer(format, status);
    HANDLE writerThread = CreateThread(nullptr, 0, writeStream, writer, 0, nullptr);
    writer->alone = writerThread == nullptr;
    std::vector<Source> sources;
    for (const Client& client : clients) {
        sources.push_back(Source{client.captureClient, stream::Timeline(startedAt, format), startedAt});
    }
    StreamMix mix(sources.size(), format.channels(), format.framesFromTicksDown(kMixHoldTicks));
    Output output{*writer, sources.size() > 1 ? &mix : nullptr, startedAt, format};
    bool deviceGone = false;
    for (;;) {
        if (g_stop.load()) break;
        const std::uint64_t waitBegan = performanceClockNow();
        const DWORD wait = WaitForSingleObject(captureEvent, kCaptureWaitMs);
        if (g_stop.load()) break;  // a stop request wins over a ready packet
        if (wait != WAIT_OBJECT_0 && wait != WAIT_TIMEOUT) continue;
        // A wait that overran its limit by far was the whole process stopped (a terminal's Ctrl+Z): the
        // engine captured meanwhile and may not have handed that over yet, so it is not quiet time.
        const bool overran = performanceClockNow() - waitBegan >= 2 * kCaptureWaitTicks;

        // Every client signals the one event; each is asked, each on its own timeline.
        for (std::size_t i = 0; i < sources.size() && !deviceGone; ++i) {
            Source& source = sources[i];
            // Asked after a time-out too: an engine whose stream has died may never signal again.
            UINT32 packetFrames = 0;
            const HRESULT sized = source.captureClient->GetNextPacketSize(&packetFrames);
            if (FAILED(sized)) {  // the device is gone
                status.error("IAudioCaptureClient::GetNextPacketSize", static_cast<std::uint32_t>(sized));
                deviceGone = true;
            } else if (packetFrames != 0) {
                drainPackets(source, i, output);
                // a long drain (an engine that never runs dry) is no quiet time
                source.lastDrain = performanceClockNow();
            } else if (!overran && performanceClockNow() - source.lastDrain >= kCaptureWaitTicks) {
                // No packet for a whole wait: silence up to shortly before now, so a reader sees time pass.
                // However the loop woke: an engine may signal with nothing ready, again and again.
                output.zeros(i, source.timeline.framesWhileQuiet(performanceClockNow()), nullptr);
                output.flush();
            }
        }
        if (deviceGone) break;
    }

    for (Client& client : clients) client.audioClient->Stop();
    for (Client& client : clients) client.captureClient->Release();
    for (Client& client : clients) client.audioClient->Release();
    CloseHandle(captureEvent);
    for (Client& client : clients) client.handler->Release();
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
    // A platform whose client takes one tree cannot leave several out: each client would let in the
    // trees the others leave out.
    if (!captureOptions.extraPids.empty() && !captureOptions.include && !kOneClientTakesSeveralTrees) {
        report(kBadOptionLine, L"--pid without --include: this platform can leave out only one process tree");
        return kExitBadOption;
    }
    const stream::StreamFormat format(captureOptions.rate, captureOptions.channels);
    // No validation: whatever _wtoi makes of the text is the process to leave out.
    const DWORD excludePid = static_cast<DWORD>(_wtoi(argv[1]));
    report(kLine3ExcludePid, excludePid);

    SetConsoleCtrlHandler(ConsoleHandler, TRUE);
    if (captureOptions.stopOnStdinClose) watchInputEnd(ConsoleHandler);
    // Made once and kept to the end of the process, as the exits below leave it (its threads may still
    // run then); held by a global, so a leak checker sees it kept, not lost.
    static status::CaptureStatus* kept = nullptr;
    kept = new status::CaptureStatus(captureOptions.statusFd);
    status::CaptureStatus& status = *kept;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) {
        report(kLine4CoInitFailed, hr);
        return status.failed("CoInitializeEx", static_cast<std::uint32_t>(hr), kExitComInitFailed);
    }
    report(kLine5ComReady);

    // Every client goes through each stage before the next stage begins, so each stage's line is written
    // once, and a failure of any client ends the process with that stage's line, its status and exit code
    // (what is left to the end of the process then is left for every client): a parent that asked for
    // several trees gets all of them or a failure, never a stream that silently lacks one.
    std::vector<Client> clients;
    for (ClientRequest& request : planClients(excludePid, captureOptions))
        clients.push_back(Client{std::move(request)});
    for (Client& client : clients) {
        PROPVARIANT activationProperty = {};
        activationProperty.vt = VT_BLOB;
        activationProperty.blob.cbSize = static_cast<ULONG>(client.request.size());
        activationProperty.blob.pBlobData = client.request.data();

        // Two references are the driver's: one is released on every exit from here on, the other never,
        // so a completion that arrives after a time-out still finds the handler alive.
        // A failure exit releases only that reference and the operation: the audio client, the capture
        // client, the capture event and COM are left to the end of the process, which frees them all.
        client.handler = new ActivationHandler();
        client.handler->AddRef();
        keptHandlers().push_back(client.handler);
        hr = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_IAudioClient,
                                         &activationProperty, client.handler, &client.operation);
        if (FAILED(hr)) {
            report(kLine6ActivateRequestFailed, hr);
            return status.failed("ActivateAudioInterfaceAsync", static_cast<std::uint32_t>(hr),
                                 kExitActivateRequestFailed);
        }
    }
    report(kLine7ActivationPending);

    // One time limit for all the activations together: the first waits it all, each later one what is left.
    const std::uint64_t activationBegan = performanceClockNow();
    DWORD activationLimitMs = kActivationWaitMs;
    bool activationTimedOut = false;
    for (Client& client : clients) {
        const DWORD activationWait = WaitForSingleObject(client.handler->m_event, activationLimitMs);
        if (client.operation != nullptr) client.operation->Release();
        if (activationWait != WAIT_OBJECT_0) activationTimedOut = true;
        const std::uint64_t spentMs =
            (performanceClockNow() - activationBegan) / stream::kTicksPerMillisecond;
        activationLimitMs =
            spentMs >= kActivationWaitMs ? 0 : static_cast<DWORD>(kActivationWaitMs - spentMs);
    }
    if (activationTimedOut) {
        report(kLine8ActivationTimeout);
        for (Client& client : clients) client.handler->Release();
        return status.failed("ActivateCompleted", 0x80070102u, kExitActivationTimeout);  // a wait timeout
    }
    // The first failure speaks for all; else the first client's status.
    const ActivationHandler* verdict = clients[0].handler;
    for (const Client& client : clients) {
        if (FAILED(client.handler->m_activateResult) || client.handler->m_client == nullptr) {
            verdict = client.handler;
            break;
        }
    }
    report(kLine9ActivationDone, verdict->m_activateResult);
    if (FAILED(verdict->m_activateResult) || verdict->m_client == nullptr) {
        report(kLine10ActivationFailed, verdict->m_activateResult);
        const auto result = static_cast<std::uint32_t>(verdict->m_activateResult);
        for (Client& client : clients) client.handler->Release();
        return status.failed("ActivateCompleted", result != 0 ? result : 0x80004002u, kExitActivationFailed);
    }

    const WAVEFORMATEX captureFormat = captureFormatFor(format);
    for (Client& client : clients) {
        client.audioClient = client.handler->m_client;
        hr = client.audioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlagsFor(format), kBufferDuration,
                                            0, &captureFormat, nullptr);
        if (FAILED(hr)) {
            report(kLine11InitializeFailed, hr);
            for (Client& each : clients) each.handler->Release();
            return status.failed("IAudioClient::Initialize", static_cast<std::uint32_t>(hr),
                                 kExitInitializeFailed);
        }
    }
    report(kLine12Initialized);

    HANDLE captureEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    for (Client& client : clients) {
        client.audioClient->SetEventHandle(captureEvent);
        hr = client.audioClient->GetService(IID_IAudioCaptureClient,
                                            reinterpret_cast<void**>(&client.captureClient));
        if (FAILED(hr)) {
            report(kLine13GetServiceFailed, hr);
            for (Client& each : clients) each.handler->Release();
            return status.failed("IAudioClient::GetService", static_cast<std::uint32_t>(hr),
                                 kExitGetServiceFailed);
        }
    }

    const StreamHeader header = makeStreamHeader(format);
    writeAll(&header, sizeof header);
    const std::uint64_t startedAt = performanceClockNow();  // the time frame 0 stands for
    for (Client& client : clients) {
        hr = client.audioClient->Start();
        if (FAILED(hr)) {
            report(kLine14StartFailed, hr);
            for (Client& each : clients) each.handler->Release();
            return status.failed("IAudioClient::Start", static_cast<std::uint32_t>(hr), kExitStartFailed);
        }
    }
    report(kLine15CaptureStarted);
    status.started(format, startedAt);
    status.watch(excludePid, captureOptions.extraPids, captureOptions.include);

    return runCapture(clients, captureEvent, format, startedAt, status);
}
