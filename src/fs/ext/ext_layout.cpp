#include "ext_layout.h"

#include "model/error.h"
#include "superblock.h"

#include <algorithm>

namespace korvane::ext2 {

namespace {

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

} // namespace

const char* kindName(ExtKind kind) {
    switch (kind) {
    case ExtKind::kExt2:
        return "EXT2";
    case ExtKind::kExt3:
        return "EXT3";
    case ExtKind::kExt4:
        return "EXT4";
    }
    return "EXT";
}

uint32_t Geometry::groupCount() const {
    if (blocksCount <= firstDataBlock())
        return 0;
    return static_cast<uint32_t>(ceilDiv(blocksCount - firstDataBlock(), blocksPerGroup()));
}

uint32_t Geometry::descriptorBlocks() const {
    return static_cast<uint32_t>(ceilDiv(uint64_t{groupCount()} * kDescSize, blockSize));
}

uint32_t Geometry::descriptorArea() const {
    return style == LayoutStyle::kEveryGroup ? std::max<uint32_t>(4, descriptorBlocks())
                                             : descriptorBlocks();
}

uint64_t Geometry::groupBlocks(uint32_t g) const {
    const uint64_t first = groupFirst(g);
    return std::min<uint64_t>(blocksPerGroup(), blocksCount - first);
}

bool Geometry::groupHasSuper(uint32_t g) const {
    return ext2::groupHasSuper(compat, roCompat, {}, g);
}

Layout::Layout(const Geometry& geo) : geo_(geo) {
    const uint32_t groups = geo_.groupCount();
    if (groups == 0) {
        error_ = msg("no block groups");
        return;
    }
    groups_.resize(groups);
    if (geo_.style == LayoutStyle::kEveryGroup)
        placeEveryGroup();
    else
        placeStandard();
    if (!error_.empty())
        return;
    std::sort(reserved_.begin(), reserved_.end(),
              [](const BlockRange& a, const BlockRange& b) { return a.first < b.first; });
    for (const BlockRange& r : reserved_) {
        reservedAll_ += r.count;
        if (r.inUse)
            metadata_ += r.count;
    }
}

void Layout::reserve(uint64_t first, uint64_t count, bool inUse) {
    if (count > 0)
        reserved_.push_back({first, count, inUse});
}

uint64_t Layout::superblockOffset(uint32_t g) const {
    if (g == 0)
        return kSuperblockOffset;
    return geo_.groupFirst(g) * geo_.blockSize;
}

void Layout::placeEveryGroup() {
    const uint32_t area = geo_.descriptorArea();
    const uint32_t used = geo_.descriptorBlocks();
    const uint64_t head = 1 + area + 2 + geo_.inodeTableBlocks();
    for (uint32_t g = 0; g < groups_.size(); ++g) {
        const uint64_t first = geo_.groupFirst(g);
        if (geo_.groupBlocks(g) < head) {
            error_ = msg("the last block group is too small for its metadata");
            return;
        }
        reserve(first, 1 + used);
        reserve(first + 1 + used, area - used, false);
        groups_[g] = {first + 1 + area, first + 2 + area, first + 3 + area};
        reserve(first + 1 + area, 2 + geo_.inodeTableBlocks());
    }
}

// The first block at or after hint from which count blocks are free of every
// superblock copy and of what was placed before (which always lies below hint).
uint64_t Layout::place(uint64_t hint, uint64_t count) {
    auto it = std::upper_bound(backups_.begin(), backups_.end(), hint,
                               [](uint64_t h, const BlockRange& r) { return h < r.end(); });
    while (it != backups_.end() && it->first < hint + count) {
        hint = std::max(hint, it->end());
        ++it;
    }
    return hint;
}

void Layout::placeStandard() {
    const uint32_t groups = static_cast<uint32_t>(groups_.size());
    const uint32_t desc = geo_.descriptorBlocks();
    const uint32_t itb = geo_.inodeTableBlocks();
    // Without meta_bg every copy of the descriptor table lies in one group.
    if (1 + uint64_t{desc} >= geo_.blocksPerGroup()) {
        error_ = msg("the descriptor table does not fit a block group");
        return;
    }
    for (uint32_t g = 0; g < groups; ++g)
        if (geo_.groupHasSuper(g))
            backups_.push_back({geo_.groupFirst(g), 1 + uint64_t{desc}, true});
    for (const BlockRange& r : backups_)
        reserve(r.first, r.count);

    if (!geo_.has(kIncompatFlexBg)) {
        for (uint32_t g = 0; g < groups; ++g) {
            const uint64_t first = geo_.groupFirst(g);
            const uint64_t start = first + (geo_.groupHasSuper(g) ? 1 + desc : 0);
            if (start + 2 + itb > first + geo_.groupBlocks(g)) {
                error_ = msg("the last block group is too small for its metadata");
                return;
            }
            groups_[g] = {start, start + 1, start + 2};
            reserve(start, 2 + uint64_t{itb});
        }
        return;
    }
    // Flex groups: the block bitmaps of all its groups, then their inode
    // bitmaps, then their inode tables, from the start of its first group on.
    const uint32_t flex = 1u << geo_.logGroupsPerFlex;
    uint64_t cursor = 0;
    for (uint32_t lead = 0; lead < groups; lead += flex) {
        const uint32_t n = std::min(flex, groups - lead);
        cursor = std::max(cursor, geo_.groupFirst(lead));
        uint64_t at = place(cursor, n);
        for (uint32_t i = 0; i < n; ++i)
            groups_[lead + i].blockBitmap = at + i;
        reserve(at, n);
        at = place(at + n, n);
        for (uint32_t i = 0; i < n; ++i)
            groups_[lead + i].inodeBitmap = at + i;
        reserve(at, n);
        at += n;
        for (uint32_t i = 0; i < n; ++i) {
            at = place(at, itb);
            groups_[lead + i].inodeTable = at;
            reserve(at, itb);
            at += itb;
        }
        cursor = at;
        if (cursor > geo_.blocksCount) {
            error_ = msg("the inode tables do not fit the image");
            return;
        }
    }
}

BlockAllocator::BlockAllocator(uint64_t blocksCount, std::vector<BlockRange> reserved,
                               uint64_t from)
    : blocksCount_(blocksCount), reserved_(std::move(reserved)) {
    // The first block from `from` on that no reserved range covers.
    uint64_t b = std::max<uint64_t>(from, 1);
    for (const BlockRange& r : reserved_)
        if (r.first <= b && r.end() > b)
            b = r.end();
    start_ = b;
    cursor_ = b - 1;
}

BlockAllocator::BlockAllocator(uint64_t blocksCount, uint32_t metadataBlocks)
    : BlockAllocator(
          blocksCount,
          [&] {
              std::vector<BlockRange> r;
              for (uint64_t first = 1; first < blocksCount; first += 8192)
                  r.push_back({first, metadataBlocks, true});
              return r;
          }(),
          1) {}

uint32_t BlockAllocator::NextBlock() {
    uint64_t b = cursor_ + 1;
    while (next_ < reserved_.size() && reserved_[next_].end() <= b)
        ++next_;
    while (next_ < reserved_.size() && reserved_[next_].first <= b) {
        b = reserved_[next_].end();
        ++next_;
    }
    if (b >= blocksCount_)
        throw Error(msg("the planned image is too small: block %1 lies past its %2 blocks", b,
                        blocksCount_));
    cursor_ = b;
    return static_cast<uint32_t>(b);
}

} // namespace korvane::ext2
