#include "erofs_writer.h"

#include "codec.h"
#include "dir.h"
#include "fs/ext/ext_choice.h"
#include "inode.h"
#include "map.h"
#include "model/error.h"
#include "model/ordered_pool.h"
#include "model/output_file.h"
#include "model/tree.h"
#include "super.h"
#include "terofsobj.h"
#include "xattr.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <unordered_map>

namespace korvane {

using namespace erofs;

namespace {

constexpr uint32_t kBlockBits = 12;
constexpr uint32_t kBlockSize = 1u << kBlockBits;
constexpr uint64_t kRootAt = kSuperOffset + sb::kSize;
// Compressed files are cut into segments that workers compress on their own;
// an extent never crosses a segment's end. The cut does not depend on the
// number of workers, so neither does the image.
constexpr size_t kSegment = 1u << 20;
// The most one cluster's extent may hold (a kernel decodes it in one go).
constexpr size_t kMaxExtent = 128u << 10;
// Segments queued per worker. Segments take from a few to a hundred
// milliseconds each and are written in order: with fewer, a worker waits for
// a slow segment ahead of its own while the other has nothing queued (with 4,
// a fifth of the workers' time went so). At most 2 MiB each, in and out.
constexpr size_t kBacklogPerWorker = 16;
// Runs of small uncompressed files queued per worker (each at most kSegment).
constexpr size_t kReadAhead = 16;
constexpr uint64_t kMaxLinkTarget = kBlockSize - 1;

std::string where(const Node* n) {
    return "/" + pathFromRoot(n);
}

uint64_t roundUp(uint64_t v, uint64_t to) {
    return (v + to - 1) / to * to;
}

bool writable(uint8_t objType) {
    return objType >= kTypeFile && objType <= kTypeOther;
}

bool isDevice(const TImgEntry& e) {
    const uint32_t t = fileTypeBits(e);
    return t == kModeCharDevice || t == kModeBlockDevice;
}

// One inode of the image.
struct Obj {
    const Node* node = nullptr; // the node whose entry the inode holds
    const Node* parent = nullptr;
    Inode inode;
    uint64_t at = 0; // where its record starts
    uint64_t dataSize = 0;
    bool compressed = false;
    bool inlineTail = false;
    Bytes xattrs; // the inline attribute area (header, shared ids, entries)
    uint32_t subdirs = 0;
};

using SharedKey = std::pair<std::string, std::string>;

// The plan of one image: its inodes in the order of their records and of
// their data.
class Plan {
public:
    Plan(Timg& img, const ErofsParams& p) : img_(img), p_(p) {}

    void build();

    std::vector<Obj> objs;
    std::unordered_map<const Node*, uint32_t> objOf;
    std::map<SharedKey, uint32_t> sharedIds; // attribute -> its id
    Bytes sharedArea;                        // from kRootAt + root record, 4-aligned
    uint64_t sharedAt = 0;
    uint64_t metaEnd = 0;

    uint64_t nidOf(const Node* n) const { return objs[objOf.at(n)].at >> kNidShift; }
    std::vector<DirRecord> dirRecords(const Obj& o) const;

private:
    const Node* resolve(const Node* child);
    void collect();
    void checkObject(const Obj& o);
    void decideShared();
    void assignShared();
    void buildXattrs(Obj& o);
    void chooseLayout(Obj& o);
    uint64_t place(Obj& o, uint64_t at, bool fixed);
    uint64_t recordHead(const Obj& o) const;

    Timg& img_;
    const ErofsParams& p_;
};

const Node* Plan::resolve(const Node* child) {
    if (child->entry.objType != kTypeHardlink)
        return child;
    const Node* t = hardlinkTarget(img_, child);
    if (!t || t == child || t->entry.objType == kTypeHardlink)
        throw Error(msg("the target of the hard link was deleted; cannot save %1", where(child)));
    if (t->isDirectory())
        throw Error(
            msg("%1: a hard link to a folder, which %2 cannot hold", where(child), "EROFS"));
    const Node* up = t;
    while (up->parent)
        up = up->parent;
    if (up != img_.root())
        throw Error(msg("the target of the hard link was deleted; cannot save %1", where(child)));
    return t;
}

void Plan::collect() {
    Node* root = img_.root();
    objs.push_back({});
    objs[0].node = root;
    objs[0].parent = root;
    objOf[root] = 0;
    // Directories in breadth-first order, each one's entries by name: the
    // order a reader meets them in.
    for (size_t d = 0; d < objs.size(); ++d) {
        if (!objs[d].node->isDirectory() && d != 0)
            continue;
        const Node* dir = objs[d].node;
        std::vector<const Node*> kids;
        for (const auto& c : dir->children)
            if (writable(c->entry.objType))
                kids.push_back(c.get());
        std::sort(kids.begin(), kids.end(),
                  [](const Node* a, const Node* b) { return a->text < b->text; });
        for (size_t i = 0; i < kids.size(); ++i) {
            const Node* c = kids[i];
            if (c->text.size() > kNameMax)
                throw Error(msg("%1: the name is longer than 255 bytes, which %2 cannot hold",
                                where(c), "EROFS"));
            if (!safeFileName(c->text))
                throw Error(msg("%1: the name is empty, \".\" or \"..\", or holds \"/\" or a NUL "
                                "byte, which %2 cannot hold",
                                where(c), "EROFS"));
            if (i > 0 && kids[i - 1]->text == c->text)
                throw Error(msg("%1: the name is used twice in its folder, which %2 cannot hold",
                                where(c), "EROFS"));
            const Node* t = resolve(c);
            auto found = objOf.find(t);
            if (found != objOf.end()) {
                ++objs[found->second].inode.nlink;
                continue;
            }
            Obj o;
            o.node = t;
            o.parent = dir;
            o.inode.nlink = 1;
            objOf[t] = static_cast<uint32_t>(objs.size());
            objs.push_back(std::move(o));
            if (t->isDirectory())
                ++objs[d].subdirs;
        }
    }
    for (Obj& o : objs)
        if (o.node->isDirectory() || &o == &objs[0])
            o.inode.nlink = 2 + o.subdirs;
}

void Plan::checkObject(const Obj& o) {
    const TImgEntry& e = o.node->entry;
    if (isDevice(e) && e.objType != kTypeFile && !fitsNewDev(e.rdev))
        throw Error(msg("EROFS keeps device numbers of at most 4095:1048575; %1 has %2:%3",
                        where(o.node), e.rdev.major, e.rdev.minor));
    if (e.objType == kTypeSymlink && (e.alias.empty() || e.alias.find('\0') != std::string::npos ||
                                      e.alias.size() > kMaxLinkTarget))
        throw Error(msg("%1: a symbolic link target must be 1 to %2 bytes without NUL bytes",
                        where(o.node), kMaxLinkTarget));
    for (const Xattr& x : e.xattrs) {
        const std::optional<StoredName> n = storedName(x.name);
        if (!n)
            throw Error(msg("%1: the extended attribute %2 is outside the namespaces EROFS keeps "
                            "(user., trusted., security., system.posix_acl_*)",
                            where(o.node), x.name));
        if (n->suffix.size() > kNameMax || x.value.size() > 0xFFFF)
            throw Error(msg("%1: the extended attribute %2 is too long for EROFS (names up to "
                            "255 bytes after the prefix, values up to 65535 bytes)",
                            where(o.node), x.name));
    }
}

void Plan::decideShared() {
    std::map<SharedKey, uint32_t> uses;
    for (const Obj& o : objs)
        for (const Xattr& x : o.node->entry.xattrs)
            ++uses[{x.name, x.value}];
    for (const auto& [key, n] : uses)
        if (n >= 2)
            sharedIds[key] = 0;
}

void Plan::assignShared() {
    // Attributes that several inodes carry are kept once, in the order of
    // their names; an entry stays inside one block.
    for (auto& [key, id] : sharedIds) {
        while (sharedArea.size() % 4)
            sharedArea.push_back(std::byte{0});
        const size_t size = entrySize(storedName(key.first)->suffix.size(), key.second.size());
        const uint64_t abs = sharedAt + sharedArea.size();
        if (abs % kBlockSize + size > kBlockSize)
            sharedArea.resize(static_cast<size_t>(roundUp(abs, kBlockSize) - sharedAt));
        id = static_cast<uint32_t>((sharedAt + sharedArea.size()) / 4);
        appendEntry(sharedArea, *storedName(key.first), key.second);
    }
}

void Plan::buildXattrs(Obj& o) {
    const auto& list = o.node->entry.xattrs;
    if (list.empty())
        return;
    std::vector<uint32_t> shared;
    Bytes entries;
    for (const Xattr& x : list) {
        auto s = sharedIds.find({x.name, x.value});
        if (s != sharedIds.end())
            shared.push_back(s->second);
        else
            appendEntry(entries, *storedName(x.name), x.value);
    }
    if (shared.size() > 255)
        throw Error(msg("%1 has more than 255 shared extended attributes, which EROFS cannot "
                        "hold",
                        where(o.node)));
    o.xattrs.assign(xh::kRecordSize + shared.size() * 4, std::byte{0});
    o.xattrs[xh::kSharedCount] = static_cast<std::byte>(shared.size());
    for (size_t i = 0; i < shared.size(); ++i)
        store32(o.xattrs.data() + xh::kRecordSize + i * 4, shared[i]);
    o.xattrs.insert(o.xattrs.end(), entries.begin(), entries.end());
    if (o.xattrs.size() + ie::kRecordSize > kBlockSize)
        throw Error(msg("the extended attributes of %1 take %2 bytes; an EROFS inode with "
                        "4 KiB blocks holds at most %3",
                        where(o.node), o.xattrs.size(), kBlockSize - ie::kRecordSize));
    o.inode.xattrCount = static_cast<uint16_t>((o.xattrs.size() - xh::kRecordSize) / 4 + 1);
}

void Plan::chooseLayout(Obj& o) {
    const TImgEntry& e = o.node->entry;
    const uint32_t type = o.node == img_.root() ? kModeDirectory : fileTypeBits(e);
    Inode& n = o.inode;
    n.mode = type | (e.mode & kModePermissionMask);
    n.uid = e.uid;
    n.gid = e.gid;
    n.mtime = e.mtime;
    n.mtimeNs = std::min<uint32_t>(e.mtimeNs, 999999999);
    if (type == kModeDirectory)
        o.dataSize = dirSize(dirRecords(o), kBlockSize);
    else if (type == kModeSymlink)
        o.dataSize = e.alias.size();
    else if (type == kModeFile)
        o.dataSize = e.size;
    n.size = o.dataSize;
    o.compressed =
        type == kModeFile && p_.compression != ErofsParams::kNone && o.dataSize > kBlockSize;
    o.inlineTail = !o.compressed && o.dataSize % kBlockSize != 0 &&
                   (type == kModeFile || type == kModeDirectory || type == kModeSymlink);
    n.layout = o.compressed ? kCompressedFull : o.inlineTail ? kFlatInline : kFlatPlain;
    if (type == kModeCharDevice || type == kModeBlockDevice)
        n.u = encodeNewDev(e.rdev);
    // Compact inodes carry the build time only, in every kernel's reading.
    n.extended = n.uid > 0xFFFF || n.gid > 0xFFFF || n.size > 0xFFFFFFFFull || n.nlink > 0xFFFF ||
                 n.mtime != p_.buildTime || n.mtimeNs != p_.buildNsec;
    if (!n.extended)
        n.mtime = p_.buildTime, n.mtimeNs = p_.buildNsec;
}

uint64_t Plan::recordHead(const Obj& o) const {
    return o.inode.inodeSize() + o.xattrs.size() + (o.inlineTail ? o.dataSize % kBlockSize : 0);
}

// Places o's record at or after at; returns where the next record may go.
uint64_t Plan::place(Obj& o, uint64_t at, bool fixed) {
    at = roundUp(at, 1u << kNidShift);
    // The inode, its attributes and an inline tail stay in one block.
    if (at % kBlockSize + recordHead(o) > kBlockSize) {
        if (fixed || recordHead(o) > kBlockSize) {
            o.inlineTail = false;
            o.inode.layout = kFlatPlain;
        }
        if (!fixed && at % kBlockSize + recordHead(o) > kBlockSize)
            at = roundUp(at, kBlockSize);
        if (at % kBlockSize + recordHead(o) > kBlockSize)
            throw Error(msg("the extended attributes of %1 take %2 bytes; an EROFS inode with "
                            "4 KiB blocks holds at most %3",
                            where(o.node), o.xattrs.size(), kBlockSize - ie::kRecordSize));
    }
    o.at = at;
    uint64_t end = at + recordHead(o);
    if (o.compressed)
        end = roundUp(end, 8) + fullIndexSize(o.dataSize, kBlockBits);
    return end;
}

std::vector<DirRecord> Plan::dirRecords(const Obj& o) const {
    std::vector<DirRecord> r;
    // Before the layout nids are 0; the sizes do not depend on them.
    auto nid = [&](const Node* n) -> uint64_t {
        auto it = objOf.find(n);
        return it == objOf.end() ? 0 : objs[it->second].at >> kNidShift;
    };
    r.push_back({".", nid(o.node), kFtDirectory});
    r.push_back({"..", nid(o.parent), kFtDirectory});
    for (const auto& c : o.node->children) {
        if (!writable(c->entry.objType))
            continue;
        const Node* t = c->entry.objType == kTypeHardlink ? hardlinkTarget(img_, c.get()) : c.get();
        r.push_back({c->text, t ? nid(t) : 0,
                     fileTypeOf(t && t != img_.root() ? fileTypeBits(t->entry) : kModeDirectory)});
    }
    sortDirRecords(r);
    return r;
}

void Plan::build() {
    collect();
    for (const Obj& o : objs)
        checkObject(o);
    for (Obj& o : objs)
        chooseLayout(o);
    // The root comes first, at a nid the superblock's 16 bits can hold, then
    // the shared attributes (the root's area holds their ids, which do not
    // change its size), then every other inode.
    decideShared();
    buildXattrs(objs[0]);
    sharedAt = roundUp(place(objs[0], kRootAt, true), 4);
    assignShared();
    for (Obj& o : objs) {
        o.xattrs.clear();
        buildXattrs(o);
    }
    uint64_t at = sharedAt + sharedArea.size();
    for (size_t i = 1; i < objs.size(); ++i)
        at = place(objs[i], at, false);
    metaEnd = at;
}

// Writes the metadata area in order, a run of neighbouring records at a
// time; the image's first block is kept too, for the superblock's checksum.
class MetaWriter {
public:
    explicit MetaWriter(OutputFile& out) : out_(out), first_(kBlockSize) {}

    void write(uint64_t at, ByteSpan bytes) {
        if (at < kBlockSize) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), kBlockSize - at));
            std::memcpy(first_.data() + at, bytes.data(), n);
        }
        const uint64_t end = base_ + buf_.size();
        if (buf_.empty() || at < end || at > end + kBlockSize || buf_.size() >= (1u << 20)) {
            flush();
            base_ = at;
        } else if (at > end) {
            buf_.resize(buf_.size() + static_cast<size_t>(at - end), std::byte{0});
        }
        buf_.insert(buf_.end(), bytes.begin(), bytes.end());
    }

    void flush() {
        if (!buf_.empty())
            out_.writeAt(base_, buf_);
        buf_.clear();
    }

    Bytes& firstBlock() { return first_; }

private:
    OutputFile& out_;
    Bytes first_;
    Bytes buf_;
    uint64_t base_ = 0;
};

// The output of one compressed segment: one block per cluster.
struct SegmentOut {
    Bytes blocks;
    std::vector<std::pair<uint32_t, bool>> clusters; // logical length, stored
};

void compressSegment(Lz4Encoder& enc, ByteSpan in, SegmentOut& out) {
    Bytes scratch(kBlockSize);
    size_t pos = 0;
    while (pos < in.size()) {
        const size_t rest = in.size() - pos;
        out.blocks.resize(out.blocks.size() + kBlockSize, std::byte{0});
        std::byte* blk = out.blocks.data() + out.blocks.size() - kBlockSize;
        size_t taken = 0;
        size_t n = 0;
        if (rest > kBlockSize)
            n = enc.encodeDestSize(in.subspan(pos, std::min(rest, kMaxExtent)), &taken,
                                   scratch.data(), kBlockSize);
        if (n > 0 && taken > kBlockSize) {
            // The stream ends at the block's end, zeros before it.
            std::memcpy(blk + kBlockSize - n, scratch.data(), n);
            out.clusters.emplace_back(static_cast<uint32_t>(taken), false);
            pos += taken;
        } else {
            const size_t take = std::min<size_t>(kBlockSize, rest);
            std::memcpy(blk, in.data() + pos, take);
            out.clusters.emplace_back(static_cast<uint32_t>(take), true);
            pos += take;
        }
    }
}

class ImageWriter {
public:
    ImageWriter(Timg& img, Plan& plan, const ErofsParams& p, OutputFile& out, JobReporter& rep)
        : img_(img), plan_(plan), p_(p), out_(out), meta_(out), rep_(rep),
          dataBlock_(roundUp(plan.metaEnd, kBlockSize) >> kBlockBits) {}

    bool run();

private:
    struct FileState {
        std::vector<WrittenExtent> extents;
        uint64_t la = 0;
        uint32_t blocks = 0;
    };

    void writeRecord(Obj& o, ByteSpan tail, ByteSpan index);
    // Takes the blocks of o's data (none for what is not a file, folder or
    // link, or is all inline).
    void placeFlat(Obj& o);
    // Writes o's data (placeFlat took its blocks) and its record. contents:
    // the whole file, read ahead by a worker; without it the file is read
    // here.
    void writeFlat(Obj& o, const Bytes* contents = nullptr);
    // Writes what of o's whole data goes into its blocks; returns the rest,
    // its inline tail.
    Bytes writeWhole(const Obj& o, ByteSpan data);
    // On a worker: the data of small files placed one after another, read
    // into one buffer and written at once (a write takes the image file's
    // lock: once a run, not once a file), and their inline tails.
    void writeSmallFiles(const std::vector<Obj*>& run, std::vector<Bytes>& tails);
    void submitCompressed(OrderedPool& pool, size_t index);
    uint32_t takeBlocks(uint64_t n);
    void writeSuper();

    Timg& img_;
    Plan& plan_;
    const ErofsParams& p_;
    OutputFile& out_;
    MetaWriter meta_;
    JobReporter& rep_;
    uint64_t dataBlock_;
    std::vector<std::unique_ptr<Lz4Encoder>> encoders_;
    uint32_t nextIno_ = 1;
    Bytes stream_; // what uncompressed files are copied through
};

uint32_t ImageWriter::takeBlocks(uint64_t n) {
    const uint64_t first = dataBlock_;
    dataBlock_ += n;
    if (dataBlock_ > 0xFFFFFFFFull)
        throw Error(msg("the tree needs more than 2^32 blocks of 4 KiB, more than EROFS holds"));
    return static_cast<uint32_t>(first);
}

void ImageWriter::writeRecord(Obj& o, ByteSpan tail, ByteSpan index) {
    o.inode.ino = nextIno_++;
    const uint32_t isize = o.inode.inodeSize();
    Bytes rec(isize + o.xattrs.size());
    encodeInode(o.inode, rec.data());
    std::copy(o.xattrs.begin(), o.xattrs.end(), rec.begin() + isize);
    rec.insert(rec.end(), tail.begin(), tail.end());
    if (!index.empty()) {
        rec.resize(static_cast<size_t>(roundUp(o.at + rec.size(), 8) - o.at), std::byte{0});
        rec.insert(rec.end(), index.begin(), index.end());
    }
    meta_.write(o.at, rec);
}

// The bytes of o's data that go into its blocks; the rest is its inline tail.
uint64_t inBlockBytes(const Obj& o) {
    return o.inlineTail ? o.dataSize / kBlockSize * kBlockSize : o.dataSize;
}

void ImageWriter::placeFlat(Obj& o) {
    const uint64_t size = o.dataSize;
    const uint64_t blocks = size / kBlockSize + (!o.inlineTail && size % kBlockSize ? 1 : 0);
    const uint32_t type = o.inode.mode & kModeTypeMask;
    if (type == kModeFile || type == kModeDirectory || type == kModeSymlink)
        o.inode.u = blocks ? takeBlocks(blocks) : 0;
}

void ImageWriter::writeSmallFiles(const std::vector<Obj*>& run, std::vector<Bytes>& tails) {
    thread_local Bytes contents, joined;
    joined.clear();
    uint64_t first = 0; // the block the run's data starts at
    tails.resize(run.size());
    for (size_t k = 0; k < run.size(); ++k) {
        const Obj& o = *run[k];
        contents.resize(static_cast<size_t>(o.dataSize));
        if (img_.ReadRange(o.node->entry, 0, contents) < contents.size())
            throw Error(msg("%1 changed after it was added", where(o.node)));
        const auto inBlocks = static_cast<size_t>(inBlockBytes(o));
        if (inBlocks) {
            if (joined.empty())
                first = o.inode.u;
            const size_t at = static_cast<size_t>(uint64_t{o.inode.u - first} << kBlockBits);
            joined.resize(at, std::byte{0});
            joined.insert(joined.end(), contents.begin(),
                          contents.begin() + static_cast<std::ptrdiff_t>(inBlocks));
        }
        tails[k].assign(contents.begin() + static_cast<std::ptrdiff_t>(inBlocks), contents.end());
    }
    if (!joined.empty())
        out_.writeAt(first << kBlockBits, joined);
}

Bytes ImageWriter::writeWhole(const Obj& o, ByteSpan data) {
    const auto inBlocks = static_cast<size_t>(inBlockBytes(o));
    if (inBlocks)
        out_.writeAt(uint64_t{o.inode.u} << kBlockBits, data.first(inBlocks));
    return Bytes(data.begin() + static_cast<std::ptrdiff_t>(inBlocks), data.end());
}

void ImageWriter::writeFlat(Obj& o, const Bytes* contents) {
    const TImgEntry& e = o.node->entry;
    const uint64_t size = o.dataSize;
    const uint32_t type = o.inode.mode & kModeTypeMask;
    const uint64_t base = uint64_t{o.inode.u} << kBlockBits;
    Bytes tail;
    if (type == kModeDirectory || type == kModeSymlink) {
        Bytes bytes(static_cast<size_t>(size));
        if (type == kModeDirectory)
            layoutDir(plan_.dirRecords(o), kBlockSize, bytes);
        else if (size)
            std::memcpy(bytes.data(), e.alias.data(), size);
        tail = writeWhole(o, bytes);
    } else if (type == kModeFile && size && contents) {
        tail = writeWhole(o, *contents);
    } else if (type == kModeFile && size) {
        const uint64_t inBlocks = inBlockBytes(o);
        if (stream_.empty())
            stream_.resize(kStreamBuffer);
        if (inBlocks)
            forEachData(img_, e, MutableByteSpan(stream_), [&](uint64_t off, ByteSpan piece) {
                if (off >= inBlocks)
                    return false;
                const size_t n =
                    static_cast<size_t>(std::min<uint64_t>(piece.size(), inBlocks - off));
                out_.writeAt(base + off, piece.first(n));
                return img_.cancel.load() == 0;
            });
        if (o.inlineTail) {
            tail.assign(static_cast<size_t>(size - inBlocks), std::byte{0});
            const size_t got = img_.ReadRange(e, inBlocks, tail);
            if (got < tail.size())
                throw Error(msg("%1 changed after it was added", where(o.node)));
        }
    }
    writeRecord(o, tail, {});
}

void ImageWriter::submitCompressed(OrderedPool& pool, size_t index) {
    Obj& o = plan_.objs[index];
    const TImgEntry& e = o.node->entry;
    auto state = std::make_shared<FileState>();
    const uint64_t size = o.dataSize;
    for (uint64_t off = 0; off < size; off += kSegment) {
        const size_t len = static_cast<size_t>(std::min<uint64_t>(kSegment, size - off));
        auto input = std::make_shared<Bytes>(len);
        const size_t got = img_.ReadRange(e, off, *input);
        if (got < len)
            throw Error(msg("%1 changed after it was added", where(o.node)));
        auto result = std::make_shared<SegmentOut>();
        const bool last = off + len >= size;
        OrderedPool::Unit u;
        u.work = [this, input, result](unsigned worker) {
            compressSegment(*encoders_[worker], *input, *result);
        };
        u.commit = [this, &o, state, result, last]() {
            const uint32_t first = takeBlocks(result->clusters.size());
            out_.writeAt(uint64_t{first} << kBlockBits, result->blocks);
            for (size_t i = 0; i < result->clusters.size(); ++i) {
                state->extents.push_back(
                    {state->la, first + static_cast<uint32_t>(i), result->clusters[i].second});
                state->la += result->clusters[i].first;
            }
            state->blocks += static_cast<uint32_t>(result->clusters.size());
            if (!last)
                return;
            o.inode.u = state->blocks;
            writeRecord(o, {}, encodeFullIndex(state->extents, o.dataSize, kBlockBits));
        };
        pool.submit(std::move(u));
        if (img_.cancel.load())
            return;
    }
}

void ImageWriter::writeSuper() {
    Superblock s;
    s.compat = kCompatSbChecksum;
    s.incompat = p_.compression != ErofsParams::kNone ? kIncompatZeroPadding : 0;
    s.blockBits = kBlockBits;
    s.blockSize = kBlockSize;
    s.rootNid = plan_.objs[0].at >> kNidShift;
    s.inos = plan_.objs.size();
    s.epoch = p_.buildTime;
    s.fixedNsec = p_.buildNsec;
    s.blocks = dataBlock_;
    s.metaBlkaddr = 0;
    s.xattrBlkaddr = 0;
    s.uuid = p_.uuid;
    s.volumeName = p_.label;
    Bytes& first = meta_.firstBlock();
    storeSuperblock(s, first);
    meta_.flush();
    out_.writeAt(0, first);
}

bool ImageWriter::run() {
    const unsigned workers = p_.workers ? p_.workers : defaultWorkers();
    if (p_.compression != ErofsParams::kNone)
        for (unsigned i = 0; i < workers; ++i)
            encoders_.push_back(
                std::make_unique<Lz4Encoder>(p_.compression == ErofsParams::kLz4hc ? p_.level : 0));
    if (!plan_.sharedArea.empty())
        meta_.write(plan_.sharedAt, plan_.sharedArea);
    // Uncompressed, the workers copy small files into the image while this
    // thread writes the records: the copies of the data run on every core.
    const bool compressing = p_.compression != ErofsParams::kNone;
    OrderedPool pool(workers, size_t{workers} * (compressing ? kBacklogPerWorker : kReadAhead));
    const int64_t total = static_cast<int64_t>(plan_.objs.size());
    // Small uncompressed files go to the workers in runs of files that come
    // one after another: placed one after another, their blocks follow each
    // other in the image, and a run is written at once.
    std::vector<Obj*> run;
    uint64_t runBytes = 0;
    auto submitRun = [&] {
        if (run.empty())
            return;
        auto files = std::make_shared<std::vector<Obj*>>(std::move(run));
        auto tails = std::make_shared<std::vector<Bytes>>();
        OrderedPool::Unit u;
        u.work = [this, files, tails](unsigned) { writeSmallFiles(*files, *tails); };
        u.commit = [this, files, tails] {
            for (size_t k = 0; k < files->size(); ++k)
                writeRecord(*(*files)[k], (*tails)[k], {});
        };
        pool.submit(std::move(u));
        run.clear();
        runBytes = 0;
    };
    for (size_t i = 0; i < plan_.objs.size(); ++i) {
        if (img_.cancel.load())
            return false;
        Obj& o = plan_.objs[i];
        rep_.progressWith(static_cast<int64_t>(i + 1), total, 5,
                          [&] { return verbatim(o.node->text); });
        if (o.compressed) {
            submitRun();
            submitCompressed(pool, i);
            continue;
        }
        OrderedPool::Unit u;
        const bool small = (o.inode.mode & kModeTypeMask) == kModeFile && o.dataSize <= kSegment;
        if (!compressing) {
            // Every object takes its blocks here, in the order the commits
            // would take them (the image is the same on any number of
            // cores), and a small file's worker writes its data itself.
            placeFlat(o);
            if (small && pool.workers() > 1) {
                if (runBytes + o.dataSize > kSegment)
                    submitRun();
                run.push_back(&o);
                runBytes += o.dataSize;
                continue;
            }
            submitRun();
            u.commit = [this, &o] { writeFlat(o); };
        } else if (small && pool.workers() > 1) {
            auto contents = std::make_shared<Bytes>();
            u.work = [this, &o, contents](unsigned) {
                contents->resize(static_cast<size_t>(o.dataSize));
                if (img_.ReadRange(o.node->entry, 0, *contents) < contents->size())
                    throw Error(msg("%1 changed after it was added", where(o.node)));
            };
            u.commit = [this, &o, contents] {
                placeFlat(o);
                writeFlat(o, contents.get());
            };
        } else {
            u.commit = [this, &o] {
                placeFlat(o);
                writeFlat(o);
            };
        }
        pool.submit(std::move(u));
    }
    submitRun();
    pool.finish();
    if (img_.cancel.load())
        return false;
    writeSuper();
    out_.resize(dataBlock_ << kBlockBits);
    return true;
}

} // namespace

bool WriteErofsImage(Timg& img, const std::string& path, const ErofsParams& p, JobReporter& rep,
                     std::vector<Message>* warnings) {
    if (!img.root())
        throw Error(msg("there is no tree to save"));
    rep.send(0, 0, 2, msg("Working out the space"));
    (void)warnings; // EROFS holds every time, owner and size the tree can have
    Plan plan(img, p);
    plan.build();
    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<OutputFile> out;
    try {
        out = std::make_unique<OutputFile>(path);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }
    rep.send(0, 0, 4, msg("Writing the image header"));
    ImageWriter w(img, plan, p, *out, rep);
    if (!w.run())
        return false;
    out->commit();
    return true;
}

} // namespace korvane
