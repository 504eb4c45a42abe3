// An open SquashFS image as the library sees it: its superblock, its
// decompressor, the owner, fragment and attribute tables, and the reader
// of file contents. Tsquashfsobj reads the tree through it; the writer takes
// the compressor settings and block size of an image saved like its source.
#pragma once

#include "compressors.h"
#include "squashfs_data.h"
#include "squashfs_xattr.h"

#include <optional>

namespace korvane::squashfs {

// Fragment table entries Korvane loads at most (32 MiB of table: 256 GiB
// of tails in 128 KiB blocks).
constexpr uint64_t kMaxFragments = 2u << 20;

struct Volume {
    sqfs_super_t super{};
    std::unique_ptr<SourceFile> file;
    CompressorHandle cmp; // unpacks
    // The compressor as the image sets it up (its options), for writing
    // like the source.
    sqfs_compressor_config_t compressor{};
    IdTableHandle ids;
    FragTableHandle frags;
    std::unique_ptr<XattrTable> xattrs;
    std::unique_ptr<ContentReader> contents;
    // Where the folder table ends at the latest (the next table's start).
    uint64_t directoryTableEnd = 0;
};

// Reads the superblock of file through the library and checks what it says
// against the file: the table starts in their order, the root inode inside
// the inode table. Throws Error saying what is wrong. Past the end of the
// file is no error here (a cut image still opens, with what it holds).
sqfs_super_t readSuperblock(sqfs_file_t* file);

// Where the folder table ends at the latest.
uint64_t directoryTableEnd(const sqfs_super_t& super);

} // namespace korvane::squashfs
