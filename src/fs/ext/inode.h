// Inodes: the fields the reader uses, decoded from the whole on-disk inode
// (the first 128 bytes and, where i_extra_isize leaves room, the extra time
// words), and how an inode's contents are found.
#pragma once

#include "superblock.h"

#include <array>
#include <cstdint>

namespace korvane::ext2 {

struct Inode {
    uint16_t mode = 0;
    uint32_t uid = 0; // with the high word of osd2
    uint64_t size = 0;
    int64_t atime = 0; // signed 32-bit seconds, plus the extra epoch bits
    int64_t ctime = 0;
    int64_t mtime = 0;
    uint32_t atimeNs = 0;
    uint32_t ctimeNs = 0;
    uint32_t mtimeNs = 0;
    uint32_t dtime = 0;
    uint32_t gid = 0;
    uint16_t links = 0;
    uint64_t sectors = 0; // i_blocks in 512-byte units
    uint32_t flags = 0;
    uint64_t fileAcl = 0; // attribute block, with the high word on 64bit
    uint32_t generation = 0;
    // Bytes of the large inode in use past the first 128; 0 for 128-byte
    // inodes and when the stored value is impossible.
    uint16_t extraIsize = 0;
    std::array<uint32_t, kBlockSlots> blocks{};

    bool extents() const { return (flags & kInodeFlagExtents) != 0; }
    bool inlineData() const { return (flags & kInodeFlagInlineData) != 0; }
    // i_block as the bytes it holds (an extent root, a short link target).
    std::array<std::byte, kBlockMapSize> blockBytes() const;
};

// Decodes an inode; raw holds the whole on-disk inode (s.inodeSize bytes).
Inode loadInode(ByteSpan raw, const Superblock& s);

// A symbolic link keeps its target inside the block map when it has no data
// blocks of its own (an extended-attribute block does not count), as the
// kernel decides.
bool isFastSymlink(const Inode& inode, const Superblock& s);

// The largest file size the block map of a block size can address.
uint64_t maxFileSize(uint32_t blockSize);
// The largest a file of this inode's kind can be (extents address 2^32 blocks).
uint64_t maxFileSize(const Inode& inode, uint32_t blockSize);

} // namespace korvane::ext2
