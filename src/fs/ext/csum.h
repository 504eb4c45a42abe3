// The checksums ext4 keeps on its metadata (metadata_csum: crc32c seeded from
// the filesystem's UUID; gdt_csum: crc16 on group descriptors). Each
// structure's checksum covers the filesystem's seed, where the structure
// lives and its bytes with the checksum field itself counted as zero. One
// routine computes each; the reader compares its result (xxxOk: a mismatch
// says the bytes may be damaged, not that they are unusable) and the writer
// stores it (setXxx).
#pragma once

#include "model/bytes.h"

#include <array>
#include <cstdint>

namespace korvane::ext2 {

struct Superblock;

namespace csum {

// The seed every checksum starts from: crc32c of the filesystem's UUID.
uint32_t fsSeed(const std::array<uint8_t, 16>& uuid);
// The seed of one inode's structures (the inode, its extent and directory
// blocks): the filesystem seed, the inode number and its generation.
uint32_t inodeSeed(uint32_t fsSeed, uint32_t ino, uint32_t generation);

// The superblock's last word (1024 bytes at sb).
uint32_t superblock(const std::byte* sb);
bool superblockOk(const std::byte* sb);
void setSuperblock(std::byte* sb);

// A group descriptor of descSize bytes: crc32c (metadata_csum) or crc16 of
// the UUID (gdt_csum), both cut to 16 bits.
uint16_t groupDesc(const std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed);
uint16_t groupDescCrc16(const std::byte* desc, size_t descSize, uint32_t group,
                        const std::array<uint8_t, 16>& uuid);
// By the filesystem's features, of the descriptor's size they give.
bool groupDescOk(const Superblock& s, uint32_t group, const std::byte* desc);
void setGroupDesc(std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed);
void setGroupDescCrc16(std::byte* desc, size_t descSize, uint32_t group,
                       const std::array<uint8_t, 16>& uuid);

// A bitmap's checksum, of the bytes that map the group's blocks or inodes.
uint32_t bitmap(uint32_t fsSeed, ByteSpan bits);

// An inode (inodeSize bytes): the low half at l_i_checksum_lo, the high half
// at i_checksum_hi when the extra fields reach it.
uint32_t inode(ByteSpan raw, uint32_t inodeSeed);
bool inodeOk(const Superblock& s, uint32_t ino, ByteSpan raw);
void setInode(std::byte* inode, size_t inodeSize, uint32_t inodeSeed);

// An extent tree block: crc32c over the header and eh_max entries, stored
// after them. Fails when eh_max leaves no room for it.
bool extentBlockOk(uint32_t inodeSeed, ByteSpan block);
void setExtentBlock(std::byte* block, size_t blockSize, uint32_t inodeSeed);

// A folder leaf block whose last 12 bytes are the checksum entry.
bool dirLeafOk(uint32_t inodeSeed, ByteSpan block);
void setDirBlock(std::byte* block, size_t blockSize, uint32_t inodeSeed);
// A hash-tree index block: the count/limit record at countAt.
bool dirIndexOk(uint32_t inodeSeed, ByteSpan block, size_t countAt);

// An extended attribute block at block number blockNr.
uint32_t xattrBlock(ByteSpan block, uint64_t blockNr, uint32_t fsSeed);
bool xattrBlockOk(uint32_t fsSeed, uint64_t blockNr, ByteSpan block);
void setXattrBlock(std::byte* block, size_t blockSize, uint64_t blockNr, uint32_t fsSeed);

} // namespace csum

} // namespace korvane::ext2
