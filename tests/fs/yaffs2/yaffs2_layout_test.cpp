// One tree in every common NAND layout, found with no options and read back
// exact; device dumps, worn flash, and what is not YAFFS2.
#include "fs/yaffs2/detect.h"
#include "fs/yaffs2/yaffs2_writer.h"
#include "model/error.h"
#include "support/save_as.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <gtest/gtest.h>
#include <map>

using namespace korvane;
using namespace korvane::yaffs2;
using namespace korvane::test;

namespace {

const std::vector<Xattr> kLabel = {{"security.selinux", "u:object_r:system_file:s0"}};

// The same tree for every layout: files of several sizes, a link of each
// kind, a device node and (where the header chunk has room) a label.
void buildTree(Yaffs2Builder& b) {
    const bool room = xattrSpace(b.layout().chunkDataSize()) > 64;
    b.root(040755, 1700000000);
    ObjectHeader sys = Yaffs2Builder::make(kHdrDirectory, 1, "system", 040755);
    if (room)
        sys.xattrs = kLabel;
    b.header(258, sys);
    b.file(259, 258, "build.prop", pattern(700, 1));
    b.file(260, 258, "big.bin", pattern(40000, 2));
    b.file(261, 1, "one", pattern(1, 3));
    b.file(262, 1, "empty", {});
    b.symlink(263, 1, "etc", "/system/etc");
    b.hardlink(264, 258, "same.prop", 259);
    b.special(265, 1, "null", 020666, 0x0103);
    for (uint32_t i = 0; i < 6; ++i)
        b.file(266 + i, 258, "f" + std::to_string(i), pattern(5000 + 3 * i, 10 + i));
}

Layout withoutBlocks(Layout l) {
    l.pagesPerBlock = 0;
    return l;
}

std::string contentsOf(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        return "<missing>";
    Bytes buf(static_cast<size_t>(n->entry.size));
    img.ReadRange(n->entry, 0, MutableByteSpan(buf));
    return toString(buf);
}

TEST(Yaffs2Layouts, EveryCommonLayoutIsFoundReadAndWritten) {
    Yaffs2Builder reference;
    buildTree(reference);
    const std::string want = describeTree(*openYaffs2(reference.bytes()));
    ASSERT_NE(want.find("security.selinux"), std::string::npos);
    TempDir dir;
    for (const NamedLayout& named : commonLayouts()) {
        SCOPED_TRACE(named.name);
        Yaffs2Builder b(named.layout);
        buildTree(b);
        const bool room = xattrSpace(named.layout.chunkDataSize()) > 64;
        auto found = openYaffs2(b.bytes());
        EXPECT_EQ(withoutBlocks(found->layout()), named.layout) << describeLayout(found->layout());
        EXPECT_GE(found->detection().confidence, 90);
        auto given = openYaffs2(b.bytes(), named.layout);
        std::string tree = describeTree(*found);
        EXPECT_EQ(tree, describeTree(*given));
        if (room) {
            EXPECT_EQ(tree, want);
        }
        EXPECT_TRUE(contentsOf(*found, "system/big.bin") == toString(pattern(40000, 2)));

        // Written in the same layout by the writer, and found again.
        SaveParams p;
        p.layout = named.layout;
        const std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(*found, out, "yaffs2", p));
        auto back = loadimage(out);
        auto* y = dynamic_cast<Tyaffs2obj*>(back.get());
        ASSERT_NE(y, nullptr);
        EXPECT_EQ(withoutBlocks(y->layout()), named.layout);
        EXPECT_EQ(describeTree(*back), tree);
    }
}

// The classic image maker's byte swap: big-endian headers, little-endian
// tags. Found with no options (and with the byte order given), read as the
// little-endian image reads, and written back as it came.
TEST(Yaffs2Layouts, SwappedHeadersAreFoundAndKept) {
    Yaffs2Builder reference;
    buildTree(reference);
    const std::string want = describeTree(*openYaffs2(reference.bytes()));
    Layout noTagEcc = kDefaultLayout;
    noTagEcc.tagEcc = false;
    TempDir dir;
    for (Layout l : {kDefaultLayout, noTagEcc}) {
        l.swappedHeaders = true;
        SCOPED_TRACE(describeLayout(l));
        Yaffs2Builder b(l);
        buildTree(b);
        auto found = openYaffs2(b.bytes());
        EXPECT_EQ(withoutBlocks(found->layout()), l) << describeLayout(found->layout());
        EXPECT_TRUE(found->warnings().empty());
        EXPECT_EQ(describeTree(*found), want);
        EXPECT_TRUE(contentsOf(*found, "system/big.bin") == toString(pattern(40000, 2)));
        LayoutHints big;
        big.order = ByteOrder::kBig;
        ASSERT_TRUE(detectLayout(b.bytes(), big));
        EXPECT_TRUE(detectLayout(b.bytes(), big)->layout.swappedHeaders);

        SaveParams p;
        updateFromScan(p, *found);
        const std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(*found, out, "yaffs2", p));
        auto back = loadimage(out);
        auto* y = dynamic_cast<Tyaffs2obj*>(back.get());
        ASSERT_NE(y, nullptr);
        EXPECT_TRUE(y->layout().swappedHeaders);
        EXPECT_EQ(describeTree(*back), want);
    }
}

// A dump of a used partition: blocks of 8 pages with their own sequence
// numbers, a block marked bad holding stale chunks that would otherwise win,
// erased pages and blocks, and a last block cut short.
TEST(Yaffs2Layouts, DeviceDumpSkipsBadBlocks) {
    const Layout l = commonLayouts()[1].layout; // 2048+64, marker, YAFFS data ECC
    Yaffs2Builder b(l);
    b.sequence = 0x1001;
    b.root();
    b.dir(258, 1, "d");
    b.file(259, 258, "f", pattern(3000, 1)); // pages 2..4
    b.erased(3);
    b.sequence = 0x2000; // block 1: bad, with a newer header that would rename f
    b.header(259, Yaffs2Builder::make(kHdrFile, 1, "stale", 0100644));
    b.data(259, 1, pattern(2048, 9));
    b.markBad(8);
    b.erased(6);
    b.erased(8);                           // block 2
    b.sequence = 0x1002;                   // block 3
    b.file(260, 1, "g", pattern(9000, 2)); // pages 24..29
    b.erased(2);
    b.sequence = 0x1003; // block 4, cut inside its third page
    b.file(261, 258, "h", pattern(5000, 3));
    b.bytes().resize(34 * l.recordSize() + 1000);

    auto img = openYaffs2(b.bytes());
    EXPECT_EQ(img->layout().pagesPerBlock, 8u);
    EXPECT_EQ(img->scanInfo().badBlocks, 1u);
    EXPECT_EQ(img->scanInfo().dataEccFailed, 0u);
    EXPECT_TRUE(contentsOf(*img, "d/f") == toString(pattern(3000, 1)));
    EXPECT_TRUE(contentsOf(*img, "g") == toString(pattern(9000, 2)));
    std::string h = contentsOf(*img, "d/h");
    ASSERT_EQ(h.size(), 5000u);
    EXPECT_TRUE(h.substr(0, 2048) == toString(pattern(5000, 3)).substr(0, 2048));
    EXPECT_TRUE(h.substr(2048) == std::string(2952, '\0')) << "the cut-off chunks read as zeros";
    EXPECT_EQ(findPath(img->root(), "stale"), nullptr);
}

// Worn flash: single flipped bits in data, headers and tags are put right;
// two in one group are named in the warnings with the file they belong to.
TEST(Yaffs2Layouts, FlippedBitsAreCorrectedOrNamed) {
    for (size_t which : {1, 2, 6}) {
        const Layout l = commonLayouts()[which].layout;
        SCOPED_TRACE(commonLayouts()[which].name);
        Yaffs2Builder b(l);
        b.root();
        b.file(258, 1, "a", pattern(5000, 1)); // pages 1..(header, data)
        b.file(259, 1, "bad", pattern(3000, 2));
        for (uint32_t i = 0; i < 12; ++i)
            b.file(260 + i, 1, "x" + std::to_string(i), pattern(2500, 20 + i));
        const size_t aData = 2, badHeader = 2 + (5000 + l.pageSize - 1) / l.pageSize,
                     badData = badHeader + 1;
        b.flipBit(aData, 100, 3);                // a's first data chunk
        b.flipBit(1, hdr::kName, 6);             // a's header: its name
        b.flipBit(badHeader, l.tagsAt() + 5, 0); // tags of bad's header
        b.flipBit(badData, 10, 1);               // two flips in one group of bad's data
        b.flipBit(badData, 20, 2);

        auto img = openYaffs2(b.bytes());
        EXPECT_EQ(img->layout().dataEcc, l.dataEcc);
        EXPECT_TRUE(contentsOf(*img, "a") == toString(pattern(5000, 1)));
        EXPECT_EQ(img->scanInfo().dataEccCorrected, 2u);
        EXPECT_EQ(img->scanInfo().tagEccCorrected, 1u);
        EXPECT_EQ(img->scanInfo().dataEccFailed, 1u);
        bool named = false;
        for (const std::string& w : img->warnings())
            named |=
                w.find("/bad") != std::string::npos && w.find("bytes 0 to") != std::string::npos;
        EXPECT_TRUE(named);
        std::map<std::string, std::string> info;
        for (const auto& [label, value] : img->describe())
            info[label] = value;
        EXPECT_EQ(info["data ECC fixed"], "2");
        EXPECT_EQ(info["data ECC failed"], "1");
        EXPECT_EQ(info["tag ECC fixed"], "1");
    }
}

TEST(Yaffs2Layouts, WhatIsNotYaffs2IsRefused) {
    TempDir dir;
    Bytes random = pattern(500 * 1000, 77);
    Message why;
    EXPECT_FALSE(detectLayout(random, {}, &why));
    EXPECT_NE(why.english().find("tried pages of 512 to 16384 bytes"), std::string::npos)
        << why.english();
    writeFile(dir / "random.img", random);
    try {
        loadimage(dir / "random.img");
        ADD_FAILURE() << "a file of random bytes opened";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("no YAFFS2 layout checks out"), std::string::npos)
            << e.what();
    }
    EXPECT_FALSE(detectLayout(Bytes(1 << 20, std::byte{0xFF}), {}, &why));
    EXPECT_NE(why.english().find("every sampled page is erased or zero"), std::string::npos);
    EXPECT_EQ(bidLayout(Bytes(1 << 20, std::byte{0})), 0);

    if (haveProgram("mke2fs")) {
        const std::string ext = dir / "ext.img";
        ASSERT_EQ(run("mke2fs -q -F -t ext4 " + shellQuote(ext) + " 4M").status, 0);
        EXPECT_FALSE(detectLayout(readFile(ext)));
    }

    // Options narrow the guess: wrong ones refuse a good image; a whole
    // layout is taken as given.
    Yaffs2Builder b;
    buildTree(b);
    LayoutHints wrong;
    wrong.pageSize = 4096;
    EXPECT_FALSE(detectLayout(b.bytes(), wrong, &why));
    EXPECT_NE(why.english().find("pages of 4096 bytes"), std::string::npos) << why.english();
    LayoutHints whole;
    whole.pageSize = 2048;
    whole.spareSize = 64;
    whole.tagOffset = 0;
    auto d = detectLayout(b.bytes(), whole);
    ASSERT_TRUE(d);
    EXPECT_TRUE(d->given);
    EXPECT_EQ(d->layout, kDefaultLayout);
}

} // namespace
