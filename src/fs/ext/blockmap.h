// Blocks and how files map onto them, both ways. BlockDevice serves the
// filesystem's blocks from an image source; a BlockMapper turns a file's
// logical blocks into runs of physical blocks or holes, whether the inode
// holds an EXT2/3 block map (IndirectMapper) or an extent tree (ExtentMapper,
// extent.h), so that readers never ask which. BlockMapBuilder writes the
// EXT2/3 block map of a file whose data blocks are handed out in logical
// order, holes left unmapped.
#pragma once

#include "ext2_format.h"
#include "model/bytes.h"
#include "model/image_source.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace korvane::ext2 {

class BlockDevice {
public:
    BlockDevice(const ImageSource& src, uint32_t blockSize, uint64_t blocksCount)
        : src_(&src), blockSize_(blockSize), blocksCount_(blocksCount) {}

    uint32_t blockSize() const { return blockSize_; }
    uint64_t blocksCount() const { return blocksCount_; }
    const ImageSource& source() const { return *src_; }
    // Whether block b is part of the filesystem and wholly inside the image.
    bool inside(uint64_t b) const {
        return b != 0 && b < blocksCount_ && (b + 1) * blockSize_ <= src_->size();
    }
    // The bytes of block b: a pointer into the image where it lies in memory,
    // otherwise copied into scratch (blockSize bytes). Empty when !inside(b).
    ByteSpan block(uint64_t b, std::byte* scratch) const {
        return inside(b) ? view(*src_, b * blockSize_, blockSize_, scratch) : ByteSpan{};
    }
    // Copies out.size() bytes starting at byte `within` of block b; bytes of
    // blocks outside the filesystem read as zeros.
    void read(uint64_t b, uint64_t within, MutableByteSpan out) const;

private:
    const ImageSource* src_;
    uint32_t blockSize_;
    uint64_t blocksCount_;
};

// count logical blocks from the one asked for: mapped to count consecutive
// physical blocks from physical, or a hole (physical 0) that reads as zeros.
struct BlockRun {
    uint64_t physical = 0;
    uint64_t count = 1;
};

// Longest hole a lookup reports: as good as "to the end".
constexpr uint64_t kEndlessHole = uint64_t{1} << 40;

class BlockMapper {
public:
    virtual ~BlockMapper() = default;
    // The run starting at logical block `logical` (count >= 1). Damage in
    // the map reads as a hole.
    virtual BlockRun lookup(uint64_t logical) const = 0;
};

// The EXT2/3 block map: 12 direct blocks, then single, double and triple
// indirect blocks.
class IndirectMapper final : public BlockMapper {
public:
    IndirectMapper(const BlockDevice& dev, const std::array<uint32_t, kBlockSlots>& map)
        : dev_(dev), map_(map) {}
    BlockRun lookup(uint64_t logical) const override;

private:
    const BlockDevice& dev_;
    std::array<uint32_t, kBlockSlots> map_;
    mutable Bytes scratch_;
};

// The run in an array of n little-endian block numbers starting at index i:
// equal zeros, or numbers each one above the last.
BlockRun runInArray(const std::byte* words, size_t i, size_t n);

// Logical blocks [first, end) of a file that hold data.
struct BlockSpan {
    uint64_t first = 0;
    uint64_t end = 0;
};

// The indirect blocks a block map needs for the data blocks of spans
// (ascending, not overlapping) with blockSize / 4 numbers a block.
uint64_t IndirectBlocksFor(const std::vector<BlockSpan>& spans, uint32_t blockSize);

// Hands out a new block.
using NextBlockFn = std::function<uint32_t()>;
// Writes a finished metadata block.
using WriteBlockFn = std::function<void(uint32_t block, ByteSpan bytes)>;

// Builds one file's block map. Each indirect block is allocated just before
// the first block it lists, so a dense file's map and data interleave as the
// kernel's allocator lays them out.
class BlockMapBuilder {
public:
    BlockMapBuilder(uint32_t blockSize, NextBlockFn next, WriteBlockFn write);

    // Maps logical block `logical` (above every block mapped before) and
    // returns the new data block.
    uint32_t map(uint64_t logical);
    // Writes the indirect blocks still open and fills the 15 slots.
    void finish(std::byte* slots);
    uint64_t indirectBlocks() const { return indirect_; }

private:
    struct Open {
        bool valid = false;
        uint64_t key = 0;
        uint32_t block = 0;
        Bytes bytes;
    };
    void close(size_t from);

    uint32_t blockSize_;
    uint64_t perBlock_;
    NextBlockFn next_;
    WriteBlockFn write_;
    uint32_t slots_[15] = {};
    Open open_[3];
    uint64_t indirect_ = 0;
};

} // namespace korvane::ext2
