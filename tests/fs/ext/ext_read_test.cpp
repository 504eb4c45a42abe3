// EXT2/EXT3 images made by e2fsprogs and genext2fs from a folder must read
// back as that folder: tree, modes, owners, sizes, times, link targets,
// device numbers and contents.
#include "ext_testutil.h"
#include "fs/ext/ext2_format.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/recording_sink.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

struct ImageKind {
    const char* name;
    const char* make; // SRC and IMG are replaced
    const char* format;
    uint32_t blockSize;
    bool exact; // every time and device number is kept
};

const ImageKind kKinds[] = {
    {"ext2_1k_128", "mke2fs -q -F -t ext2 -b 1024 -I 128 -d SRC IMG 24M", "EXT2", 1024, true},
    {"ext3_2k_256", "mke2fs -q -F -t ext3 -b 2048 -I 256 -d SRC IMG 32M", "EXT3", 2048, true},
    {"ext2_4k_256", "mke2fs -q -F -t ext2 -b 4096 -I 256 -d SRC IMG 32M", "EXT2", 4096, true},
    {"ext2_rev0", "mke2fs -q -F -r 0 -t ext2 -b 1024 -d SRC IMG 24M", "EXT2", 1024, true},
    // Many small groups, descriptors spread over meta groups.
    {"ext2_meta_bg",
     "mke2fs -q -F -t ext2 -b 1024 -g 1024 -O meta_bg,^resize_inode,flex_bg -d SRC IMG 48M", "EXT4",
     1024, true},
    // Folders indexed by e2fsck are read linearly.
    {"ext3_htree", "mke2fs -q -F -t ext3 -b 1024 -d SRC IMG 32M && e2fsck -fyD IMG >/dev/null",
     "EXT3", 1024, true},
    // genext2fs keeps neither access nor change times, nor wide device numbers.
    {"genext2fs", "genext2fs -z -b 24576 -N 700 -d SRC IMG", "EXT2", 1024, false},
};

std::string substitute(std::string s, const std::string& src, const std::string& img) {
    for (auto [key, value] :
         {std::pair{std::string("SRC"), src}, std::pair{std::string("IMG"), img}})
        for (size_t at; (at = s.find(key)) != std::string::npos;)
            s.replace(at, key.size(), shellQuote(value));
    return s;
}

class ExtReadBack : public ::testing::TestWithParam<ImageKind> {
protected:
    static void SetUpTestSuite() {
        source = new TempDir;
        makeSourceTree(source->path() / "src");
    }
    static void TearDownTestSuite() {
        delete source;
        source = nullptr;
    }
    static std::string srcDir() { return (source->path() / "src").string(); }
    static TempDir* source;
};

TempDir* ExtReadBack::source = nullptr;

TEST_P(ExtReadBack, TreeAttributesAndContents) {
    const ImageKind& kind = GetParam();
    TempDir dir;
    const std::string image = dir / "image.ext";
    // The tools keep the times they see before they read anything; reading
    // the source afterwards moves access times, so take them first.
    Snapshot snap = snapshot(srcDir());
    mustRun(substitute(kind.make, srcDir(), image));

    auto img = openExt(image);
    EXPECT_EQ(img->formatName(), kind.format);
    EXPECT_EQ(img->blockSize(), kind.blockSize);
    EXPECT_TRUE(img->warnings().empty()) << img->warnings().front();
    EXPECT_EQ(img->root()->text, "/");
    EXPECT_EQ(img->root()->entry.objId, ext2::kRootIno);
    EXPECT_EQ(img->root()->entry.objType, kTypeDirectory);
    EXPECT_EQ(img->root()->entry.name, "");
    EXPECT_EQ(img->nodeFor(ext2::kRootIno), img->root());
    expectSameTree(*img, snap, srcDir(), {kind.exact, kind.exact});
    EXPECT_EQ(img->readInfo().hardLinks, 3u);
    EXPECT_EQ(img->readInfo().skipped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Tools, ExtReadBack, ::testing::ValuesIn(kKinds),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Small images patched in place -----------------------------------------

class ExtSmall : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string src = dir / "src";
        std::filesystem::create_directories(src + "/d/sub");
        for (int i = 1; i <= 6; ++i)
            writeFile(src + "/d/a" + std::to_string(i), "file " + std::to_string(i));
        writeFile(src + "/top", "top");
        mustRun("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(src) + " " +
                shellQuote(dir / "small.img") + " 2M");
        bytes = readFile(dir / "small.img");
        auto img = openExt(bytes);
        Node* d = findPath(img->root(), "d");
        ASSERT_NE(d, nullptr);
        dIno = d->entry.objId;
        // Entries of d in the order they lie on disk.
        ext2::Inode inode;
        ASSERT_TRUE(img->loadInodeAt(dIno, inode));
        size_t at = size_t{inode.blocks[0]} * 1024;
        for (size_t end = at + 1024; at < end;) {
            uint16_t len = load16(bytes.data() + at + 4);
            std::string name(reinterpret_cast<const char*>(bytes.data() + at + 8),
                             std::to_integer<size_t>(bytes[at + 6]));
            if (name != "." && name != "..")
                order.push_back({name, at});
            at += len;
        }
        ASSERT_EQ(order.size(), 7u);
    }
    // Byte offset of inode n (a one-group image).
    size_t inodeOffset(uint32_t n) const {
        uint32_t table = load32(bytes.data() + 2048 + ext2::gd::kInodeTable);
        uint16_t inodeSize = load16(bytes.data() + 1024 + ext2::sb::kInodeSize);
        return size_t{table} * 1024 + (n - 1) * size_t{inodeSize};
    }
    std::vector<std::string> names(Timg& img, const std::string& path) {
        std::vector<std::string> out;
        for (auto& c : findPath(img.root(), path)->children)
            out.push_back(c->text);
        std::sort(out.begin(), out.end());
        return out;
    }
    std::string allWarnings(const Timg& img) {
        std::string s;
        for (const std::string& w : img.warnings())
            s += w + "\n";
        return s;
    }

    TempDir dir;
    Bytes bytes;
    uint32_t dIno = 0;
    std::vector<std::pair<std::string, size_t>> order; // d's entries on disk
};

TEST_F(ExtSmall, WorkEventsOfTheRead) {
    RecordingSink rec;
    Text23obj img;
    img.onwk = &rec;
    img.Init(ImageData::fromBytes(bytes));
    img.Open();
    ASSERT_GE(rec.events.size(), 3u);
    EXPECT_EQ(rec.events.front().kind, 1);
    EXPECT_EQ(rec.events.front().message, "");
    EXPECT_EQ(rec.events.back().kind, 3);
    for (const auto& e : rec.events) {
        EXPECT_EQ(e.flag, kFlagExtRead);
        if (e.kind == 2) {
            EXPECT_LE(e.pos, e.max);
            EXPECT_FALSE(e.message.empty());
        }
    }
    // The last event goes out when the read fails too.
    Bytes b = bytes;
    store16(b.data() + inodeOffset(ext2::kRootIno), 0100644); // root is no folder
    RecordingSink failed;
    Text23obj bad;
    bad.onwk = &failed;
    bad.Init(ImageData::fromBytes(b));
    EXPECT_THROW(bad.Open(), Error);
    ASSERT_EQ(failed.events.size(), 2u);
    EXPECT_EQ(failed.events.back().kind, 3);
}

TEST_F(ExtSmall, UnusedEntriesAreSkippedNotTheEnd) {
    // A name deleted from the head of a block leaves an entry with inode 0;
    // everything after it is still there.
    store32(bytes.data() + order[0].second, 0);
    store32(bytes.data() + order[3].second, 0);
    auto img = openExt(bytes);
    EXPECT_TRUE(img->warnings().empty()) << allWarnings(*img);
    std::vector<std::string> want;
    for (size_t i = 0; i < order.size(); ++i)
        if (i != 0 && i != 3)
            want.push_back(order[i].first);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names(*img, "d"), want);
}

TEST_F(ExtSmall, RootWithOnlyDotEntries) {
    TempDir empty;
    std::filesystem::create_directory(empty / "src");
    const std::string image = empty / "e.img";
    mustRun("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(empty / "src") + " " +
            shellQuote(image) + " 1M");
    mustRun("debugfs -w -R 'rmdir lost+found' " + shellQuote(image));
    auto img = openExt(image);
    EXPECT_TRUE(img->root()->children.empty());
    EXPECT_EQ(img->readInfo().objects, 1u);
    EXPECT_TRUE(img->warnings().empty()) << allWarnings(*img);
}

TEST_F(ExtSmall, DamagedEntryEndsTheWalkOfItsDirectory) {
    struct Case {
        const char* what;
        size_t field;
        int width;
        uint32_t value;
        const char* warning;
    };
    const Case cases[] = {
        {"record length 0", 4, 2, 0, "record length of 0"},
        {"record past the block", 4, 2, 4000, "record length of 4000"},
        {"record shorter than a header", 4, 2, 6, "record length of 6"},
        {"name longer than its record", 6, 1, 200, "longer than its record"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = bytes;
        std::byte* e = b.data() + order[2].second + c.field;
        if (c.width == 2)
            store16(e, static_cast<uint16_t>(c.value));
        else
            *e = static_cast<std::byte>(c.value);
        auto img = openExt(b);
        std::vector<std::string> want{order[0].first, order[1].first};
        std::sort(want.begin(), want.end());
        EXPECT_EQ(names(*img, "d"), want);
        ASSERT_EQ(img->warnings().size(), 1u) << allWarnings(*img);
        EXPECT_NE(img->warnings()[0].find("directory /d: "), std::string::npos)
            << img->warnings()[0];
        EXPECT_NE(img->warnings()[0].find(c.warning), std::string::npos) << img->warnings()[0];
        EXPECT_NE(findPath(img->root(), "top"), nullptr) << "other folders are still read";
        EXPECT_EQ(img->readInfo().skipped, 1u);
    }
}

TEST_F(ExtSmall, BadInodeNumbersAndLoopsAreLeftOut) {
    auto subAt = std::find_if(order.begin(), order.end(), [](auto& p) { return p.first == "sub"; });
    ASSERT_NE(subAt, order.end());
    const size_t other = subAt == order.begin() ? 1 : 0;
    struct Case {
        size_t entry;
        uint32_t ino;
        const char* warning;
    };
    const Case cases[] = {
        {static_cast<size_t>(subAt - order.begin()), dIno, "a second time"}, // d inside itself
        {static_cast<size_t>(subAt - order.begin()), 2, "a second time"},    // the root
        {other, 0xFFFFFF00u, "beyond the image's"},
        {other, 9, "not in use"}, // a reserved inode nothing uses
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.warning);
        Bytes b = bytes;
        store32(b.data() + order[c.entry].second, c.ino);
        auto img = openExt(b);
        EXPECT_EQ(findPath(img->root(), "d/" + order[c.entry].first), nullptr);
        EXPECT_EQ(findPath(img->root(), "d")->children.size(), order.size() - 1);
        ASSERT_EQ(img->warnings().size(), 1u) << allWarnings(*img);
        EXPECT_NE(img->warnings()[0].find(c.warning), std::string::npos) << img->warnings()[0];
    }
}

TEST_F(ExtSmall, DirectoryBlockOutsideTheImage) {
    store32(bytes.data() + inodeOffset(dIno) + ext2::ino::kBlockMap, 0x7FFFFFF0);
    auto img = openExt(bytes);
    EXPECT_TRUE(findPath(img->root(), "d")->children.empty());
    ASSERT_EQ(img->warnings().size(), 1u) << allWarnings(*img);
    EXPECT_NE(img->warnings()[0].find("outside the image"), std::string::npos);
    TImgEntry e;
    Bytes buf;
    ASSERT_TRUE(img->ReadContent(dIno, e, buf));
    EXPECT_EQ(buf, Bytes(1024)) << "a block outside the image reads as zeros";
}

TEST_F(ExtSmall, TruncatedImageAndNeedsRecovery) {
    Bytes cut(bytes.begin(), bytes.begin() + 1536 * 1024);
    auto img = openExt(cut);
    EXPECT_NE(allWarnings(*img).find("truncated"), std::string::npos) << allWarnings(*img);
    EXPECT_EQ(names(*img, "d").size(), 7u);

    Bytes b = bytes;
    uint32_t incompat = load32(b.data() + 1024 + ext2::sb::kFeatureIncompat);
    store32(b.data() + 1024 + ext2::sb::kFeatureIncompat, incompat | ext2::kIncompatRecover);
    img = openExt(b);
    EXPECT_NE(allWarnings(*img).find("needs recovery"), std::string::npos) << allWarnings(*img);
}

TEST_F(ExtSmall, RefusedImagesNameTheReason) {
    struct Case {
        const char* what;
        size_t offset; // from the superblock's start
        uint32_t value;
        bool orInto; // or the value into the field instead of replacing it
        const char* message;
    };
    const Case cases[] = {
        {"magic", ext2::sb::kMagic, 0x1234, false, "not an EXT2/EXT3/EXT4 image"},
        {"compression", ext2::sb::kFeatureIncompat, ext2::kIncompatCompression, true,
         "feature compression"},
        {"casefold, unknown encoding", ext2::sb::kFeatureIncompat, ext2::kIncompatCasefold, true,
         "feature casefold"},
        {"directory data", ext2::sb::kFeatureIncompat, ext2::kIncompatDirData, true,
         "feature dirdata"},
        {"encryption", ext2::sb::kFeatureIncompat, ext2::kIncompatEncrypt, true, "feature encrypt"},
        {"unknown", ext2::sb::kFeatureIncompat, 0x80000000u, true, "feature FEATURE_I31"},
        {"bigalloc", ext2::sb::kFeatureRoCompat, ext2::kRoCompatBigalloc, true, "feature bigalloc"},
        {"journal device", ext2::sb::kFeatureIncompat, ext2::kIncompatJournalDev, true,
         "journal device"},
        {"block size", ext2::sb::kLogBlockSize, 20, false, "block size"},
        {"revision", ext2::sb::kRevLevel, 7, false, "revision 7"},
        {"inode size", ext2::sb::kInodeSize, 100, false, "inode size"},
        {"blocks per group", ext2::sb::kBlocksPerGroup, 0, false, "blocks per group"},
        {"inode count", ext2::sb::kInodesCount, 1u << 30, false, "inode count"},
        {"block count", ext2::sb::kBlocksCount, 0, false, "block count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = bytes;
        std::byte* field = b.data() + 1024 + c.offset;
        if (c.offset == ext2::sb::kMagic || c.offset == ext2::sb::kInodeSize)
            store16(field, static_cast<uint16_t>(c.value));
        else
            store32(field, c.orInto ? load32(field) | c.value : c.value);
        try {
            openExt(b);
            ADD_FAILURE() << "opened";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // Inodes that the file cannot even hold.
    Bytes b = bytes;
    store32(b.data() + 1024 + ext2::sb::kInodesPerGroup, 8192);
    store32(b.data() + 1024 + ext2::sb::kInodesCount, 8192);
    store16(b.data() + 1024 + ext2::sb::kInodeSize, 512);
    try {
        openExt(b);
        ADD_FAILURE() << "opened";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("more than the file"), std::string::npos) << e.what();
    }
    EXPECT_THROW(openExt(Bytes(1500)), Error);
}

TEST_F(ExtSmall, HolesReadAsZerosWhateverTheBootBlockHolds) {
    TempDir t;
    const std::string src = t / "src";
    std::filesystem::create_directory(src);
    {
        std::string s(40000, '\0');
        s.replace(30000, 5, "hello");
        writeFile(src + "/sparse", s);
    }
    mustRun("mke2fs -q -F -t ext2 -b 1024 -d " + shellQuote(src) + " " + shellQuote(t / "h.img") +
            " 1M");
    Bytes b = readFile(t / "h.img");
    // Keep the first word zero (that is how an EXT image is recognised).
    std::fill(b.begin() + 4, b.begin() + 1024, std::byte{0xAA});
    auto img = openExt(b);
    Node* n = findPath(img->root(), "sparse");
    ASSERT_NE(n, nullptr);
    ext2::Inode inode;
    ASSERT_TRUE(img->loadInodeAt(n->entry.objId, inode));
    EXPECT_EQ(inode.blocks[0], 0u) << "mke2fs leaves zero blocks as holes";
    TImgEntry e;
    Bytes buf;
    ASSERT_TRUE(img->ReadContent(n->entry.objId, e, buf));
    ASSERT_EQ(buf.size(), 40960u);
    Bytes want(40960);
    std::memcpy(want.data() + 30000, "hello", 5);
    EXPECT_TRUE(buf == want);
}

TEST(ExtLarge, FileOver4GiBKeepsItsSize) {
    TempDir t;
    const std::string src = t / "src";
    std::filesystem::create_directory(src);
    const uint64_t size = (5ull << 30) + 3;
    {
        int fd = ::open((src + "/huge").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "end", 3, static_cast<off_t>(size - 3)), 3);
        ::close(fd);
    }
    mustRun("mke2fs -q -F -t ext2 -b 4096 -d " + shellQuote(src) + " " + shellQuote(t / "l.img") +
            " 8M");
    auto img = openExt(t / "l.img");
    Node* n = findPath(img->root(), "huge");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->entry.size, size);
    EXPECT_TRUE(img->warnings().empty());
}

} // namespace
