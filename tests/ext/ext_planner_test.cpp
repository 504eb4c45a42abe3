// The layout planner: indirect blocks, directory sizes, image sizes, group and
// inode counts, the journal, and the block allocator.
#include "ext/ext_planner.h"
#include "ext_write_util.h"
#include "model/error.h"
#include "transfer/loadimage.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::ext2;
using namespace korvane::test;

namespace {

constexpr uint64_t K = 1024;
constexpr uint64_t M = 1024 * 1024;

ExtPlan plan(Timg& img, bool ext3) {
    AbsoluteIndex tree(img.root());
    return PlanImage(tree, ext3);
}

TEST(ExtPlanner, IndirectBlocksAtEveryLevel) {
    EXPECT_EQ(IndirectBytes(0), 0u);
    EXPECT_EQ(IndirectBytes(1), K);
    EXPECT_EQ(IndirectBytes(12 * K), 12 * K);
    EXPECT_EQ(IndirectBytes(12 * K + 1), 13 * K + K) << "one single-indirect block";
    EXPECT_EQ(IndirectBytes(268 * K), 269 * K);
    EXPECT_EQ(IndirectBytes(268 * K + 1), 269 * K + 3 * K) << "single, double, one below it";
    EXPECT_EQ(IndirectBlocks(524), 3u);
    EXPECT_EQ(IndirectBlocks(525), 4u);
    EXPECT_EQ(IndirectBlocks(65804), 2u + 256u);
    EXPECT_EQ(IndirectBlocks(65805), 258u + 3u) << "triple, one second- and one third-level";
    EXPECT_EQ(IndirectBlocks(65804 + 256), 261u);
    EXPECT_EQ(IndirectBlocks(65804 + 257), 262u);
    EXPECT_EQ(IndirectBlocks(65804 + 65536 + 1), 258u + 1 + 2 + 257);
    EXPECT_EQ(IndirectBytes(1024 * K), 1029 * K) << "the smallest journal";
}

TEST(ExtPlanner, ImageSizesAndTheGroupEdge) {
    EXPECT_EQ(ImageSize(13 * K), M);
    // 8169 data blocks fill the first group exactly: 8192 blocks after the
    // boot block.
    EXPECT_EQ(ImageSize(8169 * K), 8193 * K);
    EXPECT_EQ(ImageSize(8169 * K - 1), 8193 * K);
    EXPECT_EQ(ImageSize(8170 * K), 9 * M) << "a second group, rounded up to a MiB";
    EXPECT_EQ(ImageSize(8168 * K), 8 * M);
    EXPECT_EQ(ImageSize(2 * 8169 * K), 2 * 8192 * K + K);

    EXPECT_EQ(JournalSize(13 * K), M);
    EXPECT_EQ(JournalSize(35 * M), 2 * M) << "3 % raised to a whole MiB";
    EXPECT_EQ(JournalSize(900 * M), 8 * M);
}

TEST(ExtPlanner, EmptyTree) {
    auto img = newimage();
    ExtPlan p2 = plan(*img, false);
    EXPECT_EQ(p2.estimatedBytes, 13 * K) << "the root directory and lost+found";
    EXPECT_EQ(p2.imageSize, M);
    EXPECT_EQ(p2.blocksCount, 1024u);
    EXPECT_EQ(p2.groupCount, 1u);
    EXPECT_EQ(p2.inodesCount, 128u);
    EXPECT_EQ(p2.journalSize, M);

    ExtPlan p3 = plan(*img, true);
    EXPECT_EQ(p3.journalSize, M);
    EXPECT_EQ(p3.estimatedBytes, 13 * K + M + 5 * K);
    EXPECT_EQ(p3.imageSize, 2 * M);
    EXPECT_EQ(p3.blocksCount, 2048u);
    EXPECT_EQ(p3.groupCount, 1u);
}

TEST(ExtPlanner, FileAtTheGroupEdge) {
    // 8123 data blocks and 33 indirect blocks, the root and lost+found: 8169.
    auto img = newimage();
    Node* f = addNode(*img, img->root(), "f", kTypeFile, 0644);
    f->entry.size = 8123 * K;
    ExtPlan p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, 8169 * K);
    EXPECT_EQ(p.imageSize, 8 * M + K);
    EXPECT_EQ(p.blocksCount, 8193u);
    EXPECT_EQ(p.groupCount, 1u);
    f->entry.size += 1;
    p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, 8170 * K);
    EXPECT_EQ(p.imageSize, 9 * M);
    EXPECT_EQ(p.groupCount, 2u);
    EXPECT_EQ(p.inodesCount, 256u);
}

TEST(ExtPlanner, DirectorySizesFollowTheEntryLayout) {
    auto img = newimage();
    Node* root = img->root();
    Node* d = addNode(*img, root, "d", kTypeDirectory, 040755);
    // "." 12 + ".." 12, then entries of 252, 252, 252 and 244 bytes: full.
    for (int i = 0; i < 4; ++i)
        addNode(*img, d, std::string(i < 3 ? 244 : 236, static_cast<char>('a' + i)), kTypeFile,
                0644);
    EXPECT_EQ(DirectoryBytes(*d, false), K);
    addNode(*img, d, "x", kTypeFile, 0644);
    EXPECT_EQ(DirectoryBytes(*d, false), 2 * K) << "the next entry starts the next block";

    // Names are measured in UTF-8 bytes: 84 x "目" and a digit are 253
    // bytes, an entry of 264; the fourth does not fit beside "." and "..".
    Node* u = addNode(*img, root, "u", kTypeDirectory, 040755);
    std::string wide;
    for (int i = 0; i < 84; ++i)
        wide += "目";
    for (int i = 0; i < 4; ++i)
        addNode(*img, u, wide + std::to_string(i), kTypeFile, 0644);
    EXPECT_EQ(DirectoryBytes(*u, false), 2 * K);

    // The root holds lost+found after "." and "..", and no source lost+found.
    EXPECT_EQ(DirectoryBytes(*root, true), K);
    Node* lf = addNode(*img, root, "lost+found", kTypeDirectory, 040700);
    for (int i = 0; i < 3; ++i)
        addNode(*img, root, std::string(250, static_cast<char>('r' + i)), kTypeFile, 0644);
    EXPECT_EQ(DirectoryBytes(*root, true), K) << "12 + 12 + 20 + 3 x 260 = 824";
    addNode(*img, root, std::string(250, 'z'), kTypeFile, 0644);
    EXPECT_EQ(DirectoryBytes(*root, true), 2 * K);
    (void)lf;
}

TEST(ExtPlanner, LostFoundBelowTheRootOnlyIsLeftOut) {
    auto img = newimage();
    Node* root = img->root();
    ExtPlan base = plan(*img, false);
    Node* lf = addNode(*img, root, "lost+found", kTypeDirectory, 040700);
    Node* big = addNode(*img, lf, "old", kTypeFile, 0644);
    big->entry.size = 100 * K;
    addNode(*img, lf, "sub", kTypeDirectory, 040700);
    ExtPlan p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, base.estimatedBytes) << "replaced by the new lost+found";
    EXPECT_EQ(p.inodesNeeded, 11u) << "nothing below it gets an inode";

    // A deeper lost+found is an ordinary folder and is written.
    Node* d = addNode(*img, root, "d", kTypeDirectory, 040755);
    Node* deep = addNode(*img, d, "lost+found", kTypeDirectory, 040700);
    Node* f = addNode(*img, deep, "f", kTypeFile, 0644);
    f->entry.size = 3 * K;
    p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, base.estimatedBytes + K + K + 3 * K);
    EXPECT_EQ(p.inodesNeeded, 11u + 6) << "f has absolute index 6";
}

TEST(ExtPlanner, LinksAndOtherObjects) {
    auto img = newimage();
    ExtPlan base = plan(*img, false);
    Node* l59 = addSymlink(*img, img->root(), "l59", std::string(59, 't'));
    EXPECT_EQ(PlanBlocks(*l59, false), 0u) << "kept in the inode";
    Node* l60 = addSymlink(*img, img->root(), "l60", std::string(60, 't'));
    EXPECT_EQ(PlanBlocks(*l60, false), K) << "60 bytes leave no room for the zero";
    EXPECT_EQ(PlanBlocks(*addSpecial(*img, img->root(), "c", kTypeSpecial, 020644, {1, 3}), false),
              K);
    EXPECT_EQ(PlanBlocks(*addNode(*img, img->root(), "?", kTypeUnknown, 0), false), 0u);
    ExtPlan p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, base.estimatedBytes + 2 * K);
    EXPECT_EQ(p.inodesNeeded, 11u + 3) << "the object of unknown type is not written";
}

TEST(ExtPlanner, InodeTablesGrowForManyObjects) {
    auto img = newimage();
    for (int i = 0; i < 300; ++i)
        addNode(*img, img->root(), "f" + std::to_string(i), kTypeFile, 0644);
    ExtPlan p = plan(*img, false);
    EXPECT_EQ(p.inodesNeeded, 311u);
    EXPECT_EQ(p.groupCount, 1u) << "more inodes a group, not a larger image";
    EXPECT_EQ(p.inodesPerGroup, 312u) << "a multiple of 8";
    EXPECT_EQ(p.inodesCount, 312u);
    EXPECT_EQ(p.metadataBlocks(), 7u + 39);
    EXPECT_EQ(p.imageSize, M);
    EXPECT_TRUE(p.sizeFits());
    EXPECT_TRUE(p.inodesFit());

    // Hard links take no inode of their own.
    for (int i = 0; i < 100; ++i)
        addHardlink(*img, img->root(), "h" + std::to_string(i), img->root()->children[0].get());
    EXPECT_EQ(plan(*img, false).inodesNeeded, 311u);

    // Trees that fit 128 inodes a group keep that geometry.
    auto few = newimage();
    for (int i = 0; i < 100; ++i)
        addNode(*few, few->root(), "f" + std::to_string(i), kTypeFile, 0644);
    EXPECT_EQ(plan(*few, false).inodesPerGroup, 128u);

    // Full inode tables too few for the data's groups: groups are added.
    auto many = newimage();
    for (uint32_t i = 0; i < 20000; ++i)
        addNode(*many, many->root(), std::to_string(i), kTypeFile, 0644);
    p = plan(*many, false);
    EXPECT_EQ(p.inodesPerGroup, kMaxGroupInodes);
    EXPECT_EQ(p.groupCount, 3u);
    EXPECT_EQ(p.imageSize, 2 * 8 * M + 2 * M) << "the last group holds its 1031 metadata blocks";
    EXPECT_TRUE(p.inodesFit());
}

TEST(ExtPlanner, TheOneGigabyteLimit) {
    auto img = newimage();
    Node* f = addNode(*img, img->root(), "f", kTypeFile, 0644);
    f->entry.size = 1000 * M;
    EXPECT_TRUE(plan(*img, false).sizeFits());
    f->entry.size = 1020 * M;
    EXPECT_FALSE(plan(*img, false).sizeFits());
    f->entry.size = uint64_t{1} << 62; // no overflow on the way
    EXPECT_FALSE(plan(*img, true).sizeFits());
}

TEST(ExtPlanner, NextBlockSkipsGroupMetadata) {
    BlockAllocator a(3 * 8192);
    EXPECT_EQ(a.last(), 23u);
    EXPECT_EQ(a.NextBlock(), 24u);
    uint32_t b = 24;
    while (b < 8192)
        b = a.NextBlock();
    EXPECT_EQ(b, 8192u);
    EXPECT_EQ(a.NextBlock(), 8192u + 24) << "the next group's first data block";
    BlockAllocator small(26);
    EXPECT_EQ(small.NextBlock(), 24u);
    EXPECT_EQ(small.NextBlock(), 25u);
    EXPECT_THROW(small.NextBlock(), Error) << "never past the image";
}

TEST(ExtPlanner, DirectoryBuilderBytes) {
    Bytes out;
    DirectoryBuilder b(&out);
    b.add(2, ".");
    b.add(7, "..");
    b.add(12, "abcde");
    EXPECT_EQ(b.finish(), K);
    ASSERT_EQ(out.size(), K);
    EXPECT_EQ(load32(out.data()), 2u);
    EXPECT_EQ(load16(out.data() + 4), 12u);
    EXPECT_EQ(std::to_integer<int>(out[6]), 1);
    EXPECT_EQ(std::to_integer<int>(out[7]), 0) << "no file type";
    EXPECT_EQ(load32(out.data() + 12), 7u);
    EXPECT_EQ(load16(out.data() + 16), 12u);
    EXPECT_EQ(load32(out.data() + 24), 12u);
    EXPECT_EQ(load16(out.data() + 28), K - 24) << "the last entry runs to the block's end";
    EXPECT_EQ(std::to_integer<int>(out[30]), 5);
    EXPECT_EQ(toString(ByteSpan(out.data() + 32, 5)), "abcde");
}

} // namespace
