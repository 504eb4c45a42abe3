// The scan of a YAFFS2 image: which chunks count and in which order, every
// object's newest header, the tree, and each object's data chunks.
#include "header.h"
#include "model/error.h"
#include "model/tree_order.h"
#include "tags.h"
#include "tyaffs2obj.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace korvane {

using namespace yaffs2;

namespace {

const Message kScanning = msg("Scanning blocks");
const Message kBuilding = msg("Building the file list");
const Message kDone = msg("Done");

// Progress is looked at every so many pages (and at the last): asking the
// clock for every page of a large image costs more than the scan's own work.
constexpr uint64_t kProgressEvery = 1024;

bool dueNow(uint64_t i, uint64_t count) {
    return i % kProgressEvery == 0 || i + 1 == count;
}

// Uncorrectable chunks named one by one in the warnings; the rest are counted.
constexpr size_t kNamedEccFailures = 20;

struct Run {
    uint32_t sequence;
    uint32_t first;
    uint32_t last;
};

enum RecordState : uint8_t {
    kProgrammed,
    kErased,
    kZero,       // all-zero tags: the tail a writer leaves after special files
    kBadTags,    // the tag ECC cannot put the tags right
    kInBadBlock, // in a block marked bad
};

enum ChunkKind : uint8_t { kSkip, kHeader, kData };

// One per kept chunk: 16 bytes, since a 2 GiB image has a million of them.
// Header chunks keep the fields the scan decides with, read once (each header
// page read again later costs a cache miss on large images), in the places a
// data chunk keeps its chunk id and byte count.
struct ChunkInfo {
    uint32_t id = 0;
    uint32_t chunkId = 0; // header: the parent's id
    uint32_t bytes = 0;   // header: the file size it gives
    ChunkKind kind = kSkip;
    uint8_t type = 0; // header: the object type, 255 for any type past it

    uint32_t parent() const { return chunkId; }
    uint32_t fileSize() const { return bytes; }
};
static_assert(sizeof(ChunkInfo) == 16);

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

// Pages per erase block, as the image shows it: a block is written from its
// first page on with one sequence number, so a programmed page that follows an
// erased page or a page of another sequence number starts a block. The
// largest power of two that nine in ten such starts are multiples of.
uint32_t inferPagesPerBlock(const std::vector<PackedTags>& tags,
                            const std::vector<uint8_t>& state) {
    std::vector<uint32_t> starts;
    for (size_t q = 1; q < tags.size(); ++q) {
        if (state[q] != kProgrammed)
            continue;
        const bool afterErased = state[q - 1] == kErased;
        const bool newSequence =
            state[q - 1] == kProgrammed && tags[q - 1].sequence != tags[q].sequence;
        if (afterErased || newSequence)
            starts.push_back(static_cast<uint32_t>(q));
    }
    if (starts.empty())
        return 0;
    for (uint32_t p = 4096; p >= 4; p /= 2) {
        size_t fit =
            std::count_if(starts.begin(), starts.end(), [p](uint32_t q) { return q % p == 0; });
        if (fit * 10 >= starts.size() * 9)
            return p;
    }
    return 0;
}

// Reads the image's records a window at a time into a buffer of its own. On
// a mapped file this goes through system calls, so that a walk over every
// record of a large image leaves none of its pages resident. A last record
// cut short comes from the scan's padded copy.
class RecordWindows {
public:
    RecordWindows(const ImageSource& src, uint64_t recordSize, uint32_t count,
                  const std::byte* shortLast)
        : src_(src), recordSize_(recordSize), count_(count), shortLast_(shortLast),
          records_(static_cast<uint32_t>(std::max<uint64_t>(1, kWindowBytes / recordSize))) {}

    const std::byte* at(uint32_t q) {
        if (shortLast_ && q + 1 == count_)
            return shortLast_;
        if (q < begin_ || q >= end_) {
            begin_ = q;
            end_ = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{q} + records_, count_));
            buffer_.resize((end_ - begin_) * recordSize_);
            src_.readThrough(uint64_t{q} * recordSize_, MutableByteSpan(buffer_));
        }
        return buffer_.data() + (q - begin_) * recordSize_;
    }

private:
    static constexpr uint64_t kWindowBytes = 4u << 20;
    const ImageSource& src_;
    uint64_t recordSize_;
    uint32_t count_;
    const std::byte* shortLast_;
    uint32_t records_;
    uint32_t begin_ = 1;
    uint32_t end_ = 0;
    Bytes buffer_;
};

// A header chunk as read while its record passes by: the fields the scan
// decides with, and the index of its decoded entry (kNotDecoded when a newer
// header of its object took the place).
struct HeaderFields {
    static constexpr uint32_t kNotDecoded = ~0u;
    uint32_t position;
    uint32_t type;
    uint32_t parent;
    uint32_t fileSize;
    uint32_t entry;
};

// An object's newest header met so far: newest is the highest sequence
// number, then the highest position, as the chunk list orders them.
struct NewestHeader {
    uint32_t sequence = 0;
    uint32_t position = 0;
    uint32_t head = ~0u; // index into the headers met; ~0u for none yet
};

} // namespace

void Tyaffs2obj::Open() {
    JobReporter rep(onwk, kFlagYaffsScan);
    rep.send(0, 0, 1, kScanning);
    try {
        if (fixed_) {
            detection_ = Detection{};
            detection_.layout = *fixed_;
            detection_.given = true;
        } else {
            Message refusal;
            std::optional<Detection> found =
                detectLayout(ByteSpan(data(), size()), hints_, &refusal);
            if (!found)
                throw Error(refusal);
            detection_ = *found;
            if (detection_.given && detection_.passed == 0 && size() > 0)
                warn(msg("the layout given (%1) checks out on none of the sampled pages",
                         layoutMessage(detection_.layout)));
        }
        if (auto problem = layoutProblem(detection_.layout))
            throw Error(*problem);
        scan(rep);
    } catch (...) {
        rep.send(0, 0, 4, kDone);
        throw;
    }
    rep.send(0, 0, 4, kDone);
}

void Tyaffs2obj::scan(JobReporter& rep) {
    Layout& lay = detection_.layout;
    info_ = ScanInfo{};
    chunkTable.clear();
    objChunks.clear();
    dataIndex_.clear();
    fixes_.clear();
    lastRecord_.clear();
    nodeTable.clear();
    maxObjId = 0;

    // Record count: a last record cut short counts when its tags are there;
    // it is read through a copy padded with erased bytes.
    const uint64_t recordSize = lay.recordSize();
    const size_t total = size();
    uint64_t n = total / recordSize;
    const size_t rest = total % recordSize;
    const bool shortLast = rest >= lay.tagsAt() + kTagsSize;
    if (shortLast) {
        lastRecord_.assign(recordSize, std::byte{0xFF});
        std::memcpy(lastRecord_.data(), data() + n * recordSize, rest);
        ++n;
    }
    if (n > std::numeric_limits<uint32_t>::max())
        throw Error(
            msg("image too large: more than %1 pages", std::numeric_limits<uint32_t>::max()));
    info_.chunkCount = n;
    info_.tagOffset = lay.tagsAt();
    const auto count = static_cast<uint32_t>(n);
    const uint32_t dataSize = lay.chunkDataSize();

    // Tags of every record, checked with their ECC where the layout has one.
    std::vector<PackedTags> tags(count);
    std::vector<uint8_t> state(count, kProgrammed);
    RecordWindows windows(*image(), recordSize, count, shortLast ? lastRecord_.data() : nullptr);
    // Every header met, and the newest of each object decoded as it passes:
    // the tree takes those, so that no header page is read a second time, and
    // older copies cost no memory beyond their fields.
    std::vector<HeaderFields> heads;
    std::vector<TImgEntry> headEntries;
    std::vector<NewestHeader> newest;
    // The first spare byte of every record, for the bad block marks.
    std::vector<std::byte> marks(lay.hasBadBlockMarker() ? count : 0);
    for (uint32_t q = 0; q < count; ++q) {
        const std::byte* rec = windows.at(q);
        if (!marks.empty())
            marks[q] = rec[lay.pageSize];
        const std::byte* tp = rec + lay.tagsAt();
        const bool eccThere = lay.tagEcc && !lay.inbandTags &&
                              !(shortLast && q + 1 == count &&
                                rest < uint64_t{lay.tagsAt()} + kTagsSize + kTagEccSize);
        if (erasedTags(tp)) {
            state[q] = kErased;
            tags[q].sequence = kSeqErased;
        } else if (std::all_of(tp, tp + kTagsSize, [](std::byte b) { return b == std::byte{0}; })) {
            state[q] = kZero;
        } else if (eccThere) {
            switch (readCheckedTags(tp, lay.order, tags[q])) {
            case EccResult::kClean:
                break;
            case EccResult::kCorrected:
                ++info_.tagEccCorrected;
                break;
            case EccResult::kFailed:
                state[q] = kBadTags;
                ++info_.tagEccFailed;
                break;
            }
        } else {
            tags[q] = loadTags(tp, lay.order);
        }
        const uint32_t chunkId = tags[q].chunkId;
        if (state[q] == kProgrammed && (chunkId == 0 || (chunkId & kExtraHeaderFlag))) {
            heads.push_back({q, loadWord(rec + hdr::kType, lay.order),
                             loadWord(rec + hdr::kParent, lay.order),
                             loadWord(rec + hdr::kFileSize, lay.order), HeaderFields::kNotDecoded});
            const uint32_t id = (chunkId & kExtraHeaderFlag) ? tags[q].objectId & ~kExtraFlagsMask
                                                             : tags[q].objectId;
            const uint32_t seq = tags[q].sequence;
            if (validObjectId(id)) {
                if (newest.size() <= id)
                    newest.resize(id + 1);
                NewestHeader& best = newest[id];
                if (best.head == ~0u || seq > best.sequence ||
                    (seq == best.sequence && q > best.position)) {
                    uint32_t slot = static_cast<uint32_t>(headEntries.size());
                    if (best.head == ~0u) {
                        headEntries.emplace_back();
                    } else {
                        slot = heads[best.head].entry;
                        heads[best.head].entry = HeaderFields::kNotDecoded;
                    }
                    decodeEntryAt(0, rec, headEntries[slot]);
                    heads.back().entry = slot;
                    best = {seq, q, static_cast<uint32_t>(heads.size() - 1)};
                }
            }
        }
        if (dueNow(q, count))
            rep.progress(q, count - 1, 2, kScanning);
    }

    // Blocks marked bad: their first, second or last page has something other
    // than FF in the first spare byte. The block size must be known for this.
    if (lay.pagesPerBlock == 0)
        lay.pagesPerBlock = inferPagesPerBlock(tags, state);
    if (lay.hasBadBlockMarker() && lay.pagesPerBlock > 0) {
        const uint32_t ppb = lay.pagesPerBlock;
        for (uint64_t first = 0; first < count; first += ppb) {
            const uint64_t last = std::min<uint64_t>(first + ppb, count) - 1;
            bool bad = false;
            for (uint64_t q : {first, first + 1, last})
                if (q <= last && marks[q] != std::byte{0xFF})
                    bad = true;
            if (!bad)
                continue;
            ++info_.badBlocks;
            for (uint64_t q = first; q <= last; ++q)
                state[q] = kInBadBlock;
        }
    }

    // Runs of equal sequence numbers.
    std::vector<Run> runs;
    for (uint32_t q = 0; q < count; ++q) {
        if (state[q] == kBadTags || state[q] == kInBadBlock)
            continue;
        const uint32_t seq = tags[q].sequence;
        if (runs.empty() || runs.back().sequence != seq)
            runs.push_back({seq, q, q});
        else
            runs.back().last = q;
    }
    const size_t found = runs.size();
    runs = keepRuns(std::move(runs));
    info_.runsKept = runs.size();
    info_.runsDropped = found - runs.size();

    chunkTable.reserve(count);
    for (const Run& r : runs)
        for (uint32_t q = r.first; q <= r.last; ++q)
            if (state[q] != kBadTags && state[q] != kInBadBlock)
                chunkTable.push_back(q);

    // Data ECC of the kept chunks: flipped bits are noted for the reader.
    struct Uncorrectable {
        uint32_t chunk;
        uint32_t id;
        uint32_t chunkId;
    };
    std::vector<Uncorrectable> uncorrectable;
    if (lay.dataEcc != kEccNone && lay.spareSize > 0) {
        std::vector<EccFix> fixes;
        // In the order of the image, so that each window is read once.
        std::vector<uint32_t> byPlace(chunkTable);
        std::sort(byPlace.begin(), byPlace.end());
        for (size_t i = 0; i < byPlace.size(); ++i) {
            const uint32_t q = byPlace[i];
            if (state[q] != kProgrammed)
                continue;
            const std::byte* r = windows.at(q);
            fixes.clear();
            PageEccCheck c = checkDataEcc(r, lay.pageSize, lay.dataEcc,
                                          r + lay.pageSize + lay.dataEccOffset, fixes);
            info_.dataEccCorrected += c.corrected;
            info_.dataEccFailed += c.failed;
            for (const EccFix& f : fixes)
                fixes_.push_back({q, f});
            if (c.failed) {
                const PackedTags& t = tags[q];
                const bool extra = (t.chunkId & kExtraHeaderFlag) != 0;
                uncorrectable.push_back(
                    {q, extra ? t.objectId & ~kExtraFlagsMask : t.objectId, extra ? 0 : t.chunkId});
            }
            if (lay.inbandTags && !fixes.empty()) {
                Bytes scratch;
                tags[q] = loadTags(page(q, scratch) + lay.tagsAt(), lay.order);
            }
            if (dueNow(i, byPlace.size()))
                rep.progress(static_cast<int64_t>(i), static_cast<int64_t>(byPlace.size()) - 1, 2,
                             kScanning);
        }
        std::sort(fixes_.begin(), fixes_.end(),
                  [](const Fix& a, const Fix& b) { return a.chunk < b.chunk; });
    }

    // Classify every kept chunk, in sequence order.
    const size_t kept = chunkTable.size();
    std::vector<ChunkInfo> chunks(kept);
    Bytes scratch;
    // A header as read in passing; none when the data ECC put bits of it
    // right (or its tags changed with them): then its page is read again.
    auto passed = [&](uint32_t q) -> const HeaderFields* {
        auto it =
            std::lower_bound(heads.begin(), heads.end(), q,
                             [](const HeaderFields& h, uint32_t at) { return h.position < at; });
        return it != heads.end() && it->position == q && !hasFixes(q) ? &*it : nullptr;
    };
    auto headerFields = [&](uint32_t q) {
        if (const HeaderFields* h = passed(q))
            return *h;
        const std::byte* c = page(q, scratch);
        return HeaderFields{q, loadWord(c + hdr::kType, lay.order),
                            loadWord(c + hdr::kParent, lay.order),
                            loadWord(c + hdr::kFileSize, lay.order), 0};
    };
    for (size_t i = 0; i < kept; ++i) {
        const uint32_t q = chunkTable[i];
        const PackedTags& t = tags[q];
        ChunkInfo& ci = chunks[i];
        if (t.chunkId & kExtraHeaderFlag) {
            // Extra header information: trust it only when the header agrees.
            const HeaderFields h = headerFields(q);
            uint32_t type = t.objectId >> kExtraTypeShift;
            uint32_t parent = t.chunkId & ~kExtraFlagsMask;
            if (h.type == type && h.parent == parent) {
                ci.id = t.objectId & ~kExtraFlagsMask;
                ci.kind = kHeader;
            }
        } else if (t.chunkId == 0) {
            ci.id = t.objectId;
            ci.kind = kHeader;
        } else {
            ci.id = t.objectId;
            ci.chunkId = t.chunkId;
            ci.bytes = std::min(t.byteCount, dataSize);
            ci.kind = kData;
        }
        if (ci.kind != kSkip && !validObjectId(ci.id))
            ci.kind = kSkip;
        if (ci.kind == kHeader) {
            const HeaderFields h = headerFields(q);
            ci.type = static_cast<uint8_t>(std::min<uint32_t>(h.type, 255));
            ci.chunkId = h.parent;
            ci.bytes = h.fileSize;
        }
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
        if (dueNow(i, kept))
            rep.progress(static_cast<int64_t>(i), static_cast<int64_t>(kept) - 1, 3, kBuilding);
    }
    objChunks.resize(static_cast<size_t>(maxObjId) + 1);
    // The tags are all in the chunk list now.
    std::vector<PackedTags>().swap(tags);
    std::vector<uint8_t>().swap(state);

    // A data chunk that starts at or past the size a later header of its file
    // gives was cut off by a truncation: drop it. Walking backwards, keep the
    // smallest size of the headers seen so far per object.
    {
        std::vector<uint64_t> laterSize(objChunks.size(), std::numeric_limits<uint64_t>::max());
        for (size_t i = kept; i-- > 0;) {
            ChunkInfo& ci = chunks[i];
            if (ci.kind == kHeader) {
                if (ci.type == kHdrFile)
                    laterSize[ci.id] = std::min<uint64_t>(laterSize[ci.id], ci.fileSize());
            } else if (ci.kind == kData) {
                if (uint64_t{ci.chunkId - 1} * dataSize >= laterSize[ci.id])
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
        const ChunkInfo& ci = chunks[static_cast<size_t>(objChunks[id].headerChunk)];
        parentOf[id] = ci.parent();
        typeOf[id] = objTypeOf(ci.type);
    }
    enum Liveness : uint8_t { kUnknown, kVisiting, kLive, kDead };
    std::vector<uint8_t> live(slots, kUnknown);
    if (slots > kObjIdRoot)
        live[kObjIdRoot] = kLive;
    std::vector<uint32_t> chain;
    for (uint32_t id = 0; id < slots; ++id) {
        if (objChunks[id].headerChunk < 0 || live[id] != kUnknown)
            continue;
        chain.clear();
        uint32_t cur = id;
        Liveness verdict = kDead;
        for (;;) {
            if (cur >= slots || objChunks[cur].headerChunk < 0) {
                verdict = kDead;
                break;
            }
            if (live[cur] == kLive || live[cur] == kDead) {
                verdict = static_cast<Liveness>(live[cur]);
                break;
            }
            if (live[cur] == kVisiting) { // a loop of parents never reaches the root
                verdict = kDead;
                break;
            }
            live[cur] = kVisiting;
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
            live[c] = verdict;
    }

    auto root = std::make_unique<Node>();
    root->text = "/";
    root->icon = kFolderIcon;
    if (slots > kObjIdRoot && objChunks[kObjIdRoot].headerChunk >= 0) {
        decodeEntry(kObjIdRoot, root->entry);
        if (root->entry.objType != kTypeDirectory) {
            warn(msg("the root header does not describe a directory; it is shown as one"));
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
        if (live[id] != kLive) {
            ++info_.leftOut;
            continue;
        }
        auto node = std::make_unique<Node>();
        const uint32_t q = chunkTable[static_cast<size_t>(objChunks[id].headerChunk)];
        const HeaderFields* h = passed(q);
        if (h && h->entry != HeaderFields::kNotDecoded) {
            node->entry = std::move(headEntries[h->entry]);
            node->entry.objId = id;
        } else {
            decodeEntry(id, node->entry);
        }
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
        warn(msg("%1 objects were left out: deleted, or their folder is missing", info_.leftOut));
    if (info_.badBlocks > 0)
        warn(msg("%1 blocks marked bad were skipped", info_.badBlocks));
    if (info_.tagEccFailed > 0)
        warn(msg("%1 pages were skipped: their tags are damaged beyond what the tag ECC "
                 "corrects",
                 info_.tagEccFailed));
    for (size_t k = 0; k < uncorrectable.size() && k < kNamedEccFailures; ++k) {
        const Uncorrectable& u = uncorrectable[k];
        const uint64_t block = lay.pagesPerBlock ? u.chunk / lay.pagesPerBlock : u.chunk;
        Node* owner = u.id < nodeTable.size() ? nodeTable[u.id] : nullptr;
        const Message what = owner ? verbatim("/" + pathFromRoot(owner)) : msg("object %1", u.id);
        if (u.chunkId == 0)
            warn(msg("page %1 (block %2): the data ECC cannot correct the header of %3", u.chunk,
                     block, what));
        else
            warn(msg("page %1 (block %2): the data ECC cannot correct bytes %3 to %4 of %5",
                     u.chunk, block, uint64_t{u.chunkId - 1} * dataSize,
                     uint64_t{u.chunkId} * dataSize - 1, what));
    }
    if (uncorrectable.size() > kNamedEccFailures)
        warn(msg("the data ECC cannot correct %1 more pages",
                 uncorrectable.size() - kNamedEccFailures));

    sortTree(root.get());
    info_.objects = root->subtreeSize();
    setRoot(std::move(root));
}

} // namespace korvane
