// Extended attributes of ext4 inodes: entries in the inode body after
// i_extra_isize and in the attribute block (i_file_acl), each with a name
// index (the prefix), a name and a value that lies in the same region or,
// with ea_inode, in an inode of its own. Reading and writing share the table
// of prefixes and the ACL conversion. The writer packs as many as fit in the
// room after the inode's extra fields, the rest in one attribute block that
// inodes with the same rest share.
#pragma once

#include "model/bytes.h"
#include "model/entry.h"
#include "model/message.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::ext2 {

struct RawXattr {
    uint8_t index = 0;
    std::string suffix; // the name after the prefix its index stands for
    std::string value;  // empty when valueInode holds it
    uint32_t valueInode = 0;
    uint32_t valueSize = 0;
};

// Reads the entries that start at entriesAt in region, up to the end marker
// (four zero bytes) or the region's end; values lie at valueBase + their
// offset. Appends what it read to out; says what was wrong when it stopped
// early (a name or value running out of the region).
std::optional<Message> parseXattrs(ByteSpan region, size_t entriesAt, size_t valueBase,
                                   std::vector<RawXattr>& out);

// The full name ("user.x", "security.selinux", "system.posix_acl_access"), or
// empty for an index whose attributes the kernel does not show.
std::string xattrName(uint8_t index, const std::string& suffix);

// "system.data" in the inode body: in an inode with inline data it holds the
// data past i_block, and is no attribute.
bool isInlineDataHolder(const RawXattr& x);
// The indexes of POSIX ACLs, whose values are kept in EXT's own form.
bool isAclIndex(uint8_t index);

// POSIX ACLs: ext4 stores them in a compact form of its own (version 1,
// short entries without an id); programs see the form getfattr and setfacl
// use (version 2, 8-byte entries). Empty when the bytes are not an ACL.
std::optional<std::string> aclFromDisk(const std::string& disk);
std::optional<std::string> aclToDisk(const std::string& xattr);

// One attribute as stored: the index of its name's prefix, the name without
// it, and the value (POSIX ACLs in EXT's own shorter form).
struct StoredXattr {
    uint8_t index = 0;
    std::string name;
    std::string value;
};

// Names EXT can hold start with "user.", "trusted.", "security." or
// "system."; ACL values must be well formed. Throws Error naming where (the
// object's path) otherwise.
std::vector<StoredXattr> storedXattrs(const std::vector<Xattr>& attrs, const std::string& where);

struct PackedXattrs {
    // The bytes of the inode's room (magic, entries, values), or empty.
    Bytes inode;
    // A whole attribute block with refcount 0 and no checksum (those are set
    // when it is written), or empty. Equal blocks can be shared.
    Bytes block;
};

// Packs attrs into room bytes of the inode (0: none) and one block of
// blockSize. Throws Error naming where when they do not fit.
PackedXattrs packXattrs(const std::vector<Xattr>& attrs, uint32_t room, uint32_t blockSize,
                        const std::string& where);

} // namespace korvane::ext2
