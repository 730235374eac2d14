// The PipeWire engine's link decisions, without a server: which streams are judged by which pid, and
// which port pairs get linked whichever order the graph's objects arrive in.
#include <gtest/gtest.h>

#include <unistd.h>

#include <tuple>
#include <vector>

#include "pipewire/stream_graph.h"

using pipewire::ClientInfo;
using pipewire::StreamGraph;

namespace {

using Link = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t>;

struct Graph {
    std::vector<Link> links;
    StreamGraph graph;
    // Excludes this test's own process tree; pid 1 is outside it.
    Graph()
        : graph(std::make_shared<linuxaudio::ProcessTreeFilter>(
                    static_cast<DWORD>(getpid()), PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE),
                [this](std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
                    links.emplace_back(a, b, c, d);
                }) {}
    void captureNode() {
        graph.setCaptureNode(10);
        graph.addPort(11, 10, false, false, "FL");
        graph.addPort(12, 10, false, false, "FR");
    }
};

TEST(StreamGraph, JudgesNativeClientsBySecurePidAndPulseClientsByDeclaredPid) {
    const pid_t self = getpid();
    const std::string program = "stream_graph_test";
    const struct {
        ClientInfo client;
        bool kept;
    } cases[] = {
        {{"", self, 1}, false},                         // native: the socket's pid decides
        {{"", 1, self, program}, true},                 // native: a declared pid is not believed
        {{"pipewire-pulse", 1, self, program}, false},  // pulse: the socket is the pulse server's
        {{"pipewire-pulse", self, 1, program}, true},
        {{"pipewire-pulse", 1, self, "other"}, true},  // a declared pid that names another program
        {{"", 0, 0}, true},                            // unknown process: kept when excluding
    };
    for (const auto& c : cases) {
        Graph g;
        g.captureNode();
        g.graph.addClient(5, c.client);
        g.graph.addNode(20, 5, "Stream/Output/Audio");
        g.graph.addPort(21, 20, true, false, "FL");
        EXPECT_EQ(g.graph.captured(20), c.kept) << c.client.api << " " << c.client.securePid;
        EXPECT_EQ(g.links.size(), c.kept ? 1u : 0u);
    }
}

TEST(StreamGraph, LinksWhateverOrderTheObjectsArriveIn) {
    const std::vector<Link> expected = {{20, 21, 10, 11}, {20, 22, 10, 12}};
    // Client details after the stream and its ports; capture ports after everything.
    Graph late;
    late.graph.addNode(20, 5, "Stream/Output/Audio");
    late.graph.addPort(21, 20, true, false, "FL");
    late.graph.addPort(22, 20, true, false, "FR");
    late.graph.addPort(23, 20, true, true, "FL");  // a monitor port is never linked
    EXPECT_FALSE(late.graph.captured(20));
    late.graph.addClient(5, {"", 1, 0});
    EXPECT_TRUE(late.links.empty());
    late.captureNode();
    EXPECT_EQ(late.links, expected);
    // Nothing is linked twice, and a port that comes back after removal is linked again.
    late.graph.addClient(5, {"", 1, 0});
    late.graph.remove(21);
    late.graph.addPort(21, 20, true, false, "FL");
    EXPECT_EQ(late.links.size(), 3u);
    // Sinks, capture streams and other classes are not application output streams.
    late.graph.addNode(30, 5, "Audio/Sink");
    late.graph.addPort(31, 30, true, false, "FL");
    EXPECT_EQ(late.links.size(), 3u);
}

// JACK clients' nodes have no class, only an audio type, and ports that declare no channel.
TEST(StreamGraph, LinksJackClientsLikeStreamsByPortOrder) {
    const struct {
        const char* mediaClass;
        const char* mediaType;
        bool output;
    } kinds[] = {{"Stream/Output/Audio", "Audio", true},
                 {"", "Audio", true},
                 {"", "", false},
                 {"", "Video", false},
                 {"Audio/Sink", "", false},
                 {"Stream/Input/Audio", "Audio", false}};
    for (const auto& k : kinds)
        EXPECT_EQ(pipewire::isApplicationOutput(k.mediaClass, k.mediaType), k.output)
            << k.mediaClass << k.mediaType;

    for (const pid_t pid : {pid_t{1}, getpid()}) {
        Graph g;
        g.captureNode();
        g.graph.addClient(5, {"jack", pid, 0});
        g.graph.addNode(20, 5, "", "Audio");
        for (std::uint32_t index = 0; index < 3; ++index)
            g.graph.addPort(21 + index, 20, true, false, pipewire::portChannel(nullptr, index));
        const std::vector<Link> expected = {{20, 21, 10, 11}, {20, 22, 10, 12}, {20, 23, 10, 11}};
        EXPECT_EQ(g.links, pid == 1 ? expected : std::vector<Link>{}) << "pid " << pid;
    }
    EXPECT_EQ(pipewire::portChannel("FC", 1), "FC") << "a declared channel stands";
}

TEST(StreamGraph, FoldsEveryLayoutIntoStereo) {
    const struct {
        const char* channel;
        std::vector<std::string> into;
    } cases[] = {{"FL", {"FL"}}, {"FR", {"FR"}}, {"MONO", {"FL", "FR"}}, {"FC", {"FL", "FR"}}, {"RL", {"FL"}},
                 {"SR", {"FR"}}, {"LFE", {}},    {"AUX3", {"FL", "FR"}}};
    for (const auto& c : cases) EXPECT_EQ(pipewire::captureChannelsFor(c.channel), c.into) << c.channel;
}

}  // namespace

TEST(StreamGraph, AKeptStreamRunningWithoutItsLinkIsUnheard) {
    Graph g;
    g.captureNode();
    g.graph.addClient(5, ClientInfo{"", 1, 1});
    g.graph.addNode(20, 5, "Stream/Output/Audio");
    g.graph.addPort(21, 20, true, false, "FL");
    // Each step, then whether the stream plays unheard.
    const struct {
        const char* step;
        void (*apply)(StreamGraph&);
        bool unheard;
    } steps[] = {
        {"linked, not yet in the graph, idle", [](StreamGraph&) {}, false},
        {"running before the link is made", [](StreamGraph& s) { s.setRunning(20, true); }, true},
        {"the link made", [](StreamGraph& s) { s.addLink(30, 21, 11); }, false},
        {"someone else's link elsewhere", [](StreamGraph& s) { s.addLink(31, 21, 99); }, false},
        {"the link destroyed", [](StreamGraph& s) { s.remove(30); }, true},
        {"the stream pauses", [](StreamGraph& s) { s.setRunning(20, false); }, false},
        {"runs again", [](StreamGraph& s) { s.setRunning(20, true); }, true},
        {"the stream ends", [](StreamGraph& s) { s.remove(20); }, false},
    };
    for (const auto& step : steps) {
        step.apply(g.graph);
        EXPECT_EQ(g.graph.keptStreamUnheard(), step.unheard) << step.step;
    }
}
