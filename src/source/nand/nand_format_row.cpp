#include "nand_format_row.h"

#include "container/ubi/ubi_format.h"
#include "container/ubi/ubi_headers.h"
#include "model/error.h"
#include "spare_strip.h"

namespace korvane {

namespace {

// The VID header offsets a UBI image can have.
constexpr uint32_t kMaxVidOffset = 64u << 10;

// A UBI erase block starts with an EC header whose CRC verifies; it bears
// the signature out in full when the VID header it places checks out too,
// in part when that place is erased (a free block).
size_t ubiNeed(const std::byte* first) {
    const std::optional<ubi::EcHeader> h = ubi::loadEcHeader(first);
    if (!h || h->vidHdrOffset < ubi::ec::kSize || h->vidHdrOffset > kMaxVidOffset)
        return 0;
    return size_t{h->vidHdrOffset} + ubi::vid::kSize;
}

int ubiCheck(ByteSpan head) {
    const size_t need = ubiNeed(head.data());
    if (need == 0 || head.size() < need)
        return 0;
    const std::byte* vid = head.data() + need - ubi::vid::kSize;
    if (ubi::loadVidHeader(vid))
        return 2;
    return ubi::erased(vid, ubi::vid::kSize) ? 1 : 0;
}

const nand::BlockSignature kSignatures[] = {
    {"UBI", ubiNeed, ubiCheck},
};

Probe probeNand(const ProbeInput& in) {
    if (in.head.size() < nand::kSignatureHead || load32be(in.head.data()) != ubi::kEcMagic)
        return {kProbeNone, msg("no raw NAND dump: no UBI erase block at byte 0")};
    const std::optional<nand::Detection> d = nand::detectDump(in.source, kSignatures);
    if (!d)
        return {kProbeNone, msg("no raw NAND dump: the erase blocks do not line up with any page "
                                "and spare size")};
    return {kProbeVerified,
            msg("a raw NAND dump (%1) holding %2: its signature starts %3 of %4 sampled erase "
                "blocks once the spare areas are taken out",
                nand::geometryMessage(d->geometry), d->what, d->matched, d->sampled)};
}

std::unique_ptr<ImageSource> unwrapNand(std::shared_ptr<const ImageSource> bytes) {
    const std::optional<nand::Detection> d = nand::detectDump(*bytes, kSignatures);
    if (!d)
        throw Error("not a raw NAND dump with spare areas Korvane can take out");
    return nand::openSpareStrip(std::move(bytes), *d);
}

} // namespace

const FormatRow& nandFormatRow() {
    static const FormatRow row{
        .name = "nand",
        .title = "NAND dump",
        .role = FormatRole::kLayer,
        .probe = probeNand,
        .unwrap = unwrapNand,
    };
    return row;
}

} // namespace korvane
