#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "support/recording_sink.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"

#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::yaffs2;
using korvane::test::openYaffs2;
using korvane::test::pattern;
using korvane::test::RecordingSink;
using korvane::test::toString;
using korvane::test::Yaffs2Builder;

namespace {

// Every object below the root, one "path:type" or "path:1:size" line each.
std::string tree(Timg& img) {
    std::string out;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n == img.root())
            return;
        out += "/" + pathFromRoot(n) + ":" + std::to_string(n->entry.objType);
        if (n->entry.objType == kTypeFile)
            out += ":" + std::to_string(n->entry.size);
        out += "\n";
    });
    return out;
}

Bytes contents(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        throw std::runtime_error("missing " + path);
    TImgEntry e;
    Bytes buf;
    img.ReadContent(n->entry.objId, e, buf);
    buf.resize(static_cast<size_t>(e.size));
    return buf;
}

Bytes slice(const Bytes& b, size_t from, size_t n) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

// A tree as a writer lays it out: every chunk numbered 4096, headers followed
// by their data.
Yaffs2Builder writerImage(Layout layout = kDefaultLayout) {
    Yaffs2Builder b(layout);
    b.root(040755, 77);
    b.dir(258, 1, "system");
    b.file(259, 258, "a.txt", pattern(3000, 1));
    b.file(260, 258, "b.bin", pattern(4096, 2));
    b.file(261, 1, "empty", {});
    b.symlink(262, 1, "link", "system/a.txt");
    b.hardlink(263, 258, "hard", 259);
    b.special(264, 1, "null", 020666, 0x0103);
    return b;
}

TEST(Yaffs2Scan, WriterImageGivesTreeEntriesAndContents) {
    Yaffs2Builder b = writerImage();
    RecordingSink sink;
    auto img = openYaffs2(b.bytes(), &sink);

    // Folders first, then files grouped by extension.
    EXPECT_EQ(tree(*img), "/system:3\n"
                          "/system/hard:4\n"
                          "/system/b.bin:1:4096\n"
                          "/system/a.txt:1:3000\n"
                          "/empty:1:0\n"
                          "/link:2\n"
                          "/null:5\n");
    const auto& info = img->scanInfo();
    EXPECT_EQ(info.tagOffset, 2048u);
    EXPECT_EQ(info.runsKept, 1u);
    EXPECT_EQ(info.chunkCount, b.chunkCount());
    EXPECT_EQ(img->maxObjId, 264u);

    EXPECT_EQ(img->root()->entry.mode, 040755u);
    EXPECT_EQ(img->root()->entry.mtime, 77u);
    EXPECT_EQ(img->nodeFor(1), img->root());

    Bytes a = pattern(3000, 1);
    Bytes got;
    TImgEntry e;
    ASSERT_TRUE(img->ReadContent(259, e, got));
    ASSERT_EQ(got.size(), 3072u) << "a whole number of KiB, zero-filled";
    EXPECT_EQ(slice(got, 0, 3000), a);
    EXPECT_EQ(slice(got, 3000, 72), Bytes(72, std::byte{0}));
    EXPECT_EQ(contents(*img, "system/b.bin"), pattern(4096, 2));
    EXPECT_EQ(e.name, "a.txt");
    EXPECT_EQ(e.mode, 0100644u);
    EXPECT_EQ(e.atime, 1000u);
    EXPECT_EQ(e.mtime, 2000u);
    EXPECT_EQ(e.ctime, 3000u);

    Node* link = findPath(img->root(), "link");
    EXPECT_EQ(link->entry.alias, "system/a.txt");
    Node* hard = findPath(img->root(), "system/hard");
    EXPECT_EQ(hard->entry.linkInfo, 259u);
    EXPECT_EQ(findPath(img->root(), "null")->entry.rdev, (DevNum{1, 3}));
    EXPECT_EQ(findPath(img->root(), "null")->entry.mode, 020666u);

    // Directories, links and empty files have no contents.
    for (uint32_t id : {258u, 261u, 262u, 263u}) {
        ASSERT_TRUE(img->ReadContent(id, e, got));
        EXPECT_TRUE(got.empty()) << id;
    }
    EXPECT_FALSE(img->GetEntry(9999, e));

    // Events: start, coalesced progress, done; first and last always sent.
    ASSERT_GE(sink.events.size(), 2u);
    EXPECT_EQ(sink.events.front().kind, 1);
    EXPECT_EQ(sink.events.front().message, "正在扫描块");
    EXPECT_EQ(sink.events.back().kind, 4);
    EXPECT_EQ(sink.events.back().message, "完成");
    for (const auto& ev : sink.events)
        EXPECT_EQ(ev.flag, 1);
    bool sawLastBuild = false;
    for (const auto& ev : sink.events)
        sawLastBuild |= ev.kind == 3 && ev.pos == ev.max;
    EXPECT_TRUE(sawLastBuild);
}

TEST(Yaffs2Scan, MarkerLayoutAndEccKindsReadAlike) {
    for (auto ecc : {kEccNone, kEccYaffs, kEccNand}) {
        Yaffs2Builder b = writerImage(plainLayout(kDefaultLayout, true, ecc));
        auto img = openYaffs2(b.bytes());
        EXPECT_EQ(img->scanInfo().tagOffset, 2050u);
        EXPECT_EQ(img->layout().dataEcc, ecc);
        EXPECT_EQ(contents(*img, "system/a.txt"), pattern(3000, 1));
        EXPECT_EQ(img->scanInfo().objects, 8u);
    }
}

TEST(Yaffs2Scan, ZeroTailAndPartialLastChunk) {
    Yaffs2Builder b = writerImage();
    b.zeros(3);
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(img->scanInfo().runsKept, 1u);
    EXPECT_EQ(img->scanInfo().runsDropped, 1u);
    EXPECT_EQ(img->scanInfo().objects, 8u);

    // A last chunk cut right after its tags still counts; one cut inside its
    // tags does not.
    Yaffs2Builder c;
    c.root();
    c.file(258, 1, "f", pattern(100, 3));
    Bytes cut = c.bytes();
    cut.resize(cut.size() - kChunkSize + 2064);
    auto img2 = openYaffs2(cut);
    EXPECT_EQ(img2->scanInfo().chunkCount, 3u);
    EXPECT_EQ(contents(*img2, "f"), pattern(100, 3));
    cut.resize(cut.size() - 1);
    auto img3 = openYaffs2(cut);
    EXPECT_EQ(img3->scanInfo().chunkCount, 2u);
    EXPECT_EQ(contents(*img3, "f"), Bytes(100, std::byte{0}));
}

TEST(Yaffs2Scan, TinyImageHasOnlyARootOrIsRefused) {
    Bytes tiny(2000, std::byte{0x42});
    auto img = openYaffs2(tiny, kDefaultLayout);
    EXPECT_EQ(img->scanInfo().chunkCount, 0u);
    EXPECT_TRUE(img->root()->children.empty());
    EXPECT_EQ(img->root()->entry.mode, 040755u);
    EXPECT_EQ(img->root()->entry.objType, kTypeDirectory);
    EXPECT_THROW(openYaffs2(tiny), Error) << "no layout checks out on it";
}

TEST(Yaffs2Scan, TagOffsetComesFromFirstProgrammedChunk) {
    // A dump that begins with an erased block: the FF FF at 2048 of chunk 0
    // must not force the marker layout.
    Yaffs2Builder b;
    b.erased(64);
    b.root();
    b.file(258, 1, "f", pattern(5000, 4));
    b.erased(64);
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(img->scanInfo().tagOffset, 2048u);
    EXPECT_EQ(contents(*img, "f"), pattern(5000, 4));

    // Tags at 2048 whose sequence number ends in FFFF: the tag ECC tells.
    Yaffs2Builder c;
    c.sequence = 0x0001FFFF;
    c.root();
    c.file(258, 1, "g", pattern(10, 5));
    auto img2 = openYaffs2(c.bytes());
    EXPECT_EQ(img2->scanInfo().tagOffset, 2048u);
    EXPECT_EQ(contents(*img2, "g"), pattern(10, 5));
}

TEST(Yaffs2Scan, RunsAreOrderedBySequenceAndFiltered) {
    // Blocks stand in the dump out of sequence order; the newer block (0x1003)
    // comes first and renames the file written in the older one.
    Yaffs2Builder b;
    b.sequence = 0x1003;
    b.header(258, Yaffs2Builder::make(kHdrFile, 1, "renamed", 0100600));
    b.erased(2);
    b.sequence = 0x1001;
    b.root();
    b.file(258, 1, "orig", pattern(2100, 6));
    b.sequence = 0x21; // checkpoint data is not an object
    b.chunk({0x21, 0x20, 1, 2048}, pattern(2048, 7));
    b.sequence = 0x1002;
    b.dir(259, 1, "d");
    b.chunk({0x1002, kObjIdSummary, 1, 2048}, pattern(2048, 8)); // block summary
    b.erased(1);

    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/d:3\n/renamed:1:0\n");
    // The newest header decides everything, the size included.
    EXPECT_EQ(findPath(img->root(), "renamed")->entry.mode, 0100600u);
    EXPECT_EQ(img->scanInfo().runsKept, 3u); // 0x1001, 0x1002 (with its summary), 0x1003
}

TEST(Yaffs2Scan, NewestHeaderDecidesRenameMoveAndSize) {
    Yaffs2Builder b;
    b.sequence = 0x1000;
    b.root();
    b.dir(258, 1, "a");
    b.dir(259, 1, "b");
    ObjectHeader h = Yaffs2Builder::make(kHdrFile, 258, "f", 0100644);
    b.header(260, h); // size 0 at creation
    b.data(260, 1, pattern(2048, 9));
    b.data(260, 2, Bytes(952, std::byte{0x33}));
    h.fileSize = 3000;
    b.header(260, h);
    b.sequence = 0x1001;
    h.fileSize = 5000;
    b.data(260, 3, pattern(904, 10));
    b.data(260, 2, pattern(2048, 11)); // a newer copy of chunk 2
    b.header(260, h);
    b.sequence = 0x1002;
    h.parent = 259;
    h.name = "moved";
    b.header(260, h);

    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/a:3\n/b:3\n/b/moved:1:5000\n");
    Bytes want = pattern(2048, 9);
    Bytes c2 = pattern(2048, 11);
    want.insert(want.end(), c2.begin(), c2.end());
    Bytes c3 = pattern(904, 10);
    want.insert(want.end(), c3.begin(), c3.end());
    EXPECT_EQ(contents(*img, "b/moved"), want);
    EXPECT_EQ(img->nodeFor(260), findPath(img->root(), "b/moved"));
    EXPECT_EQ(img->scanInfo().headers, 7u);
}

TEST(Yaffs2Scan, ShrunkFileDropsChunksPastTheCut) {
    Yaffs2Builder b;
    b.root();
    b.file(258, 1, "f", pattern(6000, 12)); // chunks 1..3
    b.sequence = 0x1001;
    ObjectHeader h = Yaffs2Builder::make(kHdrFile, 1, "f", 0100644);
    h.fileSize = 100; // truncated
    b.header(258, h);
    b.sequence = 0x1002;
    h.fileSize = 5000; // grown again without rewriting chunk 3: a hole
    b.header(258, h);

    auto img = openYaffs2(b.bytes());
    Bytes got = contents(*img, "f");
    ASSERT_EQ(got.size(), 5000u);
    Bytes orig = pattern(6000, 12);
    EXPECT_EQ(slice(got, 0, 100), slice(orig, 0, 100)) << "chunk 1 starts before the cut";
    EXPECT_EQ(slice(got, 100, 1948), slice(orig, 100, 1948))
        << "a kept chunk gives its bytes, as the filesystem reads them";
    EXPECT_EQ(slice(got, 2048, 2952), Bytes(2952, std::byte{0}))
        << "chunks 2 and 3 started past the cut";
}

TEST(Yaffs2Scan, DeletedObjectsDisappearWithTheirSubtree) {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "keep");
    b.dir(259, 1, "gone");
    b.file(260, 259, "inner", pattern(10, 1));
    b.dir(261, 259, "sub");
    b.file(262, 261, "deep", pattern(10, 2));
    b.file(263, 258, "unlinked", pattern(10, 3));
    b.sequence = 0x1001;
    b.header(259, Yaffs2Builder::make(kHdrDirectory, 4, "gone", 040755)); // deleted
    b.header(263, Yaffs2Builder::make(kHdrFile, 3, "unlinked", 0100644)); // unlinked
    b.header(1, Yaffs2Builder::make(kHdrDirectory, 4, "", 040700));       // never removes root

    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/keep:3\n");
    for (uint32_t id : {259u, 260u, 261u, 262u, 263u})
        EXPECT_EQ(img->nodeFor(id), nullptr) << id;
    EXPECT_EQ(img->root()->entry.mode, 040700u);
    EXPECT_EQ(img->scanInfo().leftOut, 5u);
}

TEST(Yaffs2Scan, HeaderBeforeItsParentIsKept) {
    Yaffs2Builder b;
    b.sequence = 0x1000;
    b.root();
    b.file(300, 299, "child", pattern(50, 13)); // parent's header comes later
    b.sequence = 0x1001;
    b.dir(299, 1, "parent");
    b.file(301, 500, "orphan", pattern(5, 1)); // parent never appears
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/parent:3\n/parent/child:1:50\n");
    EXPECT_EQ(contents(*img, "parent/child"), pattern(50, 13));
    EXPECT_EQ(img->scanInfo().leftOut, 1u);
}

TEST(Yaffs2Scan, ExtraHeaderInformationInTags) {
    Yaffs2Builder b;
    b.root();
    ObjectHeader d = Yaffs2Builder::make(kHdrDirectory, 1, "x", 040755);
    b.header(0x1234, d, true);
    ObjectHeader f = Yaffs2Builder::make(kHdrFile, 0x1234, "y", 0100644);
    f.fileSize = 2;
    b.header(0x1235, f, true);
    b.data(0x1235, 1, Bytes{std::byte{'h'}, std::byte{'i'}});
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/x:3\n/x/y:1:2\n");
    EXPECT_EQ(toString(contents(*img, "x/y")), "hi");
}

TEST(Yaffs2Scan, DumpWithErasedEndsAndNoLowestSequence) {
    Yaffs2Builder b;
    b.erased(3);
    b.sequence = 0x2000;
    b.root();
    b.dir(258, 1, "d");
    b.sequence = 0x0800; // below the lowest valid number, but no 4096 run: kept
    b.file(259, 258, "old", pattern(4, 1));
    b.erased(2);
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(tree(*img), "/d:3\n/d/old:1:4\n");
    EXPECT_EQ(img->scanInfo().runsKept, 2u);
}

TEST(Yaffs2Scan, RootWithoutHeaderAndMissingChunksAsHoles) {
    Yaffs2Builder b;
    ObjectHeader h = Yaffs2Builder::make(kHdrFile, 1, "holey", 0100644);
    h.fileSize = 3 * 2048;
    b.header(258, h);
    b.data(258, 1, pattern(2048, 1));
    b.data(258, 3, pattern(100, 2)); // chunk 2 missing; chunk 3 has 100 valid bytes
    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(img->root()->entry.mode, 040755u);
    EXPECT_EQ(img->root()->entry.uid, 0);
    Bytes got = contents(*img, "holey");
    EXPECT_EQ(slice(got, 0, 2048), pattern(2048, 1));
    EXPECT_EQ(slice(got, 2048, 2048), Bytes(2048, std::byte{0}));
    EXPECT_EQ(slice(got, 4096, 100), pattern(100, 2));
    EXPECT_EQ(slice(got, 4196, 1948), Bytes(1948, std::byte{0}));
}

TEST(Yaffs2Scan, AddedFilesReadFromTheWorkingFile) {
    Yaffs2Builder b = writerImage();
    auto img = openYaffs2(b.bytes());
    Bytes bytes = pattern(5000, 42);
    img->workfile().append(pattern(123, 1)); // something before it
    int64_t at = img->workfile().append(bytes);
    auto node = std::make_unique<Node>();
    node->text = "added";
    node->entry.name = "added";
    node->entry.objType = kTypeFile;
    node->entry.size = bytes.size();
    node->entry.dataPos = at;
    node->entry.objId = img->newobjid();
    uint32_t id = node->entry.objId;
    img->setNode(id, img->root()->addChild(std::move(node)));
    EXPECT_EQ(id, 265u);

    TImgEntry e;
    Bytes got;
    ASSERT_TRUE(img->ReadContent(id, e, got));
    EXPECT_EQ(e.dataPos, at);
    got.resize(5000);
    EXPECT_EQ(got, bytes);
}

TEST(Yaffs2Scan, GetEntryPrefersTheNode) {
    Yaffs2Builder b = writerImage();
    auto img = openYaffs2(b.bytes());
    img->nodeFor(259)->entry.uid = 4242; // as an edit would
    TImgEntry e;
    ASSERT_TRUE(img->GetEntry(259, e));
    EXPECT_EQ(e.uid, 4242);
}

} // namespace
