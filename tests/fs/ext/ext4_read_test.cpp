// ext4 images as mke2fs makes them, and the same images as Android sparse
// images, must read back as their source folder, extended attributes and
// nanoseconds included; dirty journals read as the kernel would see them after
// recovery; damage opens with a warning that names it.
#include "ext_testutil.h"
#include "fs/ext/ext2_format.h"
#include "model/crc.h"
#include "model/error.h"
#include "support/yaffs2_builder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string allWarnings(const Timg& img) {
    std::string s;
    for (const std::string& w : img.warnings())
        s += w + "\n";
    return s;
}

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

class Ext4Source : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        source = new TempDir;
        makeSourceTree(srcDir());
        addExt4Extras(srcDir());
    }
    static void TearDownTestSuite() { delete source; }
    static std::string srcDir() { return (source->path() / "src").string(); }
    // Makes the image and takes the source's snapshot just before (the tools
    // move the access times of what they read).
    std::string make(const std::string& options, const std::string& image) {
        snap = snapshot(srcDir());
        mustRun("mke2fs -q -F -t ext4 " + options + " -d " + shellQuote(srcDir()) + " " +
                shellQuote(image) + " 96M");
        return image;
    }
    static TempDir* source;
    Snapshot snap;
};

TempDir* Ext4Source::source = nullptr;

TEST_F(Ext4Source, ReadBackPlainAndSparse) {
    struct Kind {
        const char* name;
        const char* options;
        uint32_t blockSize;
        const char* feature; // one the image must report
    };
    const Kind kinds[] = {
        {"4 KiB", "-b 4096", 4096, "metadata_csum"},
        {"1 KiB", "-b 1024", 1024, "64bit"},
        {"inline data", "-b 4096 -O inline_data", 4096, "inline_data"},
        {"no 64bit, no checksums", "-b 4096 -O ^64bit,^metadata_csum", 4096, "extent"},
    };
    for (const Kind& k : kinds) {
        TempDir t;
        const std::string image = make(k.options, t / "plain.img");
        mustRun("img2simg " + shellQuote(image) + " " + shellQuote(t / "android.simg"));
        for (const std::string& path : {image, t / "android.simg"}) {
            SCOPED_TRACE(std::string(k.name) + " " + path);
            auto img = openAny(path);
            EXPECT_EQ(img->formatName(), "EXT4");
            EXPECT_EQ(img->blockSize(), k.blockSize);
            EXPECT_TRUE(img->warnings().empty()) << allWarnings(*img);
            EXPECT_EQ(img->readInfo().skipped, 0u);
            expectSameTree(*img, snap, srcDir());
            std::string features;
            for (const auto& [label, value] : img->describe())
                features += label == "features" ? value : "";
            EXPECT_NE(features.find(k.feature), std::string::npos) << features;
        }
    }
}

// Our own sparse images: fill chunks and CRC32 chunks (img2simg writes
// neither), a damaged raw chunk and a file cut short.
TEST_F(Ext4Source, SparseChunksChecksumsAndDamage) {
    TempDir t;
    const Bytes plain = readFile(make("-b 4096", t / "plain.img"));
    const Bytes sparse = makeSparse(plain, 4096, true);
    ASSERT_LT(sparse.size(), plain.size() / 2);
    writeFile(t / "s.simg", sparse);
    mustRun("simg2img " + shellQuote(t / "s.simg") + " " + shellQuote(t / "back.img"));
    ASSERT_TRUE(readFile(t / "back.img") == plain) << "the test's sparse image is not sound";

    struct Case {
        const char* what;
        size_t cutTo;  // 0: keep the size
        size_t flipAt; // 0: change nothing
        const char* warning;
    };
    const Case cases[] = {
        {"sound", 0, 0, nullptr},
        {"bad CRC", 0, sparse.size() / 2, "does not match"},
        {"truncated", sparse.size() * 3 / 4, 0, "cut short"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = sparse;
        if (c.flipAt)
            b[c.flipAt] ^= std::byte{0x5A};
        if (c.cutTo)
            b.resize(c.cutTo);
        writeFile(t / "case.simg", b);
        auto img = openAny(t / "case.simg");
        if (!c.warning) {
            EXPECT_TRUE(img->warnings().empty()) << allWarnings(*img);
            expectSameTree(*img, snap, srcDir());
        } else {
            EXPECT_NE(allWarnings(*img).find(c.warning), std::string::npos) << allWarnings(*img);
        }
        // Whatever is damaged, everything reads without a fault.
        Bytes buf(1 << 16);
        forEachPreorder(img->root(), [&](Node* n) {
            forEachData(*img, n->entry, MutableByteSpan(buf),
                        [](uint64_t, ByteSpan) { return true; });
        });
    }
}

// Dirty journals written with debugfs read as e2fsck leaves the image after
// recovering it, checksum versions and revoked blocks included.
TEST(Ext4Journal, ReplayedAsRecoveryLeavesIt) {
    struct Case {
        const char* what;
        const char* mkfs;
        const char* open; // debugfs journal_open options
        bool revoke;      // a second transaction revokes the first's block
        const char* replayed;
    };
    const Case cases[] = {
        {"ext4, checksum v3", "-t ext4", "-c", false, "1 transactions replayed"},
        {"ext4, checksum v2", "-t ext4", "-c -v 2", false, "1 transactions replayed"},
        {"ext4, revoked", "-t ext4", "-c", true, "2 transactions replayed"},
        {"ext3, no checksums", "-t ext3", "", false, "1 transactions replayed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir t;
        const std::string src = t / "src";
        std::filesystem::create_directories(src + "/d");
        writeFile(src + "/d/file", pattern(20000, 7));
        writeFile(src + "/other", pattern(9000, 8));
        const std::string image = t / "j.img";
        mustRun(std::string("mke2fs -q -F -b 1024 ") + c.mkfs + " -d " + shellQuote(src) + " " +
                shellQuote(image) + " 8M");
        const std::string first = run("debugfs -R 'bmap /d/file 0' " + shellQuote(image)).out;
        const std::string second = run("debugfs -R 'bmap /other 1' " + shellQuote(image)).out;
        writeFile(t / "blocks", pattern(2048, 99));
        std::string cmds = std::string("jo ") + c.open + "\njw -b " +
                           first.substr(0, first.find('\n')) + "," +
                           second.substr(0, second.find('\n')) + " " + (t / "blocks") + "\n";
        if (c.revoke)
            cmds += "jc\njo\njw -r " + second.substr(0, second.find('\n')) + "\n";
        cmds += "jc\n";
        writeFile(t / "cmds", cmds);
        mustRun("debugfs -w -f " + shellQuote(t / "cmds") + " " + shellQuote(image) +
                " >/dev/null");

        auto img = openAny(image);
        EXPECT_TRUE(img->warnings().empty()) << allWarnings(*img);
        std::string journal;
        for (const auto& [label, value] : img->describe())
            journal += label == "journal" ? value : "";
        EXPECT_NE(journal.find(c.replayed), std::string::npos) << journal;

        mustRun("cp " + shellQuote(image) + " " + shellQuote(t / "fixed.img") + " && e2fsck -fy " +
                shellQuote(t / "fixed.img") + " >/dev/null 2>&1; true");
        for (const char* path : {"/d/file", "/other"}) {
            const std::string want =
                run("debugfs -R 'cat " + std::string(path) + "' " + shellQuote(t / "fixed.img"))
                    .out;
            const std::string got = run(cli("cat " + shellQuote(image) + " " + path)).out;
            EXPECT_EQ(got, want) << path;
        }
        EXPECT_EQ(readFile(image), readFile(image)) << "never written";
    }
}

// Fast commits after the last transaction of a journal that needs recovery
// are not replayed: the image opens with a warning that says so.
TEST(Ext4Journal, PendingFastCommitsAreNamed) {
    TempDir t;
    std::filesystem::create_directories(t / "src");
    writeFile(t / "src/file", pattern(3000, 5));
    const std::string image = t / "fc.img";
    mustRun("mke2fs -q -F -t ext4 -O fast_commit -b 1024 -d " + shellQuote(t / "src") + " " +
            shellQuote(image) + " 8M");
    const std::string data = run("debugfs -R 'bmap /file 0' " + shellQuote(image)).out;
    writeFile(t / "block", pattern(1024, 6));
    writeFile(t / "cmds",
              "jo\njw -b " + data.substr(0, data.find('\n')) + " " + (t / "block") + "\njc\n");
    mustRun("debugfs -w -f " + shellQuote(t / "cmds") + " " + shellQuote(image) + " >/dev/null");
    auto physical = [&](uint64_t journalBlock) {
        const std::string out =
            run("debugfs -R 'bmap <8> " + std::to_string(journalBlock) + "' " + shellQuote(image))
                .out;
        return std::stoull(out) * 1024;
    };
    // The kernel marks the journal as holding fast commits on its first use:
    // the feature, 16 blocks after the log, a head for the next transaction.
    Bytes bytes = readFile(image);
    std::byte* jsb = bytes.data() + physical(0);
    store32be(jsb + 40, load32be(jsb + 40) | 0x20);
    store32be(jsb + 84, 16);
    if (load32be(jsb + 40) & 0x18) {
        static const std::byte zeros[4]{};
        uint32_t crc = crc32c(~0u, ByteSpan(jsb, 252));
        crc = crc32c(crc, ByteSpan(zeros, 4));
        store32be(jsb + 252, crc32c(crc, ByteSpan(jsb + 256, 1024 - 256)));
    }
    const uint32_t next = load32be(jsb + 24) + 1;
    std::byte* head = bytes.data() + physical(load32be(jsb + 16) - 16 + 1);
    store16(head, 9);
    store16(head + 2, 8);
    store32(head + 4, 0);
    store32(head + 8, next);
    writeFile(image, bytes);

    auto img = openAny(image);
    EXPECT_NE(allWarnings(*img).find("fast commits"), std::string::npos) << allWarnings(*img);
}

// Times as the kernel decodes them: signed 32-bit seconds, and where the
// inode has room, two epoch bits and nanoseconds in the extra word (mke2fs -d
// writes neither, so debugfs sets the raw fields).
TEST(Ext4Times, SignedSecondsEpochBitsAndNanoseconds) {
    struct Case {
        int inodeSize;
        uint32_t low, extra;
        int64_t seconds;
        uint32_t ns;
    };
    const Case cases[] = {
        {256, 0x9502F900, 999999999u << 2 | 1, 2500000000, 999999999}, // 2049
        {256, 0xFD05C980, 5 << 2, -49952384, 5},                       // 1968
        {256, 0x80000000, 1, 2147483648, 0},                           // 2038, past int32
        {256, 0xFFFFFFFF, 0, -1, 0},
        {128, 0xFD05C980, 0, -49952384, 0}, // no room for the extra word
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        TempDir t;
        std::filesystem::create_directories(t / "src");
        writeFile(t / "src/f", "x");
        const std::string image = t / "t.img";
        mustRun("mke2fs -q -F -t ext4 -I " + std::to_string(c.inodeSize) + " -d " +
                shellQuote(t / "src") + " " + shellQuote(image) + " 4M");
        std::string sif = "debugfs -w -R 'sif /f mtime_lo " + std::to_string(c.low) + "' ";
        if (c.inodeSize > 128)
            sif += shellQuote(image) + " && debugfs -w -R 'sif /f mtime_extra " +
                   std::to_string(c.extra) + "' ";
        mustRun(sif + shellQuote(image) + " >/dev/null 2>&1");
        auto img = openExt(image);
        const TImgEntry& e = findPath(img->root(), "f")->entry;
        EXPECT_EQ(e.mtime, c.seconds);
        EXPECT_EQ(e.mtimeNs, c.ns);
    }
}

// An inode whose mode names no type is listed as unknown; "system.data" is
// hidden only where it holds the rest of an inline file; what an inode claims
// beyond what the image holds (inline bytes, extents outside the filesystem)
// is a hole, not data.
TEST(Ext4Objects, UnknownTypesSystemDataAndHoles) {
    TempDir t;
    std::filesystem::create_directories(t / "src");
    writeFile(t / "src/small", pattern(100, 1));
    writeFile(t / "src/plain", pattern(5000, 2));
    writeFile(t / "src/far", pattern(20000, 3));
    writeFile(t / "src/odd", "x");
    const std::string image = t / "t.img";
    mustRun("mke2fs -q -F -t ext4 -b 1024 -O inline_data -I 256 -d " + shellQuote(t / "src") + " " +
            shellQuote(image) + " 4M");
    for (const char* cmd : {"ea_set /plain system.data hello", "sif /odd mode 0170644",
                            "sif /small size 1073741824", "sif /far size 45097156608"})
        mustRun(std::string("debugfs -w -R '") + cmd + "' " + shellQuote(image) +
                " >/dev/null 2>&1");
    // The extent of /far (the first in its inode's i_block) starts far past
    // the filesystem's 4096 blocks.
    const std::string imap =
        run("debugfs -R 'imap /far' " + shellQuote(image) + " 2>/dev/null").out;
    const size_t at = imap.find("located at block ");
    ASSERT_NE(at, std::string::npos) << imap;
    const uint64_t block = std::stoull(imap.substr(at + 17));
    const uint64_t offset = std::stoull(imap.substr(imap.find("offset 0x") + 9), nullptr, 16);
    Bytes bytes = readFile(image);
    store32(bytes.data() + block * 1024 + offset + 40 + 12 + 8, 0x70000000);
    writeFile(image, bytes);

    auto img = openExt(image);
    const TImgEntry& small = findPath(img->root(), "small")->entry;
    EXPECT_TRUE(small.xattrs.empty());
    EXPECT_EQ(findPath(img->root(), "plain")->entry.xattrs, (XattrList{{"system.data", "hello"}}));
    EXPECT_EQ(findPath(img->root(), "odd")->entry.objType, kTypeUnknown);
    const ContentRange inlineData = img->nextData(small, 0);
    EXPECT_EQ(inlineData.begin, 0u);
    EXPECT_EQ(inlineData.end, 100u);
    EXPECT_EQ(img->nextData(small, 100).begin, small.size);
    const TImgEntry& far = findPath(img->root(), "far")->entry;
    EXPECT_EQ(img->nextData(far, 0).begin, far.size);
}

// A damaged extent tree, inode or folder block opens with a warning naming
// the object; what cannot be read reads as zeros.
TEST(Ext4Damage, WarnsAndReadsAround) {
    TempDir t;
    const std::string src = t / "src";
    std::filesystem::create_directories(src);
    addExt4Extras(src);
    const std::string image = t / "d.img";
    mustRun("mke2fs -q -F -t ext4 -b 1024 -d " + shellQuote(src) + " " + shellQuote(image) +
            " 24M");
    const Bytes clean = readFile(image);
    auto ref = openExt(clean);
    ASSERT_TRUE(ref->warnings().empty()) << allWarnings(*ref);
    const TImgEntry depth2 = findPath(ref->root(), "ext4/depth2")->entry;
    const TImgEntry folder = findPath(ref->root(), "ext4")->entry;
    // The first index block below the root of depth2's tree.
    ext2::Inode depth2Inode, folderInode;
    ASSERT_TRUE(ref->loadInodeAt(depth2.objId, depth2Inode));
    ASSERT_TRUE(ref->loadInodeAt(folder.objId, folderInode));
    const uint64_t index = depth2Inode.blocks[3 + 1] | uint64_t{depth2Inode.blocks[3 + 2] & 0xFFFF}
                                                           << 32;
    auto inodeAt = [&](uint32_t ino) {
        const auto& s = ref->superblock();
        const size_t gd = (s.blockSize == 1024 ? 2 : 1) * s.blockSize +
                          ((ino - 1) / s.inodesPerGroup) * s.descSize;
        const uint64_t table = load32(clean.data() + gd + ext2::gd::kInodeTable);
        return table * s.blockSize + ((ino - 1) % s.inodesPerGroup) * s.inodeSize;
    };
    struct Case {
        const char* what;
        size_t at;
        const char* warning;
    };
    const Case cases[] = {
        {"extent block magic", index * 1024, "no extent header magic"},
        {"extent block entry", index * 1024 + 40, "fails its checksum"},
        {"inode", inodeAt(depth2.objId) + 0x20 + 2, "fails its checksum"},
        {"folder block", uint64_t{folderInode.blocks[5]} * 1024 + 1021, "fails its checksum"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes b = clean;
        b[c.at] ^= std::byte{0x21};
        auto img = openExt(b);
        EXPECT_NE(allWarnings(*img).find(c.warning), std::string::npos) << allWarnings(*img);
        EXPECT_NE(findPath(img->root(), "ext4/labelled"), nullptr);
        Bytes buf;
        TImgEntry e;
        EXPECT_NO_THROW(img->ReadContent(depth2.objId, e, buf));
    }
}

TEST_F(Ext4Source, CliLabelsJsonAndGetfattr) {
    TempDir t;
    const std::string image = make("-b 4096", t / "c.img");
    CommandResult r = run(cli("ls -lZ " + shellQuote(image) + " /ext4"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" u:object_r:system_file:s0 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" ? "), std::string::npos) << "objects without a label";

    r = run(cli("ls --json " + shellQuote(image) + " /ext4/labelled"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j[0]["xattrs"]["user.comment"], "aGVsbG8=");
    EXPECT_EQ(j[0]["xattrs"].size(), snap.at("ext4/labelled").xattrs.size());
    r = run(cli("ls --json " + shellQuote(image) + " /docs/empty"));
    EXPECT_FALSE(nlohmann::json::parse(r.out)[0].contains("xattrs"));

    for (const char* path : {"ext4/labelled", "ext4", "ext4/big_value"}) {
        r = run(cli("getfattr " + shellQuote(image) + " /" + path));
        ASSERT_EQ(r.status, 0) << r.err;
        CommandResult want =
            run("cd " + shellQuote(srcDir()) + " && getfattr -d -m - " + shellQuote(path));
        auto lines = [](const std::string& s) {
            std::multiset<std::string> out;
            std::istringstream in(s);
            for (std::string l; std::getline(in, l);)
                out.insert(l);
            return out;
        };
        EXPECT_EQ(lines(r.out), lines(want.out)) << r.out << "\nvs\n" << want.out;
    }
    r = run(cli("info " + shellQuote(image)));
    EXPECT_NE(r.out.find("format:            EXT4\n"), std::string::npos) << r.out;
    mustRun("img2simg " + shellQuote(image) + " " + shellQuote(t / "c.simg"));
    r = run(cli("info " + shellQuote(t / "c.simg")));
    EXPECT_NE(r.out.find("container:         Android sparse image"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("expanded size:     100663296\n"), std::string::npos) << r.out;
}

} // namespace
