// YAFFS1: the filesystem of NAND chips with 512-byte pages and a 16-byte
// spare area each. A page holds an object header (the same 512-byte header
// as YAFFS2's) or 512 bytes of a file; its spare holds the tags that say
// which, the page's state and the data ECC. There are no sequence numbers:
// a 2-bit serial number tells a rewritten chunk from the copy it replaces,
// and a chunk is deleted in place by clearing its page status byte.
//
//   record (528 bytes) = page (512) + spare (16)
//
//   spare   0  1  2  3    4        5         6  7    8 .. 10   11 12   13 .. 15
//          tb0-tb3      page     block      tb4-tb5  data ECC  tb6-tb7  data ECC
//                       status   status               of bytes          of bytes
//                       (FF: in  (FF: good            0-255             256-511
//                       use)     block)
//
//   tags (tb0-tb7, two little-endian words)
//     word 0: bits 0-19 chunk id (0: header)   20-21 serial   22-31 byte count
//     word 1: bits 0-17 object id   18-29 tag ECC   30-31 byte count high bits
//             (unused with 512-byte pages: 3)
//
// The tag ECC is the XOR of the numbers (1 to 64) of the tag bits that are
// set, the ECC field counted as zeros; it corrects one flipped bit. The data
// ECC is YAFFS2's (3 bytes per 256, yaffs2::yaffsEcc256).
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::yaffs1 {

constexpr uint32_t kPageSize = 512;
constexpr uint32_t kSpareSize = 16;
constexpr uint32_t kRecordSize = kPageSize + kSpareSize;
constexpr uint32_t kPagesPerBlock = 32;

namespace spare {
constexpr size_t kTags0 = 0; // tb0-tb3
constexpr size_t kPageStatus = 4;
constexpr size_t kBlockStatus = 5;
constexpr size_t kTags4 = 6; // tb4-tb5
constexpr size_t kEcc1 = 8;
constexpr size_t kTags6 = 11; // tb6-tb7
constexpr size_t kEcc2 = 13;
constexpr size_t kEccSize = 3;
static_assert(kEcc2 + kEccSize == kSpareSize);
} // namespace spare

// Tag bit fields.
constexpr uint32_t kChunkIdBits = 20;
constexpr uint32_t kSerialShift = 20;
constexpr uint32_t kBytesShift = 22;
constexpr uint32_t kObjectIdBits = 18;
constexpr uint32_t kEccShift = 18;
constexpr uint32_t kBytesHighShift = 30;

constexpr uint32_t kMaxChunkId = (1u << kChunkIdBits) - 1;
constexpr uint32_t kMaxObjectId = (1u << kObjectIdBits) - 1;

// Reserved object ids.
constexpr uint32_t kObjIdRoot = 1;
constexpr uint32_t kObjIdLostFound = 2;
constexpr uint32_t kFirstOrdinaryId = 257;

// Header fields YAFFS1 uses beyond YAFFS2's (yaffs2/header.h): a header
// written for a rename over an existing name shadows (deletes) that object.
constexpr size_t kHdrShadows = 504;
constexpr size_t kHdrIsShrink = 508;
static_assert(kHdrIsShrink + 4 == kPageSize);

} // namespace korvane::yaffs1
