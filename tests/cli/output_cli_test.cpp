// Where convert and edit write: in place is recognised by the file, not by
// the spelling of the path; standard output takes an image as a stream.
#include "support/testutil.h"

#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

// An ext4 image made by mke2fs whose one file's inode fails its checksum:
// it opens, with a warning.
std::string damagedImage(const TempDir& dir) {
    std::filesystem::create_directories(dir / "src");
    writeFile(dir / "src/a", "a");
    const std::string image = dir / "damaged.img";
    if (run("mke2fs -q -F -t ext4 -d " + shellQuote(dir / "src") + " " + shellQuote(image) +
            " 4M && debugfs -w -R 'sif /a checksum 0x1234' " + shellQuote(image))
            .status != 0)
        return {};
    return image;
}

TEST(OutputCli, EverySpellingOfTheOpenImageIsSavingInPlace) {
    TempDir dir;
    const std::string image = damagedImage(dir);
    if (image.empty())
        GTEST_SKIP() << "mke2fs and debugfs are needed";
    ASSERT_NE(run(cli("ls " + shellQuote(image))).err.find("fails its checksum"),
              std::string::npos);
    ASSERT_EQ(::symlink("damaged.img", (dir / "link").c_str()), 0);
    ASSERT_EQ(::link(image.c_str(), (dir / "hard").c_str()), 0);
    const Bytes before = readFile(image);
    const std::string where = "cd " + shellQuote(dir.path().string()) + " && ";
    const std::string commands[] = {
        "edit damaged.img -e 'mkdir /x'",
        "edit damaged.img -o damaged.img -e 'mkdir /x'",
        "edit damaged.img -o ./link -e 'mkdir /x'",
        "convert damaged.img damaged.img",
        "convert link hard",
        "convert damaged.img ../" + dir.path().filename().string() + "/link",
    };
    for (const std::string& c : commands) {
        CommandResult r = run(where + cli(c));
        EXPECT_EQ(r.status, 1) << c;
        EXPECT_NE(r.err.find("saving over it would replace what could not be read"),
                  std::string::npos)
            << c << "\n"
            << r.err;
        EXPECT_EQ(readFile(image), before) << c;
    }
    // Another file is written; --force saves over the image, through the link.
    EXPECT_EQ(run(where + cli("convert damaged.img other.img")).status, 0);
    CommandResult r = run(where + cli("convert damaged.img link --force"));
    EXPECT_EQ(r.status, 0) << r.err;
    struct stat st {};
    ASSERT_EQ(::lstat((dir / "link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(readFile(image), before);
}

TEST(OutputCli, AnExtImageFillsTheBlockDeviceItIsWrittenTo) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    writeFile(dir / "src/a", "a");
    const std::string image = dir / "img", backing = dir / "disk";
    ASSERT_EQ(run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) +
                      " --to ext4 --defaults"))
                  .status,
              0);
    writeFile(backing, std::string(12 << 20, 'x'));
    CommandResult loop = run("losetup -f --show " + shellQuote(backing) + " 2>/dev/null");
    if (loop.status != 0 || loop.out.empty())
        GTEST_SKIP() << "no loop device can be made here";
    const std::string dev = loop.out.substr(0, loop.out.find('\n'));
    // Like the source, and with a size given: the device's size unless told.
    for (const auto& [size, blocks] : {std::pair{"", 3072}, {" --size 8M", 2048}}) {
        CommandResult r = run(cli("convert " + shellQuote(image) + " " + dev + size));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(run("e2fsck -fn " + dev).status, 0) << size;
        EXPECT_NE(run("dumpe2fs -h " + dev + " 2>/dev/null")
                      .out.find("Block count:              " + std::to_string(blocks) + "\n"),
                  std::string::npos)
            << size;
    }
    run("losetup -d " + dev);
}

TEST(OutputCli, ConvertToStandardOutput) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src/etc");
    writeFile(dir / "src/etc/hosts", "127.0.0.1 localhost\n");
    const std::string image = dir / "img";
    ASSERT_EQ(run(cli("pack " + shellQuote(dir / "src") + " " + shellQuote(image) +
                      " --to yaffs2 --defaults"))
                  .status,
              0);
    // YAFFS2 through the writer's temporary file; EXT too, whose writer
    // seeks (its times and hash seed make two images differ, so they are
    // compared by what they hold).
    for (const std::string to : {"yaffs2", "ext4"}) {
        const std::string src = shellQuote(image), opts = " --to " + to;
        ASSERT_EQ(run(cli("convert " + src + " " + shellQuote(dir / "file") + opts)).status, 0);
        CommandResult r =
            run(cli("convert " + src + " -" + opts) + " | cat > " + shellQuote(dir / "piped"));
        ASSERT_EQ(r.status, 0) << r.err;
        if (to == "yaffs2") {
            EXPECT_TRUE(readFile(dir / "piped") == readFile(dir / "file"));
        } else {
            EXPECT_EQ(run("e2fsck -fn " + shellQuote(dir / "piped")).status, 0);
            // The lost+found the writer makes carries the time it was made,
            // which may differ by a second between the two runs.
            const auto listing = [&](const char* name) {
                static const std::regex made("\"mtime\": [0-9]+(,\n *\"path\": \"/lost\\+found\")");
                return std::regex_replace(run(cli("ls -lR --json " + shellQuote(dir / name))).out,
                                          made, "\"mtime\": 0$1");
            };
            EXPECT_EQ(listing("piped"), listing("file"));
        }
    }
}

} // namespace
