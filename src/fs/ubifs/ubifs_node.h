// What every UBIFS node shares: keys, the common header and its CRC, and
// reading nodes out of the volume's LEBs, one at a place an index branch
// names or all of a LEB in turn (the log, the master area, the journal's
// buds).
#pragma once

#include "model/bytes.h"
#include "model/image_source.h"
#include "model/message.h"
#include "ubifs_format.h"

#include <cstdint>
#include <functional>
#include <optional>

namespace korvane::ubifs {

// A key as one number: inode << 32 | type << 29 | block or hash. Numeric
// order is the index's order.
using Key = uint64_t;

constexpr Key makeKey(uint32_t inum, uint8_t type, uint32_t low) {
    return uint64_t{inum} << 32 | uint64_t{type} << kKeyLowBits | (low & kKeyLowMask);
}
constexpr uint32_t keyInum(Key k) {
    return static_cast<uint32_t>(k >> 32);
}
constexpr uint8_t keyType(Key k) {
    return static_cast<uint8_t>((k >> kKeyLowBits) & 7);
}
constexpr uint32_t keyLow(Key k) {
    return static_cast<uint32_t>(k & kKeyLowMask);
}
// The first and last key of an inode.
constexpr Key firstKeyOf(uint32_t inum) {
    return uint64_t{inum} << 32;
}
constexpr Key lastKeyOf(uint32_t inum) {
    return uint64_t{inum} << 32 | 0xFFFFFFFFu;
}

inline Key loadKey(const std::byte* p) {
    return uint64_t{load32(p)} << 32 | load32(p + 4);
}
inline void storeKey(std::byte* p, Key k) {
    store32(p, keyInum(k));
    store32(p + 4, static_cast<uint32_t>(k));
}

// Where a node is.
struct NodeLoc {
    uint32_t lnum = 0;
    uint32_t offs = 0;
    uint32_t len = 0;

    friend bool operator==(const NodeLoc&, const NodeLoc&) = default;
};

// The CRC of a node: over its bytes from kCrcFrom to its end.
uint32_t nodeCrc(ByteSpan node);
// Fills in the common header of a node of node.size() bytes (magic, length,
// type, sequence number) and its CRC, for images made by the tests.
void sealNode(MutableByteSpan node, uint8_t type, uint64_t sqnum);

struct NodeHeader {
    uint64_t sqnum = 0;
    uint32_t len = 0;
    uint8_t type = 0;
};

// The common header at p (ch::kSize bytes) when its magic is right.
std::optional<NodeHeader> loadHeader(const std::byte* p);

// The volume's LEBs: LEB n is the lebSize bytes at n * lebSize of the
// source (a UBI volume, or an image made by mkfs.ubifs). LEBs past the end
// of the source read as erased flash.
class LebReader {
public:
    LebReader(const ImageSource& src, uint32_t lebSize, uint32_t lebCount);

    uint32_t lebSize() const { return lebSize_; }
    uint32_t lebCount() const { return lebCount_; }
    // Reads n bytes at offs of LEB lnum into out; false when they lie outside
    // the LEB or the volume.
    bool read(uint32_t lnum, uint32_t offs, MutableByteSpan out) const;
    // Reads the node at loc into buf (resized to loc.len) and checks it: the
    // magic, the length it claims against loc.len, the type when want is
    // given, and the CRC. Why it failed goes to why.
    bool readNode(const NodeLoc& loc, Bytes& buf, std::optional<uint8_t> want, Message* why) const;

    // The hook that lets a mapped image's pages go as nodes are read.
    std::function<void(uint64_t, uint64_t)> noteRead;

private:
    const ImageSource& src_;
    uint32_t lebSize_;
    uint32_t lebCount_;
};

// One node a LEB scan met.
struct ScannedNode {
    uint32_t offs = 0;
    NodeHeader header;
    ByteSpan bytes; // the whole node, valid during the callback
};

struct LebScan {
    uint32_t end = 0;  // where the nodes end
    bool clean = true; // everything after them is erased flash
    uint32_t nodes = 0;
};

// Walks the nodes of LEB lnum from offs: nodes with a good CRC, padding
// nodes and padding bytes, up to erased flash or the first thing that is
// none of these. fn returns false to stop early.
LebScan scanLeb(const LebReader& r, uint32_t lnum, uint32_t offs,
                const std::function<bool(const ScannedNode&)>& fn);

} // namespace korvane::ubifs
