#include "super_format_row.h"

#include "model/error.h"
#include "super_writer.h"
#include "tsuper.h"

namespace korvane {

namespace {

using namespace lp;

const SaveType kSaveTypes[] = {
    {"super", "Android super 镜像"},
};

const FormatOption kOptions[] = {
    {"no-sparse", nullptr,
     "super: write a plain image even when the source was an Android sparse image"},
};

Probe probeSuper(const ProbeInput& in) {
    Message why;
    for (const uint64_t at : {kGeometryOffset, kGeometryBackupOffset}) {
        if (in.head.size() < at + geo::kSize)
            break;
        const ByteSpan block = in.head.subspan(at, geo::kSize);
        if (load32(block.data() + geo::kMagic) != kGeometryMagic)
            continue;
        if (parseGeometry(block, &why))
            return {kProbeVerified,
                    at == kGeometryOffset
                        ? msg("a super geometry whose SHA-256 checksum verifies")
                        : msg("a super backup geometry whose SHA-256 checksum verifies")};
        return {kProbeSignature, msg("the super geometry magic, but %1", why)};
    }
    return {kProbeNone, msg("no super geometry at byte 4096")};
}

std::unique_ptr<Timg> makeSuper(const OpenOptions&) {
    return std::make_unique<Tsuper>();
}

// liblp takes names of letters, digits and underscores; a name it would not
// take is refused before anything is written.
void checkName(const std::string& name) {
    bool ok = !name.empty() && name.size() <= part::kNameBytes;
    for (char c : name)
        ok = ok && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_');
    if (!ok)
        throw Error(
            msg("%1 cannot be a partition name: 1 to 36 letters, digits or underscores", name));
}

uint32_t defaultGroup(const Metadata& m) {
    for (size_t i = 0; i < m.groups.size(); ++i)
        if (m.groups[i].name == "default")
            return static_cast<uint32_t>(i);
    return 0;
}

bool writeSuper(Timg& img, const SaveRequest& req, JobReporter& rep, std::vector<Message>*) {
    auto* source = dynamic_cast<Tsuper*>(&img);
    if (!source)
        throw Error(msg("a super image is written from a super image; to build one from "
                        "partition images use korvane-cli pack-super"));
    const Metadata& old = source->metadata();
    SuperPlan plan;
    plan.geometry = source->geometry();
    plan.metadata = old;
    plan.imageSize = img.size();
    if (old.groups.empty())
        throw Error(msg("the metadata has no partition group to put a partition in"));
    for (const auto& child : img.root()->children) {
        const TImgEntry& e = child->entry;
        if (e.objType != kTypeFile)
            throw Error(msg("%1 is not a partition: a super image holds only files", e.name));
        PartitionPlan p;
        p.name = e.name;
        const int index = source->partitionOf(e.objId);
        if (index >= 0) {
            const Partition& was = old.partitions[static_cast<size_t>(index)];
            if (was.name != p.name)
                checkName(p.name);
            p.attributes = was.attributes;
            p.group = was.group;
            if (img.memberSource(e)) {
                p.keep = true;
                p.extents = old.extentsOf(was);
                p.size = old.sizeOf(was);
            }
        } else {
            checkName(p.name);
            p.group = defaultGroup(old);
        }
        if (!p.keep)
            p.size = img.contentSize(e);
        p.data = memberData(img, e);
        plan.partitions.push_back(std::move(p));
    }
    planExtents(plan);
    const bool sparse = req.sparse && !hasOption(req.options, "no-sparse");
    return writeSuperImage(plan, req.path, sparse, rep, img.cancel);
}

} // namespace

const FormatRow& superFormatRow() {
    static const FormatRow row{
        .name = "super",
        .title = "Android super",
        .role = FormatRole::kContainer,
        .probe = probeSuper,
        .make = makeSuper,
        .saveTypes = kSaveTypes,
        .write = writeSuper,
        .options = kOptions,
        .writesSparse = true,
    };
    return row;
}

} // namespace korvane
