// The checksums ext4 keeps on its metadata (metadata_csum: crc32c seeded from
// the filesystem's UUID; gdt_csum: crc16 on group descriptors). The reader
// verifies them where it is cheap and warns on a mismatch: a checksum that
// does not match says the bytes may be damaged, not that they are unusable.
#pragma once

#include "model/bytes.h"

#include <cstdint>

namespace korvane::ext2 {

struct Superblock;

// crc32c of the superblock's first 1020 bytes, as stored at byte 1020.
uint32_t superblockChecksum(const std::byte* sb);
// Group descriptor g's checksum (descSize bytes at desc), crc32c or crc16 by
// the filesystem's features.
uint16_t groupDescChecksum(const Superblock& s, uint32_t group, const std::byte* desc);
// The seed of every checksum of one inode's metadata (extent blocks, folder
// blocks): the filesystem seed run over the inode number and generation.
uint32_t inodeSeed(const Superblock& s, uint32_t ino, uint32_t generation);
// Whether the inode (s.inodeSize bytes) holds the checksum it should.
bool inodeChecksumOk(const Superblock& s, uint32_t ino, ByteSpan raw);
// Extent tree block: crc32c over the header and eh_max entries, stored after them.
bool extentBlockChecksumOk(uint32_t seed, ByteSpan block);
// Folder leaf block whose last 12 bytes are the checksum entry.
bool dirLeafChecksumOk(uint32_t seed, ByteSpan block);
// Hash-tree index block: the count/limit record at countAt.
bool dirIndexChecksumOk(uint32_t seed, ByteSpan block, size_t countAt);
// Extended attribute block number b.
bool xattrBlockChecksumOk(const Superblock& s, uint64_t b, ByteSpan block);

} // namespace korvane::ext2
