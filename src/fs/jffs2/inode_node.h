// Inode nodes: the metadata of an inode (mode, owner, size, times) and,
// for regular files, a range of its data, compressed; the data of a symbolic
// link is its target and that of a device its number. The node with an
// inode's highest version gives its metadata; for each byte of a file the
// newest node holding it gives its value.
#pragma once

#include "jffs2_format.h"
#include "model/devnum.h"

#include <cstdint>

namespace korvane::jffs2 {

struct InodeNode {
    uint32_t ino = 0;
    uint32_t version = 0;
    uint32_t mode = 0;
    uint16_t uid = 0;
    uint16_t gid = 0;
    uint32_t isize = 0;
    uint32_t atime = 0;
    uint32_t mtime = 0;
    uint32_t ctime = 0;
    uint32_t offset = 0;
    uint32_t csize = 0;
    uint32_t dsize = 0;
    uint8_t compr = kComprNone;
    uint8_t usercompr = 0;
    uint16_t flags = 0;
    uint32_t dataCrc = 0;
};

enum class InodeCheck : uint8_t { kOk, kBadNodeCrc, kBadLength, kBadDataCrc };

// Checks an inode node of totlen bytes at p (totlen >= inode::kSize): its
// node checksum, that its length fits its data, and the data's checksum.
InodeCheck checkInodeNode(const std::byte* p, uint32_t totlen, const Endian& e);
// Whether the fixed part at p (inode::kSize bytes) has a node checksum that
// verifies.
bool inodeNodeCrcOk(const std::byte* p, const Endian& e);

// The fields of the fixed part at p. A hole node written with csize and
// dsize swapped (an old kernel did so) is given back the right way round.
InodeNode decodeInodeNode(const std::byte* p, const Endian& e);

// Writes the fixed part of n for data of n.csize bytes at data, with the data
// checksum and node checksum set; the data itself is not copied.
void encodeInodeNode(const InodeNode& n, const std::byte* data, std::byte* out, const Endian& e);

// Device numbers as a device inode's data: 2 bytes in the old encoding when
// it holds the number, otherwise 4 in the new one.
uint32_t encodeDevice(DevNum d, std::byte* out, const Endian& e);
// The device number in a device inode's data of n bytes (2 or 4); {0, 0}
// for other sizes.
DevNum decodeDevice(const std::byte* data, uint32_t n, const Endian& e);

} // namespace korvane::jffs2
