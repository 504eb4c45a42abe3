// The EXT2/3/4 on-disk layout: superblock, group descriptor, inode, extent,
// extended attribute and directory entry fields, and the feature flags. The
// records are decoded in superblock.h, inode.h, extent.h and xattr.h.
//
//   byte 0       1024          block s_first_data_block + 1
//   | boot area  | superblock  | group descriptors | reserved GDT blocks |
//   then, group after group (s_blocks_per_group blocks each):
//   | [superblock copy, descriptors] | block bitmap | inode bitmap |
//   | inode table (s_inodes_per_group inodes of s_inode_size bytes) | data |
//   (sparse_super keeps the copies in groups 0, 1 and powers of 3, 5, 7;
//   flex_bg packs the bitmaps and tables of 2^n groups together.)
//
//   inode:  0 mode .. 40 i_block[15] (block map, extent tree or inline
//           data) .. 124 checksum_lo | 128 extra_isize, checksum_hi, the
//           *_extra times, crtime .. | in-inode attributes (xa::kMagic)
//   folder block: entries (inode, rec_len, name_len, type, name), with
//           metadata_csum a 12-byte tail entry holding the crc32c
//   extent node: 12-byte header, then 12-byte extents (depth 0) or index
//           entries; blocks end in a crc32c after eh_max entries
//   attribute block: 32-byte header, entries down from the top, values
//           up from the end
//
// Each record's last named field plus its width is the record's size
// (checked at the end of this file).
#pragma once

#include "model/bytes.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane::ext2 {

constexpr uint16_t kMagic = 0xEF53;
constexpr size_t kSuperblockOffset = 1024;
constexpr size_t kSuperblockSize = 1024;
constexpr uint32_t kMinBlockSize = 1024;
constexpr uint32_t kMaxLogBlockSize = 6; // 64 KiB blocks
constexpr uint32_t kGoodOldRev = 0;
constexpr uint32_t kDynamicRev = 1;
constexpr uint32_t kGoodOldInodeSize = 128;
constexpr uint32_t kGoodOldFirstIno = 11;
constexpr uint32_t kRootIno = 2;
constexpr uint32_t kJournalIno = 8;
constexpr size_t kDescSize = 32;       // without the 64bit feature
constexpr size_t kInodeReadSize = 128; // the fields every inode size holds
constexpr size_t kBlockMapSize = 60;

// Block map slots: 12 direct blocks, then single, double and triple indirect.
constexpr size_t kDirectBlocks = 12;
constexpr size_t kIndirectSlot = 12;
constexpr size_t kDoubleSlot = 13;
constexpr size_t kTripleSlot = 14;
constexpr size_t kBlockSlots = 15;

// Superblock field offsets (from the superblock's start).
namespace sb {
constexpr size_t kInodesCount = 0;
constexpr size_t kBlocksCount = 4;
constexpr size_t kReservedBlocks = 8;
constexpr size_t kFreeBlocks = 12;
constexpr size_t kFreeInodes = 16;
constexpr size_t kFirstDataBlock = 20;
constexpr size_t kLogBlockSize = 24;
constexpr size_t kLogFragSize = 28;
constexpr size_t kBlocksPerGroup = 32;
constexpr size_t kFragsPerGroup = 36;
constexpr size_t kInodesPerGroup = 40;
constexpr size_t kMountTime = 44;
constexpr size_t kWriteTime = 48;
constexpr size_t kMountCount = 52;
constexpr size_t kMaxMountCount = 54;
constexpr size_t kMagic = 56;
constexpr size_t kState = 58;
constexpr size_t kErrors = 60;
constexpr size_t kMinorRev = 62;
constexpr size_t kLastCheck = 64;
constexpr size_t kCheckInterval = 68;
constexpr size_t kCreatorOs = 72;
constexpr size_t kRevLevel = 76;
constexpr size_t kFirstIno = 84;
constexpr size_t kInodeSize = 88;
constexpr size_t kBlockGroupNr = 90;
constexpr size_t kFeatureCompat = 92;
constexpr size_t kFeatureIncompat = 96;
constexpr size_t kFeatureRoCompat = 100;
constexpr size_t kUuid = 104;
constexpr size_t kVolumeName = 120;
constexpr size_t kVolumeNameSize = 16;
constexpr size_t kLastMounted = 136;
constexpr size_t kLastMountedSize = 64;
constexpr size_t kReservedGdtBlocks = 206;
constexpr size_t kJournalUuid = 208;
constexpr size_t kJournalInum = 224;
constexpr size_t kJournalDev = 228;
constexpr size_t kJournalBackupType = 253;
constexpr size_t kJournalBlocks = 268; // a copy of the journal inode's block map
constexpr size_t kJournalSizeHigh = 328;
constexpr size_t kJournalSize = 332;
constexpr size_t kFirstMetaBg = 260;
constexpr size_t kMkfsTime = 264;
constexpr size_t kBackupBgs = 588; // two group numbers (sparse_super2)
} // namespace sb

// Group descriptor field offsets.
namespace gd {
constexpr size_t kBlockBitmap = 0;
constexpr size_t kInodeBitmap = 4;
constexpr size_t kInodeTable = 8;
constexpr size_t kFreeBlocks = 12;
constexpr size_t kFreeInodes = 14;
constexpr size_t kUsedDirs = 16;
} // namespace gd

constexpr uint16_t kStateClean = 1;
constexpr uint8_t kJournalBackupBlocks = 1; // the superblock holds the journal's block map

// Inode field offsets.
namespace ino {
constexpr size_t kMode = 0;
constexpr size_t kUid = 2;
constexpr size_t kSize = 4;
constexpr size_t kAtime = 8;
constexpr size_t kCtime = 12;
constexpr size_t kMtime = 16;
constexpr size_t kDtime = 20;
constexpr size_t kGid = 24;
constexpr size_t kLinks = 26;
constexpr size_t kBlocks = 28; // in 512-byte units (fs blocks with the huge-file flag)
constexpr size_t kFlags = 32;
constexpr size_t kBlockMap = 40;
constexpr size_t kFileAcl = 104;
constexpr size_t kSizeHigh = 108;    // i_dir_acl of directories before largedir
constexpr size_t kBlocksHigh = 116;  // osd2 (Linux): l_i_blocks_hi
constexpr size_t kFileAclHigh = 118; // l_i_file_acl_high
constexpr size_t kUidHigh = 120;     // l_i_uid_high
constexpr size_t kGidHigh = 122;     // l_i_gid_high
} // namespace ino

constexpr uint32_t kInodeFlagHugeFile = 0x40000;
constexpr uint32_t kInodeFlagExtents = 0x80000;
constexpr uint32_t kInodeFlagInlineData = 0x10000000;

// Directory entry field offsets.
namespace de {
constexpr size_t kInode = 0;
constexpr size_t kRecLen = 4;
constexpr size_t kNameLen = 6;
constexpr size_t kFileType = 7;
constexpr size_t kName = 8;
constexpr size_t kHeaderSize = 8;
} // namespace de
constexpr uint32_t kMaxNameLength = 255;

// A directory entry's record length: 64 KiB blocks store 65536 as 0 or 65535.
inline uint32_t recordLength(uint16_t stored, uint32_t blockSize) {
    if (blockSize >= 65536 && (stored == 0 || stored == 65535))
        return 65536;
    return stored;
}

// The superblock of an internal journal (JBD): big-endian fields at the start
// of the journal's first block.
namespace jbd {
constexpr uint32_t kMagic = 0xC03B3998;
constexpr uint32_t kSuperblockV2 = 4; // block type
constexpr size_t kMagicAt = 0;
constexpr size_t kBlockType = 4;
constexpr size_t kSequence = 8;
constexpr size_t kBlockSize = 12;
constexpr size_t kMaxLen = 16;
constexpr size_t kFirst = 20;
constexpr size_t kFirstSequence = 24;
constexpr size_t kStart = 28;
} // namespace jbd

// Feature flags.
enum CompatFeature : uint32_t {
    kCompatDirPrealloc = 0x0001,
    kCompatImagicInodes = 0x0002,
    kCompatHasJournal = 0x0004,
    kCompatExtAttr = 0x0008,
    kCompatResizeInode = 0x0010,
    kCompatDirIndex = 0x0020,
    kCompatLazyBg = 0x0040,
    kCompatExcludeInode = 0x0080,
    kCompatExcludeBitmap = 0x0100,
    kCompatSparseSuper2 = 0x0200,
    kCompatFastCommit = 0x0400,
    kCompatStableInodes = 0x0800,
    kCompatOrphanFile = 0x1000,
};

enum IncompatFeature : uint32_t {
    kIncompatCompression = 0x0001,
    kIncompatFiletype = 0x0002,
    kIncompatRecover = 0x0004,
    kIncompatJournalDev = 0x0008,
    kIncompatMetaBg = 0x0010,
    kIncompatExtents = 0x0040,
    kIncompat64bit = 0x0080,
    kIncompatMmp = 0x0100,
    kIncompatFlexBg = 0x0200,
    kIncompatEaInode = 0x0400,
    kIncompatDirData = 0x1000,
    kIncompatCsumSeed = 0x2000,
    kIncompatLargeDir = 0x4000,
    kIncompatInlineData = 0x8000,
    kIncompatEncrypt = 0x10000,
    kIncompatCasefold = 0x20000,
};

enum RoCompatFeature : uint32_t {
    kRoCompatSparseSuper = 0x0001,
    kRoCompatLargeFile = 0x0002,
    kRoCompatBtreeDir = 0x0004,
    kRoCompatHugeFile = 0x0008,
    kRoCompatGdtCsum = 0x0010,
    kRoCompatDirNlink = 0x0020,
    kRoCompatExtraIsize = 0x0040,
    kRoCompatHasSnapshot = 0x0080,
    kRoCompatQuota = 0x0100,
    kRoCompatBigalloc = 0x0200,
    kRoCompatMetadataCsum = 0x0400,
    kRoCompatReplica = 0x0800,
    kRoCompatReadonly = 0x1000,
    kRoCompatProject = 0x2000,
    kRoCompatSharedBlocks = 0x4000,
    kRoCompatVerity = 0x8000,
    kRoCompatOrphanPresent = 0x10000,
};

// Incompatible features this reader reads correctly. Any other incompatible
// feature changes the layout in a way it does not know, and the image is
// refused rather than misread.
constexpr uint32_t kIncompatUnderstood =
    kIncompatFiletype | kIncompatRecover | kIncompatMetaBg | kIncompatExtents | kIncompat64bit |
    kIncompatMmp | kIncompatFlexBg | kIncompatEaInode | kIncompatCsumSeed | kIncompatLargeDir |
    kIncompatInlineData | kIncompatCasefold;
// Read-only features that change how files are found (bigalloc counts extents
// in clusters).
constexpr uint32_t kRoCompatRefused = kRoCompatBigalloc;

// ext4: the fields, flags and records the reader adds.
namespace sb {
constexpr size_t kDescSize = 254; // u16, with 64bit
constexpr size_t kBlocksCountHi = 336;
constexpr size_t kReservedBlocksHi = 340;
constexpr size_t kFreeBlocksHi = 344;
constexpr size_t kMinExtraIsize = 348;
constexpr size_t kLogGroupsPerFlex = 372;
constexpr size_t kChecksumType = 373;
constexpr size_t kChecksumSeed = 624;
constexpr size_t kEncoding = 636;
constexpr size_t kChecksum = 1020;
} // namespace sb

namespace gd {
constexpr size_t kFlags = 18;
constexpr size_t kItableUnused = 28;
constexpr size_t kChecksum = 30;
constexpr size_t kInodeTableHi = 40; // 64bit descriptors
constexpr size_t kReserved64 = 60;   // the last word of a 64-byte descriptor
} // namespace gd

namespace ino {
constexpr size_t kGeneration = 100;
constexpr size_t kChecksumLo = 124; // osd2 (Linux): l_i_checksum_lo
constexpr size_t kOsd2Reserved = 126;
constexpr size_t kExtraIsize = 128;
constexpr size_t kChecksumHi = 130;
constexpr size_t kCtimeExtra = 132;
constexpr size_t kMtimeExtra = 136;
constexpr size_t kAtimeExtra = 140;
} // namespace ino

constexpr size_t kDesc64Size = 64; // the least descriptor size with 64bit
constexpr uint16_t kGroupInodeUninit = 0x1;
constexpr uint32_t kInodeFlagIndex = 0x1000;
constexpr uint32_t kInodeFlagEaInode = 0x200000;
constexpr uint16_t kEncodingUtf8 = 1;
// The extra time words: two epoch bits above the signed 32-bit seconds, then
// 30 bits of nanoseconds.
constexpr uint32_t kEpochMask = 0x3;

// Extent trees: a 12-byte header, then 12-byte index entries or extents.
namespace ext {
constexpr uint16_t kMagic = 0xF30A;
constexpr size_t kHeaderSize = 12;
constexpr size_t kEntrySize = 12;
constexpr size_t kMagicAt = 0;
constexpr size_t kEntries = 2;
constexpr size_t kMax = 4;
constexpr size_t kDepth = 6;
constexpr size_t kGeneration = 8;
constexpr size_t kBlock = 0;            // both kinds: first logical block
constexpr size_t kLen = 4;              // extent: u16 length
constexpr size_t kStartHi = 6;          // extent: u16
constexpr size_t kStartLo = 8;          // extent: u32
constexpr size_t kLeafLo = 4;           // index: u32
constexpr size_t kLeafHi = 8;           // index: u16
constexpr size_t kIndexUnused = 10;     // index: u16
constexpr uint32_t kInitMaxLen = 32768; // longer lengths mark uninitialised extents
constexpr uint16_t kMaxDepth = 5;
constexpr size_t kTailSize = 4; // crc32c after eh_max entries
} // namespace ext

// Extended attributes: in the inode after i_extra_isize (a magic word, then
// entries) and in a block (a 32-byte header, then entries).
namespace xa {
constexpr uint32_t kMagic = 0xEA020000;
constexpr size_t kBlockHeaderSize = 32;
constexpr size_t kBlockChecksum = 16;
constexpr size_t kBlockReserved = 20; // three words
constexpr size_t kEntryHeaderSize = 16;
constexpr size_t kNameLen = 0;
constexpr size_t kNameIndex = 1;
constexpr size_t kValueOffset = 2;
constexpr size_t kValueInode = 4;
constexpr size_t kValueSize = 8;
constexpr size_t kName = 16;
constexpr uint8_t kIndexSystem = 7; // "system.data" holds the rest of inline data
constexpr uint32_t kMaxValueSize = 65536;
} // namespace xa

constexpr size_t kInlineSize = 60; // inline data in i_block before the xattr

// Directory blocks with metadata_csum end in a 12-byte fake entry holding
// the crc32c; hash-tree nodes keep theirs after the index entries.
namespace dt {
constexpr size_t kTailSize = 12;
constexpr uint8_t kTailFileType = 0xDE;
constexpr size_t kTailChecksum = 8;
constexpr size_t kRootCountLimit = 32; // in the first block: after ".", ".." and dx_root_info
constexpr size_t kNodeCountLimit = 8;  // in other index blocks: after a fake entry
constexpr size_t kDxEntrySize = 8;
constexpr size_t kDxTailSize = 8;
} // namespace dt

// JBD2 journal records the replay reads (big-endian).
namespace jbd {
constexpr uint32_t kDescriptorBlock = 1;
constexpr uint32_t kCommitBlock = 2;
constexpr uint32_t kSuperblockV1 = 3;
constexpr uint32_t kRevokeBlock = 5;
constexpr size_t kHeaderSize = 12;
constexpr size_t kFeatureCompat = 36;
constexpr size_t kFeatureIncompat = 40;
constexpr size_t kUuid = 48;
constexpr size_t kNumFcBlocks = 84;
constexpr size_t kChecksum = 252;
constexpr size_t kSuperblockSize = 1024;
constexpr size_t kCommitChecksum = 16; // h_chksum[0]
constexpr size_t kRevokeCount = 12;
constexpr size_t kRevokeRecords = 16;
constexpr size_t kTailSize = 4; // descriptor and revoke blocks with checksums
constexpr uint32_t kCompatChecksum = 0x1;
constexpr uint32_t kIncompatRevoke = 0x1;
constexpr uint32_t kIncompat64bit = 0x2;
constexpr uint32_t kIncompatAsyncCommit = 0x4;
constexpr uint32_t kIncompatCsumV2 = 0x8;
constexpr uint32_t kIncompatCsumV3 = 0x10;
constexpr uint32_t kIncompatFastCommit = 0x20;
constexpr uint32_t kDefaultFcBlocks = 256;
constexpr uint32_t kTagEscape = 0x1;
constexpr uint32_t kTagSameUuid = 0x2;
constexpr uint32_t kTagLast = 0x8;
} // namespace jbd

// ext4 fast commits: after the journal's log, blocks of little-endian
// tag-length-value records, the first a head naming the transaction they
// follow.
namespace fc {
constexpr size_t kTag = 0;    // u16
constexpr size_t kLength = 2; // u16, bytes of the value after this record
constexpr size_t kHeadFeatures = 4;
constexpr size_t kHeadTid = 8;
constexpr uint16_t kTagHead = 9;
} // namespace fc

// ---- Fields the writer sets beyond those the reader needs.

namespace sb {
constexpr size_t kAlgorithmUsage = 200;
constexpr size_t kHashSeed = 236; // 16 bytes
constexpr size_t kDefHashVersion = 252;
constexpr size_t kDefaultMountOpts = 256;
constexpr size_t kWantExtraIsize = 350;
constexpr size_t kFlags = 352;
constexpr size_t kKbytesWritten = 376;
} // namespace sb

namespace gd {
constexpr size_t kBlockBitmapCsum = 24;
constexpr size_t kInodeBitmapCsum = 26;
} // namespace gd

namespace ino {
constexpr size_t kCrtime = 144;
constexpr size_t kCrtimeExtra = 148;
constexpr size_t kVersionHi = 152;
constexpr size_t kProjid = 156;
} // namespace ino

// The extra inode fields the writer fills: up to and including i_projid.
constexpr uint16_t kWrittenExtraIsize = 32;
constexpr uint32_t kEpochBits = 2; // below the nanoseconds in each *_extra field

constexpr uint16_t kBgInodeZeroed = 0x0004; // group descriptor flag
constexpr uint32_t kFlagsSignedHash = 0x0001;
constexpr uint32_t kFlagsUnsignedHash = 0x0002;
constexpr uint8_t kHashHalfMd4 = 1;
constexpr uint8_t kChecksumCrc32c = 1;
constexpr uint32_t kDefmXattrUser = 0x0004;
constexpr uint32_t kDefmAcl = 0x0008;
constexpr uint32_t kErrorsContinue = 1;
constexpr uint32_t kLinkMax = 65000; // links of one inode; folders past it count 1
constexpr uint32_t kMinJournalBlocks = 1024;

// Attribute blocks: the header fields and entry hash the writer sets.
namespace xa {
constexpr size_t kRefcount = 4;
constexpr size_t kBlocks = 8;
constexpr size_t kHash = 12;
constexpr size_t kEntryHash = 12;
constexpr uint32_t kRefcountMax = 1024; // inodes sharing one block
} // namespace xa

// Directory entry file types (filetype feature).
enum DirFileType : uint8_t {
    kFtUnknown = 0,
    kFtRegular = 1,
    kFtDirectory = 2,
    kFtCharDevice = 3,
    kFtBlockDevice = 4,
    kFtFifo = 5,
    kFtSocket = 6,
    kFtSymlink = 7,
};

namespace jbd {
constexpr size_t kNrUsers = 64;
constexpr size_t kUsers = 256; // 48 UUIDs of 16 bytes
} // namespace jbd

static_assert(sb::kChecksum + 4 == kSuperblockSize);
static_assert(gd::kChecksum + 2 == kDescSize && gd::kReserved64 + 4 == kDesc64Size);
static_assert(ino::kOsd2Reserved + 2 == kGoodOldInodeSize && ino::kExtraIsize == kGoodOldInodeSize);
static_assert(ino::kProjid + 4 == kGoodOldInodeSize + kWrittenExtraIsize);
static_assert(ino::kBlockMap + kBlockMapSize == 100 && ino::kGeneration == 100);
static_assert(de::kFileType + 1 == de::kHeaderSize && de::kName == de::kHeaderSize);
static_assert(ext::kGeneration + 4 == ext::kHeaderSize && ext::kStartLo + 4 == ext::kEntrySize &&
              ext::kIndexUnused + 2 == ext::kEntrySize);
static_assert(xa::kBlockReserved + 12 == xa::kBlockHeaderSize &&
              xa::kEntryHash + 4 == xa::kEntryHeaderSize && xa::kName == xa::kEntryHeaderSize);
static_assert(dt::kTailChecksum + 4 == dt::kTailSize);
static_assert(jbd::kUsers + 48 * 16 == jbd::kSuperblockSize && jbd::kChecksum + 4 == jbd::kUsers);

} // namespace korvane::ext2
