// korvane-cli info, ls and cat on EXT2/EXT3 images.
#include "ext_testutil.h"
#include "support/yaffs2_builder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

class ExtCli : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string src = dir / "src";
        std::filesystem::create_directories(src + "/etc");
        writeFile(src + "/etc/hosts", "127.0.0.1 localhost\n");
        ::chmod((src + "/etc/hosts").c_str(), 04755);
        std::filesystem::create_hard_link(src + "/etc/hosts", src + "/etc/hosts2");
        std::filesystem::create_symlink("etc/hosts", src + "/link");
        ::mkfifo((src + "/fifo").c_str(), 0644);
        writeFile(src + "/big.bin", pattern(300 * 1024, 3));
        mustRun("find " + shellQuote(src) + " -exec touch -h -d @1700000000 {} +");
        image = dir / "img.ext3";
        mustRun("mke2fs -q -F -t ext3 -b 1024 -L firmware -d " + shellQuote(src) + " " +
                shellQuote(image) + " 4M");
    }
    TempDir dir;
    std::string image;
};

TEST_F(ExtCli, LongRecursiveListing) {
    CommandResult r = run(cli("ls -lR " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string t = "2023-11-14T22:13:20Z";
    EXPECT_NE(r.out.find("drwxr-xr-x     0     0       1024 " + t + " /etc\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("-rwsr-xr-x     0     0         20 " + t + " /etc/hosts\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find("-rwsr-xr-x     0     0         20 " + t + " /etc/hosts2 link to /etc/hosts\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("prw-r--r--     0     0          0 " + t + " /fifo\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("lrwxrwxrwx     0     0          9 " + t + " /link -> etc/hosts\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("/lost+found\n"), std::string::npos) << r.out;

    r = run(cli("ls --json -R " + shellQuote(image) + " /etc"));
    ASSERT_EQ(r.status, 0) << r.err;
    auto j = nlohmann::json::parse(r.out);
    ASSERT_EQ(j.size(), 2u);
    EXPECT_EQ(j[0]["mode"], "4755") << "only the permission bits are shown";
    EXPECT_EQ(j[1]["type"], "hardlink");
    EXPECT_EQ(j[1]["target"], "/etc/hosts");
}

TEST_F(ExtCli, CatAndInfo) {
    CommandResult r = run(cli("cat " + shellQuote(image) + " /etc/hosts2"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n");
    r = run(cli("cat " + shellQuote(image) + " /big.bin"));
    EXPECT_EQ(r.out, toString(pattern(300 * 1024, 3)));

    r = run(cli("info " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"format:            EXT3\n", "block size:        1024\n",
                             "revision:          1 (dynamic)\n", "volume name:       firmware\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    EXPECT_EQ(r.out.find("objects:"), std::string::npos) << "info reads the headers alone";
    EXPECT_NE(r.out.find("journal:           inode 8, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("has_journal"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("groups:            1\n"), std::string::npos) << r.out;

    r = run(cli("info --read-all " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("read:              2 files, 307220 bytes in "), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(" GB/s)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("hard links:        1\n"), std::string::npos) << r.out;
}

// ls -l prints times in UTC as date -u does, before and after 1970, leap
// days, the turn of a century and the ends of 32-bit time included (mke2fs -d
// keeps no epoch bits past 2038).
TEST_F(ExtCli, ListedTimesAsDate) {
    const std::string src = dir / "times";
    std::filesystem::create_directories(src);
    const int64_t times[] = {-2147483648, -86401, 0, 946684799, 951782400, 1709164800, 2147483647};
    for (int64_t t : times) {
        writeFile(src + "/" + std::to_string(t), "x");
        mustRun("touch -d @" + std::to_string(t) + " " + shellQuote(src + "/" + std::to_string(t)));
    }
    const std::string ext4 = dir / "times.img";
    mustRun("mke2fs -q -F -t ext4 -I 256 -d " + shellQuote(src) + " " + shellQuote(ext4) + " 8M");
    CommandResult r = run(cli("ls -l " + shellQuote(ext4)));
    ASSERT_EQ(r.status, 0) << r.err;
    for (int64_t t : times) {
        CommandResult d = run("date -u -d @" + std::to_string(t) + " +%Y-%m-%dT%H:%M:%SZ");
        const std::string line =
            d.out.substr(0, d.out.size() - 1) + " /" + std::to_string(t) + "\n";
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    }
}

TEST_F(ExtCli, RefusedImageNamesFileAndFeature) {
    const std::string ext4 = dir / "four.img";
    mustRun("mke2fs -q -F -t ext4 -O encrypt " + shellQuote(ext4) + " 8M");
    CommandResult r = run(cli("ls " + shellQuote(ext4)));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(ext4 + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("feature encrypt"), std::string::npos) << r.err;

    Bytes zeros(4096);
    writeFile(dir / "zeros.img", zeros);
    r = run(cli("info " + shellQuote(dir / "zeros.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("not an EXT2/EXT3/EXT4 image"), std::string::npos) << r.err;
}

// The same EXT image extracted by korvane-cli and by debugfs rdump gives the
// same files, folders and links, byte for byte, with the same modes and times.
// debugfs does not make FIFOs, sockets or device nodes and drops the sticky
// and set-id bits of folders, so those are checked on our side only.
TEST(ExtExtract, AgreesWithDebugfsRdump) {
    TempDir dir;
    const std::string src = dir / "src";
    std::filesystem::create_directories(src);
    makeSourceTree(src);
    const std::string image = dir / "img.ext2";
    mustRun("mke2fs -q -F -t ext2 -b 1024 -I 128 -d " + shellQuote(src) + " " + shellQuote(image) +
            " 160M");
    const std::string ours = dir / "ours", theirs = dir / "theirs";
    std::filesystem::create_directories(theirs);
    CommandResult r = run(cli("extract " + shellQuote(image) + " -C " + shellQuote(ours)));
    if (runningAsRoot()) {
        ASSERT_EQ(r.status, 0) << r.err;
    }
    mustRun("debugfs -R " + shellQuote("rdump / " + theirs) + " " + shellQuote(image));

    auto comparable = [](const std::string& tree) {
        std::string out;
        std::istringstream in(tree);
        for (std::string line; std::getline(in, line);) {
            size_t kind = line.find(' ') + 1; // names hold no blank here
            if (line.compare(kind, 2, "d ") == 0)
                line[kind + 2] = '0';
            if (line.compare(kind, 2, "p ") != 0 && line.compare(kind, 2, "s ") != 0 &&
                line.compare(kind, 2, "c ") != 0 && line.compare(kind, 2, "b ") != 0)
                out += line + "\n";
        }
        return out;
    };
    std::string mine = diskTree(ours);
    EXPECT_GT(mine.size(), 500u);
    EXPECT_EQ(comparable(mine), comparable(diskTree(theirs)));
    EXPECT_NE(mine.find(" p "), std::string::npos) << "the FIFO is extracted";
    EXPECT_NE(mine.find("perm/sticky d 1777"), std::string::npos);
}

} // namespace
