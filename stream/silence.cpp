#include "stream/silence.h"

#include "stream/write_all.h"

std::uint64_t Silence::write(std::uint64_t bytes) {
    if (m_zeros.size() < bytes) m_zeros.resize(static_cast<std::size_t>(bytes), 0);
    return writeAll(m_zeros.data(), bytes);
}
