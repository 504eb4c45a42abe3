// The folder walk of an EXT image: folder blocks read in order (linear and
// hashed folders, inline ones), names checked, each inode read once, and
// damage listed where the walk meets it.
#include "csum.h"
#include "extent.h"
#include "model/error.h"
#include "model/tree_order.h"
#include "text23obj.h"
#include "xattr.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace korvane {

using namespace ext2;

namespace {

std::string displayPath(const Node* n) {
    return "/" + pathFromRoot(n);
}

} // namespace

// One folder being walked: its contents come in chunks (blocks, or the two
// places of inline data) and entries never cross a chunk's end.
struct Text23obj::Frame {
    Node* node = nullptr;
    Contents contents;
    uint64_t size = 0;
    uint64_t chunks = 0;
    uint64_t next = 0; // the chunk to load next
    uint64_t chunkStart = 0;
    ByteSpan data;
    size_t pos = 0;
    Bytes scratch;
    uint32_t seed = 0;
    bool indexed = false;
};

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

bool Text23obj::loadDirChunk(Frame& f) {
    const uint64_t i = f.next++;
    f.pos = 0;
    if (!f.contents.map) {
        // Inline folders: four bytes naming the parent, entries up to the
        // end of i_block, then entries in the system.data attribute.
        const Bytes& b = f.contents.inlineBytes;
        const uint64_t size = std::min<uint64_t>(f.size, b.size());
        const uint64_t from = i == 0 ? 4 : kInlineSize;
        const uint64_t to = i == 0 ? std::min<uint64_t>(size, kInlineSize) : size;
        f.chunkStart = from;
        f.data = from < to ? ByteSpan(b.data() + from, static_cast<size_t>(to - from)) : ByteSpan{};
        return true;
    }
    const uint64_t bs = sb_.blockSize;
    f.chunkStart = i * bs;
    const uint64_t physical = f.contents.map->lookup(i).physical;
    auto stop = [&](Message why) {
        damage(msg("directory %1: %2; the rest of the directory is not read", displayPath(f.node),
                   why));
        return false;
    };
    if (physical == 0)
        return stop(msg("block %1 is missing", i));
    if (!dev_->inside(physical))
        return stop(msg("block %1 lies outside the image", physical));
    auto [owner, fresh] = dirBlockOwner_.emplace(physical, f.node);
    if (!fresh) {
        // Android's read-only images may share blocks between objects; one
        // folder naming a block twice is a loop all the same.
        if (owner->second == f.node || !sb_.has(kRoCompatSharedBlocks))
            return stop(msg("block %1 was already read as a directory", physical));
        owner->second = f.node;
    }
    // Every folder block is stored in the file. A sparse image may repeat one
    // block of entries from a single fill word over terabytes, which a walk
    // would take hours to read (and nodes without end to hold).
    if (fresh && (dirBytes_ += bs) > src_->storedSize())
        return stop(msg("the folders read so far take more than the %1 bytes the file stores",
                        src_->storedSize()));
    // With system calls, as the inodes (see scanInode), into a buffer of a
    // folder walked before where there is one.
    if (f.scratch.empty()) {
        if (spareBlocks_.empty()) {
            f.scratch.resize(bs);
        } else {
            f.scratch = std::move(spareBlocks_.back());
            spareBlocks_.pop_back();
        }
    }
    src_->readThrough(physical * bs, MutableByteSpan(f.scratch));
    const ByteSpan block(f.scratch);
    f.data = block.first(static_cast<size_t>(std::min<uint64_t>(bs, f.size - f.chunkStart)));
    if (sb_.metadataCsum() && f.data.size() == bs) {
        const std::byte* t = block.data() + bs - dt::kTailSize;
        std::optional<bool> ok;
        if (load32(t) == 0 && load16(t + 4) == dt::kTailSize && t[6] == std::byte{0} &&
            std::to_integer<uint8_t>(t[7]) == dt::kTailFileType)
            ok = csum::dirLeafOk(f.seed, block);
        else if (f.indexed && i == 0)
            ok = csum::dirIndexOk(f.seed, block, 24 + std::to_integer<size_t>(block[29]));
        else if (f.indexed && load32(block.data()) == 0 &&
                 recordLength(load16(block.data() + 4), sb_.blockSize) == bs)
            ok = csum::dirIndexOk(f.seed, block, dt::kNodeCountLimit);
        if (ok && !*ok) {
            ++info_.badChecksums;
            damage(msg("directory %1: block %2 fails its checksum", displayPath(f.node), physical),
                   false);
        }
    }
    return true;
}

Text23obj::Frame Text23obj::frameFor(Node* n) {
    Frame f;
    f.node = n;
    f.size = n->entry.size;
    const ByteSpan raw = scanInode(n->entry.objId);
    if (!raw.empty()) {
        const Inode inode = loadInode(raw, sb_);
        f.contents = contentsOf(inode, raw);
        f.seed = sb_.metadataCsum()
                     ? csum::inodeSeed(sb_.csumSeed, n->entry.objId, inode.generation)
                     : 0;
        f.indexed = (inode.flags & kInodeFlagIndex) != 0;
    }
    f.chunks = f.contents.map ? (f.size + sb_.blockSize - 1) / sb_.blockSize : 2;
    return f;
}

bool Text23obj::nextDirEntry(Frame& f, uint32_t& ino, std::string& name) {
    const uint64_t at = f.chunkStart + f.pos;
    auto stop = [&](Message why) {
        damage(msg("directory %1: %2; the rest of the directory is not read", displayPath(f.node),
                   why));
        return false;
    };
    const size_t room = f.data.size() - f.pos;
    if (room < de::kHeaderSize)
        return stop(msg("an entry at byte %1 is cut off", at));
    const std::byte* e = f.data.data() + f.pos;
    ino = load32(e + de::kInode);
    const uint32_t recLen = recordLength(load16(e + de::kRecLen), sb_.blockSize);
    const uint32_t nameLen = sb_.has(kIncompatFiletype) ? std::to_integer<uint32_t>(e[de::kNameLen])
                                                        : load16(e + de::kNameLen);
    if (recLen < de::kHeaderSize || recLen > room)
        return stop(msg("the entry at byte %1 has a record length of %2", at, recLen));
    if (nameLen > kMaxNameLength)
        return stop(msg("the entry at byte %1 has a name of %2 bytes", at, nameLen));
    if (de::kHeaderSize + nameLen > recLen)
        return stop(msg("the name of the entry at byte %1 is longer than its record", at));
    f.pos += recLen;
    name.assign(reinterpret_cast<const char*>(e + de::kName), nameLen);
    return true;
}

std::optional<TImgEntry> Text23obj::entryFor(uint32_t ino,
                                             const std::function<std::string()>& where) {
    if (ino > sb_.inodesCount) {
        damage(msg("%1: names inode %2, beyond the image's %3 inodes; left out", where(), ino,
                   sb_.inodesCount));
        return std::nullopt;
    }
    TImgEntry entry;
    if (Node* first = nodeFor(ino)) {
        if (first->isDirectory() || ino == kRootIno) {
            damage(
                msg("%1: names directory %2 a second time; left out", where(), displayPath(first)));
            return std::nullopt;
        }
        entry = first->entry;
        entry.objId = ino;
        return entry;
    }
    const ByteSpan raw = scanInode(ino);
    if (raw.empty()) {
        damage(msg("%1: inode %2 lies outside the image; left out", where(), ino));
        return std::nullopt;
    }
    const Inode inode = loadInode(raw, sb_);
    if (inode.mode == 0 || (inode.links == 0 && inode.dtime != 0)) {
        damage(msg("%1: inode %2 is not in use; left out", where(), ino));
        return std::nullopt;
    }
    checkInode(ino, inode, raw, where);
    decodeEntry(ino, inode, raw, entry);
    if (entry.objType == kTypeFile && entry.size > maxFileSize(inode, sb_.blockSize) &&
        !inode.inlineData())
        damage(msg("%1: the inode claims %2 bytes, more than the file can hold; its contents "
                   "cannot be read",
                   where(), entry.size),
               false);
    return entry;
}

void Text23obj::ScanDirectory(Node* root, JobReporter& rep) {
    const int64_t expected =
        std::max<int64_t>(int64_t{sb_.inodesCount} - sb_.freeInodes - sb_.firstIno + 1, 1);
    int64_t made = 1;
    dirBlockOwner_.clear();
    dirBytes_ = 0;
    windowLen_ = 0;

    std::vector<Frame> stack;
    stack.push_back(frameFor(root));
    uint32_t ino = 0;
    std::string name;
    auto pop = [&] {
        if (!stack.back().scratch.empty())
            spareBlocks_.push_back(std::move(stack.back().scratch));
        stack.pop_back();
    };
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.pos >= f.data.size()) {
            if (f.next >= f.chunks || !loadDirChunk(f))
                pop();
            continue;
        }
        if (!nextDirEntry(f, ino, name)) {
            pop();
            continue;
        }
        // An unused entry (a deleted name, an index block, a checksum).
        if (ino == 0 || name == "." || name == "..")
            continue;
        Node* parent = f.node;
        auto where = [&] { return displayPath(parent) + (parent == root ? "" : "/") + name; };
        std::optional<TImgEntry> entry = entryFor(ino, where);
        if (!entry)
            continue;
        entry->name = std::move(name);
        Node* added = AddEntryNode(parent, std::move(*entry));
        ++made;
        rep.progressWith(std::min(made, expected), expected, 2,
                         [&] { return verbatim(added->text); });
        // f may move when the stack grows; it is not used below.
        if (added->isDirectory())
            stack.push_back(frameFor(added));
    }
    dirBlockOwner_.clear();
    spareBlocks_ = {};
    inodeWindow_ = {};
    windowLen_ = 0;
}

} // namespace korvane
