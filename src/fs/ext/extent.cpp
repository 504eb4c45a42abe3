#include "extent.h"

#include "csum.h"

#include <algorithm>
#include <unordered_set>
#include <vector>

namespace korvane::ext2 {

namespace {

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

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
        if (p.block != 0 && seed && !csum::extentBlockOk(*seed, node))
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

uint64_t ExtentTreeBlocks(uint64_t extents, uint32_t blockSize) {
    const uint64_t perBlock = (blockSize - ext::kHeaderSize) / ext::kEntrySize;
    const uint64_t inInode = (kBlockMapSize - ext::kHeaderSize) / ext::kEntrySize;
    uint64_t blocks = 0;
    for (uint64_t n = extents; n > inInode;) {
        n = ceilDiv(n, perBlock);
        blocks += n;
    }
    return blocks;
}

namespace {

void putHeader(std::byte* h, size_t entries, size_t max, uint16_t depth) {
    store16(h + ext::kMagicAt, ext::kMagic);
    store16(h + ext::kEntries, static_cast<uint16_t>(entries));
    store16(h + ext::kMax, static_cast<uint16_t>(max));
    store16(h + ext::kDepth, depth);
    store32(h + ext::kGeneration, 0);
}

void putExtent(std::byte* e, const ExtentRun& r) {
    store32(e + ext::kBlock, r.logical);
    store16(e + ext::kLen, static_cast<uint16_t>(r.len));
    store16(e + ext::kStartHi, 0);
    store32(e + ext::kStartLo, r.physical);
}

void putIndex(std::byte* e, uint32_t logical, uint32_t child) {
    store32(e + ext::kBlock, logical);
    store32(e + ext::kLeafLo, child);
    store16(e + ext::kLeafHi, 0);
    store16(e + ext::kIndexUnused, 0);
}

} // namespace

uint64_t WriteExtentTree(const std::vector<ExtentRun>& runs, std::byte* slots, uint32_t blockSize,
                         const NextBlockFn& next, const WriteBlockFn& write,
                         std::optional<uint32_t> csumSeed) {
    const size_t perBlock = (blockSize - ext::kHeaderSize) / ext::kEntrySize;
    const size_t inInode = (kBlockMapSize - ext::kHeaderSize) / ext::kEntrySize;
    std::fill_n(slots, kBlockMapSize, std::byte{0});
    if (runs.size() <= inInode) {
        putHeader(slots, runs.size(), inInode, 0);
        for (size_t i = 0; i < runs.size(); ++i)
            putExtent(slots + ext::kHeaderSize + i * ext::kEntrySize, runs[i]);
        return 0;
    }
    // One level at a time from the leaves up: (first logical block, block).
    struct Child {
        uint32_t logical;
        uint32_t block;
    };
    std::vector<Child> level;
    uint64_t written = 0;
    Bytes buf(blockSize);
    auto emit = [&](size_t entries, uint16_t depth, auto&& fill) {
        std::fill(buf.begin(), buf.end(), std::byte{0});
        putHeader(buf.data(), entries, perBlock, depth);
        fill(buf.data() + ext::kHeaderSize);
        const uint32_t b = next();
        if (csumSeed)
            csum::setExtentBlock(buf.data(), blockSize, *csumSeed);
        write(b, buf);
        ++written;
        return b;
    };
    for (size_t at = 0; at < runs.size(); at += perBlock) {
        const size_t n = std::min(perBlock, runs.size() - at);
        const uint32_t b = emit(n, 0, [&](std::byte* e) {
            for (size_t i = 0; i < n; ++i)
                putExtent(e + i * ext::kEntrySize, runs[at + i]);
        });
        level.push_back({runs[at].logical, b});
    }
    uint16_t depth = 1;
    while (level.size() > inInode) {
        std::vector<Child> up;
        for (size_t at = 0; at < level.size(); at += perBlock) {
            const size_t n = std::min(perBlock, level.size() - at);
            const uint32_t b = emit(n, depth, [&](std::byte* e) {
                for (size_t i = 0; i < n; ++i)
                    putIndex(e + i * ext::kEntrySize, level[at + i].logical, level[at + i].block);
            });
            up.push_back({level[at].logical, b});
        }
        level = std::move(up);
        ++depth;
    }
    putHeader(slots, level.size(), inInode, depth);
    for (size_t i = 0; i < level.size(); ++i)
        putIndex(slots + ext::kHeaderSize + i * ext::kEntrySize, level[i].logical, level[i].block);
    return written;
}

} // namespace korvane::ext2
