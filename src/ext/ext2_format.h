// The EXT2/EXT3 on-disk layout: superblock, group descriptor, inode and
// directory entry fields, feature flags, and the helpers that decode them.
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
constexpr uint32_t kIncompatUnderstood = kIncompatFiletype | kIncompatRecover | kIncompatMetaBg |
                                         kIncompatMmp | kIncompatFlexBg | kIncompatEaInode |
                                         kIncompatCsumSeed | kIncompatLargeDir | kIncompatCasefold;
// Read-only features that change how files are found (bigalloc needs extents
// and cluster arithmetic).
constexpr uint32_t kRoCompatRefused = kRoCompatBigalloc;

// The names e2fsprogs gives the features, set bits in order, compat first.
std::vector<std::string> featureNames(uint32_t compat, uint32_t incompat, uint32_t roCompat);
// The name of one feature bit of a set; "FEATURE_I16" style for unknown bits.
std::string incompatName(uint32_t bit);
std::string roCompatName(uint32_t bit);

// The superblock fields the reader uses, decoded and checked.
struct Superblock {
    uint32_t inodesCount = 0;
    uint32_t blocksCount = 0;
    uint32_t reservedBlocks = 0;
    uint32_t freeBlocks = 0;
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
    // Kept when an image is saved like its source.
    std::array<uint8_t, 16> hashSeed{};
    uint8_t defHashVersion = 0;
    uint32_t flags = 0;

    uint32_t groupCount = 0;

    bool has(CompatFeature f) const { return (compat & f) != 0; }
    bool has(IncompatFeature f) const { return (incompat & f) != 0; }
    bool has(RoCompatFeature f) const { return (roCompat & f) != 0; }
};

// Decodes and checks the superblock of an image of imageSize bytes (p points
// at the superblock, kSuperblockSize bytes). Throws Error naming what is
// wrong: no magic, an impossible geometry, counts that do not fit the file, an
// incompatible feature the reader does not understand.
Superblock loadSuperblock(const std::byte* p, uint64_t imageSize);

// Whether group g holds a copy of the superblock (and of the descriptors).
bool groupHasSuper(const Superblock& s, uint32_t group);
// The block holding the descriptor of group g: the table after the
// superblock, or with meta_bg the first block of g's meta group.
uint64_t descriptorBlock(const Superblock& s, uint32_t group);

// The fields of an inode the reader uses.
struct Inode {
    uint16_t mode = 0;
    uint32_t uid = 0; // with the high word of osd2
    uint64_t size = 0;
    int64_t atime = 0; // signed 32-bit seconds
    int64_t ctime = 0;
    int64_t mtime = 0;
    uint32_t dtime = 0;
    uint32_t gid = 0;
    uint16_t links = 0;
    uint64_t sectors = 0; // i_blocks in 512-byte units
    uint32_t flags = 0;
    uint32_t fileAcl = 0;
    std::array<uint32_t, kBlockSlots> blocks{};
};

// Decodes the first kInodeReadSize bytes of an inode.
Inode loadInode(const std::byte* p, const Superblock& s);

// A symbolic link keeps its target inside the block map when it has no data
// blocks of its own (an extended-attribute block does not count), as the
// kernel decides.
bool isFastSymlink(const Inode& inode, const Superblock& s);

// The largest file size the block map of a block size can address.
uint64_t maxFileSize(uint32_t blockSize);

// ---- Fields the writer sets beyond those above (ext4 and extended attributes).

namespace sb {
constexpr size_t kAlgorithmUsage = 200;
constexpr size_t kHashSeed = 236; // 16 bytes
constexpr size_t kDefHashVersion = 252;
constexpr size_t kDescSizeField = 254;
constexpr size_t kDefaultMountOpts = 256;
constexpr size_t kMinExtraIsize = 348;
constexpr size_t kWantExtraIsize = 350;
constexpr size_t kFlags = 352;
constexpr size_t kLogGroupsPerFlex = 372;
constexpr size_t kChecksumType = 373;
constexpr size_t kKbytesWritten = 376;
constexpr size_t kChecksum = 1020;
} // namespace sb

namespace gd {
constexpr size_t kFlags = 18;
constexpr size_t kBlockBitmapCsum = 24;
constexpr size_t kInodeBitmapCsum = 26;
constexpr size_t kItableUnused = 28;
constexpr size_t kChecksum = 30;
} // namespace gd

namespace ino {
constexpr size_t kGeneration = 100;
constexpr size_t kChecksumLo = 124; // osd2 (Linux): l_i_checksum_lo
constexpr size_t kExtraIsize = 128;
constexpr size_t kChecksumHi = 130;
constexpr size_t kCtimeExtra = 132;
constexpr size_t kMtimeExtra = 136;
constexpr size_t kAtimeExtra = 140;
constexpr size_t kCrtime = 144;
constexpr size_t kCrtimeExtra = 148;
} // namespace ino

// The extra inode fields the writer fills: up to and including i_crtime_extra.
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

// Extent trees: a 12-byte header, then 12-byte entries (extents in leaves,
// index entries above them); tree blocks end in a 4-byte checksum.
namespace extent {
constexpr uint16_t kMagic = 0xF30A;
constexpr size_t kHeaderSize = 12;
constexpr size_t kEntrySize = 12;
constexpr size_t kMagicAt = 0;
constexpr size_t kEntries = 2;
constexpr size_t kMax = 4;
constexpr size_t kDepth = 6;
constexpr size_t kBlock = 0; // first logical block (both entry kinds)
constexpr size_t kLen = 4;   // extent: length
constexpr size_t kStartHi = 6;
constexpr size_t kStartLo = 8;
constexpr size_t kLeafLo = 4; // index: child block
constexpr size_t kLeafHi = 8;
constexpr uint32_t kMaxLen = 32768; // blocks of one initialised extent
} // namespace extent

// Extended attributes: a 4-byte magic after the inode's extra fields, or a
// 32-byte header at the start of an attribute block; then 16-byte entries
// (name padded to 4 bytes), a zero word, and the values from the far end.
namespace xattr {
constexpr uint32_t kMagic = 0xEA020000;
constexpr size_t kBlockHeaderSize = 32;
constexpr size_t kRefcount = 4;
constexpr size_t kBlocks = 8;
constexpr size_t kHash = 12;
constexpr size_t kChecksum = 16;
constexpr size_t kEntrySize = 16;
constexpr size_t kNameLen = 0;
constexpr size_t kNameIndex = 1;
constexpr size_t kValueOffs = 2;
constexpr size_t kValueInum = 4;
constexpr size_t kValueSize = 8;
constexpr size_t kEntryHash = 12;
constexpr uint32_t kRefcountMax = 1024;
} // namespace xattr

// The entry that ends a checksummed directory block.
namespace dirtail {
constexpr size_t kSize = 12;
constexpr uint8_t kFileType = 0xDE;
constexpr size_t kChecksum = 8;
} // namespace dirtail

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

// Further fields of the journal superblock (big-endian).
namespace jbd {
constexpr size_t kUuid = 48;
constexpr size_t kNrUsers = 64;
} // namespace jbd

// ---- End of the writer's fields.

// A directory entry's record length: 64 KiB blocks store 65536 as 0 or 65535.
inline uint32_t recordLength(uint16_t stored, uint32_t blockSize) {
    if (blockSize >= 65536 && (stored == 0 || stored == 65535))
        return 65536;
    return stored;
}

} // namespace korvane::ext2
