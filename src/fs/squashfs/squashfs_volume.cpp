#include "squashfs_volume.h"

#include "model/error.h"
#include "squashfs_format.h"

namespace korvane::squashfs {

sqfs_super_t readSuperblock(sqfs_file_t* file) {
    sqfs_super_t s{};
    if (const int ret = sqfs_super_read(&s, file)) {
        std::byte raw[sb::kSize]{};
        const bool haveRaw = file->read_at(file, 0, raw, sizeof raw) == 0;
        if (haveRaw && load32(raw + sb::kMagic) == kMagicSwapped)
            throw Error(msg("a big-endian SquashFS image (version 3 or older), which Korvane "
                            "cannot read"));
        if (ret == SFQS_ERROR_SUPER_VERSION && haveRaw)
            throw Error(msg("a SquashFS image of version %1.%2; Korvane reads version 4.0",
                            load16(raw + sb::kVersionMajor), load16(raw + sb::kVersionMinor)));
        if (ret == SFQS_ERROR_SUPER_MAGIC || ret == SQFS_ERROR_IO)
            throw Error(msg("no SquashFS superblock at byte 0"));
        throw Error(withReason(msg("the SquashFS superblock cannot be read"), sqfsMessage(ret)));
    }
    if (s.bytes_used < sb::kSize)
        throw Error(msg("the SquashFS superblock says the image holds %1 bytes", s.bytes_used));
    if (s.inode_table_start < sb::kSize || s.inode_table_start >= s.directory_table_start)
        throw Error(msg("the SquashFS superblock places the inode table (byte %1) after the "
                        "folder table (byte %2)",
                        s.inode_table_start, s.directory_table_start));
    if (s.directory_table_start >= s.bytes_used)
        throw Error(msg("the SquashFS superblock places the folder table (byte %1) past the "
                        "image's end (byte %2)",
                        s.directory_table_start, s.bytes_used));
    const uint64_t rootBlock = s.root_inode_ref >> 16;
    if ((s.root_inode_ref & 0xFFFF) >= kMetaBlockSize ||
        rootBlock >= s.directory_table_start - s.inode_table_start)
        throw Error(msg("the SquashFS superblock places the root inode outside the inode table"));
    return s;
}

uint64_t directoryTableEnd(const sqfs_super_t& s) {
    uint64_t end = s.bytes_used;
    for (uint64_t t :
         {s.fragment_table_start, s.export_table_start, s.id_table_start, s.xattr_id_table_start})
        if (t != kNoTable && t > s.directory_table_start && t < end)
            end = t;
    return end;
}

} // namespace korvane::squashfs
