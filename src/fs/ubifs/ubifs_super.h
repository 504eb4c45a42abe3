// The superblock node (LEB 0) and the master node (the last of LEB 1 and of
// LEB 2): the filesystem's geometry, and where its index and log are.
#pragma once

#include "ubifs_node.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace korvane::ubifs {

struct Superblock {
    uint8_t keyHash = 0;
    uint8_t keyFmt = 0;
    uint32_t flags = 0;
    uint32_t minIoSize = 0;
    uint32_t lebSize = 0;
    uint32_t lebCnt = 0;
    uint32_t maxLebCnt = 0;
    uint64_t maxBudBytes = 0;
    uint32_t logLebs = 0;
    uint32_t lptLebs = 0;
    uint32_t orphLebs = 0;
    uint32_t jheadCnt = 0;
    uint32_t fanout = 0;
    uint32_t fmtVersion = 0;
    uint32_t roCompatVersion = 0;
    uint16_t defaultCompr = 0;
    uint32_t timeGran = 0;
    std::array<uint8_t, 16> uuid{};
    uint16_t hashAlgo = 0;

    // The first LEB of the main area.
    uint32_t mainFirst() const { return kLogLnum + logLebs + lptLebs + orphLebs; }
    // Bytes of the node hash each index branch carries (authenticated
    // filesystems only).
    uint32_t branchHashLen() const;
    uint32_t branchSize() const { return branch::kSize + branchHashLen(); }
};

// The superblock in node (a whole node whose CRC the caller checked), when
// its fields make a filesystem this reader can read; otherwise why says
// what is wrong.
std::optional<Superblock> decodeSuperblock(ByteSpan node, Message* why);

struct Master {
    uint64_t sqnum = 0;
    uint64_t highestInum = 0;
    uint64_t cmtNo = 0;
    uint32_t flags = 0;
    uint32_t logLnum = 0;
    NodeLoc root;
    uint64_t indexSize = 0;
    uint64_t totalFree = 0;
    uint64_t totalUsed = 0;
    uint32_t lebCnt = 0;
    // Everything after the common header: the two copies must agree in it.
    std::array<std::byte, mst::kNodeSize - ch::kSize> body{};
};

Master decodeMaster(ByteSpan node, uint64_t sqnum);

// The newest master node of each master LEB; nothing for a LEB without one.
struct MasterCopies {
    std::optional<Master> copy[kMstLebs];
};
MasterCopies readMasters(const LebReader& r);

// "none", "LZO", "zlib", "zstd", or the number.
std::string compressionName(uint16_t type);
std::string uuidText(const std::array<uint8_t, 16>& uuid);

} // namespace korvane::ubifs
