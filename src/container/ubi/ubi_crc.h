// The CRC32 of UBI headers and UBIFS nodes: the IEEE polynomial run from a
// seed of all ones with no final inversion (the kernel's crc32_le, as MTD
// tools call it). It is zlib's CRC with the inversions undone, so zlib
// computes it.
#pragma once

#include "model/crc.h"

#include <cstdint>

namespace korvane {

// The register UBI and UBIFS start their checksums from.
constexpr uint32_t kUbiCrcSeed = 0xFFFFFFFFu;

// The raw register after data, starting from seed.
inline uint32_t ubiCrc32(uint32_t seed, ByteSpan data) {
    return ~crc32(~seed, data);
}

inline uint32_t ubiCrc32(ByteSpan data) {
    return ubiCrc32(kUbiCrcSeed, data);
}

} // namespace korvane
