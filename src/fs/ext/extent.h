// ext4 extent trees: a root of up to four entries in i_block, index blocks
// below it and extents at the leaves. Every node's header is checked (magic,
// entries, room, depth one less than its parent's) before it is used.
#pragma once

#include "blockmap.h"
#include "model/message.h"

#include <optional>
#include <string>

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

} // namespace korvane::ext2
