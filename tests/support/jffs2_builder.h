// Building JFFS2 images node by node for the tests (used partitions: several
// versions of a file, removed names, obsolete and damaged nodes, holes), and
// reading any JFFS2 image back node by node into a text that says, for each
// path, what every node of its inode holds, so that two images of one tree
// can be compared whatever their layout.
#pragma once

#include "fs/jffs2/dirent.h"
#include "fs/jffs2/inode_node.h"
#include "fs/jffs2/jffs2_format.h"
#include "fs/jffs2/xattr_node.h"
#include "model/bytes.h"

#include <cstdint>
#include <string>

namespace korvane::test {

class Jffs2Builder {
public:
    explicit Jffs2Builder(jffs2::ByteOrder order = jffs2::ByteOrder::kLittle) : e_(order) {}

    void cleanmarker();
    void dirent(uint32_t pino, uint32_t version, uint32_t ino, const std::string& name,
                uint8_t type = jffs2::kDtReg, uint32_t mctime = 0);
    // An inode node with n's fields, holding stored (csize = its size)
    // compressed as n.compr says (dsize as n gives it).
    void inode(jffs2::InodeNode n, ByteSpan stored = {});
    // A regular file's node holding bytes at offset, stored as they are.
    void data(uint32_t ino, uint32_t version, uint32_t offset, ByteSpan bytes, uint32_t isize,
              uint32_t mode = 0100644, uint32_t mtime = 1000);
    void dir(uint32_t ino, uint32_t version, uint32_t mode = 040755, uint32_t mtime = 1000);
    void xattr(uint32_t xid, uint32_t version, uint8_t prefix, const std::string& name,
               const std::string& value);
    void xref(uint32_t ino, uint32_t xid, uint32_t seqno);
    void erased(size_t n);
    // Marks the last node obsolete in place (clears its accurate bit).
    void obsoleteLast();
    // Flips one bit of the last node, at offset from its start.
    void damageLast(size_t offset);

    // A file made by the writer's defaults of a node each: root, a folder
    // "d", files "d/a" (3000 bytes) and "b" (empty), a link "l".
    static Jffs2Builder small();

    const Bytes& bytes() const { return image_; }
    Bytes& bytes() { return image_; }
    const jffs2::Endian& endian() const { return e_; }

private:
    void append(ByteSpan node);

    jffs2::Endian e_;
    Bytes image_;
    size_t last_ = 0;
};

// Every node of a JFFS2 image, read back by path: for each path below the
// root (sorted) its dirent type, the metadata every node of its inode gives
// (mode, owner, size, times; the distinct ones), a hash of its contents as
// the nodes assemble them by version and offset, its link target or device
// number, and its extended attributes; a second name of an inode says which
// path is its first. Erase block layout and compression do not show. Without
// allTimes, access and change times are left out (mkfs.jffs2 writes the
// modification time in their place).
std::string jffs2NodeText(const Bytes& image, bool allTimes = true);

} // namespace korvane::test
