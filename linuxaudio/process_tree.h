// The one rule for which streams a process-loopback capture keeps: membership of the target's process
// tree, decided from /proc parent chains.
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

class ProcessTreeFilter {
  public:
    // Records the tree as it is now, so a member whose parent exits before it plays stays a member.
    // `procRoot` is /proc except in tests.
    ProcessTreeFilter(DWORD target, PROCESS_LOOPBACK_MODE mode, std::string procRoot = "/proc");
    ~ProcessTreeFilter();
    ProcessTreeFilter(const ProcessTreeFilter&) = delete;
    ProcessTreeFilter& operator=(const ProcessTreeFilter&) = delete;

    // Whether a stream played by `streamPid` is captured. A pid of 0 or less means "not known": such a
    // stream is kept when excluding and left out when including.
    bool keeps(pid_t streamPid) const;
    // Whether `pid` is the target or one of its descendants (learning new members on the way).
    bool inTree(pid_t pid) const;
    // Looks at processes started since the last look, so members that outlive their parents are known.
    // Reads only the stat files of pids not seen before.
    void refresh() const;

    DWORD target() const { return m_target; }
    PROCESS_LOOPBACK_MODE mode() const { return m_mode; }

  private:
    struct Stat {
        pid_t parent = 0;
        std::uint64_t startTime = 0;
    };
    // Reads a small /proc file into `text` without touching the heap; its length, or -1.
    long readSmallFile(const char* path, char* text, std::size_t size) const;
    bool readStat(pid_t pid, Stat& stat) const;
    bool isKnownMember(pid_t pid, std::uint64_t startTime) const;
    void scanLocked() const;

    const DWORD m_target;
    const PROCESS_LOOPBACK_MODE m_mode;
    const std::string m_procRoot;
    mutable std::mutex m_mutex;
    // Members by pid with their start time, so a pid reused by an unrelated process is not taken for one.
    mutable std::unordered_map<pid_t, std::uint64_t> m_members;
    mutable long m_lastPid = -1;  // the newest pid when refresh() last scanned
    // The pids the last scan found, sorted: the next one reads only the stat files of others. The
    // vectors keep their capacity and the directory stays open, so a scan in steady state does not
    // allocate.
    mutable std::vector<pid_t> m_seen;
    mutable std::vector<pid_t> m_present;
    mutable std::vector<std::pair<pid_t, Stat>> m_fresh;
    mutable DIR* m_dir = nullptr;
};

}  // namespace linuxaudio
