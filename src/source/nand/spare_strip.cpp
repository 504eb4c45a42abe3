#include "spare_strip.h"

#include "model/message.h"

#include <algorithm>
#include <cstring>

namespace korvane::nand {

namespace {

constexpr uint32_t kPageSizes[] = {512, 1024, 2048, 4096, 8192, 16384};
// Spare sizes of NAND chips (and of controllers that use part of a chip's).
constexpr uint32_t kSpareSizes[] = {16,  32,  64,  112, 128, 218,  224,  232,  256,  376,
                                    436, 448, 512, 640, 744, 1024, 1216, 1280, 1664, 2208};
// Pages per erase block, the usual ones first: among geometries that explain
// a dump equally well (2048+64 with 64 pages a block is 4096+128 with 32),
// the earlier wins.
constexpr uint32_t kPagesPerBlock[] = {64, 128, 256, 32, 512, 16, 1024};
constexpr uint32_t kBlockSizesAscending[] = {16, 32, 64, 128, 256, 512, 1024};
// Erase block sizes of images without spare areas: where the data repeats
// its signature at one of these, the bytes are no dump.
constexpr uint32_t kPlainBlockMin = 4096, kPlainBlockMax = 16u << 20;
constexpr uint32_t kBlocksSampled = 16;
// Blocks looked through for the first two that are not erased.
constexpr uint32_t kLeadBlocks = 16;
constexpr uint32_t kPagesSampled = 64;
// Records read at once when a read spans many pages.
constexpr uint32_t kBatchRecords = 64;
// Pages that fail their ECC named one by one before the rest are counted.
constexpr uint64_t kFailedNamed = 16;

bool allFF(const std::byte* p, size_t n) {
    return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0xFF}; });
}

// Reads the data bytes [at, at + out.size()) of a dump of geometry g.
void readData(const ImageSource& raw, const Geometry& g, uint64_t at, MutableByteSpan out) {
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t page = (at + done) / g.pageSize;
        const uint32_t within = static_cast<uint32_t>((at + done) % g.pageSize);
        const size_t n = std::min<size_t>(g.pageSize - within, out.size() - done);
        raw.read(page * g.recordSize() + within, out.subspan(done, n));
        done += n;
    }
}

// The data bytes a dump of geometry g holds.
uint64_t dataSize(const ImageSource& raw, const Geometry& g) {
    const uint64_t rec = g.recordSize();
    return raw.size() / rec * g.pageSize + std::min<uint64_t>(raw.size() % rec, g.pageSize);
}

bool plainSignature(const ImageSource& raw, const BlockSignature& sig) {
    std::byte head[kSignatureHead];
    for (uint64_t b = kPlainBlockMin; b <= kPlainBlockMax; b *= 2)
        for (uint64_t at : {b, b * 3}) {
            if (at + kSignatureHead > raw.size())
                continue;
            raw.read(at, MutableByteSpan(head, kSignatureHead));
            const size_t need = std::min<uint64_t>(sig.need(head), raw.size() - at);
            if (need > 0 && sig.check(readBytes(raw, at, need)) > 0)
                return true;
        }
    return false;
}

// Whether the first block of geometry g whose data does not start erased
// (among the first kLeadBlocks) and the block after it start with sig. The
// block after must not be erased either: were it allowed to be, a block
// size that cuts a used block into erased parts would line up too.
bool startsLineUp(const ImageSource& raw, const Geometry& g, const BlockSignature& sig) {
    std::byte head[kSignatureHead];
    for (uint64_t b = 0; b < kLeadBlocks; ++b) {
        const uint64_t at = b * g.rawBlockSize();
        if (at + g.rawBlockSize() + kSignatureHead > raw.size())
            return false;
        raw.read(at, MutableByteSpan(head, kSignatureHead));
        if (allFF(head, kSignatureHead))
            continue;
        if (sig.need(head) == 0)
            return false;
        raw.read(at + g.rawBlockSize(), MutableByteSpan(head, kSignatureHead));
        return sig.need(head) > 0;
    }
    return false;
}

struct Score {
    Geometry g;
    uint32_t sampled = 0;
    uint32_t matched = 0;
    int points = 0;
};

// How well the blocks spread over the dump bear the signature out in
// geometry g.
Score score(const ImageSource& raw, const Geometry& g, const BlockSignature& sig) {
    Score s{g};
    const uint64_t blocks = (raw.size() + g.rawBlockSize() - 1) / g.rawBlockSize();
    const uint64_t size = dataSize(raw, g);
    std::byte head[kSignatureHead];
    Bytes data;
    for (uint32_t i = 0; i < std::min<uint64_t>(blocks, kBlocksSampled); ++i) {
        const uint64_t block = blocks <= kBlocksSampled ? i : blocks * i / kBlocksSampled;
        const uint64_t at = block * g.rawBlockSize();
        if (at + kSignatureHead > raw.size())
            continue;
        raw.read(at, MutableByteSpan(head, kSignatureHead));
        if (allFF(head, kSignatureHead))
            continue;
        ++s.sampled;
        const size_t need = sig.need(head);
        if (need == 0)
            continue;
        // As much as the block holds, and the dump.
        const uint64_t from = block * uint64_t{g.pagesPerBlock} * g.pageSize;
        data.resize(std::min<uint64_t>(
            {need, uint64_t{g.pagesPerBlock} * g.pageSize, size > from ? size - from : 0}));
        readData(raw, g, from, MutableByteSpan(data));
        const int points = sig.check(data);
        s.points += points;
        s.matched += points > 0 ? 1 : 0;
    }
    return s;
}

// Pages spread over the dump whose data is not erased, each with its spare.
std::vector<Bytes> samplePages(const ImageSource& raw, const Geometry& g) {
    std::vector<Bytes> out;
    const uint64_t pages = raw.size() / g.recordSize();
    const uint64_t step = std::max<uint64_t>(1, pages / (kPagesSampled * 4));
    for (uint64_t p = 0; p < pages && out.size() < kPagesSampled; p += step) {
        Bytes rec(g.recordSize());
        raw.read(p * g.recordSize(), MutableByteSpan(rec));
        if (!allFF(rec.data(), g.pageSize))
            out.push_back(std::move(rec));
    }
    return out;
}

// Whether the spare areas of the sampled pages (written ones, each with its
// spare) hold nothing, at three of four of them.
bool blankSpares(const std::vector<Bytes>& samples, const Geometry& g) {
    const auto blank = std::count_if(samples.begin(), samples.end(), [&](const Bytes& rec) {
        return allFF(rec.data() + g.pageSize, g.spareSize);
    });
    return samples.size() >= 2 && size_t(blank) * 4 >= samples.size() * 3;
}

class SpareStripSource final : public ImageSource {
public:
    SpareStripSource(std::shared_ptr<const ImageSource> raw, const Detection& d)
        : raw_(std::move(raw)), g_(d.geometry), what_(d.what), ecc_(d.ecc) {
        const uint64_t rec = g_.recordSize();
        pages_ = raw_->size() / rec;
        tail_ = static_cast<uint32_t>(std::min<uint64_t>(raw_->size() % rec, g_.pageSize));
        size_ = pages_ * g_.pageSize + tail_;
        if (g_.pagesPerBlock > 0)
            blocks_ = (raw_->size() + g_.rawBlockSize() - 1) / g_.rawBlockSize();
    }

    uint64_t size() const override { return size_; }
    uint64_t storedSize() const override { return raw_->size(); }
    void releaseResident() const override { raw_->releaseResident(); }
    void read(uint64_t offset, MutableByteSpan out) const override {
        readPages(offset, out, [this](uint64_t at, MutableByteSpan b) { raw_->read(at, b); });
    }
    void readThrough(uint64_t offset, MutableByteSpan out) const override {
        readPages(offset, out,
                  [this](uint64_t at, MutableByteSpan b) { raw_->readThrough(at, b); });
    }

    std::vector<std::pair<std::string, std::string>> describe() const override {
        std::string ecc = "none applied: the spare areas hold no ECC Korvane knows";
        if (ecc_)
            ecc = ecc_->describe() + "; " + std::to_string(corrected_) +
                  " flipped bits put right, " + std::to_string(failedPages_) +
                  " pages beyond repair";
        std::string bad = std::to_string(badBlocks_) + " (read as erased)";
        if (markersIgnored_)
            bad = "not known: most blocks carry no FF marker, so the markers are not read";
        if (g_.pagesPerBlock == 0)
            bad = "not looked for: nothing in the data gives the erase block size";
        return {{"NAND dump",
                 std::string("raw NAND dump (") + geometryText(g_) + "), holding " + what_},
                {"dump size", std::to_string(raw_->size())},
                {"data size", std::to_string(size_)},
                {"ECC", ecc},
                {"bad blocks", bad}};
    }

    void survey();

private:
    bool badBlock(uint64_t page) const {
        if (bad_.empty())
            return false;
        const uint64_t block = page / g_.pagesPerBlock;
        return block < bad_.size() && bad_[block];
    }

    template <typename ReadFn>
    void readPages(uint64_t offset, MutableByteSpan out, ReadFn&& readRaw) const {
        const uint32_t ps = g_.pageSize;
        const uint32_t rec = g_.recordSize();
        size_t done = 0;
        Bytes scratch;
        while (done < out.size() && offset + done < size_) {
            const uint64_t at = offset + done;
            const uint64_t page = at / ps;
            const uint32_t within = static_cast<uint32_t>(at % ps);
            // Whole records up to the batch, as far as the read and the dump go.
            const uint64_t lastPage = (std::min(offset + out.size(), size_) - 1) / ps;
            const uint64_t count = std::min<uint64_t>(lastPage - page + 1, kBatchRecords);
            scratch.resize(static_cast<size_t>(count * rec));
            readRaw(page * rec, MutableByteSpan(scratch));
            for (uint64_t i = 0; i < count && done < out.size(); ++i) {
                std::byte* data = scratch.data() + i * rec;
                const uint32_t from = i == 0 ? within : 0;
                if (badBlock(page + i))
                    std::memset(data, 0xFF, ps);
                else if (ecc_ && page + i < pages_)
                    correctPage(*ecc_, data, ps, data + ps);
                const size_t n = std::min<size_t>(ps - from, out.size() - done);
                std::memcpy(out.data() + done, data + from, n);
                done += n;
            }
        }
        std::memset(out.data() + done, 0, out.size() - done);
    }

    Message failedPage(uint64_t page) const {
        if (g_.pagesPerBlock == 0)
            return msg("page %1 has more flipped bits than its ECC can put right; it is read as "
                       "it stands",
                       page);
        return msg("page %1 (erase block %2) has more flipped bits than its ECC can put right; "
                   "it is read as it stands",
                   page, page / g_.pagesPerBlock);
    }

    std::shared_ptr<const ImageSource> raw_;
    Geometry g_;
    std::string what_;
    std::optional<EccLayout> ecc_;
    uint64_t pages_ = 0;
    uint32_t tail_ = 0;
    uint64_t size_ = 0;
    uint64_t blocks_ = 0;
    std::vector<bool> bad_;
    uint64_t badBlocks_ = 0;
    bool markersIgnored_ = false;
    uint64_t corrected_ = 0;
    uint64_t failedPages_ = 0;
};

// Bad blocks by their marker (the first spare byte of large pages, the
// sixth of 512-byte ones, in the block's first or second page), and every
// page's ECC.
void SpareStripSource::survey() {
    const uint32_t marker = g_.pageSize == 512 ? 5 : 0;
    const bool markerFree = !ecc_ || std::find(ecc_->positions.begin(), ecc_->positions.end(),
                                               marker) == ecc_->positions.end();
    const uint32_t rec = g_.recordSize();
    if (markerFree && marker < g_.spareSize && g_.pagesPerBlock > 0) {
        bad_.assign(blocks_, false);
        for (uint64_t b = 0; b < blocks_; ++b)
            for (uint32_t p = 0; p < 2 && p < g_.pagesPerBlock; ++p) {
                const uint64_t at =
                    b * g_.rawBlockSize() + uint64_t{p} * rec + g_.pageSize + marker;
                std::byte m{0xFF};
                if (at < raw_->size())
                    raw_->readThrough(at, MutableByteSpan(&m, 1));
                if (m != std::byte{0xFF} && !bad_[b]) {
                    bad_[b] = true;
                    ++badBlocks_;
                }
            }
        // A dump whose spare areas were filled with something else than
        // markers would otherwise lose every block.
        if (badBlocks_ * 2 > blocks_) {
            bad_.clear();
            badBlocks_ = 0;
            markersIgnored_ = true;
        }
    }
    if (!ecc_)
        return;
    Bytes batch(size_t{kBatchRecords} * rec);
    for (uint64_t page = 0; page < pages_; page += kBatchRecords) {
        const uint64_t count = std::min<uint64_t>(kBatchRecords, pages_ - page);
        raw_->readThrough(page * rec, MutableByteSpan(batch.data(), count * rec));
        for (uint64_t i = 0; i < count; ++i) {
            if (badBlock(page + i))
                continue;
            std::byte* data = batch.data() + i * rec;
            const EccCheck c = correctPage(*ecc_, data, g_.pageSize, data + g_.pageSize);
            corrected_ += c.corrected;
            if (c.failed && ++failedPages_ <= kFailedNamed)
                problems_.push_back(failedPage(page + i));
        }
    }
    if (failedPages_ > kFailedNamed)
        problems_.push_back(
            msg("%1 more pages cannot be put right by their ECC", failedPages_ - kFailedNamed));
    if (raw_->size() % rec != 0)
        problems_.push_back(msg("the dump ends %1 bytes into page %2", raw_->size() % rec, pages_));
}

} // namespace

Message geometryMessage(const Geometry& g) {
    if (g.pagesPerBlock == 0)
        return msg("%1+%2, erase block size not known", g.pageSize, g.spareSize);
    return msg("%1+%2, %3 pages a block", g.pageSize, g.spareSize, g.pagesPerBlock);
}

std::string geometryText(const Geometry& g) {
    return geometryMessage(g).english();
}

std::optional<Detection> detectDump(const ImageSource& raw,
                                    std::span<const BlockSignature> signatures) {
    if (raw.size() < kSignatureHead)
        return std::nullopt;
    std::byte head[kSignatureHead];
    raw.read(0, MutableByteSpan(head, kSignatureHead));
    const bool erased = allFF(head, kSignatureHead);
    for (const BlockSignature& sig : signatures) {
        if ((!erased && sig.need(head) == 0) || plainSignature(raw, sig))
            continue;
        // For each page and spare size the smallest block whose starts bear
        // the signature out: a multiple of it does too, but only every other
        // block. One whose first starts line up by chance is passed over.
        std::vector<Score> found;
        for (uint32_t page : kPageSizes)
            for (uint32_t spare : kSpareSizes) {
                if (spare >= page)
                    continue;
                for (uint32_t ppb : kBlockSizesAscending) {
                    const Geometry g{page, spare, ppb};
                    if (g.rawBlockSize() + kSignatureHead > raw.size())
                        break;
                    if (!startsLineUp(raw, g, sig))
                        continue;
                    Score s = score(raw, g, sig);
                    if (s.matched >= 2 && s.matched * 4 >= s.sampled * 3) {
                        found.push_back(s);
                        break;
                    }
                }
            }
        if (found.empty())
            continue;
        // Geometries that read the blocks' starts equally well (2048+64 with
        // 64 pages a block is 4096+128 with 32): the one whose spare areas
        // hold an ECC that checks out, else the usual block size.
        const int top =
            std::max_element(found.begin(), found.end(), [](const Score& a, const Score& b) {
                return a.points < b.points;
            })->points;
        std::vector<Score> tied;
        for (const Score& s : found)
            if (s.points == top)
                tied.push_back(s);
        auto usual = [](const Score& s) {
            return std::find(std::begin(kPagesPerBlock), std::end(kPagesPerBlock),
                             s.g.pagesPerBlock) -
                   std::begin(kPagesPerBlock);
        };
        std::stable_sort(tied.begin(), tied.end(),
                         [&](const Score& a, const Score& b) { return usual(a) < usual(b); });
        Detection d;
        d.geometry = tied.front().g;
        d.sampled = tied.front().sampled;
        d.matched = tied.front().matched;
        d.what = sig.name;
        for (const Score& s : tied) {
            std::optional<EccLayout> ecc =
                detectEcc(samplePages(raw, s.g), s.g.pageSize, s.g.spareSize);
            if (ecc) {
                d.geometry = s.g;
                d.sampled = s.sampled;
                d.matched = s.matched;
                d.ecc = std::move(ecc);
                break;
            }
        }
        return d;
    }
    return std::nullopt;
}

std::optional<Detection> detectDump(const ImageSource& raw, const ImageHeader& header) {
    if (raw.size() < kSignatureHead)
        return std::nullopt;
    std::byte head[kSignatureHead];
    raw.read(0, MutableByteSpan(head, kSignatureHead));
    // An image as it stands is no dump.
    if (!header.starts(ByteSpan(head, kSignatureHead)) || header.fits(raw) > 0)
        return std::nullopt;
    // Each page and spare size in which the image's tables lie where its
    // header says; several can read those few places alike (2048+64 reads
    // the first half of every 4096+128 page the same): the one whose spare
    // areas hold an ECC that checks out, else the one whose spare areas are
    // blank, else the smallest.
    const std::shared_ptr<const ImageSource> unowned(std::shared_ptr<const ImageSource>(), &raw);
    std::optional<Detection> best;
    int bestRank = -1;
    for (uint32_t page : kPageSizes)
        for (uint32_t spare : kSpareSizes) {
            if (spare >= page || raw.size() < uint64_t{page} + spare)
                continue;
            Detection d;
            d.geometry = {page, spare, 0};
            d.places = header.fits(SpareStripSource(unowned, d));
            if (d.places == 0)
                continue;
            const std::vector<Bytes> samples = samplePages(raw, d.geometry);
            d.ecc = detectEcc(samples, page, spare);
            const int rank = d.ecc ? 2 : blankSpares(samples, d.geometry) ? 1 : 0;
            if (rank > bestRank) {
                d.what = header.name;
                best = std::move(d);
                bestRank = rank;
            }
        }
    return best;
}

std::unique_ptr<ImageSource> openSpareStrip(std::shared_ptr<const ImageSource> raw,
                                            const Detection& d) {
    auto src = std::make_unique<SpareStripSource>(std::move(raw), d);
    src->survey();
    return src;
}

} // namespace korvane::nand
