// The EROFS superblock: decoded for reading, encoded for writing, with one
// checksum routine for both (CRC32C over the rest of the first block).
#pragma once

#include "erofs_format.h"
#include "model/message.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::erofs {

struct Superblock {
    uint32_t compat = 0;
    uint32_t incompat = 0;
    uint8_t blockBits = 12;
    uint32_t blockSize = 4096;
    uint8_t extSlots = 0;
    uint64_t rootNid = 0;
    uint64_t inos = 0;
    int64_t epoch = 0; // seconds; the build time of images that do not keep one apart
    uint32_t fixedNsec = 0;
    uint64_t blocks = 0;
    uint32_t metaBlkaddr = 0;
    uint32_t xattrBlkaddr = 0;
    std::array<uint8_t, 16> uuid{};
    std::string volumeName; // up to 16 bytes, as stored
    uint16_t u1 = 0;        // available algorithms (with COMPR_CFGS), else the LZ4 window
    uint16_t extraDevices = 0;
    uint16_t devtSlotOff = 0;
    uint8_t dirBlockBits = 0;
    uint8_t xattrPrefixCount = 0;
    uint32_t xattrPrefixStart = 0;
    uint64_t packedNid = 0;
    uint32_t buildTime = 0; // seconds after the epoch (newer images)
    uint32_t checksum = 0;
    bool checksumOk = true; // the stored checksum matches (or there is none)

    bool has(uint32_t incompatBit) const { return (incompat & incompatBit) != 0; }
    size_t sbSize() const { return sb::kSize + size_t{extSlots} * sb::kExtSlotSize; }
    // The algorithms compressed files may use (a bit per Algorithm).
    uint16_t algorithms() const;
    uint64_t metaOffset() const { return uint64_t{metaBlkaddr} << blockBits; }
    uint64_t inodeOffset(uint64_t nid) const { return metaOffset() + (nid << kNidShift); }
};

// Decodes the superblock of the image's first block (block holds at least
// kSuperOffset + sb::kSize bytes, and the whole first block where it can).
// Throws Error saying what is wrong when there is no EROFS superblock, or
// one this reader cannot read (an unknown incompatible feature, a block size
// out of range).
Superblock loadSuperblock(ByteSpan block);

// Writes s into block (the whole first block, blockSize bytes, zero where
// nothing else lies) and sets its checksum when s.compat asks for one.
void storeSuperblock(const Superblock& s, MutableByteSpan block);

// The checksum of a first block (its stored checksum taken as zero).
uint32_t superblockChecksum(ByteSpan block, uint32_t blockSize);

// "sb_csum mtime", "lz4_0padding big_pcluster ..." : the features' names.
std::vector<std::string> featureNames(const Superblock& s);

} // namespace korvane::erofs
