// Puts a block on the standard-output handle in chunks of at most 65536 bytes, continuing after short
// writes. A failed or zero-byte write abandons the rest of the block silently: the caller keeps going.
// Returns the bytes that went out, so the caller can keep the stream aligned and its time true.
#pragma once

#include <cstdint>

constexpr std::uint32_t kWriteChunkBytes = 65536;

std::uint64_t writeAll(const void* data, std::uint64_t size);
