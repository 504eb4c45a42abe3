// Packing an object's extended attributes the way EXT keeps them: as many as
// fit in the room after the inode's extra fields, the rest in one attribute
// block that inodes with the same rest share.
#pragma once

#include "model/bytes.h"
#include "model/entry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::ext2 {

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
