#include "tyaffs2obj.h"

#include "model/error.h"
#include "model/tree_order.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace korvane {

using namespace yaffs2;

namespace {

const std::string kScanning = "正在扫描块";
const std::string kBuilding = "构建文件列表";
const std::string kDone = "完成";

struct Run {
    uint32_t sequence;
    uint32_t first;
    uint32_t last;
};

enum ChunkKind : uint8_t { kSkip, kHeader, kData };

struct ChunkInfo {
    uint32_t id = 0;
    uint32_t chunkId = 0;
    uint32_t bytes = 0;
    ChunkKind kind = kSkip;
};

bool allFF(const std::byte* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != std::byte{0xFF})
            return false;
    return true;
}

bool tagEccMatches(const std::byte* chunk, size_t tagOffset) {
    return computeTagEcc(chunk + tagOffset) == loadTagEcc(chunk + tagOffset + kTagsSize);
}

bool validObjectId(uint32_t id) {
    return id == kObjIdRoot || (id >= kFirstOrdinaryId && id <= kMaxObjId);
}

uint8_t objTypeOf(uint32_t headerType) {
    return headerType <= kHdrSpecial ? static_cast<uint8_t>(headerType) : uint8_t{kTypeUnknown};
}

// Sorts the runs by sequence number (equal numbers by position) and drops
// those that do not belong to the filesystem: everything sorted before the
// first run of the lowest valid sequence number (the zero tail a writer
// leaves), checkpoint runs, and erased runs unless nothing else is left.
std::vector<Run> keepRuns(std::vector<Run> runs) {
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        return a.sequence != b.sequence ? a.sequence < b.sequence : a.first < b.first;
    });
    auto lowest = std::find_if(runs.begin(), runs.end(),
                               [](const Run& r) { return r.sequence == kSeqLowest; });
    if (lowest != runs.end())
        runs.erase(runs.begin(), lowest);
    std::erase_if(runs, [](const Run& r) { return r.sequence == kSeqCheckpoint; });
    bool onlyErased = std::all_of(runs.begin(), runs.end(),
                                  [](const Run& r) { return r.sequence == kSeqErased; });
    if (!onlyErased)
        std::erase_if(runs, [](const Run& r) { return r.sequence == kSeqErased; });
    return runs;
}

} // namespace

const std::byte* Tyaffs2obj::chunk(uint64_t position) const {
    if (!lastChunk_.empty() && position + 1 == info_.chunkCount)
        return lastChunk_.data();
    return data() + position * kChunkSize;
}

void Tyaffs2obj::Open() {
    JobReporter rep(onwk, kFlagYaffsScan);
    rep.send(0, 0, 1, kScanning);
    try {
        scan(rep);
    } catch (...) {
        rep.send(0, 0, 4, kDone);
        throw;
    }
    rep.send(0, 0, 4, kDone);
}

void Tyaffs2obj::scan(JobReporter& rep) {
    info_ = ScanInfo{};
    chunkTable.clear();
    objChunks.clear();
    dataIndex_.clear();
    lastChunk_.clear();
    nodeTable.clear();
    maxObjId = 0;

    // Chunk count: a last partial chunk counts when its data and the tags at
    // 2048 are there; it is read through a copy padded with erased bytes.
    const size_t total = size();
    uint64_t n = total / kChunkSize;
    size_t rest = total % kChunkSize;
    if (rest >= kMinPartialChunk) {
        lastChunk_.assign(kChunkSize, std::byte{0xFF});
        std::memcpy(lastChunk_.data(), data() + n * kChunkSize, rest);
        ++n;
    }
    if (n > std::numeric_limits<uint32_t>::max())
        throw Error("image too large: more than 2^32 chunks");
    info_.chunkCount = n;
    const auto count = static_cast<uint32_t>(n);

    // Tag offset, decided on the first programmed chunk: an erased block at
    // the start of a dump would otherwise force the marker layout.
    uint32_t probe = 0;
    while (probe < count && allFF(chunk(probe) + kDataSize, kSpareSize))
        ++probe;
    if (count > 0) {
        const std::byte* c = chunk(probe < count ? probe : 0);
        bool plain = tagEccMatches(c, kTagOffsetPlain);
        bool marked = tagEccMatches(c, kTagOffsetMarked);
        uint16_t word = load16(c + kDataSize);
        if (plain != marked)
            info_.tagOffset = plain ? kTagOffsetPlain : kTagOffsetMarked;
        else
            info_.tagOffset = word == 0xFFFF ? kTagOffsetMarked : kTagOffsetPlain;
        info_.firstSpareWord =
            info_.tagOffset == kTagOffsetMarked ? int16_t{-1} : static_cast<int16_t>(word);
    }
    const size_t tagOffset = info_.tagOffset;

    // Runs of equal sequence numbers.
    std::vector<Run> runs;
    for (uint32_t q = 0; q < count; ++q) {
        uint32_t seq = load32(chunk(q) + tagOffset);
        if (runs.empty() || runs.back().sequence != seq)
            runs.push_back({seq, q, q});
        else
            runs.back().last = q;
        rep.progress(q, count - 1, 2, kScanning);
    }
    size_t found = runs.size();
    runs = keepRuns(std::move(runs));
    info_.runsKept = runs.size();
    info_.runsDropped = found - runs.size();

    chunkTable.reserve(count);
    for (const Run& r : runs)
        for (uint32_t q = r.first; q <= r.last; ++q)
            chunkTable.push_back(q);

    // Classify every kept chunk, in sequence order.
    const size_t kept = chunkTable.size();
    std::vector<ChunkInfo> chunks(kept);
    for (size_t i = 0; i < kept; ++i) {
        const std::byte* c = chunk(chunkTable[i]);
        PackedTags t = loadTags(c + tagOffset);
        ChunkInfo& ci = chunks[i];
        if (t.chunkId & kExtraHeaderFlag) {
            // Extra header information: trust it only when the header agrees.
            uint32_t type = t.objectId >> kExtraTypeShift;
            uint32_t parent = t.chunkId & ~kExtraFlagsMask;
            if (load32(c + hdr::kType) == type && load32(c + hdr::kParent) == parent) {
                ci.id = t.objectId & ~kExtraFlagsMask;
                ci.kind = kHeader;
            }
        } else if (t.chunkId == 0) {
            ci.id = t.objectId;
            ci.kind = kHeader;
        } else {
            ci.id = t.objectId;
            ci.chunkId = t.chunkId;
            ci.bytes = std::min<uint32_t>(t.byteCount, kDataSize);
            ci.kind = kData;
        }
        if (ci.kind != kSkip && !validObjectId(ci.id))
            ci.kind = kSkip;
        if (ci.kind != kSkip) {
            maxObjId = std::max(maxObjId, ci.id);
            if (objChunks.size() <= ci.id)
                objChunks.resize(static_cast<size_t>(ci.id) + 1);
            ObjChunks& oc = objChunks[ci.id];
            if (oc.firstChunk < 0)
                oc.firstChunk = static_cast<int64_t>(i);
            if (ci.kind == kHeader) {
                oc.headerChunk = static_cast<int64_t>(i);
                ++info_.headers;
            }
        }
        rep.progress(static_cast<int64_t>(i), count - 1, 3, kBuilding);
    }
    objChunks.resize(static_cast<size_t>(maxObjId) + 1);

    // A data chunk that starts at or past the size a later header of its file
    // gives was cut off by a truncation: drop it. Walking backwards, keep the
    // smallest size of the headers seen so far per object.
    {
        std::vector<uint64_t> laterSize(objChunks.size(), std::numeric_limits<uint64_t>::max());
        for (size_t i = kept; i-- > 0;) {
            ChunkInfo& ci = chunks[i];
            if (ci.kind == kHeader) {
                const std::byte* c = chunk(chunkTable[i]);
                if (load32(c + hdr::kType) == kHdrFile)
                    laterSize[ci.id] =
                        std::min<uint64_t>(laterSize[ci.id], load32(c + hdr::kFileSize));
            } else if (ci.kind == kData) {
                if (uint64_t{ci.chunkId - 1} * kDataSize >= laterSize[ci.id])
                    ci.kind = kSkip;
            }
        }
    }

    // Data index: each object's data chunks, by chunk id, newest copy only.
    {
        std::vector<uint32_t> start(objChunks.size() + 1, 0);
        for (const ChunkInfo& ci : chunks)
            if (ci.kind == kData)
                ++start[ci.id + 1];
        for (size_t k = 1; k < start.size(); ++k)
            start[k] += start[k - 1];
        dataIndex_.resize(start.back());
        std::vector<uint32_t> fill(start.begin(), start.end() - 1);
        for (size_t i = 0; i < kept; ++i) {
            const ChunkInfo& ci = chunks[i];
            if (ci.kind == kData)
                dataIndex_[fill[ci.id]++] = {chunkTable[i], ci.chunkId, ci.bytes};
        }
        uint32_t out = 0;
        for (size_t id = 0; id < objChunks.size(); ++id) {
            auto first = dataIndex_.begin() + start[id];
            auto last = dataIndex_.begin() + start[id + 1];
            // Stable: copies of one chunk id stay in sequence order, newest last.
            std::stable_sort(first, last, [](const DataRef& a, const DataRef& b) {
                return a.chunkId < b.chunkId;
            });
            objChunks[id].dataBegin = out;
            for (auto it = first; it != last; ++it) {
                if (it + 1 != last && (it + 1)->chunkId == it->chunkId)
                    continue;
                dataIndex_[out++] = *it;
            }
            objChunks[id].dataEnd = out;
        }
        dataIndex_.resize(out);
    }

    // The tree. An object is shown when its newest header's parent chain
    // reaches the root through directories; a parent of 0 or 2 to 256 (lost+found,
    // unlinked, deleted) removes it and everything below it.
    const size_t slots = objChunks.size();
    std::vector<uint32_t> parentOf(slots, 0);
    std::vector<uint8_t> typeOf(slots, kTypeUnknown);
    for (uint32_t id = 0; id < slots; ++id) {
        if (objChunks[id].headerChunk < 0)
            continue;
        const std::byte* c = chunk(chunkTable[static_cast<size_t>(objChunks[id].headerChunk)]);
        parentOf[id] = load32(c + hdr::kParent);
        typeOf[id] = objTypeOf(load32(c + hdr::kType));
    }
    enum State : uint8_t { kUnknown, kVisiting, kLive, kDead };
    std::vector<uint8_t> state(slots, kUnknown);
    if (slots > kObjIdRoot)
        state[kObjIdRoot] = kLive;
    std::vector<uint32_t> chain;
    for (uint32_t id = 0; id < slots; ++id) {
        if (objChunks[id].headerChunk < 0 || state[id] != kUnknown)
            continue;
        chain.clear();
        uint32_t cur = id;
        State verdict = kDead;
        for (;;) {
            if (cur >= slots || objChunks[cur].headerChunk < 0) {
                verdict = kDead;
                break;
            }
            if (state[cur] == kLive || state[cur] == kDead) {
                verdict = static_cast<State>(state[cur]);
                break;
            }
            if (state[cur] == kVisiting) { // a loop of parents never reaches the root
                verdict = kDead;
                break;
            }
            state[cur] = kVisiting;
            chain.push_back(cur);
            uint32_t p = parentOf[cur];
            if (p == kObjIdRoot) {
                verdict = kLive;
                break;
            }
            if (p < kFirstOrdinaryId || p >= slots || typeOf[p] != kTypeDirectory) {
                verdict = kDead;
                break;
            }
            cur = p;
        }
        for (uint32_t c : chain)
            state[c] = verdict;
    }

    auto root = std::make_unique<Node>();
    root->text = "/";
    root->icon = kFolderIcon;
    if (slots > kObjIdRoot && objChunks[kObjIdRoot].headerChunk >= 0) {
        decodeEntry(kObjIdRoot, root->entry);
        if (root->entry.objType != kTypeDirectory) {
            warn("the root header does not describe a directory; it is shown as one");
            root->entry.objType = kTypeDirectory;
        }
    } else {
        root->entry.objType = kTypeDirectory;
        root->entry.mode = kModeDirectory | 0755;
        root->entry.objId = kObjIdRoot;
    }
    setNode(kObjIdRoot, root.get());
    nodeTable.resize(slots > kObjIdRoot + 1 ? slots : kObjIdRoot + 1, nullptr);

    // Nodes are made in id order, then hung under their parents; the sort
    // below gives the final order.
    std::vector<std::unique_ptr<Node>> made(slots);
    for (uint32_t id = kFirstOrdinaryId; id < slots; ++id) {
        if (objChunks[id].headerChunk < 0)
            continue;
        if (state[id] != kLive) {
            ++info_.leftOut;
            continue;
        }
        auto node = std::make_unique<Node>();
        decodeEntry(id, node->entry);
        node->text = node->entry.name;
        node->icon = iconFor(node->entry, node->text);
        nodeTable[id] = node.get();
        made[id] = std::move(node);
    }
    for (uint32_t id = kFirstOrdinaryId; id < slots; ++id) {
        if (!made[id])
            continue;
        Node* parent = parentOf[id] == kObjIdRoot ? root.get() : nodeTable[parentOf[id]];
        parent->addChild(std::move(made[id]));
    }
    if (info_.leftOut > 0)
        warn(std::to_string(info_.leftOut) +
             " objects were left out: deleted, or their folder is missing");

    sortTree(root.get());
    info_.objects = root->subtreeSize();
    setRoot(std::move(root));
}

bool Tyaffs2obj::decodeEntry(uint32_t id, TImgEntry& e) const {
    if (id >= objChunks.size() || objChunks[id].headerChunk < 0)
        return false;
    const std::byte* c = chunk(chunkTable[static_cast<size_t>(objChunks[id].headerChunk)]);
    ObjectHeader h = decodeHeader(c);
    e = TImgEntry{};
    e.name = std::move(h.name);
    e.objType = objTypeOf(h.type);
    e.mode = h.mode;
    e.uid = h.uid;
    e.gid = h.gid;
    e.atime = h.atime;
    e.mtime = h.mtime;
    e.ctime = h.ctime;
    switch (e.objType) {
    case kTypeFile:
        e.size = h.fileSize;
        break;
    case kTypeSymlink:
        e.alias = std::move(h.alias);
        break;
    case kTypeHardlink:
        e.linkInfo = h.equivId;
        break;
    case kTypeSpecial:
        e.rdev = decodeOldDev(h.rdev);
        break;
    default:
        break;
    }
    e.dataPos = -1;
    e.objId = id;
    return true;
}

bool Tyaffs2obj::GetEntry(uint32_t id, TImgEntry& entry) {
    if (Node* n = nodeFor(id)) {
        entry = n->entry;
        return true;
    }
    return decodeEntry(id, entry);
}

std::pair<const Tyaffs2obj::DataRef*, const Tyaffs2obj::DataRef*>
Tyaffs2obj::dataFrom(uint32_t objId, uint32_t first) const {
    if (objId >= objChunks.size())
        return {nullptr, nullptr};
    const ObjChunks& oc = objChunks[objId];
    const DataRef* b = dataIndex_.data() + oc.dataBegin;
    const DataRef* e = dataIndex_.data() + oc.dataEnd;
    b = std::lower_bound(b, e, first, [](const DataRef& d, uint32_t id) { return d.chunkId < id; });
    return {b, e};
}

size_t Tyaffs2obj::readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) {
    std::memset(out.data(), 0, out.size());
    const uint64_t end = offset + out.size();
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / kDataSize) + 1);
    for (; it != last; ++it) {
        const uint64_t at = uint64_t{it->chunkId - 1} * kDataSize;
        if (at >= end)
            break;
        const uint64_t from = std::max(at, offset);
        const uint64_t to = std::min(at + it->bytes, end);
        if (from < to)
            std::memcpy(out.data() + (from - offset), chunk(it->chunk) + (from - at),
                        static_cast<size_t>(to - from));
    }
    return out.size();
}

ContentRange Tyaffs2obj::nextImageData(const TImgEntry& e, uint64_t offset) {
    const uint64_t total = contentSize(e);
    auto [it, last] = dataFrom(e.objId, static_cast<uint32_t>(offset / kDataSize) + 1);
    if (it == last)
        return {total, total};
    // A run of consecutive chunk ids is one range of data.
    uint64_t begin = std::max(offset, uint64_t{it->chunkId - 1} * kDataSize);
    uint32_t id = it->chunkId;
    while (it + 1 != last && (it + 1)->chunkId == id + 1) {
        ++it;
        ++id;
    }
    return {begin, std::min(total, uint64_t{id} * kDataSize)};
}

std::vector<std::pair<std::string, std::string>> Tyaffs2obj::describe() const {
    return {
        {"format", "YAFFS2"},
        {"image size", std::to_string(size())},
        {"chunk size", "2048+64"},
        {"tag offset", std::to_string(info_.tagOffset)},
        {"erase marker", info_.tagOffset == kTagOffsetMarked ? "yes" : "no"},
        {"chunks", std::to_string(info_.chunkCount)},
        {"runs kept", std::to_string(info_.runsKept)},
        {"runs dropped", std::to_string(info_.runsDropped)},
        {"headers", std::to_string(info_.headers)},
        {"objects", std::to_string(info_.objects)},
        {"left out", std::to_string(info_.leftOut)},
        {"highest object id", std::to_string(maxObjId)},
    };
}

} // namespace korvane
