#include "extent.h"

#include "csum.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace korvane::ext2 {

namespace {

struct Header {
    uint16_t entries = 0;
    uint16_t depth = 0;
};

// The node's header when it is sound: the magic, no more entries than its
// maximum, a maximum that fits the node, the depth expected of it.
std::optional<Header> header(ByteSpan node, std::optional<uint16_t> depth, Message* why) {
    const std::byte* p = node.data();
    const uint16_t entries = load16(p + ext::kEntries);
    const uint16_t max = load16(p + ext::kMax);
    const uint16_t d = load16(p + ext::kDepth);
    Message wrong;
    if (load16(p + ext::kMagicAt) != ext::kMagic)
        wrong = msg("no extent header magic");
    else if (entries > max || ext::kHeaderSize + ext::kEntrySize * size_t{max} > node.size())
        wrong = msg("more entries than the node holds");
    else if (d > ext::kMaxDepth || (depth && d != *depth))
        wrong = msg("a depth that does not fit the tree");
    if (!wrong.empty()) {
        if (why)
            *why = std::move(wrong);
        return std::nullopt;
    }
    return Header{entries, d};
}

const std::byte* entry(ByteSpan node, size_t i) {
    return node.data() + ext::kHeaderSize + ext::kEntrySize * i;
}

uint32_t firstBlock(ByteSpan node, size_t i) {
    return load32(entry(node, i) + ext::kBlock);
}

uint64_t childBlock(const std::byte* e) {
    return load32(e + ext::kLeafLo) | uint64_t{load16(e + ext::kLeafHi)} << 32;
}

struct Extent {
    uint64_t first;
    uint64_t length;
    uint64_t start;
    bool uninit;
};

Extent extentAt(ByteSpan node, size_t i) {
    const std::byte* e = entry(node, i);
    uint32_t len = load16(e + ext::kLen);
    const bool uninit = len > ext::kInitMaxLen;
    if (uninit)
        len -= ext::kInitMaxLen;
    return {load32(e + ext::kBlock), len,
            load32(e + ext::kStartLo) | uint64_t{load16(e + ext::kStartHi)} << 32, uninit};
}

// The last entry whose first block is at or below logical, or entries when
// none is.
size_t lastAtOrBelow(ByteSpan node, size_t entries, uint64_t logical) {
    size_t lo = 0, hi = entries;
    while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (firstBlock(node, mid) <= logical)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo == 0 ? entries : lo - 1;
}

} // namespace

BlockRun ExtentMapper::lookup(uint64_t logical) const {
    ByteSpan node(root_.data(), root_.size());
    std::optional<uint16_t> depth;
    // Where the part of the tree being descended ends: the next entry of an
    // upper level starts there.
    uint64_t limit = kEndlessHole + logical;
    auto hole = [&](uint64_t until) { return BlockRun{0, std::max<uint64_t>(1, until - logical)}; };
    for (;;) {
        const std::optional<Header> h = header(node, depth, nullptr);
        if (!h)
            return hole(limit);
        const size_t i = lastAtOrBelow(node, h->entries, logical);
        const size_t next = i == h->entries ? 0 : i + 1;
        if (next < h->entries)
            limit = std::min<uint64_t>(limit, firstBlock(node, next));
        if (i == h->entries)
            return hole(limit);
        if (h->depth == 0) {
            const Extent x = extentAt(node, i);
            if (logical >= x.first + x.length)
                return hole(limit);
            const uint64_t count = std::min(x.first + x.length, limit) - logical;
            if (x.uninit || x.start == 0)
                return {0, count};
            return {x.start + (logical - x.first), count};
        }
        if (scratch_.empty())
            scratch_.resize(dev_.blockSize());
        node = dev_.block(childBlock(entry(node, i)), scratch_.data());
        if (node.empty())
            return hole(limit);
        depth = static_cast<uint16_t>(h->depth - 1);
    }
}

std::optional<Message> checkExtentTree(const BlockDevice& dev,
                                       const std::array<std::byte, kBlockMapSize>& root,
                                       std::optional<uint32_t> seed) {
    struct Pending {
        uint64_t block; // 0: the root
        uint16_t depth;
        uint64_t from; // the parent's first logical block for this node
    };
    std::vector<Pending> stack;
    std::unordered_set<uint64_t> seen;
    Bytes scratch;
    Message why;
    // Checks one node; its children go on the stack.
    auto check = [&](const Pending& p) -> std::optional<Message> {
        ByteSpan node(root.data(), root.size());
        const Message where = p.block ? msg("extent block %1", p.block) : msg("the extent root");
        if (p.block != 0) {
            if (!dev.inside(p.block))
                return msg("%1 lies outside the filesystem", where);
            if (!seen.insert(p.block).second)
                return msg("%1 is named twice in the tree", where);
            scratch.resize(dev.blockSize());
            node = dev.block(p.block, scratch.data());
        }
        const auto h =
            header(node, p.block ? std::optional<uint16_t>(p.depth) : std::nullopt, &why);
        if (!h)
            return msg("%1 has %2", where, why);
        if (p.block != 0 && seed && !extentBlockChecksumOk(*seed, node))
            return msg("%1 fails its checksum", where);
        uint64_t prevEnd = p.from;
        for (size_t i = 0; i < h->entries; ++i) {
            const uint64_t first = firstBlock(node, i);
            if (first < prevEnd)
                return msg("%1 holds entries out of order", where);
            if (h->depth == 0) {
                const Extent x = extentAt(node, i);
                if (x.start == 0 || x.start + x.length > dev.blocksCount())
                    return msg("%1 maps blocks outside the filesystem", where);
                prevEnd = first + x.length;
            } else {
                const uint64_t child = childBlock(entry(node, i));
                if (child == 0)
                    return msg("%1 names block 0", where);
                stack.push_back({child, static_cast<uint16_t>(h->depth - 1), first});
                prevEnd = first + 1;
            }
        }
        return std::nullopt;
    };
    if (auto problem = check({0, 0, 0}))
        return problem;
    while (!stack.empty()) {
        const Pending p = stack.back();
        stack.pop_back();
        if (auto problem = check(p))
            return problem;
    }
    return std::nullopt;
}

} // namespace korvane::ext2
