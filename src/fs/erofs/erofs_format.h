// The EROFS on-disk layout: superblock, inodes (compact and extended),
// extended attributes, directory entries, chunk indexes and the cluster
// indexes of compressed files, as named offsets. The records are decoded and
// encoded in super.h, inode.h, xattr.h, dir.h and zmap.h, by the reader and
// the writer alike.
//
//   byte 0            1024            1024+128+16*extslots
//   | (boot sector)   | superblock    | compression configs (COMPR_CFGS)
//   ...
//   meta_blkaddr * blocksize + nid * 32:  an inode (32 or 64 bytes), then
//       its inline attributes (ibody header, shared ids, entries), then
//       either the tail of its data (FLAT_INLINE, within the same block),
//       or at the next multiple of 8 a map header and the cluster index
//       (compressed), or at the next multiple of 4 / 8 the chunk block map
//       or chunk indexes (CHUNK_BASED)
//   xattr_blkaddr * blocksize + id * 4:   a shared attribute entry
//   data blocks: blocksize each, addressed by block number from byte 0
//
// A directory's contents are blocks of dirents: 12-byte records sorted by
// name, then the names; the first record's nameoff / 12 is the count.
#pragma once

#include "model/bytes.h"

#include <cstddef>
#include <cstdint>

namespace korvane::erofs {

inline uint64_t load64(const std::byte* p) {
    return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32;
}

inline void store64(std::byte* p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v));
    store32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr uint32_t kMagic = 0xE0F5E1E2;
constexpr size_t kSuperOffset = 1024;
constexpr uint32_t kMinBlockBits = 9;
constexpr uint32_t kMaxBlockBits = 16;
constexpr uint32_t kNidShift = 5; // inodes are addressed in 32-byte slots
constexpr uint64_t kNullAddr32 = 0xFFFFFFFFu;
constexpr size_t kNameMax = 255;

// Superblock (128 bytes plus 16 per extension slot).
namespace sb {
constexpr size_t kMagic = 0;
constexpr size_t kChecksum = 4;
constexpr size_t kFeatureCompat = 8;
constexpr size_t kBlockBits = 12;
constexpr size_t kExtSlots = 13;
constexpr size_t kRootNid = 14; // 16 bits
constexpr size_t kInos = 16;
constexpr size_t kEpoch = 24;     // 64-bit seconds: the build time and the base of compact times
constexpr size_t kFixedNsec = 32; // nanoseconds of every compact inode's time
constexpr size_t kBlocks = 36;
constexpr size_t kMetaBlkaddr = 40;
constexpr size_t kXattrBlkaddr = 44;
constexpr size_t kUuid = 48;
constexpr size_t kVolumeName = 64;
constexpr size_t kVolumeNameSize = 16;
constexpr size_t kFeatureIncompat = 80;
constexpr size_t kU1 = 84; // available compression algorithms, or the LZ4 window
constexpr size_t kExtraDevices = 86;
constexpr size_t kDevtSlotOff = 88;
constexpr size_t kDirBlockBits = 90;
constexpr size_t kXattrPrefixCount = 91;
constexpr size_t kXattrPrefixStart = 92;
constexpr size_t kPackedNid = 96;
constexpr size_t kXattrFilterReserved = 104;
constexpr size_t kReserved = 105;
constexpr size_t kBuildTime = 108; // seconds after the epoch the image was made (newer tools)
constexpr size_t kRootNid8b = 112;
constexpr size_t kReserved2 = 120;
constexpr size_t kSize = 128;
static_assert(kReserved2 + 8 == kSize);
constexpr size_t kExtSlotSize = 16;
} // namespace sb

// Feature bits.
constexpr uint32_t kCompatSbChecksum = 0x1;
constexpr uint32_t kCompatMtime = 0x2;
constexpr uint32_t kCompatXattrFilter = 0x4;
constexpr uint32_t kCompatPlainXattrPrefix = 0x10;
constexpr uint32_t kIncompatZeroPadding = 0x1;
constexpr uint32_t kIncompatComprCfgs = 0x2; // also big pclusters
constexpr uint32_t kIncompatChunkedFile = 0x4;
constexpr uint32_t kIncompatDeviceTable = 0x8; // also the second head type
constexpr uint32_t kIncompatZtailpacking = 0x10;
constexpr uint32_t kIncompatFragments = 0x20; // also deduplicated clusters
constexpr uint32_t kIncompatXattrPrefixes = 0x40;
constexpr uint32_t kIncompat48Bit = 0x80;
constexpr uint32_t kIncompatMetabox = 0x100;
// What this reader reads: everything before the 48-bit layout.
constexpr uint32_t kIncompatKnown = 0x7F;

// Device table slot (128 bytes).
namespace dev {
constexpr size_t kTag = 0;
constexpr size_t kBlocks = 64;
constexpr size_t kMappedBlkaddr = 68;
constexpr size_t kReserved = 72;
constexpr size_t kSize = 128;
static_assert(kReserved + 56 == kSize);
} // namespace dev

// Inode data layouts (bits 1-3 of i_format).
enum DataLayout : uint8_t {
    kFlatPlain = 0,
    kCompressedFull = 1,
    kFlatInline = 2,
    kCompressedCompact = 3,
    kChunkBased = 4,
};
constexpr uint16_t kFormatExtended = 0x1;
constexpr uint16_t kFormatLayoutShift = 1;
constexpr uint16_t kFormatLayoutMask = 0x7;
constexpr uint16_t kFormatNlink1 = 0x10; // compact non-directories of the 48-bit layout
constexpr uint16_t kFormatKnown = 0x1F;

// Compact inode (32 bytes).
namespace ic {
constexpr size_t kFormat = 0;
constexpr size_t kXattrCount = 2;
constexpr size_t kMode = 4;
constexpr size_t kNlink = 6;
constexpr size_t kSize = 8;   // 32 bits
constexpr size_t kMtime = 12; // seconds after the epoch (zero in older images)
constexpr size_t kU = 16;     // start block, compressed blocks, rdev or chunk format
constexpr size_t kIno = 20;
constexpr size_t kUid = 24; // 16 bits
constexpr size_t kGid = 26; // 16 bits
constexpr size_t kReserved = 28;
constexpr size_t kRecordSize = 32;
static_assert(kReserved + 4 == kRecordSize);
} // namespace ic

// Extended inode (64 bytes).
namespace ie {
constexpr size_t kFormat = 0;
constexpr size_t kXattrCount = 2;
constexpr size_t kMode = 4;
constexpr size_t kReserved = 6;
constexpr size_t kSize = 8; // 64 bits
constexpr size_t kU = 16;
constexpr size_t kIno = 20;
constexpr size_t kUid = 24;
constexpr size_t kGid = 28;
constexpr size_t kMtime = 32; // 64-bit seconds
constexpr size_t kMtimeNsec = 40;
constexpr size_t kNlink = 44;
constexpr size_t kReserved2 = 48;
constexpr size_t kRecordSize = 64;
static_assert(kReserved2 + 16 == kRecordSize);
} // namespace ie

// Chunk format word (the low 16 bits of i_u of CHUNK_BASED inodes).
constexpr uint16_t kChunkBlkbitsMask = 0x1F;
constexpr uint16_t kChunkIndexes = 0x20;
constexpr uint16_t kChunk48Bit = 0x40;

// Chunk index (8 bytes); without kChunkIndexes a chunk is a 4-byte block
// number instead.
namespace ci {
constexpr size_t kStartBlkHi = 0;
constexpr size_t kDeviceId = 2;
constexpr size_t kStartBlkLo = 4;
constexpr size_t kRecordSize = 8;
static_assert(kStartBlkLo + 4 == kRecordSize);
constexpr size_t kBlockMapEntry = 4;
} // namespace ci

// Inline attribute header (12 bytes, then h_shared_count 4-byte ids).
namespace xh {
constexpr size_t kNameFilter = 0;
constexpr size_t kSharedCount = 4;
constexpr size_t kReserved = 5;
constexpr size_t kRecordSize = 12;
static_assert(kReserved + 7 == kRecordSize);
} // namespace xh

// Attribute entry (4 bytes, then the name and the value, padded to 4).
namespace xe {
constexpr size_t kNameLen = 0;
constexpr size_t kNameIndex = 1;
constexpr size_t kValueSize = 2;
constexpr size_t kRecordSize = 4;
static_assert(kValueSize + 2 == kRecordSize);
} // namespace xe

constexpr uint8_t kXattrIndexUser = 1;
constexpr uint8_t kXattrIndexAclAccess = 2;
constexpr uint8_t kXattrIndexAclDefault = 3;
constexpr uint8_t kXattrIndexTrusted = 4;
constexpr uint8_t kXattrIndexLustre = 5;
constexpr uint8_t kXattrIndexSecurity = 6;
constexpr uint8_t kXattrLongPrefix = 0x80;

// Directory entry (12 bytes).
namespace de {
constexpr size_t kNid = 0;
constexpr size_t kNameOff = 8;
constexpr size_t kFileType = 10;
constexpr size_t kReserved = 11;
constexpr size_t kRecordSize = 12;
static_assert(kReserved + 1 == kRecordSize);
} // namespace de

enum FileType : uint8_t {
    kFtUnknown = 0,
    kFtRegular = 1,
    kFtDirectory = 2,
    kFtCharDevice = 3,
    kFtBlockDevice = 4,
    kFtFifo = 5,
    kFtSocket = 6,
    kFtSymlink = 7,
};

// Map header of compressed inodes (8 bytes at the first multiple of 8 after
// the inline attributes).
namespace mh {
constexpr size_t kFragmentOff = 0; // 32 bits, with fragments
constexpr size_t kIdataSize = 2;   // 16 bits, with tail packing
constexpr size_t kAdvise = 4;
constexpr size_t kAlgorithmType = 6; // bits 0-3: the first head's, 4-7: the second's
constexpr size_t kClusterBits = 7;   // bits 0-3: lcluster bits - block bits; bit 7: all fragment
constexpr size_t kRecordSize = 8;
static_assert(kClusterBits + 1 == kRecordSize);
} // namespace mh

constexpr uint16_t kAdviseCompacted2B = 0x1; // compact indexes; with full ones: extent records
constexpr uint16_t kAdviseBigPcluster1 = 0x2;
constexpr uint16_t kAdviseBigPcluster2 = 0x4;
constexpr uint16_t kAdviseInlinePcluster = 0x8;
constexpr uint16_t kAdviseInterlacedPcluster = 0x10;
constexpr uint16_t kAdviseFragmentPcluster = 0x20;
constexpr uint8_t kClusterBitsAllFragment = 0x80;

// Full (legacy) cluster index (8 bytes each, after the map header and 8
// bytes of padding).
namespace li {
constexpr size_t kAdvise = 0;
constexpr size_t kClusterOfs = 2;
constexpr size_t kBlkaddr = 4; // heads
constexpr size_t kDelta0 = 4;  // non-heads
constexpr size_t kDelta1 = 6;
constexpr size_t kRecordSize = 8;
static_assert(kDelta1 + 2 == kRecordSize);
constexpr size_t kFullIndexPad = 8;
} // namespace li

enum LclusterType : uint8_t {
    kLclusterPlain = 0,
    kLclusterHead1 = 1,
    kLclusterNonhead = 2,
    kLclusterHead2 = 3,
};
constexpr uint16_t kLiTypeMask = 0x3;
constexpr uint16_t kLiPartialRef = 0x8000;
constexpr uint16_t kLiD0Cblkcnt = 0x800;

enum Algorithm : uint8_t {
    kAlgLz4 = 0,
    kAlgLzma = 1,
    kAlgDeflate = 2,
    kAlgZstd = 3,
    // The forms of stored (uncompressed) clusters.
    kAlgShifted = 0xF0,
    kAlgInterlaced = 0xF1,
};

// Largest encoded and decoded sizes of one physical cluster.
constexpr uint32_t kPclusterMaxSize = 1u << 20;
constexpr uint32_t kPclusterMaxDecoded = 12u << 20;

} // namespace korvane::erofs
