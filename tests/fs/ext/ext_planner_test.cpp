// The layout planner: indirect blocks, directory sizes, image sizes, group and
// inode counts, the journal, and the block allocator.
#include "ext_write_util.h"
#include "fs/ext/ext_planner.h"
#include "model/error.h"
#include "transfer/loadimage.h"

#include <gtest/gtest.h>
#include <random>

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

TEST(ExtPlanner, LostFoundKeepsWhatItHolds) {
    auto img = newimage();
    Node* root = img->root();
    ExtPlan base = plan(*img, false);
    Node* lf = addNode(*img, root, "lost+found", kTypeDirectory, 040700);
    Node* big = addNode(*img, lf, "old", kTypeFile, 0644);
    big->entry.size = 100 * K;
    addNode(*img, lf, "sub", kTypeDirectory, 040700);
    ExtPlan p = plan(*img, false);
    EXPECT_GE(p.estimatedBytes, base.estimatedBytes + 100 * K + K) << "its contents are written";
    EXPECT_EQ(p.inodesNeeded, 11u + 3) << "sub has absolute index 3";

    // A deeper lost+found is an ordinary folder.
    const ExtPlan before = p;
    Node* d = addNode(*img, root, "d", kTypeDirectory, 040755);
    Node* deep = addNode(*img, d, "lost+found", kTypeDirectory, 040700);
    Node* f = addNode(*img, deep, "f", kTypeFile, 0644);
    f->entry.size = 3 * K;
    p = plan(*img, false);
    EXPECT_EQ(p.estimatedBytes, before.estimatedBytes + K + K + 3 * K);
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

// The indirect blocks counted for a file's spans are the ones the map
// builder allocates, for random spans at every level.
TEST(ExtPlanner, IndirectBlocksOfSparseFiles) {
    std::mt19937 rng(5);
    for (uint32_t bs : {1024u, 4096u}) {
        const uint64_t p = bs / 4;
        const uint64_t edges[] = {0, 11, 12, 13, 12 + p, 12 + p + p * p, 12 + p + p * p + 3 * p};
        for (int round = 0; round < 200; ++round) {
            std::vector<BlockSpan> spans;
            uint64_t at = 0;
            for (auto n = static_cast<int>(rng() % 6); n >= 0; --n) {
                at += rng() % 3 ? rng() % (2 * p) : edges[rng() % std::size(edges)];
                const uint64_t len = 1 + rng() % (rng() % 4 ? 40 : 3 * p);
                spans.push_back({at, at + len});
                at += len + 1 + rng() % 5;
            }
            uint32_t next = 100;
            uint64_t blocks = 0;
            BlockMapBuilder b(
                bs, [&] { return next++; }, [](uint32_t, ByteSpan) {});
            for (const BlockSpan& s : spans)
                for (uint64_t l = s.first; l < s.end; ++l, ++blocks)
                    b.map(l);
            std::byte slots[60];
            b.finish(slots);
            EXPECT_EQ(IndirectBlocksFor(spans, bs), b.indirectBlocks());
            EXPECT_EQ(next - 100, blocks + b.indirectBlocks());
        }
        for (uint64_t n : {1ull, 12ull, 13ull, 268ull, 269ull, 65805ull, 70000ull})
            EXPECT_EQ(IndirectBlocksFor({{0, n}}, 1024), IndirectBlocks(n)) << n;
    }
    EXPECT_EQ(ExtentTreeBlocks(4, 1024), 0u);
    EXPECT_EQ(ExtentTreeBlocks(5, 1024), 1u);
    EXPECT_EQ(ExtentTreeBlocks(4 * 84, 1024), 4u) << "four leaves under the inode";
    EXPECT_EQ(ExtentTreeBlocks(4 * 84 + 1, 1024), 6u) << "five leaves and an index block";
}

// s_inodes_count is 32 bits: a count past it is refused, and rounding the
// inode tables up to whole blocks never carries a count past it (2^32 was
// once stored as 0).
TEST(ExtPlanner, InodeCountsStayIn32Bits) {
    ExtFormat f;
    f.kind = ExtKind::kExt4;
    f.classic = false;
    f.style = LayoutStyle::kStandard;
    f.blockSize = 4096;
    f.inodeSize = 256;
    f.roCompat = kRoCompatSparseSuper;
    f.incompat = kIncompatFlexBg | kIncompat64bit;
    f.inodes = uint64_t{1} << 32;
    EXPECT_THROW(PlanSizedImage(f, TreeCost{}), Error);
    // 131072 groups, whose tables hold a multiple of 16 inodes: 32752 each at
    // most, as 32768 would make 2^32.
    f.size = uint64_t{0xFFFFFFFF} * 4096;
    f.inodes = uint64_t{32752} * 131072 + 1;
    EXPECT_THROW(PlanSizedImage(f, TreeCost{}), Error);
    f.inodes = uint64_t{32752} * 131072;
    EXPECT_EQ(PlanSizedImage(f, TreeCost{}).geo.inodesCount(), f.inodes);
}

// Every layout keeps its metadata apart, inside the image, and the allocator
// hands out exactly the blocks left between.
TEST(ExtPlanner, LayoutsKeepMetadataApart) {
    auto geometry = [](LayoutStyle style, uint32_t bs, uint64_t blocks, uint32_t ipg, uint32_t ro,
                       uint32_t incompat) {
        Geometry g;
        g.style = style;
        g.blockSize = bs;
        g.inodeSize = 256;
        g.blocksCount = blocks;
        g.inodesPerGroup = ipg;
        g.roCompat = ro;
        g.incompat = incompat;
        return g;
    };
    const Geometry cases[] = {
        geometry(LayoutStyle::kEveryGroup, 1024, 20000, 256, 0, 0),
        geometry(LayoutStyle::kEveryGroup, 4096, 100000, 512, 0, 0),
        geometry(LayoutStyle::kStandard, 1024, 300000, 2048, kRoCompatSparseSuper, kIncompatFlexBg),
        geometry(LayoutStyle::kStandard, 4096, 1000000, 8192, kRoCompatSparseSuper,
                 kIncompatFlexBg),
        geometry(LayoutStyle::kStandard, 2048, 70000, 1024, kRoCompatSparseSuper, 0),
        geometry(LayoutStyle::kStandard, 1024, 50000, 128, 0, 0),
    };
    for (const Geometry& g : cases) {
        SCOPED_TRACE(std::to_string(g.blockSize) + " " + std::to_string(g.blocksCount));
        Layout layout(g);
        ASSERT_TRUE(layout.fits()) << layout.error().english();
        const auto& r = layout.reserved();
        for (size_t i = 0; i < r.size(); ++i) {
            EXPECT_LE(r[i].end(), g.blocksCount);
            if (i > 0) {
                EXPECT_LE(r[i - 1].end(), r[i].first) << "overlap at " << r[i].first;
            }
        }
        auto inUse = [&](uint64_t b, uint64_t n) {
            for (const BlockRange& x : r)
                if (x.inUse && x.first <= b && b + n <= x.end())
                    return true;
            return false;
        };
        for (uint32_t grp = 0; grp < g.groupCount(); ++grp) {
            const GroupPlace& gp = layout.group(grp);
            EXPECT_TRUE(inUse(gp.blockBitmap, 1) && inUse(gp.inodeBitmap, 1) &&
                        inUse(gp.inodeTable, g.inodeTableBlocks()))
                << "group " << grp;
        }
        BlockAllocator alloc(g.blocksCount, r, g.firstDataBlock());
        uint64_t handed = 0;
        size_t k = 0;
        try {
            for (;;) {
                const uint32_t b = alloc.NextBlock();
                while (k < r.size() && r[k].end() <= b)
                    ++k;
                ASSERT_FALSE(k < r.size() && r[k].first <= b) << "reserved block " << b;
                ++handed;
            }
        } catch (const Error&) {
        }
        EXPECT_EQ(handed, layout.freeBlocks());
    }
}

} // namespace
