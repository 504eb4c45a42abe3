#include "ext_planner.h"

#include "model/error.h"

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

void DirectoryBuilder::add(uint32_t inode, std::string_view name) {
    const uint64_t need = (name.size() + 3) / 4 * 4 + de::kHeaderSize;
    if (!empty_ && end_ + need > size_) {
        setRecordLength(last_, size_ - last_);
        end_ = size_;
    }
    if (end_ == size_) {
        size_ += kWriteBlockSize;
        if (out_)
            out_->resize(static_cast<size_t>(size_), std::byte{0});
    }
    if (out_) {
        std::byte* e = out_->data() + end_;
        store32(e + de::kInode, inode);
        store16(e + de::kRecLen, static_cast<uint16_t>(need));
        e[de::kNameLen] = static_cast<std::byte>(name.size());
        e[de::kFileType] = std::byte{0};
        std::memcpy(e + de::kName, name.data(), name.size());
    }
    last_ = end_;
    end_ += need;
    empty_ = false;
}

uint64_t DirectoryBuilder::finish() {
    if (!empty_)
        setRecordLength(last_, size_ - last_);
    return size_;
}

bool IsWritten(const Node& child, bool parentIsRoot) {
    if (child.entry.objType < kTypeFile || child.entry.objType > kTypeOther)
        return false;
    return !(parentIsRoot && child.text == kLostFoundName);
}

uint64_t DirectoryBytes(const Node& dir, bool isRoot) {
    DirectoryBuilder b;
    b.add(0, ".");
    b.add(0, "..");
    if (isRoot)
        b.add(0, kLostFoundName);
    for (const auto& c : dir.children)
        if (IsWritten(*c, isRoot))
            b.add(0, c->text);
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

ExtPlan PlanImage(const AbsoluteIndex& tree, bool ext3) {
    ExtPlan p;
    p.ext3 = ext3;
    uint64_t bytes = uint64_t{kLostFoundBlocks} * kWriteBlockSize;
    uint64_t inodes = kLostFoundIno;
    ForEachWritten(tree, [&](const Node* n, size_t index) {
        bytes = std::min(bytes + PlanBlocks(*n, index == 0), kHugeSize);
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

uint32_t BlockAllocator::NextBlock() {
    const uint32_t within = (cursor_ - kFirstDataBlock) % kGroupBlocks + 1;
    const uint64_t next =
        within < kGroupBlocks ? uint64_t{cursor_} + 1 : uint64_t{cursor_} + 1 + metadataBlocks_;
    if (next >= blocksCount_)
        throw Error("镜像空间规划不足，无法继续写入（第 " + std::to_string(next) + " 块超出 " +
                    std::to_string(blocksCount_) + " 块的镜像）");
    cursor_ = static_cast<uint32_t>(next);
    return cursor_;
}

} // namespace korvane::ext2
