// Setting the metadata checksums of an ext4 image (metadata_csum, crc32c; and
// the crc16 of group descriptors under gdt_csum). Each structure's checksum
// covers the filesystem's seed (from its UUID), where the structure lives and
// its bytes with the checksum field itself counted as zero.
#pragma once

#include "model/bytes.h"

#include <array>
#include <cstdint>

namespace korvane::ext2::csum {

// The seed every checksum starts from: crc32c of the filesystem's UUID.
uint32_t fsSeed(const std::array<uint8_t, 16>& uuid);
// The seed of one inode's structures (the inode, its extent and directory
// blocks): the filesystem seed, the inode number and its generation.
uint32_t inodeSeed(uint32_t fsSeed, uint32_t ino, uint32_t generation);

// The superblock's last word (1024 bytes at sb).
void setSuperblock(std::byte* sb);
// A group descriptor of descSize bytes: crc32c (metadata_csum) or crc16 of
// the UUID (gdt_csum), both cut to 16 bits.
void setGroupDesc(std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed);
void setGroupDescCrc16(std::byte* desc, size_t descSize, uint32_t group,
                       const std::array<uint8_t, 16>& uuid);
// A bitmap's checksum, of the bytes that map the group's blocks or inodes.
uint32_t bitmap(uint32_t fsSeed, ByteSpan bits);
// An inode of inodeSize bytes: the low half at l_i_checksum_lo, the high half
// at i_checksum_hi when the extra fields reach it.
void setInode(std::byte* inode, size_t inodeSize, uint32_t inodeSeed);
// The tail of an extent tree block (after room for eh_max entries).
void setExtentBlock(std::byte* block, size_t blockSize, uint32_t inodeSeed);
// The tail entry of a directory block.
void setDirBlock(std::byte* block, size_t blockSize, uint32_t inodeSeed);
// An extended attribute block at block number blockNr.
void setXattrBlock(std::byte* block, size_t blockSize, uint64_t blockNr, uint32_t fsSeed);

} // namespace korvane::ext2::csum
