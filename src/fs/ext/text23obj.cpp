#include "text23obj.h"

#include "csum.h"
#include "extent.h"
#include "journal.h"
#include "model/error.h"
#include "model/tree_order.h"
#include "xattr.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

namespace korvane {

using namespace ext2;

namespace {

// Longest symbolic link target the kernel writes (PATH_MAX).
constexpr uint64_t kMaxLinkTarget = 4096;
// Damage reports listed one by one; the rest are counted.
constexpr size_t kDamageListed = 100;
// Group descriptors named one by one in a checksum warning.
constexpr size_t kGroupsListed = 10;

bool hasContents(uint8_t objType) {
    return objType == kTypeFile || objType == kTypeDirectory || objType == kTypeSymlink;
}

std::string uuidText(const std::array<uint8_t, 16>& u) {
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return buf;
}

// The value of "system.data" (the rest of inline data) in the inode body.
std::string inlineTail(const Inode& inode, ByteSpan raw) {
    const size_t at = kGoodOldInodeSize + inode.extraIsize;
    if (inode.extraIsize == 0 || at + 4 > raw.size() || load32(raw.data() + at) != xa::kMagic)
        return {};
    std::vector<RawXattr> found;
    parseXattrs(raw, at + 4, at + 4, found);
    for (const RawXattr& x : found)
        if (isInlineDataHolder(x))
            return x.value;
    return {};
}

// Every group descriptor is stored in the file, so a superblock that counts
// more groups than the file's bytes can describe is damaged. Checked against
// the stored bytes, not the image's size: a sparse image of a few bytes may
// expand to terabytes, and the reader keeps and walks every group it counts.
Superblock checkedGroups(Superblock s, const ImageSource& src) {
    if (uint64_t{s.groupCount} * s.descSize > src.storedSize())
        throw Error(msg("the superblock counts %1 groups, more than the file's %2 bytes can "
                        "describe",
                        s.groupCount, src.storedSize()));
    return s;
}

// The number of bytes in count blocks, or "more than limit".
uint64_t runBytes(uint64_t count, uint32_t bs, uint64_t limit) {
    return count > limit / bs + 1 ? limit : count * bs;
}

} // namespace

Text23obj::Text23obj() = default;
Text23obj::~Text23obj() = default;

void Text23obj::Init(std::shared_ptr<const ImageSource> image) {
    Timg::Init(std::move(image));
    info_ = ReadInfo{};
    damageReported_ = 0;
    groups_.clear();
    xattrBlocks_.clear();
    overlay_.reset();
    src_ = this->image();
    if (!src_ || src_->size() < kSuperblockOffset + kSuperblockSize)
        throw Error(msg("not an EXT2/EXT3/EXT4 image: %1 bytes are too few to hold a superblock",
                        src_ ? src_->size() : 0));
    sb_ = checkedGroups(
        loadSuperblock(readBytes(*src_, kSuperblockOffset, kSuperblockSize).data(), src_->size()),
        *src_);
    loadGeometry();

    const uint64_t fsBytes = sb_.blocksCount * sb_.blockSize;
    if (fsBytes > src_->size())
        warn(msg("the image is truncated: it holds %1 of the %2 bytes of its filesystem; what "
                 "lies past its end reads as zeros",
                 src_->size(), fsBytes));
    if (sb_.has(kIncompatRecover))
        recoverJournal();
    if (!sb_.csumOk) {
        ++info_.badChecksums;
        warn(msg("the superblock fails its checksum"));
    }
    std::string bad;
    size_t badGroups = 0;
    for (uint32_t g = 0; g < groups_.size(); ++g)
        if (!groups_[g].csumOk && ++badGroups <= kGroupsListed)
            bad += (bad.empty() ? "" : ", ") + std::to_string(g);
    if (badGroups > 0) {
        info_.badChecksums += badGroups;
        warn(msg("the descriptors of %1 groups fail their checksums (groups %2%3)", badGroups, bad,
                 badGroups > kGroupsListed ? ", ..." : ""));
    }
}

void Text23obj::loadGeometry() {
    dev_ = std::make_unique<BlockDevice>(*src_, sb_.blockSize, sb_.blocksCount);
    groups_.assign(sb_.groupCount, GroupDesc{});
    size_t unplaced = 0;
    const uint32_t perBlock = sb_.blockSize / sb_.descSize;
    Bytes scratch(sb_.blockSize);
    uint64_t cached = 0;
    ByteSpan block;
    for (uint32_t g = 0; g < sb_.groupCount; ++g) {
        const uint64_t b = descriptorBlock(sb_, g);
        if (b != cached || block.empty()) {
            block = dev_->block(b, scratch.data());
            cached = b;
        }
        if (block.empty()) {
            ++unplaced;
            continue;
        }
        groups_[g] = loadGroupDesc(sb_, g, block.data() + (g % perBlock) * sb_.descSize);
    }
    if (unplaced > 0)
        warn(msg("%1 group descriptors lie outside the image; the inodes of those groups cannot "
                 "be read",
                 unplaced));
}

void Text23obj::recoverJournal() {
    if (!sb_.has(kCompatHasJournal)) {
        warn(msg("the filesystem says it needs recovery (needs_recovery), but it has no journal; "
                 "the tree shown is the state it was left in"));
        return;
    }
    Inode j;
    if (sb_.journalInum == 0 || !loadInodeAt(sb_.journalInum, j)) {
        warn(sb_.journalInum == 0 ? msg("the journal needs recovery, but it is on another "
                                        "device; the tree shown is the state before it")
                                  : msg("the journal needs recovery, but it is unreadable; the "
                                        "tree shown is the state before it"));
        return;
    }
    Bytes raw(sb_.inodeSize);
    const ByteSpan rawJ = rawInode(sb_.journalInum, raw.data());
    Contents c = contentsOf(j, rawJ);
    if (!c.map) {
        warn(msg("the journal needs recovery, but its inode holds no blocks; the tree shown is "
                 "the state before it"));
        return;
    }
    JournalReplay r = replayJournal(*dev_, *c.map, j.size / sb_.blockSize);
    for (Message& m : r.problems)
        warn(std::move(m));
    if (!r.source)
        return;
    // The replayed blocks may rewrite the superblock and the descriptors.
    const ImageSource* before_ = src_;
    src_ = r.source.get();
    try {
        Superblock s = loadSuperblock(readBytes(*src_, kSuperblockOffset, kSuperblockSize).data(),
                                      src_->size());
        sb_ = checkedGroups(s, *src_);
    } catch (const Error& e) {
        src_ = before_;
        warn(msg("the journal replays a superblock that cannot be read (%1); the tree shown is "
                 "the state before recovery",
                 e.message()));
        return;
    }
    overlay_ = std::move(r.source);
    info_.replayed = r.transactions;
    info_.replayedBlocks = r.blocks;
    loadGeometry();
}

std::string Text23obj::formatName() const {
    return sb_.formatName();
}

std::optional<uint64_t> Text23obj::inodeOffset(uint32_t n) const {
    if (n == 0 || n > sb_.inodesCount)
        return std::nullopt;
    const uint32_t group = (n - 1) / sb_.inodesPerGroup;
    const uint32_t index = (n - 1) % sb_.inodesPerGroup;
    if (group >= groups_.size())
        return std::nullopt;
    const uint64_t table = groups_[group].inodeTable;
    if (table == 0 || table >= sb_.blocksCount)
        return std::nullopt;
    const uint64_t at = table * sb_.blockSize + uint64_t{index} * sb_.inodeSize;
    if (at > src_->size() || sb_.inodeSize > src_->size() - at)
        return std::nullopt;
    return at;
}

ByteSpan Text23obj::rawInode(uint32_t n, std::byte* scratch) const {
    // A copy, not a view into a mapping: one inode should not make the pages
    // around it resident.
    const std::optional<uint64_t> at = inodeOffset(n);
    if (!at)
        return {};
    src_->read(*at, MutableByteSpan(scratch, sb_.inodeSize));
    return ByteSpan(scratch, sb_.inodeSize);
}

ByteSpan Text23obj::scanInode(uint32_t n) {
    // Touching a mapping makes the kernel map up to sixteen pages around
    // each page touched, and the walk's scattered inodes would keep most of
    // the tables resident: read into a window instead. A folder's children
    // mostly sit side by side in the table, so one window serves many.
    constexpr uint64_t kWindow = 64u << 10; // a multiple of every inode size
    const std::optional<uint64_t> at = inodeOffset(n);
    if (!at)
        return {};
    if (*at < windowAt_ || *at + sb_.inodeSize > windowAt_ + windowLen_) {
        windowAt_ = *at / kWindow * kWindow;
        windowLen_ = static_cast<size_t>(std::min(kWindow, src_->size() - windowAt_));
        inodeWindow_.resize(kWindow);
        src_->readThrough(windowAt_, MutableByteSpan(inodeWindow_.data(), windowLen_));
    }
    return ByteSpan(inodeWindow_.data() + (*at - windowAt_), sb_.inodeSize);
}

bool Text23obj::loadInodeAt(uint32_t n, Inode& inode) const {
    Bytes scratch(sb_.inodeSize);
    const ByteSpan raw = rawInode(n, scratch.data());
    if (raw.empty())
        return false;
    inode = loadInode(raw, sb_);
    return true;
}

Text23obj::Contents Text23obj::contentsOf(const Inode& inode, ByteSpan raw) const {
    Contents c;
    const auto bytes = inode.blockBytes();
    if (inode.inlineData()) {
        c.inlineBytes.assign(bytes.begin(), bytes.end());
        const std::string tail = inlineTail(inode, raw);
        const auto* t = reinterpret_cast<const std::byte*>(tail.data());
        c.inlineBytes.insert(c.inlineBytes.end(), t, t + tail.size());
    } else if (isFastSymlink(inode, sb_)) {
        c.inlineBytes.assign(bytes.begin(), bytes.end());
    } else if (inode.extents()) {
        c.map = std::make_unique<ExtentMapper>(*dev_, bytes);
    } else {
        c.map = std::make_unique<IndirectMapper>(*dev_, inode.blocks);
    }
    return c;
}

Text23obj::Contents Text23obj::contentsOf(const TImgEntry& e) const {
    Bytes scratch(sb_.inodeSize);
    const ByteSpan raw = rawInode(e.objId, scratch.data());
    if (raw.empty())
        return {};
    return contentsOf(loadInode(raw, sb_), raw);
}

void Text23obj::readContents(const Contents& c, uint64_t size, uint64_t offset,
                             MutableByteSpan out) const {
    (void)size;
    if (out.empty()) // an empty link target: memcpy and memset take no null pointer
        return;
    if (!c.map) {
        size_t n = 0;
        if (offset < c.inlineBytes.size()) {
            n = static_cast<size_t>(std::min<uint64_t>(out.size(), c.inlineBytes.size() - offset));
            std::memcpy(out.data(), c.inlineBytes.data() + offset, n);
        }
        std::memset(out.data() + n, 0, out.size() - n);
        return;
    }
    const uint32_t bs = sb_.blockSize;
    const uint64_t end = offset + out.size();
    for (uint64_t pos = offset; pos < end;) {
        const uint64_t logical = pos / bs;
        const BlockRun run = c.map->lookup(logical);
        const uint64_t runEnd = logical * bs + runBytes(run.count, bs, end);
        const uint64_t n = std::min(end, runEnd) - pos;
        MutableByteSpan piece =
            out.subspan(static_cast<size_t>(pos - offset), static_cast<size_t>(n));
        if (run.physical == 0)
            std::memset(piece.data(), 0, piece.size());
        else
            dev_->read(run.physical, pos % bs, piece);
        pos += n;
    }
}

std::string Text23obj::readAlias(const Inode& inode, ByteSpan raw) const {
    const Contents c = contentsOf(inode, raw);
    Bytes buf(static_cast<size_t>(std::min(inode.size, kMaxLinkTarget)));
    readContents(c, inode.size, 0, MutableByteSpan(buf));
    return zeroTerminated(buf.data(), buf.size());
}

std::vector<Xattr> Text23obj::convertXattrs(const std::vector<RawXattr>& found,
                                            bool inlineHolder) const {
    std::vector<Xattr> out;
    for (const RawXattr& x : found) {
        // The rest of an inline file's data is no attribute of it.
        if (inlineHolder && isInlineDataHolder(x))
            continue;
        Xattr a{xattrName(x.index, x.suffix), x.value};
        if (a.name.empty())
            continue;
        if (x.valueInode != 0) {
            // ea_inode: the value is the contents of an inode of its own.
            Bytes scratch(sb_.inodeSize);
            const ByteSpan rv = rawInode(x.valueInode, scratch.data());
            if (rv.empty())
                continue;
            const Inode v = loadInode(rv, sb_);
            a.value.assign(std::min<uint64_t>({x.valueSize, v.size, xa::kMaxValueSize}), '\0');
            readContents(
                contentsOf(v, rv), v.size, 0,
                MutableByteSpan(reinterpret_cast<std::byte*>(a.value.data()), a.value.size()));
        }
        if (isAclIndex(x.index))
            if (auto acl = aclFromDisk(a.value))
                a.value = std::move(*acl);
        out.push_back(std::move(a));
    }
    return out;
}

std::shared_ptr<const std::vector<Xattr>> Text23obj::blockXattrs(uint32_t n, uint64_t b) {
    if (scanning_)
        if (auto cached = xattrBlocks_.find(b); cached != xattrBlocks_.end())
            return cached->second;
    auto list = std::make_shared<std::vector<Xattr>>();
    Bytes scratch(sb_.blockSize);
    const ByteSpan block = dev_->block(b, scratch.data());
    if (block.empty() || load32(block.data()) != xa::kMagic) {
        damage(block.empty()
                   ? msg("%1: its attribute block %2 lies outside the image", msg("inode %1", n), b)
                   : msg("%1: its attribute block %2 is damaged (no magic)", msg("inode %1", n), b),
               false);
    } else {
        if (sb_.metadataCsum() && !csum::xattrBlockOk(sb_.csumSeed, b, block)) {
            info_.badChecksums += scanning_ ? 1 : 0;
            damage(msg("attribute block %1 fails its checksum", b), false);
        }
        std::vector<RawXattr> found;
        if (auto why = parseXattrs(block, xa::kBlockHeaderSize, 0, found))
            damage(msg("attribute block %1: %2; the attributes after it are left out", b, *why),
                   false);
        *list = convertXattrs(found, false);
    }
    // GetEntry may run beside other readers: the cache serves the walk only.
    if (scanning_)
        xattrBlocks_.emplace(b, list);
    return list;
}

void Text23obj::readXattrs(uint32_t n, const Inode& inode, ByteSpan raw, TImgEntry& e) {
    std::vector<Xattr> body;
    const size_t at = kGoodOldInodeSize + inode.extraIsize;
    if (inode.extraIsize != 0 && at + 4 <= raw.size() && load32(raw.data() + at) == xa::kMagic) {
        std::vector<RawXattr> found;
        if (auto why = parseXattrs(raw, at + 4, at + 4, found))
            damage(msg("%1: %2; the attributes after it are left out", msg("inode %1", n), *why),
                   false);
        body = convertXattrs(found, inode.inlineData());
    }
    if (inode.fileAcl == 0) {
        e.xattrs = std::move(body);
        return;
    }
    std::shared_ptr<const std::vector<Xattr>> block = blockXattrs(n, inode.fileAcl);
    if (body.empty()) {
        e.xattrs = XattrList::sharing(std::move(block));
        return;
    }
    body.insert(body.end(), block->begin(), block->end());
    if (!scanning_) {
        e.xattrs = std::move(body);
        return;
    }
    // Inodes whose own attributes are alike share one list with the block's.
    std::string key = std::to_string(inode.fileAcl);
    for (const Xattr& x : body)
        key.append(1, '\0').append(x.name).append(1, '\0').append(x.value);
    auto [it, fresh] = xattrSets_.try_emplace(std::move(key));
    if (fresh)
        it->second = std::make_shared<const std::vector<Xattr>>(std::move(body));
    e.xattrs = XattrList::sharing(it->second);
}

void Text23obj::decodeEntry(uint32_t n, const Inode& inode, ByteSpan raw, TImgEntry& e) {
    e = TImgEntry{};
    e.objType = objTypeForMode(inode.mode);
    e.mode = inode.mode;
    e.uid = inode.uid;
    e.gid = inode.gid;
    e.size = inode.size;
    e.atime = inode.atime;
    e.ctime = inode.ctime;
    e.mtime = inode.mtime;
    e.atimeNs = inode.atimeNs;
    e.ctimeNs = inode.ctimeNs;
    e.mtimeNs = inode.mtimeNs;
    if (e.objType == kTypeSpecial || e.objType == kTypeBlockDevice)
        e.rdev = decodeExtDev(inode.blocks[0], inode.blocks[1]);
    e.dataPos = -1;
    e.linkInfo = inode.links;
    e.objId = n;
    if (e.objType == kTypeSymlink)
        e.alias = readAlias(inode, raw);
    readXattrs(n, inode, raw, e);
}

bool Text23obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    Bytes scratch(sb_.inodeSize);
    const ByteSpan raw = rawInode(id, scratch.data());
    if (raw.empty())
        return false;
    const Inode inode = loadInode(raw, sb_);
    if (inode.mode == 0)
        return false;
    decodeEntry(id, inode, raw, entry);
    return true;
}

uint64_t Text23obj::contentSize(const TImgEntry& e) const {
    return hasContents(e.objType) ? e.size : 0;
}

size_t Text23obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    Bytes scratch(sb_.inodeSize);
    const ByteSpan raw = rawInode(e.objId, scratch.data());
    Contents c;
    if (!raw.empty()) {
        const Inode inode = loadInode(raw, sb_);
        c = contentsOf(inode, raw);
        if (c.map && e.size > maxFileSize(inode, sb_.blockSize))
            throw Error(msg("%1 claims %2 bytes, more than a file with %3-byte blocks can hold; "
                            "the inode is damaged",
                            e.name.empty() ? "inode " + std::to_string(e.objId) : e.name, e.size,
                            sb_.blockSize));
    }
    readContents(c, e.size, offset, out);
    // The blocks were read through the image's mapping.
    noteRead(out.size() + kFaultAround);
    return out.size();
}

std::optional<StoredContents> Text23obj::storedImageContents(const TImgEntry& e, uint64_t offset,
                                                             uint64_t n) {
    Bytes scratch(sb_.inodeSize);
    const ByteSpan raw = rawInode(e.objId, scratch.data());
    if (raw.empty())
        return std::nullopt;
    const Inode inode = loadInode(raw, sb_);
    const Contents c = contentsOf(inode, raw);
    if (!c.map || e.size > maxFileSize(inode, sb_.blockSize))
        return std::nullopt;
    const uint64_t bs = sb_.blockSize;
    BlockRun run = c.map->lookup(offset / bs);
    if (run.physical == 0 || run.physical >= sb_.blocksCount)
        return std::nullopt;
    // Blocks past the filesystem's end read as zeros: not stored.
    run.count = std::min<uint64_t>(run.count, sb_.blocksCount - run.physical);
    const uint64_t within = offset % bs;
    run.count = std::min(run.count, (within + n + bs - 1) / bs);
    const uint64_t len = std::min(n, run.count * bs - within);
    const ImageSource& src = dev_->source();
    const uint64_t at = run.physical * bs + within;
    if (at > src.size() || len > src.size() - at)
        return std::nullopt;
    if (std::optional<FileRange> f = src.storedIn(at, len))
        return StoredContents{*f, len};
    return std::nullopt;
}

BlockRun Text23obj::heldRun(const BlockMapper& map, uint64_t logical) const {
    BlockRun run = map.lookup(logical);
    if (run.physical == 0)
        return run;
    // Blocks outside the filesystem, or past the end of a truncated image,
    // hold nothing: a hole.
    // A block the image holds in part counts as held: its bytes are read,
    // zeros past the end, as every read of it gives.
    const uint64_t held =
        std::min(sb_.blocksCount, (src_->size() + sb_.blockSize - 1) / sb_.blockSize);
    if (run.physical >= held)
        return {0, run.count};
    run.count = std::min(run.count, held - run.physical);
    return run;
}

ContentRange Text23obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    const Contents c = contentsOf(e);
    if (!c.map) {
        // Inline contents hold what the inode holds; a size past them is a hole.
        const uint64_t held = std::min<uint64_t>(total, c.inlineBytes.size());
        return offset < held ? ContentRange{offset, held} : ContentRange{total, total};
    }
    const uint64_t bs = sb_.blockSize;
    const uint64_t count = (total + bs - 1) / bs;
    // The first block that holds data, passing over holes a run at a time.
    uint64_t logical = offset / bs;
    BlockRun run;
    while (logical < count && (run = heldRun(*c.map, logical)).physical == 0)
        logical += run.count;
    if (logical >= count)
        return {total, total};
    // The data goes on while blocks stay held; one range is at most 64 MiB
    // long, so that a call stays short.
    const uint64_t begin = std::max(offset, logical * bs);
    const uint64_t limit = std::min(count, logical + std::max<uint64_t>(1, (64ull << 20) / bs));
    uint64_t last = logical + run.count;
    while (last < limit && (run = heldRun(*c.map, last)).physical != 0)
        last += run.count;
    return {begin, std::min(total, std::min(last, limit) * bs)};
}

void Text23obj::damage(Message message, bool leftOut) {
    if (!scanning_)
        return;
    if (leftOut)
        ++info_.skipped;
    if (++damageReported_ <= kDamageListed)
        warn(std::move(message));
}

void Text23obj::checkInode(uint32_t n, const Inode& inode, ByteSpan raw,
                           const std::function<std::string()>& where) {
    if (sb_.metadataCsum() && !csum::inodeOk(sb_, n, raw)) {
        ++info_.badChecksums;
        damage(msg("%1: inode %2 fails its checksum", where(), n), false);
    }
    if (!inode.extents() || inode.inlineData() || isFastSymlink(inode, sb_) ||
        !hasContents(objTypeForMode(inode.mode)))
        return;
    std::optional<uint32_t> seed;
    if (sb_.metadataCsum())
        seed = csum::inodeSeed(sb_.csumSeed, n, inode.generation);
    if (auto why = checkExtentTree(*dev_, inode.blockBytes(), seed))
        damage(msg("%1: %2; what it maps there reads as zeros", where(), *why), false);
}

void Text23obj::Open() {
    JobReporter rep(onwk, kFlagExtRead);
    rep.send(0, 0, 1, {});
    scanning_ = true;
    try {
        nodeTable.clear();
        maxObjId = sb_.inodesCount;
        const size_t initChecksums = info_.badChecksums;
        const uint32_t replayed = info_.replayed;
        const uint64_t replayedBlocks = info_.replayedBlocks;
        info_ = ReadInfo{};
        info_.badChecksums = initChecksums;
        info_.replayed = replayed;
        info_.replayedBlocks = replayedBlocks;

        Bytes scratch(sb_.inodeSize);
        const ByteSpan raw = rawInode(kRootIno, scratch.data());
        if (raw.empty())
            throw Error("the root directory's inode lies outside the image");
        const Inode inode = loadInode(raw, sb_);
        if ((inode.mode & kModeTypeMask) != kModeDirectory)
            throw Error("the root directory's inode is damaged: it does not describe a "
                        "directory");
        auto root = std::make_unique<Node>();
        checkInode(kRootIno, inode, raw, [] { return std::string("/"); });
        decodeEntry(kRootIno, inode, raw, root->entry);
        root->text = "/";
        root->icon = kFolderIcon;
        setNode(kRootIno, root.get());

        ScanDirectory(root.get(), rep);
        if (damageReported_ > kDamageListed)
            warn(msg("%1 more problems with entries were found", damageReported_ - kDamageListed));
        sortTree(root.get());
        info_.objects = root->subtreeSize();
        setRoot(std::move(root));
    } catch (...) {
        scanning_ = false;
        xattrBlocks_.clear();
        xattrSets_.clear();
        rep.send(0, 0, 3, {});
        throw;
    }
    scanning_ = false;
    xattrBlocks_.clear();
    xattrSets_.clear();
    rep.send(0, 0, 3, {});
}

std::vector<std::pair<std::string, std::string>> Text23obj::describe() const {
    auto number = [](uint64_t v) { return std::to_string(v); };
    std::string features;
    for (const std::string& f : featureNames(sb_.compat, sb_.incompat, sb_.roCompat))
        features += (features.empty() ? "" : " ") + f;
    std::string journal = "none";
    if (sb_.has(kCompatHasJournal)) {
        Inode j;
        if (sb_.journalInum != 0 && loadInodeAt(sb_.journalInum, j))
            journal = "inode " + number(sb_.journalInum) + ", " + number(j.size / sb_.blockSize) +
                      " blocks (" + number(j.size >> 10) + " KiB)";
        else if (sb_.journalInum == 0)
            journal = "external, UUID " + uuidText(sb_.journalUuid);
        else
            journal = "inode " + number(sb_.journalInum) + " (unreadable)";
        if (info_.replayed > 0)
            journal += ", " + number(info_.replayed) + " transactions replayed (" +
                       number(info_.replayedBlocks) + " blocks)";
        else if (sb_.has(kIncompatRecover))
            journal += ", needs recovery";
    }
    std::string state = (sb_.state & 1) ? "clean" : "not clean";
    if (sb_.state & 2)
        state += ", with errors";
    std::vector<std::pair<std::string, std::string>> out = {
        {"format", formatName()},
        {"image size", number(size())},
        {"revision", sb_.revLevel == kGoodOldRev ? "0 (original)" : "1 (dynamic)"},
        {"block size", number(sb_.blockSize)},
        {"blocks", number(sb_.blocksCount) + " (" + number(sb_.freeBlocks) + " free)"},
        {"groups", number(sb_.groupCount)},
        {"blocks per group", number(sb_.blocksPerGroup)},
        {"inodes", number(sb_.inodesCount) + " (" + number(sb_.freeInodes) + " free)"},
        {"inodes per group", number(sb_.inodesPerGroup)},
        {"inode size", number(sb_.inodeSize)},
        {"first inode", number(sb_.firstIno)},
        {"features", features.empty() ? "(none)" : features},
        {"journal", journal},
    };
    const bool walked = root() != nullptr;
    if (sb_.groupCsum())
        out.push_back({"checksums", std::string(sb_.metadataCsum() ? "metadata_csum" : "gdt_csum") +
                                        ", " + number(info_.badChecksums) + " mismatches" +
                                        (walked ? "" : " (superblock and group descriptors)")});
    out.insert(out.end(), {
                              {"volume name", sb_.volumeName},
                              {"UUID", uuidText(sb_.uuid)},
                              {"state", state},
                          });
    if (walked)
        out.insert(out.end(), {
                                  {"objects", number(info_.objects)},
                                  {"hard links", number(info_.hardLinks)},
                                  {"left out", number(info_.skipped)},
                              });
    return out;
}

} // namespace korvane
