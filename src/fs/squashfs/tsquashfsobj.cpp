#include "tsquashfsobj.h"

#include "model/error.h"
#include "model/tree.h"
#include "model/tree_order.h"
#include "squashfs_format.h"
#include "squashfs_inode.h"
#include "squashfs_volume.h"

#include <algorithm>
#include <ctime>
#include <unordered_set>

namespace korvane {

using namespace squashfs;

namespace {

constexpr uint64_t kNoRef = ~uint64_t{0};
// Damage reports listed one by one; the rest are counted.
constexpr size_t kDamageListed = 100;
// A folder listing of nothing (its size counts three bytes for "." and "..").
constexpr uint64_t kEmptyListing = 3;

std::string childPath(const std::string& parent, const std::string& name) {
    return (parent == "/" ? "/" : parent + "/") + name;
}

std::string utcText(uint32_t t) {
    const std::time_t tt = t;
    std::tm tm{};
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return buf;
}

} // namespace

// The state of the folder walk.
struct Tsquashfsobj::Walk {
    struct Frame {
        Node* node;
        std::string path;
        sqfs_readdir_state_t state;
        std::string last; // the name read before: names come in byte order
        size_t entries = 0;
    };
    MetaReaderHandle inodes;
    MetaReaderHandle folders;
    std::vector<Frame> stack;
    // Listings read so far: no damaged image can make the walk read one
    // twice (a folder inside itself, or two folders sharing a listing).
    std::unordered_set<uint64_t> listings;
    // Inodes of more than one name, by reference, and the object id given
    // to the first name.
    std::unordered_map<uint64_t, uint32_t> linked;
    // Objects the walk may make: a real image needs more than a byte of its
    // tables for every name and inode, however well they compress.
    uint64_t maxObjects = 0;
    int64_t made = 0;
    int64_t expected = 1;
};

Tsquashfsobj::Tsquashfsobj() = default;
Tsquashfsobj::~Tsquashfsobj() = default;

void Tsquashfsobj::Init(std::shared_ptr<const ImageSource> image) {
    Timg::Init(std::move(image));
    info_ = ReadInfo{};
    damageReported_ = 0;
    refs_.clear();
    vol_ = std::make_unique<Volume>();
    vol_->file = std::make_unique<SourceFile>(*this->image(), this);
    vol_->super = readSuperblock(vol_->file->file());
    const sqfs_super_t& s = vol_->super;
    if (s.bytes_used > size())
        warn(msg("the image is cut short: it holds %1 of the %2 bytes of its filesystem; what "
                 "lies past its end cannot be read",
                 size(), s.bytes_used));
    vol_->directoryTableEnd = directoryTableEnd(s);
    vol_->cmp = withMetadataCache(openDecompressor(s, vol_->file->file()));
    vol_->compressor = imageCompressorSettings(s, vol_->file->file(), vol_->cmp.get());
    loadTables();
    vol_->contents =
        std::make_unique<ContentReader>(s, *vol_->file, vol_->cmp.get(), vol_->frags.get());
}

void Tsquashfsobj::loadTables() {
    const sqfs_super_t& s = vol_->super;
    sqfs_file_t* file = vol_->file->file();
    vol_->ids.reset(sqfs_id_table_create(0));
    if (!vol_->ids)
        throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
    if (int ret = sqfs_id_table_read(vol_->ids.get(), file, &s, vol_->cmp.get())) {
        vol_->ids.reset();
        warn(withReason(msg("the table of owners cannot be read; every object is shown as owned "
                            "by 0:0"),
                        sqfsMessage(ret)));
    }

    // The library reads the whole fragment table into memory: its claimed
    // length must first fit the image. Each entry names a fragment block,
    // which takes at least a byte before the inode table.
    const uint64_t fragments = s.fragment_entry_count;
    const bool noFragments =
        (s.flags & SQFS_FLAG_NO_FRAGMENTS) || s.fragment_table_start == kNoTable || fragments == 0;
    if (!noFragments) {
        const uint64_t listBytes =
            (fragments * frag::kSize + kMetaBlockSize - 1) / kMetaBlockSize * 8;
        if (fragments > kMaxFragments || fragments > s.inode_table_start - sb::kSize ||
            s.fragment_table_start > s.bytes_used ||
            listBytes > s.bytes_used - s.fragment_table_start) {
            warn(msg("the fragment table counts %1 entries, more than the image can hold; the "
                     "ends of files kept in fragments cannot be read",
                     fragments));
        } else {
            vol_->frags.reset(sqfs_frag_table_create(0));
            int ret = vol_->frags
                          ? sqfs_frag_table_read(vol_->frags.get(), file, &s, vol_->cmp.get())
                          : SQFS_ERROR_ALLOC;
            if (ret != 0) {
                vol_->frags.reset();
                warn(withReason(msg("the fragment table cannot be read; the ends of files kept in "
                                    "fragments cannot be read"),
                                sqfsMessage(ret)));
            }
        }
    }

    try {
        vol_->xattrs = XattrTable::open(s, file, vol_->cmp.get());
    } catch (const Error& e) {
        warn(msg("%1; the extended attributes are left out", e.message()));
    }
}

void Tsquashfsobj::damage(Message message, bool leftOut) {
    if (leftOut)
        ++info_.skipped;
    if (++damageReported_ <= kDamageListed)
        warn(std::move(message));
}

TImgEntry Tsquashfsobj::entryOf(const InodeInfo& i, const std::string& path) {
    TImgEntry e;
    e.mode = i.mode();
    e.objType = objTypeForMode(e.mode);
    e.size = i.type == kBlockDev || i.type == kCharDev || i.type == kExtBlockDev ||
                     i.type == kExtCharDev || i.type == kFifo || i.type == kSocket ||
                     i.type == kExtFifo || i.type == kExtSocket
                 ? 0
                 : i.size;
    // SquashFS keeps one time an inode.
    e.mtime = e.atime = e.ctime = i.mtime;
    e.linkInfo = i.nlink;
    e.alias = i.target;
    if (e.objType == kTypeSpecial || e.objType == kTypeBlockDevice)
        e.rdev = decodeNewDev(i.rdev);
    if (vol_->ids) {
        sqfs_u32 uid = 0;
        sqfs_u32 gid = 0;
        if (sqfs_id_table_index_to_id(vol_->ids.get(), i.uidIndex, &uid) != 0 ||
            sqfs_id_table_index_to_id(vol_->ids.get(), i.gidIndex, &gid) != 0)
            damage(msg("%1: its owner is not in the table of owners (entries %2 and %3 of %4); "
                       "it is shown as owned by 0:0",
                       path, i.uidIndex, i.gidIndex, vol_->super.id_count),
                   false);
        else
            e.uid = uid, e.gid = gid;
    }
    if (i.xattr != kNoXattr && vol_->xattrs) {
        auto cached = xattrSets_.find(i.xattr);
        if (cached == xattrSets_.end()) {
            std::vector<Xattr> set;
            if (int ret = vol_->xattrs->read(i.xattr, set))
                damage(withReason(msg("%1: its extended attributes cannot be read in full", path),
                                  sqfsMessage(ret)),
                       false);
            cached = xattrSets_.emplace(i.xattr, std::move(set)).first;
        }
        e.xattrs = cached->second;
    }
    return e;
}

void Tsquashfsobj::walkFolders(Node* root, Walk& walk) {
    JobReporter rep(onwk, kFlagRead);
    const sqfs_super_t& s = vol_->super;
    auto open = [&](Node* node, std::string path, const InodeInfo& dir) {
        Walk::Frame f{node, std::move(path), {}, {}, 0};
        f.state.init.block = s.directory_table_start + dir.listingBlock;
        f.state.init.offset = dir.listingOffset;
        f.state.init.size = static_cast<size_t>(dir.size);
        f.state.current = f.state.init;
        walk.stack.push_back(std::move(f));
    };
    InodeInfo rootInfo;
    if (int ret = readInodeInfo(walk.inodes.get(), s, s.root_inode_ref, rootInfo))
        throw Error(withReason(msg("the root folder's inode cannot be read"), sqfsMessage(ret)));
    if (!rootInfo.isDir())
        throw Error("the root inode is damaged: it does not describe a folder");
    root->entry = entryOf(rootInfo, "/");
    root->entry.objId = newobjid();
    setNode(root->entry.objId, root);
    refs_.assign(root->entry.objId + 1, kNoRef);
    refs_[root->entry.objId] = s.root_inode_ref;
    if (rootInfo.size > kEmptyListing)
        walk.listings.insert(uint64_t{rootInfo.listingBlock} << 16 | rootInfo.listingOffset);
    open(root, "/", rootInfo);

    while (!walk.stack.empty()) {
        Walk::Frame& f = walk.stack.back();
        sqfs_dir_entry_t* raw = nullptr;
        uint32_t number = 0;
        uint64_t ref = 0;
        const int ret = sqfs_meta_reader_readdir(walk.folders.get(), &f.state, &raw, &number, &ref);
        DirEntryBuffer ent(raw);
        if (ret > 0) {
            walk.stack.pop_back();
            continue;
        }
        if (ret < 0) {
            damage(withReason(msg("folder %1: its listing cannot be read after %2 entries; the "
                                  "rest of it is left out",
                                  f.path, f.entries),
                              sqfsMessage(ret)));
            walk.stack.pop_back();
            continue;
        }
        ++f.entries;
        std::string name(reinterpret_cast<const char*>(ent->name), size_t{ent->size} + 1);
        const std::string path = childPath(f.path, name);
        if (name.size() > kMaxNameLength || !safeFileName(name)) {
            damage(msg("folder %1: an entry has a name that cannot be (%2 bytes); left out", f.path,
                       name.size()));
            continue;
        }
        if (!f.last.empty() && name <= f.last) {
            damage(msg("%1: listed after %2, out of order or twice; left out", path, f.last));
            continue;
        }
        f.last = name;
        if (static_cast<uint64_t>(walk.made) >= walk.maxObjects) {
            damage(msg("the folders name more objects than the image's tables can describe; "
                       "the walk stops at %1",
                       path));
            walk.stack.clear();
            break;
        }
        Node* parent = f.node;
        TImgEntry entry;
        InodeInfo info;
        if (auto first = walk.linked.find(ref); first != walk.linked.end()) {
            entry = nodeFor(first->second)->entry;
            entry.objType = kTypeHardlink;
            entry.linkInfo = first->second;
            ++info_.hardLinks;
        } else {
            if (int bad = readInodeInfo(walk.inodes.get(), s, ref, info)) {
                damage(withReason(msg("%1: its inode cannot be read; left out", path),
                                  sqfsMessage(bad)));
                continue;
            }
            if (info.isDir() && info.size > kEmptyListing &&
                !walk.listings.insert(uint64_t{info.listingBlock} << 16 | info.listingOffset)
                     .second) {
                damage(msg("%1: names a folder whose listing was read before; left out", path));
                continue;
            }
            entry = entryOf(info, path);
        }
        entry.name = name;
        auto node = std::make_unique<Node>();
        node->text = std::move(name);
        node->entry = std::move(entry);
        node->entry.objId = newobjid();
        node->icon = iconFor(node->entry, node->text);
        Node* added = parent->addChild(std::move(node));
        const uint32_t id = added->entry.objId;
        setNode(id, added);
        if (refs_.size() <= id)
            refs_.resize(id + 1, kNoRef);
        refs_[id] = ref;
        if (info.isDir())
            open(added, path, info); // f is not used below: the stack may have moved
        else if (info.nlink > 1 && added->entry.objType != kTypeHardlink)
            walk.linked.emplace(ref, id);
        ++walk.made;
        walk.expected = std::max(walk.expected, walk.made);
        rep.progressWith(walk.made, walk.expected, 2, [&] { return verbatim(path); });
    }
}

void Tsquashfsobj::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, {});
    nodeTable.clear();
    maxObjId = 0;
    refs_.clear();
    xattrSets_.clear();
    info_ = ReadInfo{};
    damageReported_ = 0;
    try {
        const sqfs_super_t& s = vol_->super;
        Walk walk;
        walk.inodes.reset(sqfs_meta_reader_create(vol_->file->file(), vol_->cmp.get(),
                                                  s.inode_table_start, s.directory_table_start));
        walk.folders.reset(sqfs_meta_reader_create(
            vol_->file->file(), vol_->cmp.get(), s.directory_table_start, vol_->directoryTableEnd));
        if (!walk.inodes || !walk.folders)
            throw Error(sqfsMessage(SQFS_ERROR_ALLOC));
        walk.maxObjects = 1024 + 2 * (vol_->directoryTableEnd - s.inode_table_start);
        walk.expected = std::max<int64_t>(1, s.inode_count);
        auto root = std::make_unique<Node>();
        root->text = "/";
        root->icon = kFolderIcon;
        walkFolders(root.get(), walk);
        if (damageReported_ > kDamageListed)
            warn(msg("%1 more problems with entries were found", damageReported_ - kDamageListed));
        sortTree(root.get());
        info_.objects = root->subtreeSize();
        setRoot(std::move(root));
    } catch (...) {
        xattrSets_.clear();
        rep.send(0, 0, 3, {});
        throw;
    }
    xattrSets_.clear();
    rep.send(0, 0, 3, {});
}

bool Tsquashfsobj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return false;
}

uint64_t Tsquashfsobj::refOf(const TImgEntry& e) const {
    if (e.objId >= refs_.size() || refs_[e.objId] == kNoRef)
        throw Error(msg("the contents of %1 are not in the image", e.name));
    return refs_[e.objId];
}

size_t Tsquashfsobj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    vol_->contents->read(refOf(e), e.name, offset, out);
    return out.size();
}

ContentRange Tsquashfsobj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const ContentRange r = vol_->contents->nextData(refOf(e), e.name, offset);
    const uint64_t total = contentSize(e);
    return {std::min(r.begin, total), std::min(r.end, total)};
}

std::vector<std::pair<std::string, std::string>> Tsquashfsobj::describe() const {
    const sqfs_super_t& s = vol_->super;
    auto number = [](uint64_t v) { return std::to_string(v); };
    std::string compression = compressorName(s.compression_id);
    const std::string settings =
        compressorSettings(vol_->compressor, (s.flags & SQFS_FLAG_COMPRESSOR_OPTIONS) != 0);
    if (!settings.empty())
        compression += " (" + settings + ")";
    std::string flags;
    auto flag = [&](uint16_t bit, const char* name) {
        if (s.flags & bit)
            flags += std::string(flags.empty() ? "" : " ") + name;
    };
    flag(SQFS_FLAG_UNCOMPRESSED_INODES, "uncompressed-inodes");
    flag(SQFS_FLAG_UNCOMPRESSED_DATA, "uncompressed-data");
    flag(SQFS_FLAG_UNCOMPRESSED_FRAGMENTS, "uncompressed-fragments");
    flag(SQFS_FLAG_NO_FRAGMENTS, "no-fragments");
    flag(SQFS_FLAG_ALWAYS_FRAGMENTS, "always-fragments");
    flag(SQFS_FLAG_NO_DUPLICATES, "duplicates-removed");
    flag(SQFS_FLAG_EXPORTABLE, "exportable");
    flag(SQFS_FLAG_UNCOMPRESSED_XATTRS, "uncompressed-xattrs");
    flag(SQFS_FLAG_NO_XATTRS, "no-xattrs");
    flag(SQFS_FLAG_COMPRESSOR_OPTIONS, "compressor-options");
    flag(SQFS_FLAG_UNCOMPRESSED_IDS, "uncompressed-ids");
    return {
        {"format", formatName()},
        {"version", number(s.version_major) + "." + number(s.version_minor)},
        {"image size", number(size())},
        {"bytes used", number(s.bytes_used)},
        {"compression", compression},
        {"block size", number(s.block_size)},
        {"flags", flags.empty() ? "(none)" : flags},
        {"created", utcText(s.modification_time)},
        {"inodes", number(s.inode_count)},
        {"fragments", number(s.fragment_entry_count)},
        {"owner ids", number(s.id_count)},
        {"attribute sets", number(vol_->xattrs ? vol_->xattrs->ids() : 0)},
        {"export table", s.export_table_start == kNoTable ? "no" : "yes"},
        {"objects", number(info_.objects)},
        {"hard links", number(info_.hardLinks)},
        {"left out", number(info_.skipped)},
    };
}

} // namespace korvane
