#include "csum.h"
#include "ext_image_writer.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane::ext2 {

namespace {

constexpr uint16_t kMaxMountCount = 24;
constexpr uint32_t kCheckInterval = 15552000; // 180 days
constexpr uint32_t kJournalMode = 0600;
constexpr size_t kLabelSize = sb::kVolumeNameSize;

// Sets bits [from, to) of a bitmap.
void setBits(std::byte* map, uint64_t from, uint64_t to) {
    while (from < to && from % 8 != 0) {
        map[from / 8] |= std::byte{static_cast<uint8_t>(1u << (from % 8))};
        ++from;
    }
    if (to - from >= 8) {
        std::memset(map + from / 8, 0xFF, (to - from) / 8);
        from += (to - from) / 8 * 8;
    }
    for (; from < to; ++from)
        map[from / 8] |= std::byte{static_cast<uint8_t>(1u << (from % 8))};
}

void clearBits(std::byte* map, uint64_t from, uint64_t to) {
    for (; from < to; ++from)
        map[from / 8] &= ~std::byte{static_cast<uint8_t>(1u << (from % 8))};
}

uint64_t countBits(const std::byte* map, uint64_t count) {
    uint64_t n = 0;
    for (uint64_t i = 0; i < count / 8; ++i)
        n += static_cast<uint64_t>(std::popcount(std::to_integer<uint8_t>(map[i])));
    for (uint64_t x = count / 8 * 8; x < count; ++x)
        n += (std::to_integer<uint32_t>(map[x / 8]) >> (x % 8)) & 1;
    return n;
}

} // namespace

void ExtImageWriter::writeJournal() {
    Bytes head(bs_, std::byte{0});
    store32be(head.data() + jbd::kMagicAt, jbd::kMagic);
    store32be(head.data() + jbd::kBlockType, jbd::kSuperblockV2);
    store32be(head.data() + jbd::kSequence, 0);
    store32be(head.data() + jbd::kBlockSize, bs_);
    store32be(head.data() + jbd::kMaxLen, geo_.journalBlocks);
    store32be(head.data() + jbd::kFirst, 1);
    store32be(head.data() + jbd::kFirstSequence, 1);
    store32be(head.data() + jbd::kStart, 0);
    if (!f_.classic) {
        // An internal journal names its filesystem as its one user.
        std::memcpy(head.data() + jbd::kUuid, f_.uuid.data(), f_.uuid.size());
        store32be(head.data() + jbd::kNrUsers, 1);
    }
    TImgEntry e; // no name: the progress shows the step instead
    e.objType = kTypeFile;
    e.mode = kJournalMode;
    e.ctime = e.mtime = now_;
    e.atime = f_.classic ? 0 : now_;
    Contents c;
    c.bytes = head;
    c.size = uint64_t{geo_.journalBlocks} * bs_;
    c.zeroTail = true;
    const ByteSpan inode = WriteInode(kJournalIno, c, e);
    journal_.assign(inode.begin(), inode.end());
}

Bytes ExtImageWriter::buildSuperblock(uint32_t group, uint64_t freeBlocks, uint64_t freeInodes) {
    Bytes sbuf(kSuperblockSize, std::byte{0});
    std::byte* s = sbuf.data();
    const bool classic = f_.classic;
    const auto now = static_cast<uint32_t>(now_);
    const uint32_t logBlock = static_cast<uint32_t>(std::countr_zero(bs_)) - 10;
    store32(s + sb::kInodesCount, static_cast<uint32_t>(geo_.inodesCount()));
    store32(s + sb::kBlocksCount, static_cast<uint32_t>(geo_.blocksCount));
    store32(s + sb::kFreeBlocks, static_cast<uint32_t>(freeBlocks));
    store32(s + sb::kFreeInodes, static_cast<uint32_t>(freeInodes));
    store32(s + sb::kFirstDataBlock, geo_.firstDataBlock());
    store32(s + sb::kLogBlockSize, logBlock);
    store32(s + sb::kLogFragSize, logBlock);
    store32(s + sb::kBlocksPerGroup, geo_.blocksPerGroup());
    store32(s + sb::kFragsPerGroup, geo_.blocksPerGroup());
    store32(s + sb::kInodesPerGroup, geo_.inodesPerGroup);
    store32(s + sb::kWriteTime, now);
    store16(s + sb::kMaxMountCount, classic ? kMaxMountCount : 0xFFFF);
    store16(s + sb::kMagic, kMagic);
    store16(s + sb::kState, kStateClean);
    store16(s + sb::kErrors, static_cast<uint16_t>(classic ? 0 : kErrorsContinue));
    store32(s + sb::kLastCheck, now);
    store32(s + sb::kCheckInterval, classic ? kCheckInterval : 0);
    store32(s + sb::kRevLevel, kDynamicRev);
    store32(s + sb::kFirstIno, kGoodOldFirstIno);
    store16(s + sb::kInodeSize, static_cast<uint16_t>(isz_));
    store16(s + sb::kBlockGroupNr, static_cast<uint16_t>(classic ? 0 : group));
    store32(s + sb::kFeatureCompat, geo_.compat);
    store32(s + sb::kFeatureIncompat, geo_.incompat);
    store32(s + sb::kFeatureRoCompat, geo_.roCompat);
    std::memcpy(s + sb::kUuid, f_.uuid.data(), f_.uuid.size());
    std::memcpy(s + sb::kVolumeName, f_.label.data(), std::min(f_.label.size(), kLabelSize));
    if (geo_.has(kCompatHasJournal)) {
        const std::byte* j = journal_.data();
        store32(s + sb::kJournalInum, kJournalIno);
        s[sb::kJournalBackupType] = std::byte{kJournalBackupBlocks};
        std::memcpy(s + sb::kJournalBlocks, j + ino::kBlockMap, kBlockMapSize);
        store32(s + sb::kJournalSizeHigh, load32(j + ino::kSizeHigh));
        store32(s + sb::kJournalSize, load32(j + ino::kSize));
    }
    if (classic)
        return sbuf;
    if (geo_.has(kCompatDirIndex)) {
        std::memcpy(s + sb::kHashSeed, f_.hashSeed.data(), f_.hashSeed.size());
        s[sb::kDefHashVersion] = std::byte{f_.hashVersion};
    }
    store32(s + sb::kFlags, f_.hashFlags);
    store32(s + sb::kDefaultMountOpts, kDefmXattrUser | kDefmAcl);
    store32(s + sb::kMkfsTime, now);
    if (geo_.has(kRoCompatExtraIsize)) {
        store16(s + sb::kMinExtraIsize, static_cast<uint16_t>(geo_.extraIsize()));
        store16(s + sb::kWantExtraIsize, static_cast<uint16_t>(geo_.extraIsize()));
    }
    if (geo_.has(kIncompatFlexBg))
        s[sb::kLogGroupsPerFlex] = static_cast<std::byte>(geo_.logGroupsPerFlex);
    if (csum()) {
        s[sb::kChecksumType] = std::byte{kChecksumCrc32c};
        csum::setSuperblock(s);
    }
    return sbuf;
}

// The block bitmap of group g in bitmap: everything handed out, the metadata
// in use, the padding past a short last group. r: the first reserved range
// that may reach the group, moved on as the groups go by. Returns the free
// blocks.
uint64_t ExtImageWriter::fillBlockBitmap(uint32_t g, Bytes& bitmap, size_t& r) const {
    const std::vector<BlockRange>& reserved = layout_.reserved();
    const uint64_t allocFirst = alloc_.start();
    const uint64_t allocEnd = uint64_t{alloc_.last()} + 1; // past the last block handed out
    const uint64_t first = geo_.groupFirst(g);
    const uint64_t count = geo_.groupBlocks(g);
    const uint64_t end = first + count;
    std::fill(bitmap.begin(), bitmap.end(), std::byte{0});
    std::byte* bb = bitmap.data();
    const uint64_t a = std::max(first, allocFirst), b = std::min(end, allocEnd);
    if (a < b)
        setBits(bb, a - first, b - first);
    while (r < reserved.size() && reserved[r].end() <= first)
        ++r;
    for (size_t k = r; k < reserved.size() && reserved[k].first < end; ++k) {
        const uint64_t from = std::max(first, reserved[k].first) - first;
        const uint64_t to = std::min(end, reserved[k].end()) - first;
        if (reserved[k].inUse)
            setBits(bb, from, to);
        else
            clearBits(bb, from, to);
    }
    setBits(bb, count, uint64_t{bs_} * 8);
    return count - countBits(bb, count);
}

// The inode bitmap of group g: the reserved inodes, those written, the
// padding past the table. Returns the free inodes; highest: one past the last
// inode in use.
uint64_t ExtImageWriter::fillInodeBitmap(uint32_t g, Bytes& bitmap, uint32_t& highest) const {
    const uint32_t ipg = geo_.inodesPerGroup;
    std::fill(bitmap.begin(), bitmap.end(), std::byte{0});
    std::byte* ib = bitmap.data();
    highest = 0;
    for (uint32_t i = 0; i < ipg; ++i) {
        const uint64_t n = uint64_t{g} * ipg + i + 1;
        if (n < kGoodOldFirstIno + 1 || (n <= inodeCount_ && written_[n])) {
            ib[i / 8] |= std::byte{static_cast<uint8_t>(1u << (i % 8))};
            highest = i + 1;
        }
    }
    setBits(ib, ipg, uint64_t{bs_} * 8);
    return ipg - countBits(ib, ipg);
}

void ExtImageWriter::complete() {
    const uint32_t groups = geo_.groupCount();
    const uint32_t ipg = geo_.inodesPerGroup;
    Bytes table(size_t{geo_.descriptorBlocks()} * bs_, std::byte{0});
    Bytes bitmap(bs_);
    uint64_t freeBlocks = 0, freeInodes = 0;
    size_t r = 0;

    table_.finish();
    for (uint32_t g = 0; g < groups; ++g) {
        const GroupPlace& place = layout_.group(g);
        std::byte* d = table.data() + size_t{g} * kDescSize;

        const uint64_t groupFreeBlocks = fillBlockBitmap(g, bitmap, r);
        writeBlock(static_cast<uint32_t>(place.blockBitmap), bitmap);
        if (csum())
            store16(d + gd::kBlockBitmapCsum,
                    static_cast<uint16_t>(csum::bitmap(fsSeed_, ByteSpan(bitmap)) & 0xFFFF));

        uint32_t highest = 0;
        const uint64_t groupFreeInodes = fillInodeBitmap(g, bitmap, highest);
        writeBlock(static_cast<uint32_t>(place.inodeBitmap), bitmap);
        if (csum())
            store16(d + gd::kInodeBitmapCsum,
                    static_cast<uint16_t>(csum::bitmap(fsSeed_, ByteSpan(bitmap.data(), ipg / 8)) &
                                          0xFFFF));
        store32(d + gd::kBlockBitmap, static_cast<uint32_t>(place.blockBitmap));
        store32(d + gd::kInodeBitmap, static_cast<uint32_t>(place.inodeBitmap));
        store32(d + gd::kInodeTable, static_cast<uint32_t>(place.inodeTable));
        store16(d + gd::kFreeBlocks, static_cast<uint16_t>(groupFreeBlocks));
        store16(d + gd::kFreeInodes, static_cast<uint16_t>(groupFreeInodes));
        store16(d + gd::kUsedDirs, static_cast<uint16_t>(usedDirs_[g]));
        if (geo_.groupCsums()) {
            store16(d + gd::kFlags, kBgInodeZeroed);
            store16(d + gd::kItableUnused, static_cast<uint16_t>(ipg - highest));
            if (csum())
                csum::setGroupDesc(d, kDescSize, g, fsSeed_);
            else
                csum::setGroupDescCrc16(d, kDescSize, g, f_.uuid);
        }
        freeBlocks += groupFreeBlocks;
        freeInodes += groupFreeInodes;
    }

    // Every group that keeps a superblock copy keeps the descriptors too.
    for (uint32_t g = 0; g < groups; ++g) {
        if (geo_.style == LayoutStyle::kStandard && !geo_.groupHasSuper(g))
            continue;
        out_.writeAt(layout_.superblockOffset(g), buildSuperblock(g, freeBlocks, freeInodes));
        writeBlock(static_cast<uint32_t>(geo_.groupFirst(g) + 1), table);
    }
}

} // namespace korvane::ext2
