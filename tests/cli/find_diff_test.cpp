// korvane-cli find against GNU find on the same tree, and korvane-cli diff
// against diff -r and getfattr on trees changed in known ways.
#include "support/testutil.h"
#include "transfer/find.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty())
            lines.push_back(l);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(Find, GlobsAsFnmatch) {
    const struct {
        const char* pattern;
        const char* name;
        bool match;
        bool caseBlind;
    } cases[] = {
        {"*.so", "libc.so", true, false},
        {"*.so", "libc.so.6", false, false},
        {"lib?.so", "libc.so", true, false},
        {"[a-c]*", "bin", true, false},
        {"[!a-c]*", "bin", false, false},
        {"[^a-c]*", "etc", true, false},
        {"\\*", "*", true, false},
        {"\\*", "a", false, false},
        {"*a*b*c", "xaxbxc", true, false},
        {"*a*b*c", "xaxbx", false, false},
        {"A*", "apk", false, false},
        {"A*", "apk", true, true},
        {"[", "[", true, false},
        {"*", "", true, false},
        {"[]a]", "]", true, false},
        {"*.[Jj][Pp][Gg]", "x.JpG", true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(globMatch(c.pattern, c.name, c.caseBlind), c.match) << c.pattern << " " << c.name;
}

class FindDiffTest : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        src = dir / "src";
        fs::create_directories(src + "/sub/deeper");
        fs::create_directories(src + "/empty");
        writeFile(src + "/a.txt", std::string(100, 'a'));
        writeFile(src + "/Big.bin", std::string(5000, 'b'));
        writeFile(src + "/zero", std::string());
        writeFile(src + "/sub/b.txt", std::string(1024, 'c'));
        writeFile(src + "/sub/deeper/c.so", std::string(3000, 'd'));
        fs::create_symlink("a.txt", src + "/link");
        ::chmod((src + "/a.txt").c_str(), 0644);
        ::chmod((src + "/Big.bin").c_str(), 0755);
        ::chmod((src + "/sub/b.txt").c_str(), 0602);
        ::chmod((src + "/sub/deeper/c.so").c_str(), 04711);
        mustRun("touch -d 2020-01-01 " + shellQuote(src + "/a.txt"));
        mustRun("touch -d 2024-06-01 " + shellQuote(src + "/sub/b.txt"));
        image = dir / "t.img";
        mustRun(cli("pack " + shellQuote(src) + " " + shellQuote(image) + " --to ext4"));
    }

    TempDir dir;
    std::string src, image;
};

TEST_F(FindDiffTest, FindAgreesWithGnuFind) {
    const char* expressions[] = {
        "",
        "-name '*.txt'",
        "-iname 'big*'",
        "-type d",
        "-type l",
        "-type f -size +1k",
        "-type f -size -3",
        "-size 0",
        "-size +2999c -size -3001c",
        "-perm -u+x -type f",
        "-perm /o+w",
        "-perm 644",
        "-perm -4000",
        "! -type d -name '*.*'",
        "\\( -name a.txt -o -name c.so \\)",
        "-type f -newermt 2022-01-01",
        "-empty",
        "-path '*/sub/*'",
        "-not -path '*/sub*' -type f",
    };
    for (const char* e : expressions) {
        CommandResult ours = run(cli("find " + shellQuote(image) + " / " + e));
        ASSERT_EQ(ours.status, 0) << e << "\n" << ours.err;
        CommandResult gnu = run("cd " + shellQuote(src) + " && find . " + e +
                                " | sed -e 's|^\\.$|/|' -e 's|^\\./|/|'");
        std::vector<std::string> want = sortedLines(gnu.out);
        std::vector<std::string> got = sortedLines(ours.out);
        // lost+found is the EXT writer's own.
        got.erase(std::remove(got.begin(), got.end(), "/lost+found"), got.end());
        EXPECT_EQ(got, want) << e;
    }
    CommandResult json = run(cli("find --json " + shellQuote(image) + " /sub -type f"));
    EXPECT_NE(json.out.find("\"path\": \"/sub/b.txt\""), std::string::npos) << json.out;
    // -newer takes a time as well as a file.
    CommandResult newer = run(cli("find " + shellQuote(image) + " / -type f -newer 2022-01-01"));
    EXPECT_EQ(
        sortedLines(newer.out),
        sortedLines(run(cli("find " + shellQuote(image) + " / -type f -newermt 2022-01-01")).out));
    EXPECT_EQ(run(cli("find " + shellQuote(image) + " / -bogus")).status, 1);
    EXPECT_EQ(run(cli("find " + shellQuote(image) + " / \\( -name a")).status, 1);
}

TEST_F(FindDiffTest, DiffNamesWhatChanged) {
    namespace fs = std::filesystem;
    const std::string out = dir / "out", pristine = dir / "pristine";
    mustRun(cli("extract " + shellQuote(image) + " -C " + shellQuote(out)));
    mustRun(cli("extract " + shellQuote(image) + " -C " + shellQuote(pristine)));
    // The image against what was extracted from it: equal.
    CommandResult same = run(cli("diff " + shellQuote(image) + " " + shellQuote(out)));
    EXPECT_EQ(same.status, 0) << same.out << same.err;
    EXPECT_EQ(same.out, "");

    writeFile(out + "/a.txt", std::string(100, 'x')); // same size, other bytes
    mustRun("touch -d 2020-01-01 " + shellQuote(out + "/a.txt"));
    writeFile(out + "/Big.bin", std::string(5001, 'b')); // other size
    ::chmod((out + "/Big.bin").c_str(), 0755);
    ::chmod((out + "/sub/b.txt").c_str(), 0600);
    mustRun("touch -h -d 2024-06-01 " + shellQuote(out + "/sub/b.txt"));
    fs::remove(out + "/link");
    fs::create_symlink("zero", out + "/link");
    fs::remove_all(out + "/sub/deeper");
    writeFile(out + "/new", std::string("n"));
    mustRun("setfattr -n user.note -v hi " + shellQuote(out + "/zero"));
    mustRun("touch -d 2020-01-01 " + shellQuote(out));

    CommandResult r = run(cli("diff " + shellQuote(image) + " " + shellQuote(out)));
    EXPECT_EQ(r.status, 1) << r.err;
    std::vector<std::string> lines = sortedLines(r.out);
    for (const char* want : {"changed /a.txt (contents)", "changed /Big.bin (contents,time)",
                             "changed /sub/b.txt (mode)", "changed /link (target)",
                             "removed /sub/deeper", "added   /new", "changed /zero (xattrs)"})
        EXPECT_NE(std::find(lines.begin(), lines.end(), want), lines.end()) << want << "\n"
                                                                            << r.out;
    // With --content-only, the files diff -r names, and nothing else.
    r = run(cli("diff --content-only " + shellQuote(image) + " " + shellQuote(out)));
    CommandResult gnu = run("diff -rq " + shellQuote(pristine) + " " + shellQuote(out));
    size_t gnuDifferences = sortedLines(gnu.out).size();
    EXPECT_EQ(sortedLines(r.out).size(), gnuDifferences) << r.out << "\n" << gnu.out;
    EXPECT_EQ(run(cli("diff " + shellQuote(image) + " " + shellQuote(dir / "missing"))).status, 2);
    // Two images: the same one twice is equal, JSON names the change.
    EXPECT_EQ(run(cli("diff " + shellQuote(image) + " " + shellQuote(image))).status, 0);
    mustRun(cli("edit " + shellQuote(image) + " -o " + shellQuote(dir / "u.img") +
                " -e 'chmod 0600 /a.txt'"));
    r = run(cli("diff --json " + shellQuote(image) + " " + shellQuote(dir / "u.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\"what\":[\"mode\"]"), std::string::npos) << r.out;

    // Two ext4 images whose files differ only inside: in the last byte of a
    // file of several MiB, and in a small one of the same size.
    for (const char* side : {"x", "y"}) {
        std::string big(3u << 20, 'z');
        big.back() = side[0];
        const std::string d = dir / side;
        fs::create_directories(d);
        writeFile(d + "/big", big);
        writeFile(d + "/small", std::string(side) + "bc");
        writeFile(d + "/same", std::string(70000, 's'));
        mustRun("mke2fs -q -F -t ext4 -d " + shellQuote(d) + " " +
                shellQuote(dir / (std::string(side) + ".img")) + " 16M");
    }
    r = run(
        cli("diff --content-only " + shellQuote(dir / "x.img") + " " + shellQuote(dir / "y.img")));
    EXPECT_EQ(sortedLines(r.out),
              (std::vector<std::string>{"changed /big (contents)", "changed /small (contents)"}))
        << r.out << r.err;
}

} // namespace
