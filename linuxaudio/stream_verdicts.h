// Each server stream judged once by the process-tree rule: a process cannot leave a tree, and a verdict
// that flipped would tear a stream out of the capture. Keyed by the server's own stream ids, which servers
// hand out again: the engine forgets a stream when its server says it is gone. Each engine keeps its own,
// used on its server's thread only.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "linuxaudio/process_tree.h"

namespace linuxaudio {

class StreamVerdicts {
  public:
    explicit StreamVerdicts(ProcessTreeFilter& filter) : m_filter(filter) {}

    bool keeps(std::uint32_t stream, const StreamClient& client) {
        const auto known = m_verdicts.find(stream);
        if (known != m_verdicts.end()) return known->second;
        return m_verdicts.emplace(stream, m_filter.keeps(client)).first->second;
    }
    void forget(std::uint32_t stream) { m_verdicts.erase(stream); }

  private:
    ProcessTreeFilter& m_filter;
    std::unordered_map<std::uint32_t, bool> m_verdicts;
};

}  // namespace linuxaudio
