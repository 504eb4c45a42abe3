#include "jffs2_writer.h"

#include "compress_pool.h"
#include "model/error.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "node_placer.h"
#include "write_batch.h"
#include "xattr_node.h"

#include <algorithm>
#include <map>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace korvane {

using namespace jffs2;

namespace {

constexpr uint32_t kRootIno = 1;
constexpr uint32_t kMaxId = 0xFFFF;
constexpr int64_t kMaxTime = 0xFFFFFFFFll;
// A batch closes when its pages hold this many bytes or it has this many
// items.
constexpr size_t kBatchBytes = 4u << 20;
constexpr size_t kBatchItems = 16384;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
}

uint32_t nodeTime(int64_t t) {
    return static_cast<uint32_t>(std::clamp<int64_t>(t, 0, kMaxTime));
}

bool timesFit(const TImgEntry& e) {
    for (int64_t t : {e.atime, e.mtime, e.ctime})
        if (t < 0 || t > kMaxTime)
            return false;
    return true;
}

bool isDevice(uint32_t typeBits) {
    return typeBits == kModeCharDevice || typeBits == kModeBlockDevice;
}

// The object whose inode a name stands for: a hard link's target.
const Node* inodeOf(const Timg& img, const Node* n) {
    return n->entry.objType == kTypeHardlink ? hardlinkTarget(img, n) : n;
}

// The largest node an erase block holds after its cleanmarker.
uint64_t nodeRoom(const Jffs2SaveParams& p) {
    return p.eraseBlock - (p.cleanmarkers ? hdr::kSize : 0);
}

void checkXattrs(const Node* n, const Jffs2SaveParams& p) {
    const Endian e(p.order);
    for (const Xattr& x : n->entry.xattrs) {
        const std::optional<XattrDatum> d = datumOf(x, e);
        if (!d)
            throw Error(msg("JFFS2 cannot hold the extended attribute %1 of %2: it keeps only "
                            "user., security. and trusted. names and POSIX ACLs",
                            x.name, where(n)));
        if (d->name.size() > kMaxXattrName || d->value.size() > kMaxXattrValue ||
            padded(xattrNodeSize(*d)) > nodeRoom(p))
            throw Error(msg("the extended attribute %1 of %2 is too long for JFFS2 with erase "
                            "blocks of %3 bytes",
                            x.name, where(n), p.eraseBlock));
    }
}

void checkObject(const Timg& img, const Node* n, const Jffs2SaveParams& p,
                 std::vector<Message>* warnings) {
    const TImgEntry& e = n->entry;
    if (e.name.empty() || e.name.size() > kMaxNameLen ||
        e.name.find_first_of(std::string("/\0", 2)) != std::string::npos)
        throw Error(
            msg("JFFS2 names are 1 to 254 bytes without \"/\" or NUL; cannot save %1", where(n)));
    const Node* t = inodeOf(img, n);
    if (!t)
        throw Error(msg("the target of the hard link was deleted; cannot save %1", where(n)));
    const TImgEntry& te = t->entry;
    if (e.objType == kTypeHardlink && te.objType == kTypeDirectory)
        throw Error(msg("JFFS2 has no hard links to folders; cannot save %1", where(n)));
    if (t != n)
        return; // the target itself is checked where it stands
    if (e.objType == kTypeFile && e.size > 0xFFFFFFFEull)
        throw Error(msg("file too large: JFFS2 holds files of less than 4 GiB: %1", where(n)));
    if (e.objType == kTypeSymlink && e.alias.size() > kMaxSymlinkLen)
        throw Error(msg("link target too long (over 254 bytes) for JFFS2: %1", where(n)));
    if (e.uid > kMaxId || e.gid > kMaxId)
        throw Error(
            msg("JFFS2 keeps owners of at most 65535; %1 has %2:%3", where(n), e.uid, e.gid));
    if (e.objType != kTypeDirectory && isDevice(fileTypeBits(e)) && !fitsNewDev(e.rdev))
        throw Error(msg("JFFS2 keeps device numbers of at most 4095:1048575; %1 has %2:%3",
                        where(n), e.rdev.major, e.rdev.minor));
    checkXattrs(n, p);
    if (warnings && !timesFit(e))
        warnings->push_back(msg("JFFS2 keeps times from 1970 to 2106 only: the times of %1 were "
                                "moved into that range",
                                where(n)));
}

// Walks the tree in the order of mkfs.jffs2 and turns it into write items:
// a folder's entries, each followed by its inode's nodes when the inode is
// new (a second name of a file is only an entry), then each subfolder.
class Planner {
public:
    Planner(Timg& img, const Jffs2SaveParams& p) : img_(img), e_(p.order) {
        total_ = static_cast<int64_t>(img.root()->subtreeSize()) - 1;
    }

    // Adds items to b until it is full; false when everything is planned.
    bool fill(WriteBatch& b, JobReporter& rep);

private:
    struct Dir {
        const Node* node;
        uint32_t ino;
    };

    bool full(const WriteBatch& b) const {
        return b.raw.size() >= kBatchBytes || b.used >= kBatchItems;
    }
    void root(WriteBatch& b);
    void child(WriteBatch& b, const Node* n);
    InodeNode inodeFields(const TImgEntry& e, uint32_t ino) const;
    void inode(WriteBatch& b, const Node* t, uint32_t ino);
    // The next pages of the file being written; false when it is done.
    bool pages(WriteBatch& b);
    void xattrs(WriteBatch& b, const Node* t, uint32_t ino);

    Timg& img_;
    Endian e_;
    int64_t total_ = 0;
    int64_t done_ = 0;
    bool rootDone_ = false;
    std::vector<Dir> dirs_; // folders whose entries are still to write
    const Node* dir_ = nullptr;
    uint32_t dirIno_ = 0;
    size_t next_ = 0;
    uint32_t direntVersion_ = 0;
    std::vector<Dir> subdirs_; // of dir_, in order
    // The file whose pages are being written.
    const Node* file_ = nullptr;
    uint32_t fileIno_ = 0;
    uint64_t fileAt_ = 0;
    bool filePaged_ = false;
    std::unordered_map<const Node*, uint32_t> inos_;
    uint32_t lastIno_ = kRootIno;
    std::map<std::tuple<uint8_t, std::string, std::string>, uint32_t> datums_;
    uint32_t lastSeqno_ = 0;
};

InodeNode Planner::inodeFields(const TImgEntry& e, uint32_t ino) const {
    InodeNode n;
    n.ino = ino;
    n.mode = fileTypeBits(e) | (e.mode & kModePermissionMask);
    n.uid = static_cast<uint16_t>(e.uid);
    n.gid = static_cast<uint16_t>(e.gid);
    n.atime = nodeTime(e.atime);
    n.mtime = nodeTime(e.mtime);
    n.ctime = nodeTime(e.ctime);
    n.compr = kComprNone;
    return n;
}

void Planner::xattrs(WriteBatch& b, const Node* t, uint32_t ino) {
    for (const Xattr& x : t->entry.xattrs) {
        XattrDatum d = *datumOf(x, e_);
        auto [it, fresh] = datums_.try_emplace({d.prefix, d.name, d.value},
                                               static_cast<uint32_t>(datums_.size() + 1));
        if (fresh) {
            WriteItem& item = b.add(WriteItem::kXattr);
            d.xid = it->second;
            d.version = 1;
            item.datum = std::move(d);
        }
        WriteItem& ref = b.add(WriteItem::kXref);
        lastSeqno_ += 2;
        ref.xref = {ino, it->second, lastSeqno_};
    }
}

void Planner::root(WriteBatch& b) {
    const Node* r = img_.root();
    WriteItem& it = b.add(WriteItem::kInode);
    it.inode = inodeFields(r->entry, kRootIno);
    it.inode.mode = kModeDirectory | (r->entry.mode & kModePermissionMask);
    it.inode.version = static_cast<uint32_t>(r->children.size()) + 1;
    xattrs(b, r, kRootIno);
    dirs_.push_back({r, kRootIno});
    rootDone_ = true;
}

void Planner::inode(WriteBatch& b, const Node* t, uint32_t ino) {
    const TImgEntry& e = t->entry;
    const uint32_t type = fileTypeBits(e);
    if (e.objType == kTypeFile) {
        file_ = t;
        fileIno_ = ino;
        fileAt_ = 0;
        filePaged_ = false;
        return; // its nodes and attributes follow as pages
    }
    WriteItem& it = b.add(WriteItem::kInode);
    it.inode = inodeFields(e, ino);
    it.inode.version = 1;
    if (e.objType == kTypeDirectory) {
        // Above the versions of its entries, so that its own times count.
        it.inode.version = static_cast<uint32_t>(t->children.size()) + 1;
        subdirs_.push_back({t, ino});
    } else if (e.objType == kTypeSymlink) {
        it.data.assign(reinterpret_cast<const std::byte*>(e.alias.data()),
                       reinterpret_cast<const std::byte*>(e.alias.data()) + e.alias.size());
        it.inode.isize = static_cast<uint32_t>(e.alias.size());
    } else if (isDevice(type)) {
        std::byte dev[4];
        it.data.assign(dev, dev + encodeDevice(e.rdev, dev, e_));
    }
    xattrs(b, t, ino);
}

void Planner::child(WriteBatch& b, const Node* n) {
    const Node* t = inodeOf(img_, n);
    auto [it, fresh] = inos_.try_emplace(t, 0);
    if (fresh)
        it->second = ++lastIno_;
    WriteItem& d = b.add(WriteItem::kDirent);
    d.dirent.pino = dirIno_;
    d.dirent.version = ++direntVersion_;
    d.dirent.ino = it->second;
    d.dirent.mctime = nodeTime(dir_->entry.mtime);
    d.dirent.type = direntType(fileTypeBits(t->entry));
    d.dirent.name = n->entry.name;
    if (fresh)
        inode(b, t, it->second);
}

bool Planner::pages(WriteBatch& b) {
    const TImgEntry& e = file_->entry;
    const uint64_t size = e.size;
    while (!full(b)) {
        const ContentRange r =
            fileAt_ < size ? img_.nextData(e, fileAt_) : ContentRange{size, size};
        if (r.begin >= size) {
            if (!filePaged_) {
                // No data: one node gives the inode and its size.
                WriteItem& it = b.add(WriteItem::kInode);
                it.inode = inodeFields(e, fileIno_);
                it.inode.version = 1;
                it.inode.isize = static_cast<uint32_t>(size);
            }
            xattrs(b, file_, fileIno_);
            file_ = nullptr;
            return false;
        }
        // Whole pages around the data, as many as the batch takes.
        const uint64_t start = std::max(fileAt_, r.begin / kPageSize * kPageSize);
        const uint64_t end = std::min(size, (r.end + kPageSize - 1) / kPageSize * kPageSize);
        const uint64_t room = std::max<uint64_t>(
            kPageSize, (kBatchBytes - std::min(kBatchBytes, b.raw.size())) / kPageSize * kPageSize);
        const uint64_t n = std::min(end - start, room);
        const size_t at = b.raw.size();
        b.raw.resize(at + static_cast<size_t>(n));
        const size_t got = img_.ReadRange(e, start, MutableByteSpan(b.raw).subspan(at));
        std::fill(b.raw.begin() + static_cast<ptrdiff_t>(at + got), b.raw.end(), std::byte{0});
        for (uint64_t off = 0; off < n; off += kPageSize) {
            WriteItem& it = b.add(WriteItem::kPage);
            it.inode = inodeFields(e, fileIno_);
            it.inode.isize = static_cast<uint32_t>(size);
            it.inode.offset = static_cast<uint32_t>(start + off);
            it.inode.dsize = static_cast<uint32_t>(std::min<uint64_t>(kPageSize, n - off));
            it.rawAt = at + static_cast<size_t>(off);
            ++b.pages;
        }
        fileAt_ = start + n;
        filePaged_ = true;
    }
    return true;
}

bool Planner::fill(WriteBatch& b, JobReporter& rep) {
    while (!full(b)) {
        if (file_) {
            if (pages(b))
                return true;
            continue;
        }
        if (!rootDone_) {
            root(b);
            continue;
        }
        if (!dir_) {
            if (dirs_.empty())
                return false;
            dir_ = dirs_.back().node;
            dirIno_ = dirs_.back().ino;
            dirs_.pop_back();
            next_ = 0;
            direntVersion_ = 0;
            subdirs_.clear();
            continue;
        }
        if (next_ == dir_->children.size()) {
            // Each subfolder in order, depth first.
            dirs_.insert(dirs_.end(), subdirs_.rbegin(), subdirs_.rend());
            dir_ = nullptr;
            continue;
        }
        const Node* n = dir_->children[next_++].get();
        rep.progressWith(++done_, total_, 5, [n] { return verbatim(n->text); });
        child(b, n);
    }
    return true;
}

} // namespace

void checkJffs2(Timg& img, const Jffs2SaveParams& p, std::vector<Message>* warnings) {
    if (p.eraseBlock < 4096 || p.eraseBlock % 4 != 0)
        throw Error(msg("JFFS2 erase blocks are at least 4 KiB, and a multiple of 4 bytes; not %1",
                        p.eraseBlock));
    if (p.compr != kComprZlib && p.compr != kComprLzo && p.compr != kComprNone)
        throw Error(msg("Korvane cannot write JFFS2 data compressed with %1", p.compr));
    const Node* root = img.root();
    if (root->entry.uid > kMaxId || root->entry.gid > kMaxId)
        throw Error(msg("JFFS2 keeps owners of at most 65535; %1 has %2:%3", "/", root->entry.uid,
                        root->entry.gid));
    checkXattrs(root, p);
    forEachPreorder(const_cast<Node*>(root), [&](Node* n) {
        if (n != root)
            checkObject(img, n, p, warnings);
    });
}

bool writeJffs2(Timg& img, const std::string& path, const Jffs2SaveParams& params, JobReporter& rep,
                std::vector<Message>* warnings) {
    rep.send(0, 0, 2, msg("Working out the space"));
    checkJffs2(img, params, warnings);

    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<OutputFile> out;
    try {
        out = std::make_unique<OutputFile>(path);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }

    rep.send(0, 0, 4, msg("Writing the nodes"));
    const unsigned threads =
        params.workers ? params.workers : std::max(1u, std::thread::hardware_concurrency());
    CompressPool pool(params.compr, threads);
    Planner planner(img, params);
    NodePlacer placer(*out, params);
    // While the threads compress one batch, this thread reads the next and
    // places the one before.
    WriteBatch a, b;
    WriteBatch* filling = &a;
    WriteBatch* compressing = &b;
    bool more = planner.fill(*compressing, rep);
    pool.start(*compressing);
    for (;;) {
        filling->clear();
        if (more)
            more = planner.fill(*filling, rep);
        pool.finish();
        if (filling->used > 0)
            pool.start(*filling);
        for (size_t k = 0; k < compressing->used; ++k)
            placer.place(*compressing, compressing->items[k]);
        if (img.cancel.load()) {
            pool.finish();
            return false;
        }
        if (filling->used == 0)
            break;
        std::swap(filling, compressing);
    }
    placer.finish(warnings);
    out->commit();
    return true;
}

} // namespace korvane
