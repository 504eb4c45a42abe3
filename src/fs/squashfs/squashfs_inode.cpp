#include "squashfs_inode.h"

#include "model/entry.h"

#include <algorithm>

namespace korvane::squashfs {

namespace {

// The bytes of the fixed part of each type, the common part included.
size_t fixedSize(uint16_t type) {
    switch (type) {
    case kDir:
        return dir::kSize;
    case kExtDir:
        return xdir::kSize;
    case kFile:
        return file::kSize;
    case kExtFile:
        return xfile::kSize;
    case kSymlink:
    case kExtSymlink:
        return link::kSize;
    case kBlockDev:
    case kCharDev:
        return dev::kSize;
    case kExtBlockDev:
    case kExtCharDev:
        return dev::kExtSize;
    case kFifo:
    case kSocket:
        return ipc::kSize;
    case kExtFifo:
    case kExtSocket:
        return ipc::kExtSize;
    default:
        return 0;
    }
}

void decodeFixed(const std::byte* p, InodeInfo& i) {
    switch (i.type) {
    case kDir:
        i.listingBlock = load32(p + dir::kStartBlock);
        i.nlink = load32(p + dir::kNlink);
        i.size = load16(p + dir::kFileSize);
        i.listingOffset = load16(p + dir::kOffset);
        i.parent = load32(p + dir::kParent);
        break;
    case kExtDir:
        i.nlink = load32(p + xdir::kNlink);
        i.size = load32(p + xdir::kFileSize);
        i.listingBlock = load32(p + xdir::kStartBlock);
        i.parent = load32(p + xdir::kParent);
        i.listingOffset = load16(p + xdir::kOffset);
        i.xattr = load32(p + xdir::kXattr);
        break;
    case kFile:
        i.blocksStart = load32(p + file::kBlocksStart);
        i.fragment = load32(p + file::kFragment);
        i.fragmentOffset = load32(p + file::kFragmentOffset);
        i.size = load32(p + file::kFileSize);
        break;
    case kExtFile:
        i.blocksStart = load64(p + xfile::kBlocksStart);
        i.size = load64(p + xfile::kFileSize);
        i.nlink = load32(p + xfile::kNlink);
        i.fragment = load32(p + xfile::kFragment);
        i.fragmentOffset = load32(p + xfile::kFragmentOffset);
        i.xattr = load32(p + xfile::kXattr);
        break;
    case kSymlink:
    case kExtSymlink:
        i.nlink = load32(p + link::kNlink);
        i.size = load32(p + link::kTargetSize);
        break;
    case kBlockDev:
    case kCharDev:
    case kExtBlockDev:
    case kExtCharDev:
        i.nlink = load32(p + dev::kNlink);
        i.rdev = load32(p + dev::kRdev);
        if (i.type != kBlockDev && i.type != kCharDev)
            i.xattr = load32(p + dev::kXattr);
        break;
    default: // FIFOs and sockets
        i.nlink = load32(p + ipc::kNlink);
        if (i.type == kExtFifo || i.type == kExtSocket)
            i.xattr = load32(p + ipc::kXattr);
        break;
    }
    // A fragment index without an offset names no fragment (as the library
    // reads it).
    if (i.fragmentOffset == kNoFragment)
        i.fragment = kNoFragment;
}

} // namespace

uint32_t InodeInfo::mode() const {
    static constexpr uint32_t kTypeBits[] = {
        0,         kModeDirectory, kModeFile, kModeSymlink, kModeBlockDevice, kModeCharDevice,
        kModeFifo, kModeSocket};
    const uint16_t t = basicType(type);
    return (t < std::size(kTypeBits) ? kTypeBits[t] : 0) | (permissions & kModePermissionMask);
}

uint64_t InodeInfo::blockCount(uint32_t blockSize) const {
    const uint64_t whole = size / blockSize;
    return whole + (size % blockSize != 0 && !hasFragment() ? 1 : 0);
}

int readInodeInfo(sqfs_meta_reader_t* inodes, const sqfs_super_t& super, uint64_t ref,
                  InodeInfo& out) {
    out = InodeInfo{};
    const uint64_t offset = ref & 0xFFFF;
    if (offset >= kMetaBlockSize)
        return SQFS_ERROR_OUT_OF_BOUNDS;
    if (int ret = sqfs_meta_reader_seek(inodes, super.inode_table_start + (ref >> 16), offset))
        return ret;
    std::byte fixed[xfile::kSize]; // the longest fixed part
    if (int ret = sqfs_meta_reader_read(inodes, fixed, ino::kSize))
        return ret;
    out.type = load16(fixed + ino::kType);
    out.permissions = load16(fixed + ino::kMode);
    out.uidIndex = load16(fixed + ino::kUidIndex);
    out.gidIndex = load16(fixed + ino::kGidIndex);
    out.mtime = load32(fixed + ino::kMtime);
    out.number = load32(fixed + ino::kNumber);
    const size_t size = fixedSize(out.type);
    if (size == 0)
        return SQFS_ERROR_UNSUPPORTED;
    if (int ret = sqfs_meta_reader_read(inodes, fixed + ino::kSize, size - ino::kSize))
        return ret;
    decodeFixed(fixed, out);
    if (out.isSymlink()) {
        if (out.size > kMaxLinkTarget)
            return SQFS_ERROR_OVERFLOW;
        out.target.resize(static_cast<size_t>(out.size));
        if (int ret = sqfs_meta_reader_read(inodes, out.target.data(), out.target.size()))
            return ret;
        if (out.type == kExtSymlink) {
            std::byte x[4];
            if (int ret = sqfs_meta_reader_read(inodes, x, sizeof x))
                return ret;
            out.xattr = load32(x);
        }
    }
    return 0;
}

int writeFileInode(sqfs_meta_writer_t* table, const FileInode& f, const sqfs_u32* sizes,
                   uint64_t count) {
    const bool basic = f.blocksStart <= UINT32_MAX && f.size <= UINT32_MAX && f.nlink == 1 &&
                       f.xattr == kNoXattr && f.sparse == 0;
    std::byte r[xfile::kSize]{};
    store16(r + ino::kType, basic ? kFile : kExtFile);
    store16(r + ino::kMode, f.permissions & kModePermissionMask);
    store16(r + ino::kUidIndex, f.uidIndex);
    store16(r + ino::kGidIndex, f.gidIndex);
    store32(r + ino::kMtime, f.mtime);
    store32(r + ino::kNumber, f.number);
    const uint32_t fragmentOffset = f.fragment == kNoFragment ? 0 : f.fragmentOffset;
    if (basic) {
        store32(r + file::kBlocksStart, static_cast<uint32_t>(f.blocksStart));
        store32(r + file::kFragment, f.fragment);
        store32(r + file::kFragmentOffset, fragmentOffset);
        store32(r + file::kFileSize, static_cast<uint32_t>(f.size));
    } else {
        store64(r + xfile::kBlocksStart, f.blocksStart);
        store64(r + xfile::kFileSize, f.size);
        store64(r + xfile::kSparse, f.sparse);
        store32(r + xfile::kNlink, f.nlink);
        store32(r + xfile::kFragment, f.fragment);
        store32(r + xfile::kFragmentOffset, fragmentOffset);
        store32(r + xfile::kXattr, f.xattr);
    }
    if (int ret = sqfs_meta_writer_append(table, r, basic ? file::kSize : xfile::kSize))
        return ret;
    std::byte piece[4096 * 4];
    for (uint64_t done = 0; done < count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count - done, sizeof piece / 4));
        for (size_t i = 0; i < n; ++i)
            store32(piece + 4 * i, sizes[done + i]);
        if (int ret = sqfs_meta_writer_append(table, piece, n * 4))
            return ret;
        done += n;
    }
    return 0;
}

} // namespace korvane::squashfs
