#include "ubifs_format_row.h"

#include "tubifs.h"
#include "ubifs_node.h"
#include "ubifs_super.h"

namespace korvane {

namespace {

// A superblock node at byte 0 whose CRC verifies and whose geometry makes a
// filesystem.
Probe probeUbifs(const ProbeInput& in) {
    using namespace ubifs;
    if (in.head.size() < ch::kSize || load32(in.head.data()) != kNodeMagic)
        return {kProbeNone, msg("no UBIFS node at byte 0")};
    const std::optional<NodeHeader> h = loadHeader(in.head.data());
    if (h->type != kSbNode || h->len < sb::kHashAlgo + 2 || h->len > in.head.size())
        return {kProbeContents, msg("a UBIFS node at byte 0, but no superblock")};
    const ByteSpan node(in.head.data(), h->len);
    if (load32(node.data() + ch::kCrc) != nodeCrc(node))
        return {kProbeSignature, msg("a UBIFS superblock at byte 0, but its CRC does not check "
                                     "out")};
    Message why;
    const std::optional<Superblock> s = decodeSuperblock(node, &why);
    if (!s)
        return {kProbeSignature, msg("a UBIFS superblock at byte 0, but %1", why)};
    if (in.source.size() < uint64_t{kLogLnum} * s->lebSize)
        return {kProbeSignature,
                msg("a UBIFS superblock at byte 0, but the image ends before its master LEBs")};
    return {kProbeVerified,
            msg("a UBIFS superblock whose CRC verifies, with LEBs of %1 bytes", s->lebSize)};
}

std::unique_ptr<Timg> makeUbifs(const OpenOptions&) {
    return std::make_unique<Tubifs>();
}

} // namespace

const FormatRow& ubifsFormatRow() {
    static const FormatRow row{
        .name = "ubifs",
        .title = "UBIFS",
        .role = FormatRole::kFilesystem,
        .probe = probeUbifs,
        .make = makeUbifs,
    };
    return row;
}

} // namespace korvane
