#include "terofsobj.h"

#include "codec.h"
#include "dir.h"
#include "fs/ext/ext_choice.h"
#include "model/error.h"
#include "model/tree_order.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace korvane {

using namespace erofs;

namespace {

// Longest symbolic link target read (PATH_MAX).
constexpr uint64_t kMaxLinkTarget = 4096;
// Nesting of packed-inode reads: a fragment's bytes lie in the packed inode,
// which holds no fragments itself.
constexpr int kMaxDepth = 1;
// Bytes of compressed clusters read at once.
constexpr uint64_t kClusterWindow = 128u << 10;
// What a read into a thread's window of inodes takes at least.
constexpr size_t kMetadataRead = 128;

} // namespace

struct Terofsobj::Decoded {
    uint64_t nid;
    uint64_t la;
    Bytes bytes;
};

Terofsobj::Terofsobj() = default;
Terofsobj::~Terofsobj() = default;

uint64_t Terofsobj::nidOf(uint32_t id) const {
    return id < inodes_.size() ? inodes_[id].nid : ~uint64_t{0};
}

void Terofsobj::keepInode(uint32_t id, const Inode& inode) {
    if (inodes_.size() <= id)
        inodes_.resize(static_cast<size_t>(id) + 1);
    inodes_[id] = {inode.nid, inode.size, inode.u, inode.format, inode.xattrCount};
}

Inode Terofsobj::contentsInode(const TImgEntry& e) const {
    if (e.objId >= inodes_.size() || inodes_[e.objId].nid == ~uint64_t{0})
        throw Error(msg("%1 is not an object of this image", e.name));
    const ObjInode& o = inodes_[e.objId];
    if (o.format == ObjInode::kUnread)
        return readInode(o.nid);
    Inode n;
    n.nid = o.nid;
    n.setFormat(o.format);
    n.xattrCount = o.xattrCount;
    n.size = o.size;
    n.u = o.u;
    return n;
}

void Terofsobj::Init(std::shared_ptr<const ImageSource> image) {
    Timg::Init(std::move(image));
    info_ = ReadInfo{};
    damageReported_ = 0;
    inodes_.clear();
    longPrefixes_.clear();
    devices_.clear();
    cache_.reset();
    src_ = this->image();
    static std::atomic<uint64_t> readers{0};
    readerId_ = ++readers;
    if (!src_)
        throw Error(msg("not an EROFS image: %1 bytes are too few to hold a superblock", 0));
    const Bytes head = readBytes(
        *src_, 0, static_cast<size_t>(std::min<uint64_t>(src_->size(), 1u << kMaxBlockBits)));
    if (src_->size() < kSuperOffset + sb::kSize)
        throw Error(
            msg("not an EROFS image: %1 bytes are too few to hold a superblock", src_->size()));
    sb_ = loadSuperblock(head);
    if (!sb_.checksumOk)
        warn(msg("the EROFS superblock fails its checksum"));
    const uint64_t fsBytes = sb_.blocks << sb_.blockBits;
    if (fsBytes > src_->size())
        warn(msg("the image is truncated: it holds %1 of the %2 bytes of its filesystem; what "
                 "lies past its end reads as zeros",
                 src_->size(), fsBytes));
    loadDevices();
    loadLongPrefixes();
}

void Terofsobj::loadDevices() {
    if (sb_.extraDevices == 0)
        return;
    const uint64_t at = uint64_t{sb_.devtSlotOff} * dev::kSize;
    for (uint32_t i = 0; i < sb_.extraDevices; ++i) {
        const uint64_t pos = at + uint64_t{i} * dev::kSize;
        if (pos + dev::kSize > src_->size()) {
            warn(msg("the EROFS device table lies outside the image"));
            return;
        }
        const Bytes d = readBytes(*src_, pos, dev::kSize);
        Device x;
        x.tag = zeroTerminated(d.data() + dev::kTag, 64);
        x.blocks = load32(d.data() + dev::kBlocks);
        x.mappedBlkaddr = load32(d.data() + dev::kMappedBlkaddr);
        devices_.push_back(std::move(x));
    }
}

void Terofsobj::loadLongPrefixes() {
    if (sb_.xattrPrefixCount == 0)
        return;
    if (!sb_.has(kIncompatXattrPrefixes)) {
        warn(msg("the superblock counts %1 long attribute prefixes without the feature that "
                 "keeps them; they are not read",
                 sb_.xattrPrefixCount));
        return;
    }
    // The table lies in the packed inode, or with plain_xattr_pfx in the
    // image itself; each prefix is a 16-bit length, a short prefix index
    // and the rest of the prefix, 4-byte aligned.
    const bool plain = (sb_.compat & kCompatPlainXattrPrefix) != 0 || sb_.packedNid == 0;
    Inode packed;
    try {
        if (!plain)
            packed = readInode(sb_.packedNid);
        uint64_t pos = uint64_t{sb_.xattrPrefixStart} * 4;
        auto read = [&](uint64_t at, MutableByteSpan out) {
            if (plain) {
                if (at > src_->size() || out.size() > src_->size() - at)
                    throw Error(msg("the long attribute prefixes lie outside the image"));
                src_->read(at, out);
            } else {
                if (at > packed.size || out.size() > packed.size - at)
                    throw Error(msg("the long attribute prefixes lie outside the packed inode"));
                readContents(packed, at, out);
            }
        };
        for (uint32_t i = 0; i < sb_.xattrPrefixCount; ++i) {
            pos = (pos + 3) / 4 * 4;
            std::byte len[2];
            read(pos, len);
            const size_t n = load16(len);
            if (n < 1 || n > 1 + kNameMax)
                throw Error(msg("long attribute prefix %1 has a length of %2", i, n));
            Bytes item(n);
            read(pos + 2, item);
            pos += 2 + n;
            const std::string base = shortPrefix(std::to_integer<uint8_t>(item[0]));
            if (base.empty())
                throw Error(msg("long attribute prefix %1 names an unknown short prefix", i));
            longPrefixes_.push_back(
                base + std::string(reinterpret_cast<const char*>(item.data() + 1), n - 1));
        }
    } catch (const Error& e) {
        warn(msg("the long attribute prefixes cannot be read (%1); attributes named with them "
                 "are left out",
                 e.message()));
    }
}

ByteSpan Terofsobj::metadata(uint64_t at, size_t n, size_t readAhead) const {
    // Each thread keeps the stretch it last read. Compact inodes of folders
    // and of files without inline data lie side by side, so a read takes a
    // little more than asked; only a little unless the caller says more
    // follows: mkfs.erofs puts most inodes beside their inline data, far
    // from each other, and every byte more is a byte more to copy for each.
    struct Window {
        uint64_t reader = 0;
        uint64_t at = 0;
        size_t len = 0;
        std::byte bytes[kMetadataWindow];
    };
    thread_local std::unique_ptr<Window> w(new Window);
    if (w->reader != readerId_ || at < w->at || at + n > w->at + w->len) {
        const size_t want = std::min(std::max({n, readAhead, kMetadataRead}), kMetadataWindow);
        w->reader = 0;
        w->at = at;
        w->len = static_cast<size_t>(std::min<uint64_t>(want, src_->size() - at));
        src_->read(w->at, MutableByteSpan(w->bytes, w->len));
        w->reader = readerId_;
        noteReadAt(w->at, w->len);
    }
    return ByteSpan(w->bytes + (at - w->at), n);
}

Inode Terofsobj::readInode(uint64_t nid, size_t readAhead) const {
    const uint64_t at = sb_.inodeOffset(nid);
    if (nid > (~uint64_t{0} >> (kNidShift + 1)) || at >= src_->size() ||
        src_->size() - at < ic::kRecordSize)
        throw Error(msg("inode %1 lies outside the image", nid));
    const size_t n = static_cast<size_t>(std::min<uint64_t>(ie::kRecordSize, src_->size() - at));
    return decodeInode(nid, metadata(at, n, readAhead), sb_);
}

void Terofsobj::readXattrs(const Inode& inode, TImgEntry& e, Scratch& scratch) {
    if (inode.xattrCount == 0)
        return;
    const uint64_t at = sb_.inodeOffset(inode.nid) + inode.inodeSize();
    const size_t size = inode.xattrSize();
    if (at >= src_->size() || src_->size() - at < size) {
        scratch.notes.push_back(
            {msg("inode %1: its attributes lie outside the image", inode.nid), false});
        return;
    }
    // Beside the inode, so mostly in the window already. The shared
    // attributes below are read past the window and leave it as it is.
    Bytes large;
    ByteSpan region;
    if (size <= kMetadataWindow) {
        region = metadata(at, size);
    } else {
        large.resize(size);
        src_->read(at, large);
        region = large;
    }
    const size_t shared = std::to_integer<size_t>(region[xh::kSharedCount]);
    size_t pos = xh::kRecordSize + shared * 4;
    if (pos > size) {
        scratch.notes.push_back(
            {msg("inode %1: it counts more shared attributes than its attribute area holds",
                 inode.nid),
             false});
        return;
    }
    while (pos < size) {
        Xattr x;
        if (auto why = parseEntry(region, pos, longPrefixes_, x)) {
            scratch.notes.push_back(
                {msg("inode %1: %2; the attributes after it are left out", inode.nid, *why),
                 false});
            break;
        }
        e.xattrs.push_back(std::move(x));
    }
    const uint64_t base = uint64_t{sb_.xattrBlkaddr} << sb_.blockBits;
    for (size_t i = 0; i < shared; ++i) {
        const uint32_t id = load32(region.data() + xh::kRecordSize + i * 4);
        if (auto hit = scratch.shared.find(id); hit != scratch.shared.end()) {
            e.xattrs.push_back(hit->second);
            continue;
        }
        const uint64_t xa = base + uint64_t{id} * 4;
        std::byte head[xe::kRecordSize];
        if (xa >= src_->size() || src_->size() - xa < sizeof head) {
            scratch.notes.push_back(
                {msg("inode %1: shared attribute %2 lies outside the image", inode.nid, id),
                 false});
            continue;
        }
        src_->read(xa, head);
        const size_t want =
            entrySize(std::to_integer<size_t>(head[xe::kNameLen]), load16(head + xe::kValueSize));
        Bytes entry(static_cast<size_t>(std::min<uint64_t>(want, src_->size() - xa)));
        src_->read(xa, entry);
        size_t p = 0;
        Xattr x;
        if (auto why = parseEntry(entry, p, longPrefixes_, x)) {
            scratch.notes.push_back(
                {msg("inode %1: shared attribute %2: %3", inode.nid, id, *why), false});
            continue;
        }
        scratch.shared.emplace(id, x);
        e.xattrs.push_back(std::move(x));
    }
}

std::string Terofsobj::readAlias(const Inode& inode) {
    const uint64_t n = std::min(inode.size, kMaxLinkTarget);
    std::string target(static_cast<size_t>(n), '\0');
    readContents(inode, 0,
                 MutableByteSpan(reinterpret_cast<std::byte*>(target.data()), target.size()));
    return target;
}

void Terofsobj::decodeEntry(const Inode& inode, TImgEntry& e, Scratch& scratch) {
    e.objType = objTypeForMode(inode.mode);
    e.mode = inode.mode;
    e.uid = inode.uid;
    e.gid = inode.gid;
    e.size = inode.size;
    e.atime = e.ctime = e.mtime = inode.mtime;
    e.atimeNs = e.ctimeNs = e.mtimeNs = inode.mtimeNs;
    e.dataPos = -1;
    e.linkInfo = inode.nlink;
    if (e.objType == kTypeSpecial || e.objType == kTypeBlockDevice)
        e.rdev = decodeNewDev(inode.u);
    readXattrs(inode, e, scratch);
    if (e.objType == kTypeSymlink) {
        try {
            e.alias = readAlias(inode);
        } catch (const Error& err) {
            scratch.notes.push_back(
                {msg("inode %1: its link target cannot be read (%2)", inode.nid, err.message()),
                 false});
        }
    }
}

bool Terofsobj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return false;
}

void Terofsobj::decodeInto(const Inode& inode, const Extent& x, MutableByteSpan out) {
    if (!canDecode(x.alg))
        throw Error(
            msg("an extent compressed with %1, which Korvane does not read", algorithmName(x.alg)));
    if (x.device != 0 || x.pa > src_->size() || x.plen > src_->size() - x.pa)
        throw Error(
            msg("inode %1: the cluster at byte %2 lies outside the image", inode.nid, x.pa));
    // A file's clusters mostly lie one after another: when a cluster starts
    // where the last read ended, the read is made longer each time, twice the
    // last up to kClusterWindow, but no longer than the rest of the file can
    // take up (its clusters hold no more than its bytes). Each thread keeps
    // the stretch it last read.
    struct Window {
        uint64_t reader = 0;
        uint64_t at = 0;
        size_t len = 0;
        size_t capacity = 0;
        std::unique_ptr<std::byte[]> bytes;
    };
    thread_local Window w;
    if (w.reader != readerId_ || x.pa < w.at || x.pa + x.plen > w.at + w.len) {
        uint64_t want = x.plen;
        if (w.reader == readerId_ && x.pa == w.at + w.len) {
            const uint64_t rest =
                (inode.size - x.la + sb_.blockSize - 1) & ~uint64_t{sb_.blockSize - 1};
            want = std::max(want, std::min({uint64_t{2} * w.len, kClusterWindow, rest}));
        }
        want = std::min(want, src_->size() - x.pa);
        w.reader = 0;
        if (w.capacity < want) {
            w.bytes.reset(new std::byte[want]);
            w.capacity = static_cast<size_t>(want);
        }
        w.at = x.pa;
        w.len = static_cast<size_t>(want);
        src_->read(w.at, MutableByteSpan(w.bytes.get(), w.len));
        w.reader = readerId_;
    }
    noteRead(x.plen);
    const ByteSpan in(w.bytes.get() + (x.pa - w.at), x.plen);
    DecodeRequest r;
    r.alg = x.alg;
    r.partial = x.partialRef;
    r.zeroPadding = sb_.has(kIncompatZeroPadding);
    r.blockSize = sb_.blockSize;
    r.la = x.la;
    decodeCluster(r, in, out);
}

std::shared_ptr<const Terofsobj::Decoded> Terofsobj::decode(const Inode& inode, const Extent& x) {
    {
        std::lock_guard lock(cacheMutex_);
        if (cache_ && cache_->nid == inode.nid && cache_->la == x.la &&
            cache_->bytes.size() == x.llen)
            return cache_;
    }
    auto d = std::make_shared<Decoded>();
    d->nid = inode.nid;
    d->la = x.la;
    d->bytes.resize(static_cast<size_t>(x.llen));
    decodeInto(inode, x, d->bytes);
    std::lock_guard lock(cacheMutex_);
    cache_ = d;
    return d;
}

void Terofsobj::readContents(const Inode& inode, uint64_t offset, MutableByteSpan out, int depth) {
    ExtentMap map(*src_, sb_, inode);
    const uint64_t end = offset + out.size();
    for (uint64_t pos = offset; pos < end;) {
        const Extent x = map.at(pos);
        if (x.la > pos || x.llen == 0 || x.la + x.llen <= pos)
            throw Error(msg("inode %1: its map gives no extent at byte %2", inode.nid, pos));
        const uint64_t stop = std::min(end, x.la + x.llen);
        MutableByteSpan piece =
            out.subspan(static_cast<size_t>(pos - offset), static_cast<size_t>(stop - pos));
        switch (x.kind) {
        case Extent::kHole:
            std::memset(piece.data(), 0, piece.size());
            break;
        case Extent::kRaw: {
            if (x.device != 0)
                throw Error(msg("inode %1: its data at byte %2 lies on device %3, which is not "
                                "part of this image",
                                inode.nid, pos, x.device));
            const uint64_t at = x.pa + (pos - x.la);
            size_t have = 0;
            if (at < src_->size())
                have = static_cast<size_t>(std::min<uint64_t>(piece.size(), src_->size() - at));
            if (have)
                src_->read(at, piece.first(have));
            std::memset(piece.data() + have, 0, piece.size() - have);
            noteRead(piece.size());
            break;
        }
        case Extent::kEncoded: {
            // A whole extent is decoded where it goes; part of one comes from
            // the cache, which the neighbouring reads share.
            if (pos == x.la && stop == x.la + x.llen) {
                decodeInto(inode, x, piece);
                break;
            }
            const auto d = decode(inode, x);
            std::memcpy(piece.data(), d->bytes.data() + (pos - x.la), piece.size());
            break;
        }
        case Extent::kFragment: {
            if (depth >= kMaxDepth || inode.nid == sb_.packedNid)
                throw Error(msg("inode %1: a fragment inside the packed inode", inode.nid));
            const Inode packed = readInode(sb_.packedNid);
            const uint64_t from = x.fragmentOff + (pos - x.la);
            if (from > packed.size || piece.size() > packed.size - from)
                throw Error(
                    msg("inode %1: its fragment lies past the end of the packed inode", inode.nid));
            readContents(packed, from, piece, depth + 1);
            break;
        }
        }
        pos = stop;
    }
}

size_t Terofsobj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    const Inode inode = contentsInode(e);
    if (inode.size != e.size)
        throw Error(msg("inode %1 changed size", inode.nid));
    try {
        readContents(inode, offset, out);
    } catch (const Error& err) {
        throw Error(
            withReason(msg("cannot read %1", e.name.empty() ? "/" : e.name), err.message()));
    }
    return out.size();
}

std::optional<StoredContents> Terofsobj::storedImageContents(const TImgEntry& e, uint64_t offset,
                                                             uint64_t n) {
    if (nidOf(e.objId) == ~uint64_t{0})
        return std::nullopt;
    try {
        const Inode inode = contentsInode(e);
        if (inode.compressed() || inode.size != e.size)
            return std::nullopt;
        ExtentMap map(*src_, sb_, inode);
        const Extent x = map.at(offset);
        if (x.kind != Extent::kRaw || x.device != 0 || x.la > offset || x.la + x.llen <= offset)
            return std::nullopt;
        const uint64_t at = x.pa + (offset - x.la);
        const uint64_t len = std::min(n, x.la + x.llen - offset);
        if (at > src_->size() || len > src_->size() - at)
            return std::nullopt;
        if (std::optional<FileRange> f = src_->storedIn(at, len))
            return StoredContents{*f, len};
    } catch (const Error&) {
        // Reading says what is wrong.
    }
    return std::nullopt;
}

ContentRange Terofsobj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    if (nidOf(e.objId) == ~uint64_t{0})
        return {offset, total};
    const Inode inode = contentsInode(e);
    if (inode.compressed() || inode.size != total)
        return {offset, total};
    ExtentMap map(*src_, sb_, inode);
    // Bytes an extent holds in the image: a flat or chunk extent that runs
    // past the image's end holds nothing there, so a file that claims
    // terabytes over a small image is holes, not data.
    const uint64_t imageSize = src_->size();
    auto held = [&](const Extent& x, uint64_t at) -> uint64_t {
        const uint64_t rest = x.la + x.llen - at;
        if (x.kind == Extent::kHole)
            return 0;
        if (x.kind != Extent::kRaw)
            return rest;
        const uint64_t pa = x.pa + (at - x.la);
        return pa >= imageSize ? 0 : std::min(rest, imageSize - pa);
    };
    uint64_t pos = offset;
    // Holes are passed over an extent at a time; a range stays within 64 MiB.
    try {
        while (pos < total) {
            const Extent x = map.at(pos);
            if (held(x, pos) > 0)
                break;
            pos = std::max(pos + 1, x.la + x.llen);
        }
        if (pos >= total)
            return {total, total};
        uint64_t end = pos;
        const uint64_t limit = std::min<uint64_t>(total, pos + (64ull << 20));
        while (end < limit) {
            const Extent x = map.at(end);
            const uint64_t n = held(x, end);
            if (n == 0)
                break;
            end += n;
            if (n < x.la + x.llen - (end - n))
                break;
        }
        return {pos, std::min(end, total)};
    } catch (const Error&) {
        return {pos, total}; // reading says what is wrong
    }
}

void Terofsobj::damage(Message m, bool leftOut) {
    if (!scanning_)
        return;
    if (leftOut)
        ++info_.skipped;
    if (++damageReported_ <= kDamageListed)
        warn(std::move(m));
}

void Terofsobj::damage(Scratch& scratch) {
    for (Note& n : scratch.notes)
        damage(std::move(n.text), n.leftOut);
    scratch.notes.clear();
}

std::vector<std::pair<std::string, std::string>> Terofsobj::describe() const {
    auto number = [](uint64_t v) { return std::to_string(v); };
    std::string features;
    for (const std::string& f : featureNames(sb_))
        features += (features.empty() ? "" : " ") + f;
    std::string algs;
    for (uint8_t a = 0; a < 4; ++a)
        if (sb_.algorithms() & (1u << a))
            algs += (algs.empty() ? "" : " ") + std::string(algorithmName(a));
    const time_t built = static_cast<time_t>(sb_.epoch + sb_.buildTime);
    char when[64] = "";
    struct tm tmv {};
    if (gmtime_r(&built, &tmv))
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tmv);
    std::vector<std::pair<std::string, std::string>> out = {
        {"format", formatName()},
        {"image size", number(size())},
        {"block size", number(sb_.blockSize)},
        {"blocks", number(sb_.blocks)},
        {"features", features.empty() ? "(none)" : features},
        {"compression", info_.compressedFiles
                            ? algs + " (" + number(info_.compressedFiles) + " compressed files)"
                            : "none"},
        {"root nid", number(sb_.rootNid)},
        {"inodes", number(sb_.inos)},
        {"metadata block", number(sb_.metaBlkaddr)},
        {"shared xattr block", number(sb_.xattrBlkaddr)},
        {"build time", when},
        {"volume name", sb_.volumeName},
        {"UUID", uuidText(sb_.uuid)},
    };
    if (sb_.compat & kCompatSbChecksum)
        out.push_back({"checksum", sb_.checksumOk ? "crc32c, verified" : "crc32c, mismatch"});
    if (!longPrefixes_.empty()) {
        std::string p;
        for (const std::string& x : longPrefixes_)
            p += (p.empty() ? "" : ", ") + x;
        out.push_back({"long xattr prefixes", p});
    }
    for (size_t i = 0; i < devices_.size(); ++i)
        out.push_back(
            {"device " + number(i + 1),
             (devices_[i].tag.empty() ? std::string("(no tag)") : devices_[i].tag) + ", " +
                 number(devices_[i].blocks) + " blocks" +
                 (devices_[i].mappedBlkaddr ? ", at block " + number(devices_[i].mappedBlkaddr)
                                            : std::string())});
    if (sb_.packedNid)
        out.push_back({"packed inode", "nid " + number(sb_.packedNid)});
    out.insert(out.end(), {
                              {"objects", number(info_.objects)},
                              {"hard links", number(info_.hardLinks)},
                              {"left out", number(info_.skipped)},
                          });
    return out;
}

} // namespace korvane
