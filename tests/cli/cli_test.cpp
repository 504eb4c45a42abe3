#include "support/testutil.h"
#include "support/yaffs2_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        Yaffs2Builder b;
        b.root(040755, 0);
        b.dir(258, 1, "etc");
        yaffs2::ObjectHeader h = Yaffs2Builder::make(yaffs2::kHdrFile, 258, "hosts", 0104755);
        Bytes hosts = asBytesCopy("127.0.0.1 localhost\n");
        h.fileSize = static_cast<uint32_t>(hosts.size());
        h.uid = 1000;
        h.gid = 100;
        h.mtime = 1700000000;
        b.header(259, h);
        b.data(259, 1, hosts);
        b.symlink(260, 1, "link", "etc/hosts");
        b.hardlink(261, 258, "hosts2", 259);
        b.special(262, 1, "fifo", 010644, 0);
        b.file(263, 1, "big.bin", pattern(5000, 3));
        image = dir / "img.yaffs2";
        b.save(image);
    }
    static Bytes asBytesCopy(const std::string& s) {
        ByteSpan b = asBytes(s);
        return Bytes(b.begin(), b.end());
    }
    TempDir dir;
    std::string image;
};

TEST_F(CliTest, LongRecursiveListing) {
    CommandResult r = run(cli("ls -lR " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "drwxr-xr-x     0     0          0 1970-01-01T00:33:20Z /etc\n"
        "-rwsr-xr-x  1000   100         20 2023-11-14T22:13:20Z /etc/hosts\n"
        "-rwsr-xr-x  1000   100         20 2023-11-14T22:13:20Z /etc/hosts2 link to /etc/hosts\n"
        "prw-r--r--     0     0          0 1970-01-01T00:33:20Z /fifo\n"
        "lrwxrwxrwx     0     0          0 1970-01-01T00:33:20Z /link -> etc/hosts\n"
        "-rw-r--r--     0     0       5000 1970-01-01T00:33:20Z /big.bin\n");
    r = run(cli(shellQuote(image) + " ls"));
    EXPECT_EQ(r.status, 2) << "options after the image are not a command";
    r = run(cli("ls " + shellQuote(image) + " /etc"));
    EXPECT_EQ(r.out, "/etc/hosts\n/etc/hosts2\n");
}

TEST_F(CliTest, JsonListing) {
    CommandResult r = run(cli("ls -R --json " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 6u);
    EXPECT_EQ(j[1]["path"], "/etc/hosts");
    EXPECT_EQ(j[1]["type"], "file");
    EXPECT_EQ(j[1]["mode"], "4755");
    EXPECT_EQ(j[1]["uid"], 1000);
    EXPECT_EQ(j[1]["size"], 20);
    EXPECT_EQ(j[1]["mtime"], 1700000000);
    EXPECT_EQ(j[2]["type"], "hardlink");
    EXPECT_EQ(j[2]["target"], "/etc/hosts");
    EXPECT_EQ(j[3]["type"], "fifo");
    EXPECT_EQ(j[4]["target"], "etc/hosts");
}

// The listing is written as it is made, exactly as nlohmann::json writes the
// whole array: names that need escapes or are not UTF-8, attributes out of
// order and twice, hard links, an empty folder.
TEST(JsonListing, StreamedAsNlohmannWritesIt) {
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directories(src + "/sub/empty");
    writeFile(src + "/plain", "x");
    writeFile(src + "/q\"uo\te\\s\x01", "y");
    writeFile(src + "/bad\xff"
                    "name",
              "z");
    ASSERT_EQ(::symlink("tar\xfeget", (src + "/badlink").c_str()), 0);
    ASSERT_EQ(::link((src + "/plain").c_str(), (src + "/sub/hard").c_str()), 0);
    for (const char* name : {"user.b", "user.a", "user.x\xff"})
        ASSERT_EQ(::setxattr((src + "/plain").c_str(), name, "v\xff", 2, 0), 0);
    for (const char* to : {"yaffs2", "ext4"}) {
        const std::string image = dir / to;
        ASSERT_EQ(run(cli("pack " + shellQuote(src) + " " + image + " --to " + to)).status, 0);
        for (const std::string& args : {"-lR --json " + image, "--json " + image + " /sub/empty",
                                        "--json " + image + " /plain"}) {
            const std::string out = run(cli("ls " + args)).out;
            EXPECT_EQ(out, nlohmann::json::parse(out).dump(1, ' ', false) + "\n") << args;
        }
    }
}

TEST_F(CliTest, CatAndInfo) {
    CommandResult r = run(cli("cat " + shellQuote(image) + " /etc/hosts"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n");
    r = run(cli("cat " + shellQuote(image) + " etc/hosts2"));
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n") << "a hard link reads its target";
    r = run(cli("cat " + shellQuote(image) + " /big.bin"));
    EXPECT_EQ(r.out, toString(pattern(5000, 3)));
    r = run(cli("cat " + shellQuote(image) + " /etc"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not a regular file"), std::string::npos) << r.err;

    r = run(cli("info " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("format:            YAFFS2"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("tag offset:        2048"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("objects:           7"), std::string::npos) << r.out;
}

TEST_F(CliTest, ErrorsAndUsage) {
    CommandResult r = run(cli("ls " + shellQuote(dir / "missing.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot open"), std::string::npos) << r.err;

    writeFile(dir / "empty.img", std::string());
    r = run(cli("info " + shellQuote(dir / "empty.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("is empty"), std::string::npos) << r.err;

    writeFile(dir / "short.img", std::string("ab"));
    r = run(cli("info " + shellQuote(dir / "short.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("too short"), std::string::npos) << r.err;

    r = run(cli("ls " + shellQuote(image) + " /nothing"));
    EXPECT_EQ(r.status, 1);
    r = run(cli("frobnicate"));
    EXPECT_EQ(r.status, 2);
    r = run(cli("cat " + shellQuote(image)));
    EXPECT_EQ(r.status, 2);
    r = run(cli("--help"));
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("ls"), std::string::npos);
}

TEST_F(CliTest, ConvertToYaffs2) {
    std::string out = dir / "out.img";
    CommandResult r = run(cli("convert " + shellQuote(image) + " " + shellQuote(out) +
                              " --to yaffs2 --ecc nand --erase-marker"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run(cli("ls -lR " + shellQuote(out))).out,
              run(cli("ls -lR " + shellQuote(image))).out);
    EXPECT_NE(run(cli("info " + shellQuote(out))).out.find("tag offset:        2050"),
              std::string::npos);

    // The refusal in the language the locale names.
    const std::string noFolder =
        cli("convert " + shellQuote(image) + " " + shellQuote(dir / "nope/x.img") + " --to yaffs2");
    r = run("LANGUAGE=zh_CN " + noFolder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korvane-cli: 无法创建IMG文件！,可能其它程序正在使用。\n无法在 ", 0), 0)
        << r.err;
    EXPECT_NE(r.err.find("：没有那个文件或目录\n"), std::string::npos) << r.err;
    r = run("LANGUAGE=en " + noFolder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korvane-cli: cannot create the image file;", 0), 0) << r.err;
    EXPECT_NE(r.err.find(": No such file or directory\n"), std::string::npos) << r.err;
    r = run(cli("convert " + shellQuote(image) + " " + shellQuote(out) + " --to yaffs3"));
    EXPECT_EQ(r.status, 2);
    r = run(cli("convert " + shellQuote(image) + " " + shellQuote(out) +
                " --to yaffs2 --erase-marker --no-erase-marker"));
    EXPECT_EQ(r.status, 2);
}

TEST_F(CliTest, ExtractEverythingOrNamedPaths) {
    CommandResult r = run(cli("extract " + shellQuote(image) + " -C " + shellQuote(dir / "all")));
    if (::geteuid() == 0) {
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    } else {
        EXPECT_EQ(r.status, 1) << "the FIFO is created only by root";
        EXPECT_NE(r.err.find("korvane-cli: skipped fifo: FIFO:"), std::string::npos) << r.err;
    }
    EXPECT_EQ(toString(readFile(dir / "all/etc/hosts")), "127.0.0.1 localhost\n");
    EXPECT_EQ(readFile(dir / "all/big.bin"), pattern(5000, 3));
    EXPECT_EQ(readFile(dir / "all/etc/hosts2"), readFile(dir / "all/etc/hosts"));

    r = run(cli("extract -C " + shellQuote(dir / "some") + " " + shellQuote(image) +
                " /etc/hosts big.bin"));
    ASSERT_EQ(r.status, 0) << r.err;
    // Each named object lands in the folder by its own name.
    EXPECT_EQ(diskTree(dir / "some", false), "big.bin f 0644 5000 8440326360853082123\n"
                                             "hosts f 4755 20 3097353363725892417\n");
    EXPECT_EQ(readFile(dir / "some/hosts"), readFile(dir / "all/etc/hosts"));

    r = run(cli("extract " + shellQuote(image) + " /etc/nothing -C " + shellQuote(dir / "x")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no such file or directory in the image: /etc/nothing"), std::string::npos)
        << r.err;
    r = run(cli("extract " + shellQuote(image)));
    EXPECT_EQ(r.status, 2) << "the target folder is required";
}

TEST_F(CliTest, ExtractListsSkippedObjectsAndFails) {
    Yaffs2Builder b;
    b.root();
    b.file(258, 1, "..", pattern(10, 1));
    b.file(259, 1, "bad\nname/x", pattern(10, 1));
    b.file(260, 1, "good", pattern(10, 2));
    std::string img = dir / "bad.img";
    b.save(img);
    CommandResult r = run(cli("extract " + shellQuote(img) + " -C " + shellQuote(dir / "out")));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "korvane-cli: skipped ..: the name cannot be used as a file name\n"
              "korvane-cli: skipped bad\\x0Aname/x: the name cannot be used as a file name\n");
    EXPECT_EQ(readFile(dir / "out/good"), pattern(10, 2));
}

// The same image extracted by korvane-cli and by unyaffs gives the same tree:
// names, types, contents byte for byte, link targets, modes and times.
TEST_F(CliTest, ExtractAgreesWithUnyaffs) {
    if (!haveProgram("unyaffs"))
        GTEST_SKIP() << "unyaffs is not installed (scripts/deps installs it)";
    std::string gen = dir / "gen.img";
    CommandResult g = run(std::string(KORVANE_GENIMAGE) + " --out " + shellQuote(gen) +
                          " --files 600 --bytes 6000000 --seed 7");
    ASSERT_EQ(g.status, 0) << g.err;

    Yaffs2Builder b;
    b.root();
    b.dir(258, 1, "d", 040700);
    b.file(259, 258, "exact", pattern(4096, 1), 0100600);
    b.file(260, 258, "odd", pattern(2049, 2), 0104755);
    b.file(261, 1, "empty", {}, 0100444);
    b.symlink(262, 1, "abs", "/system/bin/sh");
    b.dir(263, 258, "名字", 040751);
    b.file(264, 263, "文件.txt", pattern(100, 3), 0100640);
    std::string crafted = dir / "crafted.img";
    b.save(crafted);

    for (const std::string& img : {gen, crafted}) {
        std::string ours = dir / "ours", theirs = dir / "theirs";
        std::filesystem::remove_all(ours);
        std::filesystem::remove_all(theirs);
        std::filesystem::create_directories(theirs);
        CommandResult r = run(cli("extract " + shellQuote(img) + " -C " + shellQuote(ours)));
        ASSERT_EQ(r.status, 0) << r.err;
        r = run("unyaffs " + shellQuote(img) + " " + shellQuote(theirs));
        ASSERT_EQ(r.status, 0) << r.err;
        std::string tree = diskTree(ours);
        EXPECT_GT(tree.size(), 100u);
        EXPECT_EQ(tree, diskTree(theirs)) << img;
        r = run("diff -r --no-dereference " + shellQuote(ours) + " " + shellQuote(theirs));
        EXPECT_EQ(r.status, 0) << r.out;
    }
}

// A folder packed into an image comes back out of it unchanged, as an
// independent reader extracts it.
TEST_F(CliTest, PackedFolderExtractsUnchanged) {
    if (!haveProgram("unyaffs"))
        GTEST_SKIP() << "unyaffs is not installed (scripts/deps installs it)";
    std::string src = dir / "src";
    std::filesystem::create_directories(src + "/sub/deeper");
    writeFile(src + "/a.txt", pattern(3000, 1));
    writeFile(src + "/sub/b.bin", pattern(4096, 2));
    writeFile(src + "/sub/deeper/empty", std::string());
    writeFile(src + "/sub/名字.txt", pattern(100, 3));
    std::filesystem::create_symlink("a.txt", src + "/link");
    ::chmod((src + "/a.txt").c_str(), 0640);
    ::chmod((src + "/sub/b.bin").c_str(), 04755);
    ::chmod((src + "/sub/deeper").c_str(), 0700);
    for (const char* p : {"/a.txt", "/sub/b.bin", "/sub/deeper", "/sub", ""}) {
        struct timespec t[2] = {{1600000000, 0}, {1600000000, 0}};
        ::utimensat(AT_FDCWD, (src + p).c_str(), t, 0);
    }
    std::string out = dir / "packed.img";
    CommandResult r = run(cli("pack " + shellQuote(src) + " " + shellQuote(out) + " --to yaffs2"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string x = dir / "x";
    std::filesystem::create_directories(x);
    r = run("unyaffs " + shellQuote(out) + " " + shellQuote(x));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(diskTree(x), diskTree(src));

    r = run(cli("pack --defaults " + shellQuote(src) + " " + shellQuote(out) + " --to yaffs2"));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string listing = run(cli("ls -lR " + shellQuote(out))).out;
    EXPECT_NE(listing.find("-rwxrwxrwx     0     0       3000 "), std::string::npos) << listing;

    r = run(cli("pack " + shellQuote(dir / "missing") + " " + shellQuote(out) + " --to yaffs2"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
}

} // namespace
