// Reading JFFS2 images: what mkfs.jffs2 (and sumtool) make, in every layout
// they offer, against the folder they were made from; and images of used
// partitions built node by node, read as the kernel reads them.
#include "fs/jffs2/compr.h"
#include "fs/jffs2/tjffs2obj.h"
#include "jffs2_testutil.h"
#include "model/error.h"
#include "model/tree.h"
#include "source/image_data.h"
#include "support/jffs2_builder.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <gtest/gtest.h>
#include <stdexcept>

using namespace korvane;
using namespace korvane::jffs2;
using namespace korvane::test;

namespace {

std::unique_ptr<Tjffs2obj> openBytes(const Bytes& bytes) {
    auto img = std::make_unique<Tjffs2obj>();
    img->Init(ImageData::fromBytes(bytes));
    img->Open();
    return img;
}

std::string contents(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        return "(missing)";
    std::string out(img.contentSize(n->entry), '\0');
    img.ReadRange(n->entry, 0,
                  MutableByteSpan(reinterpret_cast<std::byte*>(out.data()), out.size()));
    return out;
}

// The entry at path; a test that asks for a missing one fails.
const TImgEntry& at(Timg& img, const std::string& path) {
    Node* n = findPath(img.root(), path);
    if (!n)
        throw std::runtime_error(path + " is missing");
    return n->entry;
}

std::string names(Timg& img) {
    std::string out;
    forEachPreorder(img.root(), [&](Node* n) {
        if (n != img.root())
            out += "/" + pathFromRoot(n) + (n->entry.objType == kTypeHardlink ? "=" : "") + " ";
    });
    return out;
}

struct MkfsCase {
    const char* name;
    const char* options;
    bool summaries;
    ByteOrder order;
    uint32_t eraseBlock;
    bool cleanmarkers;
    uint8_t compr;
    bool xattrs;
};

const MkfsCase kMkfsCases[] = {
    {"defaults", "", false, ByteOrder::kLittle, 64u << 10, true, kComprZlib, false},
    {"big-endian, 16 KiB, no cleanmarkers", "-b -e 16384 -n", false, ByteOrder::kBig, 16u << 10,
     false, kComprZlib, false},
    {"rtime", "-x zlib -e 32768", false, ByteOrder::kLittle, 32u << 10, true, kComprRtime, false},
    {"LZO, 128 KiB, padded", "-X lzo -x zlib -x rtime -e 131072 -p", false, ByteOrder::kLittle,
     128u << 10, true, kComprLzo, false},
    {"stored, padded to 2 MiB", "-x zlib -x rtime --pad=2097152", false, ByteOrder::kLittle,
     64u << 10, true, kComprNone, false},
    {"summaries", "-e 32768", true, ByteOrder::kLittle, 32u << 10, true, kComprZlib, false},
    {"extended attributes, big-endian", "--with-xattr -b", false, ByteOrder::kBig, 64u << 10, true,
     kComprZlib, true},
};

} // namespace

// Every layout mkfs.jffs2 makes reads back as the folder it was made from,
// and the reader finds the layout (byte order, erase block, cleanmarkers,
// compression) without being told.
TEST(Jffs2Read, ReadsWhatMkfsMakesInEveryLayout) {
    if (!haveProgram("mkfs.jffs2") || !haveProgram("sumtool"))
        GTEST_SKIP() << "mkfs.jffs2 and sumtool (mtd-utils) are not installed";
    for (const MkfsCase& c : kMkfsCases) {
        for (uint32_t seed : {1u, 2u}) {
            SCOPED_TRACE(std::string(c.name) + ", seed " + std::to_string(seed));
            TempDir tmp;
            const std::string src = tmp / "src";
            makeJffs2Source(src, seed, {c.xattrs, true});
            const std::string image = tmp / "img";
            mkfsJffs2(src, image, c.options);
            if (c.summaries) {
                ASSERT_EQ(run("sumtool -i " + shellQuote(image) + " -o " + shellQuote(image) +
                              ".sum -e " + std::to_string(c.eraseBlock))
                              .status,
                          0);
            }
            std::unique_ptr<Timg> img = loadimage(c.summaries ? image + ".sum" : image);
            auto* j = dynamic_cast<Tjffs2obj*>(img.get());
            ASSERT_NE(j, nullptr);
            EXPECT_EQ(img->warnings(), std::vector<std::string>{});
            EXPECT_EQ(j->geometry().order, c.order);
            EXPECT_EQ(j->geometry().eraseBlock, c.eraseBlock) << j->geometry().eraseBlockFrom;
            EXPECT_EQ(j->geometry().cleanmarkers, c.cleanmarkers);
            EXPECT_EQ(j->geometry().compr, c.compr);
            EXPECT_EQ(j->geometry().summaries, c.summaries);
            EXPECT_EQ(extractedTree(*img, tmp / "out"), statTree(src, true));
            if (c.xattrs && haveProgram("getfacl")) {
                const CommandResult a = run("getfacl -n " + shellQuote(src + "/etc/file5.txt"));
                const CommandResult b = run("getfacl -n " + shellQuote(tmp / "out/etc/file5.txt"));
                EXPECT_EQ(a.out.substr(a.out.find('\n')), b.out.substr(b.out.find('\n')));
            }
        }
    }
}

// A used partition, node by node: the newest version of each byte and of
// each name counts, removed names are gone, obsolete and damaged nodes do not
// count, the newest node's size cuts what lies past it, holes read as zeros
// and are known as holes.
TEST(Jffs2Read, NewestVersionsNamesAndHoles) {
    Jffs2Builder b;
    b.cleanmarker();
    const Bytes old = bytesOf(std::string(10000, 'o'));
    b.dirent(1, 1, 2, "f");
    b.data(2, 1, 0, ByteSpan(old).first(4096), 10000);
    b.data(2, 2, 4096, ByteSpan(old).subspan(4096, 4096), 10000);
    b.data(2, 3, 8192, ByteSpan(old).subspan(8192), 10000);
    // Bytes 100..199 rewritten, then the file cut to 9000 bytes.
    b.data(2, 4, 100, bytesOf(std::string(100, 'n')), 10000);
    b.data(2, 5, 0, {}, 9000);
    // A newer node that was obsoleted in place, and one whose data is damaged.
    b.data(2, 6, 0, bytesOf("OBSOLETE"), 9000);
    b.obsoleteLast();
    b.data(2, 7, 0, bytesOf("DAMAGED!"), 9000);
    b.damageLast(inode::kSize + 2);
    // A file with a hole from 4096 to 12288 written as a hole node over data.
    b.dirent(1, 2, 3, "sparse");
    b.data(3, 1, 0, bytesOf(std::string(16384, 's')), 16384);
    InodeNode hole;
    hole.ino = 3;
    hole.version = 2;
    hole.mode = 0100644;
    hole.isize = 16384;
    hole.offset = 4096;
    hole.dsize = 8192;
    hole.compr = kComprZero;
    b.inode(hole);
    // A name removed, one renamed into a folder, one written twice.
    b.dirent(1, 3, 4, "gone");
    b.data(4, 1, 0, bytesOf("x"), 1);
    b.dirent(1, 4, 0, "gone");
    b.dirent(1, 5, 5, "d", kDtDir);
    b.dir(5, 1);
    b.dirent(1, 6, 6, "old-name");
    b.data(6, 1, 0, bytesOf("moved"), 5);
    b.dirent(5, 1, 6, "new-name");
    b.dirent(1, 7, 0, "old-name");
    b.dirent(1, 8, 7, "twice");
    b.data(7, 1, 0, bytesOf("first"), 5);
    b.dirent(1, 9, 8, "twice");
    b.data(8, 1, 0, bytesOf("second"), 6);

    std::unique_ptr<Tjffs2obj> img = openBytes(b.bytes());
    EXPECT_EQ(names(*img), "/d /d/new-name /f /sparse /twice ");
    std::string f = std::string(100, 'o') + std::string(100, 'n') + std::string(8800, 'o');
    EXPECT_EQ(contents(*img, "f"), f);
    EXPECT_EQ(contents(*img, "sparse"),
              std::string(4096, 's') + std::string(8192, '\0') + std::string(4096, 's'));
    const TImgEntry& sparse = at(*img, "sparse");
    EXPECT_EQ(img->nextData(sparse, 0).end, 4096u);
    EXPECT_EQ(img->nextData(sparse, 4096).begin, 12288u);
    EXPECT_EQ(contents(*img, "d/new-name"), "moved");
    EXPECT_EQ(contents(*img, "twice"), "second");
    EXPECT_EQ(img->scanInfo().obsolete, 1u);
    EXPECT_EQ(img->scanInfo().badNodes, 1u);
    ASSERT_EQ(img->warnings().size(), 1u);
    EXPECT_NE(img->warnings()[0].find("1 nodes fail their checksums"), std::string::npos);
    // Inodes 4 and 7 lost their names.
    EXPECT_EQ(img->scanInfo().unnamed, 2u);
}

// Folders take the time of their newest entry when it is newer than their
// own node (mkfs.jffs2 images get their folders' times that way); the root
// without a node of its own is a folder of mode 0755; hard links and
// symbolic links, devices and attributes come from their nodes.
TEST(Jffs2Read, FoldersLinksDevicesAndAttributes) {
    for (ByteOrder order : {ByteOrder::kLittle, ByteOrder::kBig}) {
        Jffs2Builder b(order);
        b.dirent(1, 1, 2, "d", kDtDir);
        b.dir(2, 1, 040700, 1000);
        b.dirent(2, 5, 3, "f", kDtReg, 5000);
        b.data(3, 1, 0, bytesOf("data"), 4);
        b.dirent(1, 2, 3, "hard");
        b.dirent(1, 3, 4, "tty", kDtChr);
        InodeNode dev;
        dev.ino = 4;
        dev.version = 1;
        dev.mode = 020620;
        dev.uid = 7;
        dev.gid = 8;
        std::byte num[4];
        dev.dsize = encodeDevice({4, 1}, num, b.endian());
        b.inode(dev, ByteSpan(num, dev.dsize));
        b.dirent(1, 4, 5, "big", kDtBlk);
        dev.ino = 5;
        dev.mode = 060600;
        dev.dsize = encodeDevice({300, 70000}, num, b.endian());
        b.inode(dev, ByteSpan(num, dev.dsize));
        b.xattr(1, 1, kXPrefixUser, "comment", "old");
        b.xattr(1, 2, kXPrefixUser, "comment", "new");
        b.xattr(2, 1, kXPrefixSecurity, "selinux", "u:r:x:s0");
        b.xattr(3, 1, kXPrefixTrusted, "gone", "1");
        b.xref(3, 1, 2);
        b.xref(3, 2, 4);
        b.xref(3, 3, 6);
        b.xref(3, 3, 7); // removed

        std::unique_ptr<Tjffs2obj> img = openBytes(b.bytes());
        const TImgEntry& root = img->root()->entry;
        EXPECT_EQ(root.mode, 040755u);
        EXPECT_EQ(root.mtime, 0);
        const TImgEntry& d = at(*img, "d");
        EXPECT_EQ(d.mode, 040700u);
        EXPECT_EQ(d.mtime, 5000) << "the entry (version 5) is newer than the folder's node";
        EXPECT_EQ(d.atime, 1000);
        // The name met first holds the file, the other is a hard link to it.
        const TImgEntry& f = at(*img, "hard");
        EXPECT_EQ(f.objType, kTypeFile);
        EXPECT_EQ(f.xattrs,
                  (std::vector<Xattr>{{"user.comment", "new"}, {"security.selinux", "u:r:x:s0"}}));
        const TImgEntry& link = at(*img, "d/f");
        EXPECT_EQ(link.objType, kTypeHardlink);
        EXPECT_EQ(link.linkInfo, f.objId);
        const TImgEntry& tty = at(*img, "tty");
        EXPECT_EQ(tty.objType, kTypeSpecial);
        EXPECT_EQ(tty.rdev, (DevNum{4, 1}));
        EXPECT_EQ(tty.uid, 7u);
        EXPECT_EQ(at(*img, "big").rdev, (DevNum{300, 70000}));
        EXPECT_EQ(img->warnings(), std::vector<std::string>{});
    }
}

// Damage and claims: an image cut anywhere, bits flipped anywhere, folders
// that name each other, a node that claims 4 GiB of data. The reader keeps
// what it can, says what it skipped, reads every object within bounds and
// never loops.
TEST(Jffs2Read, HostileImagesStayBounded) {
    const Bytes whole = Jffs2Builder::small().bytes();
    for (size_t cut = 0; cut < whole.size(); cut += 7) {
        Bytes part(whole.begin(), whole.begin() + static_cast<ptrdiff_t>(cut));
        try {
            std::unique_ptr<Tjffs2obj> img = openBytes(part);
            forEachPreorder(img->root(), [&](Node* n) { contents(*img, pathFromRoot(n)); });
        } catch (const Error&) {
        }
    }
    for (size_t at = 0; at < whole.size(); at += 3) {
        Bytes bad = whole;
        bad[at] ^= std::byte{0x41};
        std::unique_ptr<Tjffs2obj> img = openBytes(bad);
        forEachPreorder(img->root(), [&](Node* n) { contents(*img, pathFromRoot(n)); });
    }

    Jffs2Builder b;
    b.dirent(1, 1, 2, "a", kDtDir);
    b.dir(2, 1);
    b.dirent(2, 1, 3, "b", kDtDir);
    b.dir(3, 1);
    b.dirent(3, 1, 2, "back-to-a", kDtDir);
    b.dirent(3, 2, 1, "root", kDtDir);
    b.dirent(1, 2, 9, "huge");
    InodeNode n;
    n.ino = 9;
    n.version = 1;
    n.mode = 0100644;
    n.isize = 0xFFFFFFFF;
    n.offset = 0xFFFFF000;
    n.dsize = 0xFFFFFFF0; // a compressed node that claims 4 GiB of data
    n.compr = kComprZlib;
    b.inode(n, bytesOf("not zlib"));
    b.data(9, 2, 4096, bytesOf("real"), 0xFFFFFFFF);
    std::unique_ptr<Tjffs2obj> img = openBytes(b.bytes());
    EXPECT_EQ(names(*img), "/a /a/b /huge ");
    const TImgEntry& huge = at(*img, "huge");
    EXPECT_EQ(huge.size, 0xFFFFFFFFu);
    EXPECT_EQ(img->nextData(huge, 0).begin, 4096u);
    EXPECT_EQ(img->nextData(huge, 0).end, 4100u);
    EXPECT_EQ(img->nextData(huge, 4100).begin, huge.size);
    EXPECT_EQ(img->scanInfo().badNodes, 1u);
    ASSERT_EQ(img->warnings().size(), 2u);
    EXPECT_NE(img->warnings()[1].find("2 further names of folders were left out"),
              std::string::npos)
        << img->warnings()[1];
    EXPECT_NE(img->warnings()[1].find("/a/b/back-to-a, /a/b/root"), std::string::npos);
}

// rtime has no library: its decoder is checked against data the scheme
// encodes by hand, overlapping runs included.
TEST(Jffs2Read, RtimeDecodesRunsThatOverlapWhatTheyWrite) {
    // "abababab" + "c": a, b, then a repeats from after the first a for 6
    // bytes (copying what it writes), then c.
    const Bytes in = {std::byte{'a'}, std::byte{0}, std::byte{'b'}, std::byte{0},
                      std::byte{'a'}, std::byte{5}, std::byte{'c'}, std::byte{0}};
    Bytes out(9);
    ASSERT_EQ(rtimeDecompress(in, out), Decompressed::kOk);
    EXPECT_EQ(toString(out), "abababab"
                             "c");
    Bytes shortOut(3);
    EXPECT_EQ(rtimeDecompress(in, shortOut), Decompressed::kDamaged) << "a run past the end";
    Bytes longOut(20);
    EXPECT_EQ(rtimeDecompress(in, longOut), Decompressed::kDamaged) << "input runs out";
}
