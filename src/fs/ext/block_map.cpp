#include "block_map.h"

#include "ext2_format.h"
#include "ext_csum.h"

#include <algorithm>

namespace korvane::ext2 {

namespace {

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

// Where a logical block sits in a block map: its slot, and the index in each
// indirect block on the way down (depth of them).
struct MapPath {
    size_t slot = 0;
    int depth = 0;
    uint64_t index[3] = {};
};

MapPath pathOf(uint64_t l, uint64_t p) {
    MapPath m;
    if (l < kDirectBlocks) {
        m.slot = static_cast<size_t>(l);
        return m;
    }
    l -= kDirectBlocks;
    if (l < p) {
        m.slot = kIndirectSlot;
        m.depth = 1;
        m.index[0] = l;
        return m;
    }
    l -= p;
    if (l < p * p) {
        m.slot = kDoubleSlot;
        m.depth = 2;
        m.index[0] = l / p;
        m.index[1] = l % p;
        return m;
    }
    l -= p * p;
    m.slot = kTripleSlot;
    m.depth = 3;
    m.index[0] = l / (p * p);
    m.index[1] = (l / p) % p;
    m.index[2] = l % p;
    return m;
}

} // namespace

uint64_t IndirectBlocksFor(const std::vector<BlockSpan>& spans, uint32_t blockSize) {
    const uint64_t p = blockSize / 4;
    struct Level {
        uint64_t base, length, grain;
    };
    // Every indirect block stands for a run of `grain` logical blocks of its
    // region; count the runs the spans touch.
    const uint64_t single = kDirectBlocks, dbl = single + p, triple = dbl + p * p;
    const Level levels[] = {{single, p, p},
                            {dbl, p * p, p * p},
                            {dbl, p * p, p},
                            {triple, p * p * p, p * p * p},
                            {triple, p * p * p, p * p},
                            {triple, p * p * p, p}};
    uint64_t count = 0;
    for (const Level& lv : levels) {
        bool seen = false;
        uint64_t lastKey = 0;
        for (const BlockSpan& s : spans) {
            const uint64_t a = std::max(s.first, lv.base);
            const uint64_t b = std::min(s.end, lv.base + lv.length);
            if (a >= b)
                continue;
            const uint64_t k1 = (a - lv.base) / lv.grain, k2 = (b - 1 - lv.base) / lv.grain;
            count += k2 - k1 + 1 - (seen && k1 == lastKey ? 1 : 0);
            seen = true;
            lastKey = k2;
        }
    }
    return count;
}

BlockMapBuilder::BlockMapBuilder(uint32_t blockSize, NextBlockFn next, WriteBlockFn write)
    : blockSize_(blockSize), perBlock_(blockSize / 4), next_(std::move(next)),
      write_(std::move(write)) {}

void BlockMapBuilder::close(size_t from) {
    for (size_t k = 3; k-- > from;) {
        if (open_[k].valid)
            write_(open_[k].block, open_[k].bytes);
        open_[k].valid = false;
    }
}

uint32_t BlockMapBuilder::map(uint64_t logical) {
    const MapPath m = pathOf(logical, perBlock_);
    if (m.depth == 0) {
        close(0);
        slots_[m.slot] = next_();
        return slots_[m.slot];
    }
    // The indirect block at level k is named by the slot and the indices
    // above it.
    uint64_t key = m.slot;
    for (int k = 0; k < m.depth; ++k) {
        if (k > 0)
            key = key * perBlock_ + m.index[k - 1] + 1;
        Open& o = open_[k];
        if (o.valid && o.key == key)
            continue;
        close(static_cast<size_t>(k));
        o.valid = true;
        o.key = key;
        o.block = next_();
        o.bytes.assign(blockSize_, std::byte{0});
        ++indirect_;
        if (k == 0)
            slots_[m.slot] = o.block;
        else
            store32(open_[k - 1].bytes.data() + 4 * m.index[k - 1], o.block);
    }
    const uint32_t data = next_();
    store32(open_[m.depth - 1].bytes.data() + 4 * m.index[m.depth - 1], data);
    return data;
}

void BlockMapBuilder::finish(std::byte* slots) {
    close(0);
    for (size_t i = 0; i < kBlockSlots; ++i)
        store32(slots + 4 * i, slots_[i]);
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
    store32(h + 8, 0); // generation
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
    store16(e + 10, 0);
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
