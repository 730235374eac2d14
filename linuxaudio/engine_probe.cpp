// engine-probe: a Linux engine on its own, for measurements and for the real-server tests of the options
// the engines take (several trees, include mode, rate and channels). It activates a process-loopback client
// as the program does, with every --pid in the request and the format of --rate and --channels, and writes
// the stream header, then each packet's frames as they come (silent ones as zeros), to standard output
// until a stop signal. No timeline: what it writes is exactly what the engine delivered. Its standard
// error says "[helper] Rogzites elindult, fejlec elkuldve." once the header is out, as the program does.
//
//   engine-probe PID [--pid N]... [--include] [--rate HZ] [--channels 1|2]
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "options/capture_options.h"
#include "stream/stream_format.h"
#include "stream/stream_header.h"
#include "winaudio/activation_handler.h"
#include "winaudio/windows_audio.h"

namespace {

std::atomic<bool> g_stop{false};

BOOL WINAPI onControl(DWORD) {
    g_stop.store(true);
    return TRUE;
}

bool writeOut(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = write(STDOUT_FILENO, bytes, size);
        if (done <= 0) return false;
        bytes += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

int fail(const wchar_t* what, HRESULT status) {
    fwprintf(stderr, L"engine-probe: %ls failed: 0x%08x\n", what, static_cast<unsigned>(status));
    fflush(stderr);
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    _setmode(_fileno(stderr), _O_U16TEXT);
    options::CaptureOptions captureOptions;
    std::wstring error;
    if (argc < 2 || !options::parseCaptureOptions(argc, argv, captureOptions, error)) {
        fwprintf(stderr, L"engine-probe: %ls\n",
                 argc < 2 ? L"usage: engine-probe PID [options]" : error.c_str());
        return 2;
    }
    SetConsoleCtrlHandler(onControl, TRUE);
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;

    // The parameters, then the extra trees, as one blob.
    std::vector<DWORD> blob{AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK, static_cast<DWORD>(_wtoi(argv[1])),
                            captureOptions.include ? PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE
                                                   : PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE};
    for (const std::uint32_t pid : captureOptions.extraPids) blob.push_back(pid);
    PROPVARIANT property{};
    property.vt = VT_BLOB;
    property.blob.cbSize = static_cast<ULONG>(blob.size() * sizeof(DWORD));
    property.blob.pBlobData = reinterpret_cast<BYTE*>(blob.data());

    auto* handler = new ActivationHandler();
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    HRESULT status = ActivateAudioInterfaceAsync(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, IID_IAudioClient,
                                                 &property, handler, &operation);
    if (FAILED(status)) return fail(L"ActivateAudioInterfaceAsync", status);
    if (WaitForSingleObject(handler->m_event, 5000) != WAIT_OBJECT_0) return fail(L"activation wait", E_FAIL);
    if (operation != nullptr) operation->Release();
    if (FAILED(handler->m_activateResult) || handler->m_client == nullptr)
        return fail(L"activation", handler->m_activateResult);
    IAudioClient* client = handler->m_client;

    const stream::StreamFormat format(captureOptions.rate, captureOptions.channels);
    WAVEFORMATEX wave{};
    wave.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    wave.nChannels = static_cast<WORD>(format.channels());
    wave.nSamplesPerSec = format.rate();
    wave.nAvgBytesPerSec = format.bytesPerSecond();
    wave.nBlockAlign = static_cast<WORD>(format.frameBytes());
    wave.wBitsPerSample = static_cast<WORD>(stream::kBitsPerSample);
    status = client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 200000, 0,
                                &wave, nullptr);
    if (FAILED(status)) return fail(L"Initialize", status);
    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    client->SetEventHandle(ready);
    IAudioCaptureClient* capture = nullptr;
    status = client->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(&capture));
    if (FAILED(status)) return fail(L"GetService", status);
    const StreamHeader header = makeStreamHeader(wave);
    writeOut(&header, sizeof header);
    status = client->Start();
    if (FAILED(status)) return fail(L"Start", status);
    fwprintf(stderr, L"[helper] Rogzites elindult, fejlec elkuldve.\n");
    fflush(stderr);

    std::vector<char> zeros;
    bool writing = true;
    while (!g_stop.load() && writing) {
        WaitForSingleObject(ready, 500);
        UINT32 frames = 0;
        if (FAILED(capture->GetNextPacketSize(&frames))) break;
        while (frames > 0 && writing) {
            BYTE* data = nullptr;
            DWORD flags = 0;
            if (FAILED(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) break;
            const std::size_t bytes = std::size_t{frames} * format.frameBytes();
            if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
                zeros.assign(bytes, 0);
                data = reinterpret_cast<BYTE*>(zeros.data());
            }
            writing = writeOut(data, bytes);
            capture->ReleaseBuffer(frames);
            if (FAILED(capture->GetNextPacketSize(&frames))) break;
        }
    }
    client->Stop();
    capture->Release();
    client->Release();
    return 0;
}
