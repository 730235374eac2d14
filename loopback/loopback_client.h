// The process-loopback audio client and its capture client, written once for every engine that stands in
// for Windows' own: the state rules of IAudioClient (Initialize, Start, Stop, Reset, the event) and the
// order in which IAudioCaptureClient hands packets out. An engine supplies only its packets and events, so
// a program that breaks a rule fails on every engine alike, and as it would on Windows.
#pragma once

#include <atomic>
#include <mutex>
#include <type_traits>
#include <utility>

#include "loopback/loopback_client_rules.h"
#include "loopback/loopback_audio_client.h"
#include "stream/stream_format.h"

// The packet a stream lends out from GetBuffer.
struct CapturedPacket {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 devicePosition = 0;
    UINT64 qpcPosition = 0;
};

// IAudioCaptureClient's rules over a stream's packets: one packet out at a time, released whole or not at
// all, the arguments checked before the stream is asked. `Stream` derives from it and supplies, each
// under its own lock:
//   HRESULT packetReady(UINT32& frames)       the next packet's size (left 0: none), or why there is none
//   HRESULT takePacket(CapturedPacket& out)   the oldest packet, lent until returnPacket; S_OK,
//                                             AUDCLNT_S_BUFFER_EMPTY or the stream's failure
//   void returnPacket(bool consumed)          the packet lent comes back: gone when consumed, else lent
//                                             again by the next takePacket
//   void clear()                              forgets every packet waiting (none is out)
template <class Stream, class Mutex>
class PacketHandOut {
  public:
    HRESULT nextPacketSize(UINT32* frames) {
        if (frames == nullptr) return E_POINTER;
        *frames = 0;
        return stream().packetReady(*frames);
    }
    HRESULT getBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition = nullptr,
                      UINT64* qpcPosition = nullptr) {
        if (data == nullptr || frames == nullptr || flags == nullptr) return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        std::lock_guard<Mutex> lock(m_handOut);
        if (m_out) return AUDCLNT_E_OUT_OF_ORDER;
        CapturedPacket packet;
        const HRESULT status = stream().takePacket(packet);
        if (status != S_OK) return status;
        *data = packet.data;
        *frames = packet.frames;
        *flags = packet.flags;
        if (devicePosition != nullptr) *devicePosition = packet.devicePosition;
        if (qpcPosition != nullptr) *qpcPosition = packet.qpcPosition;
        m_out = true;
        m_outFrames = packet.frames;
        return S_OK;
    }
    // Releasing 0 frames keeps the packet for the next GetBuffer; any other count but the packet's is an
    // error, as Windows answers it.
    HRESULT releaseBuffer(UINT32 frames) {
        std::lock_guard<Mutex> lock(m_handOut);
        if (!m_out) return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
        if (frames != 0 && frames != m_outFrames) return AUDCLNT_E_INVALID_SIZE;
        m_out = false;
        stream().returnPacket(frames == m_outFrames);
        return S_OK;
    }
    // IAudioClient::Reset's part: the waiting packets go, but not while one is out with the program.
    HRESULT flush() {
        std::lock_guard<Mutex> lock(m_handOut);
        if (m_out) return AUDCLNT_E_BUFFER_OPERATION_PENDING;
        stream().clear();
        return S_OK;
    }

  private:
    Stream& stream() { return static_cast<Stream&>(*this); }
    Mutex m_handOut;
    bool m_out = false;
    UINT32 m_outFrames = 0;
};

// What a platform keeps about the objects it hands out: counts of the live ones (for tests that check
// nothing leaks) and a note of every Release the program makes; any of them may be left out.
struct ClientBook {
    std::atomic<int>* clients = nullptr;
    std::atomic<int>* captureClients = nullptr;
    std::atomic<int>* operations = nullptr;
    void (*noteRelease)(const char* object, ULONG refs) = nullptr;
};

// The operation ActivateAudioInterfaceAsync hands out: the activation's result, set once before the
// completion handler is told, holding a reference to the object activated.
class ActivationOperation final : public RefCounted<IActivateAudioInterfaceAsyncOperation> {
  public:
    explicit ActivationOperation(const ClientBook& book)
        : RefCounted(book.operations), m_noteRelease(book.noteRelease) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IActivateAudioInterfaceAsyncOperation, object);
    }
    HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* status, IUnknown** activated) override {
        if (status == nullptr || activated == nullptr) return E_POINTER;
        *status = m_status;
        *activated = m_activated;
        if (m_activated != nullptr) m_activated->AddRef();
        return S_OK;
    }
    void complete(HRESULT status, IUnknown* activated) {
        m_status = status;
        m_activated = activated;
    }
    ULONG STDMETHODCALLTYPE Release() override { return releaseNoted(m_noteRelease, "operation"); }

  private:
    void destroy() override {
        if (m_activated != nullptr) m_activated->Release();
        delete this;
    }
    void (*const m_noteRelease)(const char* object, ULONG refs);
    HRESULT m_status = E_FAIL;
    IUnknown* m_activated = nullptr;
};

template <class Stream, class Mutex>
class LoopbackClient;

// The capture client: the stream's packets, behind a reference to the audio client that owns them.
template <class Stream, class Mutex>
class LoopbackCaptureClient final : public RefCounted<IAudioCaptureClient> {
  public:
    using Owner = LoopbackClient<Stream, Mutex>;
    explicit LoopbackCaptureClient(Owner* owner) : RefCounted(owner->m_book.captureClients), m_owner(owner) {
        m_owner->AddRef();
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioCaptureClient, object);
    }
    HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* devicePosition,
                                        UINT64* qpcPosition) override {
        return m_owner->packets().getBuffer(data, frames, flags, devicePosition, qpcPosition);
    }
    HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
        return m_owner->packets().releaseBuffer(frames);
    }
    HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
        return m_owner->packets().nextPacketSize(frames);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        return releaseNoted(m_owner->m_book.noteRelease, "capture");
    }

  private:
    void destroy() override {
        Owner* owner = m_owner;
        owner->forgetCaptureClient(this);
        delete this;
        owner->releaseOwn();
    }
    Owner* const m_owner;  // one reference, so the stream outlives the capture client
};

// The audio client over one `Stream`, which supplies, besides its PacketHandOut (packets()):
//   HRESULT acceptInitialize()  the engine's own refusal of Initialize, before the format is checked
//                               (S_OK: none)
//   HRESULT acceptService()     the engine's own refusal of GetService (S_OK: none)
//   UINT32 capacityFrames()     the buffer's size
//   bool setEvent(HANDLE)       keeps the event to signal when packets are ready (false: not usable)
//   HRESULT start(), stop()     delivery of packets begins (or fails) and ends
//   void useFormat(StreamFormat) the format Initialize accepted, delivered from then on
template <class Stream, class Mutex>
class LoopbackClient : public LoopbackAudioClient {
  public:
    template <class... Args>
    explicit LoopbackClient(const ClientBook& book, Args&&... streamArgs)
        : LoopbackAudioClient(book.clients), m_book(book), m_stream(std::forward<Args>(streamArgs)...) {}
    ~LoopbackClient() override {
        if (m_running) m_stream.stop();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        return queryFor(riid, IID_IAudioClient, object);
    }
    HRESULT STDMETHODCALLTYPE Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME,
                                         REFERENCE_TIME, const WAVEFORMATEX* format, LPCGUID) override {
        std::lock_guard<Mutex> lock(m_state);
        if (m_initialized) return AUDCLNT_E_ALREADY_INITIALIZED;
        if (format == nullptr) return E_POINTER;
        HRESULT status = m_stream.acceptInitialize();
        if (SUCCEEDED(status)) status = checkLoopbackInitialize(shareMode, streamFlags, *format);
        if (FAILED(status)) return status;
        m_stream.useFormat(stream::StreamFormat(format->nSamplesPerSec, format->nChannels));
        m_eventDriven = wantsPacketEvents(streamFlags);
        m_initialized = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetBufferSize(UINT32* frames) override {
        if (frames == nullptr) return E_POINTER;
        *frames = m_stream.capacityFrames();
        return m_initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    HRESULT STDMETHODCALLTYPE Start() override {
        std::lock_guard<Mutex> lock(m_state);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (m_running) return AUDCLNT_E_NOT_STOPPED;
        if (m_eventDriven && !m_eventSet) return AUDCLNT_E_EVENTHANDLE_NOT_SET;
        const HRESULT status = m_stream.start();
        if (FAILED(status)) return status;
        m_running = true;
        m_reset = false;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override {
        std::lock_guard<Mutex> lock(m_state);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (!m_running) return S_FALSE;
        m_stream.stop();
        m_running = false;
        return S_OK;
    }
    // Flushes what waits; positions keep counting (a program that resets expects no packet from before).
    HRESULT STDMETHODCALLTYPE Reset() override {
        std::lock_guard<Mutex> lock(m_state);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (m_running) return AUDCLNT_E_NOT_STOPPED;
        if (m_reset) return S_FALSE;
        const HRESULT status = packets().flush();
        if (FAILED(status)) return status;
        m_reset = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetEventHandle(HANDLE event) override {
        std::lock_guard<Mutex> lock(m_state);
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        if (event == nullptr || event == INVALID_HANDLE_VALUE) return E_INVALIDARG;
        // The stream keeps its own reference to the event, as Windows duplicates the handle.
        if (!m_stream.setEvent(event)) return E_INVALIDARG;
        m_eventSet = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetService(REFIID riid, void** service) override {
        if (service == nullptr) return E_POINTER;
        *service = nullptr;
        if (!m_initialized) return AUDCLNT_E_NOT_INITIALIZED;
        const HRESULT status = m_stream.acceptService();
        if (FAILED(status)) return status;
        if (!IsEqualIID(riid, IID_IAudioCaptureClient)) return E_NOINTERFACE;
        auto* client = new LoopbackCaptureClient<Stream, Mutex>(this);
        m_captureClient = client;
        *service = static_cast<IAudioCaptureClient*>(client);
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE Release() override { return releaseNoted(m_book.noteRelease, "client"); }

  protected:
    // For an engine's client that tells its stream more than the shared rules do.
    Stream& stream() { return m_stream; }

  private:
    friend class LoopbackCaptureClient<Stream, Mutex>;
    using Packets = std::remove_reference_t<decltype(std::declval<Stream&>().packets())>;
    Packets& packets() { return m_stream.packets(); }
    // The capture client's own reference to this one, not the program's: not noted.
    void releaseOwn() { RefCounted::Release(); }
    void forgetCaptureClient(const void* client) {
        if (m_captureClient == client) m_captureClient = nullptr;
    }

    const ClientBook m_book;
    Stream m_stream;
    Mutex m_state;
    // The platform knows the service it handed out: one a program leaves to process exit (after a failed
    // Start) is still held, not lost.
    const void* m_captureClient = nullptr;
    bool m_initialized = false;
    bool m_eventDriven = false;
    bool m_eventSet = false;
    bool m_running = false;
    bool m_reset = false;  // nothing arrived since the last Reset
};
