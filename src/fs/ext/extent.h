// ext4 extent trees: a root of up to four entries in i_block, index blocks
// below it and extents at the leaves. Reading checks every node's header
// (magic, entries, room, depth one less than its parent's) before it is used;
// writing builds the tree of a file whose extents come in logical order.
#pragma once

#include "blockmap.h"
#include "model/message.h"

#include <optional>
#include <string>
#include <vector>

namespace korvane::ext2 {

class ExtentMapper final : public BlockMapper {
public:
    ExtentMapper(const BlockDevice& dev, const std::array<std::byte, kBlockMapSize>& root)
        : dev_(dev), root_(root) {}
    // Extents not yet written (uninitialised) read as holes of zeros.
    BlockRun lookup(uint64_t logical) const override;

private:
    const BlockDevice& dev_;
    std::array<std::byte, kBlockMapSize> root_;
    mutable Bytes scratch_;
};

// Walks the whole tree once, each block at most once, and says what is wrong
// with it: a bad header, entries out of order, a block outside the
// filesystem or named twice, a checksum that does not match (seed: the
// inode's checksum seed, when the filesystem has metadata_csum).
std::optional<Message> checkExtentTree(const BlockDevice& dev,
                                       const std::array<std::byte, kBlockMapSize>& root,
                                       std::optional<uint32_t> seed);

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
