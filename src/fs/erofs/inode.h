// EROFS inodes, compact (32 bytes) and extended (64 bytes): decoded for
// reading, encoded for writing.
#pragma once

#include "erofs_format.h"
#include "super.h"

#include <cstdint>

namespace korvane::erofs {

struct Inode {
    uint64_t nid = 0;
    bool extended = false;
    uint8_t layout = kFlatPlain;
    uint16_t format = 0;
    uint16_t xattrCount = 0; // i_xattr_icount
    uint32_t mode = 0;
    uint32_t nlink = 1;
    uint64_t size = 0;
    uint32_t u = 0; // start block, compressed block count, rdev or chunk format
    uint32_t ino = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    int64_t mtime = 0;
    uint32_t mtimeNs = 0;

    // The format word, and what it says: compact or extended, and the layout.
    void setFormat(uint16_t f) {
        format = f;
        extended = (f & kFormatExtended) != 0;
        layout = static_cast<uint8_t>((f >> kFormatLayoutShift) & kFormatLayoutMask);
    }
    uint32_t inodeSize() const { return extended ? ie::kRecordSize : ic::kRecordSize; }
    // Bytes of the inline attributes after the inode.
    uint32_t xattrSize() const { return xattrCount ? xh::kRecordSize + (xattrCount - 1u) * 4 : 0; }
    // Where what follows the inode and its attributes begins (tail data,
    // map header, chunk map), as an offset in the image.
    uint64_t bodyEnd(const Superblock& s) const {
        return s.inodeOffset(nid) + inodeSize() + xattrSize();
    }
    bool compressed() const { return layout == kCompressedFull || layout == kCompressedCompact; }
};

// Decodes the inode at nid from bytes (at least 32 bytes; 64 when the format
// word says extended). Throws Error naming the nid when its format is
// unknown or the bytes are too few.
Inode decodeInode(uint64_t nid, ByteSpan bytes, const Superblock& s);

// The size of an inode's format word says: 32 or 64 bytes.
size_t inodeRecordSize(ByteSpan first2);

// Encodes inode into out (32 or 64 bytes, as inode.extended says). A
// compact inode's time must be the epoch (its i_mtime is written 0, which
// every kernel reads as the build time).
void encodeInode(const Inode& inode, std::byte* out);

} // namespace korvane::erofs
