#include "inode.h"

#include "model/entry.h"
#include "model/error.h"

#include <cstring>

namespace korvane::erofs {

size_t inodeRecordSize(ByteSpan first2) {
    return (load16(first2.data()) & kFormatExtended) ? ie::kRecordSize : ic::kRecordSize;
}

Inode decodeInode(uint64_t nid, ByteSpan bytes, const Superblock& s) {
    if (bytes.size() < ic::kRecordSize)
        throw Error(msg("inode %1 lies outside the image", nid));
    const std::byte* p = bytes.data();
    Inode n;
    n.nid = nid;
    n.setFormat(load16(p + ic::kFormat));
    if ((n.format & ~kFormatKnown) != 0 || n.layout > kChunkBased)
        throw Error(msg("inode %1 has an unknown format (0x%2)", nid, n.format));
    n.xattrCount = load16(p + ic::kXattrCount);
    n.mode = load16(p + ic::kMode);
    if (n.extended) {
        if (bytes.size() < ie::kRecordSize)
            throw Error(msg("inode %1 lies outside the image", nid));
        n.size = load64(p + ie::kSize);
        n.u = load32(p + ie::kU);
        n.ino = load32(p + ie::kIno);
        n.uid = load32(p + ie::kUid);
        n.gid = load32(p + ie::kGid);
        n.mtime = static_cast<int64_t>(load64(p + ie::kMtime));
        n.mtimeNs = load32(p + ie::kMtimeNsec);
        n.nlink = load32(p + ie::kNlink);
    } else {
        const bool oneLink =
            (n.format & kFormatNlink1) && (n.mode & kModeTypeMask) != kModeDirectory;
        n.nlink = oneLink ? 1 : load16(p + ic::kNlink);
        n.size = load32(p + ic::kSize);
        n.u = load32(p + ic::kU);
        n.ino = load32(p + ic::kIno);
        n.uid = load16(p + ic::kUid);
        n.gid = load16(p + ic::kGid);
        // Older images leave i_mtime zero: their compact inodes all carry
        // the build time.
        n.mtime = s.epoch + load32(p + ic::kMtime);
        n.mtimeNs = s.fixedNsec;
    }
    return n;
}

void encodeInode(const Inode& n, std::byte* out) {
    const uint16_t format = static_cast<uint16_t>((n.extended ? kFormatExtended : 0) |
                                                  (n.layout << kFormatLayoutShift));
    std::memset(out, 0, n.inodeSize());
    store16(out + ic::kFormat, format);
    store16(out + ic::kXattrCount, n.xattrCount);
    store16(out + ic::kMode, static_cast<uint16_t>(n.mode));
    store32(out + ic::kU, n.u);
    store32(out + ic::kIno, n.ino);
    if (n.extended) {
        store64(out + ie::kSize, n.size);
        store32(out + ie::kUid, n.uid);
        store32(out + ie::kGid, n.gid);
        store64(out + ie::kMtime, static_cast<uint64_t>(n.mtime));
        store32(out + ie::kMtimeNsec, n.mtimeNs);
        store32(out + ie::kNlink, n.nlink);
    } else {
        store16(out + ic::kNlink, static_cast<uint16_t>(n.nlink));
        store32(out + ic::kSize, static_cast<uint32_t>(n.size));
        store16(out + ic::kUid, static_cast<uint16_t>(n.uid));
        store16(out + ic::kGid, static_cast<uint16_t>(n.gid));
    }
}

} // namespace korvane::erofs
