#include "tubifs.h"

#include "model/error.h"
#include "model/tree_order.h"
#include "ubifs_leaf.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string_view>
#include <unordered_map>

namespace korvane {

using namespace ubifs;

namespace {

// Damage named one by one before the rest is only counted.
constexpr size_t kDamageNamed = 16;
// Data ranges nextData hands out at most, so that one call stays short.
constexpr uint32_t kRangeBlocks = (64u << 20) / kBlockSize;

} // namespace

Tubifs::Tubifs() = default;
Tubifs::~Tubifs() = default;

void Tubifs::damage(Message m) {
    ++info_.damagedNodes;
    if (++damageReported_ <= kDamageNamed)
        warn(std::move(m));
}

void Tubifs::readSuperblock() {
    const ImageSource& src = *image();
    const Bytes head =
        readBytes(src, 0, static_cast<size_t>(std::min<uint64_t>(src.size(), sb::kNodeSize)));
    if (head.size() < ch::kSize)
        throw Error(
            msg("not a UBIFS image: %1 bytes are too few to hold a superblock", head.size()));
    const std::optional<NodeHeader> h = loadHeader(head.data());
    if (!h || h->type != kSbNode)
        throw Error("not a UBIFS image: no superblock node at byte 0");
    if (h->len < sb::kHashAlgo + 2 || h->len > head.size() ||
        load32(head.data() + ch::kCrc) != nodeCrc(ByteSpan(head.data(), h->len)))
        throw Error("the UBIFS superblock node fails its CRC");
    Message why;
    std::optional<Superblock> s = decodeSuperblock(ByteSpan(head.data(), h->len), &why);
    if (!s)
        throw Error(msg("the UBIFS superblock cannot be read: %1", why));
    sb_ = *s;
    if (sb_.fmtVersion > 5)
        warn(msg("the filesystem has format version %1; Korvane knows versions up to 5 and reads "
                 "it as those",
                 sb_.fmtVersion));
    if (sb_.flags & kFlagEncryption)
        warn(msg("the filesystem uses encryption: names of encrypted folders are shown as stored, "
                 "and encrypted files cannot be read"));
    reader_ = std::make_unique<LebReader>(src, sb_.lebSize, sb_.lebCnt);
    reader_->noteRead = [this](uint64_t at, uint64_t n) { noteReadAt(at, n); };
}

// The newer of the two master nodes; the kernel would repair a pair that
// differs, which a reader only notes.
void Tubifs::readMaster() {
    const MasterCopies c = readMasters(*reader_);
    if (!c.copy[0] && !c.copy[1])
        throw Error("no master node of the UBIFS image can be read");
    int pick = c.copy[0] ? 0 : 1;
    if (c.copy[0] && c.copy[1]) {
        if (c.copy[1]->sqnum > c.copy[0]->sqnum)
            pick = 1;
        info_.mastersDiffer = c.copy[0]->body != c.copy[1]->body;
        if (info_.mastersDiffer)
            warn(
                msg("the two master nodes differ; the newer, in LEB %1, is read", kMstLnum + pick));
    } else {
        warn(msg("master LEB %1 holds no master node; the other one is read",
                 kMstLnum + (pick == 0 ? 1 : 0)));
    }
    master_ = *c.copy[pick];
    info_.masterLeb = kMstLnum + static_cast<uint32_t>(pick);
}

void Tubifs::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, {});
    try {
        info_ = ReadInfo{};
        damageReported_ = 0;
        inums_.clear();
        encrypted_.clear();
        readSuperblock();
        readMaster();
        overlay_ = Overlay{};
        info_.replay = replayJournal(
            *reader_, sb_, master_, overlay_, [this](Message m) { warn(std::move(m)); },
            [this] { return cancel != 0; });
        index_ = std::make_unique<IndexTree>(*reader_, sb_.branchSize());
        Message why;
        if (master_.root.len > sb_.lebSize || !index_->setRoot(master_.root, &why))
            throw Error(msg("the root of the UBIFS index cannot be read: %1", why));
        buildTree(rep);
        info_.indexNodes = index_->nodesRead();
        if (damageReported_ > kDamageNamed)
            warn(msg("%1 more damaged nodes are not named", damageReported_ - kDamageNamed));
    } catch (...) {
        rep.send(0, 0, 3, {});
        throw;
    }
    rep.send(0, 0, 3, {});
}

Tubifs::Lookup Tubifs::loadInode(uint32_t inum, const std::string& path, Bytes& buf, InodeNode& n) {
    const Key key = makeKey(inum, kInoKey, 0);
    std::optional<NodeLoc> loc;
    if (const std::optional<NodeLoc>* j = overlay_.find(key, {})) {
        loc = *j;
    } else if (!overlay_.hides(key, {})) {
        const bool intact = index_->forRange(key, key, [&](const Branch& b) {
            loc = b.loc;
            return false;
        });
        if (!intact) {
            damage(msg("%1: the index is damaged where it lists inode %2", path, inum));
            return Lookup::kDamaged;
        }
    }
    if (!loc)
        return Lookup::kAbsent;
    Message why;
    if (loc->len > kMaxInoNodeSize) {
        damage(msg("%1: the index leads to an inode node of %2 bytes", path, loc->len));
        return Lookup::kDamaged;
    }
    std::optional<InodeNode> found;
    if (reader_->readNode(*loc, buf, kInoNode, &why))
        found = decodeInode(buf, &why);
    if (found && found->key != key)
        why = msg("the inode node at LEB %1 offset %2 carries another key than its branch",
                  loc->lnum, loc->offs);
    if (!found || found->key != key) {
        damage(msg("%1: %2", path, why));
        return Lookup::kDamaged;
    }
    n = *found;
    return n.nlink != 0 ? Lookup::kFound : Lookup::kAbsent;
}

// The entries the index holds where the journal left them standing, then
// those the journal brought.
void Tubifs::forEachEntry(uint32_t inum, uint8_t type, const std::string& path,
                          const std::function<void(DentNode&)>& fn) {
    const Key lo = makeKey(inum, type, 0);
    const Key hi = makeKey(inum, type, kKeyLowMask);
    Bytes buf;
    auto take = [&](const NodeLoc& loc, Key key, bool fromIndex) {
        Message why;
        std::optional<DentNode> d;
        if (loc.len > kMaxDentNodeSize)
            why = msg("the index leads to an entry node of %1 bytes", loc.len);
        else if (reader_->readNode(loc, buf, type, &why))
            d = decodeDent(buf, &why);
        if (d && d->key != key)
            why = msg("the entry node at LEB %1 offset %2 carries another key than its branch",
                      loc.lnum, loc.offs);
        if (!d || d->key != key) {
            ++info_.leftOut;
            damage(msg("%1: %2", path, why));
            return;
        }
        if ((fromIndex && overlay_.hides(key, d->name)) || d->inum == 0)
            return;
        fn(*d);
    };
    const bool intact = index_->forRange(
        lo, hi,
        [&](const Branch& b) {
            take(b.loc, b.key, true);
            return true;
        },
        true);
    if (!intact)
        damage(msg("%1: the index is damaged where it lists the entries of inode %2", path, inum));
    overlay_.forEach(lo, hi, [&](Key k, const std::string&, const NodeLoc& loc) {
        take(loc, k, false);
        return true;
    });
}

std::unique_ptr<Node> Tubifs::makeNode(uint32_t inum, const InodeNode& n, std::string name,
                                       const std::string& path) {
    auto node = std::make_unique<Node>();
    TImgEntry& e = node->entry;
    fillEntry(n, e);
    e.name = name;
    node->text = std::move(name);
    e.objId = newobjid();
    inums_.resize(e.objId + 1, 0);
    inums_[e.objId] = inum;
    if (n.flags & kInodeCrypt)
        encrypted_.insert(inum);
    if (n.xattrCnt > 0 || !overlay_.empty()) {
        Bytes buf;
        forEachEntry(inum, kXentKey, path, [&](DentNode& x) {
            InodeNode value;
            const Lookup l = loadInode(static_cast<uint32_t>(x.inum), path, buf, value);
            if (l == Lookup::kDamaged)
                return;
            if (l == Lookup::kAbsent || !(value.flags & kInodeXattr)) {
                damage(msg("the extended attribute %1 of %2 names inode %3, which holds no "
                           "attribute value",
                           x.name, path, x.inum));
                return;
            }
            e.xattrs.push_back(
                {std::move(x.name),
                 std::string(reinterpret_cast<const char*>(value.data.data()), value.data.size())});
        });
    }
    node->icon = iconFor(e, node->text);
    return node;
}

// Breadth first from the root inode, as the kernel would look each name
// up. A folder is entered once; a second name of anything else becomes a
// hard link to the first.
void Tubifs::buildTree(JobReporter& rep) {
    nodeTable.clear();
    maxObjId = 0;
    inums_.assign(1, 0);
    Bytes buf;
    InodeNode rootInode;
    std::unique_ptr<Node> root;
    if (loadInode(kRootIno, "/", buf, rootInode) == Lookup::kFound &&
        objTypeForMode(rootInode.mode) == kTypeDirectory) {
        root = makeNode(kRootIno, rootInode, {}, "/");
    } else {
        warn(msg("the root folder's inode is missing or no folder; a root folder stands in for "
                 "it"));
        InodeNode stand;
        stand.mode = kModeDirectory | 0755;
        stand.nlink = 2;
        root = makeNode(kRootIno, stand, {}, "/");
    }
    root->text = "/";
    setNode(root->entry.objId, root.get());

    std::unordered_map<uint32_t, uint32_t> placed{{kRootIno, root->entry.objId}};
    std::deque<std::pair<Node*, uint32_t>> dirs{{root.get(), kRootIno}};
    const auto expected = static_cast<int64_t>(std::max<uint64_t>(master_.highestInum, 1));
    int64_t made = 0;
    while (!dirs.empty()) {
        Node* const dir = dirs.front().first;
        const uint32_t dirInum = dirs.front().second;
        dirs.pop_front();
        if (cancel)
            throw Error("cancelled");
        const std::string dirPath = dir == root.get() ? std::string() : pathFromRoot(dir);
        std::unordered_set<std::string> names;
        forEachEntry(dirInum, kDentKey, dirPath.empty() ? "/" : dirPath, [&](DentNode& d) {
            if (!names.insert(d.name).second)
                return; // the same entry reached twice through a damaged index
            const std::string path = dirPath + "/" + d.name;
            const auto inum = static_cast<uint32_t>(d.inum);
            InodeNode n;
            const Lookup l = loadInode(inum, path, buf, n);
            if (l != Lookup::kFound) {
                ++info_.leftOut;
                if (l == Lookup::kAbsent)
                    damage(
                        msg("%1 names inode %2, which the filesystem does not hold", path, inum));
                return;
            }
            if (n.flags & kInodeXattr) {
                ++info_.leftOut;
                damage(msg("%1 names an extended attribute's inode", path));
                return;
            }
            const bool isDir = objTypeForMode(n.mode) == kTypeDirectory;
            auto seen = placed.find(inum);
            if (seen != placed.end() && isDir) {
                ++info_.leftOut;
                damage(msg("folder %1 is linked from a second place, %2; only the first one is "
                           "shown",
                           d.name, path));
                return;
            }
            std::unique_ptr<Node> child = makeNode(inum, n, std::move(d.name), path);
            if (seen != placed.end()) {
                child->entry.objType = kTypeHardlink;
                child->entry.linkInfo = seen->second;
                ++info_.hardLinks;
            } else {
                placed.emplace(inum, child->entry.objId);
            }
            Node* added = dir->addChild(std::move(child));
            setNode(added->entry.objId, added);
            if (isDir && added->entry.objType == kTypeDirectory)
                dirs.emplace_back(added, inum);
            ++made;
            rep.progressWith(std::min(made, expected), expected, 2,
                             [&] { return verbatim(added->text); });
        });
    }
    sortTree(root.get());
    info_.objects = root->subtreeSize();
    setRoot(std::move(root));
}

bool Tubifs::GetEntry(uint32_t id, TImgEntry& entry) {
    Node* n = nodeFor(id);
    if (!n)
        return false;
    entry = n->entry;
    return true;
}

uint32_t Tubifs::inumOf(const TImgEntry& e) const {
    if (e.objId == 0 || e.objId >= inums_.size() || inums_[e.objId] == 0)
        throw Error(msg("%1 is not an object of this image", e.name));
    return inums_[e.objId];
}

void Tubifs::forEachBlock(uint32_t inum, uint32_t first, uint32_t last, const TImgEntry& e,
                          const std::function<bool(uint32_t, const NodeLoc&)>& fn) const {
    const Key lo = makeKey(inum, kDataKey, first);
    const Key hi = makeKey(inum, kDataKey, last);
    std::vector<std::pair<Key, NodeLoc>> journal;
    overlay_.forEach(lo, hi, [&](Key k, const std::string&, const NodeLoc& loc) {
        journal.emplace_back(k, loc);
        return true;
    });
    size_t j = 0;
    bool stopped = false;
    const bool intact = index_->forRange(lo, hi, [&](const Branch& b) {
        for (; j < journal.size() && journal[j].first < b.key; ++j)
            if (!fn(keyLow(journal[j].first), journal[j].second)) {
                stopped = true;
                return false;
            }
        if (overlay_.hides(b.key, {}))
            return true;
        if (!fn(keyLow(b.key), b.loc)) {
            stopped = true;
            return false;
        }
        return true;
    });
    if (!intact)
        throw Error(msg("the index is damaged where it lists the data of %1", e.name));
    for (; !stopped && j < journal.size(); ++j)
        if (!fn(keyLow(journal[j].first), journal[j].second))
            return;
}

size_t Tubifs::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    const uint32_t inum = inumOf(e);
    if (encrypted_.count(inum))
        throw Error(msg("%1 is encrypted; Korvane cannot read its contents", e.name));
    std::memset(out.data(), 0, out.size());
    const uint64_t end = offset + out.size();
    const uint64_t firstBlk = offset / kBlockSize;
    const uint64_t lastBlk = (end - 1) / kBlockSize;
    if (firstBlk > kKeyLowMask)
        return out.size();
    Bytes node;
    Bytes block(kBlockSize);
    forEachBlock(inum, static_cast<uint32_t>(firstBlk),
                 static_cast<uint32_t>(std::min<uint64_t>(lastBlk, kKeyLowMask)), e,
                 [&](uint32_t blk, const NodeLoc& loc) {
                     Message why;
                     std::optional<DataNode> d;
                     if (loc.len <= kMaxDataNodeSize &&
                         reader_->readNode(loc, node, kDataNode, &why))
                         d = decodeData(node, &why);
                     else if (loc.len > kMaxDataNodeSize)
                         why = msg("its node claims %1 bytes", loc.len);
                     if (d && keyLow(d->key) != blk)
                         why = msg("its node carries the key of block %1", keyLow(d->key));
                     if (!d || keyLow(d->key) != blk || !unpackData(*d, block, &why))
                         throw Error(msg("block %1 of %2 cannot be read: %3", blk, e.name, why));
                     std::memset(block.data() + d->size, 0, kBlockSize - d->size);
                     const uint64_t at = uint64_t{blk} * kBlockSize;
                     const uint64_t from = std::max(at, offset);
                     const uint64_t to = std::min(at + kBlockSize, end);
                     std::memcpy(out.data() + (from - offset), block.data() + (from - at),
                                 static_cast<size_t>(to - from));
                     return true;
                 });
    return out.size();
}

ContentRange Tubifs::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    const uint32_t inum = inumOf(e);
    const uint64_t firstBlk = offset / kBlockSize;
    const uint64_t lastBlk = std::min<uint64_t>((total - 1) / kBlockSize, kKeyLowMask);
    if (firstBlk > lastBlk)
        return {total, total};
    int64_t begin = -1;
    uint64_t next = 0;
    forEachBlock(inum, static_cast<uint32_t>(firstBlk), static_cast<uint32_t>(lastBlk), e,
                 [&](uint32_t blk, const NodeLoc&) {
                     if (begin < 0) {
                         begin = blk;
                     } else if (blk != next || blk - static_cast<uint64_t>(begin) >= kRangeBlocks) {
                         return false;
                     }
                     next = uint64_t{blk} + 1;
                     return true;
                 });
    if (begin < 0)
        return {total, total};
    return {std::max(offset, static_cast<uint64_t>(begin) * kBlockSize),
            std::min(total, next * kBlockSize)};
}

std::vector<std::pair<std::string, std::string>> Tubifs::describe() const {
    std::string flags;
    auto flag = [&](uint32_t bit, const char* name) {
        if (sb_.flags & bit)
            flags += (flags.empty() ? "" : ", ") + std::string(name);
    };
    flag(kFlagBigLpt, "big LPT model");
    flag(kFlagSpaceFixup, "free space fixup");
    flag(kFlagDoubleHash, "double hash");
    flag(kFlagEncryption, "encryption");
    flag(kFlagAuthentication, "authentication (not verified)");
    const ReplayStats& r = info_.replay;
    std::string journal;
    if (!r.replayed)
        journal = "not replayed";
    else if (r.buds == 0)
        journal = "empty";
    else
        journal = std::to_string(r.nodes) + " nodes replayed from " + std::to_string(r.buds) +
                  " buds (" + std::to_string(r.deletions) + " deletions, " +
                  std::to_string(r.truncations) + " truncations)";
    const NodeLoc& root = master_.root;
    return {
        {"format", "UBIFS"},
        {"image size", std::to_string(size())},
        {"format version", std::to_string(sb_.fmtVersion) + " (read-only compatible " +
                               std::to_string(sb_.roCompatVersion) + ")"},
        {"LEB size", std::to_string(sb_.lebSize)},
        {"LEBs", std::to_string(sb_.lebCnt) + " (at most " + std::to_string(sb_.maxLebCnt) + ")"},
        {"min I/O size", std::to_string(sb_.minIoSize)},
        {"compression", compressionName(sb_.defaultCompr)},
        {"key hash", sb_.keyHash == 0   ? "r5"
                     : sb_.keyHash == 1 ? "test"
                                        : std::to_string(sb_.keyHash)},
        {"fanout", std::to_string(sb_.fanout)},
        {"journal heads", std::to_string(sb_.jheadCnt)},
        {"UUID", uuidText(sb_.uuid)},
        {"time granularity", std::to_string(sb_.timeGran) + " ns"},
        {"flags", flags.empty() ? std::string("none") : flags},
        {"areas", std::to_string(sb_.logLebs) + " log, " + std::to_string(sb_.lptLebs) + " LPT, " +
                      std::to_string(sb_.orphLebs) + " orphan LEBs; main area from LEB " +
                      std::to_string(sb_.mainFirst())},
        {"commit number", std::to_string(master_.cmtNo)},
        {"unmounted cleanly", master_.flags & kMstDirty ? "no" : "yes"},
        {"master node", "LEB " + std::to_string(info_.masterLeb) +
                            (info_.mastersDiffer ? " (the copies differ)" : "")},
        {"index root", "LEB " + std::to_string(root.lnum) + " offset " + std::to_string(root.offs) +
                           ", level " + std::to_string(index_ ? index_->rootLevel() : 0)},
        {"index nodes read", std::to_string(info_.indexNodes)},
        {"journal", journal},
        {"highest inode number", std::to_string(master_.highestInum)},
        {"objects", std::to_string(info_.objects)},
        {"hard links", std::to_string(info_.hardLinks)},
        {"left out", std::to_string(info_.leftOut)},
        {"damaged nodes", std::to_string(info_.damagedNodes)},
    };
}

} // namespace korvane
