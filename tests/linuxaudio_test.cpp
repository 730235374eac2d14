// The Linux engines' shared parts: the process-tree rule over a made-up /proc, and the packet buffer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "linuxaudio/packet_buffer.h"
#include "linuxaudio/process_tree.h"

namespace fs = std::filesystem;
using linuxaudio::kPacketFrames;
using linuxaudio::PacketBuffer;
using linuxaudio::ProcessTreeFilter;

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
            EXPECT_EQ(exclude.keeps(c.pid), !c.member) << c.pid;
            EXPECT_EQ(include.keeps(c.pid), c.member) << c.pid;
        }
    }
    // A stream without a known process is kept when excluding, left out when including.
    EXPECT_TRUE(exclude.keeps(0));
    EXPECT_FALSE(include.keeps(0));
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
    DWORD flags;
    UINT64 device;
    UINT64 qpc;
};

Packet take(PacketBuffer& buffer) {
    BYTE* data = nullptr;
    UINT32 frames = 0;
    Packet packet{};
    packet.status = buffer.getBuffer(&data, &frames, &packet.flags, &packet.device, &packet.qpc);
    if (packet.status == S_OK) {
        EXPECT_EQ(frames, kPacketFrames);
        const float* samples = reinterpret_cast<const float*>(data);
        for (UINT32 i = 0; i < frames; ++i) EXPECT_EQ(samples[2 * i], samples[0] + static_cast<float>(i));
        packet.firstSample = samples[0];
        EXPECT_EQ(buffer.releaseBuffer(frames), S_OK);
    }
    return packet;
}

TEST(PacketBuffer, CutsAppendsIntoPacketsInOrderWithPositions) {
    PacketBuffer buffer(4);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    buffer.setEvent(event);
    UINT32 size = 99;
    EXPECT_EQ(buffer.nextPacketSize(&size), S_OK);
    EXPECT_EQ(size, 0u);
    // Odd-sized appends, as a graph's quantum gives them; the second arrives 50 ms late, which is not lost
    // time: positions follow the frames.
    const auto first = ramp(0, 300);
    buffer.append(first.data(), 300, 1000000);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "no whole packet yet";
    const auto second = ramp(300, 700);
    buffer.append(second.data(), 700, 1000000 + 62500 + 500000);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(buffer.nextPacketSize(&size), S_OK);
    EXPECT_EQ(size, kPacketFrames);
    Packet a = take(buffer);
    EXPECT_EQ(a.firstSample, 0.0f);
    EXPECT_EQ(a.device, 0u);
    EXPECT_EQ(a.qpc, 1000000u);
    Packet b = take(buffer);
    EXPECT_EQ(b.firstSample, 480.0f);
    EXPECT_EQ(b.device, 480u);
    EXPECT_EQ(b.qpc, 1000000u + 100000u);
    EXPECT_EQ(b.flags, 0u);
    EXPECT_EQ(take(buffer).status, AUDCLNT_S_BUFFER_EMPTY);
    // A clock 300 ms away (a graph that was suspended) places the frames from then on by the clock again.
    const std::uint64_t resumed = 1000000 + 208333 + 3000000;
    const auto third = ramp(1000, 920);
    buffer.append(third.data(), 920, resumed);
    EXPECT_EQ(take(buffer).qpc, 1000000u + 200000u) << "begun before the jump";
    EXPECT_EQ(take(buffer).qpc, resumed + 440ull * 10000000u / 48000u);
    CloseHandle(event);
}

TEST(PacketBuffer, OverflowDropsOldestAndFlagsTheNextPacket) {
    PacketBuffer buffer(3);
    const auto samples = ramp(0, 5 * kPacketFrames);
    buffer.append(samples.data(), 5 * kPacketFrames, 0);
    EXPECT_EQ(buffer.droppedPackets(), 2u);
    Packet p = take(buffer);
    EXPECT_EQ(p.firstSample, 960.0f);
    EXPECT_EQ(p.device, 960u) << "the position shows the loss";
    EXPECT_EQ(p.flags, static_cast<DWORD>(AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
    p = take(buffer);
    EXPECT_EQ(p.firstSample, 1440.0f);
    EXPECT_EQ(p.flags, 0u);
}

TEST(PacketBuffer, PacketHeldByReaderSurvivesOverflowAndReleaseDoesNotSkip) {
    PacketBuffer buffer(2);
    const auto samples = ramp(0, 4 * kPacketFrames);
    buffer.append(samples.data(), 2 * kPacketFrames, 0);
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(buffer.getBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    buffer.append(samples.data() + 2 * kPacketFrames * 2, 2 * kPacketFrames, 0);  // drops both
    EXPECT_EQ(reinterpret_cast<const float*>(data)[0], 0.0f) << "the held copy is intact";
    EXPECT_EQ(buffer.getBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(buffer.releaseBuffer(kPacketFrames), S_OK);
    Packet p = take(buffer);
    EXPECT_EQ(p.firstSample, 960.0f);
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
