#include "ext_planner.h"

#include "ext_check.h"
#include "model/error.h"
#include "model/tree.h"
#include "xattr.h"

#include <algorithm>
#include <cstring>

namespace korvane::ext2 {

namespace {

constexpr uint64_t kPerBlock = kWriteBlockSize / 4; // block numbers in an indirect block
constexpr uint64_t kSingleEnd = kDirectBlocks + kPerBlock;
constexpr uint64_t kDoubleEnd = kSingleEnd + kPerBlock * kPerBlock;
// Sizes beyond any image are counted as this, so sums cannot overflow.
constexpr uint64_t kHugeSize = uint64_t{1} << 40;
constexpr uint64_t kMiB = uint64_t{1} << 20;

uint64_t ceilDiv(uint64_t a, uint64_t b) {
    return (a + b - 1) / b;
}

uint64_t wholeBlocks(uint64_t size) {
    return ceilDiv(size, kWriteBlockSize) * kWriteBlockSize;
}

} // namespace

uint64_t IndirectBlocks(uint64_t n) {
    if (n <= kDirectBlocks)
        return 0;
    if (n <= kSingleEnd)
        return 1;
    if (n <= kDoubleEnd)
        return 2 + ceilDiv(n - kSingleEnd, kPerBlock);
    // single, double and its 256 second-level blocks, triple; then under the
    // triple block one second-level block per 65536 and one third-level
    // block per 256 data blocks.
    const uint64_t rest = n - kDoubleEnd;
    return 3 + kPerBlock + ceilDiv(rest, kPerBlock * kPerBlock) + ceilDiv(rest, kPerBlock);
}

uint64_t IndirectBytes(uint64_t size) {
    const uint64_t data = wholeBlocks(std::min(size, kHugeSize));
    return data + kWriteBlockSize * IndirectBlocks(data / kWriteBlockSize);
}

void DirectoryBuilder::setRecordLength(uint64_t at, uint64_t length) {
    if (out_)
        store16(out_->data() + at + de::kRecLen, static_cast<uint16_t>(length));
}

void DirectoryBuilder::newBlock() {
    end_ = size_;
    size_ += blockSize_;
    limit_ = end_ + room_;
    if (!out_)
        return;
    out_->resize(static_cast<size_t>(size_), std::byte{0});
    if (tail_) {
        std::byte* t = out_->data() + limit_;
        store16(t + de::kRecLen, static_cast<uint16_t>(dt::kTailSize));
        t[de::kFileType] = std::byte{dt::kTailFileType};
    }
}

void DirectoryBuilder::add(uint32_t inode, std::string_view name, uint8_t fileType) {
    const uint64_t need = (name.size() + 3) / 4 * 4 + de::kHeaderSize;
    if (empty_) {
        newBlock();
    } else if (end_ + need > limit_) {
        setRecordLength(last_, limit_ - last_);
        newBlock();
    }
    if (out_) {
        std::byte* e = out_->data() + end_;
        store32(e + de::kInode, inode);
        store16(e + de::kRecLen, static_cast<uint16_t>(need));
        e[de::kNameLen] = static_cast<std::byte>(name.size());
        e[de::kFileType] = static_cast<std::byte>(fileType);
        std::memcpy(e + de::kName, name.data(), name.size());
    }
    last_ = end_;
    end_ += need;
    empty_ = false;
}

uint64_t DirectoryBuilder::finish() {
    if (!empty_)
        setRecordLength(last_, limit_ - last_);
    return size_;
}

bool IsWritten(const Node& child, bool) {
    return child.entry.objType >= kTypeFile && child.entry.objType <= kTypeOther;
}

const Node* TreeLostFound(const Node& root) {
    for (const auto& c : root.children)
        if (c->text == kLostFoundName && c->isDirectory())
            return c.get();
    return nullptr;
}

std::string WrittenName(const Node& child, bool parentIsRoot) {
    if (!parentIsRoot || child.text != kLostFoundName || child.isDirectory())
        return child.text;
    const Node& root = *child.parent;
    for (int k = 1;; ++k) {
        std::string name = std::string(kLostFoundName) + "." + std::to_string(k);
        if (std::none_of(root.children.begin(), root.children.end(),
                         [&](const auto& c) { return c->text == name; }))
            return name;
    }
}

uint64_t DirectoryBytes(const Node& dir, bool isRoot, uint32_t blockSize, bool tail) {
    DirectoryBuilder b(nullptr, blockSize, tail);
    b.add(0, ".");
    b.add(0, "..");
    if (isRoot && !TreeLostFound(dir))
        b.add(0, kLostFoundName);
    for (const auto& c : dir.children)
        if (IsWritten(*c, isRoot))
            b.add(0, WrittenName(*c, isRoot));
    return b.finish();
}

uint64_t PlanBlocks(const Node& node, bool isRoot) {
    const TImgEntry& e = node.entry;
    switch (e.objType) {
    case kTypeDirectory:
        return IndirectBytes(DirectoryBytes(node, isRoot));
    case kTypeFile:
        return IndirectBytes(e.size);
    case kTypeSymlink:
        return e.alias.size() > kFastSymlinkMax ? kWriteBlockSize : 0;
    case kTypeHardlink:
    case kTypeSpecial:
    case kTypeBlockDevice:
    case kTypeOther:
        return kWriteBlockSize;
    default:
        return 0;
    }
}

uint32_t JournalSize(uint64_t estimatedBytes) {
    const uint64_t share = std::min(estimatedBytes, kHugeSize) * 3 / 100;
    const uint64_t size = ceilDiv(share, kMiB) * kMiB;
    return static_cast<uint32_t>(std::clamp<uint64_t>(size, kMinJournalSize, kMaxJournalSize));
}

uint64_t ImageSize(uint64_t estimatedBytes, uint32_t inodesPerGroup) {
    const uint64_t metadata = GroupMetadataBlocks(inodesPerGroup);
    const uint64_t h = ceilDiv(estimatedBytes, kWriteBlockSize);
    const uint64_t g = ceilDiv(h, kGroupBlocks - metadata);
    const uint64_t u = h + metadata * g;
    if (u % kGroupBlocks == 0)
        return u * kWriteBlockSize + kWriteBlockSize;
    return ceilDiv(u + 1, kMiB / kWriteBlockSize) * kMiB;
}

ExtPlan PlanImage(const AbsoluteIndex& tree, bool ext3,
                  const std::function<uint64_t(const Node&)>& fileBytes, uint64_t extraBytes) {
    ExtPlan p;
    p.ext3 = ext3;
    uint64_t bytes = uint64_t{kLostFoundBlocks} * kWriteBlockSize + std::min(extraBytes, kHugeSize);
    uint64_t inodes = kLostFoundIno;
    ForEachWritten(tree, [&](const Node* n, size_t index) {
        const bool file = n->entry.objType == kTypeFile && fileBytes;
        const uint64_t b = file ? std::min(fileBytes(*n), kHugeSize) : PlanBlocks(*n, index == 0);
        bytes = std::min(bytes + b, kHugeSize);
        if (n->entry.objType != kTypeHardlink)
            inodes = std::max(inodes, InodeFor(index));
    });
    p.journalSize = JournalSize(bytes);
    if (ext3)
        bytes += IndirectBytes(p.journalSize);
    p.estimatedBytes = bytes;
    p.inodesNeeded = inodes;

    auto setSize = [&p](uint64_t imageSize) {
        p.imageSize = imageSize;
        p.blocksCount = ceilDiv(imageSize, kWriteBlockSize);
        p.groupCount = ceilDiv(p.blocksCount - kFirstDataBlock, kGroupBlocks);
        p.inodesCount = p.groupCount * p.inodesPerGroup;
    };
    setSize(ImageSize(bytes));
    // More objects than inodes: larger inode tables. Larger tables can make
    // more groups, which only lowers what each needs, so this settles at once.
    while (p.inodesNeeded > p.inodesCount && p.inodesPerGroup < kMaxGroupInodes) {
        const uint64_t want = ceilDiv(ceilDiv(p.inodesNeeded, p.groupCount), 8) * 8;
        p.inodesPerGroup = static_cast<uint32_t>(std::min<uint64_t>(want, kMaxGroupInodes));
        setSize(ImageSize(bytes, p.inodesPerGroup));
    }
    // Full inode tables too few: more groups, the last one 2 MiB (room for its
    // metadata), as long as the layout has room for them.
    if (p.inodesNeeded > p.inodesCount && p.inodesNeeded <= kMaxInodes) {
        const uint64_t groups = ceilDiv(p.inodesNeeded, p.inodesPerGroup);
        setSize((groups - 1) * kGroupBlocks * kWriteBlockSize + 2 * kMiB);
    }
    return p;
}

std::vector<BlockSpan> DataSpans(Timg& img, const TImgEntry& e, uint32_t blockSize) {
    std::vector<BlockSpan> out;
    const uint64_t total = img.contentSize(e);
    for (uint64_t pos = 0; pos < total;) {
        const ContentRange r = img.nextData(e, pos);
        if (r.begin >= r.end)
            break;
        const uint64_t a = r.begin / blockSize, b = ceilDiv(r.end, blockSize);
        if (!out.empty() && a <= out.back().end)
            out.back().end = std::max(out.back().end, b);
        else
            out.push_back({a, b});
        pos = r.end;
    }
    return out;
}

uint64_t ExtentsAtMost(uint64_t blocks, uint32_t blocksPerGroup) {
    if (blocks == 0)
        return 0;
    // A run shorter than a group passes at most one group's head.
    return ceilDiv(blocks, ext::kInitMaxLen) + ceilDiv(blocks, blocksPerGroup) + 1;
}

uint32_t LostFoundBlocks(uint32_t blockSize) {
    return std::min<uint32_t>(kLostFoundBlocks,
                              std::max<uint32_t>(2, (16384 + blockSize - 1) / blockSize));
}

namespace {

// Blocks of the map of a file with data in spans.
uint64_t mapBlocks(const ExtFormat& f, const std::vector<BlockSpan>& spans) {
    if (!f.extents())
        return IndirectBlocksFor(spans, f.blockSize);
    uint64_t extents = 0;
    for (const BlockSpan& s : spans)
        extents += ExtentsAtMost(s.end - s.first, f.blockSize * 8);
    return ExtentTreeBlocks(extents, f.blockSize);
}

uint64_t denseBlocks(const ExtFormat& f, uint64_t blocks) {
    return blocks == 0 ? 0 : blocks + mapBlocks(f, {{0, blocks}});
}

uint32_t inodeXattrRoom(const ExtFormat& f) {
    Geometry g;
    g.inodeSize = f.inodeSize;
    return g.inodeXattrRoom();
}

} // namespace

TreeCost CostTree(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f) {
    TreeCost c;
    const uint32_t bs = f.blockSize;
    const uint32_t room = inodeXattrRoom(f);
    c.blocks = denseBlocks(f, LostFoundBlocks(bs));
    ForEachWritten(tree, [&](const Node* n, size_t index) {
        const TImgEntry& e = n->entry;
        if (e.objType == kTypeHardlink) {
            if (const Node* t = LinkTarget(img, tree, n))
                ++c.hardLinks[static_cast<uint32_t>(InodeFor(tree.indexOf(t)))];
            return;
        }
        c.inodesNeeded = std::max(c.inodesNeeded, InodeFor(index));
        switch (e.objType) {
        case kTypeDirectory:
            c.blocks += denseBlocks(f, DirectoryBytes(*n, index == 0, bs, f.csum()) / bs);
            break;
        case kTypeFile: {
            std::vector<BlockSpan> spans = DataSpans(img, e, bs);
            for (const BlockSpan& s : spans)
                c.blocks += s.end - s.first;
            c.blocks += mapBlocks(f, spans);
            c.largeFile = c.largeFile || e.size >= (uint64_t{1} << 31);
            const uint64_t blocks = ceilDiv(e.size, bs);
            const bool dense =
                blocks == 0 ? spans.empty()
                            : spans.size() == 1 && spans[0].first == 0 && spans[0].end == blocks;
            if (!dense)
                c.fileSpans.emplace(e.objId, std::move(spans));
            break;
        }
        case kTypeSymlink:
            c.blocks += e.alias.size() > kFastSymlinkMax ? denseBlocks(f, 1) : 0;
            break;
        default:
            break;
        }
        if (e.xattrs.empty())
            return;
        c.xattrs = true;
        PackedXattrs x = packXattrs(e.xattrs, room, bs, "/" + pathFromRoot(n));
        if (!x.block.empty())
            ++c.xattrRefs[std::string(reinterpret_cast<const char*>(x.block.data()),
                                      x.block.size())];
    });
    for (const auto& [block, refs] : c.xattrRefs)
        c.blocks += ceilDiv(refs, xa::kRefcountMax);
    return c;
}

std::vector<BlockSpan> TreeCost::spansOf(const TImgEntry& e, uint32_t blockSize) const {
    const auto it = fileSpans.find(e.objId);
    if (it != fileSpans.end())
        return it->second;
    if (e.size == 0)
        return {};
    return {{0, ceilDiv(e.size, blockSize)}};
}

uint32_t JournalBlocks(uint64_t blocks) {
    if (blocks < 32768)
        return kMinJournalBlocks;
    if (blocks < 256 * 1024)
        return 4096;
    if (blocks < 512 * 1024)
        return 8192;
    if (blocks < 4096 * 1024)
        return 16384;
    if (blocks < 8192 * 1024)
        return 32768;
    if (blocks < 16384 * 1024)
        return 65536;
    if (blocks < 32768 * 1024)
        return 131072;
    return 262144;
}

namespace {

constexpr uint64_t kMaxBlocks = 0xFFFFFFFFull;
constexpr uint64_t kMaxInodeCount = 0xFFFFFFFFull; // s_inodes_count is 32 bits
constexpr uint64_t kBytesPerInode = 16384;

struct Evaluation {
    Geometry geo;
    std::string why; // empty: it fits; "inodes", "groups", or "layout" (see layoutWhy)
    Message layoutWhy;
    uint64_t need = 0;
    bool fits() const { return why.empty() && need <= geo.blocksCount; }
};

class Sizer {
public:
    Sizer(const ExtFormat& f, const TreeCost& cost) : f_(f), cost_(cost) {
        base_.kind = f.kind;
        base_.style = f.style;
        base_.blockSize = f.blockSize;
        base_.inodeSize = f.inodeSize;
        base_.compat = f.compat;
        base_.incompat = f.incompat;
        base_.roCompat = f.roCompat;
        if (cost.largeFile)
            base_.roCompat |= kRoCompatLargeFile;
        if (cost.xattrs)
            base_.compat |= kCompatExtAttr;
    }

    uint64_t inodesFor(uint64_t blocks) const {
        uint64_t n = std::max(cost_.inodesNeeded, f_.inodes);
        if (f_.inodeRatio)
            n = std::max(n, blocks * f_.blockSize / kBytesPerInode);
        return n;
    }

    Evaluation evaluate(uint64_t blocks) const {
        Evaluation e;
        e.geo = base_;
        e.geo.blocksCount = blocks;
        const uint32_t groups = e.geo.groupCount();
        const uint64_t inodes = inodesFor(blocks);
        const uint64_t unit = std::max<uint64_t>(8, f_.blockSize / f_.inodeSize);
        uint64_t ipg = groups == 0 ? 0 : ceilDiv(ceilDiv(inodes, groups), unit) * unit;
        // Rounding up to whole table blocks must not pass the 32-bit count.
        if (groups != 0 && ipg * groups > kMaxInodeCount)
            ipg = kMaxInodeCount / groups / unit * unit;
        if (groups == 0 || ipg > uint64_t{f_.blockSize} * 8 || ipg * groups < inodes) {
            e.why = "inodes";
            return e;
        }
        if (f_.style == LayoutStyle::kEveryGroup && groups > maxEveryGroupGroups(f_.blockSize)) {
            e.why = "groups";
            return e;
        }
        e.geo.inodesPerGroup = static_cast<uint32_t>(ipg);
        if (e.geo.has(kCompatHasJournal))
            e.geo.journalBlocks = JournalBlocks(blocks);
        Layout layout(e.geo);
        if (!layout.fits()) {
            e.why = "layout";
            e.layoutWhy = layout.error();
            return e;
        }
        e.need = blocks - layout.freeBlocks() + cost_.blocks +
                 (e.geo.journalBlocks ? denseBlocks(f_, e.geo.journalBlocks) : 0);
        return e;
    }

    // The most inodes blocks can have, for the message.
    uint64_t maxInodes(uint64_t blocks) const {
        Geometry g = base_;
        g.blocksCount = blocks;
        const uint64_t groups = g.groupCount();
        const uint64_t unit = std::max<uint64_t>(8, f_.blockSize / f_.inodeSize);
        const uint64_t ipg = std::min<uint64_t>(uint64_t{f_.blockSize} * 8,
                                                groups ? kMaxInodeCount / groups / unit * unit : 0);
        return groups * ipg;
    }

    // The most a layout of this style holds, for the message.
    uint64_t limitBytes() const {
        if (f_.style == LayoutStyle::kEveryGroup)
            return uint64_t{maxEveryGroupGroups(f_.blockSize)} * f_.blockSize * 8 * f_.blockSize +
                   (f_.blockSize == kMinBlockSize ? kMinBlockSize : 0);
        return kMaxBlocks * f_.blockSize;
    }

private:
    const ExtFormat& f_;
    const TreeCost& cost_;
    Geometry base_;
};

uint64_t roundToMiB(uint64_t blocks, uint32_t blockSize) {
    const uint64_t per = std::max<uint64_t>(1, kMiB / blockSize);
    return ceilDiv(blocks, per) * per;
}

} // namespace

ImagePlan PlanSizedImage(const ExtFormat& f, TreeCost cost) {
    const Sizer sizer(f, cost);
    const uint32_t bs = f.blockSize;
    const uint64_t inodes = std::max(cost.inodesNeeded, f.inodes);
    if (inodes > kMaxInodeCount)
        throw Error(
            msg("an EXT image holds at most %1 inodes; %2 were asked for", kMaxInodeCount, inodes));
    Evaluation e;
    if (f.size != 0) {
        if (f.size % bs != 0)
            throw Error(msg("an image size of %1 bytes is not a whole number of %2-byte blocks",
                            f.size, bs));
        const uint64_t blocks = f.size / bs;
        if (blocks > kMaxBlocks)
            throw Error(
                msg("an EXT image of %1-byte blocks holds at most %2 bytes", bs, kMaxBlocks * bs));
        e = sizer.evaluate(blocks);
        if (e.why == "inodes")
            throw Error(msg("an image of %1 bytes holds at most %2 inodes with %3-byte blocks; "
                            "the tree needs %4",
                            f.size, sizer.maxInodes(blocks), bs, sizer.inodesFor(blocks)));
        if (e.why == "groups")
            throw Error(msg("an EXT2/EXT3 image of %1-byte blocks holds at most %2 bytes", bs,
                            sizer.limitBytes()));
        if (!e.why.empty())
            throw Error(msg("an image of %1 bytes cannot be laid out: %2", f.size, e.layoutWhy));
        if (!e.fits())
            throw Error(msg("the tree needs %1 bytes more than an image of %2 bytes holds; "
                            "choose a larger size",
                            (e.need - blocks) * bs, f.size));
    } else {
        uint64_t blocks = roundToMiB(1 + cost.blocks + cost.blocks / 16, bs);
        for (;;) {
            if (blocks > kMaxBlocks)
                throw Error(msg("the tree needs more than the %1 bytes an EXT image of %2-byte "
                                "blocks holds",
                                kMaxBlocks * bs, bs));
            e = sizer.evaluate(blocks);
            if (e.fits())
                break;
            if (e.why == "groups")
                throw Error(msg("the tree needs more than the %1 bytes an EXT2/EXT3 image of "
                                "%2-byte blocks holds",
                                sizer.limitBytes(), bs));
            uint64_t next = blocks + 1;
            if (e.why == "inodes") // more groups for the inodes
                next = e.geo.firstDataBlock() +
                       ceilDiv(sizer.inodesFor(blocks), uint64_t{bs} * 8) * bs * 8;
            else if (!e.why.empty()) // the last group cannot hold its metadata
                next = blocks + bs * 8 / 4;
            else
                next = e.need;
            blocks = roundToMiB(std::max(next, blocks + 1), bs);
        }
    }
    ImagePlan p;
    p.geo = e.geo;
    p.lostFoundBlocks = LostFoundBlocks(bs);
    p.cost = std::move(cost);
    return p;
}

} // namespace korvane::ext2
