// The UBI on-flash layout. Every physical eraseblock (PEB) starts with an
// erase-counter (EC) header; a PEB that holds data of a volume has a volume
// identifier (VID) header at the offset the EC header names, and the data of
// one logical eraseblock (LEB) from the data offset to its end:
//
//   PEB  +0                 EC header (64 bytes, "UBI#")
//        +vid_hdr_offset    VID header (64 bytes, "UBI!"): volume, LEB number,
//                           sequence number, and for static volumes the
//                           data size and CRC
//        +data_offset       the LEB's bytes, up to the end of the PEB less the
//                           volume's data_pad
//
// The volume table lives in LEBs 0 and 1 of the internal layout volume, one
// copy in each: up to 128 records of 172 bytes, indexed by volume id. Every
// header and record ends in a CRC32 of the bytes before it (ubi_crc.h). All
// numbers are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::ubi {

constexpr uint32_t kEcMagic = 0x55424923;  // "UBI#"
constexpr uint32_t kVidMagic = 0x55424921; // "UBI!"
constexpr uint8_t kVersion = 1;

// Erase-counter header.
namespace ec {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kEraseCount = 8; // 64-bit
constexpr size_t kVidHdrOffset = 16;
constexpr size_t kDataOffset = 20;
constexpr size_t kImageSeq = 24;
constexpr size_t kHdrCrc = 60;
constexpr size_t kSize = 64;
static_assert(kHdrCrc + 4 == kSize);
} // namespace ec

// Volume identifier header.
namespace vid {
constexpr size_t kMagic = 0;
constexpr size_t kVersion = 4;
constexpr size_t kVolType = 5;
constexpr size_t kCopyFlag = 6;
constexpr size_t kCompat = 7;
constexpr size_t kVolId = 8;
constexpr size_t kLnum = 12;
constexpr size_t kDataSize = 20;
constexpr size_t kUsedEbs = 24;
constexpr size_t kDataPad = 28;
constexpr size_t kDataCrc = 32;
constexpr size_t kSqnum = 40; // 64-bit
constexpr size_t kHdrCrc = 60;
constexpr size_t kSize = 64;
static_assert(kHdrCrc + 4 == kSize);
} // namespace vid

// Volume table record.
namespace vtbl {
constexpr size_t kReservedPebs = 0;
constexpr size_t kAlignment = 4;
constexpr size_t kDataPad = 8;
constexpr size_t kVolType = 12;
constexpr size_t kUpdMarker = 13;
constexpr size_t kNameLen = 14; // 16-bit
constexpr size_t kName = 16;
constexpr size_t kNameSize = 128; // 127 bytes and a NUL
constexpr size_t kFlags = 144;
constexpr size_t kCrc = 168;
constexpr size_t kSize = 172;
static_assert(kCrc + 4 == kSize);
static_assert(kName + kNameSize == kFlags);
} // namespace vtbl

// Volume types, in VID headers and volume table records alike.
constexpr uint8_t kDynamic = 1;
constexpr uint8_t kStatic = 2;

// Volume table record flags.
constexpr uint8_t kFlagAutoresize = 0x01;
constexpr uint8_t kFlagSkipCrcCheck = 0x02;

constexpr uint32_t kMaxVolumes = 128;
constexpr uint32_t kMaxNameLen = 127;

// Internal volumes have ids from here on: the layout volume (the volume
// table), and the two volumes of a fastmap, which only speeds up attaching
// and which a full scan, as this reader does, can do without.
constexpr uint32_t kInternalVolStart = 0x7FFFFFFF - 4096;
constexpr uint32_t kLayoutVolumeId = kInternalVolStart;
constexpr uint32_t kFastmapSbVolumeId = kInternalVolStart + 1;
constexpr uint32_t kFastmapDataVolumeId = kInternalVolStart + 2;
constexpr uint32_t kLayoutVolumeLebs = 2;

} // namespace korvane::ubi
