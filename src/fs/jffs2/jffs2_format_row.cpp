#include "jffs2_format_row.h"

#include "compr.h"
#include "model/error.h"
#include "node_header.h"
#include "tjffs2obj.h"

#include <algorithm>

namespace korvane {

using namespace jffs2;

namespace {

const SaveType kSaveTypes[] = {
    {"jffs2", "JFFS2 镜像"},
};

const FormatOption kOptions[] = {
    {"erase-block", "SIZE", "JFFS2: erase block size (64K by default, as mkfs.jffs2)"},
    {"byte-order", "le|be", "JFFS2: byte order of the nodes", "le|be", true},
    {"no-cleanmarkers", nullptr, "JFFS2: no cleanmarker at the start of each erase block"},
    {"pad", "SIZE|block",
     "JFFS2: fill the image with erased flash up to SIZE bytes, or to the end of its last erase "
     "block"},
    {"compress", "zlib|lzo|none", "JFFS2: compression of file data (zlib by default)"},
};

constexpr uint64_t kMinEraseBlock = 4u << 10;
constexpr uint64_t kMaxEraseBlock = 16u << 20;
// How far a probe looks for the first node past erased flash.
constexpr uint64_t kProbeLookahead = 1u << 20;
// Nodes a probe follows before it is sure.
constexpr unsigned kProbeNodes = 4;

// Where bytes stop being erased flash (whole 0xFFFFFFFF words).
uint64_t erasedPrefix(ByteSpan bytes) {
    uint64_t pos = 0;
    while (pos + 4 <= bytes.size() && load32(bytes.data() + pos) == 0xFFFFFFFF)
        pos += 4;
    return pos;
}

// The image starts with a node (after erased flash, if any) whose header
// checksum verifies, and the nodes after it check out too.
Probe probeJffs2(const ProbeInput& in) {
    const uint64_t size = std::min(in.source.size(), kProbeLookahead);
    Bytes copy;
    ByteSpan bytes = in.head;
    // The look-ahead is read only when the head is erased flash up to its
    // end or starts with a node's magic: every other image is told apart
    // by its first bytes.
    const uint64_t skip = erasedPrefix(bytes);
    const bool couldBeNode =
        skip + 2 > bytes.size() ||
        (bytes[skip] == std::byte{0x85} && bytes[skip + 1] == std::byte{0x19}) ||
        (bytes[skip] == std::byte{0x19} && bytes[skip + 1] == std::byte{0x85});
    if (!couldBeNode)
        return {kProbeNone, msg("no JFFS2 node at the start of the image")};
    if (bytes.size() < size) {
        copy = readBytes(in.source, 0, static_cast<size_t>(size));
        bytes = copy;
    }
    const uint64_t pos = erasedPrefix(bytes);
    if (pos + hdr::kSize > bytes.size())
        return {kProbeNone, msg("no JFFS2 node at the start of the image")};
    for (ByteOrder order : {ByteOrder::kLittle, ByteOrder::kBig}) {
        const unsigned verified =
            followHeaders(bytes.subspan(pos), Endian(order), in.source.size() - pos, kProbeNodes)
                .nodes;
        if (verified == 0)
            continue;
        const Message what = order == ByteOrder::kBig ? msg("big-endian") : msg("little-endian");
        if (verified >= 2 || pos + hdr::kSize >= in.source.size())
            return {kProbeVerified,
                    msg("%1 JFFS2 nodes (%2) whose header checksums verify", verified, what)};
        return {kProbeStructure, msg("a JFFS2 node (%1) whose header checksum verifies", what)};
    }
    return {kProbeNone, msg("no JFFS2 node at the start of the image")};
}

std::unique_ptr<Timg> makeJffs2(const OpenOptions&) {
    return std::make_unique<Tjffs2obj>();
}

bool writeImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    return writeJffs2(img, req.path, jffs2ParamsOf(img, req, warnings), rep, warnings);
}

} // namespace

Jffs2SaveParams jffs2ParamsOf(const Timg& img, const SaveRequest& req,
                              std::vector<Message>* warnings) {
    Jffs2SaveParams p;
    const auto* source = dynamic_cast<const Tjffs2obj*>(&img);
    if (req.likeSource && source) {
        const Tjffs2obj::Geometry& g = source->geometry();
        p.eraseBlock = std::clamp<uint32_t>(g.eraseBlock, kMinEraseBlock, kMaxEraseBlock);
        p.order = g.order;
        p.cleanmarkers = g.cleanmarkers;
        p.compr = g.compr;
        if (!writable(p.compr)) {
            if (warnings)
                warnings->push_back(msg("the source image's data is compressed with %1, which "
                                        "Korvane does not write; the new image uses zlib",
                                        comprName(p.compr)));
            p.compr = kComprZlib;
        }
        // A partition image filled with erased flash keeps its length.
        if (source->size() > g.contentEnd) {
            p.pad = Jffs2SaveParams::Pad::kSize;
            p.padSize = source->size();
            p.padIsSource = true;
        }
    }
    const FormatOptions& o = req.options;
    if (auto v = optionNumber(o, "erase-block", kMinEraseBlock, kMaxEraseBlock, true)) {
        if (*v % 1024 != 0)
            throw Error(msg("--erase-block takes a multiple of 1 KiB, not %1", *v));
        p.eraseBlock = static_cast<uint32_t>(*v);
    }
    if (auto v = optionText(o, "byte-order")) {
        if (*v != "le" && *v != "be")
            throw Error(msg("--byte-order takes le or be, not %1", *v));
        p.order = *v == "be" ? ByteOrder::kBig : ByteOrder::kLittle;
    }
    if (hasOption(o, "no-cleanmarkers"))
        p.cleanmarkers = false;
    if (auto v = optionText(o, "compress")) {
        if (*v == "zlib")
            p.compr = kComprZlib;
        else if (*v == "lzo")
            p.compr = kComprLzo;
        else if (*v == "none")
            p.compr = kComprNone;
        else
            throw Error(msg("--compress takes zlib, lzo or none for JFFS2 images, not %1", *v));
    }
    if (auto v = optionText(o, "pad")) {
        p.padIsSource = false;
        if (*v == "block") {
            p.pad = Jffs2SaveParams::Pad::kBlock;
        } else {
            const std::optional<uint64_t> size = parseSize(*v);
            if (!size || *size == 0 || *size > (uint64_t{1} << 32))
                throw Error(
                    msg("--pad takes a size such as 16M, at most 4G, or block; not %1", *v));
            p.pad = Jffs2SaveParams::Pad::kSize;
            p.padSize = *size;
        }
    }
    return p;
}

const FormatRow& jffs2FormatRow() {
    static const FormatRow row{
        .name = "jffs2",
        .title = "JFFS2",
        .role = FormatRole::kFilesystem,
        .probe = probeJffs2,
        .make = makeJffs2,
        .saveTypes = kSaveTypes,
        .write = writeImage,
        .options = kOptions,
    };
    return row;
}

} // namespace korvane
