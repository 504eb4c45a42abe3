// The nodes the index points at: inode nodes (an object's attributes, a
// symbolic link's target, a device number, or an extended attribute's
// value), directory and extended attribute entries, data nodes (one block
// of a file, maybe compressed) and truncation nodes (journal only).
#pragma once

#include "model/entry.h"
#include "ubifs_node.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::ubifs {

struct InodeNode {
    Key key = 0;
    uint64_t creatSqnum = 0;
    uint64_t size = 0;
    int64_t atime = 0, ctime = 0, mtime = 0;
    uint32_t atimeNs = 0, ctimeNs = 0, mtimeNs = 0;
    uint32_t nlink = 0;
    uint32_t uid = 0, gid = 0;
    uint32_t mode = 0;
    uint32_t flags = 0;
    uint32_t xattrCnt = 0;
    uint16_t comprType = 0;
    ByteSpan data; // data_len bytes inside the node
};

// Each decoder takes a whole node whose header and CRC were checked; it
// returns nothing when the fields do not fit together (why says how).
std::optional<InodeNode> decodeInode(ByteSpan node, Message* why);

// The entry of an object with inode n: type, mode, owner, size, times,
// link target and device number. Names, xattrs and ids are the caller's.
void fillEntry(const InodeNode& n, TImgEntry& e);

struct DentNode {
    Key key = 0;
    uint64_t inum = 0; // 0: the entry was deleted (journal only)
    uint8_t type = 0;  // InodeType
    std::string name;
};

std::optional<DentNode> decodeDent(ByteSpan node, Message* why);

struct DataNode {
    Key key = 0;
    uint32_t size = 0; // bytes of the block once decompressed
    uint16_t comprType = 0;
    ByteSpan payload;
};

std::optional<DataNode> decodeData(ByteSpan node, Message* why);

// Decompresses a data node's payload into out (d.size bytes); false with why
// when the library refuses it or it gives another number of bytes.
bool unpackData(const DataNode& d, MutableByteSpan out, Message* why);

struct TrunNode {
    uint32_t inum = 0;
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
};

std::optional<TrunNode> decodeTrun(ByteSpan node, Message* why);

} // namespace korvane::ubifs
