// Summary nodes: at the end of an erase block, a list of the block's nodes
// that lets a mounting kernel skip the block's scan, ended by a marker that
// says where in the block the summary starts. Korvane scans every node
// anyway; a summary tells it where its erase block begins and ends.
#pragma once

#include "jffs2_format.h"

#include <cstdint>

namespace korvane::jffs2 {

struct SummaryCheck {
    bool nodeCrcOk = false;
    bool sumCrcOk = false;
    bool markerOk = false;    // the last 8 bytes are a marker
    uint32_t blockOffset = 0; // where the summary starts in its erase block (from the marker)
    uint32_t entries = 0;
};

// Checks a summary node of totlen bytes at p (totlen >= summary::kSize).
// With checkSum false the checksum of the entries is not computed (a node too
// large to hold in memory at once).
SummaryCheck checkSummary(const std::byte* p, uint32_t totlen, const Endian& e, bool checkSum);

} // namespace korvane::jffs2
