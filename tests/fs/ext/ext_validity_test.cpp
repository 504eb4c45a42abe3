// Images the EXT writer makes from varied trees: e2fsck finds nothing wrong,
// debugfs and Korvane's own reader read back every object, conversions keep
// everything, and korvane-cli writes EXT2, EXT3 and ext4, plain and sparse.
#include "ext_testutil.h"
#include "ext_write_util.h"
#include "fs/ext/ext_writer.h"
#include "fs/ext/text23obj.h"
#include "fs/yaffs2/tyaffs2obj.h"
#include "model/error.h"
#include "source/image_data.h"
#include "source/sparse/sparse_writer.h"
#include "support/save_as.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

// Saves the tree as EXT2 and as EXT3 and checks each image every way there is.
void expectValidImages(Timg& img) {
    const std::string source = treeDump(img);
    for (std::string kind : {"ext2", "ext3"}) {
        SCOPED_TRACE(kind == "ext2" ? "EXT2" : "EXT3");
        TempDir dir;
        const std::string out = dir / "out.img";
        ASSERT_TRUE(saveas(img, out, kind, {}));
        expectFsckClean(out);
        auto back = openExt(out);
        EXPECT_EQ(back->formatName(), kind == "ext2" ? "EXT2" : "EXT3");
        EXPECT_TRUE(back->warnings().empty()) << back->warnings().front();
        EXPECT_EQ(treeDump(*back), source);
        expectRdumpMatches(img, out);
        expectDebugfsStat(img, out);
    }
}

TEST(ExtValidity, SeededRandomTrees) {
    std::string all;
    for (uint32_t seed : {1u, 2u, 3u, 4u, 5u, 6u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        auto img = newimage();
        RandomTreeOptions opt;
        opt.objects = 250 + seed * 40;
        opt.rootLostFound = seed % 2 == 0;
        randomTree(*img, seed, opt);
        all += treeDump(*img);
        expectValidImages(*img);
    }
    // The trees hold every kind of object.
    for (const char* kind : {" f ", " d ", " l ", " c ", " b ", " p ", " s ", " names ",
                             "/lost+found ", "\xF0\x9F\x98\x80"})
        EXPECT_NE(all.find(kind), std::string::npos) << kind;
}

// The plain image of out: out itself, or what simg2img makes of a sparse one.
std::string plainImage(const std::string& out, bool sparse, const TempDir& dir) {
    if (!sparse)
        return out;
    const std::string raw = dir / "expanded.img";
    CommandResult r = run("simg2img " + shellQuote(out) + " " + shellQuote(raw));
    EXPECT_EQ(r.status, 0) << r.err;
    return raw;
}

struct Format {
    const char* name;
    std::string kind;
    ExtSaveParams params;
};

// Every kind, block and inode size the writer chooses between, plain and
// sparse: e2fsck, debugfs stat and ea_get, and rdump agree with the tree.
TEST(ExtValidity, SeededTreesWithAttributesInEveryFormat) {
    auto sized = [](uint32_t bs, uint32_t isz, bool sparse) {
        ExtSaveParams p;
        p.blockSize = bs;
        p.inodeSize = isz;
        p.sparse = sparse;
        return p;
    };
    const Format formats[] = {
        {"ext4 4K", "ext4", sized(0, 0, false)},
        {"ext4 1K sparse", "ext4", sized(1024, 0, true)},
        {"ext4 2K, 128-byte inodes", "ext4", sized(2048, 128, false)},
        {"ext3 4K, 256-byte inodes", "ext3", sized(4096, 256, false)},
        {"ext2 2K, 512-byte inodes, sparse", "ext2", sized(2048, 512, true)},
        {"ext2 classic", "ext2", sized(0, 0, false)},
    };
    uint32_t seed = 20;
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        auto img = newimage();
        RandomTreeOptions opt;
        opt.objects = 300;
        opt.xattrs = true;
        opt.wideTimes = f.params.inodeSize > 128 || (f.kind == "ext4" && !f.params.inodeSize);
        opt.rootLostFound = seed % 2 == 0;
        randomTree(*img, ++seed, opt);
        TempDir dir;
        const std::string out = dir / "out.img";
        std::vector<Message> warnings;
        ASSERT_TRUE(saveas(*img, out, f.kind, {}, f.params, &warnings));
        EXPECT_TRUE(warnings.empty()) << warnings.front().english();
        const std::string plain = plainImage(out, f.params.sparse, dir);
        expectFsckClean(plain);
        expectDebugfsStat(*img, plain);
        expectRdumpMatches(*img, plain);
    }
}

// A sparse file made of 4 KiB pieces of text at the given offsets.
void writePieces(const std::string& path, uint64_t size, const std::vector<uint64_t>& pieces) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    for (uint64_t at : pieces) {
        std::string text = "piece " + std::to_string(at);
        text.resize(4096, '.');
        ASSERT_EQ(::pwrite(fd, text.data(), text.size(), static_cast<off_t>(at)), 4096);
    }
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

// A 3 GiB file with 12 KiB of data keeps its size and its holes: only the
// data's blocks are allocated, in every kind. A file of 400 pieces needs an
// extent tree of depth 1 (4 KiB blocks) or 2 (1 KiB blocks).
TEST(ExtValidity, SparseFileKeepsItsHoles) {
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directory(src);
    const uint64_t size = 3ull << 30;
    const std::vector<uint64_t> pieces{0, 1ull << 30, size - 4096};
    writePieces(src + "/big", size, pieces);
    std::vector<uint64_t> many;
    for (uint64_t i = 0; i < 400; ++i)
        many.push_back(i * 65536);
    writePieces(src + "/frag", 400 * 65536, many);
    const struct {
        const char* to;
        bool sparse;
        uint64_t blockSize;
        const char* tree; // the deepest extent tree level debugfs shows
    } formats[] = {{"ext2", false, 1024, "(DIND)"},
                   {"ext3 --sparse", true, 1024, "(DIND)"},
                   {"ext4", false, 4096, "(ETB0)"},
                   {"ext4 --sparse --block-size 1024", true, 1024, "(ETB1)"}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.to);
        const std::string out = dir / "out.img";
        CommandResult r =
            run(cli("pack " + shellQuote(src) + " " + shellQuote(out) + " --to " + f.to));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_LT(std::filesystem::file_size(out), 16u << 20);
        TempDir x;
        const std::string plain = plainImage(out, f.sparse, x);
        expectFsckClean(plain);
        r = run("debugfs -R " + shellQuote("stat /big") + " " + shellQuote(plain) + " 2>&1");
        EXPECT_NE(r.out.find("Size: " + std::to_string(size)), std::string::npos) << r.out;
        // Three 4 KiB pieces and, with block maps, a few indirect blocks.
        const size_t at = r.out.find("Blockcount: ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_LE(std::stoull(r.out.substr(at + 12)), 3u * 8 + 16) << r.out;
        const Bytes image = readFile(plain);
        for (uint64_t piece : pieces) {
            const std::string text = "piece " + std::to_string(piece);
            const std::string bmap = "bmap /big " + std::to_string(piece / f.blockSize);
            r = run("debugfs -R " + shellQuote(bmap) + " " + shellQuote(plain) + " 2>/dev/null");
            ASSERT_EQ(r.status, 0);
            const uint64_t block = std::stoull(r.out);
            ASSERT_GT(block, 0u) << text;
            EXPECT_EQ(toString(ByteSpan(image).subspan(block * f.blockSize, text.size())), text);
        }
        r = run("debugfs -R " + shellQuote("stat /frag") + " " + shellQuote(plain) + " 2>&1");
        EXPECT_NE(r.out.find(f.tree), std::string::npos) << r.out.substr(0, 2000);
        r = run("debugfs -R " + shellQuote("dump /frag " + (x / "frag")) + " " + shellQuote(plain) +
                " 2>&1");
        EXPECT_TRUE(readFile(x / "frag") == readFile(src + "/frag"));
    }
}

// The data ranges of a file, as the filesystem under it keeps them.
std::vector<DataRange> dataRanges(const std::string& path) {
    std::vector<DataRange> out;
    const int fd = ::open(path.c_str(), O_RDONLY);
    const off_t end = ::lseek(fd, 0, SEEK_END);
    for (off_t at = 0; at < end;) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        const off_t hole = ::lseek(fd, data, SEEK_HOLE);
        out.push_back({static_cast<uint64_t>(data), static_cast<uint64_t>(hole)});
        at = hole;
    }
    ::close(fd);
    return out;
}

// simg2img expands what the sparse writer makes of an image to the same
// bytes: raw, fill and "don't care" chunks alike.
TEST(ExtValidity, SparseImagesExpandToThePlainImage) {
    auto img = newimage();
    RandomTreeOptions opt;
    opt.objects = 200;
    randomTree(*img, 31, opt);
    addFile(*img, img->root(), "fill", Bytes(70000, std::byte{0xAB}));
    TempDir dir;
    const std::string plain = dir / "plain.img";
    ExtSaveParams p;
    p.blockSize = 1024;
    ASSERT_TRUE(saveas(*img, plain, "ext4", {}, p));
    const Bytes bytes = readFile(plain);
    const auto read = [&](uint64_t offset, MutableByteSpan span) {
        std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(offset), span.size(), span.begin());
    };
    const std::vector<DataRange> everything{{0, bytes.size()}};
    const struct {
        std::vector<DataRange> data, zeros;
    } cases[] = {{dataRanges(plain), {}}, {everything, {}}, {{}, everything}};
    for (const auto& c : cases) {
        const std::string sparse = dir / "sparse.img";
        {
            OutputFile out(sparse);
            writeSparseImage(bytes.size(), 1024, c.data, c.zeros, read, out);
            out.commit();
        }
        const std::string expanded = dir / "expanded.img";
        CommandResult r = run("simg2img " + shellQuote(sparse) + " " + shellQuote(expanded));
        ASSERT_EQ(r.status, 0) << r.err;
        const Bytes back = readFile(expanded);
        if (c.data.empty()) {
            EXPECT_EQ(back, Bytes(bytes.size())) << "zero fills";
            continue;
        }
        EXPECT_TRUE(back == bytes);
        // Which chunk kinds the image needed.
        const Bytes s = readFile(sparse);
        std::set<uint16_t> kinds;
        for (size_t at = 28; at + 12 <= s.size(); at += load32(s.data() + at + 8))
            kinds.insert(load16(s.data() + at));
        EXPECT_TRUE(kinds.count(0xCAC1) && kinds.count(0xCAC2)) << "raw and fill chunks";
        uint64_t data = 0;
        for (const DataRange& d : c.data)
            data += d.end - d.begin;
        EXPECT_EQ(kinds.count(0xCAC3) != 0, data < bytes.size()) << "don't care only for holes";
    }
}

// dumpe2fs -h's value of field ("Block size").
std::string fsFact(const std::string& image, const std::string& field) {
    CommandResult r = run("dumpe2fs -h " + shellQuote(image) + " 2>/dev/null");
    r.out = "\n" + r.out;
    const size_t at = r.out.find("\n" + field + ":");
    if (at == std::string::npos)
        return "";
    size_t from = r.out.find_first_not_of(" \t", at + field.size() + 2);
    return r.out.substr(from, r.out.find('\n', from) - from);
}

// convert keeps an EXT source's kind and geometry, each option overrides its
// part, and a tree that outgrows the kept size is refused, naming how much.
void expectConvertedLike(const std::string& source, const std::string& sourceTree) {
    TempDir dir;
    const std::string out = dir / "out.img";
    const struct {
        std::string options;
        std::vector<std::pair<std::string, std::string>> facts; // expected to differ
    } cases[] = {
        {"", {}},
        {"--to ext4",
         {{"Filesystem features", "has_journal ext_attr dir_index filetype extent flex_bg "
                                  "sparse_super large_file huge_file dir_nlink extra_isize "
                                  "metadata_csum"}}},
        {"--label other --uuid 99999999-8888-7777-6666-555555555555 --size 64M "
         "--block-size 1024 --inode-size 128 --inodes 3000",
         {{"Filesystem volume name", "other"},
          {"Filesystem UUID", "99999999-8888-7777-6666-555555555555"},
          {"Block count", "65536"},
          {"Block size", "1024"},
          {"Inode size", "128"},
          {"Inode count", "3008"}}},
    };
    const char* kept[] = {"Filesystem features", "Filesystem volume name",
                          "Filesystem UUID",     "Directory Hash Seed",
                          "Block count",         "Block size",
                          "Inode size",          "Inode count"};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        CommandResult r =
            run(cli("convert " + shellQuote(source) + " " + shellQuote(out) + " " + c.options));
        ASSERT_EQ(r.status, 0) << r.err;
        expectFsckClean(out);
        for (const char* field : kept) {
            std::string want = fsFact(source, field);
            for (const auto& [f, v] : c.facts)
                if (f == field)
                    want = v;
            // Korvane writes no resize inode; 128-byte inodes have no extra fields.
            if (std::string(field) == "Filesystem features") {
                want = std::regex_replace(want, std::regex(" resize_inode"), "");
                if (c.options.find("--inode-size 128") != std::string::npos)
                    want = std::regex_replace(want, std::regex(" extra_isize"), "");
            }
            EXPECT_EQ(fsFact(out, field), want) << field;
        }
        r = run("debugfs -R " + shellQuote("cat /sub/data") + " " + shellQuote(out) +
                " 2>/dev/null");
        EXPECT_TRUE(asBytes(r.out).size() > 0 &&
                    bytesOf(r.out) == readFile(sourceTree + "/sub/data"));
    }
    writeFile(out, std::string("keep"));
    CommandResult r = run(cli("convert " + shellQuote(source) + " " + shellQuote(out) +
                              " --size 1M --block-size 1024"));
    EXPECT_EQ(r.status, 1);
    // The kept inode count or the data: either way the shortfall is named.
    EXPECT_NE(r.err.find("an image of 1048576 bytes holds"), std::string::npos) << r.err;
    EXPECT_EQ(toString(readFile(out)), "keep");
}

TEST(ExtValidity, ConvertLikeTheSource) {
    TempDir dir;
    const std::string tree = dir / "tree";
    std::filesystem::create_directories(tree + "/sub");
    writeFile(tree + "/sub/data", pattern(3 << 20, 9));
    writeFile(tree + "/a", std::string("a"));
    for (const char* kind : {"ext2", "ext3"}) {
        SCOPED_TRACE(kind);
        const std::string source = dir / "source.img";
        mustRun(std::string("mke2fs -q -F -t ") + kind +
                " -b 4096 -I 256 -N 600 -L srclabel -U 01234567-89ab-cdef-0123-456789abcdef "
                "-E hash_seed=11111111-2222-3333-4444-555555555555 -d " +
                shellQuote(tree) + " " + shellQuote(source) + " 48M");
        expectConvertedLike(source, tree);
    }
}

// The same from an ext4 source, once Korvane reads ext4.
TEST(ExtValidity, ConvertLikeAnExt4Source) {
    TempDir dir;
    const std::string tree = dir / "tree";
    std::filesystem::create_directories(tree + "/sub");
    writeFile(tree + "/sub/data", pattern(3 << 20, 9));
    const std::string source = dir / "source.img";
    mustRun("mke2fs -q -F -t ext4 -O ^64bit,^resize_inode,^orphan_file -b 4096 -L srclabel -d " +
            shellQuote(tree) + " " + shellQuote(source) + " 48M");
    if (run(cli("info " + shellQuote(source))).status != 0)
        GTEST_SKIP() << "this build of Korvane does not read ext4 images";
    expectConvertedLike(source, tree);
}

// Read back, then converted like the source (plain and sparse images alike),
// a tree keeps every object and attribute, once Korvane reads ext4.
TEST(ExtValidity, Ext4ReadBackAndConvertedAgain) {
    auto img = newimage();
    RandomTreeOptions opt;
    opt.objects = 300;
    opt.xattrs = true;
    randomTree(*img, 41, opt);
    const std::string want = treeDump(*img);
    TempDir dir;
    for (bool sparse : {false, true}) {
        SCOPED_TRACE(sparse ? "sparse" : "plain");
        ExtSaveParams p;
        p.blockSize = sparse ? 1024 : 4096;
        p.sparse = sparse;
        const std::string first = dir / "first.img";
        ASSERT_TRUE(saveas(*img, first, "ext4", {}, p));
        std::unique_ptr<Timg> back;
        try {
            back = loadimage(first);
        } catch (const Error& e) {
            GTEST_SKIP() << "this build of Korvane does not read ext4 images: " << e.what();
        }
        EXPECT_EQ(treeDump(*back), want);
        ExtSaveParams like;
        like.likeSource = true;
        const std::string second = dir / "second.img";
        ASSERT_TRUE(saveas(*back, second, "ext4", {}, like));
        expectFsckClean(second);
        expectDebugfsStat(*back, second);
        EXPECT_EQ(treeDump(*loadimage(second)), want);
    }
}

// A superblock that claims 16 TiB in a file of 8 MiB: converted like the
// source, the image is sized to the tree, with a warning, and passes e2fsck.
TEST(ExtValidity, LikeTheSourceNeverKeepsMoreThanTheFileHolds) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    writeFile(dir / "src/a", pattern(5000, 1));
    const std::string source = dir / "claims.img";
    mustRun("mke2fs -q -F -t ext2 -b 4096 -d " + shellQuote(dir / "src") + " " +
            shellQuote(source) + " 8M");
    Bytes bytes = readFile(source);
    store32(bytes.data() + 1024 + 4, 0xFFFFFFF0); // s_blocks_count
    writeFile(source, bytes);
    auto img = loadimage(source);
    ExtSaveParams like;
    like.likeSource = true;
    std::vector<Message> warnings;
    const ext2::ImagePlan plan = checkExt(*img, ExtKind::kExt2, like, &warnings);
    EXPECT_LE(plan.geo.blocksCount * plan.geo.blockSize, 8u << 20);
    ASSERT_FALSE(warnings.empty());
    EXPECT_NE(warnings[0].english().find("sized to the tree"), std::string::npos);
    const std::string out = dir / "out.img";
    ASSERT_TRUE(saveas(*img, out, "ext2", {}, like));
    expectFsckClean(out);
    EXPECT_EQ(treeDump(*loadimage(out)), treeDump(*img));
}

TEST(ExtValidity, FilesAtEveryBlockMapLevel) {
    auto img = newimage();
    RandomTreeOptions opt;
    opt.objects = 60;
    opt.bigFiles = {12 * 1024,      12 * 1024 + 1,          268 * 1024,
                    268 * 1024 + 1, (268 + 256) * 1024 + 7, 65804ull * 1024 + 1};
    randomTree(*img, 77, opt);
    expectValidImages(*img);
}

TEST(ExtValidity, WideAndDeepFolders) {
    auto img = newimage();
    // A folder of 3000 entries takes more than 12 blocks (and so an indirect
    // block); a chain of 300 folders.
    Node* wide = addNode(*img, img->root(), "wide", kTypeDirectory, 040755);
    for (int i = 0; i < 3000; ++i)
        addFile(*img, wide, "entry_with_a_longer_name_" + std::to_string(i) + ".txt",
                i % 10 ? Bytes{} : pattern(static_cast<size_t>(i), i), 0100644);
    Node* d = img->root();
    for (int i = 0; i < 300; ++i)
        d = addNode(*img, d, "level" + std::to_string(i), kTypeDirectory, 040755);
    addFile(*img, d, "leaf", bytesOf("deep"));
    addSymlink(*img, d, "up", "../../..");
    expectValidImages(*img);
}

// The inodes of 1,500 objects fill the tables of several groups: each lands
// in its slot however late the walk finishes it (a folder after everything
// in it, a file before or after its hard links), plain and sparse.
TEST(ExtValidity, MoreObjectsThanTheDataGivesInodes) {
    auto img = newimage();
    RandomTreeOptions opt;
    opt.objects = 1500;
    opt.bigFiles = {9u << 20, 9u << 20};
    randomTree(*img, 11, opt);
    const std::string source = treeDump(*img);
    ExtSaveParams small;
    small.blockSize = 1024;
    small.inodeSize = 128;
    ExtSaveParams sized;
    sized.size = 48u << 20;
    sized.sparse = true;
    const Format formats[] = {
        {"ext3", "ext3", {}},
        {"ext4, 1 KiB blocks, 128-byte inodes", "ext4", small},
        {"ext2 of 48 MiB, sparse", "ext2", sized},
    };
    for (const Format& f : formats) {
        SCOPED_TRACE(f.name);
        TempDir dir;
        const std::string out = dir / "a.img";
        ASSERT_TRUE(saveas(*img, out, f.kind, {}, f.params));
        const std::string plain = plainImage(out, f.params.sparse, dir);
        EXPECT_LT(std::stoul(fsFact(plain, "Inodes per group")), opt.objects / 2);
        expectFsckClean(plain);
        EXPECT_EQ(treeDump(*openExt(plain)), source);
        expectDebugfsStat(*img, plain);
    }
}

// A YAFFS2 image with every kind of object, as a phone's system partition
// would hold them.
Bytes yaffs2Source() {
    using namespace yaffs2;
    Yaffs2Builder b;
    b.root(040751, 1600000000);
    b.dir(300, 1, "system");
    b.dir(301, 300, "bin");
    ObjectHeader sh = Yaffs2Builder::make(kHdrFile, 301, "sh", 0104755);
    Bytes shBytes = pattern(70000, 1);
    sh.fileSize = static_cast<uint32_t>(shBytes.size());
    sh.uid = 1000;
    sh.gid = 2000;
    sh.atime = 1600000001;
    sh.mtime = 1600000002;
    sh.ctime = 1600000003;
    b.header(302, sh);
    for (uint32_t k = 0; k * 2048 < shBytes.size(); ++k)
        b.data(
            302, k + 1,
            ByteSpan(shBytes).subspan(k * 2048, std::min<size_t>(2048, shBytes.size() - k * 2048)));
    b.hardlink(303, 300, "sh-hard", 302);
    b.symlink(304, 301, "toolbox", "sh");
    b.symlink(305, 1, "long", std::string(150, 'x'));
    b.special(306, 1, "null", 020666, 0x0103);
    b.special(307, 1, "sda", 060600, 0x0800);
    b.special(308, 1, "fifo", 010640, 0);
    b.special(309, 1, "sock", 0140755, 0);
    b.file(310, 300, "empty", {});
    b.file(311, 300, "目录-ü.txt", pattern(3000, 2));
    b.dir(312, 1, "lost+found");
    b.file(313, 312, "stale", pattern(10, 3));
    return b.bytes();
}

TEST(ExtValidity, Yaffs2ToExt3AndBack) {
    auto src = std::make_unique<Tyaffs2obj>();
    src->Init(ImageData::fromBytes(yaffs2Source()));
    src->Open();
    TempDir dir;
    ASSERT_TRUE(saveas(*src, dir / "a.ext3", "ext3", {}));
    expectFsckClean(dir / "a.ext3");
    expectDebugfsStat(*src, dir / "a.ext3");
    auto ext = openExt(dir / "a.ext3");
    EXPECT_EQ(treeDump(*ext), treeDump(*src));
    ASSERT_TRUE(saveas(*ext, dir / "b.yaffs2", "yaffs2", {}));
    auto back = std::make_unique<Tyaffs2obj>();
    back->Init(ImageData::mapFile(dir / "b.yaffs2"));
    back->Open();
    // The source's lost+found keeps what it holds.
    std::string want = treeDump(*src);
    std::string got = treeDump(*back);
    EXPECT_EQ(got, want);
    EXPECT_NE(findPath(back->root(), "lost+found/stale"), nullptr);
    EXPECT_NE(got.find("/system/bin/sh f 4755 u1000 g2000 a1600000001 c1600000003 m1600000002"),
              std::string::npos)
        << got;
    EXPECT_NE(got.find("names /system/bin/sh /system/sh-hard"), std::string::npos) << got;
    EXPECT_NE(got.find("/sda b 0600"), std::string::npos) << got;
    EXPECT_NE(got.find("/sock s 0755"), std::string::npos) << got;

    // Saving what was read keeps it all again.
    ASSERT_TRUE(saveas(*ext, dir / "c.ext3", "ext3", {}));
    expectFsckClean(dir / "c.ext3");
    EXPECT_EQ(treeDump(*openExt(dir / "c.ext3")), treeDump(*ext));
}

TEST(ExtValidity, SavingOverTheOpenImage) {
    auto img = newimage();
    addFile(*img, img->root(), "f", pattern(5000, 5));
    TempDir dir;
    const std::string path = dir / "img";
    ASSERT_TRUE(saveas(*img, path, "ext2", {}));
    auto ext = openExt(path);
    addFile(*ext, ext->root(), "g", pattern(100, 6));
    ASSERT_TRUE(saveas(*ext, path, "ext3", {}));
    expectFsckClean(path);
    TImgEntry e;
    Bytes buf;
    ext->ReadContent(findPath(ext->root(), "f")->entry.objId, e, buf);
    buf.resize(5000);
    EXPECT_EQ(buf, pattern(5000, 5)) << "the open image still reads its old file";
    EXPECT_EQ(treeDump(*openExt(path)), treeDump(*ext));
}

TEST(ExtValidity, CliConvertAndPack) {
    TempDir dir;
    const std::string yaffs = dir / "src.yaffs2";
    writeFile(yaffs, yaffs2Source());
    for (const char* to : {"ext2", "ext3"}) {
        const std::string out = dir / (std::string("out.") + to);
        CommandResult r =
            run(cli("convert " + shellQuote(yaffs) + " " + shellQuote(out) + " --to " + to));
        ASSERT_EQ(r.status, 0) << r.err;
        expectFsckClean(out);
        r = run(cli("info " + shellQuote(out)));
        EXPECT_NE(r.out.find(std::string("format:            ") + (to[3] == '2' ? "EXT2" : "EXT3")),
                  std::string::npos)
            << r.out;
        r = run(cli("cat " + shellQuote(out) + " /system/bin/sh"));
        EXPECT_EQ(r.out, toString(pattern(70000, 1)));
    }

    const std::string src = dir / "tree";
    makeSourceTree(src);
    // Sparse and oversized files of the shared tree make a larger image than
    // this test needs; devices, FIFOs and sockets are not added from disk, and
    // debugfs rdump restores neither set-user nor sticky bits.
    std::filesystem::remove_all(src + "/blocks");
    for (const char* path : {"special/fifo", "special/sock", "special/null", "special/sda1",
                             "special/bigdev", "hard/fifo", "other/fifo2", "docs/setuid"})
        std::filesystem::remove(src + "/" + path);
    std::filesystem::permissions(src + "/perm/sticky", std::filesystem::perms::sticky_bit,
                                 std::filesystem::perm_options::remove);
    const std::string packed = dir / "packed.ext3";
    CommandResult r = run(cli("pack " + shellQuote(src) + " " + shellQuote(packed) + " --to ext3"));
    ASSERT_EQ(r.status, 0) << r.err;
    expectFsckClean(packed);
    TempDir x;
    CommandResult dump =
        run("debugfs -R " + shellQuote("rdump / " + x.path().string()) + " " + shellQuote(packed));
    ASSERT_EQ(dump.status, 0) << dump.err;
    std::filesystem::remove_all(x / "lost+found");
    EXPECT_EQ(diskTree(x.path().string()), diskTree(src));

    r = run("LANGUAGE=zh_CN " +
            cli("pack " + shellQuote(src) + " " + shellQuote(dir / "nope/x.img") + " --to ext2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("无法创建IMG文件！,可能其它程序正在使用。"), std::string::npos) << r.err;

    // What convert and pack refuse: an option of another format, sizes and
    // UUIDs that are none. (Without --to, convert keeps the source's own
    // format.)
    const struct {
        std::string args;
        int status;
        const char* says;
    } refused[] = {
        {"convert " + shellQuote(yaffs) + " x --to yaffs2 --block-size 4096", 1,
         "--block-size is not an option of YAFFS2 images"},
        {"pack " + shellQuote(src) + " x --to ext4 --size 12Q", 1, "--size takes a size"},
        {"pack " + shellQuote(src) + " x --to ext4 --uuid 1234", 1, "--uuid takes a UUID"},
        {"pack " + shellQuote(src) + " x --to ext4 --block-size 3000", 2, "--block-size"},
    };
    for (const auto& c : refused) {
        r = run(cli(c.args));
        EXPECT_EQ(r.status, c.status) << c.args;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

} // namespace
