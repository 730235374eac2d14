#include "pipewire/stream_graph.h"

namespace pipewire {

std::vector<std::string> captureChannelsFor(const std::string& channel) {
    if (channel == "FL" || channel == "FR") return {channel};
    if (channel == "LFE" || channel == "LFE2") return {};
    // Left-side channels to the left, right-side to the right, centre and mono to both.
    static const char* const left[] = {"RL", "SL", "FLC", "RLC", "TFL", "TRL", "FLW", "FLH", "TSL"};
    static const char* const right[] = {"RR", "SR", "FRC", "RRC", "TFR", "TRR", "FRW", "FRH", "TSR"};
    for (const char* name : left) {
        if (channel == name) return {"FL"};
    }
    for (const char* name : right) {
        if (channel == name) return {"FR"};
    }
    return {"FL", "FR"};
}

bool isApplicationOutput(const std::string& mediaClass, const std::string& mediaType) {
    return mediaClass == "Stream/Output/Audio" || (mediaClass.empty() && mediaType == "Audio");
}

std::string portChannel(const char* declared, std::uint32_t portIndex) {
    if (declared != nullptr) return declared;
    return portIndex % 2 == 0 ? "FL" : "FR";
}

linuxaudio::StreamClient streamClient(const ClientInfo& client) {
    if (client.api != "pipewire-pulse") return {client.securePid, true, client.binary, {}};
    return {client.declaredPid, false, client.binary, client.sandboxAppId};
}

StreamGraph::StreamGraph(std::shared_ptr<linuxaudio::ProcessTreeFilter> filter, LinkRequest link)
    : m_filter(std::move(filter)), m_link(std::move(link)) {}

void StreamGraph::setCaptureNode(std::uint32_t node) {
    m_captureNode = node;
    linkAll();
}

void StreamGraph::addClient(std::uint32_t id, const ClientInfo& info) {
    m_clients[id] = info;
    for (const auto& [node, client] : m_streamClient) {
        if (client == id) decide(node);
    }
}

void StreamGraph::addNode(std::uint32_t id, std::uint32_t client, const std::string& mediaClass,
                          const std::string& mediaType) {
    if (!isApplicationOutput(mediaClass, mediaType)) return;
    m_streamClient[id] = client;
    decide(id);
}

void StreamGraph::addPort(std::uint32_t id, std::uint32_t node, bool output, bool monitor,
                          const std::string& channel) {
    if (monitor) return;
    const Port& port = m_ports[id] = Port{node, output, channel};
    linkPort(id, port);
}

void StreamGraph::addLink(std::uint32_t id, std::uint32_t outputPort, std::uint32_t inputPort) {
    m_links[id] = {outputPort, inputPort};
}

void StreamGraph::setRunning(std::uint32_t node, bool running) {
    if (running) {
        m_running.insert(node);
    } else {
        m_running.erase(node);
    }
}

bool StreamGraph::keptStreamUnheard() const {
    std::set<std::pair<std::uint32_t, std::uint32_t>> present;
    for (const auto& [id, ports] : m_links) present.insert(ports);
    for (const auto& pair : m_linked) {
        const auto port = m_ports.find(pair.first);
        if (port == m_ports.end() || m_running.count(port->second.node) == 0) continue;
        if (m_kept.count(port->second.node) != 0 && present.count(pair) == 0) return true;
    }
    return false;
}

void StreamGraph::remove(std::uint32_t id) {
    m_links.erase(id);
    m_running.erase(id);
    m_clients.erase(id);
    m_streamClient.erase(id);
    m_kept.erase(id);
    m_verdicts.forget(id);
    m_ports.erase(id);
    for (auto link = m_linked.begin(); link != m_linked.end();) {
        link = link->first == id || link->second == id ? m_linked.erase(link) : std::next(link);
    }
    if (id == m_captureNode) m_captureNode = UINT32_MAX;
}

void StreamGraph::decide(std::uint32_t node) {
    const auto client = m_clients.find(m_streamClient[node]);
    if (client == m_clients.end()) return;  // decided when the client's details arrive
    if (m_kept.count(node) != 0) return;
    if (!m_verdicts.keeps(node, streamClient(client->second))) return;
    m_kept.insert(node);
    for (const auto& [id, port] : m_ports) {
        if (port.node == node) linkPort(id, port);
    }
}

void StreamGraph::linkPort(std::uint32_t portId, const Port& port) {
    if (m_captureNode == UINT32_MAX) return;
    if (port.output && m_kept.count(port.node) != 0) {
        // An application's output port: to each capture input of its channels.
        for (const std::string& channel : captureChannelsFor(port.channel)) {
            for (const auto& [inputId, input] : m_ports) {
                if (input.node != m_captureNode || input.output || input.channel != channel) continue;
                if (m_linked.insert({portId, inputId}).second)
                    m_link(port.node, portId, m_captureNode, inputId);
            }
        }
    } else if (!port.output && port.node == m_captureNode) {
        // A capture input appeared after the streams: link every kept stream's ports to it.
        for (const auto& [outputId, output] : m_ports) {
            if (!output.output || m_kept.count(output.node) == 0) continue;
            for (const std::string& channel : captureChannelsFor(output.channel)) {
                if (channel == port.channel && m_linked.insert({outputId, portId}).second) {
                    m_link(output.node, outputId, m_captureNode, portId);
                }
            }
        }
    }
}

void StreamGraph::linkAll() {
    for (const auto& [id, port] : m_ports) linkPort(id, port);
}

}  // namespace pipewire
