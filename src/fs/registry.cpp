#include "registry.h"

#include "container/bootimg/bootimg_format_row.h"
#include "container/super/super_format_row.h"
#include "container/ubi/ubi_format_row.h"
#include "cpio/cpio_format_row.h"
#include "erofs/erofs_format_row.h"
#include "ext/ext_format_row.h"
#include "jffs2/jffs2_format_row.h"
#include "model/error.h"
#include "source/extent_source.h"
#include "source/nand/nand_format_row.h"
#include "source/sparse/sparse_source.h"
#include "squashfs/squashfs_format_row.h"
#include "ubifs/ubifs_format_row.h"
#include "yaffs1/yaffs1_format_row.h"
#include "yaffs2/yaffs2_format_row.h"

#include <algorithm>

namespace korvane {

namespace {

Probe probeSparse(const ProbeInput& in) {
    if (bidSparse(in.head) <= 0)
        return {kProbeNone, msg("no Android sparse header at byte 0")};
    return {kProbeVerified, msg("an Android sparse header whose sizes check out")};
}

std::unique_ptr<ImageSource> unwrapSparse(std::shared_ptr<const ImageSource> bytes) {
    const uint64_t size = bytes->size();
    return openSparse(rangeSource(std::move(bytes), 0, size));
}

const FormatRow kSparse{
    .name = "sparse",
    .title = "Android sparse",
    .role = FormatRole::kLayer,
    .probe = probeSparse,
    .unwrap = unwrapSparse,
};

// Layers first, then containers, then filesystems: among equal scores the
// earlier row wins.
const std::vector<const FormatRow*>& table() {
    static const std::vector<const FormatRow*> rows = {
        &kSparse,
        &nandFormatRow(),
        &superFormatRow(),
        &bootimgFormatRow(),
        &ubiFormatRow(),
        &extFormatRow(),
        &erofsFormatRow(),
        &ubifsFormatRow(),
        &yaffs2FormatRow(),
        &cpioFormatRow(),
        &jffs2FormatRow(),
        &yaffs1FormatRow(),
        &squashfsFormatRow(),
    };
    return rows;
}

} // namespace

std::span<const FormatRow> formats() {
    static const std::vector<FormatRow> rows = [] {
        std::vector<FormatRow> v;
        for (const FormatRow* r : table())
            v.push_back(*r);
        return v;
    }();
    return rows;
}

const FormatRow* formatNamed(std::string_view name) {
    for (const FormatRow& r : formats())
        if (name == r.name)
            return &r;
    return nullptr;
}

const FormatRow* formatOf(const Timg& img) {
    return img.formatId().empty() ? nullptr : formatNamed(img.formatId());
}

const FormatRow* writerOf(std::string_view saveType) {
    for (const FormatRow& r : formats())
        for (const SaveType& t : r.saveTypes)
            if (saveType == t.name)
                return &r;
    return nullptr;
}

const SaveType* saveTypeNamed(std::string_view name) {
    for (const FormatRow& r : formats())
        for (const SaveType& t : r.saveTypes)
            if (name == t.name)
                return &t;
    return nullptr;
}

const SaveType* ownSaveType(const Timg& img) {
    const FormatRow* r = formatOf(img);
    if (!r || r->saveTypes.empty())
        return nullptr;
    if (!r->ownSaveType)
        return &r->saveTypes.front();
    return saveTypeNamed(r->ownSaveType(img));
}

bool readThroughSparse(const Timg& img) {
    const auto& l = img.layers();
    return std::find(l.begin(), l.end(), kSparse.name) != l.end();
}

std::unique_ptr<Timg> makeEmptyImage() {
    for (const FormatRow& r : formats())
        if (r.makeEmpty) {
            std::unique_ptr<Timg> img = r.makeEmpty();
            img->setFormatId(r.name);
            return img;
        }
    throw Error(msg("no format can start an empty image"));
}

std::vector<ProbeResult> probeAll(const ImageSource& src, const OpenOptions& opt) {
    const Bytes head =
        readBytes(src, 0, static_cast<size_t>(std::min<uint64_t>(src.size(), kProbeHeadBytes)));
    const ProbeInput in{src, head, opt};
    std::vector<ProbeResult> out;
    bool verified = false;
    for (int pass = 0; pass < 2; ++pass)
        for (const FormatRow& r : formats()) {
            if (r.statisticalProbe != (pass == 1) || (pass == 1 && verified))
                continue;
            Probe p = r.probe(in);
            verified = verified || p.score >= kProbeVerified;
            if (p.score > kProbeNone)
                out.push_back({&r, std::move(p)});
        }
    std::stable_sort(out.begin(), out.end(), [](const ProbeResult& a, const ProbeResult& b) {
        return a.probe.score > b.probe.score;
    });
    return out;
}

} // namespace korvane
