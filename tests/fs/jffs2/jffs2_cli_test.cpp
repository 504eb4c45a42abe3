// korvane-cli on a JFFS2 image mkfs.jffs2 made: info, ls, cat, getfattr, and
// edit, which saves the image like its source.
#include "jffs2_testutil.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

} // namespace

TEST(Jffs2Cli, InfoListCatAttributesAndEdit) {
    if (!haveProgram("mkfs.jffs2"))
        GTEST_SKIP() << "mkfs.jffs2 (mtd-utils) is not installed";
    TempDir tmp;
    const std::string src = tmp / "src";
    makeJffs2Source(src, 8, {true, false});
    const std::string image = tmp / "img";
    mkfsJffs2(src, image, "--with-xattr -b -e 16384 --pad=262144");
    const std::string q = shellQuote(image);

    CommandResult r = run(cli("info " + q));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line :
         {"format:            JFFS2\n", "byte order:        big-endian\n",
          "erase block:       16384 (cleanmarkers)\n", "image size:        262144\n"})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;

    r = run(cli("ls -lR " + q + " /private"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("-rw-r--r--     0     0        116 2020-09-13T12:26:40Z /private/hard "
                         "link to /etc/file1.txt\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("-rw-------  1000  1000 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" 700 2020-09-13T12:26:40Z /private/secret\n"), std::string::npos)
        << r.out;

    r = run(cli("cat " + q + " /etc/init/file0.bin"));
    EXPECT_EQ(r.out, toString(readFile(src + "/etc/init/file0.bin")));
    r = run(cli("getfattr " + q + " /etc/file1.txt"));
    EXPECT_EQ(r.out, "# file: etc/file1.txt\nuser.comment=\"hello 8\"\n\n");

    const std::string edited = tmp / "edited";
    r = run(cli("edit " + q + " -o " + shellQuote(edited) +
                " -e 'chmod 600 /etc/file1.txt' -e 'rm /empty'"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(cli("ls -l " + shellQuote(edited) + " /etc/file1.txt"));
    EXPECT_EQ(r.out.substr(0, 10), "-rw-------") << r.out;
    EXPECT_NE(run(cli("ls " + shellQuote(edited) + " /empty")).status, 0);
    // Saved like its source: the same byte order, erase blocks and length.
    r = run(cli("info " + shellQuote(edited)));
    EXPECT_NE(r.out.find("byte order:        big-endian\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("erase block:       16384 (cleanmarkers)\n"), std::string::npos);
    EXPECT_EQ(std::filesystem::file_size(edited), 262144u);
}
