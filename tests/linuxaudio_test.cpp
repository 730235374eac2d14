// The Linux engines' shared parts: the process-tree rule over a made-up /proc, and the packet buffer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linuxaudio/packet_buffer.h"
#include "linuxaudio/process_tree.h"
#include "linuxaudio/stream_verdicts.h"

namespace fs = std::filesystem;
constexpr UINT32 kPacketFrames = 480;  // 10 ms at 48 kHz, the default format
using linuxaudio::PacketBuffer;
using linuxaudio::ProcessTreeFilter;
using linuxaudio::StreamClient;
using linuxaudio::StreamVerdicts;

namespace {

// A /proc with stat files that say only what the rule reads: parent and start time.
class FakeProc {
  public:
    FakeProc() : m_root(fs::temp_directory_path() / ("fakeproc." + std::to_string(getpid()))) {
        fs::remove_all(m_root);
        fs::create_directories(m_root);
    }
    ~FakeProc() { fs::remove_all(m_root); }
    void add(int pid, int parent, unsigned long long start = 100) {
        fs::create_directories(m_root / std::to_string(pid));
        std::ofstream(m_root / std::to_string(pid) / "stat")
            << pid << " (odd) name) S " << parent << " 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " << start
            << " 1000 10\n";
    }
    void remove(int pid) { fs::remove_all(m_root / std::to_string(pid)); }
    // The program `pid` runs ("" for one whose program cannot be read); its command name is cut from it.
    void program(const std::string& pid, const std::string& exe, const std::string& comm) {
        fs::create_directories(m_root / pid);
        fs::remove(m_root / pid / "exe");
        if (!exe.empty()) fs::create_symlink(exe, m_root / pid / "exe");
        std::ofstream(m_root / pid / "comm") << comm << "\n";
    }
    // Puts `pid` in PID namespace `ns` ("self" is the reader's own) and, with `local`, in a Flatpak sandbox
    // of `app` where its pid is `local`.
    void sandbox(const std::string& pid, const std::string& ns, int local = 0, const std::string& app = "") {
        fs::create_directories(m_root / pid / "ns");
        fs::remove(m_root / pid / "ns" / "pid");
        fs::create_symlink(ns, m_root / pid / "ns" / "pid");
        if (local == 0) return;
        std::ofstream(m_root / pid / "status")
            << "Name:\tx\nNSpid:\t" << pid << "\t" << local << "\nNSsid:\t1\n";
        fs::create_directories(m_root / pid / "root");
        std::ofstream(m_root / pid / "root" / ".flatpak-info")
            << "[Application]\nname=" << app << "\nruntime=r\n";
    }
    std::string root() const { return m_root.string(); }

  private:
    fs::path m_root;
};

TEST(ProcessTree, DecidesMembershipFromParentChains) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1);    // target
    proc.add(101, 100);  // child
    proc.add(102, 101);  // grandchild
    proc.add(200, 1);    // unrelated
    ProcessTreeFilter exclude(100, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    ProcessTreeFilter include(100, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, proc.root());
    const struct {
        int pid;
        bool member;
    } cases[] = {{100, true}, {101, true}, {102, true}, {200, false}, {1, false}, {0, false}, {-1, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(exclude.inTree(c.pid), c.member) << c.pid;
        if (c.pid > 0) {
            EXPECT_EQ(exclude.keeps({c.pid, true, "", ""}), !c.member) << c.pid;
            EXPECT_EQ(include.keeps({c.pid, true, "", ""}), c.member) << c.pid;
        }
    }
    // A stream without a known process is kept when excluding, left out when including.
    EXPECT_TRUE(exclude.keeps({}));
    EXPECT_FALSE(include.keeps({}));
}

TEST(ProcessTree, SeveralTargetsEachRootATreeUnderTheSameChecks) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1, 100);  // first target
    proc.add(101, 100, 110);
    proc.add(300, 1, 300);  // second target
    proc.add(301, 300, 310);
    proc.add(400, 1, 400);  // third target: its pid is handed to another process after activation
    proc.add(200, 1);       // in no tree
    // 999 names no process, 0 is what a non-number gives: both add nothing.
    const std::vector<DWORD> targets{999, 100, 0, 300, 400};
    ProcessTreeFilter exclude(targets, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    ProcessTreeFilter include(targets, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, proc.root());
    proc.remove(400);
    proc.add(400, 1, 900);
    proc.add(302, 301, 320);  // started later, below the second tree
    proc.add(401, 400, 910);  // the reused pid's child
    exclude.refresh();
    include.refresh();
    const struct {
        int pid;
        bool member;
    } cases[] = {{100, true},  {101, true},  {300, true},  {301, true},  {302, true},
                 {400, false}, {401, false}, {200, false}, {999, false}, {1, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(exclude.keeps({c.pid, true, "", ""}), !c.member) << c.pid;
        EXPECT_EQ(include.keeps({c.pid, true, "", ""}), c.member) << c.pid;
    }
    EXPECT_TRUE(exclude.keeps({}));
    EXPECT_FALSE(include.keeps({}));
    // No live target at all: nothing is included, everything is kept when excluding.
    ProcessTreeFilter none(std::vector<DWORD>{0, 999}, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE,
                           proc.root());
    EXPECT_FALSE(none.keeps({100, true, "", ""}));
}

TEST(ProcessTree, TargetThatIsNotALiveProcessHasAnEmptyTree) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(2, 0);
    proc.add(100, 1);
    proc.add(101, 100);
    // 0 is also what a command line that is not a number gives.
    for (const DWORD target : {0u, 999u, 4294967295u}) {
        ProcessTreeFilter exclude(target, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
        ProcessTreeFilter include(target, PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE, proc.root());
        proc.add(102, 0, 500);  // started later, parent 0 like the kernel's own threads
        exclude.refresh();
        for (const int pid : {1, 2, 100, 101, 102, 999}) {
            EXPECT_TRUE(exclude.keeps({pid, true, "", ""})) << target << " " << pid;
            EXPECT_FALSE(include.keeps({pid, true, "", ""})) << target << " " << pid;
        }
        proc.remove(102);
    }
}

TEST(ProcessTree, ReusedPidsAreNotTheProcessesTheyNamedBefore) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1, 100);  // target
    proc.add(101, 100, 110);
    ProcessTreeFilter filter(100, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    // The target exits and an unrelated player gets its pid, and starts a child of its own.
    proc.remove(100);
    proc.add(100, 1, 500);
    proc.add(102, 100, 510);
    // A member exits and an unrelated shell gets its pid; the shell's child plays.
    proc.remove(101);
    proc.add(101, 1, 600);
    proc.add(103, 101, 610);
    filter.refresh();
    for (const int pid : {100, 101, 102, 103}) EXPECT_FALSE(filter.inTree(pid)) << pid;
    // Seen only by the look a stream's arrival makes, the same.
    proc.add(104, 101, 620);
    EXPECT_FALSE(filter.inTree(104));
}

TEST(ProcessTree, ParsesOnlyWholePositivePids) {
    const struct {
        const char* text;
        pid_t pid;
    } cases[] = {{"12", 12}, {"4194304", 4194304}, {"12x", 0},    {"x12", 0},
                 {" 12", 0}, {"+12", 0},           {"-12", 0},    {"0", 0},
                 {"", 0},    {"99999999999", 0},   {"4194305", 0}};
    for (const auto& c : cases) EXPECT_EQ(linuxaudio::parsePid(c.text), c.pid) << c.text;
    EXPECT_EQ(linuxaudio::parsePid(nullptr), 0);
}

TEST(ProcessTree, APidTheClientSetCountsOnlyWhenItNamesTheClientsProcess) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1);  // target
    proc.add(101, 100);
    proc.add(102, 100);
    proc.add(200, 1);
    proc.program("101", "/usr/bin/player", "player");
    proc.program("102", "", "a-very-long-pla");  // another user's: only the command name is readable
    proc.program("103", "/usr/lib/old/player (deleted)", "player");
    proc.add(103, 100);
    proc.program("200", "/usr/bin/player", "player");
    // A sandbox of org.app: one instance under a member, where 300 is local pid 2; another instance,
    // not in the tree, where 320 is local pid 2 too; the test's own namespace is pid:[1].
    proc.sandbox("self", "pid:[1]");
    proc.add(300, 101);
    proc.program("300", "/app/bin/player", "player");
    proc.sandbox("300", "pid:[7]", 2, "org.app");
    proc.add(320, 1);
    proc.program("320", "/app/bin/other", "other");
    proc.sandbox("320", "pid:[8]", 2, "org.app");
    ProcessTreeFilter filter(100, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    const struct {
        StreamClient client;
        bool kept;
    } cases[] = {
        {{101, false, "player", ""}, false},              // the member's own program
        {{101, false, "other", ""}, true},                // a namespace-local pid that collides
        {{101, false, "", ""}, true},                     // nothing to check it by
        {{101, true, "", ""}, false},                     // the server read it from the socket
        {{102, false, "a-very-long-player", ""}, false},  // by command name
        {{102, false, "a-very-long-plan", ""}, false},    // the same 15 bytes: cannot tell
        {{102, false, "a-very-long-pl", ""}, true},
        {{103, false, "player", ""}, false},        // replaced on disk since it started
        {{200, false, "player", ""}, true},         // not in the tree
        {{777, false, "player", ""}, true},         // no such process
        {{2, false, "player", "org.app"}, false},   // sandboxed, under a member
        {{2, false, "other", "org.app"}, true},     // the other instance
        {{2, false, "player", "org.other"}, true},  // another application
        {{3, false, "player", "org.app"}, true},    // no such local pid
    };
    for (const auto& c : cases) {
        EXPECT_EQ(filter.keeps(c.client), c.kept)
            << c.client.pid << " " << c.client.binary << " " << c.client.sandboxAppId;
    }
    // Both instances run the same program under local pid 2: which one played cannot be told.
    proc.program("320", "/app/bin/player", "player");
    EXPECT_TRUE(filter.keeps({2, false, "player", "org.app"}));
}

TEST(ProcessTree, ASandboxedTargetTakesItsWholeSandboxInstance) {
    FakeProc proc;
    proc.add(1, 0);
    proc.sandbox("self", "pid:[1]");
    // The sandbox's first process starts the target and a helper beside it (not below the target).
    proc.add(400, 1);
    proc.add(401, 400);
    proc.add(402, 400);
    proc.add(500, 1);  // the same application, another instance
    for (const int pid : {400, 401, 402, 500}) proc.program(std::to_string(pid), "/app/bin/player", "player");
    proc.sandbox("400", "pid:[7]", 1, "org.app");
    proc.sandbox("401", "pid:[7]", 2, "org.app");
    proc.sandbox("402", "pid:[7]", 3, "org.app");
    proc.sandbox("500", "pid:[9]", 4, "org.app");
    ProcessTreeFilter filter(401, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    EXPECT_FALSE(filter.keeps({3, false, "player", "org.app"}));
    EXPECT_TRUE(filter.keeps({4, false, "player", "org.app"}));
    // A target on the host, in the namespace the helper runs in, takes no one by namespace.
    proc.sandbox("401", "pid:[1]");
    ProcessTreeFilter host(401, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    EXPECT_TRUE(host.keeps({3, false, "player", "org.app"}));
    // A sandboxed target after another target (on the host) takes its instance just the same.
    proc.sandbox("401", "pid:[7]", 2, "org.app");
    proc.add(600, 1);
    ProcessTreeFilter second(std::vector<DWORD>{600, 401}, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE,
                             proc.root());
    EXPECT_FALSE(second.keeps({3, false, "player", "org.app"}));
}

TEST(ProcessTree, AStreamIsJudgedOnceUntilForgotten) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1);
    proc.add(101, 100);
    proc.program("101", "/usr/bin/player", "player");
    ProcessTreeFilter filter(100, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    StreamVerdicts verdicts(filter);
    const StreamClient member{101, false, "player", ""};
    EXPECT_FALSE(verdicts.keeps(7, member));
    proc.program("101", "/usr/bin/other", "other");
    EXPECT_FALSE(verdicts.keeps(7, member)) << "judged once";
    EXPECT_TRUE(verdicts.keeps(8, member));
    verdicts.forget(7);
    EXPECT_TRUE(verdicts.keeps(7, member)) << "an id the server gives again is judged again";
}

TEST(ProcessTree, KeepsMembersWhoseParentExited) {
    FakeProc proc;
    proc.add(1, 0);
    proc.add(100, 1);
    proc.add(101, 100);
    ProcessTreeFilter filter(100, PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE, proc.root());
    // Known at activation, orphaned before it plays.
    proc.remove(101);
    proc.add(101, 1);
    EXPECT_TRUE(filter.inTree(101));
    // Started after activation: seen by a refresh, then its parent exits.
    proc.add(300, 100, 200);
    proc.add(301, 300, 210);
    filter.refresh();
    proc.remove(300);
    proc.add(301, 1, 210);
    EXPECT_TRUE(filter.inTree(301));
    // A pid seen outside the tree, ended and reused by a member, is looked at again.
    proc.add(400, 1, 300);
    filter.refresh();
    proc.remove(400);
    filter.refresh();
    proc.add(400, 100, 400);
    proc.add(401, 400, 410);
    filter.refresh();
    proc.remove(400);
    proc.add(401, 1, 410);
    EXPECT_TRUE(filter.inTree(401));
    // A member's pid taken by an unrelated process (another start time) is not a member.
    proc.remove(101);
    proc.add(101, 1, 999);
    EXPECT_FALSE(filter.inTree(101));
}

std::vector<float> ramp(std::uint32_t first, std::uint32_t frames) {
    std::vector<float> samples;
    for (std::uint32_t i = 0; i < frames; ++i) {
        samples.push_back(static_cast<float>(first + i));
        samples.push_back(-static_cast<float>(first + i));
    }
    return samples;
}

struct Packet {
    HRESULT status;
    float firstSample;
    UINT32 frames;
    DWORD flags;
    UINT64 device;
    UINT64 qpc;
};

Packet take(PacketBuffer& buffer) {
    BYTE* data = nullptr;
    Packet packet{};
    packet.status = buffer.getBuffer(&data, &packet.frames, &packet.flags, &packet.device, &packet.qpc);
    if (packet.status == S_OK) {
        const float* samples = reinterpret_cast<const float*>(data);
        // Ramps are consecutive frame indices: a packet holds frames without a jump.
        for (UINT32 i = 0; i < packet.frames; ++i)
            EXPECT_EQ(samples[2 * i], samples[0] + static_cast<float>(i));
        packet.firstSample = samples[0];
        EXPECT_EQ(buffer.releaseBuffer(packet.frames), S_OK);
    }
    return packet;
}

constexpr std::int64_t kStart = 1000000;
constexpr DWORD kBreak = AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY;
std::uint64_t ticks(std::uint64_t frames) { return frames * 10000000 / 48000; }

// Device positions continue exactly while audio does, jump by exactly the frames missing, and no packet
// spans a break. Each append is {frames, its clock position relative to kStart}; ramps run on across
// appends, so a packet's first sample says which frames it carries.
TEST(PacketBuffer, PositionsFollowTheFramesAndJumpByWhatIsMissing) {
    struct Append {
        UINT32 frames;
        std::int64_t at;
    };
    struct Expected {
        float firstSample;
        UINT32 frames;
        UINT64 device;
        std::int64_t qpc;  // relative to kStart
        DWORD flags;
    };
    struct Case {
        const char* name;
        std::vector<Append> appends;
        std::vector<Expected> packets;
    };
    const std::int64_t late = 500000;  // 50 ms: a delivery late by load, not lost time
    const std::int64_t gap = 3000000;  // 300 ms the server did not deliver (a suspended graph, a stall)
    const std::vector<Case> cases = {
        {"odd appends, one late",
         {{300, 0}, {700, static_cast<std::int64_t>(ticks(300)) + late}},
         {{0, 480, 0, 0, 0}, {480, 480, 480, static_cast<std::int64_t>(ticks(480)), 0}}},
        {"clock ahead mid-packet: a short packet, then a jump of exactly the missing frames",
         {{1000, 0}, {920, static_cast<std::int64_t>(ticks(1000)) + gap}},
         {{0, 480, 0, 0, 0},
          {480, 480, 480, static_cast<std::int64_t>(ticks(480)), 0},
          {960, 40, 960, static_cast<std::int64_t>(ticks(960)), 0},
          {1000, 480, 1000 + 14400, static_cast<std::int64_t>(ticks(1000)) + gap, kBreak}}},
        {"clock ahead at a packet boundary: no short packet",
         {{960, 0}, {480, static_cast<std::int64_t>(ticks(960)) + gap}},
         {{0, 480, 0, 0, 0},
          {480, 480, 480, static_cast<std::int64_t>(ticks(480)), 0},
          {960, 480, 960 + 14400, static_cast<std::int64_t>(ticks(960)) + gap, kBreak}}},
        {"clock behind: nothing missing, the device position continues",
         {{600, gap}, {480, gap + static_cast<std::int64_t>(ticks(600)) - gap}},
         {{0, 480, 0, gap, 0},
          {480, 120, 480, gap + static_cast<std::int64_t>(ticks(480)), 0},
          {600, 480, 600, static_cast<std::int64_t>(ticks(600)), 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PacketBuffer buffer(64);
        std::uint32_t next = 0;
        for (const Append& a : c.appends) {
            const auto samples = ramp(next, a.frames);
            buffer.append(samples.data(), a.frames, static_cast<std::uint64_t>(kStart + a.at));
            next += a.frames;
        }
        for (const Expected& e : c.packets) {
            UINT32 size = 0;
            EXPECT_EQ(buffer.nextPacketSize(&size), S_OK);
            EXPECT_EQ(size, e.frames);
            const Packet p = take(buffer);
            ASSERT_EQ(p.status, S_OK);
            EXPECT_EQ(p.firstSample, e.firstSample);
            EXPECT_EQ(p.frames, e.frames);
            EXPECT_EQ(p.device, e.device);
            EXPECT_EQ(p.qpc, static_cast<UINT64>(kStart + e.qpc));
            EXPECT_EQ(p.flags, e.flags);
        }
        EXPECT_EQ(take(buffer).status, AUDCLNT_S_BUFFER_EMPTY) << "a partial packet waits for its frames";
    }
}

// Any rate and channel count: packets of 10 ms of it, positions in its frames, a lost stretch skipped by
// exactly its frames, silence ahead of the clock measured in its 5 ms, every channel carried.
TEST(PacketBuffer, CountsFramesAndTimeInTheStreamsOwnFormat) {
    const struct {
        std::uint32_t rate, channels;
        UINT32 packetFrames;
        std::uint64_t packetTicks;  // the time of one packet's frames, rounded down
        UINT64 gapFrames;           // 300 ms lost
        UINT32 catchUpFrames;       // 5 ms: how far ahead of the clock silence is kept
    } cases[] = {
        {16000, 1, 160, 100000, 4800, 80},
        {22050, 2, 220, 99773, 6615, 110},
        {44100, 1, 441, 100000, 13230, 220},
        {8000, 2, 80, 100000, 2400, 40},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.channels << " channels");
        const stream::StreamFormat format(c.rate, c.channels);
        PacketBuffer buffer(4, 0, format);
        EXPECT_EQ(buffer.packetFrames(), c.packetFrames);
        EXPECT_EQ(buffer.capacityFrames(), 4 * c.packetFrames);
        // Two packets of a ramp whose every channel holds the frame's number (negated after the first).
        std::vector<float> samples;
        for (UINT32 frame = 0; frame < 3 * c.packetFrames; ++frame) {
            for (std::uint32_t channel = 0; channel < c.channels; ++channel)
                samples.push_back(channel == 0 ? static_cast<float>(frame) : -static_cast<float>(frame));
        }
        buffer.append(samples.data(), 2 * c.packetFrames, kStart);
        // Then 300 ms later than the frames say.
        const std::uint64_t late = kStart + format.ticksFromFramesDown(2 * c.packetFrames) + 3000000;
        buffer.append(samples.data() + 2 * c.packetFrames * c.channels, c.packetFrames, late);
        const struct {
            UINT64 device;
            std::uint64_t qpc;
            DWORD flags;
        } expected[] = {{0, kStart, 0},
                        {c.packetFrames, kStart + c.packetTicks, 0},
                        {2 * c.packetFrames + c.gapFrames, late, kBreak}};
        for (std::size_t n = 0; n < 3; ++n) {
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 device = 0, qpc = 0;
            ASSERT_EQ(buffer.getBuffer(&data, &frames, &flags, &device, &qpc), S_OK) << n;
            EXPECT_EQ(frames, c.packetFrames) << n;
            EXPECT_EQ(device, expected[n].device) << n;
            EXPECT_EQ(qpc, expected[n].qpc) << n;
            EXPECT_EQ(flags, expected[n].flags) << n;
            const auto* got = reinterpret_cast<const float*>(data);
            const auto* want = samples.data() + n * c.packetFrames * c.channels;
            EXPECT_TRUE(std::equal(got, got + frames * c.channels, want)) << n;
            EXPECT_EQ(buffer.releaseBuffer(frames), S_OK);
        }
        // Silence that arrives 5 ms ahead of the clock is kept; one frame more, and the frames ahead go.
        for (const UINT32 lead : {c.catchUpFrames, c.catchUpFrames + 1}) {
            PacketBuffer ahead(8, 0, format);
            const std::vector<float> silence(2 * c.packetFrames * c.channels, 0.0f);
            ahead.append(silence.data(), 2 * c.packetFrames, kStart);
            ahead.append(silence.data(), 2 * c.packetFrames,
                         kStart + format.ticksFromFramesDown(2 * c.packetFrames - lead));
            ahead.endPacket();
            UINT32 held = 0;
            for (UINT32 size = 0; ahead.nextPacketSize(&size) == S_OK && size > 0;) {
                BYTE* data = nullptr;
                DWORD flags = 0;
                ASSERT_EQ(ahead.getBuffer(&data, &size, &flags, nullptr, nullptr), S_OK);
                held += size;
                ahead.releaseBuffer(size);
            }
            EXPECT_EQ(held, 4 * c.packetFrames - (lead > c.catchUpFrames ? lead : 0)) << lead;
        }
    }
}

// A producer that ends its packets at its cycles: one packet per cycle up to the largest packet, short
// cycles gathered to the least it asks for.
TEST(PacketBuffer, EndedPacketsFollowTheProducersCycles) {
    const struct {
        const char* name;
        UINT32 maxPacketFrames;
        std::vector<UINT32> cycles;
        std::vector<UINT32> packets;
    } cases[] = {
        {"10 ms packets", kPacketFrames, {1024, 1024}, {480, 480, 480, 480}},
        {"one per cycle", 2048, {1024, 1024}, {1024, 1024}},
        {"a cycle longer than a packet", 2048, {4096, 512}, {2048, 2048, 512}},
        {"short cycles gathered", 2048, {256, 256, 256, 256}, {512, 512}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        PacketBuffer buffer(16, c.maxPacketFrames);
        HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        buffer.setEvent(event);
        buffer.endPacket(kPacketFrames);
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing to end";
        std::uint32_t next = 0;
        for (const UINT32 frames : c.cycles) {
            const auto samples = ramp(next, frames);
            buffer.append(samples.data(), frames, static_cast<std::uint64_t>(kStart) + ticks(next));
            buffer.endPacket(kPacketFrames);
            next += frames;
        }
        UINT64 device = 0;
        for (const UINT32 frames : c.packets) {
            const Packet p = take(buffer);
            EXPECT_EQ(p.frames, frames);
            EXPECT_EQ(p.device, device);
            EXPECT_EQ(p.firstSample, static_cast<float>(device));
            EXPECT_EQ(p.flags, 0u) << "a short packet is no loss";
            device += frames;
        }
        EXPECT_EQ(take(buffer).status, AUDCLNT_S_BUFFER_EMPTY);
        CloseHandle(event);
    }
}

TEST(PacketBuffer, WakesTheReaderOnlyForAWholePacket) {
    PacketBuffer buffer(4);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    buffer.setEvent(event);
    UINT32 size = 99;
    EXPECT_EQ(buffer.nextPacketSize(&size), S_OK);
    EXPECT_EQ(size, 0u);
    const auto samples = ramp(0, kPacketFrames);
    buffer.append(samples.data(), 300, static_cast<std::uint64_t>(kStart));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "no whole packet yet";
    buffer.append(samples.data() + 600, 180, static_cast<std::uint64_t>(kStart) + ticks(300));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    CloseHandle(event);
}

TEST(PacketBuffer, OverflowDropsOldestAndFlagsTheNextPacket) {
    PacketBuffer buffer(3);
    const auto samples = ramp(0, 5 * kPacketFrames);
    buffer.append(samples.data(), 5 * kPacketFrames, 0);
    Packet p = take(buffer);
    EXPECT_EQ(p.firstSample, 960.0f);
    EXPECT_EQ(p.device, 960u) << "the position shows the loss";
    EXPECT_EQ(p.flags, kBreak);
    p = take(buffer);
    EXPECT_EQ(p.firstSample, 1440.0f);
    EXPECT_EQ(p.device, 1440u);
    EXPECT_EQ(p.flags, 0u);
}

TEST(PacketBuffer, PacketHeldByReaderSurvivesOverflowAndReleaseDoesNotSkip) {
    PacketBuffer buffer(2);
    const auto samples = ramp(0, 5 * kPacketFrames);
    buffer.append(samples.data(), 2 * kPacketFrames, 0);
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(buffer.getBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    // Two of the three waiting go, and their room is written again.
    buffer.append(samples.data() + 2 * kPacketFrames * 2, 3 * kPacketFrames, 0);
    EXPECT_EQ(reinterpret_cast<const float*>(data)[0], 0.0f) << "the held packet is intact";
    EXPECT_EQ(buffer.getBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(buffer.releaseBuffer(kPacketFrames), S_OK);
    Packet p = take(buffer);
    EXPECT_EQ(p.firstSample, 1440.0f);
    EXPECT_EQ(p.flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
}

TEST(PacketBuffer, FailureEndsTheStreamAndWakesTheReader) {
    PacketBuffer buffer(4);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    buffer.setEvent(event);
    const auto samples = ramp(0, kPacketFrames);
    buffer.append(samples.data(), kPacketFrames, 0);
    ASSERT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    buffer.fail();
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    UINT32 size = 0;
    EXPECT_EQ(buffer.nextPacketSize(&size), AUDCLNT_E_DEVICE_INVALIDATED);
    buffer.append(samples.data(), kPacketFrames, 0);
    EXPECT_EQ(buffer.nextPacketSize(&size), AUDCLNT_E_DEVICE_INVALIDATED);
    CloseHandle(event);
}

}  // namespace
