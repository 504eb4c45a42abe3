#include "formats.h"

#include "ext/ext2_format.h"
#include "ext/text23obj.h"
#include "yaffs2/tyaffs2obj.h"

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
    {"ext", bidExt, make<Text23obj>},
    {"yaffs2", bidYaffs2, makeYaffs2},
};

} // namespace

std::span<const ImageReader> imageReaders() {
    return kReaders;
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
