#include "formats.h"

#include "fs/ext/ext2_format.h"
#include "source/sparse/sparse_source.h"
#include "fs/ext/text23obj.h"
#include "model/error.h"
#include "fs/yaffs2/tyaffs2obj.h"
#include "source/image_data.h"

namespace korvane {

namespace {

int bidExt(ByteSpan data, const OpenOptions&) {
    using namespace ext2;
    if (data.size() < kSuperblockOffset + kSuperblockSize)
        return 0;
    const std::byte* sb = data.data() + kSuperblockOffset;
    return load16(sb + sb::kMagic) == kMagic ? 60 : 0;
}

// The layout detector's confidence: 0 when no layout checks out.
int bidYaffs2(ByteSpan data, const OpenOptions& opt) {
    return yaffs2::bidLayout(data, opt.yaffs2);
}

std::unique_ptr<Timg> makeYaffs2(const OpenOptions& opt) {
    return std::make_unique<Tyaffs2obj>(opt.yaffs2);
}

template <typename T>
std::unique_ptr<Timg> make(const OpenOptions&) {
    return std::make_unique<T>();
}

const ImageReader kReaders[] = {
    {"ext", bidExt, make<Text23obj>, true},
    {"yaffs2", bidYaffs2, makeYaffs2},
};

const ImageWrapper kWrappers[] = {
    {"sparse", bidSparse, openSparse},
};

// How much of a wrapped image the readers see when they bid.
constexpr size_t kWrappedBidBytes = 1u << 20;

} // namespace

std::span<const ImageReader> imageReaders() {
    return kReaders;
}

std::span<const ImageWrapper> imageWrappers() {
    return kWrappers;
}

ChosenFormat chooseFormat(std::unique_ptr<ImageData> file, const OpenOptions& opt) {
    for (const ImageWrapper& w : kWrappers) {
        if (w.bid(file->span()) <= 0)
            continue;
        std::unique_ptr<ImageSource> inner = w.open(std::move(file));
        Bytes head = readBytes(
            *inner, 0, static_cast<size_t>(std::min<uint64_t>(inner->size(), kWrappedBidBytes)));
        const ImageReader* best = nullptr;
        int bestBid = 0;
        for (const ImageReader& r : kReaders) {
            const int bid = r.anySource ? r.bid(head, opt) : 0;
            if (bid > bestBid) {
                best = &r;
                bestBid = bid;
            }
        }
        if (!best)
            throw Error(msg("the %1 image holds no filesystem Korvane can read", w.name));
        return {best, std::move(inner)};
    }
    const ImageReader* reader = chooseReader(file->span(), opt);
    return {reader, std::move(file)};
}

const ImageReader* chooseReader(ByteSpan data, const OpenOptions& opt) {
    const ImageReader* best = nullptr;
    int bestBid = 0;
    const bool zeroWord = data.size() >= 4 && load32(data.data()) == 0;
    for (const ImageReader& r : kReaders) {
        const int bid = r.bid(data, opt);
        if (bid <= 0)
            continue;
        const bool tieWon = bid == bestBid && (std::string_view(r.name) == "ext") == zeroWord;
        if (bid > bestBid || tieWon) {
            best = &r;
            bestBid = bid;
        }
    }
    if (!best) // nobody is sure: the first word decides, and that reader says what is wrong
        for (const ImageReader& r : kReaders)
            if ((std::string_view(r.name) == "ext") == zeroWord)
                return &r;
    return best;
}

} // namespace korvane
