#include "inode_node.h"

#include "jffs2_crc.h"
#include "node_header.h"

#include <cstring>

namespace korvane::jffs2 {

bool inodeNodeCrcOk(const std::byte* p, const Endian& e) {
    return jffs2Crc(p, inode::kDataCrc) == e.u32(p + inode::kNodeCrc);
}

InodeCheck checkInodeNode(const std::byte* p, uint32_t totlen, const Endian& e) {
    if (!inodeNodeCrcOk(p, e))
        return InodeCheck::kBadNodeCrc;
    const uint32_t csize = e.u32(p + inode::kCsize);
    if (csize > totlen - inode::kSize || padded(inode::kSize + csize) != padded(totlen))
        return InodeCheck::kBadLength;
    if (csize > 0 && jffs2Crc(p + inode::kSize, csize) != e.u32(p + inode::kDataCrc))
        return InodeCheck::kBadDataCrc;
    return InodeCheck::kOk;
}

InodeNode decodeInodeNode(const std::byte* p, const Endian& e) {
    InodeNode n;
    n.ino = e.u32(p + inode::kIno);
    n.version = e.u32(p + inode::kVersion);
    n.mode = e.u32(p + inode::kMode);
    n.uid = e.u16(p + inode::kUid);
    n.gid = e.u16(p + inode::kGid);
    n.isize = e.u32(p + inode::kIsize);
    n.atime = e.u32(p + inode::kAtime);
    n.mtime = e.u32(p + inode::kMtime);
    n.ctime = e.u32(p + inode::kCtime);
    n.offset = e.u32(p + inode::kOffset);
    n.csize = e.u32(p + inode::kCsize);
    n.dsize = e.u32(p + inode::kDsize);
    n.compr = std::to_integer<uint8_t>(p[inode::kCompr]);
    n.usercompr = std::to_integer<uint8_t>(p[inode::kUserCompr]);
    n.flags = e.u16(p + inode::kFlags);
    n.dataCrc = e.u32(p + inode::kDataCrc);
    if (n.compr == kComprZero && n.dsize == 0 && n.csize != 0) {
        n.dsize = n.csize;
        n.csize = 0;
    }
    return n;
}

void encodeInodeNode(const InodeNode& n, const std::byte* data, std::byte* out, const Endian& e) {
    std::memset(out, 0, inode::kSize);
    storeHeader(out, kTypeInode, static_cast<uint32_t>(inode::kSize + n.csize), e);
    e.put32(out + inode::kIno, n.ino);
    e.put32(out + inode::kVersion, n.version);
    e.put32(out + inode::kMode, n.mode);
    e.put16(out + inode::kUid, n.uid);
    e.put16(out + inode::kGid, n.gid);
    e.put32(out + inode::kIsize, n.isize);
    e.put32(out + inode::kAtime, n.atime);
    e.put32(out + inode::kMtime, n.mtime);
    e.put32(out + inode::kCtime, n.ctime);
    e.put32(out + inode::kOffset, n.offset);
    e.put32(out + inode::kCsize, n.csize);
    e.put32(out + inode::kDsize, n.dsize);
    out[inode::kCompr] = static_cast<std::byte>(n.compr);
    out[inode::kUserCompr] = static_cast<std::byte>(n.usercompr);
    e.put16(out + inode::kFlags, n.flags);
    e.put32(out + inode::kDataCrc, n.csize ? jffs2Crc(data, n.csize) : 0);
    e.put32(out + inode::kNodeCrc, jffs2Crc(out, inode::kDataCrc));
}

uint32_t encodeDevice(DevNum d, std::byte* out, const Endian& e) {
    if (fitsOldDev(d)) {
        e.put16(out, static_cast<uint16_t>(encodeOldDev(d)));
        return 2;
    }
    e.put32(out, encodeNewDev(d));
    return 4;
}

DevNum decodeDevice(const std::byte* data, uint32_t n, const Endian& e) {
    if (n == 2)
        return decodeOldDev(e.u16(data));
    if (n == 4)
        return decodeNewDev(e.u32(data));
    return {};
}

} // namespace korvane::jffs2
