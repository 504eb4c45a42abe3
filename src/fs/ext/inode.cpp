#include "inode.h"

#include <algorithm>

namespace korvane::ext2 {

namespace {

constexpr uint32_t kMaxNs = 999999999;

// A time word of the first 128 bytes and, when the inode has room for it,
// its extra word: the epoch bits extend the signed seconds past 2038, as the
// kernel decodes them.
int64_t decodeTime(ByteSpan raw, size_t at, size_t extraAt, uint16_t extraIsize, uint32_t& ns) {
    int64_t sec = static_cast<int32_t>(load32(raw.data() + at));
    ns = 0;
    if (kGoodOldInodeSize + extraIsize >= extraAt + 4) {
        const uint32_t extra = load32(raw.data() + extraAt);
        sec += int64_t{extra & kEpochMask} << 32;
        ns = std::min(extra >> 2, kMaxNs);
    }
    return sec;
}

} // namespace

std::array<std::byte, kBlockMapSize> Inode::blockBytes() const {
    std::array<std::byte, kBlockMapSize> out;
    for (size_t i = 0; i < kBlockSlots; ++i)
        store32(out.data() + 4 * i, blocks[i]);
    return out;
}

Inode loadInode(ByteSpan raw, const Superblock& s) {
    const std::byte* p = raw.data();
    Inode n;
    n.mode = load16(p + ino::kMode);
    n.uid = load16(p + ino::kUid) | uint32_t{load16(p + ino::kUidHigh)} << 16;
    n.size = load32(p + ino::kSize);
    n.dtime = load32(p + ino::kDtime);
    n.gid = load16(p + ino::kGid) | uint32_t{load16(p + ino::kGidHigh)} << 16;
    n.links = load16(p + ino::kLinks);
    n.sectors = load32(p + ino::kBlocks);
    n.flags = load32(p + ino::kFlags);
    n.fileAcl = load32(p + ino::kFileAcl);
    if (s.has(kIncompat64bit))
        n.fileAcl |= uint64_t{load16(p + ino::kFileAclHigh)} << 32;
    n.generation = load32(p + ino::kGeneration);
    for (size_t i = 0; i < kBlockSlots; ++i)
        n.blocks[i] = load32(p + ino::kBlockMap + 4 * i);
    if (raw.size() > kGoodOldInodeSize) {
        // The kernel refuses an inode whose extra size runs past it or is
        // not a multiple of 4; its extra fields are not read here either.
        const uint16_t extra = load16(p + ino::kExtraIsize);
        if (kGoodOldInodeSize + extra <= raw.size() && extra % 4 == 0)
            n.extraIsize = extra;
    }
    n.atime = decodeTime(raw, ino::kAtime, ino::kAtimeExtra, n.extraIsize, n.atimeNs);
    n.ctime = decodeTime(raw, ino::kCtime, ino::kCtimeExtra, n.extraIsize, n.ctimeNs);
    n.mtime = decodeTime(raw, ino::kMtime, ino::kMtimeExtra, n.extraIsize, n.mtimeNs);
    const uint32_t type = n.mode & 0170000;
    // Regular files always keep the high word of their size there (the
    // kernel reads it so); directories only since large_dir.
    if (type == 0100000 || (type == 0040000 && s.has(kIncompatLargeDir)))
        n.size |= uint64_t{load32(p + ino::kSizeHigh)} << 32;
    if (s.has(kRoCompatHugeFile)) {
        n.sectors |= uint64_t{load16(p + ino::kBlocksHigh)} << 32;
        if (n.flags & kInodeFlagHugeFile)
            n.sectors *= s.blockSize / 512;
    }
    return n;
}

bool isFastSymlink(const Inode& inode, const Superblock& s) {
    if ((inode.mode & 0170000) != 0120000 || inode.inlineData())
        return false;
    if (inode.flags & kInodeFlagEaInode)
        return inode.size != 0 && inode.size < kBlockMapSize;
    uint64_t eaSectors = inode.fileAcl ? s.blockSize / 512 : 0;
    return inode.sectors == eaSectors;
}

uint64_t maxFileSize(uint32_t blockSize) {
    const uint64_t p = blockSize / 4;
    return (kDirectBlocks + p + p * p + p * p * p) * blockSize;
}

uint64_t maxFileSize(const Inode& inode, uint32_t blockSize) {
    return inode.extents() ? (uint64_t{1} << 32) * blockSize : maxFileSize(blockSize);
}

} // namespace korvane::ext2
