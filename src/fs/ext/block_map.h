// File mappings of the images Korvane writes: the block maps of EXT2/EXT3
// (twelve direct blocks, then single, double and triple indirect blocks) and
// the extent trees of ext4, built for files whose data blocks are handed out
// in logical order, holes left unmapped.
#pragma once

#include "model/bytes.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvane::ext2 {

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

// One extent: len (at most 32768) blocks from logical on, at physical.
struct ExtentRun {
    uint32_t logical = 0;
    uint32_t physical = 0;
    uint32_t len = 0;
};

// Extent tree blocks (leaves and index blocks) for a file of `extents`
// extents; none when the inode's four slots hold them.
uint64_t ExtentTreeBlocks(uint64_t extents, uint32_t blockSize);

// Writes the extent tree of runs: the root into the 60 bytes at slots, its
// blocks (allocated after the data, leaves first) through write, each with
// its checksum when csumSeed is given. Returns the tree blocks.
uint64_t WriteExtentTree(const std::vector<ExtentRun>& runs, std::byte* slots, uint32_t blockSize,
                         const NextBlockFn& next, const WriteBlockFn& write,
                         std::optional<uint32_t> csumSeed);

} // namespace korvane::ext2
