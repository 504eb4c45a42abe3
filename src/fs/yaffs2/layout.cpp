#include "layout.h"

#include <bit>

namespace korvane::yaffs2 {

bool Layout::hasBadBlockMarker() const {
    if (spareSize == 0)
        return false;
    if (!inbandTags && tagOffset == 0)
        return false;
    return dataEcc == kEccNone || dataEccOffset > 0;
}

std::optional<Message> layoutProblem(const Layout& l) {
    if (l.pageSize < kMinPageSize || l.pageSize > kMaxPageSize || !std::has_single_bit(l.pageSize))
        return msg("the page size must be a power of two from %1 to %2, not %3", kMinPageSize,
                   kMaxPageSize, l.pageSize);
    if (l.spareSize > kMaxSpareSize)
        return msg("the spare area can be at most %1 bytes, not %2", kMaxSpareSize, l.spareSize);
    if (l.inbandTags) {
        if (l.chunkDataSize() < kHeaderSize)
            return msg("inband tags need pages of at least %1 bytes", kMinPageSize * 2);
    } else if (uint64_t{l.tagOffset} + l.tagBytes() > l.spareSize) {
        return msg("tags of %1 bytes at spare offset %2 do not fit a spare area of %3 bytes",
                   l.tagBytes(), l.tagOffset, l.spareSize);
    }
    if (l.dataEcc != kEccNone) {
        const uint64_t end = uint64_t{l.dataEccOffset} + l.dataEccBytes();
        if (end > l.spareSize)
            return msg("a data ECC of %1 bytes at spare offset %2 does not fit a spare area of "
                       "%3 bytes",
                       l.dataEccBytes(), l.dataEccOffset, l.spareSize);
        if (!l.inbandTags && l.dataEccOffset < l.tagOffset + l.tagBytes() && end > l.tagOffset)
            return msg("the data ECC at spare offset %1 overlaps the tags at %2", l.dataEccOffset,
                       l.tagOffset);
    }
    return std::nullopt;
}

Message orderMessage(const Layout& l) {
    auto name = [](ByteOrder o) {
        return o == ByteOrder::kBig ? msg("big-endian") : msg("little-endian");
    };
    if (l.swappedHeaders)
        return msg("%1 headers, %2 tags", name(l.headerOrder()), name(l.order));
    return name(l.order);
}

Message layoutMessage(const Layout& l) {
    const Message size = msg("%1+%2", l.pageSize, l.spareSize);
    const Message tags = l.inbandTags ? msg("inband tags")
                         : l.tagEcc   ? msg("tags at spare offset %1 with ECC", l.tagOffset)
                                      : msg("tags at spare offset %1 without ECC", l.tagOffset);
    const Message order = orderMessage(l);
    if (l.dataEcc == kEccNone)
        return msg("%1, %2, %3", size, tags, order);
    const Message ecc = l.dataEcc == kEccYaffs
                            ? msg("YAFFS data ECC at spare offset %1", l.dataEccOffset)
                            : msg("NAND data ECC at spare offset %1", l.dataEccOffset);
    return msg("%1, %2, %3, %4", size, tags, order, ecc);
}

std::string describeLayout(const Layout& l) {
    return layoutMessage(l).english();
}

std::optional<uint32_t> standardDataEccOffset(const Layout& l) {
    const uint32_t need = l.dataEccBytes();
    const uint32_t reserved = l.hasBadBlockMarker() || (!l.inbandTags && l.tagOffset > 0) ? 2 : 0;
    Layout probe = l;
    probe.dataEcc = kEccYaffs;
    if (!l.inbandTags && l.tagOffset >= reserved + need) {
        probe.dataEccOffset = l.tagOffset - need;
        if (!layoutProblem(probe))
            return probe.dataEccOffset;
    }
    if (l.spareSize >= need) {
        probe.dataEccOffset = l.spareSize - need;
        if (probe.dataEccOffset >= reserved && !layoutProblem(probe))
            return probe.dataEccOffset;
    }
    return std::nullopt;
}

Layout plainLayout(Layout geometry, bool marker, EccKind ecc) {
    Layout l = geometry;
    l.pagesPerBlock = 0;
    if (!l.inbandTags) {
        l.tagOffset = marker ? 2 : 0;
        l.tagEcc = l.tagOffset + kTagsSize + kTagEccSize <= l.spareSize;
    }
    l.dataEcc = kEccNone;
    l.dataEccOffset = 0;
    if (ecc != kEccNone) {
        if (auto at = standardDataEccOffset(l)) {
            l.dataEcc = ecc;
            l.dataEccOffset = *at;
        }
    }
    return l;
}

namespace {

constexpr Layout make(uint32_t page, uint32_t spare, uint32_t tagOffset, bool tagEcc = true,
                      EccKind ecc = kEccNone, uint32_t eccOffset = 0,
                      ByteOrder order = ByteOrder::kLittle) {
    Layout l;
    l.pageSize = page;
    l.spareSize = spare;
    l.tagOffset = tagOffset;
    l.tagEcc = tagEcc;
    l.dataEcc = ecc;
    l.dataEccOffset = eccOffset;
    l.order = order;
    return l;
}

constexpr Layout inband(uint32_t page, uint32_t spare) {
    Layout l;
    l.pageSize = page;
    l.spareSize = spare;
    l.inbandTags = true;
    l.tagEcc = false;
    return l;
}

constexpr NamedLayout kLayouts[] = {
    {"2048+64", make(2048, 64, 0)},
    {"2048+64, FF FF marker, YAFFS ECC", make(2048, 64, 2, true, kEccYaffs, 40)},
    {"2048+64, NAND ECC before the tags", make(2048, 64, 26, true, kEccNand, 2)},
    {"512+16", make(512, 16, 0, false)},
    {"1024+32", make(1024, 32, 0)},
    {"4096+128", make(4096, 128, 0)},
    {"4096+224, FF FF marker, NAND ECC", make(4096, 224, 2, true, kEccNand, 176)},
    {"8192+256", make(8192, 256, 0)},
    {"8192+448, FF FF marker", make(8192, 448, 2)},
    {"16384+512", make(16384, 512, 0)},
    {"2048+28 records", make(2048, 28, 0)},
    {"2048+16 records", make(2048, 16, 0, false)},
    {"2048 inband", inband(2048, 0)},
    {"4096+128 inband", inband(4096, 128)},
    {"2048+64 big-endian", make(2048, 64, 0, true, kEccNone, 0, ByteOrder::kBig)},
    {"4096+128 big-endian, FF FF marker", make(4096, 128, 2, true, kEccNone, 0, ByteOrder::kBig)},
};

} // namespace

std::span<const NamedLayout> commonLayouts() {
    return kLayouts;
}

} // namespace korvane::yaffs2
