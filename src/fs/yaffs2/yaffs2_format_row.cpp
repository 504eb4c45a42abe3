#include "yaffs2_format_row.h"

#include "fs/open_options.h"
#include "header.h"
#include "model/error.h"
#include "source/image_data.h"
#include "tags.h"
#include "tyaffs2obj.h"
#include "yaffs2_writer.h"

#include <algorithm>
#include <ctime>

namespace korvane {

namespace {

const SaveType kSaveTypes[] = {
    {"yaffs2", "YAFFS2 镜像"},
    {"yaffs2-custom", "YAFFS2 镜像(自定参数)", true},
};

const FormatOption kOptions[] = {
    {"ecc", "KIND",
     "YAFFS2 data ECC: none, yaffs or nand (default: as the source image, else none)",
     "none|yaffs|nand"},
    {"erase-marker", nullptr, "YAFFS2: tags after an FF FF erase marker (spare offset 2)"},
    {"no-erase-marker", nullptr, "YAFFS2: tags at the head of the spare area", nullptr, false,
     "erase-marker"},
    {"page-size", "N", "YAFFS2: bytes per NAND page (512 to 16384)", nullptr, true},
    {"spare-size", "N", "YAFFS2: spare bytes after each page; 0 for pages only (inband tags)",
     nullptr, true},
    {"tag-offset", "N", "YAFFS2: where the tags start in the spare area", nullptr, true,
     "erase-marker|no-erase-marker"},
    {"byte-order", "le|be", "YAFFS2: byte order of tags and headers", "le|be", true},
    {"inband-tags", nullptr, "YAFFS2: tags in the last 16 bytes of each page", nullptr, true},
    {"no-tag-ecc", nullptr, "YAFFS2: write the tags without their ECC", nullptr, true},
};

// The detector's confidence as a probe: a layout whose tags and headers
// check out on many pages is good evidence, but it is a statistic over the
// contents, so a structural signature of another format beats it.
Probe probeYaffs2(const ProbeInput& in) {
    // About a thousand pages: enough for the tags to speak, few enough that
    // probing costs a few milliseconds.
    constexpr size_t kSampleBytes = 2u << 20;
    const uint64_t size = in.source.size();
    // The first bytes only, copied: a touched page of a mapping brings its
    // whole page-cache folio (up to 2 MiB) into the process.
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, kSampleBytes));
    Bytes bytes(n);
    in.source.readThrough(0, MutableByteSpan(bytes));
    Message refusal;
    std::optional<yaffs2::Detection> d = yaffs2::detectLayout(bytes, in.options.yaffs2, &refusal);
    if (!d)
        return {kProbeNone, refusal.empty() ? msg("no YAFFS2 layout checks out") : refusal};
    const int score = std::min(kProbeStructure - 5, 20 + d->confidence * 55 / 100);
    return {std::max(1, score),
            msg("a YAFFS2 layout (%1) whose tags check out on %2 of %3 sampled pages",
                yaffs2::layoutMessage(d->layout), d->passed, d->sampled)};
}

std::unique_ptr<Timg> makeYaffs2(const OpenOptions& opt) {
    return std::make_unique<Tyaffs2obj>(opt.yaffs2);
}

const char* ownType(const Timg&) {
    return "yaffs2";
}

bool writeImage(Timg& img, const SaveRequest& req, JobReporter& rep,
                std::vector<Message>* warnings) {
    SaveParams params;
    params.layout = yaffs2LayoutOf(img, req.options);
    return writeYaffs2(img, req.path, params, rep, warnings);
}

} // namespace

yaffs2::Layout yaffs2LayoutOf(const Timg& img, const FormatOptions& o) {
    SaveParams params;
    updateFromScan(params, img);
    yaffs2::LayoutHints hints;
    if (auto v = optionNumber(o, "page-size", yaffs2::kMinPageSize, yaffs2::kMaxPageSize))
        hints.pageSize = static_cast<uint32_t>(*v);
    if (auto v = optionNumber(o, "spare-size", 0, yaffs2::kMaxSpareSize))
        hints.spareSize = static_cast<uint32_t>(*v);
    if (auto v = optionNumber(o, "tag-offset", 0, yaffs2::kMaxSpareSize))
        hints.tagOffset = static_cast<uint32_t>(*v);
    if (auto v = optionText(o, "byte-order"))
        hints.order = *v == "be" ? yaffs2::ByteOrder::kBig : yaffs2::ByteOrder::kLittle;
    hints.inbandTags = hasOption(o, "inband-tags");
    hints.noTagEcc = hasOption(o, "no-tag-ecc");
    if (hasOption(o, "erase-marker") && hasOption(o, "no-erase-marker"))
        throw Error(msg("--erase-marker and --no-erase-marker exclude each other"));
    if ((hasOption(o, "erase-marker") || hasOption(o, "no-erase-marker")) && hints.tagOffset)
        throw Error(msg("--tag-offset and the erase marker options exclude each other"));
    if (hasOption(o, "erase-marker"))
        hints.tagOffset = 2;
    if (hasOption(o, "no-erase-marker"))
        hints.tagOffset = 0;
    yaffs2::Layout l = hints.applyTo(params.layout);
    if (auto ecc = optionText(o, "ecc")) {
        l.dataEcc = *ecc == "yaffs"  ? yaffs2::kEccYaffs
                    : *ecc == "nand" ? yaffs2::kEccNand
                                     : yaffs2::kEccNone;
        l.dataEccOffset = 0;
        if (l.dataEcc != yaffs2::kEccNone) {
            auto at = yaffs2::standardDataEccOffset(l);
            if (!at)
                throw Error(msg("the data ECC (%1 bytes) does not fit beside the tags in the "
                                "spare area of %2",
                                l.dataEccBytes(), yaffs2::layoutMessage(l)));
            l.dataEccOffset = *at;
        }
    }
    return l;
}

FormatOptions yaffs2LayoutOptions(const yaffs2::Layout& l) {
    FormatOptions o;
    o["page-size"] = std::to_string(l.pageSize);
    o["spare-size"] = std::to_string(l.spareSize);
    if (l.inbandTags)
        o["inband-tags"] = "";
    else
        o["tag-offset"] = std::to_string(l.tagOffset);
    if (!l.tagEcc)
        o["no-tag-ecc"] = "";
    o["byte-order"] = l.order == yaffs2::ByteOrder::kBig ? "be" : "le";
    o["ecc"] = l.dataEcc == yaffs2::kEccYaffs  ? "yaffs"
               : l.dataEcc == yaffs2::kEccNand ? "nand"
                                               : "none";
    return o;
}

Bytes newImageChunk(uint32_t now) {
    using namespace yaffs2;
    Bytes chunk(kChunkSize, std::byte{0});
    std::fill(chunk.begin(), chunk.begin() + kDataSize, std::byte{0x01});
    ObjectHeader h;
    h.type = kHdrDirectory;
    h.parent = kObjIdRoot;
    h.mode = 040755;
    h.atime = h.mtime = h.ctime = now;
    encodeHeader(h, chunk.data(), std::byte{0x01});
    std::byte* tags = chunk.data() + kTagOffsetPlain;
    storeTags(tags, {kSeqLowest, kObjIdRoot, 0, 0xFFFF});
    storeTagEcc(tags + kTagsSize, computeTagEcc(tags));
    return chunk;
}

std::unique_ptr<Timg> newYaffs2Image() {
    auto img = std::make_unique<Tyaffs2obj>();
    img->setLayout(yaffs2::kDefaultLayout);
    img->Init(ImageData::fromBytes(newImageChunk(static_cast<uint32_t>(std::time(nullptr)))));
    return img;
}

const FormatRow& yaffs2FormatRow() {
    static const FormatRow row{
        .name = "yaffs2",
        .title = "YAFFS2",
        .role = FormatRole::kFilesystem,
        .probe = probeYaffs2,
        .make = makeYaffs2,
        .saveTypes = kSaveTypes,
        .ownSaveType = ownType,
        .write = writeImage,
        .options = kOptions,
        .needsOnePiece = true,
        .saveFlag = kFlagYaffsSave,
        .settingsPage = "yaffs2",
        .makeEmpty = newYaffs2Image,
        .statisticalProbe = true,
    };
    return row;
}

} // namespace korvane
