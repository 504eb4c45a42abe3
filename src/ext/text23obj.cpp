#include "text23obj.h"

#include "model/error.h"
#include "model/tree_order.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvane {

using namespace ext2;

namespace {

// Longest symbolic link target the kernel writes (PATH_MAX).
constexpr uint64_t kMaxLinkTarget = 4096;
// Damage reports listed one by one; the rest are counted.
constexpr size_t kDamageListed = 100;

uint8_t objTypeOf(uint32_t mode) {
    switch (mode & kModeTypeMask) {
    case kModeFile:
        return kTypeFile;
    case kModeSymlink:
        return kTypeSymlink;
    case kModeDirectory:
        return kTypeDirectory;
    case kModeCharDevice:
        return kTypeSpecial;
    case kModeBlockDevice:
        return kTypeBlockDevice;
    default:
        return kTypeOther;
    }
}

std::string displayPath(const Node* n) {
    return "/" + pathFromRoot(n);
}

std::string uuidText(const std::array<uint8_t, 16>& u) {
    char buf[40];
    std::snprintf(buf, sizeof buf,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0],
                  u[1], u[2], u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13],
                  u[14], u[15]);
    return buf;
}

} // namespace

void Text23obj::Init(std::unique_ptr<ImageData> image) {
    Timg::Init(std::move(image));
    info_ = ReadInfo{};
    damageReported_ = 0;
    inodeTables_.clear();
    if (size() < kSuperblockOffset + kSuperblockSize)
        throw Error("not an EXT2/EXT3 image: " + std::to_string(size()) +
                    " bytes are too few to hold a superblock");
    sb_ = loadSuperblock(data() + kSuperblockOffset, size());

    const uint64_t fsBytes = uint64_t{sb_.blocksCount} * sb_.blockSize;
    if (fsBytes > size())
        warn("the image is truncated: it holds " + std::to_string(size()) + " of the " +
             std::to_string(fsBytes) + " bytes of its filesystem; what lies past its end reads " +
             "as zeros");

    inodeTables_.assign(sb_.groupCount, 0);
    size_t unplaced = 0;
    const uint32_t perBlock = sb_.blockSize / static_cast<uint32_t>(kDescSize);
    for (uint32_t g = 0; g < sb_.groupCount; ++g) {
        const std::byte* block = blockData(descriptorBlock(sb_, g));
        if (!block) {
            ++unplaced;
            continue;
        }
        inodeTables_[g] = load32(block + (g % perBlock) * kDescSize + gd::kInodeTable);
    }
    if (unplaced > 0)
        warn(std::to_string(unplaced) + " group descriptors lie outside the image; the inodes " +
             "of those groups cannot be read");
    if (sb_.has(kIncompatRecover))
        warn("the journal needs recovery (needs_recovery): changes it holds were never written "
             "back, so the tree shown is the state before them");
}

std::string Text23obj::formatName() const {
    return sb_.has(kCompatHasJournal) ? "EXT3" : "EXT2";
}

const std::byte* Text23obj::blockData(uint64_t b) const {
    if (b == 0 || b >= sb_.blocksCount)
        return nullptr;
    const uint64_t bs = sb_.blockSize;
    if ((b + 1) * bs > size())
        return nullptr;
    return data() + b * bs;
}

const std::byte* Text23obj::inodeData(uint32_t n) const {
    if (n == 0 || n > sb_.inodesCount)
        return nullptr;
    const uint32_t group = (n - 1) / sb_.inodesPerGroup;
    const uint32_t index = (n - 1) % sb_.inodesPerGroup;
    if (group >= inodeTables_.size())
        return nullptr;
    const uint64_t table = inodeTables_[group];
    if (table == 0 || table >= sb_.blocksCount)
        return nullptr;
    const uint64_t offset = table * sb_.blockSize + uint64_t{index} * sb_.inodeSize;
    if (offset + kInodeReadSize > size())
        return nullptr;
    return data() + offset;
}

bool Text23obj::loadInodeAt(uint32_t n, Inode& inode) const {
    const std::byte* p = inodeData(n);
    if (!p)
        return false;
    inode = loadInode(p, sb_);
    return true;
}

uint32_t Text23obj::blockAt(const BlockMap& map, uint64_t logical) const {
    uint64_t holes = 0;
    return lookupBlock(map, logical, holes);
}

uint32_t Text23obj::lookupBlock(const BlockMap& map, uint64_t logical, uint64_t& holes) const {
    holes = 1;
    if (logical < kDirectBlocks)
        return map[logical];
    logical -= kDirectBlocks;
    const uint64_t per = sb_.blockSize / 4;
    uint64_t span = per;
    size_t level = 1;
    while (level <= 3 && logical >= span) {
        logical -= span;
        span *= per;
        ++level;
    }
    if (level > 3) {
        holes = UINT64_MAX / 2;
        return 0;
    }
    // span: the blocks below the pointer being followed; logical: the
    // position within them.
    uint32_t b = map[kIndirectSlot + level - 1];
    for (size_t l = level; l >= 1; --l) {
        const std::byte* p = blockData(b);
        if (!p) {
            holes = span - logical;
            return 0;
        }
        span /= per;
        b = load32(p + 4 * (logical / span));
        logical %= span;
    }
    if (b == 0)
        holes = 1;
    return b;
}

template <typename Fn>
void Text23obj::walkIndirect(uint32_t block, int level, uint64_t& logical, uint64_t count,
                             Fn& fn) const {
    const uint64_t per = sb_.blockSize / 4;
    const std::byte* p = blockData(block);
    if (!p) {
        uint64_t span = per;
        for (int l = 1; l < level; ++l)
            span *= per;
        logical += span;
        return;
    }
    for (uint64_t i = 0; i < per && logical < count; ++i) {
        uint32_t b = load32(p + 4 * i);
        if (level == 1) {
            if (b != 0)
                fn(logical, b);
            ++logical;
        } else {
            walkIndirect(b, level - 1, logical, count, fn);
        }
    }
}

template <typename Fn>
void Text23obj::mapBlocks(const BlockMap& map, uint64_t count, Fn&& fn) const {
    uint64_t logical = 0;
    for (size_t i = 0; i < kDirectBlocks && logical < count; ++i, ++logical)
        if (map[i] != 0)
            fn(logical, map[i]);
    for (int level = 1; level <= 3 && logical < count; ++level)
        walkIndirect(map[kIndirectSlot + static_cast<size_t>(level) - 1], level, logical, count,
                     fn);
}

void Text23obj::readBlocks(const BlockMap& map, uint64_t size, std::byte* out) const {
    const uint64_t bs = sb_.blockSize;
    const uint64_t count = (size + bs - 1) / bs;
    // Consecutive blocks are copied in one run.
    uint64_t runLogical = 0, runPhysical = 0, runLength = 0;
    auto flush = [&] {
        if (runLength == 0)
            return;
        uint64_t at = runLogical * bs;
        uint64_t n = std::min(runLength * bs, size - at);
        std::memcpy(out + at, data() + runPhysical * bs, static_cast<size_t>(n));
        runLength = 0;
    };
    mapBlocks(map, count, [&](uint64_t logical, uint32_t physical) {
        if (!blockData(physical))
            return;
        if (runLength > 0 && logical == runLogical + runLength &&
            physical == runPhysical + runLength) {
            ++runLength;
            return;
        }
        flush();
        runLogical = logical;
        runPhysical = physical;
        runLength = 1;
    });
    flush();
}

bool Text23obj::fastSymlink(const TImgEntry& entry) const {
    Inode inode;
    if (entry.objId <= sb_.inodesCount && loadInodeAt(entry.objId, inode) &&
        (inode.mode & kModeTypeMask) == kModeSymlink)
        return isFastSymlink(inode, sb_);
    // Without its inode, decide as the kernel does when it makes a link: the
    // target and its terminating zero must fit in the block map.
    return entry.size < kBlockMapSize;
}

std::string Text23obj::readAlias(const TImgEntry& entry, bool fast) const {
    if (fast) {
        std::byte raw[kBlockMapSize];
        for (size_t i = 0; i < kBlockSlots; ++i)
            store32(raw + 4 * i, entry.blocks[i]);
        return zeroTerminated(raw, static_cast<size_t>(std::min<uint64_t>(entry.size, sizeof raw)));
    }
    const uint64_t n = std::min(entry.size, kMaxLinkTarget);
    Bytes buf(static_cast<size_t>(n));
    readBlocks(entry.blocks, n, buf.data());
    return zeroTerminated(buf.data(), buf.size());
}

void Text23obj::decodeEntry(uint32_t n, const Inode& inode, TImgEntry& e) const {
    e = TImgEntry{};
    e.objType = objTypeOf(inode.mode);
    e.mode = inode.mode;
    e.uid = inode.uid;
    e.gid = inode.gid;
    e.size = inode.size;
    e.atime = inode.atime;
    e.ctime = inode.ctime;
    e.mtime = inode.mtime;
    e.blocks = inode.blocks;
    if (e.objType == kTypeSpecial || e.objType == kTypeBlockDevice)
        e.rdev = decodeExtDev(inode.blocks[0], inode.blocks[1]);
    e.dataPos = -1;
    e.linkInfo = inode.links;
    e.objId = n;
    if (e.objType == kTypeSymlink)
        e.alias = readAlias(e, isFastSymlink(inode, sb_));
}

bool Text23obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    Inode inode;
    if (!loadInodeAt(id, inode) || inode.mode == 0)
        return false;
    decodeEntry(id, inode, entry);
    return true;
}

uint64_t Text23obj::contentSize(const TImgEntry& e) const {
    const bool has =
        e.objType == kTypeFile || e.objType == kTypeDirectory || e.objType == kTypeSymlink;
    return has ? e.size : 0;
}

size_t Text23obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    if (e.objType == kTypeSymlink && fastSymlink(e)) {
        std::byte raw[kBlockMapSize];
        for (size_t i = 0; i < kBlockSlots; ++i)
            store32(raw + 4 * i, e.blocks[i]);
        if (offset < sizeof raw)
            std::memcpy(out.data(), raw + offset,
                        static_cast<size_t>(std::min<uint64_t>(out.size(), sizeof raw - offset)));
        return out.size();
    }
    if (e.size > maxFileSize(sb_.blockSize))
        throw Error(msg("%1 claims %2 bytes, more than a file with %3-byte blocks can hold; the "
                        "inode is damaged",
                        e.name.empty() ? "inode " + std::to_string(e.objId) : e.name, e.size,
                        sb_.blockSize));
    const uint64_t bs = sb_.blockSize;
    const uint64_t end = offset + out.size();
    for (uint64_t pos = offset; pos < end;) {
        const uint64_t logical = pos / bs;
        const uint64_t within = pos % bs;
        const uint64_t n = std::min(bs - within, end - pos);
        uint64_t holes = 0;
        const uint32_t physical = lookupBlock(e.blocks, logical, holes);
        if (physical == 0) {
            pos = std::min(end, (logical + holes) * bs);
            continue;
        }
        if (const std::byte* b = blockData(physical))
            std::memcpy(out.data() + (pos - offset), b + within, static_cast<size_t>(n));
        pos += n;
    }
    return out.size();
}

ContentRange Text23obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    if (e.objType == kTypeSymlink && fastSymlink(e))
        return {offset, total};
    const uint64_t bs = sb_.blockSize;
    const uint64_t count = (total + bs - 1) / bs;
    // The first mapped block, passing over holes a whole indirect block at a time.
    uint64_t logical = offset / bs;
    uint64_t holes = 0;
    while (logical < count && lookupBlock(e.blocks, logical, holes) == 0)
        logical += holes;
    if (logical >= count)
        return {total, total};
    // The data goes on while blocks stay mapped; one range is at most 64 MiB
    // long, so that a call stays short.
    const uint64_t begin = std::max(offset, logical * bs);
    const uint64_t limit = std::min(count, logical + std::max<uint64_t>(1, (64ull << 20) / bs));
    uint64_t last = logical + 1;
    while (last < limit && lookupBlock(e.blocks, last, holes) != 0)
        ++last;
    return {begin, std::min(total, last * bs)};
}

void Text23obj::damage(std::string message, bool leftOut) {
    if (leftOut)
        ++info_.skipped;
    if (++damageReported_ <= kDamageListed)
        warn(std::move(message));
}

Node* Text23obj::AddEntryNode(Node* parent, TImgEntry entry) {
    auto node = std::make_unique<Node>();
    node->text = entry.name;
    const uint32_t inode = entry.objId;
    if (nodeFor(inode)) {
        entry.objType = kTypeHardlink;
        entry.linkInfo = inode;
        entry.objId = newobjid();
        ++info_.hardLinks;
    }
    node->entry = std::move(entry);
    node->icon = iconFor(node->entry, node->text);
    Node* added = parent->addChild(std::move(node));
    setNode(added->entry.objId, added);
    return added;
}

void Text23obj::ScanDirectory(Node* root, JobReporter& rep) {
    struct Frame {
        Node* node;
        BlockMap map;
        uint64_t size;
        uint64_t pos = 0;
        const std::byte* block = nullptr;
    };
    const uint64_t bs = sb_.blockSize;
    const bool nameLen8 = sb_.has(kIncompatFiletype);
    const int64_t expected =
        std::max<int64_t>(int64_t{sb_.inodesCount} - sb_.freeInodes - sb_.firstIno + 1, 1);
    int64_t made = 1;
    // A block read as part of a directory once is never read again: no
    // damaged image can make the walk repeat itself.
    std::vector<bool> dirBlockSeen(
        static_cast<size_t>(std::min<uint64_t>(sb_.blocksCount, size() / bs)));

    std::vector<Frame> stack;
    stack.push_back({root, root->entry.blocks, root->entry.size});
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.pos >= f.size) {
            stack.pop_back();
            continue;
        }
        const uint64_t within = f.pos % bs;
        auto stop = [&](const std::string& why) {
            damage("directory " + displayPath(f.node) + ": " + why +
                   "; the rest of the directory is not read");
            stack.pop_back();
        };
        if (within == 0) {
            const uint64_t logical = f.pos / bs;
            const uint32_t physical = blockAt(f.map, logical);
            f.block = blockData(physical);
            if (!f.block) {
                stop(physical == 0
                         ? "block " + std::to_string(logical) + " is missing"
                         : "block " + std::to_string(physical) + " lies outside the image");
                continue;
            }
            if (dirBlockSeen[physical]) {
                stop("block " + std::to_string(physical) + " was already read as a directory");
                continue;
            }
            dirBlockSeen[physical] = true;
        }
        const uint64_t room = std::min(bs - within, f.size - f.pos);
        if (room < de::kHeaderSize) {
            stop("an entry at byte " + std::to_string(f.pos) + " is cut off");
            continue;
        }
        const std::byte* e = f.block + within;
        const uint32_t ino = load32(e + de::kInode);
        const uint32_t recLen = recordLength(load16(e + de::kRecLen), sb_.blockSize);
        const uint32_t nameLen =
            nameLen8 ? std::to_integer<uint32_t>(e[de::kNameLen]) : load16(e + de::kNameLen);
        if (recLen < de::kHeaderSize || recLen > room) {
            stop("the entry at byte " + std::to_string(f.pos) + " has a record length of " +
                 std::to_string(recLen));
            continue;
        }
        if (nameLen > kMaxNameLength) {
            stop("the entry at byte " + std::to_string(f.pos) + " has a name of " +
                 std::to_string(nameLen) + " bytes");
            continue;
        }
        if (de::kHeaderSize + nameLen > recLen) {
            stop("the name of the entry at byte " + std::to_string(f.pos) +
                 " is longer than its record");
            continue;
        }
        f.pos += recLen;
        if (ino == 0)
            continue; // an unused entry (a deleted name, or an index block)
        std::string name(reinterpret_cast<const char*>(e + de::kName), nameLen);
        if (name == "." || name == "..")
            continue;

        Node* parent = f.node;
        auto where = [&] { return displayPath(parent) + (parent == root ? "" : "/") + name; };
        if (ino > sb_.inodesCount) {
            damage(where() + ": names inode " + std::to_string(ino) + ", beyond the image's " +
                   std::to_string(sb_.inodesCount) + " inodes; left out");
            continue;
        }
        TImgEntry entry;
        if (Node* first = nodeFor(ino)) {
            if (first->isDirectory() || ino == kRootIno) {
                damage(where() + ": names directory " + displayPath(first) +
                       " a second time; left out");
                continue;
            }
            entry = first->entry;
            entry.objId = ino;
        } else {
            Inode inode;
            if (!loadInodeAt(ino, inode)) {
                damage(where() + ": inode " + std::to_string(ino) +
                       " lies outside the image; left out");
                continue;
            }
            if (inode.mode == 0 || (inode.links == 0 && inode.dtime != 0)) {
                damage(where() + ": inode " + std::to_string(ino) + " is not in use; left out");
                continue;
            }
            decodeEntry(ino, inode, entry);
            if (entry.objType == kTypeFile && entry.size > maxFileSize(sb_.blockSize))
                damage(where() + ": the inode claims " + std::to_string(entry.size) +
                           " bytes, more than the file can hold; its contents cannot be read",
                       false);
        }
        entry.name = std::move(name);
        Node* added = AddEntryNode(parent, std::move(entry));
        ++made;
        rep.progressWith(std::min(made, expected), expected, 2, [&] { return added->text; });
        // f may move when the stack grows; it is not used below.
        if (added->isDirectory())
            stack.push_back({added, added->entry.blocks, added->entry.size});
    }
}

void Text23obj::Open() {
    JobReporter rep(onwk, kFlagExtRead);
    rep.send(0, 0, 1, "");
    try {
        nodeTable.assign(static_cast<size_t>(sb_.inodesCount) + 1, nullptr);
        maxObjId = sb_.inodesCount;
        info_ = ReadInfo{};

        Inode inode;
        if (!loadInodeAt(kRootIno, inode))
            throw Error("the root directory's inode lies outside the image");
        if ((inode.mode & kModeTypeMask) != kModeDirectory)
            throw Error("the root directory's inode is damaged: it does not describe a "
                        "directory");
        auto root = std::make_unique<Node>();
        decodeEntry(kRootIno, inode, root->entry);
        root->text = "/";
        root->icon = kFolderIcon;
        setNode(kRootIno, root.get());

        ScanDirectory(root.get(), rep);
        if (damageReported_ > kDamageListed)
            warn(std::to_string(damageReported_ - kDamageListed) +
                 " more problems with entries were found");
        sortTree(root.get());
        info_.objects = root->subtreeSize();
        setRoot(std::move(root));
    } catch (...) {
        rep.send(0, 0, 3, "");
        throw;
    }
    rep.send(0, 0, 3, "");
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
        if (sb_.has(kIncompatRecover))
            journal += ", needs recovery";
    }
    std::string state = (sb_.state & 1) ? "clean" : "not clean";
    if (sb_.state & 2)
        state += ", with errors";
    return {
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
        {"volume name", sb_.volumeName},
        {"UUID", uuidText(sb_.uuid)},
        {"state", state},
        {"objects", number(info_.objects)},
        {"hard links", number(info_.hardLinks)},
        {"left out", number(info_.skipped)},
    };
}

} // namespace korvane
