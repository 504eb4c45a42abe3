// The metadata of Android dynamic partitions (a super image), as the device's
// first-stage init reads it: a geometry block that says how big each copy of
// the metadata may be and how many slots there are, then every slot's
// metadata twice (primary copies, then backups), then the partitions' data.
//
//   byte 0        +---------------------------+
//                 | reserved (zeros)    4096  |
//   4096          +---------------------------+
//                 | geometry            4096  |
//   8192          | geometry backup     4096  |
//   12288         +---------------------------+
//                 | slot 0 .. n-1 metadata    |  metadata_max_size each
//                 | slot 0 .. n-1 backups     |  metadata_max_size each
//                 +---------------------------+
//                 | partitions' extents       |  from the block device's
//                 |                           |  first_logical_sector on
//                 +---------------------------+
//
// One copy of the metadata is a header followed by its tables (partitions,
// extents, groups, block devices); table offsets count from the end of the
// header. The header and the tables each carry a SHA-256 checksum. Every
// number is little-endian; sizes of partitions count 512-byte sectors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::lp {

constexpr uint64_t kSectorSize = 512;
constexpr uint64_t kReservedBytes = 4096;
constexpr uint64_t kGeometrySize = 4096; // room for each geometry copy
constexpr uint64_t kGeometryOffset = kReservedBytes;
constexpr uint64_t kGeometryBackupOffset = kReservedBytes + kGeometrySize;
constexpr uint64_t kMetadataOffset = kReservedBytes + 2 * kGeometrySize;

constexpr uint32_t kGeometryMagic = 0x616c4467;
constexpr uint32_t kHeaderMagic = 0x414C5030;
constexpr uint16_t kMajorVersion = 10;
constexpr uint16_t kMinorVersionMax = 2;
// Minor versions from which the header is the expanded one and the
// UPDATED and DISABLED attributes are allowed.
constexpr uint16_t kMinorExpandedHeader = 2;
constexpr uint16_t kMinorUpdatedAttr = 1;

// The geometry block.
namespace geo {
constexpr size_t kMagic = 0;              // u32
constexpr size_t kStructSize = 4;         // u32
constexpr size_t kChecksum = 8;           // 32 bytes: SHA-256 with this field zero
constexpr size_t kMetadataMaxSize = 40;   // u32, a multiple of 512
constexpr size_t kMetadataSlotCount = 44; // u32
constexpr size_t kLogicalBlockSize = 48;  // u32
constexpr size_t kSize = 52;
static_assert(kLogicalBlockSize + 4 == kSize);
} // namespace geo

// A table descriptor inside the header.
namespace td {
constexpr size_t kOffset = 0;     // u32, from the end of the header
constexpr size_t kNumEntries = 4; // u32
constexpr size_t kEntrySize = 8;  // u32
constexpr size_t kSize = 12;
static_assert(kEntrySize + 4 == kSize);
} // namespace td

// The metadata header: 128 bytes up to minor version 1, 256 from 2 on.
namespace hdr {
constexpr size_t kMagic = 0;           // u32
constexpr size_t kMajor = 4;           // u16
constexpr size_t kMinor = 6;           // u16
constexpr size_t kHeaderSize = 8;      // u32
constexpr size_t kHeaderChecksum = 12; // 32 bytes: SHA-256 of the header, this field zero
constexpr size_t kTablesSize = 44;     // u32
constexpr size_t kTablesChecksum = 48; // 32 bytes: SHA-256 of the tables
constexpr size_t kPartitions = 80;     // table descriptor
constexpr size_t kExtents = 92;
constexpr size_t kGroups = 104;
constexpr size_t kBlockDevices = 116;
constexpr size_t kSizeV10 = 128;
constexpr size_t kFlags = 128;    // u32, 10.2 on
constexpr size_t kReserved = 132; // 124 bytes of zeros
constexpr size_t kSizeV12 = 256;
static_assert(kBlockDevices + td::kSize == kSizeV10);
static_assert(kReserved + 124 == kSizeV12);
constexpr uint32_t kFlagVirtualAb = 1;
constexpr uint32_t kFlagOverlaysActive = 2;
} // namespace hdr

// A partition.
namespace part {
constexpr size_t kName = 0;         // 36 bytes, zero-padded
constexpr size_t kAttributes = 36;  // u32
constexpr size_t kFirstExtent = 40; // u32
constexpr size_t kNumExtents = 44;  // u32
constexpr size_t kGroupIndex = 48;  // u32
constexpr size_t kSize = 52;
static_assert(kGroupIndex + 4 == kSize);
constexpr size_t kNameBytes = 36;
constexpr uint32_t kAttrReadonly = 1;
constexpr uint32_t kAttrSlotSuffixed = 2;
constexpr uint32_t kAttrUpdated = 4;
constexpr uint32_t kAttrDisabled = 8;
constexpr uint32_t kAttrMaskV0 = kAttrReadonly | kAttrSlotSuffixed;
constexpr uint32_t kAttrMaskV1 = kAttrUpdated | kAttrDisabled;
} // namespace part

// An extent of a partition.
namespace ext {
constexpr size_t kNumSectors = 0;    // u64
constexpr size_t kTargetType = 8;    // u32
constexpr size_t kTargetData = 12;   // u64: first sector on the block device (linear)
constexpr size_t kTargetSource = 20; // u32: the block device's index (linear)
constexpr size_t kSize = 24;
static_assert(kTargetSource + 4 == kSize);
constexpr uint32_t kLinear = 0;
constexpr uint32_t kZero = 1;
} // namespace ext

// A partition group.
namespace grp {
constexpr size_t kName = 0;         // 36 bytes
constexpr size_t kFlags = 36;       // u32
constexpr size_t kMaximumSize = 40; // u64, 0 for no maximum
constexpr size_t kSize = 48;
static_assert(kMaximumSize + 8 == kSize);
constexpr uint32_t kFlagSlotSuffixed = 1;
} // namespace grp

// A block device the partitions' extents lie on (the first holds the
// metadata).
namespace dev {
constexpr size_t kFirstLogicalSector = 0; // u64
constexpr size_t kAlignment = 8;          // u32, bytes
constexpr size_t kAlignmentOffset = 12;   // u32, bytes
constexpr size_t kDeviceSize = 16;        // u64, bytes
constexpr size_t kPartitionName = 24;     // 36 bytes
constexpr size_t kFlags = 60;             // u32
constexpr size_t kSize = 64;
static_assert(kFlags + 4 == kSize);
constexpr uint32_t kFlagSlotSuffixed = 1;
} // namespace dev

// Where slot's primary and backup metadata start.
constexpr uint64_t primaryMetadataOffset(uint32_t maxSize, uint32_t slot) {
    return kMetadataOffset + uint64_t{maxSize} * slot;
}
constexpr uint64_t backupMetadataOffset(uint32_t maxSize, uint32_t slots, uint32_t slot) {
    return kMetadataOffset + uint64_t{maxSize} * slots + uint64_t{maxSize} * slot;
}
// Bytes the reserved area, the geometry and every metadata copy take.
constexpr uint64_t totalMetadataSize(uint32_t maxSize, uint32_t slots) {
    return kReservedBytes + (kGeometrySize + uint64_t{maxSize} * slots) * 2;
}

} // namespace korvane::lp
