#include "ext_writer.h"

#include "csum.h"
#include "ext_check.h"
#include "model/error.h"
#include "source/sparse/sparse_writer.h"
#include "xattr.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>

namespace korvane {

using namespace ext2;

namespace {

constexpr uint16_t kMaxMountCount = 24;
constexpr uint32_t kCheckInterval = 15552000; // 180 days
constexpr uint32_t kLostFoundMode = 0700;
constexpr uint32_t kJournalMode = 0600;
constexpr size_t kLabelSize = sb::kVolumeNameSize;

Message tooManyObjects(uint64_t inodes) {
    return msg("sorry, at most %1 folders and files are supported", inodes);
}

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

uint8_t dirFileType(const TImgEntry& e) {
    switch (fileTypeBits(e)) {
    case kModeFile:
        return kFtRegular;
    case kModeDirectory:
        return kFtDirectory;
    case kModeSymlink:
        return kFtSymlink;
    case kModeCharDevice:
        return kFtCharDevice;
    case kModeBlockDevice:
        return kFtBlockDevice;
    case kModeFifo:
        return kFtFifo;
    case kModeSocket:
        return kFtSocket;
    default:
        return kFtUnknown;
    }
}

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

// Where one object's contents come from: a regular file of the image, read
// in pieces, or bytes in memory (folders, link targets, the journal's head,
// the rest of which is zero).
struct Contents {
    const TImgEntry* file = nullptr;
    ByteSpan bytes;
    uint64_t size = 0;
    bool zeroTail = false; // the blocks past bytes must read as zeros
};

// Writes one planned image. The output is a new file: every byte the writer
// does not write reads as zero.
class ExtImageWriter {
public:
    ExtImageWriter(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f, const ImagePlan& plan,
                   ImageOut& out, JobReporter& rep, int64_t now)
        : img_(img), tree_(tree), f_(f), plan_(plan), geo_(plan.geo), layout_(plan.geo), out_(out),
          rep_(rep), now_(now), alloc_(geo_.blocksCount, layout_.reserved(), geo_.firstDataBlock()),
          bs_(geo_.blockSize), isz_(geo_.inodeSize),
          inodeCount_(static_cast<uint32_t>(plan.cost.inodesNeeded)),
          inodes_(size_t{inodeCount_} * isz_), written_(inodeCount_ + 1, false),
          usedDirs_(geo_.groupCount(), 0), fsSeed_(csum::fsSeed(f.uuid)) {}

    // Writes every inode, directory and file, then the journal. Returns
    // false when the cancel flag stopped it.
    bool WriteTree();

    // The inode tables, bitmaps, free counts, descriptors and superblock
    // copies.
    void complete();
    uint64_t fillBlockBitmap(uint32_t g, Bytes& bitmap, size_t& r) const;
    uint64_t fillInodeBitmap(uint32_t g, Bytes& bitmap, uint32_t& highest) const;
    void writeInodeTable(uint32_t g);

private:
    struct Frame {
        Frame(Node* dir, uint32_t n, uint32_t blockSize, bool tail)
            : node(dir), ino(n), builder(&entries, blockSize, tail) {}
        Node* node;
        uint32_t ino;
        size_t next = 0;
        uint64_t subdirs = 0;
        Bytes entries;
        DirectoryBuilder builder;
    };
    // Attribute blocks inodes share: where the current one is, and how many
    // more inodes may use it.
    struct Shared {
        uint32_t block = 0;
        uint32_t left = 0;
        uint32_t refs = 0; // inodes still to come for this set
    };

    bool csum() const { return geo_.has(kRoCompatMetadataCsum); }
    bool extents() const { return geo_.has(kIncompatExtents); }
    bool filetype() const { return geo_.has(kIncompatFiletype); }
    bool extra() const { return isz_ > kGoodOldInodeSize; }
    std::byte* inodeAt(uint32_t n) { return inodes_.data() + size_t{n - 1} * isz_; }
    uint32_t inodeOf(const Node* n) const {
        if (n == lostFound_)
            return kLostFoundIno;
        return static_cast<uint32_t>(InodeFor(tree_.indexOf(n)));
    }
    uint32_t inodeSeed(uint32_t ino) const { return csum::inodeSeed(fsSeed_, ino, 0); }
    void checkInode(uint32_t n) const {
        if (n == 0 || n > inodeCount_ || n > geo_.inodesCount())
            throw Error(tooManyObjects(geo_.inodesCount()));
    }
    void writeBlock(uint32_t b, ByteSpan bytes) { out_.writeAt(uint64_t{b} * bs_, bytes); }

    std::unique_ptr<Frame> openDirectory(Node* dir, uint32_t ino, uint32_t parentIno);
    void closeDirectory(Frame& f);
    void addEntry(Frame& f, uint32_t ino, const std::string& name, const TImgEntry& target);
    uint32_t writeChild(Node* c);
    void writeLostFound();
    // Empty entries that fill lost+found up to its planned blocks.
    void padLostFound(Bytes& contents) const;
    void writeJournal();
    void sealDirectory(Bytes& entries, uint32_t ino);

    void WriteInode(uint32_t n, const Contents& data, const TImgEntry& e);
    uint64_t writeData(uint32_t n, const Contents& data, std::byte* map);
    // The data of a regular file, as planned.
    std::vector<BlockSpan> fileSpans(const TImgEntry& e) const {
        const auto it = plan_.cost.fileSpans.find(e.objId);
        return it == plan_.cost.fileSpans.end() ? std::vector<BlockSpan>{} : it->second;
    }
    void note(uint64_t logical, uint32_t physical);
    void flushRun();
    uint64_t writeXattrs(std::byte* p, const TImgEntry& e);

    Bytes buildSuperblock(uint32_t group, uint64_t freeBlocks, uint64_t freeInodes);

    Timg& img_;
    const AbsoluteIndex& tree_;
    const ExtFormat& f_;
    const ImagePlan& plan_;
    const Geometry& geo_;
    Layout layout_;
    ImageOut& out_;
    JobReporter& rep_;
    const int64_t now_;
    BlockAllocator alloc_;
    const uint32_t bs_;
    const uint32_t isz_;
    const uint32_t inodeCount_; // inodes held in memory: 1 to the highest used
    Bytes inodes_;
    std::vector<bool> written_;
    std::vector<uint32_t> usedDirs_;
    const uint32_t fsSeed_;
    const Node* lostFound_ = nullptr; // the tree's own lost+found folder
    std::unordered_map<std::string, Shared> shared_;
    Bytes buffer_;
    // The object being written and its run of data blocks that follow one
    // another both in the file and on disk.
    const Contents* data_ = nullptr;
    std::vector<ExtentRun> extents_;
    uint64_t runLogical_ = 0;
    uint32_t runBlock_ = 0;
    uint64_t runBlocks_ = 0;
};

std::unique_ptr<ExtImageWriter::Frame> ExtImageWriter::openDirectory(Node* dir, uint32_t ino,
                                                                     uint32_t parentIno) {
    auto f = std::make_unique<Frame>(dir, ino, bs_, csum());
    const uint8_t dirType = filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown};
    f->builder.add(ino, ".", dirType);
    f->builder.add(parentIno, "..", dirType);
    return f;
}

void ExtImageWriter::addEntry(Frame& f, uint32_t ino, const std::string& name,
                              const TImgEntry& target) {
    f.builder.add(ino, name, filetype() ? dirFileType(target) : uint8_t{kFtUnknown});
}

void ExtImageWriter::sealDirectory(Bytes& entries, uint32_t ino) {
    if (!csum())
        return;
    for (size_t at = 0; at < entries.size(); at += bs_)
        csum::setDirBlock(entries.data() + at, bs_, inodeSeed(ino));
}

void ExtImageWriter::closeDirectory(Frame& f) {
    TImgEntry e = f.node->entry;
    e.objType = kTypeDirectory;
    e.size = f.builder.finish();
    if (f.ino == kLostFoundIno) {
        padLostFound(f.entries);
        e.size = f.entries.size();
    }
    // Past the link limit a folder counts 1 link (dir_nlink).
    e.linkInfo = static_cast<uint32_t>(f.subdirs + 2 > kLinkMax ? 1 : f.subdirs + 2);
    sealDirectory(f.entries, f.ino);
    Contents c;
    c.bytes = f.entries;
    c.size = f.entries.size();
    WriteInode(f.ino, c, e);
}

// Writes a child that is not a folder, or for a hard link counts the name;
// returns the inode its entry names.
uint32_t ExtImageWriter::writeChild(Node* c) {
    const TImgEntry& e = c->entry;
    switch (e.objType) {
    case kTypeHardlink: {
        const uint32_t ino = inodeOf(LinkTarget(img_, tree_, c));
        checkInode(ino);
        std::byte* p = inodeAt(ino);
        store16(p + ino::kLinks, static_cast<uint16_t>(load16(p + ino::kLinks) + 1));
        return ino;
    }
    case kTypeFile: {
        const uint32_t ino = inodeOf(c);
        Contents data;
        data.file = &e;
        data.size = e.size;
        try {
            WriteInode(ino, data, e);
        } catch (const Error& err) {
            throw Error(msg("cannot read %1: %2", wherePath(c), err.message()));
        }
        return ino;
    }
    case kTypeSymlink: {
        const uint32_t ino = inodeOf(c);
        Contents data;
        data.bytes = asBytes(e.alias);
        data.size = e.alias.size();
        WriteInode(ino, data, e);
        return ino;
    }
    default: {
        const uint32_t ino = inodeOf(c);
        WriteInode(ino, {}, e);
        return ino;
    }
    }
}

bool ExtImageWriter::WriteTree() {
    Node* root = tree_.at(0);
    lostFound_ = TreeLostFound(*root);
    std::vector<std::unique_ptr<Frame>> stack;
    stack.push_back(openDirectory(root, kRootIno, kRootIno));
    if (!lostFound_) {
        writeLostFound();
        stack.back()->subdirs = 1;
        stack.back()->builder.add(kLostFoundIno, kLostFoundName,
                                  filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown});
    }

    while (!stack.empty()) {
        Frame& f = *stack.back();
        if (f.next == f.node->children.size()) {
            closeDirectory(f);
            stack.pop_back();
            continue;
        }
        Node* c = f.node->children[f.next++].get();
        if (!IsWritten(*c, f.node == root))
            continue;
        if (img_.cancel.load() != 0)
            return false;
        if (c->isDirectory()) {
            const uint32_t ino = inodeOf(c);
            ++f.subdirs;
            addEntry(f, ino, c->text, c->entry);
            stack.push_back(openDirectory(c, ino, f.ino));
            continue;
        }
        const uint32_t ino = writeChild(c);
        const Node* t = c->entry.objType == kTypeHardlink ? LinkTarget(img_, tree_, c) : c;
        addEntry(f, ino, WrittenName(*c, f.node == root), t->entry);
    }
    if (geo_.has(kCompatHasJournal))
        writeJournal();
    return true;
}

// Blocks past the entries each hold one empty entry, so every block is a
// valid directory block (the kernel's lost+found has room made in advance).
void ExtImageWriter::padLostFound(Bytes& contents) const {
    const uint32_t room = bs_ - (csum() ? static_cast<uint32_t>(dt::kTailSize) : 0);
    const size_t used = contents.size() / bs_;
    if (used >= plan_.lostFoundBlocks)
        return;
    contents.resize(size_t{plan_.lostFoundBlocks} * bs_, std::byte{0});
    for (size_t k = used; k < plan_.lostFoundBlocks; ++k) {
        std::byte* blk = contents.data() + k * bs_;
        store16(blk + de::kRecLen, static_cast<uint16_t>(room));
        if (csum()) {
            store16(blk + room + de::kRecLen, static_cast<uint16_t>(dt::kTailSize));
            blk[room + de::kFileType] = std::byte{dt::kTailFileType};
        }
    }
}

void ExtImageWriter::writeLostFound() {
    Bytes contents;
    DirectoryBuilder b(&contents, bs_, csum());
    const uint8_t dirType = filetype() ? uint8_t{kFtDirectory} : uint8_t{kFtUnknown};
    b.add(kLostFoundIno, ".", dirType);
    b.add(kRootIno, "..", dirType);
    b.finish();
    padLostFound(contents);
    sealDirectory(contents, kLostFoundIno);
    TImgEntry e;
    e.name = kLostFoundName;
    e.objType = kTypeDirectory;
    e.mode = kLostFoundMode;
    e.atime = e.ctime = e.mtime = now_;
    e.linkInfo = 2;
    Contents c;
    c.bytes = contents;
    c.size = contents.size();
    WriteInode(kLostFoundIno, c, e);
}

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
    WriteInode(kJournalIno, c, e);
}

void ExtImageWriter::WriteInode(uint32_t n, const Contents& data, const TImgEntry& e) {
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

    std::byte* p = inodeAt(n);
    const uint16_t links = type == kModeDirectory
                               ? static_cast<uint16_t>(e.linkInfo)
                               : static_cast<uint16_t>(load16(p + ino::kLinks) + 1);
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
}

// The contents' data blocks, in logical order, each indirect block (block
// maps) before the first block it lists and the extent tree after the data.
// Returns the blocks taken.
uint64_t ExtImageWriter::writeData(uint32_t n, const Contents& data, std::byte* map) {
    std::vector<BlockSpan> spans;
    if (data.file)
        spans = fileSpans(*data.file);
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
        const std::byte* j = inodeAt(kJournalIno);
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

// The inode table: the inodes held in memory; the rest is zero.
void ExtImageWriter::writeInodeTable(uint32_t g) {
    const uint32_t ipg = geo_.inodesPerGroup;
    const GroupPlace& place = layout_.group(g);
    out_.zeroed(place.inodeTable * bs_, uint64_t{geo_.inodeTableBlocks()} * bs_);
    const uint64_t firstIno = uint64_t{g} * ipg + 1;
    if (firstIno <= inodeCount_) {
        const uint64_t n = std::min<uint64_t>(ipg, inodeCount_ - firstIno + 1);
        out_.writeAt(place.inodeTable * bs_,
                     ByteSpan(inodes_.data() + (firstIno - 1) * isz_, n * isz_));
    }
}

void ExtImageWriter::complete() {
    const uint32_t groups = geo_.groupCount();
    const uint32_t ipg = geo_.inodesPerGroup;
    Bytes table(size_t{geo_.descriptorBlocks()} * bs_, std::byte{0});
    Bytes bitmap(bs_);
    uint64_t freeBlocks = 0, freeInodes = 0;
    size_t r = 0;

    for (uint32_t n = 1; n <= inodeCount_; ++n)
        if (written_[n] && csum())
            csum::setInode(inodeAt(n), isz_, inodeSeed(n));

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
        writeInodeTable(g);

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

// Checks and plans the tree in format f.
ImagePlan planFor(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f,
                  std::vector<Message>* warnings) {
    CheckTree(img, tree, f, warnings);
    if (warnings && !f.sizeNote.empty())
        warnings->push_back(f.sizeNote);
    TreeCost cost = CostTree(img, tree, f);
    if (!f.classic)
        return PlanSizedImage(f, std::move(cost));

    // The classic geometry: sized by its own estimate, with each file
    // counted by what it allocates and the attribute blocks added.
    const auto fileBytes = [&cost](const Node& n) {
        static const std::vector<BlockSpan> none;
        const auto it = cost.fileSpans.find(n.entry.objId);
        const std::vector<BlockSpan>& spans = it == cost.fileSpans.end() ? none : it->second;
        uint64_t blocks = IndirectBlocksFor(spans, kWriteBlockSize);
        for (const BlockSpan& s : spans)
            blocks += s.end - s.first;
        return blocks * kWriteBlockSize;
    };
    uint64_t xattrBlocks = 0;
    for (const auto& [block, refs] : cost.xattrRefs)
        xattrBlocks += (refs + xa::kRefcountMax - 1) / xa::kRefcountMax;
    const ExtPlan classic =
        PlanImage(tree, f.kind == ExtKind::kExt3, fileBytes, xattrBlocks * kWriteBlockSize);
    if (!classic.sizeFits())
        throw Error("sorry, images of at most 1 GB are supported");
    if (!classic.inodesFit()) {
        size_t objects = 0;
        ForEachWritten(tree, [&](const Node*, size_t i) { objects += i != 0; });
        throw Error(
            msg("%1 (this tree has %2)", tooManyObjects(kMaxInodes - kGoodOldFirstIno), objects));
    }
    ImagePlan p;
    p.geo.kind = f.kind;
    p.geo.style = LayoutStyle::kEveryGroup;
    p.geo.blockSize = kWriteBlockSize;
    p.geo.inodeSize = kWriteInodeSize;
    p.geo.blocksCount = classic.blocksCount;
    p.geo.inodesPerGroup = classic.inodesPerGroup;
    p.geo.compat = f.compat | (cost.xattrs ? uint32_t{kCompatExtAttr} : 0);
    p.geo.roCompat = cost.largeFile ? uint32_t{kRoCompatLargeFile} : 0;
    p.geo.journalBlocks = f.kind == ExtKind::kExt3 ? classic.journalSize / kWriteBlockSize : 0;
    p.lostFoundBlocks = kLostFoundBlocks;
    p.cost = std::move(cost);
    return p;
}

} // namespace

ImagePlan checkExt(Timg& img, ExtKind kind, const ExtSaveParams& p,
                   std::vector<Message>* warnings) {
    AbsoluteIndex tree(img.root());
    return planFor(img, tree, extFormatFor(kind, p, img), warnings);
}

bool WriteExtImage(Timg& img, const std::string& path, ExtKind kind, const ExtSaveParams& p,
                   JobReporter& rep, std::vector<Message>* warnings) {
    rep.send(0, 0, 2, msg("Working out the space"));
    AbsoluteIndex tree(img.root());
    const ExtFormat f = extFormatFor(kind, p, img);
    const ImagePlan plan = planFor(img, tree, f, warnings);
    const int64_t now = std::time(nullptr);

    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<ImageOut> out;
    try {
        out = openImageOut(path, p.sparse, plan.geo.blockSize);
        out->resize(plan.geo.blocksCount * plan.geo.blockSize);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }
    ExtImageWriter w(img, tree, f, plan, *out, rep, now);

    rep.send(0, 0, 4, msg("Writing the data"));
    const bool written = w.WriteTree();
    const auto max = static_cast<int64_t>(plan.geo.blocksCount);
    rep.send(max, max, 5, msg("Done"));
    if (!written || img.cancel.load() != 0)
        return false;
    w.complete();
    out->commit();
    return true;
}

} // namespace korvane
