#include "detect.h"

#include "ecc.h"
#include "header.h"
#include "tags.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace korvane::yaffs2 {

Layout LayoutHints::layout() const {
    Layout l;
    l.pageSize = pageSize.value_or(kDefaultLayout.pageSize);
    l.spareSize = spareSize.value_or(kDefaultLayout.spareSize);
    l.inbandTags = inbandTags;
    l.tagOffset = inbandTags ? 0 : tagOffset.value_or(0);
    l.tagEcc = !noTagEcc && !inbandTags && l.tagOffset + kTagsSize + kTagEccSize <= l.spareSize;
    l.order = order.value_or(ByteOrder::kLittle);
    return l;
}

Layout LayoutHints::applyTo(Layout base) const {
    Layout l = base;
    l.pageSize = pageSize.value_or(l.pageSize);
    l.spareSize = spareSize.value_or(l.spareSize);
    if (order && *order != l.order) { // the order the image has keeps its header swap
        l.order = *order;
        l.swappedHeaders = false;
    }
    if (inbandTags) {
        l.inbandTags = true;
        l.tagOffset = 0;
    } else if (tagOffset) {
        l.inbandTags = false;
        l.tagOffset = *tagOffset;
    }
    l.tagEcc = !noTagEcc && !l.inbandTags && (base.tagEcc || base.inbandTags) &&
               l.tagOffset + kTagsSize + kTagEccSize <= l.spareSize;
    if (l.dataEcc != kEccNone && layoutProblem(l)) {
        if (auto at = standardDataEccOffset(l))
            l.dataEccOffset = *at;
        else
            l.dataEcc = kEccNone;
    }
    if (l.dataEcc == kEccNone)
        l.dataEccOffset = 0;
    l.pagesPerBlock = 0;
    return l;
}

namespace {

constexpr uint32_t kPageSizes[] = {512, 1024, 2048, 4096, 8192, 16384};
// Spare sizes of common NAND chips, and of images written as records of a page
// and its tags (16 or 28 bytes) or of pages alone (0).
constexpr uint32_t kSpareSizes[] = {0,   16,  28,  32,  64,  128, 218,  224,
                                    256, 368, 436, 448, 512, 640, 1024, 1280};
constexpr uint32_t kHeadSamples = 16;
constexpr uint32_t kSpreadSamples = 48;
constexpr uint32_t kMaxChunkId = 0x01000000; // far beyond any file YAFFS2 holds

// Points a sampled page earns for a candidate.
constexpr int kPointsData = 2;
constexpr int kPointsFullData = 3; // a data chunk as full as the layout's chunks
constexpr int kPointsHeader = 4;
constexpr int kPointsRoot = 8;
constexpr int kPointsTagEcc = 3;
constexpr int kPointsSameSequence = 1; // the next page is of the same block
constexpr int kPointsWrong = -6;

enum Verdict : uint8_t { kWrong, kOther, kData, kFullData, kHeader, kRoot };

bool ordinaryId(uint32_t id) {
    return id >= kFirstOrdinaryId && id <= kMaxObjId;
}

bool validParent(uint32_t parent) {
    return parent == kObjIdRoot || (parent >= 2 && parent <= 4) || ordinaryId(parent);
}

// Does the page read as the header of object id?
bool headerChecks(const std::byte* page, uint32_t id, uint32_t type, ByteOrder o) {
    const uint32_t parent = loadWord(page + hdr::kParent, o);
    if (type < kHdrFile || type > kHdrSpecial || !validParent(parent))
        return false;
    if (!std::memchr(page + hdr::kName, 0, hdr::kNameSize))
        return false;
    if (id == kObjIdRoot)
        return type == kHdrDirectory && parent == kObjIdRoot;
    const bool named = page[hdr::kName] != std::byte{0};
    return named || parent < kFirstOrdinaryId;
}

Verdict judge(const PackedTags& t, const std::byte* page, const Layout& l, ByteOrder o) {
    if (t.sequence == 0 || t.sequence > kSeqHighest)
        return kWrong;
    if (t.chunkId & kExtraHeaderFlag) {
        const uint32_t id = t.objectId & ~kExtraFlagsMask;
        const uint32_t type = t.objectId >> kExtraTypeShift;
        const uint32_t parent = t.chunkId & ~kExtraFlagsMask;
        if (!ordinaryId(id) || loadWord(page + hdr::kType, o) != type ||
            loadWord(page + hdr::kParent, o) != parent || !headerChecks(page, id, type, o))
            return kWrong;
        return kHeader;
    }
    if (t.chunkId == 0) {
        if (t.objectId != kObjIdRoot && !ordinaryId(t.objectId))
            return t.sequence == kSeqCheckpoint || t.objectId == kObjIdSummary ? kOther : kWrong;
        if (!headerChecks(page, t.objectId, loadWord(page + hdr::kType, o), o))
            return kWrong;
        return t.objectId == kObjIdRoot ? kRoot : kHeader;
    }
    if (t.sequence == kSeqCheckpoint || t.objectId == kObjIdSummary)
        return kOther;
    if (!ordinaryId(t.objectId) || t.chunkId >= kMaxChunkId || t.byteCount == 0 ||
        t.byteCount > l.chunkDataSize())
        return kWrong;
    return t.byteCount == l.chunkDataSize() ? kFullData : kData;
}

int points(Verdict v) {
    switch (v) {
    case kWrong:
        return kPointsWrong;
    case kOther:
        return 1;
    case kData:
        return kPointsData;
    case kFullData:
        return kPointsFullData;
    case kHeader:
        return kPointsHeader;
    case kRoot:
        return kPointsRoot;
    }
    return 0;
}

bool allBytes(const std::byte* p, size_t n, std::byte v) {
    return std::all_of(p, p + n, [v](std::byte b) { return b == v; });
}

// The sampled record indices: the first records, and pairs of neighbours
// spread over the image.
std::vector<uint64_t> samplePlan(uint64_t records) {
    std::vector<uint64_t> plan;
    for (uint64_t k = 0; k < std::min<uint64_t>(records, kHeadSamples); ++k)
        plan.push_back(k);
    if (records > kHeadSamples)
        for (uint64_t j = 0; j < kSpreadSamples; ++j) {
            uint64_t k = records * (2 * j + 1) / (2 * kSpreadSamples);
            plan.push_back(k);
            if (k + 1 < records)
                plan.push_back(k + 1);
        }
    std::sort(plan.begin(), plan.end());
    plan.erase(std::unique(plan.begin(), plan.end()), plan.end());
    return plan;
}

// How one variant (byte order, with or without tag ECC) of a candidate fares.
struct Tally {
    Layout layout;
    int score = 0;
    uint32_t sampled = 0;
    uint32_t passed = 0;
    uint32_t wrong = 0;
    uint32_t headers = 0;
    uint32_t objects = 0; // pages that check out as a header or data of an object

    // Tags with an ECC that agrees are hard to fake; without one, a few
    // plausible numbers are not enough: a header must check out too, and
    // three pages unless the image has fewer.
    bool viable(bool allSampled) const {
        if (objects == 0 || wrong * 4 > passed)
            return false;
        if (layout.tagEcc)
            return true;
        return headers > 0 && (objects >= 3 || (allSampled && passed == sampled));
    }
};

class Evaluator {
public:
    Evaluator(ByteSpan image, const LayoutHints& hints) : image_(image), hints_(hints) {}

    // Tries a geometry and tag place in every byte order and tag ECC variant
    // the hints allow, keeping the variants that check out. With quick, the
    // first page that is neither erased nor zero must check out.
    void evaluate(const Layout& geometry, bool quick) {
        if (layoutProblem(geometry))
            return;
        const uint64_t recordSize = geometry.recordSize();
        const uint64_t minBytes = geometry.tagsAt() + kTagsSize;
        if (image_.size() < minBytes)
            return;
        const uint64_t records =
            image_.size() / recordSize + (image_.size() % recordSize >= minBytes ? 1 : 0);
        const size_t count = makeVariants(geometry);
        if (count == 0)
            return;
        if (planRecords_ != records) {
            plan_ = samplePlan(records);
            planRecords_ = records;
        }
        lastSeq_.fill(0);
        uint64_t lastRecord = UINT64_MAX;
        uint32_t looked = 0;
        for (uint64_t k : plan_) {
            const uint64_t base = k * recordSize;
            const std::byte* tags = image_.data() + base + geometry.tagsAt();
            if (base + geometry.tagsAt() + kTagsSize > image_.size())
                break;
            if (allBytes(tags, kTagsSize, std::byte{0xFF}) ||
                allBytes(tags, kTagsSize, std::byte{0})) {
                lastRecord = UINT64_MAX;
                continue;
            }
            bool anyPassed = false;
            for (size_t v = 0; v < count; ++v)
                anyPassed |= sample(variants_[v], v, k, lastRecord + 1 == k);
            lastRecord = k;
            // Most candidates are wrong from their first pages on.
            ++looked;
            if (!anyPassed && (quick || looked == 4) &&
                std::none_of(variants_.begin(), variants_.begin() + count,
                             [](const Tally& t) { return t.passed > 0; }))
                break;
        }
        const bool allSampled = plan_.size() == records;
        for (size_t v = 0; v < count; ++v) {
            const Tally& t = variants_[v];
            if (t.viable(allSampled))
                kept_.push_back(t);
            else if (!closest_ || t.passed > closest_->passed ||
                     (t.passed == closest_->passed && t.sampled > closest_->sampled))
                closest_ = t;
        }
    }

    const std::vector<Tally>& kept() const { return kept_; }
    const std::optional<Tally>& closest() const { return closest_; }
    ByteSpan image() const { return image_; }

private:
    static constexpr size_t kMaxVariants = 6;

    // The byte order and tag ECC variants of geometry the hints allow, fresh
    // in variants_; returns how many. Byte orders: both little, both big, and
    // big-endian headers with little-endian tags (the classic image maker's
    // byte swap); a byte order the user gives is the headers'.
    size_t makeVariants(const Layout& geometry) {
        struct Orders {
            ByteOrder tags;
            bool swapped;
        };
        constexpr Orders kOrders[] = {
            {ByteOrder::kLittle, false}, {ByteOrder::kBig, false}, {ByteOrder::kLittle, true}};
        size_t count = 0;
        for (const Orders& o : kOrders) {
            Layout l = geometry;
            l.order = o.tags;
            l.swappedHeaders = o.swapped;
            if (hints_.order && *hints_.order != l.headerOrder())
                continue;
            for (bool ecc : {true, false}) {
                if (ecc && (hints_.noTagEcc || geometry.inbandTags ||
                            geometry.tagOffset + kTagsSize + kTagEccSize > geometry.spareSize))
                    continue;
                Tally& t = variants_[count++];
                t = Tally{};
                t.layout = l;
                t.layout.tagEcc = ecc;
            }
        }
        return count;
    }

    // Scores record k for variant t (number v); follows says the record
    // before it was sampled too. Returns whether it checks out.
    bool sample(Tally& t, size_t v, uint64_t k, bool follows) {
        const Layout& l = t.layout;
        const uint64_t base = k * l.recordSize();
        const std::byte* page = image_.data() + base;
        const std::byte* tags = page + l.tagsAt();
        PackedTags tg;
        bool eccOk = false;
        if (l.tagEcc) {
            if (base + l.tagsAt() + kTagsSize + kTagEccSize > image_.size())
                return false;
            eccOk = readCheckedTags(tags, l.order, tg) != EccResult::kFailed;
        } else {
            tg = loadTags(tags, l.order);
        }
        ++t.sampled;
        Verdict verdict = kWrong;
        if (!l.tagEcc) {
            verdict = judge(tg, page, l, l.headerOrder());
        } else if (eccOk) {
            // Tags whose ECC agrees are the filesystem's, odd values or not;
            // but a stray bit in blank tags and their blank ECC "corrects" to
            // blank tags, which tell nothing.
            verdict = judge(tg, page, l, l.headerOrder());
            if (verdict == kWrong)
                verdict = tg == PackedTags{} ? kWrong : kOther;
        }
        t.score += points(verdict);
        if (verdict == kWrong) {
            ++t.wrong;
            return false;
        }
        ++t.passed;
        if (verdict == kHeader || verdict == kRoot)
            ++t.headers;
        if (verdict != kOther)
            ++t.objects;
        if (eccOk)
            t.score += kPointsTagEcc;
        if (follows && lastSeq_[v] == tg.sequence)
            t.score += kPointsSameSequence;
        lastSeq_[v] = tg.sequence;
        return true;
    }

    ByteSpan image_;
    const LayoutHints& hints_;
    std::array<Tally, kMaxVariants> variants_;
    std::array<uint32_t, kMaxVariants> lastSeq_{};
    std::vector<uint64_t> plan_;
    uint64_t planRecords_ = UINT64_MAX;
    std::vector<Tally> kept_;
    std::optional<Tally> closest_;
};

// Tag places tried in a spare area: its head, after the bad-block marker, and
// after a data ECC before the tags (with and without the marker).
std::vector<uint32_t> tagPlaces(uint32_t pageSize) {
    const uint32_t e = pageSize / 256 * 3;
    return {0, 2, e, e + 2};
}

void evaluateGeometry(Evaluator& ev, const LayoutHints& hints, uint32_t page, uint32_t spare,
                      bool quick) {
    Layout l;
    l.pageSize = page;
    l.spareSize = spare;
    l.tagEcc = false; // each variant says
    if (!hints.inbandTags) {
        std::vector<uint32_t> places =
            hints.tagOffset ? std::vector<uint32_t>{*hints.tagOffset} : tagPlaces(page);
        for (uint32_t at : places) {
            if (at + kTagsSize > spare)
                continue;
            l.inbandTags = false;
            l.tagOffset = at;
            ev.evaluate(l, quick);
        }
    }
    if (!hints.tagOffset || hints.inbandTags) {
        l.inbandTags = true;
        l.tagOffset = 0;
        ev.evaluate(l, quick);
    }
}

// The common spare sizes first; when none checks out, every even size up to
// 1024 that makes the image a whole number of records.
void evaluateAll(Evaluator& ev, const LayoutHints& hints, bool everySpare) {
    for (uint32_t page : kPageSizes) {
        if (hints.pageSize && *hints.pageSize != page)
            continue;
        if (hints.spareSize) {
            if (!everySpare)
                evaluateGeometry(ev, hints, page, *hints.spareSize, false);
            continue;
        }
        if (!everySpare) {
            for (uint32_t spare : kSpareSizes)
                evaluateGeometry(ev, hints, page, spare, false);
            continue;
        }
        for (uint32_t spare = 16; spare <= 1024; spare += 2) {
            if (std::binary_search(std::begin(kSpareSizes), std::end(kSpareSizes), spare) ||
                ev.image().size() % (page + spare) != 0)
                continue;
            evaluateGeometry(ev, hints, page, spare, true);
        }
    }
}

bool sameShape(const Layout& a, const Layout& b) {
    return a.pageSize == b.pageSize && a.spareSize == b.spareSize && a.tagOffset == b.tagOffset &&
           a.inbandTags == b.inbandTags && a.order == b.order;
}

// The data ECC, if the sampled pages carry one: the algorithm and spare
// offset at which the stored bytes equal the computed ECC on most pages whose
// ECC tells anything (pages of all zeros or all FF have an ECC of all FF).
void findDataEcc(ByteSpan image, Layout& l) {
    if (l.spareSize == 0)
        return;
    const uint32_t need = l.dataEccBytes();
    if (need > l.spareSize)
        return;
    const uint64_t recordSize = l.recordSize();
    const uint64_t records = image.size() / recordSize;
    const uint32_t offsets = l.spareSize - need + 1;
    std::vector<uint32_t> hits(2 * offsets, 0);
    uint32_t telling = 0;
    std::vector<std::byte> computed[2] = {std::vector<std::byte>(need),
                                          std::vector<std::byte>(need)};
    for (uint64_t k : samplePlan(records)) {
        const std::byte* page = image.data() + k * recordSize;
        const std::byte* spare = page + l.pageSize;
        if (erasedTags(page + l.tagsAt()))
            continue;
        storeDataEcc(page, l.pageSize, kEccYaffs, computed[0].data());
        if (allBytes(computed[0].data(), need, std::byte{0xFF}))
            continue;
        storeDataEcc(page, l.pageSize, kEccNand, computed[1].data());
        ++telling;
        for (int kind = 0; kind < 2; ++kind)
            for (uint32_t at = 0; at < offsets; ++at)
                if (std::memcmp(spare + at, computed[kind].data(), need) == 0)
                    ++hits[kind * offsets + at];
    }
    if (telling == 0)
        return;
    auto best = std::max_element(hits.begin(), hits.end());
    if (*best * 4 < telling * 3)
        return;
    const auto index = static_cast<uint32_t>(best - hits.begin());
    Layout withEcc = l;
    withEcc.dataEcc = index < offsets ? kEccYaffs : kEccNand;
    withEcc.dataEccOffset = index % offsets;
    if (!layoutProblem(withEcc))
        l = withEcc;
}

Message triedText(const LayoutHints& hints) {
    const Message pages =
        hints.pageSize ? verbatim(std::to_string(*hints.pageSize)) : msg("%1 to %2", 512, 16384);
    const Message spares =
        hints.spareSize ? verbatim(std::to_string(*hints.spareSize)) : msg("%1 to %2", 0, 1280);
    const Message sizes = msg("pages of %1 bytes with spare areas of %2 bytes", pages, spares);
    const Message tags = hints.inbandTags ? msg("inband tags")
                         : hints.tagOffset
                             ? msg("tags at spare offset %1", *hints.tagOffset)
                             : msg("tags at the head of the spare area, after the "
                                   "bad-block marker, after the data ECC, and inband");
    const Message order = !hints.order                      ? msg("either byte order")
                          : *hints.order == ByteOrder::kBig ? msg("big-endian")
                                                            : msg("little-endian");
    return msg("%1, %2, %3", sizes, tags, order);
}

} // namespace

std::optional<Detection> detectLayout(ByteSpan image, const LayoutHints& hints, Message* refusal) {
    Evaluator ev(image, hints);
    evaluateAll(ev, hints, false);
    if (ev.kept().empty() && !hints.spareSize)
        evaluateAll(ev, hints, true);

    const auto& kept = ev.kept();
    if (kept.empty()) {
        if (hints.complete() && !layoutProblem(hints.layout())) {
            Detection d;
            d.layout = hints.layout();
            findDataEcc(image, d.layout);
            d.given = true;
            return d;
        }
        if (refusal) {
            const auto& c = ev.closest();
            if (!c || c->sampled == 0)
                *refusal = msg("no YAFFS2 data found: every sampled page is erased or zero "
                               "(tried %1)",
                               triedText(hints));
            else if (c->passed > 1)
                *refusal = msg("no YAFFS2 layout checks out (tried %1); the closest, %2, checks "
                               "out on %3 of %4 sampled pages",
                               triedText(hints), layoutMessage(c->layout), c->passed, c->sampled);
            else
                *refusal = msg("no YAFFS2 layout checks out (tried %1)", triedText(hints));
        }
        return std::nullopt;
    }

    auto best = std::max_element(kept.begin(), kept.end(),
                                 [](const Tally& a, const Tally& b) { return a.score < b.score; });
    int second = 0;
    for (const Tally& t : kept)
        if (!sameShape(t.layout, best->layout))
            second = std::max(second, t.score);

    Detection d;
    d.layout = best->layout;
    d.sampled = best->sampled;
    d.passed = best->passed;
    d.given = hints.complete();
    const double share = best->sampled ? double(best->passed) / best->sampled : 0.0;
    const double margin = best->score > 0 ? 1.0 - double(std::max(second, 0)) / best->score : 0.0;
    const double evidence = std::min(1.0, (best->passed + 4) / 12.0);
    d.confidence = std::clamp(
        static_cast<int>(100.0 * share * std::min(1.0, 0.5 + margin) * evidence + 0.5), 1, 100);
    findDataEcc(image, d.layout);
    return d;
}

int bidLayout(ByteSpan image, const LayoutHints& hints) {
    std::optional<Detection> d = detectLayout(image, hints);
    return d ? std::max(1, d->confidence) : 0;
}

} // namespace korvane::yaffs2
