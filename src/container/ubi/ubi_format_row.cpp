#include "ubi_format_row.h"

#include "tubi.h"
#include "ubi_format.h"
#include "ubi_headers.h"
#include "ubi_scan.h"

namespace korvane {

namespace {

// An EC header at byte 0 whose CRC verifies, and another one a PEB size
// further with the same offsets: the geometry of the image checks out.
Probe probeUbi(const ProbeInput& in) {
    if (in.head.size() < ubi::ec::kSize || load32be(in.head.data()) != ubi::kEcMagic)
        return {kProbeNone, msg("no UBI EC header at byte 0")};
    const std::optional<ubi::EcHeader> first = ubi::loadEcHeader(in.head.data());
    if (!first)
        return {kProbeContents, msg("the UBI EC header magic at byte 0, but its CRC does not "
                                    "check out")};
    Message why;
    const std::optional<ubi::Geometry> g = ubi::findGeometry(in.source, *first, &why);
    if (!g)
        return {kProbeSignature, msg("a UBI EC header at byte 0, but %1", why)};
    return {kProbeVerified,
            msg("UBI EC headers whose CRCs verify at bytes 0 and %1 (the PEB size)", g->pebSize)};
}

std::unique_ptr<Timg> makeUbi(const OpenOptions&) {
    return std::make_unique<Tubi>();
}

} // namespace

const FormatRow& ubiFormatRow() {
    static const FormatRow row{
        .name = "ubi",
        .title = "UBI",
        .role = FormatRole::kContainer,
        .probe = probeUbi,
        .make = makeUbi,
    };
    return row;
}

} // namespace korvane
