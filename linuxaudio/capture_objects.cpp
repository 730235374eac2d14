#include "linuxaudio/capture_objects.h"

#include <mutex>

#include "loopback/loopback_client.h"

namespace linuxaudio {

namespace {

// A server's engine delivering into the packet buffer the capture client reads.
class ServerStream {
  public:
    explicit ServerStream(std::unique_ptr<ServerEngine> engine)
        : m_buffer(100, engine->maxPacketFrames()), m_engine(std::move(engine)) {}
    HRESULT acceptInitialize() const { return S_OK; }
    HRESULT acceptService() const { return S_OK; }
    UINT32 capacityFrames() const { return m_buffer.capacityFrames(); }
    bool setEvent(HANDLE event) {
        m_buffer.setEvent(event);
        return true;
    }
    HRESULT start() { return m_engine->start(m_buffer); }
    void stop() { m_engine->stop(); }
    PacketBuffer& packets() { return m_buffer; }

  private:
    PacketBuffer m_buffer;  // outlives the engine, which writes into it
    std::unique_ptr<ServerEngine> m_engine;
};

}  // namespace

IAudioClient* createAudioClient(std::unique_ptr<ServerEngine> engine) {
    return new LoopbackClient<ServerStream, std::mutex>(ClientBook{}, std::move(engine));
}

}  // namespace linuxaudio
