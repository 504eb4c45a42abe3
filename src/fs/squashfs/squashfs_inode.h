// The fixed part of an inode, decoded from the inode table through the
// library's metadata reader. The directory walk needs no more of an inode,
// and reading no more keeps a damaged inode that claims a file of 2^64 bytes
// or a link target of 4 GiB from costing anything: the library's own inode
// reader would allocate the block list or target by that claim first.
#pragma once

#include "sqfs_handles.h"
#include "squashfs_format.h"

#include <cstdint>
#include <string>

namespace korvane::squashfs {

// The longest link target the kernel reads (a page).
constexpr uint32_t kMaxLinkTarget = 4096;

struct InodeInfo {
    uint16_t type = 0; // InodeType
    uint16_t permissions = 0;
    uint16_t uidIndex = 0;
    uint16_t gidIndex = 0;
    uint32_t mtime = 0;
    uint32_t number = 0;
    uint32_t nlink = 1;
    uint32_t xattr = kNoXattr;
    // A file's size; a folder's listing length + 3; a link target's length.
    uint64_t size = 0;
    // Regular files.
    uint64_t blocksStart = 0;
    uint32_t fragment = kNoFragment;
    uint32_t fragmentOffset = 0;
    // Folders: where the listing starts in the folder table.
    uint32_t listingBlock = 0;
    uint16_t listingOffset = 0;
    uint32_t parent = 0;
    uint32_t rdev = 0;
    std::string target;

    bool isDir() const { return type == kDir || type == kExtDir; }
    bool isFile() const { return type == kFile || type == kExtFile; }
    bool isSymlink() const { return type == kSymlink || type == kExtSymlink; }
    bool hasFragment() const { return fragment != kNoFragment; }
    // The POSIX mode: the type bits of the inode type and its permissions.
    uint32_t mode() const;
    // The data blocks a file lists: every whole block, and the last part
    // too when it is not in a fragment.
    uint64_t blockCount(uint32_t blockSize) const;
};

// A regular file's inode as the writer stores it.
struct FileInode {
    uint16_t permissions = 0;
    uint16_t uidIndex = 0;
    uint16_t gidIndex = 0;
    uint32_t mtime = 0;
    uint32_t number = 0;
    uint64_t blocksStart = 0;
    uint64_t size = 0;
    uint64_t sparse = 0; // bytes of holes
    uint32_t nlink = 1;
    uint32_t fragment = kNoFragment;
    uint32_t fragmentOffset = 0;
    uint32_t xattr = kNoXattr;
};

// Appends a regular file's inode and its block sizes to the inode table:
// the basic record where it holds the file (32-bit start and size, one
// name, no attributes, no holes), the extended one otherwise. The block
// sizes go out a piece at a time (the library's inode writer copies them
// onto the stack, which a file of a million blocks would overflow). Returns
// 0 or an SQFS_ERROR code.
int writeFileInode(sqfs_meta_writer_t* table, const FileInode& f, const sqfs_u32* sizes,
                   uint64_t count);

// Decodes the inode at ref (bits 16 to 47: its metadata block from the inode
// table's start; bits 0 to 15: the byte in it). Returns 0, or an SQFS_ERROR
// code: the library's for what it could not read, SQFS_ERROR_UNSUPPORTED for
// an unknown type, SQFS_ERROR_OVERFLOW for a link target longer than
// kMaxLinkTarget.
int readInodeInfo(sqfs_meta_reader_t* inodes, const sqfs_super_t& super, uint64_t ref,
                  InodeInfo& out);

} // namespace korvane::squashfs
