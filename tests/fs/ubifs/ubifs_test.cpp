// UBIFS: images mkfs.ubifs made from a folder read back as that folder (every
// compressor, plain and inside UBI), SELinux labels, the journal's replay,
// and damaged images that must stay bounded.
#include "../ext/ext_testutil.h"
#include "fs/ubifs/tubifs.h"
#include "fs/ubifs/ubifs_format.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "support/ubi_builders.h"
#include "support/yaffs2_builder.h"
#include "transfer/image_chain.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/stat.h>

namespace korvane {
namespace {

using namespace test;
namespace fs = std::filesystem;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

class UbifsPeer : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveMtdUtils())
            GTEST_SKIP() << "needs mkfs.ubifs and ubinize (mtd-utils)";
    }
    TempDir dir;
};

std::unique_ptr<Tubifs> openUbifs(Bytes bytes) {
    auto img = std::make_unique<Tubifs>();
    img->Init(ImageData::fromBytes(std::move(bytes)));
    img->Open();
    return img;
}

std::string contents(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        return "<missing>";
    Bytes b(img.contentSize(n->entry));
    img.ReadRange(n->entry, 0, MutableByteSpan(b));
    return toString(b);
}

// Reads everything a damaged image lists; nothing may escape but Error.
void readAll(Timg& img) {
    Bytes buf(3000);
    forEachPreorder(img.root(), [&](Node* n) {
        try {
            forEachData(img, n->entry, MutableByteSpan(buf),
                        [](uint64_t, ByteSpan) { return true; });
        } catch (const Error&) {
        }
    });
}

TEST_F(UbifsPeer, ImagesOfEveryCompressorHoldTheirFolder) {
    const std::string src = dir / "src";
    makeSourceTree(src);
    const std::string want = statTree(src, true);
    for (const char* compr : {"lzo", "zlib", "zstd", "none", "favor_lzo"}) {
        SCOPED_TRACE(compr);
        UbifsParams p;
        p.compr = compr;
        p.maxLebs = 600;
        const std::string image = dir / (std::string(compr) + ".ubifs");
        makeUbifs(src, image, p);
        const std::string out = dir / (std::string("x-") + compr);
        const CommandResult r = run(cli("extract " + shellQuote(image) + " -C " + shellQuote(out)));
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(statTree(out, true), want);
    }
    // The same filesystem as a volume of a UBI image, which grows it.
    const std::string ubi = dir / "ubi.img";
    ubinize({{"rootfs", dir / "lzo.ubifs", 0, true, "96MiB", true}}, ubi);
    const std::string out = dir / "x-ubi";
    const CommandResult r =
        run(cli("extract " + shellQuote(ubi) + " --part rootfs -C " + shellQuote(out)));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(statTree(out, true), want);
}

TEST_F(UbifsPeer, ConvertsToExt4ThatE2fsckAccepts) {
    const std::string src = dir / "src";
    makeSourceTree(src);
    const std::string image = dir / "fs.ubifs";
    UbifsParams p;
    p.maxLebs = 600;
    makeUbifs(src, image, p);
    const std::string ext4 = dir / "fs.ext4";
    CommandResult r =
        run(cli("convert " + shellQuote(image) + " " + shellQuote(ext4) + " --to ext4"));
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    r = run("e2fsck -fn " + shellQuote(ext4));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    r = run(cli("extract " + shellQuote(ext4) + " -C " + shellQuote(dir / "x")));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(statTree(dir / "x", true), statTree(src, true));
}

TEST_F(UbifsPeer, SelinuxLabelsBecomeAttributes) {
    const std::string src = dir / "src";
    fs::create_directories(src + "/etc");
    writeFile(src + "/etc/init.rc", "service x\n");
    fs::create_symlink("init.rc", src + "/etc/link");
    writeFile(dir / "file_contexts", "/.*  u:object_r:system_file:s0\n");
    UbifsParams p;
    p.selinux = dir / "file_contexts";
    auto img = openUbifs(makeUbifs(src, dir / "fs.ubifs", p));
    for (const char* path : {"/etc", "/etc/init.rc", "/etc/link"}) {
        const Node* n = findPath(img->root(), path);
        ASSERT_NE(n, nullptr) << path;
        ASSERT_EQ(n->entry.xattrs.size(), 1u) << path;
        EXPECT_EQ(n->entry.xattrs[0].name, "security.selinux");
        EXPECT_EQ(n->entry.xattrs[0].value.substr(0, 25), "u:object_r:system_file:s0") << path;
    }
    const CommandResult r = run(cli("getfattr " + shellQuote(dir / "fs.ubifs") + " /etc/init.rc"));
    EXPECT_NE(r.out.find("security.selinux=\"u:object_r:system_file:s0"), std::string::npos)
        << r.out;
}

// mkfs.ubifs commits everything; a bud appended by the builder stands for
// what a running kernel writes after its last commit. What the reader must
// make of it follows the kernel's replay: nodes in sequence order, a deleted
// inode's keys gone, a truncation dropping whole blocks past the new size.
TEST_F(UbifsPeer, JournalChangesAreReplayed) {
    using namespace ubifs;
    const std::string src = dir / "src";
    fs::create_directories(src + "/d");
    writeFile(src + "/a.txt", "hello");
    writeFile(src + "/gone.txt", "bye");
    writeFile(src + "/trunc.bin", pattern(3 * kBlockSize, 4));
    writeFile(src + "/d/inner", "in d");
    const Bytes base = makeUbifs(src, dir / "base.ubifs");
    auto before = openUbifs(base);
    auto inum = [&](const char* path) {
        return before->inodeNumber(findPath(before->root(), path)->entry);
    };

    UbifsJournal j(base);
    const uint32_t fresh = j.highestInum() + 1, attr = fresh + 1;
    j.data(fresh, 0, asBytes("fresh data"));
    j.inode(fresh, kModeFile | 0640, 10, 1, 1700000000);
    j.dent(kRootIno, "new.txt", fresh, kItypeReg);
    j.inode(attr, kModeFile | 0644, 2, 1, 1700000000, "v1", kInodeXattr);
    j.dent(fresh, "user.k", attr, kItypeReg, true);
    j.data(inum("/a.txt"), 0, asBytes("HELLO, again"));
    j.inode(inum("/a.txt"), kModeFile | 0600, 12, 1, 1700000001);
    j.dent(kRootIno, "gone.txt", 0, kItypeReg);
    j.inode(inum("/gone.txt"), kModeFile | 0644, 3, 0, 1700000002);
    j.inode(inum("/trunc.bin"), kModeFile | 0644, 5000, 1, 1700000003);
    j.truncate(inum("/trunc.bin"), 3 * kBlockSize, 5000);
    j.data(inum("/trunc.bin"), 1, ByteSpan(pattern(3 * kBlockSize, 4)).subspan(kBlockSize, 904));
    j.dent(kRootIno, "e", inum("/d"), kItypeDir);
    j.dent(kRootIno, "d", 0, kItypeDir);
    const Bytes journaled = j.finish();
    writeFile(dir / "j.ubifs", journaled);
    ubinize({{"data", dir / "j.ubifs", 3, true, "16MiB", false}}, dir / "j.ubi");

    for (const std::string& path : {dir / "j.ubifs", dir / "j.ubi"}) {
        SCOPED_TRACE(path);
        OpenOptions opt;
        if (path.ends_with(".ubi"))
            opt.members = {"data"};
        ImageChain chain = ImageChain::open(path, nullptr, opt);
        Timg& img = chain.top();
        auto* u = dynamic_cast<Tubifs*>(&img);
        ASSERT_NE(u, nullptr);
        EXPECT_EQ(u->readInfo().replay.buds, 1u);
        EXPECT_EQ(contents(img, "/new.txt"), "fresh data");
        const Node* n = findPath(img.root(), "/new.txt");
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->entry.mode, kModeFile | 0640u);
        EXPECT_EQ(n->entry.mtimeNs, 123456789u);
        ASSERT_EQ(n->entry.xattrs.size(), 1u);
        EXPECT_EQ(n->entry.xattrs[0], (Xattr{"user.k", "v1"}));
        EXPECT_EQ(contents(img, "/a.txt"), "HELLO, again");
        EXPECT_EQ(findPath(img.root(), "/gone.txt"), nullptr);
        const std::string cut = contents(img, "/trunc.bin");
        EXPECT_EQ(cut, toString(ByteSpan(pattern(3 * kBlockSize, 4)).first(5000)));
        EXPECT_EQ(findPath(img.root(), "/d"), nullptr);
        EXPECT_EQ(contents(img, "/e/inner"), "in d");
        EXPECT_TRUE(img.warnings().empty()) << img.warnings().front();
    }
}

// The index and the journal must not lead the reader astray however the
// bytes are damaged: it opens what it can, or refuses with a message.
TEST_F(UbifsPeer, DamagedImagesStayBounded) {
    const std::string src = dir / "src";
    fs::create_directories(src + "/a/b");
    for (int i = 0; i < 40; ++i)
        writeFile(src + "/a/f" + std::to_string(i), pattern(static_cast<size_t>(i) * 1500, i));
    writeFile(src + "/a/b/big", pattern(200000, 9));
    UbifsParams p;
    p.minIo = 512;
    p.lebSize = 15360;
    const Bytes image = makeUbifs(src, dir / "fs.ubifs", p);
    std::mt19937 rng(11);
    int opened = 0;
    for (int round = 0; round < 300; ++round) {
        Bytes bad = image;
        if (round % 3 == 0) {
            bad.resize(rng() % bad.size());
        } else {
            for (int k = 0; k < 1 + round % 7; ++k)
                bad[rng() % bad.size()] ^= static_cast<std::byte>(1u << (rng() % 8));
        }
        try {
            auto img = openUbifs(std::move(bad));
            readAll(*img);
            ++opened;
        } catch (const Error&) {
        }
    }
    EXPECT_GT(opened, 100);
}

} // namespace
} // namespace korvane
