// The PipeWire engine's view of the graph: which clients, application output streams and ports exist, which
// streams the process-tree rule keeps, and which port pairs must be linked into the capture node.
// Kept apart from libpipewire so the decisions can be tested without a server.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "linuxaudio/process_tree.h"
#include "linuxaudio/stream_verdicts.h"

namespace pipewire {

// The capture node's channels that a stream's channel is mixed into (FL, FR or both; none for LFE).
std::vector<std::string> captureChannelsFor(const std::string& streamChannel);

// Whether a node is an application's audio output: a playback stream, or a node of no class that carries
// audio (a JACK client's), whose output ports are what it plays.
bool isApplicationOutput(const std::string& mediaClass, const std::string& mediaType);

// A port's channel as it declares it; a port that declares none (a JACK port) by its index among its node's
// ports of its direction: even ones left, odd ones right, the order in which JACK clients meet playback
// ports.
std::string portChannel(const char* declared, std::uint32_t portIndex);

struct ClientInfo {
    // Built as {api, securePid, declaredPid} where the program and sandbox do not matter.
    ClientInfo(std::string api_ = "", pid_t securePid_ = 0, pid_t declaredPid_ = 0, std::string binary_ = "",
               std::string sandboxAppId_ = "")
        : api(std::move(api_)),
          securePid(securePid_),
          declaredPid(declaredPid_),
          binary(std::move(binary_)),
          sandboxAppId(std::move(sandboxAppId_)) {}
    std::string api;     // client.api: "pipewire-pulse" for the PulseAudio compatibility server's clients
    pid_t securePid;     // pipewire.sec.pid, from the socket's credentials
    pid_t declaredPid;   // application.process.id, as the client says
    std::string binary;  // application.process.binary
    std::string sandboxAppId;  // pipewire.access.portal.app_id: the server found the client sandboxed
};

// What the process-tree rule judges: the server-verified pid for native clients; for clients of the
// PulseAudio compatibility server (whose socket is that server's) the one the application declared.
linuxaudio::StreamClient streamClient(const ClientInfo& client);

class StreamGraph {
  public:
    using LinkRequest = std::function<void(std::uint32_t outputNode, std::uint32_t outputPort,
                                           std::uint32_t inputNode, std::uint32_t inputPort)>;
    StreamGraph(std::shared_ptr<linuxaudio::ProcessTreeFilter> filter, LinkRequest link);

    void setCaptureNode(std::uint32_t node);
    void addClient(std::uint32_t id, const ClientInfo& info);  // also an update
    void addNode(std::uint32_t id, std::uint32_t client, const std::string& mediaClass,
                 const std::string& mediaType = "");
    void addPort(std::uint32_t id, std::uint32_t node, bool output, bool monitor, const std::string& channel);
    // A link the server holds (anyone's), and whether an application output node is running.
    void addLink(std::uint32_t id, std::uint32_t outputPort, std::uint32_t inputPort);
    void setRunning(std::uint32_t node, bool running);
    void remove(std::uint32_t id);

    // Whether a kept stream runs while a link asked for it into the capture is not in the graph (it
    // failed, or another client destroyed it): audio plays that the capture should hear and does not.
    bool keptStreamUnheard() const;

    // Whether the stream node is captured (false while its client is not known yet).
    bool captured(std::uint32_t node) const { return m_kept.count(node) != 0; }

  private:
    struct Port {
        std::uint32_t node;
        bool output;
        std::string channel;
    };
    void decide(std::uint32_t node);
    void linkPort(std::uint32_t portId, const Port& port);
    void linkAll();

    std::shared_ptr<linuxaudio::ProcessTreeFilter> m_filter;
    linuxaudio::StreamVerdicts m_verdicts{*m_filter};
    LinkRequest m_link;
    std::uint32_t m_captureNode = UINT32_MAX;
    std::map<std::uint32_t, ClientInfo> m_clients;
    std::map<std::uint32_t, std::uint32_t> m_streamClient;  // application output stream -> its client
    std::map<std::uint32_t, Port> m_ports;
    std::set<std::uint32_t> m_kept;
    std::set<std::pair<std::uint32_t, std::uint32_t>> m_linked;  // (output port, input port) asked for
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> m_links;  // the server's, by id
    std::set<std::uint32_t> m_running;
};

}  // namespace pipewire
