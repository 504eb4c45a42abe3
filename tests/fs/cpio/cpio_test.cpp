// cpio archives: trees made by GNU cpio read whole (names, modes, owners,
// links, devices), in every compression; trees written by Korvane read back
// by GNU cpio; damaged archives stay bounded.
#include "model/error.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <regex>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace korvane {
namespace {

using test::run;
using test::shellQuote;
using test::TempDir;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    const test::CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

// statTree without which name of a hard-linked file came first (that
// follows the order a folder lists its names in) and without the times of
// symbolic links (GNU cpio does not set them).
std::string tree(const std::string& top) {
    const std::string t =
        std::regex_replace(test::statTree(top, true), std::regex(" names [^ \n]*"), " linked");
    return std::regex_replace(t, std::regex("( 120777 .*) m[0-9]+"), "$1");
}

// A root filesystem's kinds of objects, with owners where root may set them.
void makeTree(const std::string& t) {
    std::filesystem::create_directories(t + "/system/bin");
    std::filesystem::create_directories(t + "/dev");
    test::writeFile(t + "/init", test::pattern(70000, 1));
    test::writeFile(t + "/system/bin/sh", test::pattern(1234, 2));
    ::chmod((t + "/init").c_str(), 0750);
    ::link((t + "/system/bin/sh").c_str(), (t + "/system/bin/toybox").c_str());
    ::symlink("/system/bin/sh", (t + "/sh").c_str());
    ::mkfifo((t + "/dev/pipe").c_str(), 0600);
    if (::geteuid() == 0) {
        ::mknod((t + "/dev/console").c_str(), S_IFCHR | 0600, makedev(5, 1));
        ::mknod((t + "/dev/block0").c_str(), S_IFBLK | 0660, makedev(259, 3));
        ::lchown((t + "/system/bin/sh").c_str(), 0, 2000);
        ::lchown((t + "/init").c_str(), 1000, 1000);
    }
    ::chmod((t + "/system").c_str(), 0751);
}

struct Compression {
    const char* name;
    const char* pack;   // shell filter
    const char* unpack; // shell filter
};
const Compression kCompressions[] = {{"none", "cat", "cat"},
                                     {"gzip", "gzip -n", "gzip -dc"},
                                     {"lz4-legacy", "lz4 -l -q", "lz4 -dc"},
                                     {"lz4", "lz4 -q", "lz4 -dc"}};

class CpioTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::haveProgram("cpio") || !test::haveProgram("lz4"))
            GTEST_SKIP() << "cpio or lz4 is missing";
        src = dir / "src";
        makeTree(src);
    }
    std::string archive(const Compression& c, const std::string& format = "newc") {
        const std::string out = dir / (std::string("rd-") + c.name + "-" + format);
        mustRun("cd " + shellQuote(src) + " && find . | LC_ALL=C sort | cpio -o -H " + format +
                " 2>/dev/null | " + c.pack + " > " + shellQuote(out));
        return out;
    }
    TempDir dir;
    std::string src;
};

TEST_F(CpioTest, PeerArchivesReadWholeInEveryCompression) {
    const std::string want = tree(src);
    for (const Compression& c : kCompressions)
        for (const char* format : {"newc", "crc", "odc"}) {
            SCOPED_TRACE(std::string(c.name) + " " + format);
            const std::string a = archive(c, format);
            const std::string out = dir / (std::string("x-") + c.name + format);
            mustRun(cli("extract " + shellQuote(a) + " -C " + shellQuote(out)));
            EXPECT_EQ(tree(out), want);
            const test::CommandResult info = run(cli("info " + shellQuote(a)));
            EXPECT_NE(info.out.find(std::string("compression:       ") + c.name), std::string::npos)
                << info.out;
        }
}

TEST_F(CpioTest, WrittenArchivesReadBackByGnuCpio) {
    const std::string want = tree(src);
    for (const Compression& c : kCompressions) {
        SCOPED_TRACE(c.name);
        // Like the source: the same compression, read back by the peer.
        const std::string a = archive(c);
        const std::string out = dir / (std::string("w-") + c.name);
        mustRun(cli("edit " + shellQuote(a) + " -e 'mkdir /data' -o " + shellQuote(out)));
        const Bytes head = test::readFile(out);
        ASSERT_GE(head.size(), 4u);
        EXPECT_EQ(head[0], test::readFile(a)[0]);
        const std::string x = dir / (std::string("peer-") + c.name);
        std::filesystem::create_directories(x);
        mustRun(std::string(c.unpack) + " " + shellQuote(out) + " | (cd " + shellQuote(x) +
                " && cpio -idm --quiet 2>/dev/null)");
        std::filesystem::remove(x + "/data");
        EXPECT_EQ(tree(x), want);
    }
    // A folder packed as a ramdisk, compressed as asked.
    const std::string packed = dir / "packed.cpio.lz4";
    mustRun(cli("pack " + shellQuote(src) + " " + shellQuote(packed) +
                " --to cpio --ramdisk-compression lz4-legacy"));
    const std::string x = dir / "peer-packed";
    std::filesystem::create_directories(x);
    mustRun("lz4 -dc " + shellQuote(packed) + " | (cd " + shellQuote(x) +
            " && cpio -idm --quiet 2>/dev/null)");
    EXPECT_EQ(tree(x), want);
}

// Truncated and damaged archives, plain and compressed: the reader keeps
// what it can and never reads outside what it has.
TEST_F(CpioTest, DamageStaysBounded) {
    std::mt19937 rng(5);
    for (const Compression& c : kCompressions) {
        const Bytes good = test::readFile(archive(c));
        for (int round = 0; round < 40; ++round) {
            Bytes bad = good;
            if (round % 2)
                bad.resize(rng() % bad.size() + 1);
            else
                for (int i = 0; i < 4; ++i)
                    bad[rng() % bad.size()] = static_cast<std::byte>(rng());
            const std::string path = dir / "bad";
            test::writeFile(path, bad);
            try {
                auto img = loadimage(path, nullptr, {});
                Bytes buf(4096);
                for (Node* n = img->root(); n; n = nullptr)
                    for (const auto& child : n->children)
                        img->ReadRange(child->entry, 0, buf);
            } catch (const Error&) {
            }
        }
    }
}

} // namespace
} // namespace korvane
