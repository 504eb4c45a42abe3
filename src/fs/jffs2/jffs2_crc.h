// The checksum of every JFFS2 header, node, name and data field: CRC32 over
// the IEEE polynomial, reflected, seeded with 0 and without the final
// inversion (the kernel's crc32(0, ...) and mtd-utils' mtd_crc32(0, ...)).
// One routine, used to verify what is read and to set what is written.
#pragma once

#include "model/bytes.h"

#include <cstdint>

namespace korvane::jffs2 {

uint32_t jffs2Crc(ByteSpan data);

inline uint32_t jffs2Crc(const std::byte* p, size_t n) {
    return jffs2Crc(ByteSpan(p, n));
}

} // namespace korvane::jffs2
