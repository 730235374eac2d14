// The one rule for which streams a process-loopback capture keeps: membership of the targets' process
// trees, decided from /proc parent chains. Every process is known by its pid and its start time, so a pid
// handed to another process is never taken for the one it named before.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "winaudio/windows_audio.h"

namespace linuxaudio {

// What a server says about the process behind a stream; the engines fill it from the server's properties.
struct StreamClient {
    pid_t pid = 0;  // 0 when the server names none
    // The server read the pid from the socket's credentials: a host pid the client cannot choose.
    // Otherwise the client set it itself, and inside a PID namespace it is local to that namespace.
    bool pidTrusted = false;
    std::string binary;        // the program the client says it runs, to check a pid it set itself
    std::string sandboxAppId;  // set when the server found the client in an application sandbox
};

// A process id as a server's property gives it: decimal digits only, above 0; anything else is 0.
pid_t parsePid(const char* text);

class ProcessTreeFilter {
  public:
    // How often the engines call refresh().
    static constexpr int kRefreshSeconds = 1;

    // Records the trees as they are now, so a member whose parent exits before it plays stays a member.
    // Every target is a root, under the same checks; one that is not a live process has an empty tree.
    // `procRoot` is /proc except in tests.
    ProcessTreeFilter(const std::vector<DWORD>& targets, PROCESS_LOOPBACK_MODE mode,
                      std::string procRoot = "/proc");
    ProcessTreeFilter(DWORD target, PROCESS_LOOPBACK_MODE mode, std::string procRoot = "/proc")
        : ProcessTreeFilter(std::vector<DWORD>{target}, mode, std::move(procRoot)) {}
    ~ProcessTreeFilter();
    ProcessTreeFilter(const ProcessTreeFilter&) = delete;
    ProcessTreeFilter& operator=(const ProcessTreeFilter&) = delete;

    // Whether a stream of `client` is captured. A stream whose process is not known (no pid, or one that
    // does not check out) is kept when excluding and left out when including. Engines judge each stream
    // once (stream_verdicts.h).
    bool keeps(const StreamClient& client);
    // Whether the live process `pid` is a target or one of their descendants (learning new members).
    bool inTree(pid_t pid);
    // Looks at processes started since the last look, so members that outlive their parents are known.
    // Reads only the stat files of pids not seen before.
    void refresh();

  private:
    struct Stat {
        pid_t parent = 0;
        std::uint64_t startTime = 0;
    };
    // Reads a small /proc file into `text` without touching the heap; its length, or -1.
    long readSmallFile(const char* path, char* text, std::size_t size) const;
    bool readStat(pid_t pid, Stat& stat) const;
    long readLastPid() const;  // the newest pid, from loadavg; -1 when not known
    bool isKnownMember(pid_t pid, std::uint64_t startTime) const;
    bool isMember(const StreamClient& client);
    // Whether the live process `pid` runs `binary`.
    bool runs(pid_t pid, const std::string& binary) const;
    // Whether a sandboxed client's local pid names a process of the tree or of the target's sandbox.
    bool inSandboxOfTree(const StreamClient& client);
    void scanLocked();
    // Adds to the members the processes in m_fresh whose parents are members.
    void joinFreshLocked();
    // Whether the process with pid `parent` is still the one that started at `startTime`.
    bool isParentStill(pid_t parent, std::uint64_t startTime) const;

    const PROCESS_LOOPBACK_MODE m_mode;
    const std::string m_procRoot;
    // The targets that were live processes at activation; none: every tree is empty.
    std::vector<pid_t> m_targets;
    std::mutex m_mutex;
    // Members by pid with their start time, so a pid reused by an unrelated process is not taken for one.
    std::unordered_map<pid_t, std::uint64_t> m_members;
    long m_lastPid = -1;  // the newest pid when refresh() last scanned
    // The pids the last scan found, sorted: the next one reads only the stat files of others. The
    // vectors keep their capacity and the directory stays open, so a scan in steady state does not
    // allocate.
    std::vector<pid_t> m_seen;
    std::vector<pid_t> m_present;
    std::vector<std::pair<pid_t, Stat>> m_fresh;
    DIR* m_dir = nullptr;
};

}  // namespace linuxaudio
