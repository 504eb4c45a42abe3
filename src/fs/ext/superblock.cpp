#include "superblock.h"

#include "csum.h"
#include "model/crc.h"
#include "model/entry.h"
#include "model/error.h"

#include <cstdio>

namespace korvane::ext2 {

namespace {

struct FeatureName {
    uint32_t bit;
    const char* name;
};

constexpr FeatureName kCompatNames[] = {
    {kCompatDirPrealloc, "dir_prealloc"},
    {kCompatImagicInodes, "imagic_inodes"},
    {kCompatHasJournal, "has_journal"},
    {kCompatExtAttr, "ext_attr"},
    {kCompatResizeInode, "resize_inode"},
    {kCompatDirIndex, "dir_index"},
    {kCompatLazyBg, "lazy_bg"},
    {kCompatExcludeInode, "exclude_inode"},
    {kCompatExcludeBitmap, "snapshot_bitmap"},
    {kCompatSparseSuper2, "sparse_super2"},
    {kCompatFastCommit, "fast_commit"},
    {kCompatStableInodes, "stable_inodes"},
    {kCompatOrphanFile, "orphan_file"},
};

constexpr FeatureName kIncompatNames[] = {
    {kIncompatCompression, "compression"},
    {kIncompatFiletype, "filetype"},
    {kIncompatRecover, "needs_recovery"},
    {kIncompatJournalDev, "journal_dev"},
    {kIncompatMetaBg, "meta_bg"},
    {kIncompatExtents, "extent"},
    {kIncompat64bit, "64bit"},
    {kIncompatMmp, "mmp"},
    {kIncompatFlexBg, "flex_bg"},
    {kIncompatEaInode, "ea_inode"},
    {kIncompatDirData, "dirdata"},
    {kIncompatCsumSeed, "metadata_csum_seed"},
    {kIncompatLargeDir, "large_dir"},
    {kIncompatInlineData, "inline_data"},
    {kIncompatEncrypt, "encrypt"},
    {kIncompatCasefold, "casefold"},
};

constexpr FeatureName kRoCompatNames[] = {
    {kRoCompatSparseSuper, "sparse_super"},
    {kRoCompatLargeFile, "large_file"},
    {kRoCompatBtreeDir, "btree_dir"},
    {kRoCompatHugeFile, "huge_file"},
    {kRoCompatGdtCsum, "uninit_bg"},
    {kRoCompatDirNlink, "dir_nlink"},
    {kRoCompatExtraIsize, "extra_isize"},
    {kRoCompatHasSnapshot, "snapshot"},
    {kRoCompatQuota, "quota"},
    {kRoCompatBigalloc, "bigalloc"},
    {kRoCompatMetadataCsum, "metadata_csum"},
    {kRoCompatReplica, "replica"},
    {kRoCompatReadonly, "read-only"},
    {kRoCompatProject, "project"},
    {kRoCompatSharedBlocks, "shared_blocks"},
    {kRoCompatVerity, "verity"},
    {kRoCompatOrphanPresent, "orphan_present"},
};

template <size_t N>
std::string nameOf(const FeatureName (&table)[N], uint32_t bit, char kind) {
    for (const FeatureName& f : table)
        if (f.bit == bit)
            return f.name;
    int index = 0;
    while (index < 31 && (1u << index) != bit)
        ++index;
    return std::string("FEATURE_") + kind + std::to_string(index);
}

template <size_t N>
void appendNames(std::vector<std::string>& out, const FeatureName (&table)[N], uint32_t set,
                 char kind) {
    for (int i = 0; i < 32; ++i)
        if (set & (1u << i))
            out.push_back(nameOf(table, 1u << i, kind));
}

std::string joined(const std::vector<std::string>& names) {
    std::string s;
    for (const std::string& n : names)
        s += (s.empty() ? "" : ", ") + n;
    return s;
}

bool isPowerOf(uint32_t n, uint32_t base) {
    while (n > 1 && n % base == 0)
        n /= base;
    return n == 1;
}

} // namespace

std::vector<std::string> featureNames(uint32_t compat, uint32_t incompat, uint32_t roCompat) {
    std::vector<std::string> out;
    appendNames(out, kCompatNames, compat, 'C');
    appendNames(out, kIncompatNames, incompat, 'I');
    appendNames(out, kRoCompatNames, roCompat, 'R');
    return out;
}

std::string incompatName(uint32_t bit) {
    return nameOf(kIncompatNames, bit, 'I');
}
std::string roCompatName(uint32_t bit) {
    return nameOf(kRoCompatNames, bit, 'R');
}

namespace {

// The fields, as they stand; nothing checked but the revision.
Superblock decodeSuperblock(const std::byte* p) {
    Superblock s;
    s.inodesCount = load32(p + sb::kInodesCount);
    s.blocksCount = load32(p + sb::kBlocksCount);
    s.reservedBlocks = load32(p + sb::kReservedBlocks);
    s.freeBlocks = load32(p + sb::kFreeBlocks);
    s.freeInodes = load32(p + sb::kFreeInodes);
    s.firstDataBlock = load32(p + sb::kFirstDataBlock);
    s.logBlockSize = load32(p + sb::kLogBlockSize);
    s.blocksPerGroup = load32(p + sb::kBlocksPerGroup);
    s.inodesPerGroup = load32(p + sb::kInodesPerGroup);
    s.mountTime = load32(p + sb::kMountTime);
    s.writeTime = load32(p + sb::kWriteTime);
    s.state = load16(p + sb::kState);
    s.errors = load16(p + sb::kErrors);
    s.creatorOs = load32(p + sb::kCreatorOs);
    s.revLevel = load32(p + sb::kRevLevel);
    for (size_t i = 0; i < s.uuid.size(); ++i)
        s.uuid[i] = std::to_integer<uint8_t>(p[sb::kUuid + i]);
    s.volumeName = zeroTerminated(p + sb::kVolumeName, sb::kVolumeNameSize);
    s.lastMounted = zeroTerminated(p + sb::kLastMounted, sb::kLastMountedSize);
    s.mkfsTime = load32(p + sb::kMkfsTime);
    for (size_t i = 0; i < s.hashSeed.size(); ++i)
        s.hashSeed[i] = std::to_integer<uint8_t>(p[sb::kHashSeed + i]);
    s.defHashVersion = std::to_integer<uint8_t>(p[sb::kDefHashVersion]);
    s.flags = load32(p + sb::kFlags);

    if (s.revLevel > kDynamicRev)
        throw Error(msg("unknown EXT revision %1 (only revisions 0 and 1 exist)", s.revLevel));
    if (s.revLevel == kDynamicRev) {
        s.firstIno = load32(p + sb::kFirstIno);
        s.inodeSize = load16(p + sb::kInodeSize);
        s.compat = load32(p + sb::kFeatureCompat);
        s.incompat = load32(p + sb::kFeatureIncompat);
        s.roCompat = load32(p + sb::kFeatureRoCompat);
        s.reservedGdtBlocks = load16(p + sb::kReservedGdtBlocks);
        for (size_t i = 0; i < s.journalUuid.size(); ++i)
            s.journalUuid[i] = std::to_integer<uint8_t>(p[sb::kJournalUuid + i]);
        s.journalInum = load32(p + sb::kJournalInum);
        s.journalDev = load32(p + sb::kJournalDev);
        s.firstMetaBg = load32(p + sb::kFirstMetaBg);
        s.backupBgs = {load32(p + sb::kBackupBgs), load32(p + sb::kBackupBgs + 4)};
        s.encoding = load16(p + sb::kEncoding);
    }
    if (s.has(kIncompat64bit)) {
        s.blocksCount |= uint64_t{load32(p + sb::kBlocksCountHi)} << 32;
        s.reservedBlocks |= uint64_t{load32(p + sb::kReservedBlocksHi)} << 32;
        s.freeBlocks |= uint64_t{load32(p + sb::kFreeBlocksHi)} << 32;
        s.descSize = load16(p + sb::kDescSize);
    }
    if (s.metadataCsum()) {
        s.csumSeed = s.has(kIncompatCsumSeed) ? load32(p + sb::kChecksumSeed)
                                              : crc32c(~0u, ByteSpan(p + sb::kUuid, s.uuid.size()));
        s.csumOk = csum::superblockOk(p);
    }
    return s;
}

// Features first: an image of a kind this reader does not know should say so,
// rather than fail a geometry check that its own layout explains.
void refuseUnknownFeatures(const Superblock& s) {
    if (s.has(kIncompatJournalDev))
        throw Error("this is an external EXT3 journal device (journal_dev), not a filesystem");
    std::vector<std::string> refused;
    for (int i = 0; i < 32; ++i) {
        uint32_t bit = 1u << i;
        if ((s.incompat & bit) && !(kIncompatUnderstood & bit))
            refused.push_back(incompatName(bit));
        if ((s.roCompat & bit) && (kRoCompatRefused & bit))
            refused.push_back(roCompatName(bit));
    }
    if (s.has(kIncompatCasefold) && s.encoding != kEncodingUtf8)
        refused.push_back("casefold (with the unknown name encoding " + std::to_string(s.encoding) +
                          ")");
    if (!refused.empty())
        throw Error(
            refused.size() > 1
                ? msg("the image uses the features %1, which Korvane cannot read", joined(refused))
                : msg("the image uses the feature %1, which Korvane cannot read", joined(refused)));
}

// Sizes and counts that fit each other and the file; sets the derived ones.
void checkGeometry(Superblock& s, uint64_t imageSize) {
    if (s.has(kIncompat64bit) &&
        (s.descSize < kDesc64Size || s.descSize > kMinBlockSize || !isPowerOf(s.descSize, 2)))
        throw Error(msg("impossible group descriptor size in the superblock: %1", s.descSize));

    if (s.logBlockSize > kMaxLogBlockSize)
        throw Error(msg("impossible block size in the superblock (log value %1)", s.logBlockSize));
    s.blockSize = kMinBlockSize << s.logBlockSize;
    if (s.inodeSize < kGoodOldInodeSize || s.inodeSize > s.blockSize || !isPowerOf(s.inodeSize, 2))
        throw Error(msg("impossible inode size in the superblock: %1", s.inodeSize));
    if (s.firstIno < kGoodOldFirstIno)
        throw Error(msg("impossible first inode in the superblock: %1", s.firstIno));
    const uint64_t bitsPerBlock = uint64_t{s.blockSize} * 8;
    if (s.blocksPerGroup == 0 || s.blocksPerGroup > bitsPerBlock)
        throw Error(msg("impossible blocks per group in the superblock: %1", s.blocksPerGroup));
    if (s.inodesPerGroup == 0 || s.inodesPerGroup > bitsPerBlock)
        throw Error(msg("impossible inodes per group in the superblock: %1", s.inodesPerGroup));
    if (s.blocksCount == 0 || s.firstDataBlock >= s.blocksCount || s.blocksCount >> 48 != 0)
        throw Error(msg("impossible block count in the superblock: %1 blocks, the first data "
                        "block is %2",
                        s.blocksCount, s.firstDataBlock));
    const uint64_t groups =
        (s.blocksCount - s.firstDataBlock + s.blocksPerGroup - 1) / s.blocksPerGroup;
    if (groups > UINT32_MAX)
        throw Error(msg("impossible block count in the superblock: %1 blocks", s.blocksCount));
    s.groupCount = static_cast<uint32_t>(groups);
    if (s.inodesCount == 0 || s.inodesCount > uint64_t{s.groupCount} * s.inodesPerGroup)
        throw Error(msg("impossible inode count in the superblock: %1 inodes in %2 groups of %3",
                        s.inodesCount, s.groupCount, s.inodesPerGroup));
    // The inode tables alone take this much room; a file that cannot even hold
    // them is not this filesystem.
    if (uint64_t{s.inodesCount} * s.inodeSize > imageSize)
        throw Error(msg("the superblock counts %1 inodes of %2 bytes, more than the file's %3 "
                        "bytes can hold",
                        s.inodesCount, s.inodeSize, imageSize));
    if (!s.has(kIncompatMetaBg)) {
        uint64_t dpb = s.blockSize / s.descSize;
        uint64_t tableEnd = descriptorBlock(s, 0) + (s.groupCount + dpb - 1) / dpb;
        if (tableEnd * s.blockSize > imageSize)
            throw Error(msg("the group descriptor table (%1 groups) lies past the end of the file",
                            s.groupCount));
    }
}

} // namespace

Superblock loadSuperblock(const std::byte* p, uint64_t imageSize) {
    uint16_t magic = load16(p + sb::kMagic);
    if (magic != kMagic) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "%04X", magic);
        throw Error(msg("not an EXT2/EXT3/EXT4 image: the superblock magic at byte %1 is 0x%2, "
                        "not 0xEF53",
                        kSuperblockOffset + sb::kMagic, hex));
    }
    Superblock s = decodeSuperblock(p);
    refuseUnknownFeatures(s);
    checkGeometry(s, imageSize);
    return s;
}

bool groupHasSuper(uint32_t compat, uint32_t roCompat, const std::array<uint32_t, 2>& backupBgs,
                   uint32_t group) {
    if (group == 0)
        return true;
    if (compat & kCompatSparseSuper2)
        return group == backupBgs[0] || group == backupBgs[1];
    if (group <= 1 || !(roCompat & kRoCompatSparseSuper))
        return true;
    if (!(group & 1))
        return false;
    return isPowerOf(group, 3) || isPowerOf(group, 5) || isPowerOf(group, 7);
}

bool groupHasSuper(const Superblock& s, uint32_t group) {
    return groupHasSuper(s.compat, s.roCompat, s.backupBgs, group);
}

uint64_t descriptorBlock(const Superblock& s, uint32_t group) {
    const uint32_t dpb = s.blockSize / s.descSize;
    const uint64_t superBlock = kSuperblockOffset / s.blockSize; // 1 for 1 KiB blocks, else 0
    const uint32_t metaGroup = group / dpb;
    if (!s.has(kIncompatMetaBg) || metaGroup < s.firstMetaBg)
        return superBlock + 1 + metaGroup;
    uint32_t first = metaGroup * dpb;
    return uint64_t{s.firstDataBlock} + uint64_t{first} * s.blocksPerGroup +
           (groupHasSuper(s, first) ? 1 : 0);
}

GroupDesc loadGroupDesc(const Superblock& s, uint32_t group, const std::byte* p) {
    GroupDesc d;
    d.inodeTable = load32(p + gd::kInodeTable);
    if (s.has(kIncompat64bit) && s.descSize >= kDesc64Size)
        d.inodeTable |= uint64_t{load32(p + gd::kInodeTableHi)} << 32;
    if (s.groupCsum()) {
        d.flags = load16(p + gd::kFlags);
        d.itableUnused = load16(p + gd::kItableUnused);
        d.csumOk = csum::groupDescOk(s, group, p);
    }
    return d;
}

std::string Superblock::formatName() const {
    constexpr uint32_t ext3Compat = kCompatDirPrealloc | kCompatImagicInodes | kCompatHasJournal |
                                    kCompatExtAttr | kCompatResizeInode | kCompatDirIndex;
    constexpr uint32_t ext3Incompat =
        kIncompatFiletype | kIncompatRecover | kIncompatMetaBg | kIncompatJournalDev;
    constexpr uint32_t ext3RoCompat = kRoCompatSparseSuper | kRoCompatLargeFile | kRoCompatBtreeDir;
    if ((compat & ~ext3Compat) || (incompat & ~ext3Incompat) || (roCompat & ~ext3RoCompat))
        return "EXT4";
    return has(kCompatHasJournal) ? "EXT3" : "EXT2";
}

} // namespace korvane::ext2
