#include "nand_format_row.h"

#include "container/ubi/ubi_format.h"
#include "container/ubi/ubi_headers.h"
#include "fs/jffs2/node_header.h"
#include "fs/open_options.h"
#include "fs/squashfs/squashfs_format.h"
#include "fs/squashfs/squashfs_format_row.h"
#include "fs/squashfs/table_places.h"
#include "model/error.h"
#include "spare_strip.h"

#include <algorithm>

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

// JFFS2 for NAND keeps its cleanmarkers in the spare areas: the data of an
// erase block in use starts with a node. The nodes after it are followed
// over a span longer than any page, so that a page and spare size that cuts
// them in the wrong places breaks the run.
constexpr size_t kJffs2Span = 32u << 10;

std::optional<jffs2::Endian> jffs2Order(const std::byte* first) {
    for (jffs2::ByteOrder order : {jffs2::ByteOrder::kLittle, jffs2::ByteOrder::kBig})
        if (jffs2::headerOk(first, jffs2::Endian(order)))
            return jffs2::Endian(order);
    return std::nullopt;
}

size_t jffs2Need(const std::byte* first) {
    return jffs2Order(first) ? kJffs2Span : 0;
}

int jffs2Check(ByteSpan head) {
    const std::optional<jffs2::Endian> e =
        head.size() < jffs2::hdr::kSize ? std::nullopt : jffs2Order(head.data());
    if (!e)
        return 0;
    const jffs2::HeaderRun run = jffs2::followHeaders(head, *e, UINT32_MAX, UINT32_MAX);
    return run.broken ? 0 : 2;
}

const nand::BlockSignature kSignatures[] = {
    {"UBI", ubiNeed, ubiCheck},
    {"JFFS2", jffs2Need, jffs2Check},
};

bool squashfsStarts(ByteSpan head) {
    return head.size() >= 4 && load32(head.data()) == squashfs::kMagic;
}

// The tables lie where the superblock says, and the root inode unpacks as
// a folder (the SquashFS probe's own test).
unsigned squashfsFits(const ImageSource& data) {
    const unsigned places = squashfs::tablesInPlace(data);
    if (places == 0)
        return 0;
    const Bytes head = readBytes(data, 0, std::min<uint64_t>(data.size(), kProbeHeadBytes));
    const OpenOptions opt;
    return probeSquashfs({data, head, opt}).score >= kProbeVerified ? places + 1 : 0;
}

const nand::ImageHeader kHeaders[] = {
    {"SquashFS", squashfsStarts, squashfsFits},
};

// What the data can start with: a block signature, an image header, or
// erased flash (a first block not in use).
bool knownStart(ByteSpan head) {
    if (std::all_of(head.begin(), head.end(), [](std::byte b) { return b == std::byte{0xFF}; }))
        return true;
    return std::any_of(std::begin(kSignatures), std::end(kSignatures),
                       [&](const nand::BlockSignature& s) { return s.need(head.data()) > 0; }) ||
           std::any_of(std::begin(kHeaders), std::end(kHeaders),
                       [&](const nand::ImageHeader& h) { return h.starts(head); });
}

std::optional<nand::Detection> detect(const ImageSource& raw) {
    if (std::optional<nand::Detection> d = nand::detectDump(raw, kSignatures))
        return d;
    for (const nand::ImageHeader& h : kHeaders)
        if (std::optional<nand::Detection> d = nand::detectDump(raw, h))
            return d;
    return std::nullopt;
}

Probe probeNand(const ProbeInput& in) {
    if (in.head.size() < nand::kSignatureHead || !knownStart(in.head.first(nand::kSignatureHead)))
        return {kProbeNone, msg("no raw NAND dump: no UBI or JFFS2 erase block and no SquashFS "
                                "superblock at byte 0")};
    const std::optional<nand::Detection> d = detect(in.source);
    if (!d)
        return {kProbeNone, msg("no raw NAND dump: what the data holds does not line up with any "
                                "page and spare size")};
    if (d->places > 0)
        return {kProbeVerified,
                msg("a raw NAND dump (%1) holding %2: once the spare areas are taken out, the "
                    "%3 places its header names hold what it says",
                    nand::geometryMessage(d->geometry), d->what, d->places)};
    return {kProbeVerified,
            msg("a raw NAND dump (%1) holding %2: its signature starts %3 of %4 sampled erase "
                "blocks once the spare areas are taken out",
                nand::geometryMessage(d->geometry), d->what, d->matched, d->sampled)};
}

std::unique_ptr<ImageSource> unwrapNand(std::shared_ptr<const ImageSource> bytes) {
    const std::optional<nand::Detection> d = detect(*bytes);
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
