// The core of scripted edits and rootless image building: operations on
// paths, mode and owner texts, device tables, and trees through tar archives
// and back.
#include "model/error.h"
#include "model/tree.h"
#include "support/testutil.h"
#include "support/tree_nodes.h"
#include "support/yaffs2_builder.h"
#include "transfer/addfiles.h"
#include "transfer/devtable.h"
#include "transfer/edit.h"
#include "transfer/loadimage.h"
#include "transfer/pax_header.h"
#include "transfer/tar_export.h"
#include "transfer/tar_import.h"

#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <sys/xattr.h>

using namespace korvane;
using namespace korvane::test;

namespace {

// /etc{hosts}, /bin{sh, bash = hard link to sh}, /lnk -> bin/sh
std::unique_ptr<Tyaffs2obj> base() {
    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "etc");
    b.file(259, 258, "hosts", pattern(30, 1), 0100644);
    b.dir(260, 1, "bin");
    b.file(261, 260, "sh", pattern(40, 2), 0100755);
    b.hardlink(262, 260, "bash", 261);
    b.symlink(263, 1, "lnk", "bin/sh");
    return openYaffs2(b.bytes());
}

NewObject attrs(uint32_t perm) {
    NewObject a;
    a.perm = perm;
    a.uid = 5;
    a.gid = 6;
    a.time = {1000000000, 5};
    return a;
}

TEST(ScriptEdits, OperationsOnPaths) {
    auto img = base();
    makedir(*img, "/a/b/c", attrs(0700), true);
    makesymlink(*img, "/a", "/etc/hosts", attrs(0));
    makehardlink(*img, "a/b", "/bin/bash");
    makespecial(*img, "/a/tty", kModeCharDevice, {4, 64}, attrs(0620));
    makespecial(*img, "/a/fifo", kModeFifo, {}, attrs(0600));
    makefile(*img, "/a/./empty", attrs(0640));
    movepath(*img, "/etc/hosts", "/a/b/c");
    movepath(*img, "/lnk", "/a/x/../renamed");
    EXPECT_EQ(removepath(*img, "/bin/sh", false), 1u); // bash and a/b/bash keep the file
    changemodes(*img, "/a/b", "go-rwx", true);
    changeowner(*img, "/a/b/bash", "7:8", false);
    settimes(*img, "/a/b/c/hosts", Timestamp{-100, 1}, Timestamp{2000000000, 2});
    setxattr(*img, "/a/b/c/hosts", "user.a", "1");
    setxattr(*img, "/a/b/c/hosts", "security.selinux", std::string("u:r\0", 4));
    setxattr(*img, "/a/b/c/hosts", "user.a", "2");
    setxattr(*img, "/a/b/c/hosts", "user.gone", "x");
    removexattr(*img, "/a/b/c/hosts", "user.gone");
    EXPECT_TRUE(img->modified);
    EXPECT_EQ(treeText(*img), "/a 040755 5:6 m1000000000.000000005 dev0:0\n"
                              "/a/b 040700 5:6 m1000000000.000000005 dev0:0\n"
                              "/a/b/bash 100700 7:8 m2000.000000000 dev0:0 s40 h" +
                                  std::to_string(contentHash(pattern(40, 2))) +
                                  " names /a/b/bash\n"
                                  "/a/b/c 040700 5:6 m1000000000.000000005 dev0:0\n"
                                  "/a/b/c/hosts 100600 0:0 m2000000000.000000002 dev0:0 s30 h" +
                                  std::to_string(contentHash(pattern(30, 1))) +
                                  " security.selinux=" + std::string("u:r\0", 4) +
                                  " user.a=2\n"
                                  "/a/empty 100640 5:6 m1000000000.000000005 dev0:0 s0 h" +
                                  std::to_string(contentHash({})) +
                                  "\n"
                                  "/a/fifo 010600 5:6 m1000000000.000000005 dev0:0\n"
                                  "/a/hosts 120777 5:6 m1000000000.000000005 dev0:0 -> /etc/hosts\n"
                                  "/a/renamed 120777 0:0 m2000.000000000 dev0:0 -> bin/sh\n"
                                  "/a/tty 020620 5:6 m1000000000.000000005 dev4:64\n"
                                  "/bin 040755 0:0 m2000.000000000 dev0:0\n"
                                  "/bin/bash 100700 7:8 m2000.000000000 dev0:0 s40 h" +
                                  std::to_string(contentHash(pattern(40, 2))) +
                                  " names /a/b/bash\n"
                                  "/etc 040755 0:0 m2000.000000000 dev0:0\n");
    // mkdir -p of what exists is no error; the folder is handed back.
    EXPECT_EQ(makedir(*img, "/a/b", attrs(0), true), lookupPath(*img, "/a/b"));
}

// One run, with its folder indexes and one sort at the end, leaves the tree
// that the same operations one by one leave: the same objects, links and
// order of every folder. A folder of 40 (indexed) holds two objects of one
// name, as a damaged image may.
TEST(ScriptEdits, OneRunEqualsOperationsOneByOne) {
    auto make = [] {
        Yaffs2Builder b;
        b.root();
        b.dir(258, 1, "many");
        for (uint32_t i = 0; i < 40; ++i)
            b.file(259 + i, 258, "f" + std::to_string(i) + (i % 3 ? ".so" : ""), pattern(5, i));
        b.file(300, 258, "dup", pattern(5, 1));
        b.file(301, 258, "dup", pattern(6, 2));
        b.hardlink(302, 1, "link7", 266);
        b.hardlink(303, 258, "link7b", 266);
        return openYaffs2(b.bytes());
    };
    auto ops = [](auto&& mkdirp, auto&& mknod, auto&& mv, auto&& rm, auto&& ln) {
        for (int i = 0; i < 30; ++i)
            mknod("/many/n" + std::to_string(29 - i));
        mkdirp("/many/sub/deep");
        mv("/many/f4.so", "/many/sub/renamed");
        mv("/many/n5", "/many/a-first");
        rm("/many/dup"); // the first; the other answers to the name now
        mv("/many/dup", "/many/dup2");
        ln("/many/f10.so", "/many/sub/hard");
        rm("/many/f7.so"); // the first of its links in tree order takes it over
        rm("/many/f10.so");
        for (int i = 0; i < 20; ++i)
            mknod("/many/sub/m" + std::to_string(i));
        rm("/many/sub/m3");
    };
    auto one = make();
    {
        PathEdits ed(*one);
        ops([&](const std::string& p) { ed.makedir(p, attrs(0755), true); },
            [&](const std::string& p) { ed.makespecial(p, kModeFifo, {}, attrs(0600)); },
            [&](const std::string& a, const std::string& b) { ed.movepath(a, b); },
            [&](const std::string& p) { ed.removepath(p, true); },
            [&](const std::string& a, const std::string& b) { ed.makehardlink(b, a); });
    }
    auto each = make();
    Timg& img = *each;
    ops([&](const std::string& p) { makedir(img, p, attrs(0755), true); },
        [&](const std::string& p) { makespecial(img, p, kModeFifo, {}, attrs(0600)); },
        [&](const std::string& a, const std::string& b) { movepath(img, a, b); },
        [&](const std::string& p) { removepath(img, p, true); },
        [&](const std::string& a, const std::string& b) { makehardlink(img, b, a); });
    auto order = [](Timg& t) {
        std::string out;
        forEachPreorder(t.root(), [&](Node* n) {
            out += pathFromRoot(n) + " #" + std::to_string(n->entry.objId) + "\n";
        });
        return out;
    };
    EXPECT_EQ(order(*one), order(*each));
    EXPECT_EQ(treeText(*one), treeText(*each));
    EXPECT_NE(order(*one).find("many/link7b #266"), std::string::npos) << order(*one);
    EXPECT_NE(order(*one).find("many/dup2 #301"), std::string::npos) << order(*one);
}

TEST(ScriptEdits, RefusalsNameThePathAndChangeNothing) {
    const struct {
        const char* what;
        std::function<void(Timg&)> op;
    } cases[] = {
        {"/etc exists", [](Timg& i) { makedir(i, "/etc", attrs(0755), false); }},
        {"no such folder in the image: /x", [](Timg& i) { makedir(i, "/x/y", attrs(0), false); }},
        {"/etc/hosts is not a folder", [](Timg& i) { makedir(i, "/etc/hosts/x", attrs(0), true); }},
        {"/etc/hosts exists", [](Timg& i) { makefile(i, "etc/hosts", attrs(0)); }},
        {"needs a target: /s", [](Timg& i) { makesymlink(i, "/s", "", attrs(0)); }},
        {"/etc is a folder", [](Timg& i) { makehardlink(i, "/h", "/etc"); }},
        {"no such file or folder in the image: /no", [](Timg& i) { makehardlink(i, "/h", "/no"); }},
        {"4096:0 is too large",
         [](Timg& i) {
             makespecial(i, "/d", kModeCharDevice, {4096, 0}, attrs(0));
         }},
        {"/etc cannot be moved into itself", [](Timg& i) { movepath(i, "/etc", "/etc/new"); }},
        {"root folder cannot be moved", [](Timg& i) { movepath(i, "/", "/x"); }},
        {"/bin/sh exists", [](Timg& i) { movepath(i, "/etc/hosts", "/bin/sh"); }},
        {"/etc is a folder", [](Timg& i) { removepath(i, "/etc", false); }},
        {"root folder cannot be removed", [](Timg& i) { removepath(i, "/", true); }},
        {"not a mode: u+q", [](Timg& i) { changemodes(i, "/etc", "u+q", true); }},
        {"not an owner (UID, UID:GID or :GID): a:b",
         [](Timg& i) { changeowner(i, "/etc", "a:b", false); }},
        {"/etc has no extended attribute user.none",
         [](Timg& i) { removexattr(i, "/etc", "user.none"); }},
        {"extended attribute name", [](Timg& i) { setxattr(i, "/etc", "noprefix", "v"); }},
        {"/../x leads out of the image", [](Timg& i) { lookupPath(i, "/../x"); }},
        {"cannot be used as a name", [](Timg& i) { makefile(i, "/" + std::string(256, 'n'), {}); }},
    };
    auto img = base();
    const std::string before = treeText(*img);
    for (const auto& c : cases) {
        try {
            c.op(*img);
            ADD_FAILURE() << "no error for: " << c.what;
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find(c.what), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(treeText(*img), before);
    EXPECT_FALSE(img->modified);
}

TEST(ScriptEdits, ModeAndOwnerTexts) {
    const struct {
        const char* text;
        uint32_t perm;
        bool dir;
        int expected; // -1: refused
    } modes[] = {
        {"755", 0, false, 0755},     {"0", 0777, false, 0},           {"4755", 0, false, 04755},
        {"u+x", 0644, false, 0744},  {"go-w", 0666, false, 0644},     {"a=rX", 0700, true, 0555},
        {"a=rX", 0600, false, 0444}, {"u+s,g+s", 0755, false, 06755}, {"+t", 0755, true, 01755},
        {"g=u", 0750, false, 0770},  {"o=", 0777, false, 0770},       {"u-s", 04755, false, 0755},
        {"8", 0, false, -1},         {"12345", 0, false, -1},         {"u", 0, false, -1},
        {"u+q", 0, false, -1},       {"u+x,", 0, false, -1},          {"", 0, false, -1},
    };
    for (const auto& m : modes) {
        std::optional<uint32_t> got = applyModeText(m.text, m.perm, m.dir);
        EXPECT_EQ(got ? static_cast<int>(*got) : -1, m.expected) << m.text;
    }
    const struct {
        const char* text;
        int64_t uid, gid; // -1: not given; uid -2: refused
    } owners[] = {
        {"0", 0, -1},
        {"100000:70000", 100000, 70000},
        {":5", -1, 5},
        {"7:", 7, -1},
        {"4294967294", 4294967294, -1},
        {"4294967295", -2, 0},
        {"root", -2, 0},
        {":", -2, 0},
        {"1:2:3", -2, 0},
        {"-1", -2, 0},
    };
    for (const auto& o : owners) {
        std::optional<OwnerIds> got = parseOwner(o.text);
        ASSERT_EQ(got.has_value(), o.uid != -2) << o.text;
        if (!got)
            continue;
        EXPECT_EQ(got->uid ? int64_t{*got->uid} : -1, o.uid) << o.text;
        EXPECT_EQ(got->gid ? int64_t{*got->gid} : -1, o.gid) << o.text;
    }
}

TEST(DeviceTable, RangesExistingPathsAndBadLines) {
    const std::string table = "# name type mode uid gid major minor start inc count\n"
                              "\n"
                              "/dev d 755 0 0 - - - - -\n"
                              "/dev/ttyS c 660 0 20 4 64 0 1 3\n"
                              "/dev/hda b 640 0 6 3 1 1 1 2\n"
                              "/dev/null c 666 0 0 1 3\n"
                              "/dev/pipe p 600 0 0\n"
                              "/etc d 700 1 1 - - - - -\n"
                              "/etc/hosts f 600 1000 1000 - - - - -\n"
                              "/bin/bash f 4750 0 0\n";
    auto img = base();
    applyDevTable(*img, parseDevTable(table, "t"), "t", 1234);
    const std::string got = treeText(*img);
    for (const char* line : {"/dev 040755 0:0 m1234.000000000 dev0:0\n",
                             "/dev/ttyS0 020660 0:20 m1234.000000000 dev4:64\n",
                             "/dev/ttyS2 020660 0:20 m1234.000000000 dev4:66\n",
                             "/dev/hda1 060640 0:6 m1234.000000000 dev3:1\n",
                             "/dev/hda2 060640 0:6 m1234.000000000 dev3:2\n",
                             "/dev/null 020666 0:0 m1234.000000000 dev1:3\n",
                             "/dev/pipe 010600 0:0 m1234.000000000 dev0:0\n",
                             "/etc 040700 1:1 m2000.000000000 dev0:0\n",
                             "/etc/hosts 100600 1000:1000", "/bin/sh 104750 0:0"})
        EXPECT_NE(got.find(line), std::string::npos) << line << "\nin\n" << got;
    EXPECT_EQ(got.find("/dev/ttyS3"), std::string::npos);
    EXPECT_EQ(got.find("/dev/hda3"), std::string::npos);

    try {
        parseDevTable("/ok d 755 0 0\n"
                      "/short d 755\n"
                      "/x q 644 0 0\n"
                      "# fine\n"
                      "/y c 9999 0 0 1 1\n"
                      "/z c 644 0 0 1 x\n"
                      "/big c 644 0 0 4095 1048575 0 1 2\n"
                      "/many c 644 0 0 1 1 0 1 70000\n"
                      "/../up d 755 0 0\n",
                      "table.txt");
        ADD_FAILURE() << "bad lines accepted";
    } catch (const Error& e) {
        const std::string m = e.what();
        for (int line : {2, 3, 5, 6, 7, 8, 9})
            EXPECT_NE(m.find("table.txt:" + std::to_string(line) + ":"), std::string::npos)
                << line << ": " << m;
        EXPECT_EQ(m.find("table.txt:1:"), std::string::npos) << m;
        EXPECT_EQ(m.find("table.txt:4:"), std::string::npos) << m;
    }
    // A line that cannot be applied names its number.
    auto fresh = base();
    EXPECT_THROW(
        try {
            applyDevTable(*fresh, parseDevTable("/dev d 755 0 0\n/etc/nothing f 644 0 0\n", "t"),
                          "t", 0);
        } catch (const Error& e) {
            EXPECT_NE(std::string(e.what()).find("t:2: /etc/nothing does not exist"),
                      std::string::npos)
                << e.what();
            throw;
        },
        Error);
    // So does a path of another kind.
    EXPECT_THROW(applyDevTable(*fresh, parseDevTable("/etc c 644 0 0 1 1\n", "t"), "t", 0), Error);
}

// A tree with every kind of object, names tar keeps in extended headers, a
// file with holes and a hard link met before its file.
std::unique_ptr<Timg> everything() {
    auto img = newimage();
    Node* root = img->root();
    Node* a = addNode(*img, root, "a", kTypeDirectory, 0750);
    Node* z = addNode(*img, root, "z", kTypeDirectory, 0755);
    Node* file = addFile(*img, z, "file", pattern(5000, 9), 04755);
    file->entry.uid = 100000;
    file->entry.gid = 70000;
    file->entry.mtime = -50000000;
    file->entry.mtimeNs = 123456789;
    file->entry.xattrs = {{"user.bin", std::string("\0\1\2", 3)}, {"security.selinux", "u:x"}};
    addHardlink(*img, a, "link", file);
    addSymlink(*img, a, "sym", "../z/file");
    addSpecial(*img, a, "tty", kTypeSpecial, kModeCharDevice | 0620, {4, 64});
    addSpecial(*img, a, "sda", kTypeBlockDevice, kModeBlockDevice | 0660, {259, 70000});
    addSpecial(*img, a, "fifo", kTypeOther, kModeFifo | 0600);
    addFile(*img, a, "\xe4\xb8\xad\xe6\x96\x87-" + std::string(120, 'n'), pattern(10, 4));
    addFile(*img, a, "latin\xe9", pattern(11, 5));
    // 8 MiB with data at both ends only.
    Node* sparse = addFile(*img, z, "sparse", {});
    WorkFile& wf = img->workfile();
    const int64_t start = wf.appendStart();
    wf.writeAt(start, asBytes(std::string("head")));
    wf.writeAt(start + (8 << 20), asBytes(std::string("tail")));
    wf.appendEnd(start, (8 << 20) + 4);
    sparse->entry.dataPos = start;
    sparse->entry.size = (8 << 20) + 4;
    return img;
}

TEST(Tar, OutAndBackInKeepsEveryObject) {
    auto img = everything();
    addSpecial(*img, img->root(), "sock", kTypeOther, kModeSocket | 0600);
    TempDir dir;
    const std::string archive = dir / "out.tar";
    TarResult r = tarout(*img, {img->root()->entry.objId}, archive);
    ASSERT_EQ(r.skipped.size(), 1u);
    EXPECT_EQ(r.skipped[0].path, "./sock");
    EXPECT_LT(readFile(archive).size(), 1u << 20) << "the holes stay holes";

    // GNU tar reads it, knowing all but the charset record of the name that
    // is not UTF-8.
    CommandResult t = run("tar --numeric-owner -tvf " + shellQuote(archive));
    EXPECT_EQ(t.status, 0);
    EXPECT_EQ(std::regex_replace(t.err, std::regex(".*'hdrcharset'\n"), ""), "");
    EXPECT_NE(t.out.find("100000/70000"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("./z/file link to ./a/link"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find("259,70000"), std::string::npos) << t.out;

    auto back = newimage();
    TarImportResult in = tarin(*back, archive, back->root()->entry.objId);
    EXPECT_TRUE(in.refused.empty());
    EXPECT_TRUE(in.warnings.empty()) << in.warnings[0].english();
    deletenodes(*img, {findPath(img->root(), "sock")->entry.objId});
    EXPECT_EQ(treeText(*back), treeText(*img));

    // A folder writes under its own name; a file's other name outside the
    // selection carries the contents itself.
    r = tarout(*img, {findPath(img->root(), "a")->entry.objId}, archive);
    t = run("tar -tvf " + shellQuote(archive));
    EXPECT_NE(t.out.find(" 5000 "), std::string::npos) << t.out;
    EXPECT_EQ(t.out.find("link to"), std::string::npos) << t.out;
    EXPECT_NE(t.out.find(" a/tty"), std::string::npos) << t.out;
}

TEST(Tar, TimeTextsAreOneSignedDecimal) {
    const std::pair<PaxTime, const char*> cases[] = {
        {{-1, 500000000}, "-0.5"}, {{-2, 750000000}, "-1.25"},
        {{-1, 0}, "-1"},           {{0, 0}, "0"},
        {{1, 1}, "1.000000001"},   {{-7, 999999999}, "-6.000000001"},
    };
    for (const auto& [t, text] : cases) {
        EXPECT_EQ(paxTime(t), text);
        EXPECT_EQ(parsePaxTime(text), t) << text;
    }
    for (const char* bad : {"", "-", "1.x", "1e5", ".5"})
        EXPECT_FALSE(parsePaxTime(bad)) << bad;
}

// Times before 1970 with a fraction, an atime of 0, and a sparse file whose
// long name is not UTF-8, out to GNU tar and back in from it.
TEST(Tar, GnuTarReadsTimesAndSparseNamesAsWrittenAndWritesThemAsRead) {
    auto img = newimage();
    Node* neg = addFile(*img, img->root(), "neg", pattern(10, 1));
    neg->entry.mtime = -1;
    neg->entry.mtimeNs = 500000000; // -0.5 s
    neg->entry.atime = 0;
    neg->entry.atimeNs = 0;
    Node* older = addFile(*img, img->root(), "older", pattern(10, 2));
    older->entry.mtime = -2;
    older->entry.mtimeNs = 750000000; // -1.25 s
    older->entry.atime = older->entry.mtime;
    older->entry.atimeNs = older->entry.mtimeNs;
    const std::string folder(60, 'd'), name = "sp\xff" + std::string(130, 'e');
    Node* sparse =
        addFile(*img, addNode(*img, img->root(), folder, kTypeDirectory, 0755), name, {});
    WorkFile& wf = img->workfile();
    const int64_t start = wf.appendStart();
    wf.writeAt(start + (4 << 20), asBytes(std::string("mid")));
    wf.appendEnd(start, 8 << 20);
    sparse->entry.dataPos = start;
    sparse->entry.size = 8 << 20;

    TempDir dir;
    ASSERT_TRUE(tarout(*img, {img->root()->entry.objId}, dir / "out.tar").skipped.empty());
    // GNU tar gives files the archive's atime when it extracts incrementally.
    std::filesystem::create_directories(dir / "x");
    CommandResult r =
        run("tar -G -C " + shellQuote(dir / "x") + " -xf " + shellQuote(dir / "out.tar"));
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "x/neg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec, -500000000);
    EXPECT_EQ(st.st_atim.tv_sec * 1000000000 + st.st_atim.tv_nsec, 0);
    ASSERT_EQ(::stat((dir / "x/older").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec * 1000000000 + st.st_mtim.tv_nsec, -1250000000);
    const std::string extracted = dir / ("x/" + folder + "/" + name);
    ASSERT_EQ(::stat(extracted.c_str(), &st), 0) << "the whole name";
    EXPECT_EQ(st.st_size, 8 << 20);
    EXPECT_LT(st.st_blocks * 512, 1 << 20) << "a hole stays a hole";

    // And back: GNU tar's archive of what it extracted gives the same times.
    r = run("tar --format=pax -C " + shellQuote(dir / "x") + " -cf " + shellQuote(dir / "gnu.tar") +
            " neg older");
    ASSERT_EQ(r.status, 0) << r.err;
    auto back = newimage();
    ASSERT_TRUE(tarin(*back, dir / "gnu.tar", back->root()->entry.objId).refused.empty());
    const TImgEntry& n = findPath(back->root(), "neg")->entry;
    EXPECT_EQ(std::pair(n.mtime, n.mtimeNs), std::pair(int64_t{-1}, 500000000u));
    EXPECT_EQ(std::pair(n.atime, n.atimeNs), std::pair(int64_t{0}, 0u));
    const TImgEntry& o = findPath(back->root(), "older")->entry;
    EXPECT_EQ(std::pair(o.mtime, o.mtimeNs), std::pair(int64_t{-2}, 750000000u));
    // Compressed, the records are read from the decompressed bytes.
    ASSERT_EQ(run("gzip -k " + shellQuote(dir / "gnu.tar")).status, 0);
    auto gz = newimage();
    ASSERT_TRUE(tarin(*gz, dir / "gnu.tar.gz", gz->root()->entry.objId).refused.empty());
    EXPECT_EQ(findPath(gz->root(), "neg")->entry.mtime, -1);
    EXPECT_EQ(findPath(gz->root(), "neg")->entry.mtimeNs, 500000000u);
}

TEST(Tar, ImportRefusesUnsafeMembersAndReadsEveryCompression) {
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directories(src + "/sub");
    writeFile(src + "/f", "data");
    ASSERT_EQ(::link((src + "/f").c_str(), (src + "/g").c_str()), 0);
    const std::string cd = "cd " + shellQuote(src + "/sub") + " && ";
    const struct {
        const char* make; // run in src/sub, writes $A
        const char* refusal;
    } unsafe[] = {
        {"tar -cPf \"$A\" ../f", "../f: member names with \"..\" are refused"},
        {"tar -cPf \"$A\" \"$PWD/../f\"", "absolute member names are refused"},
        {"tar -cf \"$A\" -C .. f g && tar --delete -f \"$A\" f",
         "g: hard link to f, which is not in the archive before it"},
    };
    for (const auto& u : unsafe) {
        const std::string archive = dir / "unsafe.tar";
        std::filesystem::remove(archive);
        CommandResult m = run(cd + "A=" + shellQuote(archive) + " && " + u.make);
        ASSERT_EQ(m.status, 0) << u.make << m.err;
        auto img = newimage();
        TarImportResult r = tarin(*img, archive, img->root()->entry.objId);
        ASSERT_FALSE(r.refused.empty()) << u.make;
        EXPECT_NE(r.refused[0].english().find(u.refusal), std::string::npos)
            << r.refused[0].english();
    }

    // The same tree through every compression (and cpio, when it is there).
    std::string want;
    for (const char* flags : {"", "-z", "-J", "--zstd", "cpio"}) {
        const std::string archive = dir / "c.arc";
        std::string make =
            std::string(flags) == "cpio"
                ? "cd " + shellQuote(src) + " && find . | cpio -o -H newc >" + shellQuote(archive)
                : "tar " + std::string(flags) + " -cf " + shellQuote(archive) + " -C " +
                      shellQuote(src) + " .";
        if (std::string(flags) == "cpio" && !haveProgram("cpio"))
            continue;
        ASSERT_EQ(run(make).status, 0) << make;
        auto img = newimage();
        TarImportResult r = tarin(*img, archive, img->root()->entry.objId);
        EXPECT_TRUE(r.refused.empty()) << flags;
        const std::string got = treeText(*img);
        EXPECT_NE(got.find("/g 100644"), std::string::npos) << flags << got;
        EXPECT_NE(got.find("names /f"), std::string::npos) << flags << got;
        if (want.empty())
            want = got;
        EXPECT_EQ(got, want) << flags;
    }
    // A pax archive with extended attributes gives the tree that adding the
    // folder gives.
    ASSERT_EQ(::setxattr((src + "/f").c_str(), "user.k", "v\0w", 3, 0), 0);
    const std::string pax = dir / "x.tar";
    ASSERT_EQ(run("tar --format=pax --xattrs --xattrs-include='*' -cf " + shellQuote(pax) + " -C " +
                  shellQuote(src) + " .")
                  .status,
              0);
    auto fromTar = newimage(), fromDir = newimage();
    tarin(*fromTar, pax, fromTar->root()->entry.objId);
    AddOptions keep;
    keep.keepAttributes = true;
    addfiles(*fromDir, {src + "/f", src + "/g", src + "/sub"}, fromDir->root()->entry.objId, keep);
    EXPECT_NE(treeText(*fromDir).find("user.k=v"), std::string::npos);
    EXPECT_EQ(treeText(*fromTar), treeText(*fromDir));

    auto img = newimage();
    writeFile(dir / "junk", "this is not an archive");
    EXPECT_THROW(tarin(*img, dir / "junk", img->root()->entry.objId), Error);
}

} // namespace
