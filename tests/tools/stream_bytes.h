// Builds audio-helper streams byte by byte for the unit tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace lbas_test {

inline void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>((v >> (8 * i)) & 0xFFu));
}

inline std::vector<std::uint8_t> Header(std::uint32_t rate = 48000, std::uint32_t channels = 2,
                                        std::uint32_t bits = 32, const std::string& magic = "LBAS") {
    std::vector<std::uint8_t> h(magic.begin(), magic.end());
    PutLe32(h, rate);
    PutLe32(h, channels);
    PutLe32(h, bits);
    return h;
}

inline std::uint32_t Bits(float f) {
    std::uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

inline void PutFloat(std::vector<std::uint8_t>& out, float sample) { PutLe32(out, Bits(sample)); }

inline void PutFrame(std::vector<std::uint8_t>& out, float left, float right) {
    PutLe32(out, Bits(left));
    PutLe32(out, Bits(right));
}

}  // namespace lbas_test
