#include "fs/yaffs2/tyaffs2obj.h"
#include "fs/yaffs2/yaffs2_writer.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/save_as.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::yaffs2;
using namespace korvane::test;

namespace {

// Saves img as YAFFS2 and returns the file's bytes.
Bytes save(Timg& img, const SaveParams& params = {}) {
    TempDir dir;
    std::string out = dir / "out.img";
    EXPECT_TRUE(saveas(img, out, "yaffs2", params));
    return readFile(out);
}

const std::byte* chunkAt(const Bytes& b, size_t k) {
    return b.data() + k * kChunkSize;
}

PackedTags tagsAt(const Bytes& b, size_t k, size_t t = kTagOffsetPlain) {
    return loadTags(chunkAt(b, k) + t);
}

std::string dump(Timg& img) {
    return describeTree(img);
}

TEST(Yaffs2Writer, RootOnlyIsOneChunk) {
    Yaffs2Builder b;
    b.root(040711, 1234);
    auto img = openYaffs2(b.bytes());
    img->root()->entry.uid = 5;
    Bytes out = save(*img);
    ASSERT_EQ(out.size(), kChunkSize);
    ObjectHeader h = decodeHeader(out.data());
    EXPECT_EQ(h.type, kHdrDirectory);
    EXPECT_EQ(h.parent, 1u);
    EXPECT_EQ(h.name, "");
    EXPECT_EQ(h.mode, 040711u);
    EXPECT_EQ(h.uid, 5u);
    EXPECT_EQ(h.mtime, 1234u);
    EXPECT_EQ(h.fileSize, 0xFFFFFFFFu);
    EXPECT_EQ(load16(out.data() + hdr::kChecksum), 0xFFFF);
    for (size_t i = hdr::kEquivId; i < kDataSize; ++i)
        ASSERT_EQ(out[i], std::byte{0x01}) << i;
    EXPECT_EQ(tagsAt(out, 0), (PackedTags{0x1000, 1, 0, 0xFFFF}));
    EXPECT_EQ(loadTagEcc(out.data() + 2064), (TagEcc{0x30, 5, 5}));
    EXPECT_EQ(out[kDataEccOffset], std::byte{0x01}) << "no data ECC: the fill stays";
}

TEST(Yaffs2Writer, FileChunksAndByteCounts) {
    Yaffs2Builder b;
    b.root();
    auto img = openYaffs2(b.bytes());
    addFile(*img, img->root(), "a", bytesOf("hello"), 0777);
    Bytes out = save(*img);
    ASSERT_EQ(out.size(), 6336u);
    EXPECT_EQ(tagsAt(out, 1), (PackedTags{0x1000, 258, 0, 0xFFFF}));
    ObjectHeader h = decodeHeader(chunkAt(out, 1));
    EXPECT_EQ(h.type, kHdrFile);
    EXPECT_EQ(h.parent, 1u);
    EXPECT_EQ(h.name, "a");
    EXPECT_EQ(h.fileSize, 5u);
    EXPECT_EQ(h.mode, 0100777u) << "the file-type bits are added to a mode without them";
    EXPECT_EQ(tagsAt(out, 2), (PackedTags{0x1000, 258, 1, 5}));
    EXPECT_EQ(toString(ByteSpan(chunkAt(out, 2), 5)), "hello");
    for (size_t i = 5; i < kChunkSize; ++i) {
        bool tagArea = i >= kTagOffsetPlain && i < kTagOffsetPlain + kTagsSize + kTagEccSize;
        if (!tagArea) {
            ASSERT_EQ(chunkAt(out, 2)[i], std::byte{0}) << i;
        }
    }
}

TEST(Yaffs2Writer, ChunkCountsAtBoundaries) {
    Yaffs2Builder b;
    b.root();
    auto img = openYaffs2(b.bytes());
    addFile(*img, img->root(), "f0", {});
    addFile(*img, img->root(), "f1", pattern(2048, 1));
    addFile(*img, img->root(), "f2", pattern(2049, 2));
    Bytes out = save(*img);
    // root; f0 header; f1 header + 1; f2 header + 2
    ASSERT_EQ(out.size(), 7 * kChunkSize);
    EXPECT_EQ(tagsAt(out, 1).objectId, 258u);
    EXPECT_EQ(tagsAt(out, 2).objectId, 259u);
    EXPECT_EQ(tagsAt(out, 3), (PackedTags{0x1000, 259, 1, 2048}));
    EXPECT_EQ(tagsAt(out, 4).objectId, 260u);
    EXPECT_EQ(tagsAt(out, 5), (PackedTags{0x1000, 260, 1, 2048}));
    EXPECT_EQ(tagsAt(out, 6), (PackedTags{0x1000, 260, 2, 1}));
}

TEST(Yaffs2Writer, MarkerLayoutAndDataEcc) {
    Yaffs2Builder b;
    b.root();
    auto img = openYaffs2(b.bytes());
    Bytes data(2048, std::byte{0});
    data[5] = std::byte{0x01};
    addFile(*img, img->root(), "e", data, 0100644);
    for (auto [ecc, want] : {std::pair{kEccYaffs, std::array<uint8_t, 3>{0x99, 0xAA, 0xAB}},
                             std::pair{kEccNand, std::array<uint8_t, 3>{0xAA, 0x99, 0xAB}}}) {
        SaveParams p;
        p.layout = plainLayout(kDefaultLayout, true, ecc);
        Bytes out = save(*img, p);
        ASSERT_EQ(out.size(), 3 * kChunkSize);
        for (size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(load16(chunkAt(out, k) + 2048), 0xFFFF) << k;
            EXPECT_EQ(tagsAt(out, k, kTagOffsetMarked).sequence, 0x1000u) << k;
        }
        const std::byte* ecc0 = chunkAt(out, 2) + kDataEccOffset;
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(std::to_integer<uint8_t>(ecc0[i]), want[i]);
        for (size_t i = 3; i < 24; ++i)
            EXPECT_EQ(ecc0[i], std::byte{0xFF});
        auto back = openYaffs2(out);
        EXPECT_EQ(back->scanInfo().tagOffset, kTagOffsetMarked);
        EXPECT_EQ(dump(*back), dump(*img));
    }
}

TEST(Yaffs2Writer, IdsFollowTreeOrderAndParents) {
    Yaffs2Builder b;
    b.root();
    b.dir(900, 1, "sys");
    b.dir(901, 900, "app");
    b.file(902, 901, "x.apk", pattern(10, 1));
    b.file(903, 1, "top", pattern(10, 2));
    auto img = openYaffs2(b.bytes());
    Bytes out = save(*img);
    // Pre-order: sys 258, app 259, x.apk 260, top 261.
    std::vector<std::pair<uint32_t, uint32_t>> idParent;
    for (size_t k = 1; k < out.size() / kChunkSize; ++k)
        if (tagsAt(out, k).chunkId == 0)
            idParent.emplace_back(tagsAt(out, k).objectId, decodeHeader(chunkAt(out, k)).parent);
    EXPECT_EQ(idParent, (std::vector<std::pair<uint32_t, uint32_t>>{
                            {258, 1}, {259, 258}, {260, 259}, {261, 1}}));
}

TEST(Yaffs2Writer, RoundTripKeepsEverything) {
    Yaffs2Builder b;
    b.root(040750, 99);
    std::string longName(255, 'N');
    std::string utf8 = "目录-ü-\xF0\x9F\x98\x80";
    b.dir(300, 1, utf8);
    ObjectHeader f = Yaffs2Builder::make(kHdrFile, 300, longName, 0104711);
    Bytes big = pattern(70000, 3);
    f.fileSize = static_cast<uint32_t>(big.size());
    f.uid = 1000;
    f.gid = 2000;
    b.header(301, f);
    for (uint32_t k = 0; k * 2048 < big.size(); ++k)
        b.data(301, k + 1,
               ByteSpan(big).subspan(k * 2048, std::min<size_t>(2048, big.size() - k * 2048)));
    b.symlink(302, 1, "ln", std::string(159, 'T'));
    b.hardlink(303, 1, "hl", 301);
    b.special(304, 300, "blk", 060640, 0x0801);
    b.special(305, 300, "sock", 0140755, 0);
    b.file(306, 1, "empty", {});
    auto img = openYaffs2(b.bytes());
    addFile(*img, img->root(), "added.bin", pattern(5000, 9), 0100640);

    Bytes out = save(*img);
    auto back = openYaffs2(out);
    EXPECT_EQ(dump(*back), dump(*img));

    // Saving what was read gives the same bytes again.
    Bytes again = save(*back);
    EXPECT_EQ(again, out);
}

TEST(Yaffs2Writer, RefusesWhatYaffs2CannotHold) {
    Yaffs2Builder b;
    b.root();
    b.file(258, 1, "f", pattern(10, 1));
    b.hardlink(259, 1, "h", 258);
    TempDir dir;
    std::string out = dir / "out.img";
    writeFile(out, std::string("keep"));

    auto expectRefused = [&](Timg& img, const std::string& fragment) {
        try {
            saveas(img, out, "yaffs2", {});
            ADD_FAILURE() << "saved although " << fragment;
        } catch (const Error& e) {
            // In Chinese, the app's texts are the refusals the users know.
            EXPECT_NE(zh(e.message()).find(fragment), std::string::npos) << zh(e.message());
        }
        EXPECT_EQ(toString(readFile(out)), "keep");
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
    };
    {
        auto img = openYaffs2(b.bytes());
        Node* f = findPath(img->root(), "f");
        img->setNode(258, nullptr);
        img->root()->detach(f);
        expectRefused(*img, "/h");
    }
    {
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), "l", kTypeSymlink, 0777)->entry.alias = std::string(160, 'x');
        expectRefused(*img, "/l");
    }
    {
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), std::string(256, 'n'), kTypeDirectory, 0755);
        expectRefused(*img, std::string(256, 'n'));
    }
    {
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), "huge", kTypeFile, 0644)->entry.size = 1ull << 32;
        expectRefused(*img, "/huge");
    }
    {
        // Written as "a" it would read back as a second "a".
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), std::string("a\0b", 3), kTypeFile, 0644);
        expectRefused(*img, "/a\\0b");
    }
    {
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), "what", kTypeUnknown, 0644);
        expectRefused(*img, "/what");
    }
    {
        auto img = openYaffs2(b.bytes());
        addNode(*img, img->root(), "g1", kTypeFile, 0644)->entry.size = 3ull << 30;
        addNode(*img, img->root(), "g2", kTypeFile, 0644)->entry.size = 3ull << 30;
        expectRefused(*img, "4GB");
    }
    {
        auto img = openYaffs2(b.bytes());
        Node* d = addNode(*img, img->root(), "many", kTypeDirectory, 0755);
        for (int i = 0; i < 65300; ++i)
            addNode(*img, d, std::to_string(i), kTypeDirectory, 0755);
        expectRefused(*img, "65278");
    }
}

// A time outside what a header holds is named in a warning, the root's too.
TEST(Yaffs2Writer, WarnsOfEveryTimeMoved) {
    auto img = newimage();
    img->root()->entry.mtime = -1;
    addNode(*img, img->root(), "f", kTypeFile, 0644)->entry.atime = int64_t{1} << 33;
    std::vector<Message> warnings;
    checkYaffs2(*img, yaffs2::kDefaultLayout, &warnings);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].english().find("times of / were"), std::string::npos);
    EXPECT_NE(warnings[1].english().find("times of /f were"), std::string::npos);
}

class CancelOnFirstObject : public WorkSink {
public:
    explicit CancelOnFirstObject(Timg& img) : img_(img) {}
    void report(int64_t, int64_t, int kind, const Message& message, uint8_t) override {
        if (kind == 5)
            img_.cancel = 1;
        last = zh(message);
    }
    std::string last;

private:
    Timg& img_;
};

TEST(Yaffs2Writer, CancelAndUnwritableTargetLeaveNothing) {
    Yaffs2Builder b;
    b.root();
    for (uint32_t i = 0; i < 20; ++i)
        b.file(300 + i, 1, "f" + std::to_string(i), pattern(3000, i));
    auto img = openYaffs2(b.bytes());
    TempDir dir;
    std::string out = dir / "out.img";
    writeFile(out, std::string("old"));
    CancelOnFirstObject sink(*img);
    img->onwk = &sink;
    EXPECT_FALSE(saveas(*img, out, "yaffs2", {}));
    EXPECT_EQ(sink.last, "完成") << "the final event comes also after a cancel";
    EXPECT_EQ(toString(readFile(out)), "old");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    img->onwk = nullptr;
    img->cancel = 0;
    EXPECT_THROW(saveas(*img, dir / "no/such/folder/out.img", "yaffs2", {}), Error);
}

TEST(Yaffs2Writer, SavingOverTheOpenImage) {
    TempDir dir;
    std::string path = dir / "img";
    Yaffs2Builder b;
    b.root();
    b.file(258, 1, "f", pattern(5000, 5));
    b.save(path);
    auto img = std::make_unique<Tyaffs2obj>();
    img->Init(ImageData::mapFile(path));
    img->Open();
    addFile(*img, img->root(), "g", pattern(100, 6));
    ASSERT_TRUE(saveas(*img, path, "yaffs2", {}));
    // The open image still reads from the old file's mapping.
    TImgEntry e;
    Bytes buf;
    img->ReadContent(258, e, buf);
    buf.resize(5000);
    EXPECT_EQ(buf, pattern(5000, 5));
    auto back = std::make_unique<Tyaffs2obj>();
    back->Init(ImageData::mapFile(path));
    back->Open();
    EXPECT_EQ(back->scanInfo().objects, 3u);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0444, 0u) << "the saved file is readable like any new file";
}

// unyaffs, the independent reader, extracts what the writer writes in the
// layouts it knows (tags at the head of the spare area or, with -b, after the
// bad-block marker): hard links across folders, whose target comes later in
// the tree, included.
TEST(Yaffs2Writer, UnyaffsReadsWhatIsWritten) {
    if (!haveProgram("unyaffs"))
        GTEST_SKIP() << "unyaffs is not installed";
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "a");
    b.dir(259, 1, "d");
    b.file(260, 259, "a.bin", pattern(70001, 1));
    b.file(261, 1, "b", pattern(2048, 2));
    b.file(262, 1, "empty", {});
    b.symlink(263, 259, "ln", "a.bin");
    b.hardlink(264, 258, "early", 260); // in a folder written before d
    b.hardlink(265, 1, "late", 260);
    auto img = openYaffs2(b.bytes());
    TempDir dir;
    struct Case {
        Layout layout;
        std::string options;
    };
    const Case cases[] = {
        {plainLayout(kDefaultLayout, false, kEccYaffs), ""},
        {plainLayout(kDefaultLayout, true, kEccNand), "-b "},
        {commonLayouts()[5].layout, "-c 4 -s 128 "},  // 4096+128
        {commonLayouts()[7].layout, "-c 8 -s 256 "},  // 8192+256
        {commonLayouts()[9].layout, "-c 16 -s 512 "}, // 16384+512
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(describeLayout(c.layout));
        SaveParams p;
        p.layout = c.layout;
        std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(*img, out, "yaffs2", p));
        std::string x = dir / ("x" + std::to_string(c.layout.pageSize + c.layout.tagOffset));
        CommandResult r = run("unyaffs " + c.options + shellQuote(out) + " " + shellQuote(x));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(readFile(x + "/d/a.bin"), pattern(70001, 1));
        EXPECT_EQ(readFile(x + "/b"), pattern(2048, 2));
        EXPECT_TRUE(readFile(x + "/empty").empty());
        EXPECT_EQ(std::filesystem::read_symlink(x + "/d/ln"), "a.bin");
        struct stat st {};
        ASSERT_EQ(::stat((x + "/a/early").c_str(), &st), 0);
        EXPECT_EQ(st.st_nlink, 3u) << "both links name the one file";
        EXPECT_EQ(readFile(x + "/late"), pattern(70001, 1));
        r = run("unyaffs " + c.options + "-t " + shellQuote(out));
        EXPECT_EQ(r.out, ".\na\nd\nd/ln\nd/a.bin\na/early\nb\nempty\nlate\n");
    }
}

// korvane-cli pack writes the large-page layouts that unyaffs extracts equal
// to the source folder; reading commands take the layout options and refuse a
// layout that does not check out, saying what was tried.
TEST(Yaffs2Writer, PackedLargePageImagesExtractWithUnyaffs) {
    if (!haveProgram("unyaffs"))
        GTEST_SKIP() << "unyaffs is not installed";
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directories(src + "/sys/app");
    writeFile(src + "/sys/app/a.apk", pattern(70001, 1));
    writeFile(src + "/sys/build.prop", std::string("ro.x=1\n"));
    writeFile(src + "/big.bin", pattern(300000, 2));
    writeFile(src + "/empty", std::string());
    std::filesystem::create_symlink("sys/build.prop", src + "/prop");
    const std::string cli = KORVANE_CLI;
    for (auto [page, spare] : {std::pair{4096, 128}, {8192, 256}, {16384, 512}}) {
        SCOPED_TRACE(page);
        const std::string out = dir / ("p" + std::to_string(page) + ".img");
        CommandResult r = run(cli + " pack " + shellQuote(src) + " " + shellQuote(out) +
                              " --to yaffs2 --page-size " + std::to_string(page) +
                              " --spare-size " + std::to_string(spare));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string x = dir / ("x" + std::to_string(page));
        r = run("unyaffs -c " + std::to_string(page / 1024) + " -s " + std::to_string(spare) + " " +
                shellQuote(out) + " " + shellQuote(x));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(diskTree(x), diskTree(src));

        r = run(cli + " info " + shellQuote(out));
        EXPECT_NE(r.out.find("layout:            " + std::to_string(page) + "+" +
                             std::to_string(spare) + ", tags at spare offset 0 with ECC"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("layout found:      100% sure"), std::string::npos) << r.out;
        r = run(cli + " ls --page-size 2048 " + shellQuote(out));
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("tried pages of 2048 bytes"), std::string::npos) << r.err;
        r = run(cli + " ls -R --page-size " + std::to_string(page) + " --spare-size " +
                std::to_string(spare) + " --tag-offset 0 --byte-order le " + shellQuote(out));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("/sys/app/a.apk"), std::string::npos);

        // convert keeps the source's layout unless told otherwise.
        const std::string again = dir / "again.img";
        ASSERT_EQ(
            run(cli + " convert " + shellQuote(out) + " " + shellQuote(again) + " --to yaffs2")
                .status,
            0);
        EXPECT_EQ(run(cli + " info " + shellQuote(again)).out.substr(0, 200),
                  run(cli + " info " + shellQuote(out)).out.substr(0, 200));
        ASSERT_EQ(run(cli + " convert " + shellQuote(out) + " " + shellQuote(again) +
                      " --to yaffs2 --out-page-size 2048 --out-spare-size 64 --ecc nand")
                      .status,
                  0);
        EXPECT_NE(run(cli + " info " + shellQuote(again))
                      .out.find("2048+64, tags at spare offset 0 with ECC, little-endian, NAND "
                                "data ECC at spare offset 40"),
                  std::string::npos);
    }
}

// Extended attributes go into the header chunk after the header and come back
// from it; a set too big for the chunk is refused, naming the object.
TEST(Yaffs2Writer, ExtendedAttributesRoundTrip) {
    Yaffs2Builder b;
    b.root();
    auto img = openYaffs2(b.bytes());
    Node* f = addFile(*img, img->root(), "app", pattern(100, 1));
    f->entry.xattrs = {{"security.selinux", std::string("u:object_r:app_file:s0\0", 23)},
                       {"security.capability", std::string(20, '\x02')}};
    Node* d = addNode(*img, img->root(), "data", kTypeDirectory, 0771);
    d->entry.xattrs = {{"user.note", "x"}};
    addHardlink(*img, d, "again", f);
    std::string little;
    for (const Layout& l : {kDefaultLayout, commonLayouts()[14].layout}) { // LE and BE
        SaveParams p;
        p.layout = l;
        auto back = openYaffs2(save(*img, p));
        EXPECT_EQ(findPath(back->root(), "app")->entry.xattrs, f->entry.xattrs);
        EXPECT_EQ(findPath(back->root(), "data")->entry.xattrs, d->entry.xattrs);
        EXPECT_TRUE(findPath(back->root(), "data/again")->entry.xattrs.empty());
        if (little.empty())
            little = dump(*back);
        else
            EXPECT_EQ(dump(*back), little);
    }

    f->entry.xattrs.push_back({"user.big", std::string(1500, 'v')});
    TempDir dir;
    try {
        saveas(*img, dir / "out.img", "yaffs2", {});
        ADD_FAILURE() << "saved attributes that do not fit";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("/app"), std::string::npos) << e.what();
    }
    SaveParams big;
    big.layout = commonLayouts()[5].layout; // 4096-byte pages hold it
    auto back = openYaffs2(save(*img, big));
    EXPECT_EQ(findPath(back->root(), "app")->entry.xattrs, f->entry.xattrs);
}

} // namespace
