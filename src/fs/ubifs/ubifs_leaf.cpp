#include "ubifs_leaf.h"

#include "model/devnum.h"
#include "ubifs_compress.h"

namespace korvane::ubifs {

namespace {

template <typename T>
std::optional<T> refuse(Message* why, Message m) {
    if (why)
        *why = std::move(m);
    return std::nullopt;
}

// Times are signed 64-bit seconds on flash; nanoseconds past a second are
// damage, kept within the second.
uint32_t nanos(uint32_t v) {
    return v < 1000000000u ? v : 999999999u;
}

} // namespace

std::optional<InodeNode> decodeInode(ByteSpan node, Message* why) {
    if (node.size() < ino::kNodeSize)
        return refuse<InodeNode>(why, msg("an inode node of %1 bytes is too short", node.size()));
    const std::byte* p = node.data();
    InodeNode n;
    n.key = loadKey(p + ino::kKey);
    const uint32_t dataLen = load32(p + ino::kDataLen);
    if (keyType(n.key) != kInoKey)
        return refuse<InodeNode>(why,
                                 msg("an inode node carries a key of type %1", keyType(n.key)));
    if (dataLen > kMaxInoData || node.size() != ino::kNodeSize + dataLen)
        return refuse<InodeNode>(why, msg("inode %1 claims %2 bytes of data in a node of %3 bytes",
                                          keyInum(n.key), dataLen, node.size()));
    n.creatSqnum = load64(p + ino::kCreatSqnum);
    n.size = load64(p + ino::kSize);
    n.atime = static_cast<int64_t>(load64(p + ino::kAtimeSec));
    n.ctime = static_cast<int64_t>(load64(p + ino::kCtimeSec));
    n.mtime = static_cast<int64_t>(load64(p + ino::kMtimeSec));
    n.atimeNs = nanos(load32(p + ino::kAtimeNsec));
    n.ctimeNs = nanos(load32(p + ino::kCtimeNsec));
    n.mtimeNs = nanos(load32(p + ino::kMtimeNsec));
    n.nlink = load32(p + ino::kNlink);
    n.uid = load32(p + ino::kUid);
    n.gid = load32(p + ino::kGid);
    n.mode = load32(p + ino::kMode);
    n.flags = load32(p + ino::kFlags);
    n.xattrCnt = load32(p + ino::kXattrCnt);
    n.comprType = load16(p + ino::kComprType);
    n.data = node.subspan(ino::kData, dataLen);
    return n;
}

void fillEntry(const InodeNode& n, TImgEntry& e) {
    e.objType = objTypeForMode(n.mode);
    e.mode = n.mode;
    e.uid = n.uid;
    e.gid = n.gid;
    e.size = e.objType == kTypeFile || e.objType == kTypeSymlink || e.objType == kTypeDirectory
                 ? n.size
                 : 0;
    e.atime = n.atime;
    e.ctime = n.ctime;
    e.mtime = n.mtime;
    e.atimeNs = n.atimeNs;
    e.ctimeNs = n.ctimeNs;
    e.mtimeNs = n.mtimeNs;
    e.linkInfo = n.nlink;
    e.dataPos = -1;
    if (e.objType == kTypeSymlink)
        e.alias.assign(reinterpret_cast<const char*>(n.data.data()), n.data.size());
    // Devices keep the kernel's "new" encoding, in 4 bytes or (huge) 8.
    if ((e.objType == kTypeSpecial || e.objType == kTypeBlockDevice) && n.data.size() >= 4)
        e.rdev = decodeNewDev(load32(n.data.data()));
}

std::optional<DentNode> decodeDent(ByteSpan node, Message* why) {
    if (node.size() < dent::kNodeSize + 1)
        return refuse<DentNode>(why, msg("an entry node of %1 bytes is too short", node.size()));
    const std::byte* p = node.data();
    DentNode d;
    d.key = loadKey(p + dent::kKey);
    d.inum = load64(p + dent::kInum);
    d.type = std::to_integer<uint8_t>(p[dent::kType]);
    const uint16_t nlen = load16(p + dent::kNlen);
    if (keyType(d.key) != kDentKey && keyType(d.key) != kXentKey)
        return refuse<DentNode>(why, msg("an entry node carries a key of type %1", keyType(d.key)));
    if (nlen > kMaxNameLen || node.size() != dent::kNodeSize + nlen + 1u ||
        p[dent::kName + nlen] != std::byte{0} || d.type >= kItypeCount || d.inum > 0xFFFFFFFFu)
        return refuse<DentNode>(
            why, msg("the entry node of directory %1 does not hold together", keyInum(d.key)));
    d.name.assign(reinterpret_cast<const char*>(p + dent::kName), nlen);
    return d;
}

std::optional<DataNode> decodeData(ByteSpan node, Message* why) {
    if (node.size() < data::kNodeSize)
        return refuse<DataNode>(why, msg("a data node of %1 bytes is too short", node.size()));
    const std::byte* p = node.data();
    DataNode d;
    d.key = loadKey(p + data::kKey);
    d.size = load32(p + data::kSize);
    d.comprType = load16(p + data::kComprType);
    if (keyType(d.key) != kDataKey || d.size > kBlockSize)
        return refuse<DataNode>(
            why, msg("a data node of inode %1 claims %2 bytes", keyInum(d.key), d.size));
    d.payload = node.subspan(data::kNodeSize);
    return d;
}

bool unpackData(const DataNode& d, MutableByteSpan out, Message* why) {
    return decompressBlock(d.comprType, d.payload, out.first(d.size), why);
}

std::optional<TrunNode> decodeTrun(ByteSpan node, Message* why) {
    if (node.size() < trun::kNodeSize)
        return refuse<TrunNode>(why,
                                msg("a truncation node of %1 bytes is too short", node.size()));
    const std::byte* p = node.data();
    TrunNode t;
    t.inum = load32(p + trun::kInum);
    t.oldSize = load64(p + trun::kOldSize);
    t.newSize = load64(p + trun::kNewSize);
    if (t.oldSize <= t.newSize || t.oldSize > (1ull << 62))
        return refuse<TrunNode>(why, msg("a truncation node of inode %1 goes from %2 to %3 bytes",
                                         t.inum, t.oldSize, t.newSize));
    return t;
}

} // namespace korvane::ubifs
