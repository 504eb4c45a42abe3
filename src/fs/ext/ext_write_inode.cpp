#include "csum.h"
#include "ext_check.h"
#include "ext_image_writer.h"
#include "model/error.h"
#include "xattr.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace korvane::ext2 {

namespace {

// Seconds and the *_extra word (epoch bits and nanoseconds) of a time.
void putTime(std::byte* p, size_t at, size_t extraAt, int64_t t, uint32_t ns, bool extra) {
    t = std::clamp<int64_t>(t, INT32_MIN, extra ? kMaxExtraTime : INT32_MAX);
    const auto lo = static_cast<uint32_t>(t);
    store32(p + at, lo);
    if (!extra)
        return;
    const auto epoch = static_cast<uint32_t>(((t - static_cast<int32_t>(lo)) >> 32) & 3);
    store32(p + extraAt, epoch | std::min<uint32_t>(ns, 999999999) << kEpochBits);
}

} // namespace

ByteSpan ExtImageWriter::WriteInode(uint32_t n, const Contents& data, const TImgEntry& e) {
    checkInode(n);
    written_[n] = true;
    const uint32_t ipg = geo_.inodesPerGroup;
    if (e.objType == kTypeDirectory)
        ++usedDirs_[(n - 1) / ipg];
    rep_.progressWith(alloc_.last(), static_cast<int64_t>(geo_.blocksCount), 5, [&] {
        return n == kJournalIno ? msg("Writing the journal") : verbatim(e.name);
    });

    const uint32_t type = fileTypeBits(e);
    const uint64_t size =
        type == kModeFile || type == kModeDirectory || type == kModeSymlink ? data.size : 0;
    const bool fastLink = type == kModeSymlink && size <= kFastSymlinkMax;
    const bool mapped =
        type == kModeFile || type == kModeDirectory || (type == kModeSymlink && !fastLink);

    std::byte* p = inode_.data();
    const uint16_t links =
        static_cast<uint16_t>(type == kModeDirectory ? e.linkInfo : plan_.cost.namesOf(n));
    std::memset(p, 0, isz_);
    store16(p + ino::kMode, static_cast<uint16_t>(type | (e.mode & kModePermissionMask)));
    store16(p + ino::kUid, static_cast<uint16_t>(e.uid));
    store16(p + ino::kUidHigh, static_cast<uint16_t>(e.uid >> 16));
    store32(p + ino::kSize, static_cast<uint32_t>(size));
    store32(p + ino::kSizeHigh, static_cast<uint32_t>(size >> 32));
    const bool x = extra();
    putTime(p, ino::kAtime, ino::kAtimeExtra, e.atime, e.atimeNs, x);
    putTime(p, ino::kCtime, ino::kCtimeExtra, e.ctime, e.ctimeNs, x);
    putTime(p, ino::kMtime, ino::kMtimeExtra, e.mtime, e.mtimeNs, x);
    if (x) {
        store16(p + ino::kExtraIsize, static_cast<uint16_t>(geo_.extraIsize()));
        putTime(p, ino::kCrtime, ino::kCrtimeExtra, now_, 0, true);
    }
    store16(p + ino::kGid, static_cast<uint16_t>(e.gid));
    store16(p + ino::kGidHigh, static_cast<uint16_t>(e.gid >> 16));
    store16(p + ino::kLinks, links);

    std::byte* map = p + ino::kBlockMap;
    uint64_t blocks = 0;
    if (fastLink) {
        std::memcpy(map, data.bytes.data(), static_cast<size_t>(size));
    } else if (mapped) {
        if (extents())
            store32(p + ino::kFlags, kInodeFlagExtents);
        blocks = writeData(n, data, map);
    } else if (type == kModeCharDevice || type == kModeBlockDevice) {
        // As the kernel stores them: the old encoding when it holds the
        // number, else the new one in the second slot.
        if (fitsOldDev(e.rdev))
            store32(map, encodeOldDev(e.rdev));
        else
            store32(map + 4, encodeNewDev(e.rdev));
    }
    if (!e.xattrs.empty())
        blocks += writeXattrs(p, e);
    const uint64_t sectors = blocks * (bs_ / 512);
    store32(p + ino::kBlocks, static_cast<uint32_t>(sectors));
    store16(p + ino::kBlocksHigh, static_cast<uint16_t>(sectors >> 32));
    if (csum())
        csum::setInode(p, isz_, inodeSeed(n));
    table_.put(n, inode_);
    return inode_;
}

// The contents' data blocks, in logical order, each indirect block (block
// maps) before the first block it lists and the extent tree after the data.
// Returns the blocks taken.
uint64_t ExtImageWriter::writeData(uint32_t n, const Contents& data, std::byte* map) {
    std::vector<BlockSpan> spans;
    if (data.file)
        spans = plan_.cost.spansOf(*data.file, bs_);
    else if (data.size > 0)
        spans.push_back({0, (data.size + bs_ - 1) / bs_});
    data_ = &data;
    extents_.clear();
    runBlocks_ = 0;
    uint64_t count = 0;
    const WriteBlockFn write = [this](uint32_t b, ByteSpan bytes) { writeBlock(b, bytes); };
    const NextBlockFn next = [this] { return alloc_.NextBlock(); };
    uint64_t mapBlocks = 0;
    if (extents()) {
        for (const BlockSpan& s : spans)
            for (uint64_t l = s.first; l < s.end; ++l, ++count)
                note(l, alloc_.NextBlock());
        flushRun();
        std::optional<uint32_t> seed;
        if (csum())
            seed = inodeSeed(n);
        mapBlocks = WriteExtentTree(extents_, map, bs_, next, write, seed);
    } else {
        BlockMapBuilder builder(bs_, next, write);
        for (const BlockSpan& s : spans)
            for (uint64_t l = s.first; l < s.end; ++l, ++count)
                note(l, builder.map(l));
        flushRun();
        builder.finish(map);
        mapBlocks = builder.indirectBlocks();
    }
    data_ = nullptr;
    return count + mapBlocks;
}

void ExtImageWriter::note(uint64_t logical, uint32_t physical) {
    if (extents()) {
        ExtentRun* last = extents_.empty() ? nullptr : &extents_.back();
        if (last && last->logical + last->len == logical &&
            last->physical + last->len == physical && last->len < ext::kInitMaxLen)
            ++last->len;
        else
            extents_.push_back({static_cast<uint32_t>(logical), physical, 1});
    }
    if (runBlocks_ > 0 && runLogical_ + runBlocks_ == logical &&
        runBlock_ + runBlocks_ == physical) {
        ++runBlocks_;
        return;
    }
    flushRun();
    runLogical_ = logical;
    runBlock_ = physical;
    runBlocks_ = 1;
}

// Data goes to the file by write in runs of blocks that follow one another;
// what cannot be read reads as zeros.
void ExtImageWriter::flushRun() {
    if (runBlocks_ == 0)
        return;
    const Contents& d = *data_;
    const uint64_t at = uint64_t{runBlock_} * bs_;
    const uint64_t from = runLogical_ * bs_;
    if (d.zeroTail)
        out_.zeroed(at, runBlocks_ * bs_);
    const uint64_t have = d.file ? d.size : d.bytes.size();
    runBlocks_ = from < have ? runBlocks_ : 0;
    if (runBlocks_ == 0)
        return;
    const uint64_t n = std::min<uint64_t>(runBlocks_ * bs_, have - from);
    runBlocks_ = 0;
    if (!d.file) {
        out_.writeAt(at, d.bytes.subspan(static_cast<size_t>(from), static_cast<size_t>(n)));
        return;
    }
    if (buffer_.size() < kStreamBuffer)
        buffer_.resize(kStreamBuffer);
    // The last block goes whole, zeros after the data, so that the writes of
    // files that follow one another meet.
    const uint64_t whole = (n + bs_ - 1) / bs_ * bs_;
    for (uint64_t done = 0; done < whole;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, whole - done));
        MutableByteSpan buf(buffer_.data(), piece);
        const size_t got =
            img_.ReadRange(*d.file, from + done, buf.first(std::min<uint64_t>(piece, n - done)));
        std::memset(buf.data() + got, 0, piece - got);
        out_.writeAt(at + done, buf);
        done += piece;
    }
}

// The attributes that fit go into the inode; the rest into a block shared by
// every inode with the same rest. Returns the blocks taken (0 or 1).
uint64_t ExtImageWriter::writeXattrs(std::byte* p, const TImgEntry& e) {
    const Node* node = img_.nodeFor(e.objId);
    const std::string path = node ? wherePath(node) : e.name;
    PackedXattrs x = packXattrs(e.xattrs, geo_.inodeXattrRoom(), bs_, path);
    if (!x.inode.empty())
        std::memcpy(p + kGoodOldInodeSize + geo_.extraIsize(), x.inode.data(), x.inode.size());
    if (x.block.empty())
        return 0;
    std::string key(reinterpret_cast<const char*>(x.block.data()), x.block.size());
    Shared& s = shared_[key];
    if (s.left == 0) {
        if (s.refs == 0) {
            auto it = plan_.cost.xattrRefs.find(key);
            s.refs = it == plan_.cost.xattrRefs.end() ? 1 : it->second;
        }
        const uint32_t uses = std::min(s.refs, xa::kRefcountMax);
        s.block = alloc_.NextBlock();
        s.left = uses;
        s.refs -= uses;
        store32(x.block.data() + xa::kRefcount, uses);
        if (csum())
            csum::setXattrBlock(x.block.data(), bs_, s.block, fsSeed_);
        writeBlock(s.block, x.block);
    }
    --s.left;
    store32(p + ino::kFileAcl, s.block);
    return 1;
}

} // namespace korvane::ext2
