#include "blockmap.h"

#include <algorithm>
#include <cstring>

namespace korvane::ext2 {

void BlockDevice::read(uint64_t b, uint64_t within, MutableByteSpan out) const {
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t at = within + done;
        const uint64_t block = b + at / blockSize_;
        // Blocks inside the filesystem are copied in one piece up to its end.
        uint64_t n = out.size() - done;
        if (block != 0 && block < blocksCount_) {
            n = std::min(n, (blocksCount_ - block) * blockSize_ - at % blockSize_);
            src_->read(block * blockSize_ + at % blockSize_, out.subspan(done, n));
        } else {
            n = std::min<uint64_t>(n, blockSize_ - at % blockSize_);
            std::memset(out.data() + done, 0, n);
        }
        done += n;
    }
}

BlockRun runInArray(const std::byte* words, size_t i, size_t n) {
    const uint32_t first = load32(words + 4 * i);
    size_t k = i + 1;
    if (first == 0) {
        while (k < n && load32(words + 4 * k) == 0)
            ++k;
    } else {
        while (k < n && load32(words + 4 * k) == first + (k - i))
            ++k;
    }
    return {first, k - i};
}

BlockRun IndirectMapper::lookup(uint64_t logical) const {
    if (logical < kDirectBlocks) {
        std::byte direct[4 * kDirectBlocks];
        for (size_t i = 0; i < kDirectBlocks; ++i)
            store32(direct + 4 * i, map_[i]);
        return runInArray(direct, logical, kDirectBlocks);
    }
    logical -= kDirectBlocks;
    const uint64_t per = dev_.blockSize() / 4;
    uint64_t span = per;
    size_t level = 1;
    while (level <= 3 && logical >= span) {
        logical -= span;
        span *= per;
        ++level;
    }
    if (level > 3)
        return {0, kEndlessHole};
    if (scratch_.empty())
        scratch_.resize(dev_.blockSize());
    // span: the blocks below the pointer being followed; logical: the
    // position within them.
    uint64_t b = map_[kIndirectSlot + level - 1];
    for (size_t l = level; l >= 1; --l) {
        const ByteSpan p = dev_.block(b, scratch_.data());
        if (p.empty())
            return {0, span - logical};
        span /= per;
        const size_t index = static_cast<size_t>(logical / span);
        if (l == 1)
            return runInArray(p.data(), index, static_cast<size_t>(per));
        b = load32(p.data() + 4 * index);
        logical %= span;
    }
    return {0, 1};
}

namespace {

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

} // namespace korvane::ext2
