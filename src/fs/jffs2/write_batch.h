// What the JFFS2 writer hands from its planner to the compressing workers
// and on to the placer: the image's nodes in order, file data a page at a
// time.
#pragma once

#include "dirent.h"
#include "inode_node.h"
#include "model/bytes.h"
#include "xattr_node.h"

#include <cstdint>
#include <vector>

namespace korvane::jffs2 {

struct WriteItem {
    enum Kind : uint8_t { kDirent, kInode, kPage, kXattr, kXref };
    Kind kind = kInode;
    Dirent dirent;
    // kInode: the whole node but its checksums, data in data. kPage: the
    // inode's fields; offset and dsize say which page; version is given when
    // the page is placed.
    InodeNode inode;
    Bytes data;
    XattrDatum datum;
    Xref xref;
    // kPage: the page's bytes, raw[rawAt, rawAt + inode.dsize) of the batch,
    // and what compressing them gave.
    size_t rawAt = 0;
    bool compressed = false;
    Bytes packed;
};

struct WriteBatch {
    Bytes raw;
    std::vector<WriteItem> items;
    size_t used = 0; // items[0, used) are this batch's
    size_t pages = 0;

    void clear() {
        raw.clear();
        used = 0;
        pages = 0;
    }
    // The next item, reusing an earlier one's buffers.
    WriteItem& add(WriteItem::Kind kind) {
        if (used == items.size())
            items.emplace_back();
        WriteItem& it = items[used++];
        it.kind = kind;
        it.data.clear();
        it.compressed = false;
        return it;
    }
    ByteSpan page(const WriteItem& it) const {
        return ByteSpan(raw).subspan(it.rawAt, it.inode.dsize);
    }
};

} // namespace korvane::jffs2
