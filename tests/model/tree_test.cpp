#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/yaffs2_builder.h"

#include <gtest/gtest.h>

using namespace korvane;
using korvane::test::pattern;
using korvane::test::Yaffs2Builder;

namespace {

// root: system(258){app(259){x.apk(260), y.apk(261)}, lib(262)}, etc(263){hosts(264)}, top(265)
std::unique_ptr<Tyaffs2obj> sampleImage() {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "system");
    b.dir(259, 258, "app");
    b.file(260, 259, "x.apk", pattern(10, 1));
    b.file(261, 259, "y.apk", pattern(10, 2));
    b.dir(262, 258, "lib");
    b.dir(263, 1, "etc");
    b.file(264, 263, "hosts", pattern(10, 3));
    b.file(265, 1, "top", pattern(10, 4));
    auto img = std::make_unique<Tyaffs2obj>();
    img->Init(ImageData::fromBytes(b.bytes()));
    img->Open();
    return img;
}

TEST(Tree, SubtreeSizesAndPaths) {
    auto img = sampleImage();
    EXPECT_EQ(subnodecount(*img, 1), 9u);
    EXPECT_EQ(subnodecount(*img, 258), 5u);
    EXPECT_EQ(subnodecount(*img, 259), 3u);
    EXPECT_EQ(subnodecount(*img, 262), 1u);
    EXPECT_EQ(subnodecount(*img, 265), 1u);
    EXPECT_EQ(subnodecount(*img, 9999), 0u);

    Node* root = img->root();
    Node* x = img->nodeFor(260);
    EXPECT_EQ(nodepath(root, x), "system/app/x.apk");
    EXPECT_EQ(nodepath(img->nodeFor(258), x), "system/app/x.apk") << "top's own name begins it";
    EXPECT_EQ(nodepath(img->nodeFor(259), x), "app/x.apk");
    EXPECT_EQ(nodepath(x, x), "x.apk");
    EXPECT_EQ(nodepath(root, root), "");
    EXPECT_EQ(nodepath(img->nodeFor(263), x), "system/app/x.apk") << "not below top";
}

TEST(Tree, AbsoluteIndicesRunOverSubtrees) {
    auto img = sampleImage();
    AbsoluteIndex ix(img->root());
    ASSERT_EQ(ix.size(), 9u);
    EXPECT_EQ(ix.at(0), img->root());
    EXPECT_EQ(ix.end(0), 9u);
    // Every subtree is the unbroken run from its node, as long as subnodecount.
    for (size_t i = 0; i < ix.size(); ++i) {
        Node* n = ix.at(i);
        EXPECT_EQ(ix.indexOf(n), i);
        EXPECT_EQ(ix.end(i) - i, subnodecount(*img, n->entry.objId)) << n->text;
        for (size_t k = i + 1; k < ix.end(i); ++k) {
            const Node* up = ix.at(k);
            while (up && up != n)
                up = up->parent;
            EXPECT_EQ(up, n) << ix.at(k)->text << " lies in the run of " << n->text;
        }
        if (n->parent) {
            EXPECT_LT(ix.indexOf(n->parent), i);
        }
    }
    Node stranger;
    EXPECT_EQ(ix.indexOf(&stranger), AbsoluteIndex::npos);
    EXPECT_EQ(ix.indexOf(img->nodeFor(258)) + 1, ix.indexOf(img->nodeFor(259)));
}

TEST(Tree, AbsoluteIndicesOfManyNodesFindEveryOne) {
    // Enough nodes, in folders of uneven sizes, for the index's table to
    // collide and wrap around.
    Node root;
    Node* folder = &root;
    for (int i = 0; i < 20000; ++i) {
        if (i % 97 == 0)
            folder = root.addChild(std::make_unique<Node>());
        folder->addChild(std::make_unique<Node>());
    }
    AbsoluteIndex ix(&root);
    ASSERT_EQ(ix.size(), root.subtreeSize());
    for (size_t i = 0; i < ix.size(); ++i)
        ASSERT_EQ(ix.indexOf(ix.at(i)), i);
    EXPECT_EQ(ix.end(0), ix.size());
    EXPECT_EQ(ix.end(1), 1 + 1 + 97u) << "the first folder and its files";
    Node stranger;
    EXPECT_EQ(ix.indexOf(&stranger), AbsoluteIndex::npos);
}

TEST(Tree, NewObjectIdsRiseAndStopAtTheLimit) {
    auto img = sampleImage();
    EXPECT_EQ(img->maxObjId, 265u);
    EXPECT_EQ(img->newobjid(), 266u);
    EXPECT_EQ(img->newobjid(), 267u);
    EXPECT_EQ(img->maxObjId, 267u);
    EXPECT_GE(img->nodeTable.size(), 268u);

    img->maxObjId = kObjIdLimit - 2;
    EXPECT_EQ(img->newobjid(), kObjIdLimit - 1);
    size_t tableSize = img->nodeTable.size();
    try {
        img->newobjid();
        FAIL() << "an id beyond the limit was handed out";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("no object id is left"), std::string::npos);
    }
    EXPECT_EQ(img->maxObjId, kObjIdLimit - 1);
    EXPECT_EQ(img->nodeTable.size(), tableSize);
    EXPECT_EQ(img->nodeFor(kObjIdLimit + 5), nullptr);
}

TEST(Tree, SafeFileNames) {
    for (std::string_view ok : {"a", "...", ".hidden", "a b", "名字", " "})
        EXPECT_TRUE(safeFileName(ok)) << ok;
    for (std::string_view bad :
         {std::string_view(""), std::string_view("."), std::string_view(".."),
          std::string_view("a/b"), std::string_view("/"), std::string_view("../x"),
          std::string_view("a\0b", 3)})
        EXPECT_FALSE(safeFileName(bad)) << bad;
}

} // namespace
