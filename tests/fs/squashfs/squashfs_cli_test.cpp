// korvane-cli on SquashFS images mksquashfs made: info, ls, cat, getfattr,
// extract, convert, pack, edit, and an image inside another one (--part).
#include "squashfs_testutil.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

bool says(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class SquashfsCli : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveProgram("mksquashfs") || !haveProgram("unsquashfs"))
            GTEST_SKIP() << "squashfs-tools are not installed";
        src = dir / "src";
        std::filesystem::create_directories(src + "/etc");
        writeFile(src + "/etc/hosts", "127.0.0.1 localhost\n");
        ::chmod((src + "/etc/hosts").c_str(), 04755);
        std::filesystem::create_hard_link(src + "/etc/hosts", src + "/etc/hosts2");
        std::filesystem::create_symlink("etc/hosts", src + "/link");
        ::mkfifo((src + "/fifo").c_str(), 0644);
        writeFile(src + "/big.bin", bytesOf(std::string(300 * 1024, 'q')));
        run("setfattr -n user.note -v hello " + shellQuote(src + "/etc/hosts"));
        run("find " + shellQuote(src) + " -exec touch -h -d @1700000000 {} +");
        image = dir / "img.sqfs";
        mksquashfs(src, image, "-comp xz");
    }
    std::string q(const std::string& s) const { return shellQuote(s); }

    TempDir dir;
    std::string src;
    std::string image;
};

TEST_F(SquashfsCli, ReadCommands) {
    CommandResult r = run(cli("info " + q(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"format:            SquashFS\n", "compression:       xz\n",
                             "block size:        131072\n", "hard links:        1\n"})
        EXPECT_TRUE(says(r.out, line)) << line << r.out;

    r = run(cli("ls -lR " + q(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string t = "2023-11-14T22:13:20Z";
    for (const std::string& line :
         {"-rwsr-xr-x     0     0         20 " + t + " /etc/hosts\n",
          "-rwsr-xr-x     0     0         20 " + t + " /etc/hosts2 link to /etc/hosts\n",
          "prw-r--r--     0     0          0 " + t + " /fifo\n",
          "lrwxrwxrwx     0     0          9 " + t + " /link -> etc/hosts\n"})
        EXPECT_TRUE(says(r.out, line)) << line << r.out;

    r = run(cli("ls --json -R " + q(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out).size(), 6u);

    r = run(cli("cat " + q(image) + " /etc/hosts2"));
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n");
    r = run(cli("cat " + q(image) + " /big.bin"));
    EXPECT_EQ(r.out, std::string(300 * 1024, 'q'));
    r = run(cli("getfattr " + q(image) + " /etc/hosts"));
    EXPECT_TRUE(says(r.out, "user.note=\"hello\"")) << r.out;

    r = run(cli("extract " + q(image) + " -C " + q(dir / "ours")));
    ASSERT_EQ(r.status, 0) << r.err;
    unsquashfs(image, dir / "peer");
    EXPECT_EQ(statTree(dir / "ours", true), statTree(dir / "peer", true));
}

TEST_F(SquashfsCli, WriteCommands) {
    const std::string ext = dir / "img.ext4";
    CommandResult r = run(cli("convert " + q(image) + " " + q(ext) + " --to ext4"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(says(run(cli("ls -lR " + q(ext))).out, "/etc/hosts2 link to /etc/hosts"));

    const std::string packed = dir / "packed.sqfs";
    r = run(cli("pack " + q(src) + " " + q(packed) + " --to squashfs --comp lz4"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(peerListing(packed), peerListing(image));

    const std::string edited = dir / "edited.sqfs";
    r = run(cli("edit " + q(image) + " -o " + q(edited) + " -e 'mkdir /newdir' -e 'rm /fifo'"));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string listing = peerListing(edited);
    EXPECT_TRUE(says(listing, "/newdir ")) << listing;
    EXPECT_FALSE(says(listing, "/fifo ")) << listing;
    EXPECT_TRUE(says(run("unsquashfs -s " + q(edited)).out, "Compression xz"));
}

TEST_F(SquashfsCli, ImageInsideAnImage) {
    if (!haveProgram("mke2fs"))
        GTEST_SKIP() << "e2fsprogs are not installed";
    const std::string outer = dir / "outer";
    std::filesystem::create_directories(outer + "/firmware");
    std::filesystem::copy_file(image, outer + "/firmware/system.sqfs");
    const std::string ext = dir / "outer.ext2";
    ASSERT_EQ(run("mke2fs -q -F -t ext2 -d " + q(outer) + " " + q(ext) + " 8M").status, 0);
    CommandResult r = run(cli("cat " + q(ext) + " --part /firmware/system.sqfs /etc/hosts"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "127.0.0.1 localhost\n");
}

} // namespace
