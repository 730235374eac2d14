// The zero bytes the stream writes: a packet the engine flags silent, the frames of a gap, and what a
// failed write left owed. The buffer grows to the largest such write so far (gaps and owed bytes go out a
// chunk at a time) and is reused after that, so silence costs no allocation per packet.
#pragma once

#include <cstdint>
#include <vector>

class Silence {
  public:
    // Writes `bytes` zero bytes with writeAll; returns the bytes that went out.
    std::uint64_t write(std::uint64_t bytes);

  private:
    std::vector<std::uint8_t> m_zeros;
};
