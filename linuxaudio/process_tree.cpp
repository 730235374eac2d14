#include "linuxaudio/process_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace linuxaudio {

namespace {

constexpr int kMaxChain = 4096;  // a parent chain longer than this is a loop in a fake /proc

}  // namespace

ProcessTreeFilter::ProcessTreeFilter(DWORD target, PROCESS_LOOPBACK_MODE mode, std::string procRoot)
    : m_target(target), m_mode(mode), m_procRoot(std::move(procRoot)) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dir = opendir(m_procRoot.c_str());
    Stat stat;
    if (target != 0 && readStat(static_cast<pid_t>(target), stat)) {
        m_members[static_cast<pid_t>(target)] = stat.startTime;
    }
    scanLocked();
}

ProcessTreeFilter::~ProcessTreeFilter() {
    if (m_dir != nullptr) closedir(m_dir);
}

bool ProcessTreeFilter::keeps(pid_t streamPid) const {
    const bool exclude = m_mode == PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    if (streamPid <= 0) return exclude;
    return inTree(streamPid) != exclude;
}

long ProcessTreeFilter::readSmallFile(const char* path, char* text, std::size_t size) const {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t length = read(fd, text, size - 1);
    close(fd);
    if (length < 0) return -1;
    text[length] = '\0';
    return length;
}

bool ProcessTreeFilter::readStat(pid_t pid, Stat& stat) const {
    char path[512];
    std::snprintf(path, sizeof path, "%s/%d/stat", m_procRoot.c_str(), static_cast<int>(pid));
    char text[1024];
    if (readSmallFile(path, text, sizeof text) < 0) return false;
    // The command name is in parentheses and may hold anything, ')' included: fields follow the last one.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr) return false;
    ++field;
    // Fields 3 (state) onward; the parent is field 4, the start time field 22.
    for (int index = 3; index <= 22; ++index) {
        while (*field == ' ') ++field;
        if (*field == '\0') return false;
        if (index == 4) stat.parent = static_cast<pid_t>(std::strtol(field, nullptr, 10));
        if (index == 22) stat.startTime = std::strtoull(field, nullptr, 10);
        while (*field != ' ' && *field != '\0') ++field;
    }
    return true;
}

bool ProcessTreeFilter::isKnownMember(pid_t pid, std::uint64_t startTime) const {
    const auto member = m_members.find(pid);
    return member != m_members.end() && member->second == startTime;
}

bool ProcessTreeFilter::inTree(pid_t pid) const {
    if (pid <= 0) return false;
    if (static_cast<DWORD>(pid) == m_target) return true;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int pass = 0; pass < 2; ++pass) {
        // Walk up the live parent chain; every process below a member joins the tree.
        std::vector<std::pair<pid_t, std::uint64_t>> chain;
        pid_t current = pid;
        for (int depth = 0; depth < kMaxChain && current > 1; ++depth) {
            Stat stat;
            if (!readStat(current, stat)) break;
            if (isKnownMember(current, stat.startTime) || static_cast<DWORD>(current) == m_target) {
                for (const auto& below : chain) m_members[below.first] = below.second;
                return true;
            }
            chain.emplace_back(current, stat.startTime);
            current = stat.parent;
        }
        // The chain may have been cut by a parent that exited; processes started since the last look
        // may show the stream's process was a member before that.
        if (pass == 0) scanLocked();
    }
    return false;
}

void ProcessTreeFilter::refresh() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The last pid the kernel handed out (the last field of loadavg): unchanged, no process has started
    // since the last look, and the directory need not be read.
    char path[512];
    std::snprintf(path, sizeof path, "%s/loadavg", m_procRoot.c_str());
    char text[128];
    if (readSmallFile(path, text, sizeof text) > 0) {
        const char* last = std::strrchr(text, ' ');
        const long lastPid = last != nullptr ? std::strtol(last + 1, nullptr, 10) : -1;
        if (lastPid > 0 && lastPid == m_lastPid) return;
        m_lastPid = lastPid;
    }
    scanLocked();
}

void ProcessTreeFilter::scanLocked() const {
    if (m_dir == nullptr) return;
    rewinddir(m_dir);  // the listing as it is now
    m_present.clear();
    m_fresh.clear();
    while (const dirent* entry = readdir(m_dir)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') continue;
        m_present.push_back(static_cast<pid_t>(pid));
        if (std::binary_search(m_seen.begin(), m_seen.end(), static_cast<pid_t>(pid))) continue;
        Stat stat;
        if (readStat(static_cast<pid_t>(pid), stat)) m_fresh.emplace_back(static_cast<pid_t>(pid), stat);
    }
    // Only the pids present now are remembered, so a pid that ends and is reused is read again.
    std::sort(m_present.begin(), m_present.end());
    m_seen.swap(m_present);
    // Parents usually come first, but pids wrap: repeat until nothing joins.
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, stat] : m_fresh) {
            if (m_members.count(pid) != 0) continue;
            const auto parent = m_members.find(stat.parent);
            const bool parentIsMember = static_cast<DWORD>(stat.parent) == m_target ||
                                        (parent != m_members.end() && parent->second <= stat.startTime);
            if (parentIsMember) {
                m_members[pid] = stat.startTime;
                grew = true;
            }
        }
    }
}

}  // namespace linuxaudio
