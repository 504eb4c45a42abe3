// The superblock and group descriptors of an EXT2/3/4 filesystem: decoded,
// checked, and the features named as e2fsprogs names them.
#pragma once

#include "ext2_format.h"
#include "model/bytes.h"
#include "model/message.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::ext2 {

// The names e2fsprogs gives the features, set bits in order, compat first.
std::vector<std::string> featureNames(uint32_t compat, uint32_t incompat, uint32_t roCompat);
// The name of one feature bit of a set; "FEATURE_I16" style for unknown bits.
std::string incompatName(uint32_t bit);
std::string roCompatName(uint32_t bit);

// The superblock fields the reader uses, decoded and checked.
struct Superblock {
    uint32_t inodesCount = 0;
    uint64_t blocksCount = 0;
    uint64_t reservedBlocks = 0;
    uint64_t freeBlocks = 0;
    uint32_t freeInodes = 0;
    uint32_t firstDataBlock = 0;
    uint32_t logBlockSize = 0;
    uint32_t blockSize = 0;
    uint32_t blocksPerGroup = 0;
    uint32_t inodesPerGroup = 0;
    uint32_t mountTime = 0;
    uint32_t writeTime = 0;
    uint16_t state = 0;
    uint16_t errors = 0;
    uint32_t creatorOs = 0;
    uint32_t revLevel = 0;
    uint32_t firstIno = kGoodOldFirstIno;
    uint32_t inodeSize = kGoodOldInodeSize;
    uint32_t compat = 0;
    uint32_t incompat = 0;
    uint32_t roCompat = 0;
    std::array<uint8_t, 16> uuid{};
    std::string volumeName;
    std::string lastMounted;
    uint16_t reservedGdtBlocks = 0;
    std::array<uint8_t, 16> journalUuid{};
    uint32_t journalInum = 0;
    uint32_t journalDev = 0;
    uint32_t firstMetaBg = 0;
    uint32_t mkfsTime = 0;
    std::array<uint32_t, 2> backupBgs{};
    uint32_t descSize = kDescSize; // bytes per group descriptor
    uint16_t encoding = 0;         // casefold
    uint32_t csumSeed = 0;         // metadata_csum: crc32c seed of every checksum
    bool csumOk = true;            // the superblock's own checksum matched
    // Kept when an image is saved like its source.
    std::array<uint8_t, 16> hashSeed{};
    uint8_t defHashVersion = 0;
    uint32_t flags = 0;

    uint32_t groupCount = 0;

    bool has(CompatFeature f) const { return (compat & f) != 0; }
    bool has(IncompatFeature f) const { return (incompat & f) != 0; }
    bool has(RoCompatFeature f) const { return (roCompat & f) != 0; }
    bool metadataCsum() const { return has(kRoCompatMetadataCsum); }
    // Group descriptors carry a checksum and may mark tables unused.
    bool groupCsum() const { return has(kRoCompatMetadataCsum) || has(kRoCompatGdtCsum); }
    // The format the features make: EXT4 for anything past EXT3's set.
    std::string formatName() const;
};

// Decodes and checks the superblock of an image of imageSize bytes (p points
// at the superblock, kSuperblockSize bytes). Throws Error naming what is
// wrong: no magic, an impossible geometry, counts that do not fit the file, a
// feature the reader cannot read.
Superblock loadSuperblock(const std::byte* p, uint64_t imageSize);

// Whether group g holds a copy of the superblock (and of the descriptors):
// every group, the groups sparse_super names (0, 1 and powers of 3, 5 and
// 7), or group 0 and the two sparse_super2 names, by the features given.
bool groupHasSuper(uint32_t compat, uint32_t roCompat, const std::array<uint32_t, 2>& backupBgs,
                   uint32_t group);
bool groupHasSuper(const Superblock& s, uint32_t group);
// The block holding the descriptor of group g: the table after the
// superblock, or with meta_bg the first block of g's meta group.
uint64_t descriptorBlock(const Superblock& s, uint32_t group);

// What the reader takes from a group descriptor.
struct GroupDesc {
    uint64_t inodeTable = 0;
    uint16_t flags = 0;
    uint32_t itableUnused = 0;
    bool csumOk = true;
};

// Decodes descriptor g (s.descSize bytes at p) and checks its checksum.
GroupDesc loadGroupDesc(const Superblock& s, uint32_t group, const std::byte* p);

} // namespace korvane::ext2
