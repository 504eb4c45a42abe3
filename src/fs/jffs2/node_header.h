// The 12-byte header every JFFS2 node starts with: magic, type, total length
// and the header checksum.
#pragma once

#include "jffs2_format.h"

#include <cstdint>

namespace korvane::jffs2 {

struct NodeHeader {
    uint16_t magic = 0;
    uint16_t type = 0;
    uint32_t totlen = 0;
};

NodeHeader loadHeader(const std::byte* p, const Endian& e);

// Whether the header at p has the JFFS2 magic and a checksum that verifies.
// The checksum is computed with the accurate bit set, so a node obsoleted in
// place still verifies.
bool headerOk(const std::byte* p, const Endian& e);

// Writes a header of type and totlen, with its checksum.
void storeHeader(std::byte* p, uint16_t type, uint32_t totlen, const Endian& e);

// Whether a node of this type is current: the accurate bit is set.
constexpr bool accurate(uint16_t type) {
    return (type & kAccurate) != 0;
}

} // namespace korvane::jffs2
