#include "ext_writer.h"

#include "ext_check.h"
#include "ext_image_writer.h"
#include "model/error.h"
#include "xattr.h"

#include <ctime>
#include <memory>

namespace korvane {

namespace ext2 {

Message tooManyObjects(uint64_t inodes) {
    return msg("sorry, at most %1 folders and files are supported", inodes);
}

} // namespace ext2

using namespace ext2;

namespace {

// Checks and plans the tree in format f.
ImagePlan planFor(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f,
                  std::vector<Message>* warnings) {
    CheckTree(img, tree, f, warnings);
    if (warnings && !f.sizeNote.empty())
        warnings->push_back(f.sizeNote);
    TreeCost cost = CostTree(img, tree, f);
    if (!f.classic)
        return PlanSizedImage(f, std::move(cost));

    // The classic geometry: sized by its own estimate, with each file
    // counted by what it allocates and the attribute blocks added.
    const auto fileBytes = [&cost](const Node& n) {
        const std::vector<BlockSpan> spans = cost.spansOf(n.entry, kWriteBlockSize);
        uint64_t blocks = IndirectBlocksFor(spans, kWriteBlockSize);
        for (const BlockSpan& s : spans)
            blocks += s.end - s.first;
        return blocks * kWriteBlockSize;
    };
    uint64_t xattrBlocks = 0;
    for (const auto& [block, refs] : cost.xattrRefs)
        xattrBlocks += (refs + xa::kRefcountMax - 1) / xa::kRefcountMax;
    const ExtPlan classic =
        PlanImage(tree, f.kind == ExtKind::kExt3, fileBytes, xattrBlocks * kWriteBlockSize);
    if (!classic.sizeFits())
        throw Error("sorry, images of at most 1 GB are supported");
    if (!classic.inodesFit()) {
        size_t objects = 0;
        ForEachWritten(tree, [&](const Node*, size_t i) { objects += i != 0; });
        throw Error(
            msg("%1 (this tree has %2)", tooManyObjects(kMaxInodes - kGoodOldFirstIno), objects));
    }
    ImagePlan p;
    p.geo.kind = f.kind;
    p.geo.style = LayoutStyle::kEveryGroup;
    p.geo.blockSize = kWriteBlockSize;
    p.geo.inodeSize = kWriteInodeSize;
    p.geo.blocksCount = classic.blocksCount;
    p.geo.inodesPerGroup = classic.inodesPerGroup;
    p.geo.compat = f.compat | (cost.xattrs ? uint32_t{kCompatExtAttr} : 0);
    p.geo.roCompat = cost.largeFile ? uint32_t{kRoCompatLargeFile} : 0;
    p.geo.journalBlocks = f.kind == ExtKind::kExt3 ? classic.journalSize / kWriteBlockSize : 0;
    p.lostFoundBlocks = kLostFoundBlocks;
    p.cost = std::move(cost);
    return p;
}

} // namespace

ImagePlan checkExt(Timg& img, ExtKind kind, const ExtSaveParams& p,
                   std::vector<Message>* warnings) {
    AbsoluteIndex tree(img.root());
    return planFor(img, tree, extFormatFor(kind, p, img), warnings);
}

bool WriteExtImage(Timg& img, const std::string& path, ExtKind kind, const ExtSaveParams& p,
                   JobReporter& rep, std::vector<Message>* warnings) {
    rep.send(0, 0, 2, msg("Working out the space"));
    AbsoluteIndex tree(img.root());
    const ExtFormat f = extFormatFor(kind, p, img);
    const ImagePlan plan = planFor(img, tree, f, warnings);
    const int64_t now = std::time(nullptr);

    rep.send(0, 0, 3, msg("Creating the file"));
    std::unique_ptr<ImageOut> out;
    try {
        out = openImageOut(path, p.sparse, plan.geo.blockSize);
        out->resize(plan.geo.blocksCount * plan.geo.blockSize);
    } catch (const Error& e) {
        throw Error(
            msg("cannot create the image file; another program may be using it.\n%1", e.message()));
    }
    ExtImageWriter w(img, tree, f, plan, *out, rep, now);

    rep.send(0, 0, 4, msg("Writing the data"));
    const bool written = w.WriteTree();
    const auto max = static_cast<int64_t>(plan.geo.blocksCount);
    rep.send(max, max, 5, msg("Done"));
    if (!written || img.cancel.load() != 0)
        return false;
    w.complete();
    out->commit();
    return true;
}

} // namespace korvane