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

constexpr int kMaxChain = 4096;          // a parent chain longer than this is a loop in a fake /proc
constexpr long kMaxNewPids = 4096;       // more new pids than this since the last look: list /proc instead
constexpr long kMaxPid = 4194304;        // the kernel's highest pid_max
constexpr std::size_t kCommLength = 15;  // a command name holds at most this much of the program's name

}  // namespace

pid_t parsePid(const char* text) {
    if (text == nullptr || *text == '\0') return 0;
    long value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9' || value > kMaxPid) return 0;
        value = value * 10 + (*digit - '0');
    }
    return value <= kMaxPid ? static_cast<pid_t>(value) : 0;
}

ProcessTreeFilter::ProcessTreeFilter(const std::vector<DWORD>& targets, PROCESS_LOOPBACK_MODE mode,
                                     std::string procRoot)
    : m_mode(mode), m_procRoot(std::move(procRoot)) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dir = opendir(m_procRoot.c_str());
    m_lastPid = readLastPid();  // before the scan: what starts during it is looked at again
    // Each target as it is now: a later process given its pid is not it.
    for (const DWORD target : targets) {
        Stat stat;
        if (target == 0 || target > static_cast<DWORD>(kMaxPid) ||
            !readStat(static_cast<pid_t>(target), stat))
            continue;
        m_targets.push_back(static_cast<pid_t>(target));
        m_members[static_cast<pid_t>(target)] = stat.startTime;
    }
    scanLocked();
}

ProcessTreeFilter::~ProcessTreeFilter() {
    if (m_dir != nullptr) closedir(m_dir);
}

bool ProcessTreeFilter::keeps(const StreamClient& client) {
    const bool exclude = m_mode == PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE;
    return isMember(client) != exclude;
}

bool ProcessTreeFilter::isMember(const StreamClient& client) {
    if (m_targets.empty() || client.pid <= 0) return false;
    if (client.pidTrusted) return inTree(client.pid);
    // A pid the client set counts only where it names that client's process: in a sandbox it is local to
    // the sandbox's PID namespace; outside, the host's process of that pid must run the client's program.
    if (!client.sandboxAppId.empty()) return inSandboxOfTree(client);
    return runs(client.pid, client.binary) && inTree(client.pid);
}

bool ProcessTreeFilter::runs(pid_t pid, const std::string& binary) const {
    if (binary.empty()) return false;
    char path[512];
    std::snprintf(path, sizeof path, "%s/%d/exe", m_procRoot.c_str(), static_cast<int>(pid));
    char target[4096];
    const ssize_t length = readlink(path, target, sizeof target - 1);
    if (length > 0) {
        target[length] = '\0';
        // A program replaced on disk since it started reads "/path (deleted)".
        constexpr char kDeleted[] = " (deleted)";
        const std::size_t deleted = sizeof kDeleted - 1;
        std::size_t end = static_cast<std::size_t>(length);
        if (end > deleted && std::strcmp(target + end - deleted, kDeleted) == 0)
            target[end -= deleted] = '\0';
        const char* slash = std::strrchr(target, '/');
        return binary == (slash != nullptr ? slash + 1 : target);
    }
    // Another user's program cannot be read; its command name is the program's name cut to 15 bytes.
    std::snprintf(path, sizeof path, "%s/%d/comm", m_procRoot.c_str(), static_cast<int>(pid));
    char comm[64];
    const long read = readSmallFile(path, comm, sizeof comm);
    if (read <= 0) return false;
    if (comm[read - 1] == '\n') comm[read - 1] = '\0';
    return binary.compare(0, kCommLength, comm) == 0;
}

namespace {

// The link text of /proc/PID/ns/pid ("pid:[4026531836]"): equal texts, same namespace; "" when unknown.
std::string pidNamespace(const std::string& root, long pid) {
    const std::string path = root + "/" + (pid > 0 ? std::to_string(pid) : std::string("self")) + "/ns/pid";
    char text[128];
    const ssize_t length = readlink(path.c_str(), text, sizeof text - 1);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

// The pid in the innermost namespace from a status file's NSpid line, or 0 when the process is in the
// namespace it was read from.
long localPid(const char* status) {
    const char* line = std::strstr(status, "\nNSpid:");
    if (line == nullptr) return 0;
    line += 7;
    int levels = 0;
    long last = 0;
    while (*line != '\n' && *line != '\0') {
        char* end = nullptr;
        const long value = std::strtol(line, &end, 10);
        if (end == line) break;
        last = value;
        ++levels;
        line = end;
    }
    return levels >= 2 ? last : 0;
}

// The application of a Flatpak sandbox: `name` in the [Application] group of its .flatpak-info.
bool sandboxApp(const char* info, const std::string& appId) {
    const char* group = std::strstr(info, "[Application]");
    if (group == nullptr) return false;
    for (const char* line = std::strchr(group, '\n'); line != nullptr && line[1] != '[';
         line = std::strchr(line + 1, '\n')) {
        if (std::strncmp(line + 1, "name=", 5) != 0) continue;
        const char* name = line + 6;
        const std::size_t length = std::strcspn(name, "\n");
        return appId.size() == length && appId.compare(0, length, name, length) == 0;
    }
    return false;
}

}  // namespace

bool ProcessTreeFilter::inSandboxOfTree(const StreamClient& client) {
    // The server found the client in the sandbox of an application; its pid is local to the sandbox. The
    // processes that may be it: in a nested PID namespace with that local pid, running the client's
    // program, in a sandbox of that application. One belongs to the tree when it is a member, or when it
    // shares the target's PID namespace (the target runs in that very sandbox instance: each instance of
    // a sandboxed application gets a namespace of its own). When several could be it and one does not
    // belong, the client is not known.
    const std::string ownNamespace = pidNamespace(m_procRoot, 0);
    std::vector<std::string> targetSandboxes;  // the PID namespaces of sandboxed targets
    for (const pid_t target : m_targets) {
        std::string space = pidNamespace(m_procRoot, target);
        if (!space.empty() && space != ownNamespace) targetSandboxes.push_back(std::move(space));
    }
    DIR* dir = opendir(m_procRoot.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    bool allBelong = true;
    while (const dirent* entry = readdir(dir)) {
        const pid_t pid = parsePid(entry->d_name);
        if (pid <= 0) continue;
        char path[512];
        char text[4096];
        std::snprintf(path, sizeof path, "%s/%d/status", m_procRoot.c_str(), static_cast<int>(pid));
        if (readSmallFile(path, text + 1, sizeof text - 1) <= 0) continue;
        text[0] = '\n';
        if (localPid(text) != client.pid || !runs(pid, client.binary)) continue;
        std::snprintf(path, sizeof path, "%s/%d/root/.flatpak-info", m_procRoot.c_str(),
                      static_cast<int>(pid));
        if (readSmallFile(path, text + 1, sizeof text - 1) <= 0 || !sandboxApp(text, client.sandboxAppId))
            continue;
        found = true;
        const bool inTargetSandbox =
            !targetSandboxes.empty() &&
            std::count(targetSandboxes.begin(), targetSandboxes.end(), pidNamespace(m_procRoot, pid)) != 0;
        if (!inTargetSandbox && !inTree(pid)) allBelong = false;
    }
    closedir(dir);
    return found && allBelong;
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

bool ProcessTreeFilter::inTree(pid_t pid) {
    if (pid <= 0 || m_targets.empty()) return false;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (int pass = 0; pass < 2; ++pass) {
        // Walk up the live parent chain; every process below a member joins the tree.
        std::vector<std::pair<pid_t, std::uint64_t>> chain;
        pid_t current = pid;
        for (int depth = 0; depth < kMaxChain && current > 0; ++depth) {
            Stat stat;
            if (!readStat(current, stat)) break;
            if (isKnownMember(current, stat.startTime)) {
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

long ProcessTreeFilter::readLastPid() const {
    char path[512];
    std::snprintf(path, sizeof path, "%s/loadavg", m_procRoot.c_str());
    char text[128];
    if (readSmallFile(path, text, sizeof text) <= 0) return -1;
    const char* last = std::strrchr(text, ' ');
    return last != nullptr ? std::strtol(last + 1, nullptr, 10) : -1;
}

void ProcessTreeFilter::refresh() {
    std::lock_guard<std::mutex> lock(m_mutex);
    // The last pid the kernel handed out (the last field of loadavg). Pids are handed out in rising order,
    // so the processes started since the last look are the pids above the last one seen: those few are
    // read, not the whole of /proc. A wrap of the pid counter, or a very busy second, takes a full scan.
    const long lastPid = readLastPid();
    const long previous = m_lastPid;
    m_lastPid = lastPid;
    if (lastPid > 0 && previous > 0 && lastPid >= previous && lastPid - previous <= kMaxNewPids) {
        m_fresh.clear();
        for (long pid = previous + 1; pid <= lastPid; ++pid) {
            Stat stat;
            if (readStat(static_cast<pid_t>(pid), stat)) m_fresh.emplace_back(static_cast<pid_t>(pid), stat);
        }
        joinFreshLocked();
        return;
    }
    scanLocked();
}

void ProcessTreeFilter::scanLocked() {
    if (m_dir == nullptr) return;
    rewinddir(m_dir);  // the listing as it is now
    m_present.clear();
    m_fresh.clear();
    while (const dirent* entry = readdir(m_dir)) {
        const pid_t pid = parsePid(entry->d_name);
        if (pid <= 0) continue;
        m_present.push_back(pid);
        if (std::binary_search(m_seen.begin(), m_seen.end(), pid)) continue;
        Stat stat;
        if (readStat(pid, stat)) m_fresh.emplace_back(pid, stat);
    }
    // Only the pids present now are remembered, so a pid that ends and is reused is read again.
    std::sort(m_present.begin(), m_present.end());
    m_seen.swap(m_present);
    joinFreshLocked();
}

void ProcessTreeFilter::joinFreshLocked() {
    // Parents usually come first, but pids wrap: repeat until nothing joins.
    for (bool grew = true; grew;) {
        grew = false;
        for (const auto& [pid, stat] : m_fresh) {
            if (isKnownMember(pid, stat.startTime)) continue;
            const auto parent = m_members.find(stat.parent);
            if (parent == m_members.end() || parent->second > stat.startTime) continue;
            // The parent's pid may name another process by now: the member's, or a reuse of its pid.
            if (!isParentStill(stat.parent, parent->second)) continue;
            m_members[pid] = stat.startTime;
            grew = true;
        }
    }
}

bool ProcessTreeFilter::isParentStill(pid_t parent, std::uint64_t startTime) const {
    Stat now;
    if (readStat(parent, now)) return now.startTime == startTime;
    // Gone since: what this look saw under its pid, if anything, tells.
    for (const auto& [pid, stat] : m_fresh) {
        if (pid == parent) return stat.startTime == startTime;
    }
    return true;
}

}  // namespace linuxaudio
