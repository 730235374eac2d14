#include "linuxaudio/capture_objects.h"

#include <mutex>

#include "loopback/loopback_client.h"

namespace linuxaudio {

namespace {

// A server's engine delivering into the packet buffer the capture client reads.
class ServerStream {
  public:
    explicit ServerStream(std::unique_ptr<ServerEngine> engine) : m_engine(std::move(engine)) {
        m_buffer = makeBuffer(stream::kDefaultFormat);
    }
    HRESULT acceptInitialize() const { return S_OK; }
    HRESULT acceptService() const { return S_OK; }
    // Before anything has used the buffer: its packets are sized for the format.
    void useFormat(const stream::StreamFormat& format) {
        if (format != m_buffer->format()) m_buffer = makeBuffer(format);
    }
    UINT32 capacityFrames() const { return m_buffer->capacityFrames(); }
    bool setEvent(HANDLE event) {
        m_buffer->setEvent(event);
        return true;
    }
    HRESULT start() { return m_engine->start(*m_buffer); }
    void stop() { m_engine->stop(); }
    PacketBuffer& packets() { return *m_buffer; }

  private:
    std::unique_ptr<PacketBuffer> makeBuffer(const stream::StreamFormat& format) const {
        return std::make_unique<PacketBuffer>(100, m_engine->maxPacketFrames(format), format);
    }
    // Declared in this order so the engine, which writes into the buffer, is destroyed first.
    std::unique_ptr<PacketBuffer> m_buffer;
    std::unique_ptr<ServerEngine> m_engine;
};

}  // namespace

IAudioClient* createAudioClient(std::unique_ptr<ServerEngine> engine) {
    return new LoopbackClient<ServerStream, std::mutex>(ClientBook{}, std::move(engine));
}

}  // namespace linuxaudio
