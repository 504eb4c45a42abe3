#include "ext_writer.h"

#include "model/error.h"
#include "model/output_file.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_set>

namespace korvane {

using namespace ext2;

namespace {

constexpr uint16_t kMaxMountCount = 24;
constexpr uint32_t kCheckInterval = 15552000; // 180 days
constexpr uint32_t kLostFoundMode = 0700;
constexpr uint32_t kJournalMode = 0600;
constexpr const char* kJournalName = "正在写入日志文件";
constexpr const char* kImageTooLarge = "抱歉，目前最大只支持1G的镜像文件";
constexpr uint64_t kMaxSymlinkTarget = kWriteBlockSize - 1; // one block with its zero
constexpr int kMaxLinkHops = 64;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
}

std::string tooManyObjects(uint64_t inodes) {
    return "抱歉，目前最多只支持" + std::to_string(inodes) + "个目录及文件";
}

// The object a hard link names, following links to links; nullptr when the
// chain ends at a node that is no longer in the tree.
const Node* linkTarget(const Timg& img, const AbsoluteIndex& tree, const Node* link) {
    const Node* t = link;
    for (int hops = 0; hops < kMaxLinkHops; ++hops) {
        t = img.nodeFor(t->entry.linkInfo);
        if (!t || tree.indexOf(t) == AbsoluteIndex::npos)
            return nullptr;
        if (t->entry.objType != kTypeHardlink)
            return t;
    }
    return nullptr;
}

void setBits(std::byte* map, uint32_t from, uint32_t to) {
    for (uint32_t x = from; x < to; ++x)
        map[x / 8] |= std::byte{static_cast<uint8_t>(1u << (x % 8))};
}

uint32_t countBits(const std::byte* map, uint32_t count) {
    uint32_t n = 0;
    for (uint32_t x = 0; x < count; ++x)
        n += (std::to_integer<uint32_t>(map[x / 8]) >> (x % 8)) & 1;
    return n;
}

void checkChildNames(const Node* dir, bool isRoot) {
    std::unordered_set<std::string_view> seen;
    for (const auto& c : dir->children) {
        if (!IsWritten(*c, isRoot))
            continue;
        if (c->text.size() > kMaxNameLength)
            throw Error("名称太长（超过255字节），EXT2/EXT3 无法保存：" + where(c.get()));
        if (!safeFileName(c->text))
            throw Error(
                "名称无效（空、\".\"、\"..\"，或含有 \"/\" 或空字符），EXT2/EXT3 无法保存：" +
                where(c.get()));
        if (!seen.insert(c->text).second)
            throw Error("同一目录中名称重复，EXT2/EXT3 无法保存：" + where(c.get()));
    }
}

// A 128-byte inode keeps signed 32-bit seconds: 1901 to 2038.
bool timesFitSmallInode(const TImgEntry& e) {
    for (int64_t t : {e.atime, e.mtime, e.ctime})
        if (t < INT32_MIN || t > INT32_MAX)
            return false;
    return true;
}

int32_t inodeTime(int64_t t) {
    return static_cast<int32_t>(std::clamp<int64_t>(t, INT32_MIN, INT32_MAX));
}

bool isDevice(const TImgEntry& e) {
    const uint32_t t = fileTypeBits(e);
    return e.objType >= kTypeSpecial && (t == kModeCharDevice || t == kModeBlockDevice);
}

ExtPlan check(const Timg& img, const AbsoluteIndex& tree, bool ext3,
              std::vector<Message>* warnings) {
    Node* root = tree.at(0);
    std::vector<bool> written(tree.size());
    size_t objects = 0;
    ForEachWritten(tree, [&](const Node*, size_t i) {
        written[i] = true;
        objects += i != 0;
    });
    ForEachWritten(tree, [&](const Node* n, size_t) {
        const TImgEntry& e = n->entry;
        if (n->isDirectory() || n == root)
            checkChildNames(n, n == root);
        if (isDevice(e) && !fitsNewDev(e.rdev))
            throw Error(msg("EXT keeps device numbers of at most 4095:1048575; %1 has %2:%3",
                            where(n), e.rdev.major, e.rdev.minor));
        if (warnings && !timesFitSmallInode(e))
            warnings->push_back(msg("%1: a time before 1901 or from 2038 on does not fit a "
                                    "128-byte inode; it was moved into that range",
                                    where(n)));
        if (e.objType == kTypeHardlink) {
            const Node* t = linkTarget(img, tree, n);
            if (!t)
                throw Error("硬链接的目标已被删除，无法保存：" + where(n));
            if (t->isDirectory())
                throw Error("硬链接指向目录，EXT2/EXT3 无法保存：" + where(n));
            if (!written[tree.indexOf(t)])
                throw Error("硬链接的目标 " + where(t) + " 不会被保存，无法保存硬链接：" +
                            where(n));
        } else if (e.objType == kTypeSymlink) {
            if (e.alias.empty())
                throw Error("软链接没有目标，EXT2/EXT3 无法保存：" + where(n));
            if (e.alias.find('\0') != std::string::npos)
                throw Error("软链接目标含有空字符，EXT2/EXT3 无法保存：" + where(n));
            if (e.alias.size() > kMaxSymlinkTarget)
                throw Error("软链接目标太长（超过1023字节），EXT2/EXT3 无法保存：" + where(n));
        }
    });
    ExtPlan plan = PlanImage(tree, ext3);
    if (!plan.sizeFits())
        throw Error(kImageTooLarge);
    if (!plan.inodesFit())
        throw Error(tooManyObjects(kMaxInodes - kGoodOldFirstIno) + "（当前有" +
                    std::to_string(objects) + "个）");
    return plan;
}

// Writes one planned image into its mapping. The mapping is a new file, so
// every byte the writer does not set is zero.
class ExtImageWriter {
public:
    ExtImageWriter(Timg& img, const AbsoluteIndex& tree, const ExtPlan& plan, OutputFile& out,
                   MutableByteSpan image, JobReporter& rep, uint32_t now)
        : img_(img), tree_(tree), plan_(plan), out_(out), image_(image), rep_(rep), now_(now),
          alloc_(plan.blocksCount, plan.metadataBlocks()), usedDirs_(plan.groupCount, 0) {}

    // Marks the reserved inodes 1 to 11 in use.
    void layGroups() { setBits(groupBlock(0, kGroupInodeBitmap), 0, kGoodOldFirstIno); }

    // Writes every inode, directory and file, then the journal. Returns
    // false when the cancel flag stopped it.
    bool WriteTree();

    // The bitmaps, free counts, descriptors and superblock, in every group.
    void complete();

private:
    struct Frame {
        Node* node;
        uint32_t ino;
        size_t next = 0;
        uint32_t subdirs = 0;
        Bytes entries;
        DirectoryBuilder builder{&entries};
    };

    std::byte* block(uint64_t b) { return image_.data() + b * kWriteBlockSize; }
    std::byte* groupBlock(uint64_t g, uint32_t offset) {
        return block(g * kGroupBlocks + kFirstDataBlock + offset);
    }
    std::byte* inodeAt(uint32_t n) {
        const uint32_t ipg = plan_.inodesPerGroup;
        return groupBlock((n - 1) / ipg, kGroupInodeTable) + ((n - 1) % ipg) * kWriteInodeSize;
    }
    uint32_t inodeOf(const Node* n) const {
        return static_cast<uint32_t>(InodeFor(tree_.indexOf(n)));
    }

    std::unique_ptr<Frame> openDirectory(Node* dir, uint32_t ino, uint32_t parentIno);
    void closeDirectory(Frame& f);
    uint32_t writeChild(Node* c);
    void writeLostFound();
    void writeJournal();

    void WriteInode(uint32_t n, ByteSpan data, const TImgEntry& e);
    void writeBlockMap(std::byte* map, ByteSpan data, uint64_t size);
    void fillIndirect(uint32_t b, int level);
    uint32_t dataBlock();
    void flushRun();
    void raiseLinks(uint32_t n);
    void checkInode(uint32_t n) const {
        if (n == 0 || n > plan_.inodesCount)
            throw Error(tooManyObjects(plan_.inodesCount));
    }

    Timg& img_;
    const AbsoluteIndex& tree_;
    const ExtPlan& plan_;
    OutputFile& out_;
    MutableByteSpan image_;
    JobReporter& rep_;
    const uint32_t now_;
    BlockAllocator alloc_;
    std::vector<uint16_t> usedDirs_;
    Bytes contents_;
    // The object being written: its bytes in memory, or (for a regular file)
    // its entry, read in pieces as its runs are written; how many of its
    // blocks are done.
    ByteSpan data_;
    const TImgEntry* file_ = nullptr;
    uint64_t fileSize_ = 0;
    uint64_t dataBlocks_ = 0;
    uint64_t doneBlocks_ = 0;
    // Data blocks that follow one another on disk, written in one go.
    uint64_t runBlock_ = 0;
    uint64_t runFrom_ = 0;
    uint64_t runBlocks_ = 0;
};

std::unique_ptr<ExtImageWriter::Frame> ExtImageWriter::openDirectory(Node* dir, uint32_t ino,
                                                                     uint32_t parentIno) {
    auto f = std::make_unique<Frame>();
    f->node = dir;
    f->ino = ino;
    f->builder.add(ino, ".");
    f->builder.add(parentIno, "..");
    return f;
}

void ExtImageWriter::closeDirectory(Frame& f) {
    TImgEntry e = f.node->entry;
    e.objType = kTypeDirectory;
    e.size = f.builder.finish();
    e.linkInfo = f.subdirs + 2;
    WriteInode(f.ino, f.entries, e);
}

// Writes a child that is not a folder, or for a hard link counts the name;
// returns the inode its entry names.
uint32_t ExtImageWriter::writeChild(Node* c) {
    const TImgEntry& e = c->entry;
    switch (e.objType) {
    case kTypeHardlink: {
        const uint32_t ino = inodeOf(linkTarget(img_, tree_, c));
        raiseLinks(ino);
        return ino;
    }
    case kTypeFile: {
        const uint32_t ino = inodeOf(c);
        file_ = &e;
        fileSize_ = e.size;
        try {
            WriteInode(ino, {}, e);
        } catch (const Error& err) {
            file_ = nullptr;
            throw Error(msg("cannot read %1: %2", where(c), err.what()));
        }
        file_ = nullptr;
        return ino;
    }
    case kTypeSymlink: {
        const uint32_t ino = inodeOf(c);
        WriteInode(ino, asBytes(e.alias), e);
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
    std::vector<std::unique_ptr<Frame>> stack;
    stack.push_back(openDirectory(root, kRootIno, kRootIno));
    writeLostFound();
    stack.back()->subdirs = 1;
    stack.back()->builder.add(kLostFoundIno, kLostFoundName);

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
            f.builder.add(ino, c->text);
            stack.push_back(openDirectory(c, ino, f.ino));
            continue;
        }
        f.builder.add(writeChild(c), c->text);
    }
    if (plan_.ext3)
        writeJournal();
    return true;
}

void ExtImageWriter::writeLostFound() {
    Bytes contents;
    DirectoryBuilder b(&contents);
    b.add(kLostFoundIno, ".");
    b.add(kRootIno, "..");
    b.finish();
    // Its other blocks each hold one empty entry, so every block is a valid
    // directory block.
    contents.resize(kLostFoundBlocks * kWriteBlockSize, std::byte{0});
    for (uint32_t k = 1; k < kLostFoundBlocks; ++k)
        store16(contents.data() + k * kWriteBlockSize + de::kRecLen, kWriteBlockSize);
    TImgEntry e;
    e.name = kLostFoundName;
    e.objType = kTypeDirectory;
    e.mode = kLostFoundMode;
    e.atime = e.ctime = e.mtime = now_;
    e.size = contents.size();
    e.linkInfo = 2;
    WriteInode(kLostFoundIno, contents, e);
}

void ExtImageWriter::writeJournal() {
    Bytes head(kWriteBlockSize, std::byte{0});
    store32be(head.data() + jbd::kMagicAt, jbd::kMagic);
    store32be(head.data() + jbd::kBlockType, jbd::kSuperblockV2);
    store32be(head.data() + jbd::kSequence, 0);
    store32be(head.data() + jbd::kBlockSize, kWriteBlockSize);
    store32be(head.data() + jbd::kMaxLen, plan_.journalSize / kWriteBlockSize);
    store32be(head.data() + jbd::kFirst, 1);
    store32be(head.data() + jbd::kFirstSequence, 1);
    store32be(head.data() + jbd::kStart, 0);
    TImgEntry e;
    e.name = kJournalName;
    e.objType = kTypeFile;
    e.mode = kJournalMode;
    e.size = plan_.journalSize;
    e.ctime = e.mtime = now_;
    // The rest of the journal is zero, as the new file already is.
    WriteInode(kJournalIno, head, e);
}

void ExtImageWriter::raiseLinks(uint32_t n) {
    checkInode(n);
    std::byte* p = inodeAt(n);
    store16(p + ino::kLinks, static_cast<uint16_t>(load16(p + ino::kLinks) + 1));
}

void ExtImageWriter::WriteInode(uint32_t n, ByteSpan data, const TImgEntry& e) {
    checkInode(n);
    const uint32_t ipg = plan_.inodesPerGroup;
    const uint32_t g = (n - 1) / ipg;
    setBits(groupBlock(g, kGroupInodeBitmap), (n - 1) % ipg, (n - 1) % ipg + 1);
    if (e.objType == kTypeDirectory)
        ++usedDirs_[g];
    rep_.progressWith(alloc_.last(), static_cast<int64_t>(plan_.blocksCount), 5,
                      [&e] { return e.name; });

    const uint32_t type = fileTypeBits(e);
    uint64_t size = 0;
    if (type == kModeFile || type == kModeDirectory)
        size = e.size;
    else if (type == kModeSymlink)
        size = data.size();
    const bool fastLink = type == kModeSymlink && size <= kFastSymlinkMax;
    const bool hasData =
        (type == kModeFile || type == kModeDirectory || type == kModeSymlink) && !fastLink;

    std::byte* p = inodeAt(n);
    const uint16_t links = type == kModeDirectory
                               ? static_cast<uint16_t>(e.linkInfo)
                               : static_cast<uint16_t>(load16(p + ino::kLinks) + 1);
    store16(p + ino::kMode, static_cast<uint16_t>(type | (e.mode & kModePermissionMask)));
    store16(p + ino::kUid, static_cast<uint16_t>(e.uid));
    store16(p + ino::kUidHigh, static_cast<uint16_t>(e.uid >> 16));
    store32(p + ino::kSize, static_cast<uint32_t>(size));
    store32(p + ino::kAtime, static_cast<uint32_t>(inodeTime(e.atime)));
    store32(p + ino::kCtime, static_cast<uint32_t>(inodeTime(e.ctime)));
    store32(p + ino::kMtime, static_cast<uint32_t>(inodeTime(e.mtime)));
    store32(p + ino::kDtime, 0);
    store16(p + ino::kGid, static_cast<uint16_t>(e.gid));
    store16(p + ino::kGidHigh, static_cast<uint16_t>(e.gid >> 16));
    store16(p + ino::kLinks, links);
    store32(p + ino::kBlocks, hasData ? static_cast<uint32_t>(IndirectBytes(size) / 512) : 0);
    store32(p + ino::kFlags, 0);
    std::byte* map = p + ino::kBlockMap;
    std::memset(map, 0, kBlockMapSize);
    if (fastLink)
        std::memcpy(map, data.data(), static_cast<size_t>(size));
    else if (hasData)
        writeBlockMap(map, data, size);
    else if (type == kModeCharDevice || type == kModeBlockDevice) {
        // As the kernel stores them: the old encoding when it holds the
        // number, else the new one in the second slot.
        if (fitsOldDev(e.rdev))
            store32(map, encodeOldDev(e.rdev));
        else
            store32(map + 4, encodeNewDev(e.rdev));
    }
}

uint32_t ExtImageWriter::dataBlock() {
    const uint32_t b = alloc_.NextBlock();
    if (runBlocks_ == 0 || b != runBlock_ + runBlocks_) {
        flushRun();
        runBlock_ = b;
        runFrom_ = doneBlocks_ * kWriteBlockSize;
    }
    ++runBlocks_;
    ++doneBlocks_;
    return b;
}

// File data goes to the file by write rather than through the mapping: whole
// pages written so are never read (as zeros) first.
void ExtImageWriter::flushRun() {
    const uint64_t have = file_ ? fileSize_ : data_.size();
    if (runBlocks_ == 0 || runFrom_ >= have) {
        runBlocks_ = 0;
        return;
    }
    const uint64_t n = std::min<uint64_t>(runBlocks_ * kWriteBlockSize, have - runFrom_);
    if (!file_) {
        out_.writeAt(runBlock_ * kWriteBlockSize,
                     data_.subspan(static_cast<size_t>(runFrom_), static_cast<size_t>(n)));
        runBlocks_ = 0;
        return;
    }
    // A file's run is read from its image in pieces; what cannot be found
    // reads as zeros.
    if (contents_.size() < kStreamBuffer)
        contents_.resize(kStreamBuffer);
    for (uint64_t done = 0; done < n;) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(kStreamBuffer, n - done));
        MutableByteSpan buf(contents_.data(), piece);
        const size_t got = img_.ReadRange(*file_, runFrom_ + done, buf);
        std::memset(buf.data() + got, 0, piece - got);
        out_.writeAt(runBlock_ * kWriteBlockSize + done, buf);
        done += piece;
    }
    runBlocks_ = 0;
}

// Each indirect block is allocated just before the blocks it lists.
void ExtImageWriter::fillIndirect(uint32_t b, int level) {
    std::byte* list = block(b);
    for (uint32_t i = 0; i < kWriteBlockSize / 4 && doneBlocks_ < dataBlocks_; ++i) {
        if (level == 1) {
            store32(list + 4 * i, dataBlock());
        } else {
            const uint32_t below = alloc_.NextBlock();
            store32(list + 4 * i, below);
            fillIndirect(below, level - 1);
        }
    }
}

void ExtImageWriter::writeBlockMap(std::byte* map, ByteSpan data, uint64_t size) {
    data_ =
        file_ ? ByteSpan{} : data.first(std::min<size_t>(data.size(), static_cast<size_t>(size)));
    dataBlocks_ = (size + kWriteBlockSize - 1) / kWriteBlockSize;
    doneBlocks_ = 0;
    for (size_t slot = 0; slot < kDirectBlocks && doneBlocks_ < dataBlocks_; ++slot)
        store32(map + 4 * slot, dataBlock());
    for (int level = 1; level <= 3 && doneBlocks_ < dataBlocks_; ++level) {
        const uint32_t b = alloc_.NextBlock();
        store32(map + 4 * (kIndirectSlot + static_cast<size_t>(level) - 1), b);
        fillIndirect(b, level);
    }
    flushRun();
    data_ = {};
}

void ExtImageWriter::complete() {
    const uint32_t groups = static_cast<uint32_t>(plan_.groupCount);
    const uint32_t blocksCount = static_cast<uint32_t>(plan_.blocksCount);
    // Only the descriptor blocks the groups fill are in use; the rest of the
    // four-block area stays free (and zero).
    const uint32_t descBlocks = (groups + kDescriptorsPerBlock - 1) / kDescriptorsPerBlock;
    const uint32_t cursor = alloc_.last();
    const uint32_t metadata = plan_.metadataBlocks();
    const uint32_t ipg = plan_.inodesPerGroup;
    uint32_t freeBlocks = 0, freeInodes = 0;
    std::byte* desc = block(kFirstDataBlock + kGroupDescriptors);
    for (uint32_t g = 0; g < groups; ++g) {
        const uint32_t first = g * kGroupBlocks + kFirstDataBlock;
        const uint32_t count = g + 1 == groups ? blocksCount - first : kGroupBlocks;
        std::byte* bb = groupBlock(g, kGroupBlockBitmap);
        std::memset(bb, 0, kWriteBlockSize);
        setBits(bb, 0, kGroupDescriptors + descBlocks);
        setBits(bb, kGroupBlockBitmap, metadata);
        // Data blocks are handed out in order: everything from the group's
        // first data block up to the cursor is in use.
        if (cursor >= first + metadata)
            setBits(bb, metadata, std::min(cursor - first + 1, count));
        setBits(bb, count, kGroupBlocks);
        const uint32_t groupFreeBlocks = count - countBits(bb, count);

        std::byte* ib = groupBlock(g, kGroupInodeBitmap);
        setBits(ib, ipg, kWriteBlockSize * 8);
        const uint32_t groupFreeInodes = ipg - countBits(ib, ipg);

        std::byte* d = desc + g * kDescSize;
        store32(d + gd::kBlockBitmap, first + kGroupBlockBitmap);
        store32(d + gd::kInodeBitmap, first + kGroupInodeBitmap);
        store32(d + gd::kInodeTable, first + kGroupInodeTable);
        store16(d + gd::kFreeBlocks, static_cast<uint16_t>(groupFreeBlocks));
        store16(d + gd::kFreeInodes, static_cast<uint16_t>(groupFreeInodes));
        store16(d + gd::kUsedDirs, usedDirs_[g]);
        freeBlocks += groupFreeBlocks;
        freeInodes += groupFreeInodes;
    }

    std::byte* s = block(kFirstDataBlock);
    std::memset(s, 0, kSuperblockSize);
    store32(s + sb::kInodesCount, static_cast<uint32_t>(plan_.inodesCount));
    store32(s + sb::kBlocksCount, blocksCount);
    store32(s + sb::kFreeBlocks, freeBlocks);
    store32(s + sb::kFreeInodes, freeInodes);
    store32(s + sb::kFirstDataBlock, kFirstDataBlock);
    store32(s + sb::kLogBlockSize, 0);
    store32(s + sb::kLogFragSize, 0);
    store32(s + sb::kBlocksPerGroup, kGroupBlocks);
    store32(s + sb::kFragsPerGroup, kGroupBlocks);
    store32(s + sb::kInodesPerGroup, ipg);
    store32(s + sb::kWriteTime, now_);
    store16(s + sb::kMaxMountCount, kMaxMountCount);
    store16(s + sb::kMagic, kMagic);
    store16(s + sb::kState, kStateClean);
    store32(s + sb::kLastCheck, now_);
    store32(s + sb::kCheckInterval, kCheckInterval);
    store32(s + sb::kRevLevel, kDynamicRev);
    store32(s + sb::kFirstIno, kGoodOldFirstIno);
    store16(s + sb::kInodeSize, static_cast<uint16_t>(kWriteInodeSize));
    for (size_t i = 0; i < 16; ++i)
        s[sb::kUuid + i] = static_cast<std::byte>(13 * (i + 1));
    if (plan_.ext3) {
        const std::byte* j = inodeAt(kJournalIno);
        store32(s + sb::kFeatureCompat, kCompatHasJournal);
        store32(s + sb::kJournalInum, kJournalIno);
        s[sb::kJournalBackupType] = std::byte{kJournalBackupBlocks};
        std::memcpy(s + sb::kJournalBlocks, j + ino::kBlockMap, kBlockMapSize);
        store32(s + sb::kJournalSizeHigh, 0);
        store32(s + sb::kJournalSize, load32(j + ino::kSize));
    }

    // Every group keeps a copy of the superblock and the descriptors.
    const size_t head = (1 + descBlocks) * size_t{kWriteBlockSize};
    for (uint32_t g = 1; g < groups; ++g)
        std::memcpy(groupBlock(g, 0), s, head);
}

} // namespace

ExtPlan checkExt(Timg& img, bool ext3, std::vector<Message>* warnings) {
    AbsoluteIndex tree(img.root());
    return check(img, tree, ext3, warnings);
}

bool WriteExtImage(Timg& img, const std::string& path, bool ext3, JobReporter& rep,
                   std::vector<Message>* warnings) {
    rep.send(0, 0, 2, "正在计算空间");
    AbsoluteIndex tree(img.root());
    const ExtPlan plan = check(img, tree, ext3, warnings);
    const uint32_t now = static_cast<uint32_t>(std::time(nullptr));

    rep.send(0, 0, 3, "正在创建文件");
    std::unique_ptr<OutputFile> out;
    MutableByteSpan image;
    try {
        out = std::make_unique<OutputFile>(path);
        out->resize(plan.imageSize);
        image = out->map();
    } catch (const Error& e) {
        throw Error(std::string("无法创建IMG文件！,可能其它程序正在使用。\n") + e.what());
    }
    ExtImageWriter w(img, tree, plan, *out, image, rep, now);
    w.layGroups();

    rep.send(0, 0, 4, "开始写入数据");
    const bool written = w.WriteTree();
    const auto max = static_cast<int64_t>(plan.blocksCount);
    rep.send(max, max, 5, "完成");
    if (!written || img.cancel.load() != 0)
        return false;
    w.complete();
    out->commit();
    return true;
}

} // namespace korvane
