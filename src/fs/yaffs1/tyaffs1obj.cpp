#include "tyaffs1obj.h"

#include "fs/yaffs2/header.h"
#include "model/error.h"
#include "model/tree_order.h"
#include "tags1.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane {

using namespace yaffs1;

namespace {

const Message kScanning = msg("Scanning blocks");
const Message kBuilding = msg("Building the file list");
const Message kDone = msg("Done");

constexpr uint64_t kWindowBytes = uint64_t{kRecordSize} * kPagesPerBlock * 128;
// Damaged pages named one by one in the warnings; the rest are counted.
constexpr size_t kNamedEccFailures = 20;
// Data pages the reader keeps an index of: 64 MiB of it, far more than a
// YAFFS1 chip holds (a 2 GiB image of nothing but data pages).
constexpr size_t kMaxDataPages = 1u << 22;

bool validObjectId(uint32_t id) {
    return id == kObjIdRoot || (id >= kFirstOrdinaryId && id <= kMaxObjectId);
}

// A header or data chunk as the scan meets it.
struct HeaderRef {
    uint32_t page = 0;
    uint32_t serial = 0;
    uint32_t type = 0;
    bool present = false;
};

// Of two copies met in this order, whether the second replaces the first:
// a rewrite carries the next serial number.
bool replaces(uint32_t older, uint32_t newer) {
    return ((older + 1) & 3) == newer;
}

} // namespace

struct Tyaffs1obj::Scan {
    Tyaffs1obj& img;
    JobReporter& rep;
    std::vector<HeaderRef> headers;      // by object id
    std::vector<uint32_t> uncorrectable; // pages
    uint64_t pages = 0;

    void walk();
    void buildData(std::vector<uint64_t>& storedSize);
    void buildTree(const std::vector<uint64_t>& storedSize);
};

void Tyaffs1obj::Scan::walk() {
    const ImageSource& src = *img.image();
    pages = src.size() / kRecordSize;
    if (pages > UINT32_MAX)
        pages = UINT32_MAX;
    img.info_.pages = pages;
    headers.clear();
    Bytes window;
    uint64_t winFirst = 0, winPages = 0;
    bool badBlock = false;
    std::vector<yaffs2::EccFix> fixes;
    for (uint64_t q = 0; q < pages; ++q) {
        if (q >= winFirst + winPages) {
            if (img.cancel.load())
                throw Error(msg("cancelled"));
            winFirst = q;
            winPages = std::min<uint64_t>(pages - q, kWindowBytes / kRecordSize);
            window.resize(winPages * kRecordSize);
            src.readThrough(q * kRecordSize, MutableByteSpan(window));
            rep.progress(static_cast<int64_t>(q), static_cast<int64_t>(pages), 2, kScanning);
        }
        const std::byte* page = window.data() + (q - winFirst) * kRecordSize;
        const std::byte* spare = page + kPageSize;
        if (q % kPagesPerBlock == 0) {
            // A block is bad when the status bytes of its first two pages say so.
            std::byte second[kSpareSize];
            src.read((q + 1) * kRecordSize + kPageSize, MutableByteSpan(second, kSpareSize));
            const unsigned status =
                std::to_integer<unsigned>(spare[spare::kBlockStatus]) &
                (q + 1 < pages ? std::to_integer<unsigned>(second[spare::kBlockStatus]) : 0xFFu);
            badBlock = std::popcount(status) < 7;
            if (badBlock)
                ++img.info_.badBlocks;
        }
        if (badBlock)
            continue;
        Tags1 t;
        switch (readTags(spare, t)) {
        case TagState::kErased:
            ++img.info_.erased;
            continue;
        case TagState::kDeleted:
            ++img.info_.deleted;
            continue;
        case TagState::kFailed:
            ++img.info_.tagEccFailed;
            continue;
        case TagState::kCorrected:
            ++img.info_.tagEccCorrected;
            break;
        case TagState::kClean:
            break;
        }
        if (!validObjectId(t.objectId))
            continue;
        std::byte ecc[6];
        gatherDataEcc(spare, ecc);
        fixes.clear();
        const yaffs2::PageEccCheck c =
            yaffs2::checkDataEcc(page, kPageSize, yaffs2::kEccYaffs, ecc, fixes);
        img.info_.dataEccCorrected += c.corrected;
        img.info_.dataEccFailed += c.failed;
        if (c.failed)
            uncorrectable.push_back(static_cast<uint32_t>(q));
        for (const yaffs2::EccFix& f : fixes)
            img.fixes_.push_back({static_cast<uint32_t>(q), f});
        if (t.chunkId == 0) {
            ++img.info_.headers;
            Bytes fixed(page, page + kPageSize);
            for (const yaffs2::EccFix& f : fixes)
                fixed[f.offset] ^= std::byte{f.mask};
            const uint32_t type = load32(fixed.data() + yaffs2::hdr::kType);
            if (headers.size() <= t.objectId)
                headers.resize(t.objectId + 1);
            HeaderRef& h = headers[t.objectId];
            // A header of another type means the id was used again.
            if (!h.present || h.type != type || replaces(h.serial, t.serial)) {
                if (h.present)
                    ++img.info_.replaced;
                h = {static_cast<uint32_t>(q), t.serial, type, true};
            } else {
                ++img.info_.replaced;
            }
        } else if (img.data_.size() < kMaxDataPages) {
            img.data_.push_back({t.objectId, t.chunkId, static_cast<uint32_t>(q),
                                 static_cast<uint16_t>(std::min<uint32_t>(t.byteCount, kPageSize)),
                                 static_cast<uint8_t>(t.serial)});
        } else {
            ++img.info_.notIndexed;
        }
    }
}

void Tyaffs1obj::Scan::buildData(std::vector<uint64_t>& storedSize) {
    // Copies of a chunk in the order the scan met them; the serial numbers
    // say which one is current. The current ones are kept in place.
    std::vector<DataRef>& data = img.data_;
    std::stable_sort(data.begin(), data.end(), [](const DataRef& a, const DataRef& b) {
        return a.objectId != b.objectId ? a.objectId < b.objectId : a.chunkId < b.chunkId;
    });
    // Objects are numbered up to the highest id with a header.
    const size_t slots = headers.size();
    storedSize.assign(slots, 0);
    img.dataBegin_.assign(slots + 1, 0);
    size_t kept = 0;
    for (size_t k = 0; k < data.size();) {
        size_t end = k + 1;
        DataRef cur = data[k];
        for (; end < data.size() && data[end].objectId == cur.objectId &&
               data[end].chunkId == cur.chunkId;
             ++end) {
            ++img.info_.replaced;
            if (replaces(cur.serial, data[end].serial))
                cur = data[end];
        }
        k = end;
        if (cur.objectId >= slots || !headers[cur.objectId].present ||
            headers[cur.objectId].type != yaffs2::kHdrFile)
            continue;
        data[kept++] = cur;
        ++img.dataBegin_[cur.objectId + 1];
        storedSize[cur.objectId] =
            std::max(storedSize[cur.objectId], uint64_t{cur.chunkId - 1} * kPageSize + cur.bytes);
    }
    data.resize(kept);
    for (size_t id = 1; id < img.dataBegin_.size(); ++id)
        img.dataBegin_[id] += img.dataBegin_[id - 1];
}

void Tyaffs1obj::Scan::buildTree(const std::vector<uint64_t>& storedSize) {
    const ImageSource& src = *img.image();
    // The current header of every object, and the objects renames replaced.
    std::vector<yaffs2::ObjectHeader> hdrs;
    std::vector<uint32_t> ids;
    const size_t slots = headers.size();
    std::vector<uint32_t> slot(slots, UINT32_MAX);
    std::vector<uint8_t> shadowed(slots, 0);
    Bytes page(kPageSize);
    for (uint32_t id = 0; id < slots; ++id) {
        const HeaderRef& h = headers[id];
        if (!h.present)
            continue;
        src.readThrough(uint64_t{h.page} * kRecordSize, MutableByteSpan(page));
        img.applyFixes(h.page, 0, kPageSize, page.data());
        slot[id] = static_cast<uint32_t>(hdrs.size());
        hdrs.push_back(yaffs2::decodeHeader(page.data(), kPageSize));
        ids.push_back(id);
        const uint32_t shadows = load32(page.data() + kHdrShadows);
        if (shadows > 0 && shadows < slots && shadows != id)
            shadowed[shadows] = 1;
    }
    auto isDir = [&](uint32_t id) {
        return id < slots && slot[id] != UINT32_MAX && hdrs[slot[id]].type == yaffs2::kHdrDirectory;
    };
    // An object counts when its parents reach the root through folders;
    // lost+found and the unlinked and deleted folders (ids 2 to 4) do not.
    enum : uint8_t { kUnknown, kVisiting, kLive, kDead };
    std::vector<uint8_t> live(std::max<size_t>(slots, kObjIdRoot + 1), kUnknown);
    live[kObjIdRoot] = kLive;
    std::vector<uint32_t> chain;
    for (uint32_t id : ids) {
        chain.clear();
        uint8_t verdict = kDead;
        for (uint32_t cur = id;;) {
            if (live[cur] == kLive || live[cur] == kDead) {
                verdict = live[cur];
                break;
            }
            if (live[cur] == kVisiting || shadowed[cur])
                break;
            live[cur] = kVisiting;
            chain.push_back(cur);
            const uint32_t p = hdrs[slot[cur]].parent;
            if (p == kObjIdRoot) {
                verdict = kLive;
                break;
            }
            if (!validObjectId(p) || p == kObjIdRoot || !isDir(p))
                break;
            cur = p;
        }
        for (uint32_t c : chain)
            live[c] = verdict;
    }

    auto root = std::make_unique<Node>();
    root->text = "/";
    root->icon = kFolderIcon;
    TImgEntry& re = root->entry;
    re.objType = kTypeDirectory;
    re.mode = kModeDirectory | 0755;
    if (slots > kObjIdRoot && slot[kObjIdRoot] != UINT32_MAX) {
        const yaffs2::ObjectHeader& h = hdrs[slot[kObjIdRoot]];
        re.mode = kModeDirectory | (h.mode & kModePermissionMask);
        re.uid = h.uid;
        re.gid = h.gid;
        re.atime = h.atime;
        re.mtime = h.mtime;
        re.ctime = h.ctime;
    }
    re.objId = kObjIdRoot;
    img.setNode(kObjIdRoot, root.get());
    std::vector<std::unique_ptr<Node>> made(slots);
    uint32_t maxId = kObjIdRoot;
    for (size_t k = 0; k < ids.size(); ++k) {
        const uint32_t id = ids[k];
        if (id == kObjIdRoot)
            continue;
        if (live[id] != kLive) {
            ++img.info_.leftOut;
            continue;
        }
        const yaffs2::ObjectHeader& h = hdrs[k];
        auto node = std::make_unique<Node>();
        TImgEntry& e = node->entry;
        e.name = h.name;
        e.objType =
            h.type <= yaffs2::kHdrSpecial ? static_cast<uint8_t>(h.type) : uint8_t{kTypeUnknown};
        e.mode = h.mode;
        e.uid = h.uid;
        e.gid = h.gid;
        e.atime = h.atime;
        e.mtime = h.mtime;
        e.ctime = h.ctime;
        if (e.objType == kTypeFile)
            e.size = storedSize[id];
        else if (e.objType == kTypeSymlink)
            e.alias = h.alias;
        else if (e.objType == kTypeHardlink)
            e.linkInfo = h.equivId;
        else if (e.objType == kTypeSpecial)
            e.rdev = decodeOldDev(h.rdev);
        e.objId = id;
        node->text = e.name;
        node->icon = iconFor(e, node->text);
        img.setNode(id, node.get());
        maxId = std::max(maxId, id);
        made[id] = std::move(node);
    }
    for (uint32_t id : ids) {
        if (!made[id])
            continue;
        const uint32_t p = hdrs[slot[id]].parent;
        Node* parent = p == kObjIdRoot ? root.get() : img.nodeFor(p);
        parent->addChild(std::move(made[id]));
    }
    img.maxObjId = maxId;
    if (img.info_.leftOut > 0)
        img.warn(msg("%1 objects were left out: deleted, or their folder is missing",
                     img.info_.leftOut));
    sortTree(root.get());
    img.info_.objects = root->subtreeSize();
    img.setRoot(std::move(root));
}

void Tyaffs1obj::Open() {
    JobReporter rep(onwk, kFlagRead);
    rep.send(0, 0, 1, kScanning);
    try {
        info_ = ScanInfo{};
        data_.clear();
        dataBegin_.clear();
        fixes_.clear();
        nodeTable.clear();
        maxObjId = 0;
        if (size() < kRecordSize)
            throw Error(msg("not a YAFFS1 image: %1 bytes are too few to hold a page and its "
                            "spare area",
                            size()));
        Scan s{*this, rep, {}, {}, 0};
        s.walk();
        std::sort(fixes_.begin(), fixes_.end(),
                  [](const Fix& a, const Fix& b) { return a.page < b.page; });
        std::vector<uint64_t> storedSize;
        rep.send(0, 0, 2, kBuilding);
        s.buildData(storedSize);
        s.buildTree(storedSize);
        if (info_.badBlocks > 0)
            warn(msg("%1 blocks marked bad were skipped", info_.badBlocks));
        if (info_.notIndexed > 0)
            warn(msg("the image holds more data pages than Korvane keeps an index of; %1 pages "
                     "were not read",
                     info_.notIndexed));
        if (info_.tagEccFailed > 0)
            warn(msg("%1 pages were skipped: their tags are damaged beyond what the tag ECC "
                     "corrects",
                     info_.tagEccFailed));
        for (size_t k = 0; k < s.uncorrectable.size() && k < kNamedEccFailures; ++k)
            warn(msg("page %1 (block %2): the data ECC cannot correct it", s.uncorrectable[k],
                     s.uncorrectable[k] / kPagesPerBlock));
        if (s.uncorrectable.size() > kNamedEccFailures)
            warn(msg("the data ECC cannot correct %1 more pages",
                     s.uncorrectable.size() - kNamedEccFailures));
    } catch (...) {
        rep.send(0, 0, 3, kDone);
        throw;
    }
    rep.send(0, 0, 3, kDone);
}

bool Tyaffs1obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return false;
}

void Tyaffs1obj::applyFixes(uint32_t page, uint64_t from, uint64_t to, std::byte* out) const {
    auto it = std::lower_bound(fixes_.begin(), fixes_.end(), page,
                               [](const Fix& f, uint32_t p) { return f.page < p; });
    for (; it != fixes_.end() && it->page == page; ++it)
        if (it->fix.offset >= from && it->fix.offset < to)
            out[it->fix.offset - from] ^= std::byte{it->fix.mask};
}

std::pair<const Tyaffs1obj::DataRef*, const Tyaffs1obj::DataRef*>
Tyaffs1obj::dataFrom(uint32_t id, uint32_t firstChunk) const {
    if (id + 1 >= dataBegin_.size())
        return {nullptr, nullptr};
    const DataRef* b = data_.data() + dataBegin_[id];
    const DataRef* e = data_.data() + dataBegin_[id + 1];
    b = std::lower_bound(b, e, firstChunk,
                         [](const DataRef& d, uint32_t c) { return d.chunkId < c; });
    return {b, e};
}

size_t Tyaffs1obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    const uint64_t end = offset + out.size();
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / kPageSize) + 1);
    Bytes page(kPageSize);
    for (; it != last && uint64_t{it->chunkId - 1} * kPageSize < end; ++it) {
        const uint64_t at = uint64_t{it->chunkId - 1} * kPageSize;
        const uint64_t from = std::max(at, offset);
        const uint64_t to = std::min(at + it->bytes, end);
        if (from >= to)
            continue;
        image()->readThrough(uint64_t{it->page} * kRecordSize, MutableByteSpan(page));
        applyFixes(it->page, 0, kPageSize, page.data());
        std::memcpy(out.data() + (from - offset), page.data() + (from - at),
                    static_cast<size_t>(to - from));
    }
    return out.size();
}

ContentRange Tyaffs1obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / kPageSize) + 1);
    if (it == last)
        return {total, total};
    const uint64_t begin = std::max(offset, uint64_t{it->chunkId - 1} * kPageSize);
    uint32_t id = it->chunkId;
    while (it + 1 != last && (it + 1)->chunkId == id + 1) {
        ++it;
        ++id;
    }
    return {begin, std::min(total, uint64_t{id} * kPageSize)};
}

std::vector<std::pair<std::string, std::string>> Tyaffs1obj::describe() const {
    const ScanInfo& s = info_;
    return {
        {"format", "YAFFS1"},
        {"image size", std::to_string(size())},
        {"layout", "512+16, YAFFS1 tags with ECC, YAFFS data ECC"},
        {"pages", std::to_string(s.pages)},
        {"erased pages", std::to_string(s.erased)},
        {"deleted pages", std::to_string(s.deleted)},
        {"bad blocks", std::to_string(s.badBlocks)},
        {"tag ECC fixed", std::to_string(s.tagEccCorrected)},
        {"tag ECC failed", std::to_string(s.tagEccFailed)},
        {"data ECC fixed", std::to_string(s.dataEccCorrected)},
        {"data ECC failed", std::to_string(s.dataEccFailed)},
        {"older copies", std::to_string(s.replaced)},
        {"headers", std::to_string(s.headers)},
        {"objects", std::to_string(s.objects)},
        {"left out", std::to_string(s.leftOut)},
        {"highest object id", std::to_string(maxObjId)},
    };
}

} // namespace korvane
