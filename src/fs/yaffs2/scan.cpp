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

// One scan of an image, step by step: the records' tags (and every header's
// fields as they pass), the bad blocks, the runs kept, the data ECC, each
// kept chunk's kind, the truncated data left out, the data index, which
// objects reach the root, the tree, and the warnings.
class yaffs2::Scanner {
public:
    Scanner(Tyaffs2obj& img, JobReporter& rep)
        : img_(img), rep_(rep), lay_(img.detection_.layout) {}

    void run() {
        reset();
        countRecords();
        RecordWindows windows(*img_.image(), recordSize_, count_,
                              shortLast_ ? img_.lastRecord_.data() : nullptr);
        readRecords(windows);
        markBadBlocks();
        keepChunks();
        checkDataEcc(windows);
        classifyChunks();
        dropTruncatedData();
        indexData();
        findLiveObjects();
        auto root = buildTree();
        reportDamage();
        sortTree(root.get());
        img_.info_.objects = root->subtreeSize();
        img_.setRoot(std::move(root));
    }

private:
    struct Uncorrectable {
        uint32_t chunk;
        uint32_t id;
        uint32_t chunkId;
    };
    enum Liveness : uint8_t { kUnknown, kVisiting, kLive, kDead };

    void reset();
    void countRecords();
    void readRecords(RecordWindows& windows);
    void readTags(uint32_t q, const std::byte* rec);
    void noteHeader(uint32_t q, const std::byte* rec);
    void markBadBlocks();
    void keepChunks();
    void checkDataEcc(RecordWindows& windows);
    const HeaderFields* passed(uint32_t q) const;
    HeaderFields headerFields(uint32_t q);
    void classifyChunk(size_t i);
    void classifyChunks();
    void dropTruncatedData();
    void indexData();
    Liveness followParents(uint32_t id);
    void findLiveObjects();
    std::unique_ptr<Node> makeRoot();
    std::unique_ptr<Node> buildTree();
    void reportDamage();

    Tyaffs2obj& img_;
    JobReporter& rep_;
    Layout& lay_;
    uint64_t recordSize_ = 0;
    size_t rest_ = 0; // bytes of a last record cut short
    bool shortLast_ = false;
    uint32_t count_ = 0;
    uint32_t dataSize_ = 0;

    // Tags of every record, checked with their ECC where the layout has one.
    std::vector<PackedTags> tags_;
    std::vector<uint8_t> state_;
    // Every header met, and the newest of each object decoded as it passes:
    // the tree takes those, so that no header page is read a second time, and
    // older copies cost no memory beyond their fields.
    std::vector<HeaderFields> heads_;
    std::vector<TImgEntry> headEntries_;
    std::vector<NewestHeader> newest_;
    // The first spare byte of every record, for the bad block marks.
    std::vector<std::byte> marks_;
    std::vector<Uncorrectable> uncorrectable_;
    std::vector<ChunkInfo> chunks_;
    Bytes scratch_;
    // Per object id: the parent and type its newest header gives, and
    // whether it reaches the root.
    std::vector<uint32_t> parentOf_;
    std::vector<uint8_t> typeOf_;
    std::vector<uint8_t> live_;
    std::vector<uint32_t> chain_;
};

void Tyaffs2obj::scan(JobReporter& rep) {
    Scanner(*this, rep).run();
}

namespace yaffs2 {

void Scanner::reset() {
    img_.info_ = Tyaffs2obj::ScanInfo{};
    img_.chunkTable.clear();
    img_.objChunks.clear();
    img_.dataIndex_.clear();
    img_.fixes_.clear();
    img_.lastRecord_.clear();
    img_.nodeTable.clear();
    img_.maxObjId = 0;
}

// Record count: a last record cut short counts when its tags are there; it is
// read through a copy padded with erased bytes.
void Scanner::countRecords() {
    recordSize_ = lay_.recordSize();
    const size_t total = img_.size();
    uint64_t n = total / recordSize_;
    rest_ = total % recordSize_;
    shortLast_ = rest_ >= lay_.tagsAt() + kTagsSize;
    if (shortLast_) {
        img_.lastRecord_.assign(recordSize_, std::byte{0xFF});
        std::memcpy(img_.lastRecord_.data(), img_.data() + n * recordSize_, rest_);
        ++n;
    }
    if (n > std::numeric_limits<uint32_t>::max())
        throw Error(
            msg("image too large: more than %1 pages", std::numeric_limits<uint32_t>::max()));
    img_.info_.chunkCount = n;
    img_.info_.tagOffset = lay_.tagsAt();
    count_ = static_cast<uint32_t>(n);
    dataSize_ = lay_.chunkDataSize();
}

void Scanner::readRecords(RecordWindows& windows) {
    tags_.assign(count_, PackedTags{});
    state_.assign(count_, kProgrammed);
    marks_.assign(lay_.hasBadBlockMarker() ? count_ : 0, std::byte{0});
    for (uint32_t q = 0; q < count_; ++q) {
        const std::byte* rec = windows.at(q);
        if (!marks_.empty())
            marks_[q] = rec[lay_.pageSize];
        readTags(q, rec);
        const uint32_t chunkId = tags_[q].chunkId;
        if (state_[q] == kProgrammed && (chunkId == 0 || (chunkId & kExtraHeaderFlag)))
            noteHeader(q, rec);
        if (dueNow(q, count_))
            rep_.progress(q, count_ - 1, 2, kScanning);
    }
}

void Scanner::readTags(uint32_t q, const std::byte* rec) {
    const std::byte* tp = rec + lay_.tagsAt();
    const bool eccThere = lay_.tagEcc && !lay_.inbandTags &&
                          !(shortLast_ && q + 1 == count_ &&
                            rest_ < uint64_t{lay_.tagsAt()} + kTagsSize + kTagEccSize);
    if (erasedTags(tp)) {
        state_[q] = kErased;
        tags_[q].sequence = kSeqErased;
    } else if (std::all_of(tp, tp + kTagsSize, [](std::byte b) { return b == std::byte{0}; })) {
        state_[q] = kZero;
    } else if (eccThere) {
        switch (readCheckedTags(tp, lay_.order, tags_[q])) {
        case EccResult::kClean:
            break;
        case EccResult::kCorrected:
            ++img_.info_.tagEccCorrected;
            break;
        case EccResult::kFailed:
            state_[q] = kBadTags;
            ++img_.info_.tagEccFailed;
            break;
        }
    } else {
        tags_[q] = loadTags(tp, lay_.order);
    }
}

// Keeps the header's fields, and decodes it when it is its object's newest
// so far (taking the place of the older one's entry).
void Scanner::noteHeader(uint32_t q, const std::byte* rec) {
    const ByteOrder order = lay_.headerOrder();
    heads_.push_back({q, loadWord(rec + hdr::kType, order), loadWord(rec + hdr::kParent, order),
                      loadWord(rec + hdr::kFileSize, order), HeaderFields::kNotDecoded});
    const PackedTags& t = tags_[q];
    const uint32_t id = (t.chunkId & kExtraHeaderFlag) ? t.objectId & ~kExtraFlagsMask : t.objectId;
    const uint32_t seq = t.sequence;
    if (!validObjectId(id))
        return;
    if (newest_.size() <= id)
        newest_.resize(id + 1);
    NewestHeader& best = newest_[id];
    if (best.head != ~0u && (seq < best.sequence || (seq == best.sequence && q <= best.position)))
        return;
    uint32_t slot = static_cast<uint32_t>(headEntries_.size());
    if (best.head == ~0u) {
        headEntries_.emplace_back();
    } else {
        slot = heads_[best.head].entry;
        heads_[best.head].entry = HeaderFields::kNotDecoded;
    }
    img_.decodeEntryAt(0, rec, headEntries_[slot]);
    heads_.back().entry = slot;
    best = {seq, q, static_cast<uint32_t>(heads_.size() - 1)};
}

// Blocks marked bad: their first, second or last page has something other
// than FF in the first spare byte. The block size must be known for this.
void Scanner::markBadBlocks() {
    if (lay_.pagesPerBlock == 0)
        lay_.pagesPerBlock = inferPagesPerBlock(tags_, state_);
    if (!lay_.hasBadBlockMarker() || lay_.pagesPerBlock == 0)
        return;
    const uint32_t ppb = lay_.pagesPerBlock;
    for (uint64_t first = 0; first < count_; first += ppb) {
        const uint64_t last = std::min<uint64_t>(first + ppb, count_) - 1;
        bool bad = false;
        for (uint64_t q : {first, first + 1, last})
            if (q <= last && marks_[q] != std::byte{0xFF})
                bad = true;
        if (!bad)
            continue;
        ++img_.info_.badBlocks;
        for (uint64_t q = first; q <= last; ++q)
            state_[q] = kInBadBlock;
    }
}

// Runs of equal sequence numbers; the chunks of the runs that belong to the
// filesystem make the chunk list, in sequence order.
void Scanner::keepChunks() {
    std::vector<Run> runs;
    for (uint32_t q = 0; q < count_; ++q) {
        if (state_[q] == kBadTags || state_[q] == kInBadBlock)
            continue;
        const uint32_t seq = tags_[q].sequence;
        if (runs.empty() || runs.back().sequence != seq)
            runs.push_back({seq, q, q});
        else
            runs.back().last = q;
    }
    const size_t found = runs.size();
    runs = keepRuns(std::move(runs));
    img_.info_.runsKept = runs.size();
    img_.info_.runsDropped = found - runs.size();

    img_.chunkTable.reserve(count_);
    for (const Run& r : runs)
        for (uint32_t q = r.first; q <= r.last; ++q)
            if (state_[q] != kBadTags && state_[q] != kInBadBlock)
                img_.chunkTable.push_back(q);
}

// Data ECC of the kept chunks: flipped bits are noted for the reader.
void Scanner::checkDataEcc(RecordWindows& windows) {
    if (lay_.dataEcc == kEccNone || lay_.spareSize == 0)
        return;
    std::vector<EccFix> fixes;
    // In the order of the image, so that each window is read once.
    std::vector<uint32_t> byPlace(img_.chunkTable);
    std::sort(byPlace.begin(), byPlace.end());
    for (size_t i = 0; i < byPlace.size(); ++i) {
        const uint32_t q = byPlace[i];
        if (state_[q] != kProgrammed)
            continue;
        const std::byte* r = windows.at(q);
        fixes.clear();
        PageEccCheck c = yaffs2::checkDataEcc(r, lay_.pageSize, lay_.dataEcc,
                                              r + lay_.pageSize + lay_.dataEccOffset, fixes);
        img_.info_.dataEccCorrected += c.corrected;
        img_.info_.dataEccFailed += c.failed;
        for (const EccFix& f : fixes)
            img_.fixes_.push_back({q, f});
        if (c.failed) {
            const PackedTags& t = tags_[q];
            const bool extra = (t.chunkId & kExtraHeaderFlag) != 0;
            uncorrectable_.push_back(
                {q, extra ? t.objectId & ~kExtraFlagsMask : t.objectId, extra ? 0 : t.chunkId});
        }
        if (lay_.inbandTags && !fixes.empty())
            tags_[q] = loadTags(img_.page(q, scratch_) + lay_.tagsAt(), lay_.order);
        if (dueNow(i, byPlace.size()))
            rep_.progress(static_cast<int64_t>(i), static_cast<int64_t>(byPlace.size()) - 1, 2,
                          kScanning);
    }
    std::sort(img_.fixes_.begin(), img_.fixes_.end(),
              [](const Tyaffs2obj::Fix& a, const Tyaffs2obj::Fix& b) { return a.chunk < b.chunk; });
}

// A header as read in passing; none when the data ECC put bits of it right
// (or its tags changed with them): then its page is read again.
const HeaderFields* Scanner::passed(uint32_t q) const {
    auto it = std::lower_bound(heads_.begin(), heads_.end(), q,
                               [](const HeaderFields& h, uint32_t at) { return h.position < at; });
    return it != heads_.end() && it->position == q && !img_.hasFixes(q) ? &*it : nullptr;
}

HeaderFields Scanner::headerFields(uint32_t q) {
    if (const HeaderFields* h = passed(q))
        return *h;
    const std::byte* c = img_.page(q, scratch_);
    const ByteOrder order = lay_.headerOrder();
    return HeaderFields{q, loadWord(c + hdr::kType, order), loadWord(c + hdr::kParent, order),
                        loadWord(c + hdr::kFileSize, order), 0};
}

void Scanner::classifyChunk(size_t i) {
    const uint32_t q = img_.chunkTable[i];
    const PackedTags& t = tags_[q];
    ChunkInfo& ci = chunks_[i];
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
        ci.bytes = std::min(t.byteCount, dataSize_);
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
    if (ci.kind == kSkip)
        return;
    img_.maxObjId = std::max(img_.maxObjId, ci.id);
    if (img_.objChunks.size() <= ci.id)
        img_.objChunks.resize(static_cast<size_t>(ci.id) + 1);
    Tyaffs2obj::ObjChunks& oc = img_.objChunks[ci.id];
    if (oc.firstChunk < 0)
        oc.firstChunk = static_cast<int64_t>(i);
    if (ci.kind == kHeader) {
        oc.headerChunk = static_cast<int64_t>(i);
        ++img_.info_.headers;
    }
}

// Every kept chunk, in sequence order: a header, data, or neither.
void Scanner::classifyChunks() {
    const size_t kept = img_.chunkTable.size();
    chunks_.assign(kept, ChunkInfo{});
    for (size_t i = 0; i < kept; ++i) {
        classifyChunk(i);
        if (dueNow(i, kept))
            rep_.progress(static_cast<int64_t>(i), static_cast<int64_t>(kept) - 1, 3, kBuilding);
    }
    img_.objChunks.resize(static_cast<size_t>(img_.maxObjId) + 1);
    // The tags are all in the chunk list now.
    std::vector<PackedTags>().swap(tags_);
    std::vector<uint8_t>().swap(state_);
}

// A data chunk that starts at or past the size a later header of its file
// gives was cut off by a truncation: drop it. Walking backwards, keep the
// smallest size of the headers seen so far per object.
void Scanner::dropTruncatedData() {
    std::vector<uint64_t> laterSize(img_.objChunks.size(), std::numeric_limits<uint64_t>::max());
    for (size_t i = chunks_.size(); i-- > 0;) {
        ChunkInfo& ci = chunks_[i];
        if (ci.kind == kHeader) {
            if (ci.type == kHdrFile)
                laterSize[ci.id] = std::min<uint64_t>(laterSize[ci.id], ci.fileSize());
        } else if (ci.kind == kData) {
            if (uint64_t{ci.chunkId - 1} * dataSize_ >= laterSize[ci.id])
                ci.kind = kSkip;
        }
    }
}

// Data index: each object's data chunks, by chunk id, newest copy only.
void Scanner::indexData() {
    auto& index = img_.dataIndex_;
    auto& objChunks = img_.objChunks;
    std::vector<uint32_t> start(objChunks.size() + 1, 0);
    for (const ChunkInfo& ci : chunks_)
        if (ci.kind == kData)
            ++start[ci.id + 1];
    for (size_t k = 1; k < start.size(); ++k)
        start[k] += start[k - 1];
    index.resize(start.back());
    std::vector<uint32_t> fill(start.begin(), start.end() - 1);
    for (size_t i = 0; i < chunks_.size(); ++i) {
        const ChunkInfo& ci = chunks_[i];
        if (ci.kind == kData)
            index[fill[ci.id]++] = {img_.chunkTable[i], ci.chunkId, ci.bytes};
    }
    uint32_t out = 0;
    for (size_t id = 0; id < objChunks.size(); ++id) {
        auto first = index.begin() + start[id];
        auto last = index.begin() + start[id + 1];
        // Stable: copies of one chunk id stay in sequence order, newest last.
        std::stable_sort(first, last,
                         [](const Tyaffs2obj::DataRef& a, const Tyaffs2obj::DataRef& b) {
                             return a.chunkId < b.chunkId;
                         });
        objChunks[id].dataBegin = out;
        for (auto it = first; it != last; ++it) {
            if (it + 1 != last && (it + 1)->chunkId == it->chunkId)
                continue;
            index[out++] = *it;
        }
        objChunks[id].dataEnd = out;
    }
    index.resize(out);
}

// Follows the parents from id until an object whose fate is known, the root,
// or a break in the chain; everything on the way shares the verdict.
Scanner::Liveness Scanner::followParents(uint32_t id) {
    const size_t slots = img_.objChunks.size();
    chain_.clear();
    uint32_t cur = id;
    Liveness verdict = kDead;
    for (;;) {
        if (cur >= slots || img_.objChunks[cur].headerChunk < 0)
            break;
        if (live_[cur] == kLive || live_[cur] == kDead) {
            verdict = static_cast<Liveness>(live_[cur]);
            break;
        }
        if (live_[cur] == kVisiting) // a loop of parents never reaches the root
            break;
        live_[cur] = kVisiting;
        chain_.push_back(cur);
        const uint32_t p = parentOf_[cur];
        if (p == kObjIdRoot) {
            verdict = kLive;
            break;
        }
        if (p < kFirstOrdinaryId || p >= slots || typeOf_[p] != kTypeDirectory)
            break;
        cur = p;
    }
    for (uint32_t c : chain_)
        live_[c] = verdict;
    return verdict;
}

// An object is shown when its newest header's parent chain reaches the root
// through directories; a parent of 0 or 2 to 256 (lost+found, unlinked,
// deleted) removes it and everything below it.
void Scanner::findLiveObjects() {
    const size_t slots = img_.objChunks.size();
    parentOf_.assign(slots, 0);
    typeOf_.assign(slots, kTypeUnknown);
    for (uint32_t id = 0; id < slots; ++id) {
        if (img_.objChunks[id].headerChunk < 0)
            continue;
        const ChunkInfo& ci = chunks_[static_cast<size_t>(img_.objChunks[id].headerChunk)];
        parentOf_[id] = ci.parent();
        typeOf_[id] = objTypeOf(ci.type);
    }
    live_.assign(slots, kUnknown);
    if (slots > kObjIdRoot)
        live_[kObjIdRoot] = kLive;
    for (uint32_t id = 0; id < slots; ++id)
        if (img_.objChunks[id].headerChunk >= 0 && live_[id] == kUnknown)
            followParents(id);
}

std::unique_ptr<Node> Scanner::makeRoot() {
    const size_t slots = img_.objChunks.size();
    auto root = std::make_unique<Node>();
    root->text = "/";
    root->icon = kFolderIcon;
    if (slots > kObjIdRoot && img_.objChunks[kObjIdRoot].headerChunk >= 0) {
        img_.decodeEntry(kObjIdRoot, root->entry);
        if (root->entry.objType != kTypeDirectory) {
            img_.warn(msg("the root header does not describe a directory; it is shown as one"));
            root->entry.objType = kTypeDirectory;
        }
    } else {
        root->entry.objType = kTypeDirectory;
        root->entry.mode = kModeDirectory | 0755;
        root->entry.objId = kObjIdRoot;
    }
    img_.setNode(kObjIdRoot, root.get());
    img_.nodeTable.resize(slots > kObjIdRoot + 1 ? slots : kObjIdRoot + 1, nullptr);
    return root;
}

// Nodes are made in id order, then hung under their parents; sorting the
// tree gives the final order.
std::unique_ptr<Node> Scanner::buildTree() {
    const size_t slots = img_.objChunks.size();
    auto root = makeRoot();
    std::vector<std::unique_ptr<Node>> made(slots);
    for (uint32_t id = kFirstOrdinaryId; id < slots; ++id) {
        if (img_.objChunks[id].headerChunk < 0)
            continue;
        if (live_[id] != kLive) {
            ++img_.info_.leftOut;
            continue;
        }
        auto node = std::make_unique<Node>();
        const uint32_t q = img_.chunkTable[static_cast<size_t>(img_.objChunks[id].headerChunk)];
        const HeaderFields* h = passed(q);
        if (h && h->entry != HeaderFields::kNotDecoded) {
            node->entry = std::move(headEntries_[h->entry]);
            node->entry.objId = id;
        } else {
            img_.decodeEntry(id, node->entry);
        }
        node->text = node->entry.name;
        node->icon = iconFor(node->entry, node->text);
        img_.nodeTable[id] = node.get();
        made[id] = std::move(node);
    }
    for (uint32_t id = kFirstOrdinaryId; id < slots; ++id) {
        if (!made[id])
            continue;
        Node* parent = parentOf_[id] == kObjIdRoot ? root.get() : img_.nodeTable[parentOf_[id]];
        parent->addChild(std::move(made[id]));
    }
    return root;
}

void Scanner::reportDamage() {
    const Tyaffs2obj::ScanInfo& info = img_.info_;
    if (info.leftOut > 0)
        img_.warn(
            msg("%1 objects were left out: deleted, or their folder is missing", info.leftOut));
    if (info.badBlocks > 0)
        img_.warn(msg("%1 blocks marked bad were skipped", info.badBlocks));
    if (info.tagEccFailed > 0)
        img_.warn(msg("%1 pages were skipped: their tags are damaged beyond what the tag ECC "
                      "corrects",
                      info.tagEccFailed));
    for (size_t k = 0; k < uncorrectable_.size() && k < kNamedEccFailures; ++k) {
        const Uncorrectable& u = uncorrectable_[k];
        const uint64_t block = lay_.pagesPerBlock ? u.chunk / lay_.pagesPerBlock : u.chunk;
        Node* owner = u.id < img_.nodeTable.size() ? img_.nodeTable[u.id] : nullptr;
        const Message what = owner ? verbatim("/" + pathFromRoot(owner)) : msg("object %1", u.id);
        if (u.chunkId == 0)
            img_.warn(msg("page %1 (block %2): the data ECC cannot correct the header of %3",
                          u.chunk, block, what));
        else
            img_.warn(msg("page %1 (block %2): the data ECC cannot correct bytes %3 to %4 of %5",
                          u.chunk, block, uint64_t{u.chunkId - 1} * dataSize_,
                          uint64_t{u.chunkId} * dataSize_ - 1, what));
    }
    if (uncorrectable_.size() > kNamedEccFailures)
        img_.warn(msg("the data ECC cannot correct %1 more pages",
                      uncorrectable_.size() - kNamedEccFailures));
}

} // namespace yaffs2

} // namespace korvane
