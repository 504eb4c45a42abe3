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

// How far the nodes at the start of some bytes follow one another.
struct HeaderRun {
    unsigned nodes = 0;  // headers that verified
    bool broken = false; // stopped at bytes that are neither erased nor such a node
};

// Follows the nodes from the start of bytes, erased words passed over, until
// max nodes or the end of bytes. A node counts when its header verifies and
// it ends within end bytes of the start; anything else there breaks the run.
// A node running past the end of bytes (within end) is the last one followed.
HeaderRun followHeaders(ByteSpan bytes, const Endian& e, uint64_t end, unsigned max);

// Writes a header of type and totlen, with its checksum.
void storeHeader(std::byte* p, uint16_t type, uint32_t totlen, const Endian& e);

// Whether a node of this type is current: the accurate bit is set.
constexpr bool accurate(uint16_t type) {
    return (type & kAccurate) != 0;
}

} // namespace korvane::jffs2
