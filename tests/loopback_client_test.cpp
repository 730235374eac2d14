// The loopback client's contract, run alike against every engine's packets: the simulated engine and,
// on Linux, the packet buffer a server's engine fills. Also the activation request every engine reads.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "simaudio/simulated_engine.h"
#include "loopback/loopback_client.h"
#include "loopback/loopback_client_rules.h"
#ifndef _WIN32
#include "linuxaudio/capture_objects.h"
#endif

namespace {

constexpr UINT32 kFrames = 480;  // every packet the engines below make
constexpr DWORD kEventFlags = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
const WAVEFORMATEX kFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};

// Three packets ready once started, as fast as the reader takes them.
struct OnSimulatedEngine {
    OnSimulatedEngine() {
        scenario.source = simaudio::Source::Ramp;
        scenario.frames = kFrames;
        scenario.periodMs = 0;
        scenario.burst = 3;
        scenario.packets = 3;
        scenario.devicePositions = true;  // the contract tells packets apart by them
    }
    IAudioClient* create(HRESULT startStatus) {
        scenario.start = startStatus;
        return new LoopbackClient<simaudio::SimulatedEngine, std::mutex>(
            ClientBook{&clients, &captureClients}, scenario);
    }
    bool freed() const { return clients == 0 && captureClients == 0; }
    simaudio::Scenario scenario;
    std::atomic<int> clients{0};
    std::atomic<int> captureClients{0};
};

#ifndef _WIN32
// A server that delivers three packets when started.
struct OnServerEngine {
    struct Fake final : linuxaudio::ServerEngine {
        explicit Fake(OnServerEngine& server) : owner(server) {}
        ~Fake() override { owner.destroyed = true; }
        HRESULT start(linuxaudio::PacketBuffer& buffer) override {
            if (FAILED(owner.startStatus)) return owner.startStatus;
            const std::vector<float> samples(3 * kFrames * 2, 0.5f);
            buffer.append(samples.data(), 3 * kFrames, 1000000);
            return S_OK;
        }
        void stop() override {}
        OnServerEngine& owner;
    };
    IAudioClient* create(HRESULT status) {
        startStatus = status;
        return linuxaudio::createAudioClient(std::make_unique<Fake>(*this));
    }
    bool freed() const { return destroyed; }
    HRESULT startStatus = S_OK;
    bool destroyed = false;
};
#endif

template <class Engine>
class LoopbackClientContract : public ::testing::Test {
  protected:
    ~LoopbackClientContract() override {
        if (capture != nullptr) capture->Release();
        if (client != nullptr) client->Release();
        CloseHandle(event);
    }
    // Initialized, event set and started, with its capture client.
    void start(HRESULT startStatus = S_OK) {
        client = engine.create(startStatus);
        ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 0, 0, &kFormat, nullptr), S_OK);
        ASSERT_EQ(client->SetEventHandle(event), S_OK);
        ASSERT_EQ(client->GetService(IID_IAudioCaptureClient, reinterpret_cast<void**>(&capture)), S_OK);
        ASSERT_EQ(client->Start(), startStatus);
    }
    // GetBuffer's status, and the packet's device position (its identity here).
    HRESULT get(UINT64& position) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        const HRESULT status = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
        if (status == S_OK) {
            EXPECT_EQ(frames, kFrames);
        }
        return status;
    }
    Engine engine;
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    IAudioClient* client = nullptr;
    IAudioCaptureClient* capture = nullptr;
};

#ifdef _WIN32
using Engines = ::testing::Types<OnSimulatedEngine>;
#else
using Engines = ::testing::Types<OnSimulatedEngine, OnServerEngine>;
#endif
TYPED_TEST_SUITE(LoopbackClientContract, Engines);

TYPED_TEST(LoopbackClientContract, ControlCallsFollowTheStreamsState) {
    IAudioClient* c = this->client = this->engine.create(S_OK);
    HANDLE e = this->event;
    UINT32 size = 0;
    void* service = nullptr;
    const struct {
        const char* step;
        HRESULT status;
        HRESULT expected;
    } steps[] = {
        {"Start before Initialize", c->Start(), AUDCLNT_E_NOT_INITIALIZED},
        {"Stop before Initialize", c->Stop(), AUDCLNT_E_NOT_INITIALIZED},
        {"Reset before Initialize", c->Reset(), AUDCLNT_E_NOT_INITIALIZED},
        {"SetEventHandle before Initialize", c->SetEventHandle(e), AUDCLNT_E_NOT_INITIALIZED},
        {"GetService before Initialize", c->GetService(IID_IAudioCaptureClient, &service),
         AUDCLNT_E_NOT_INITIALIZED},
        {"GetBufferSize before Initialize", c->GetBufferSize(&size), AUDCLNT_E_NOT_INITIALIZED},
        {"Initialize without a format",
         c->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 0, 0, nullptr, nullptr), E_POINTER},
        {"Initialize", c->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 0, 0, &kFormat, nullptr), S_OK},
        {"Initialize again", c->Initialize(AUDCLNT_SHAREMODE_SHARED, kEventFlags, 0, 0, &kFormat, nullptr),
         AUDCLNT_E_ALREADY_INITIALIZED},
        {"Start before the event", c->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET},
        {"a null event", c->SetEventHandle(nullptr), E_INVALIDARG},
        {"SetEventHandle", c->SetEventHandle(e), S_OK},
        {"another interface", c->GetService(IID_IAudioClient, &service), E_NOINTERFACE},
        {"Stop before Start", c->Stop(), S_FALSE},
        {"Start", c->Start(), S_OK},
        {"Start while running", c->Start(), AUDCLNT_E_NOT_STOPPED},
        {"Reset while running", c->Reset(), AUDCLNT_E_NOT_STOPPED},
        {"Stop", c->Stop(), S_OK},
        {"Stop again", c->Stop(), S_FALSE},
        {"Reset", c->Reset(), S_OK},
        {"Reset again", c->Reset(), S_FALSE},
        {"Start after a stop", c->Start(), S_OK},
    };
    for (const auto& s : steps) EXPECT_EQ(s.status, s.expected) << s.step;
    EXPECT_EQ(service, nullptr);
}

TYPED_TEST(LoopbackClientContract, AFailedStartLeavesTheStreamStopped) {
    this->start(E_OUTOFMEMORY);
    EXPECT_EQ(this->client->Stop(), S_FALSE);
    EXPECT_EQ(this->client->Start(), E_OUTOFMEMORY);
}

TYPED_TEST(LoopbackClientContract, PacketsAreLentOneAtATimeAndReleasedWholeOrNotAtAll) {
    this->start();
    IAudioCaptureClient* c = this->capture;
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 position = 99;
    EXPECT_EQ(c->GetNextPacketSize(nullptr), E_POINTER);
    EXPECT_EQ(c->GetBuffer(nullptr, &frames, &flags, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(c->GetBuffer(&data, nullptr, &flags, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(c->GetBuffer(&data, &frames, nullptr, nullptr, nullptr), E_POINTER);
    EXPECT_EQ(c->ReleaseBuffer(0), S_OK) << "nothing out, nothing released";
    EXPECT_EQ(c->ReleaseBuffer(kFrames), AUDCLNT_E_OUT_OF_ORDER);
    ASSERT_EQ(c->GetNextPacketSize(&frames), S_OK);
    EXPECT_EQ(frames, kFrames);

    ASSERT_EQ(this->get(position), S_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(this->get(position), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(c->ReleaseBuffer(kFrames - 1), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(c->ReleaseBuffer(0), S_OK);
    ASSERT_EQ(this->get(position), S_OK);
    EXPECT_EQ(position, 0u) << "released with 0 frames, the packet is lent again";
    EXPECT_EQ(c->ReleaseBuffer(kFrames), S_OK);
    ASSERT_EQ(this->get(position), S_OK);
    EXPECT_EQ(position, kFrames);

    // A reset flushes what waits, but not while a packet is out.
    ASSERT_EQ(this->client->Stop(), S_OK);
    EXPECT_EQ(this->client->Reset(), AUDCLNT_E_BUFFER_OPERATION_PENDING);
    EXPECT_EQ(c->ReleaseBuffer(kFrames), S_OK);
    EXPECT_EQ(this->client->Reset(), S_OK);
    ASSERT_EQ(c->GetNextPacketSize(&frames), S_OK);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(this->get(position), AUDCLNT_S_BUFFER_EMPTY);
}

TYPED_TEST(LoopbackClientContract, TheCaptureClientKeepsItsStreamUntilItIsReleased) {
    this->start();
    EXPECT_EQ(this->client->Release(), 1u) << "the capture client holds one";
    this->client = nullptr;
    EXPECT_FALSE(this->engine.freed());
    UINT32 frames = 0;
    EXPECT_EQ(this->capture->GetNextPacketSize(&frames), S_OK);
    EXPECT_EQ(frames, kFrames);
    EXPECT_EQ(this->capture->Release(), 0u);
    this->capture = nullptr;
    EXPECT_TRUE(this->engine.freed());
}

TEST(ActivationRequest, OnlyAProcessLoopbackClientInAKnownModeIsAccepted) {
    struct Request {
        const wchar_t* path = VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK;
        IID riid = IID_IAudioClient;
        VARTYPE vt = VT_BLOB;
        ULONG size = sizeof(AUDIOCLIENT_ACTIVATION_PARAMS);
        bool data = true;
        DWORD type = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
        DWORD mode = PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    };
    const struct {
        const char* name;
        void (*change)(Request&);
        bool accepted;
    } cases[] = {
        {"excluding a tree", [](Request&) {}, true},
        {"including a tree", [](Request& r) { r.mode = PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE; },
         true},
        {"an unknown mode", [](Request& r) { r.mode = 2; }, false},
        {"the default activation", [](Request& r) { r.type = AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT; }, false},
        {"another device", [](Request& r) { r.path = L"VAD\\Other"; }, false},
        {"no device", [](Request& r) { r.path = nullptr; }, false},
        {"another interface", [](Request& r) { r.riid = IID_IAudioCaptureClient; }, false},
        {"not a blob", [](Request& r) { r.vt = VT_EMPTY; }, false},
        {"a short blob", [](Request& r) { r.size -= 1; }, false},
        // More trees after the parameters: only where one client takes several, and whole ids only.
        {"two more trees", [](Request& r) { r.size += 8; }, kOneClientTakesSeveralTrees},
        {"a ragged blob", [](Request& r) { r.size += 2; }, false},
        {"a blob without data", [](Request& r) { r.data = false; }, false},
    };
    for (const auto& c : cases) {
        Request r;
        c.change(r);
        DWORD words[5] = {r.type, 4242, r.mode, 7, 8};  // type, pid, mode, then more trees
        PROPVARIANT blob = {};
        blob.vt = r.vt;
        blob.blob.cbSize = r.size;
        blob.blob.pBlobData = r.data ? reinterpret_cast<BYTE*>(words) : nullptr;
        ProcessLoopbackRequest read;
        EXPECT_EQ(readProcessLoopbackRequest(r.path, r.riid, &blob, read), c.accepted) << c.name;
        if (c.accepted) {
            const std::vector<DWORD> all = {4242u, 7u, 8u};
            EXPECT_EQ(read.pids, std::vector<DWORD>(all.begin(), all.begin() + 1 + (r.size - 12) / 4))
                << c.name;
        }
    }
}

}  // namespace
