// YAFFS1: images built page by page from the format's description read as
// the YAFFS1 driver reads a partition (serial numbers, deleted pages, bad
// blocks, ECC, shadowed objects); what the writer makes checked page by page
// against the same description and read back; YAFFS1 and YAFFS2 images of
// the same geometry each open as what they are.
#include "fs/jffs2/jffs2_format.h"
#include "fs/jffs2/jffs2_testutil.h"
#include "fs/registry.h"
#include "fs/yaffs1/tyaffs1obj.h"
#include "fs/yaffs2/tags.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/save_as.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs1_builder.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <stdexcept>

using namespace korvane;
using namespace korvane::test;

namespace {

std::unique_ptr<Tyaffs1obj> open1(const Bytes& bytes) {
    auto img = std::make_unique<Tyaffs1obj>();
    img->Init(ImageData::fromBytes(bytes));
    img->Open();
    return img;
}

std::string contents(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        throw std::runtime_error(path + " is missing");
    std::string out(img.contentSize(n->entry), '\0');
    img.ReadRange(n->entry, 0,
                  MutableByteSpan(reinterpret_cast<std::byte*>(out.data()), out.size()));
    return out;
}

const char* topFormat(const Bytes& bytes) {
    auto src = ImageData::fromBytes(bytes);
    const std::vector<ProbeResult> r = probeAll(*src, {});
    return r.empty() ? "none" : r.front().format->name;
}

int scoreOf(const Bytes& bytes, const std::string& format) {
    auto src = ImageData::fromBytes(bytes);
    for (const ProbeResult& r : probeAll(*src, {}))
        if (format == r.format->name)
            return r.probe.score;
    return 0;
}

} // namespace

// A used partition: a header rewritten with the next serial number wins, one
// with an older serial loses; a rewritten data chunk likewise; deleted pages,
// a block marked bad, objects under a deleted folder and one shadowed by a
// rename do not count; flipped bits in tags and data are put right.
TEST(Yaffs1Read, SerialsDeletionsBadBlocksAndEcc) {
    using yaffs2::kHdrDirectory;
    using yaffs2::kHdrFile;
    Yaffs1Builder b;
    b.header(1, Yaffs1Builder::make(kHdrDirectory, 1, "", 040700));
    b.header(257, Yaffs1Builder::make(kHdrFile, 1, "old-name", 0100644), 0);
    b.header(257, Yaffs1Builder::make(kHdrFile, 1, "new-name", 0100600), 1);
    b.header(257, Yaffs1Builder::make(kHdrFile, 1, "stale", 0100600), 0); // serial 0 after 1
    const Bytes data = pattern(1300, 5);
    b.file(257, data);
    Bytes rewritten(data.begin() + 512, data.begin() + 1024);
    std::fill(rewritten.begin(), rewritten.begin() + 10, std::byte{'R'});
    b.page({257, 2, 1, 512}, rewritten);
    b.page({257, 3, 1, 100, true}, bytesOf("deleted copy")); // deleted in place
    b.header(258, Yaffs1Builder::make(kHdrFile, 4, "in-deleted-folder", 0100644));
    b.header(259, Yaffs1Builder::make(kHdrFile, 1, "shadowed", 0100644));
    b.header(260, Yaffs1Builder::make(kHdrFile, 1, "renamer", 0100644), 0, 259);
    b.erased(32 - b.pages() % 32);
    // A bad block: its first page's block status is not FF.
    Yaffs1Page bad{261, 0, 0, 0x3FF};
    bad.blockStatus = std::byte{'Y'};
    Bytes badHeader(512);
    yaffs2::encodeHeader(Yaffs1Builder::make(kHdrFile, 1, "in-bad-block", 0100644),
                         badHeader.data(), std::byte{0xFF}, 512);
    b.page(bad, badHeader);
    b.header(262, Yaffs1Builder::make(kHdrFile, 1, "in-bad-block-too", 0100644));
    b.erased(30);
    b.header(263, Yaffs1Builder::make(kHdrFile, 1, "flipped", 0100644));
    b.file(263, bytesOf("fixed by ECC"));
    b.flip(b.pages() - 2, 512 + 1, 3); // a tag bit of the header
    b.flip(b.pages() - 1, 4, 6);       // a data bit of the file

    std::unique_ptr<Tyaffs1obj> img = open1(b.bytes());
    std::string names;
    forEachPreorder(img->root(), [&](Node* n) { names += "/" + pathFromRoot(n) + " "; });
    EXPECT_EQ(names, "/ /flipped /new-name /renamer ");
    EXPECT_EQ(img->root()->entry.mode, 040700u);
    EXPECT_EQ(findPath(img->root(), "new-name")->entry.mode, 0100600u);
    std::string want = toString(data);
    want.replace(512, 10, std::string(10, 'R'));
    EXPECT_EQ(contents(*img, "new-name"), want);
    EXPECT_EQ(contents(*img, "flipped"), "fixed by ECC");
    const Tyaffs1obj::ScanInfo& s = img->scanInfo();
    EXPECT_EQ(s.badBlocks, 1u);
    EXPECT_EQ(s.deleted, 1u);
    EXPECT_EQ(s.tagEccCorrected, 1u);
    EXPECT_EQ(s.dataEccCorrected, 1u);
    EXPECT_EQ(s.leftOut, 2u); // under the deleted folder, and the shadowed one
}

// Korvane's YAFFS1 image of a folder: every page's tags, tag ECC and data ECC
// as the description gives them, and the folder read back. What YAFFS1
// cannot hold is refused, naming the object.
TEST(Yaffs1Write, PagesCheckOutAndTheTreeReadsBack) {
    TempDir tmp;
    const std::string src = tmp / "src";
    makeJffs2Source(src, 7, {false, true});
    // YAFFS1 keeps link targets of up to 159 bytes.
    std::filesystem::remove(src + "/etc/long-link");
    const std::string image = tmp / "y1.img";
    const CommandResult r = run(std::string(KORVANE_CLI) + " pack " + shellQuote(src) + " " +
                                shellQuote(image) + " --to yaffs1");
    ASSERT_EQ(r.status, 0) << r.err;
    const Bytes bytes = readFile(image);
    ASSERT_EQ(bytes.size() % 528, 0u);
    const std::string pages = yaffs1Pages(bytes);
    EXPECT_EQ(pages.find("ecc-bad"), std::string::npos) << pages;
    EXPECT_EQ(pages.substr(0, pages.find('\n')), "obj 1 chunk 0 serial 0 bytes 1023");
    std::unique_ptr<Timg> img = loadimage(image);
    ASSERT_STREQ(img->formatName().c_str(), "YAFFS1");
    EXPECT_EQ(img->warnings(), std::vector<std::string>{});
    EXPECT_EQ(extractedTree(*img, tmp / "out"), statTree(src, true));

    std::unique_ptr<Timg> bad = newimage();
    addFile(*bad, bad->root(), "f", bytesOf("x"))->entry.xattrs = {{"user.a", "1"}};
    try {
        saveas(*bad, {tmp / "x.img", "yaffs1", {}, false, false});
        ADD_FAILURE() << "saved";
    } catch (const Error& e) {
        EXPECT_EQ(e.message().english(), "YAFFS1 keeps no extended attributes; /f has user.a");
    }
    EXPECT_FALSE(std::filesystem::exists(tmp / "x.img"));
}

// The layout detector tries 512+16 for YAFFS2 too: a YAFFS1 image opens as
// YAFFS1 and a YAFFS2 image of that geometry as YAFFS2, whichever writer or
// builder made them.
TEST(Yaffs1Probe, TellsYaffs1FromYaffs2OfTheSameGeometry) {
    Yaffs1Builder b1;
    b1.header(1, Yaffs1Builder::make(yaffs2::kHdrDirectory, 1, "", 040755));
    b1.header(257, Yaffs1Builder::make(yaffs2::kHdrFile, 1, "a", 0100644));
    b1.file(257, pattern(3000, 1));
    b1.header(258, Yaffs1Builder::make(yaffs2::kHdrDirectory, 1, "d", 040755));
    EXPECT_STREQ(topFormat(b1.bytes()), "yaffs1");
    EXPECT_GT(scoreOf(b1.bytes(), "yaffs1"), scoreOf(b1.bytes(), "yaffs2"));

    for (const yaffs2::NamedLayout& named : yaffs2::commonLayouts()) {
        if (named.layout.pageSize != 512)
            continue;
        SCOPED_TRACE(named.name);
        Yaffs2Builder b2(named.layout);
        b2.root();
        b2.file(257, 1, "a", pattern(3000, 1));
        b2.dir(258, 1, "d");
        EXPECT_STREQ(topFormat(b2.bytes()), "yaffs2");
        EXPECT_EQ(scoreOf(b2.bytes(), "yaffs1"), 0);
    }

    TempDir tmp;
    std::unique_ptr<Timg> img = newimage();
    addFile(*img, img->root(), "f", pattern(2000, 2));
    SaveParams small;
    small.layout.pageSize = 512;
    small.layout.spareSize = 16;
    small.layout.tagEcc = false;
    ASSERT_TRUE(test::saveas(*img, tmp / "y2", "yaffs2", small));
    ASSERT_TRUE(test::saveas(*img, tmp / "y1", "yaffs1", {}));
    EXPECT_STREQ(topFormat(readFile(tmp / "y2")), "yaffs2");
    EXPECT_STREQ(topFormat(readFile(tmp / "y1")), "yaffs1");
}

// Damage anywhere: every truncation and every flipped byte of a small image
// opens (or is refused) without crashing, and every object reads in bounds.
TEST(Yaffs1Read, HostileImagesStayBounded) {
    Yaffs1Builder b;
    b.header(1, Yaffs1Builder::make(yaffs2::kHdrDirectory, 1, "", 040755));
    b.header(257, Yaffs1Builder::make(yaffs2::kHdrDirectory, 258, "loop-a", 040755));
    b.header(258, Yaffs1Builder::make(yaffs2::kHdrDirectory, 257, "loop-b", 040755));
    yaffs2::ObjectHeader link = Yaffs1Builder::make(yaffs2::kHdrHardlink, 1, "link", 0100644);
    link.equivId = 999;
    b.header(259, link);
    b.header(260, Yaffs1Builder::make(yaffs2::kHdrFile, 1, "f", 0100644));
    b.file(260, pattern(1500, 3));
    b.page({260, 0xFFFFF, 0, 512}, pattern(512, 4)); // the last chunk id there is
    const Bytes whole = b.bytes();
    auto readAll = [](const Bytes& bytes) {
        try {
            std::unique_ptr<Tyaffs1obj> img = open1(bytes);
            forEachPreorder(img->root(), [&](Node* n) {
                std::string s(
                    static_cast<size_t>(std::min<uint64_t>(img->contentSize(n->entry), 1u << 20)),
                    '\0');
                img->ReadRange(n->entry, 0,
                               MutableByteSpan(reinterpret_cast<std::byte*>(s.data()), s.size()));
            });
        } catch (const Error&) {
        }
    };
    for (size_t cut = 0; cut < whole.size(); cut += 97)
        readAll(Bytes(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut)));
    for (size_t at = 0; at < whole.size(); at += 5) {
        Bytes bad = whole;
        bad[at] ^= std::byte{0x5A};
        readAll(bad);
    }
    std::unique_ptr<Tyaffs1obj> img = open1(whole);
    EXPECT_EQ(img->scanInfo().leftOut, 2u) << "the folders that hold each other";
    const TImgEntry& f = findPath(img->root(), "f")->entry;
    EXPECT_EQ(f.size, uint64_t{0xFFFFF} * 512);
    EXPECT_EQ(img->nextData(f, 0).end, 1536u) << "data comes in whole chunks";
    EXPECT_EQ(img->nextData(f, 1536).begin, uint64_t{0xFFFFE} * 512);
}
