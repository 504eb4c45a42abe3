// Writing JFFS2 images: every image is read back node by node next to what
// mkfs.jffs2 makes of the same folder with the same choices, checked by
// jffs2dump, and read back by Korvane's reader; the writer's options, saves
// like the source, and what it refuses.
#include "fs/jffs2/jffs2_format_row.h"
#include "fs/jffs2/tjffs2obj.h"
#include "jffs2_testutil.h"
#include "model/error.h"
#include "model/tree.h"
#include "support/jffs2_builder.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::jffs2;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

// jffs2dump's check of every node's checksums: its complaints, if any.
std::string dumpComplaints(const std::string& image, bool big) {
    const CommandResult r =
        run("jffs2dump -c " + std::string(big ? "-b " : "") + shellQuote(image));
    std::string out;
    for (size_t at = 0; at < r.out.size();) {
        const size_t end = std::min(r.out.find('\n', at), r.out.size());
        const std::string line = r.out.substr(at, end - at);
        if (line.find("Wrong") != std::string::npos || line.find("rror") != std::string::npos)
            out += line + "\n";
        at = end + 1;
    }
    return out + (r.status == 0 ? "" : r.err);
}

struct WriteCase {
    const char* name;
    const char* mkfs;
    const char* korvane;
    bool big;
    uint32_t eraseBlock;
    bool xattrs;
};

const WriteCase kWriteCases[] = {
    {"defaults", "", "", false, 64u << 10, false},
    {"big-endian, 16 KiB, no cleanmarkers", "-b -e 16384 -n",
     "--byte-order be --erase-block 16K --no-cleanmarkers", true, 16u << 10, false},
    {"LZO", "-X lzo -x zlib -x rtime", "--compress lzo", false, 64u << 10, false},
    {"stored, 4 KiB erase blocks", "-x zlib -x rtime -e 4096", "--compress none --erase-block 4K",
     false, 4u << 10, false},
    {"extended attributes", "--with-xattr", "", false, 64u << 10, true},
};

} // namespace

// What Korvane writes from a folder holds, node for node, what mkfs.jffs2
// writes from it with the same choices: per inode the same metadata in every
// node, the same bytes at every offset, the same names, links, devices and
// attributes. jffs2dump finds every checksum right, and the reader gives the
// folder back.
TEST(Jffs2Write, AgreesNodeForNodeWithMkfs) {
    if (!haveProgram("mkfs.jffs2") || !haveProgram("jffs2dump"))
        GTEST_SKIP() << "mkfs.jffs2 and jffs2dump (mtd-utils) are not installed";
    for (const WriteCase& c : kWriteCases) {
        for (uint32_t seed : {3u, 4u}) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            TempDir tmp;
            const std::string src = tmp / "src";
            makeJffs2Source(src, seed, {c.xattrs, true});
            const std::string theirs = tmp / "mkfs.img", ours = tmp / "korvane.img";
            mkfsJffs2(src, theirs, c.mkfs);
            const CommandResult r = run(cli("pack " + shellQuote(src) + " " + shellQuote(ours) +
                                            " --to jffs2 " + c.korvane));
            ASSERT_EQ(r.status, 0) << r.err;
            // mkfs.jffs2 gives every inode its modification time as access
            // and change time; Korvane keeps the folder's.
            EXPECT_EQ(jffs2NodeText(readFile(ours), false), jffs2NodeText(readFile(theirs), false));
            EXPECT_EQ(dumpComplaints(ours, c.big), "");
            // The same tree as mkfs.jffs2 saw it (its image read back),
            // written again, agrees in every time too.
            const std::string again = tmp / "again.img";
            const CommandResult cr = run(cli("convert " + shellQuote(theirs) + " " +
                                             shellQuote(again) + " --to jffs2 " + c.korvane));
            ASSERT_EQ(cr.status, 0) << cr.err;
            EXPECT_EQ(jffs2NodeText(readFile(again)), jffs2NodeText(readFile(theirs)));
            std::unique_ptr<Timg> img = loadimage(ours);
            auto* j = dynamic_cast<Tjffs2obj*>(img.get());
            ASSERT_NE(j, nullptr);
            EXPECT_EQ(img->warnings(), std::vector<std::string>{});
            EXPECT_EQ(j->geometry().eraseBlock, c.eraseBlock) << j->geometry().eraseBlockFrom;
            EXPECT_EQ(extractedTree(*img, tmp / "out"), statTree(src, true));
        }
    }
}

// The image is the same byte for byte however many threads compress.
TEST(Jffs2Write, SameBytesWithAnyNumberOfThreads) {
    TempDir tmp;
    makeJffs2Source(tmp / "src", 5, {false, false});
    ASSERT_EQ(run(cli("pack " + shellQuote(tmp / "src") + " " + shellQuote(tmp / "a.img") +
                      " --to jffs2 --erase-block 8K"))
                  .status,
              0);
    std::unique_ptr<Timg> img = loadimage(tmp / "a.img");
    std::vector<Bytes> made;
    for (unsigned workers : {1u, 3u}) {
        Jffs2SaveParams p;
        p.eraseBlock = 8u << 10;
        p.workers = workers;
        JobReporter rep(nullptr, kFlagSave);
        ASSERT_TRUE(writeJffs2(*img, tmp / "b.img", p, rep));
        made.push_back(readFile(tmp / "b.img"));
    }
    EXPECT_EQ(made[0], made[1]);
    EXPECT_EQ(made[0], readFile(tmp / "a.img")) << "a tree read back is written as it was";
}

// --pad fills the image with erased flash, a cleanmarker starting each
// erase block, up to the size (or the end of the last erase block); a tree
// that does not fit is refused and nothing is written. Saving like the
// source keeps the source's layout, compression and length.
TEST(Jffs2Write, PaddingAndSavingLikeTheSource) {
    if (!haveProgram("mkfs.jffs2"))
        GTEST_SKIP() << "mkfs.jffs2 (mtd-utils) is not installed";
    TempDir tmp;
    makeJffs2Source(tmp / "src", 6, {false, false});
    const std::string src = shellQuote(tmp / "src");
    ASSERT_EQ(run(cli("pack " + src + " " + shellQuote(tmp / "p.img") +
                      " --to jffs2 --erase-block 32K --pad 2M"))
                  .status,
              0);
    const Bytes padded = readFile(tmp / "p.img");
    ASSERT_EQ(padded.size(), 2u << 20);
    const Endian e;
    EXPECT_EQ(e.u16(padded.data() + (2u << 20) - (32u << 10)), kMagic);
    EXPECT_EQ(padded[(2u << 20) - 1], std::byte{0xFF});

    ASSERT_EQ(run(cli("pack " + src + " " + shellQuote(tmp / "b.img") +
                      " --to jffs2 --erase-block 32K --pad block"))
                  .status,
              0);
    EXPECT_EQ(readFile(tmp / "b.img").size() % (32u << 10), 0u);

    const CommandResult small =
        run(cli("pack " + src + " " + shellQuote(tmp / "s.img") + " --to jffs2 --pad 64K"));
    EXPECT_NE(small.status, 0);
    EXPECT_NE(small.err.find("more than the 65536 given with --pad"), std::string::npos)
        << small.err;
    EXPECT_FALSE(std::filesystem::exists(tmp / "s.img"));

    mkfsJffs2(tmp / "src", tmp / "m.img", "-b -e 16384 -n -X lzo -x zlib -x rtime --pad=1048576");
    ASSERT_EQ(
        run(cli("convert " + shellQuote(tmp / "m.img") + " " + shellQuote(tmp / "c.img"))).status,
        0);
    std::unique_ptr<Timg> img = loadimage(tmp / "c.img");
    const Tjffs2obj::Geometry& g = dynamic_cast<Tjffs2obj&>(*img).geometry();
    EXPECT_EQ(g.order, ByteOrder::kBig);
    EXPECT_EQ(g.eraseBlock, 16u << 10);
    EXPECT_FALSE(g.cleanmarkers);
    EXPECT_EQ(g.compr, kComprLzo);
    EXPECT_EQ(img->size(), 1u << 20);
    EXPECT_EQ(jffs2NodeText(readFile(tmp / "c.img")), jffs2NodeText(readFile(tmp / "m.img")));

    ASSERT_EQ(run(cli("convert " + shellQuote(tmp / "m.img") + " " + shellQuote(tmp / "z.img") +
                      " --compress zlib --out-byte-order le"))
                  .status,
              0);
    img = loadimage(tmp / "z.img");
    EXPECT_EQ(dynamic_cast<Tjffs2obj&>(*img).geometry().compr, kComprZlib);
    EXPECT_EQ(dynamic_cast<Tjffs2obj&>(*img).geometry().order, ByteOrder::kLittle);
}

// What JFFS2 cannot hold is refused before a byte is written, naming the
// object; times out of its range are moved into it with a warning.
TEST(Jffs2Write, RefusesWhatJffs2CannotHold) {
    struct Case {
        const char* what;
        void (*make)(Timg& img);
        const char* message;
    };
    const Case cases[] = {
        {"a name of 255 bytes",
         [](Timg& img) { addFile(img, img.root(), std::string(255, 'n'), bytesOf("x")); },
         "JFFS2 names are 1 to 254 bytes"},
        {"a link target of 255 bytes",
         [](Timg& img) { addSymlink(img, img.root(), "l", std::string(255, 't')); },
         "link target too long (over 254 bytes) for JFFS2: /l"},
        {"an owner above 65535",
         [](Timg& img) { addFile(img, img.root(), "f", bytesOf("x"))->entry.uid = 70000; },
         "JFFS2 keeps owners of at most 65535; /f has 70000:0"},
        {"an attribute JFFS2 has no prefix for",
         [](Timg& img) {
             addFile(img, img.root(), "f", bytesOf("x"))->entry.xattrs = {{"system.foo", "1"}};
         },
         "JFFS2 cannot hold the extended attribute system.foo of /f"},
        {"a device number past 4095:1048575",
         [](Timg& img) {
             addSpecial(img, img.root(), "dev", kTypeSpecial, 020600, DevNum{5000, 1});
         },
         "JFFS2 keeps device numbers of at most 4095:1048575; /dev has 5000:1"},
    };
    TempDir tmp;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<Timg> img = newimage();
        c.make(*img);
        SaveRequest req{tmp / "x.img", "jffs2", {}, false, false};
        try {
            saveas(*img, req);
            ADD_FAILURE() << "saved";
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(tmp / "x.img"));
    }

    std::unique_ptr<Timg> img = newimage();
    Node* f = addFile(*img, img->root(), "old", bytesOf("x"));
    f->entry.mtime = -5;
    std::vector<Message> warnings;
    ASSERT_TRUE(saveas(*img, {tmp / "t.img", "jffs2", {}, false, false}, &warnings));
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0].english(),
              "JFFS2 keeps times from 1970 to 2106 only: the times of /old were moved into that "
              "range");
    std::unique_ptr<Timg> back = loadimage(tmp / "t.img");
    ASSERT_NE(findPath(back->root(), "old"), nullptr);
    EXPECT_EQ(findPath(back->root(), "old")->entry.mtime, 0);
}
