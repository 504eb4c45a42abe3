// Super images: read as the peer (7-Zip) reads them, damaged copies passed
// over, partitions edited and replaced with the image written anew around
// them, plain and sparse.
#include "container/super/tsuper.h"
#include "model/error.h"
#include "support/super_builder.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

namespace korvane {
namespace {

using test::run;
using test::shellQuote;
using test::SuperFixture;
using test::SuperPartSpec;
using test::TempDir;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    const test::CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

// An ext4 image of a small tree, made by mke2fs.
Bytes ext4Image(const TempDir& dir) {
    const std::string src = dir / "tree";
    std::filesystem::create_directories(src + "/etc");
    test::writeFile(src + "/etc/hosts", "127.0.0.1 localhost\n");
    test::writeFile(src + "/big", test::pattern(300000, 3));
    const std::string img = dir / "system.ext4";
    EXPECT_EQ(
        run("mke2fs -q -F -t ext4 -d " + shellQuote(src) + " " + shellQuote(img) + " 4M").status,
        0);
    return test::readFile(img);
}

// system_a (ext4, two extents), vendor_a (a pattern and a zero tail),
// system_b and vendor_b empty, in groups main (8 MiB) and default.
SuperFixture standardFixture(const TempDir& dir) {
    SuperFixture s;
    s.groups = {{"default", 0}, {"main", 8u << 20}};
    s.parts.push_back({"system_a", 1, 1, ext4Image(dir), 2, 0});
    s.parts.push_back({"vendor_a", 1, 1, test::pattern(1u << 20, 9), 1, 65536});
    s.parts.push_back({"system_b", 1, 1, {}, 1, 0});
    s.parts.push_back({"vendor_b", 1, 1, {}, 1, 0});
    return s;
}

// Every member as 7-Zip extracts it, by partition name.
std::map<std::string, Bytes> peerPartitions(const TempDir& dir, const std::string& image) {
    const std::string out = dir / ("7z-" + std::filesystem::path(image).filename().string());
    std::filesystem::remove_all(out);
    mustRun("7zz x -y -bd " + shellQuote(image) + " -o" + shellQuote(out) + " >/dev/null");
    std::map<std::string, Bytes> parts;
    for (const auto& f : std::filesystem::directory_iterator(out))
        parts[f.path().stem().string()] = test::readFile(f.path().string());
    return parts;
}

std::map<std::string, Bytes> ourPartitions(const TempDir& dir, const std::string& image) {
    const std::string out = dir / ("k-" + std::filesystem::path(image).filename().string());
    std::filesystem::remove_all(out);
    mustRun(cli("extract " + shellQuote(image) + " -C " + shellQuote(out)));
    std::map<std::string, Bytes> parts;
    for (const auto& f : std::filesystem::directory_iterator(out))
        parts[f.path().filename().string()] = test::readFile(f.path().string());
    return parts;
}

class SuperTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!test::haveProgram("7zz") || !test::haveProgram("mke2fs"))
            GTEST_SKIP() << "7zz or mke2fs is missing";
        shape = standardFixture(dir);
        image = dir / "super.img";
        test::writeSuperFixture(shape, image);
    }
    TempDir dir;
    SuperFixture shape;
    std::string image;
};

TEST_F(SuperTest, PartitionsAreThePeersBytes) {
    for (const bool sparse : {false, true}) {
        std::string path = image;
        if (sparse) {
            path = dir / "super.simg";
            mustRun("img2simg " + shellQuote(image) + " " + shellQuote(path));
        }
        const auto ours = ourPartitions(dir, path);
        const auto peer = peerPartitions(dir, image);
        ASSERT_EQ(ours.size(), 4u);
        for (const auto& [name, bytes] : peer) {
            ASSERT_TRUE(ours.count(name)) << name;
            EXPECT_TRUE(ours.at(name) == bytes) << name << (sparse ? " (sparse)" : "");
        }
        EXPECT_EQ(ours.at("vendor_a").size(), (1u << 20) + 65536u);
        EXPECT_TRUE(ours.at("system_b").empty());
    }
}

TEST_F(SuperTest, InfoShowsGeometryGroupsAndPartitions) {
    const test::CommandResult r = run(cli("info " + shellQuote(image)));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* want :
         {"metadata version:  10.0", "group main:", "of 8388608 bytes", "block device super:",
          "slot 1 (_b):", "primary good, same; backup good, same", "attributes:      readonly",
          "holds:           EXT2/3/4", "none (empty)", "zero 65536 bytes"})
        EXPECT_NE(r.out.find(want), std::string::npos) << want << "\n" << r.out;
}

TEST_F(SuperTest, ExtentsOfTheEditedPartitionMoveAndTheOthersKeepTheirBytes) {
    const std::string out = dir / "edited.img";
    mustRun(cli("edit " + shellQuote(image) + " --part system_a -e 'mkdir /data' -e 'rm /big' -o " +
                shellQuote(out)));
    const auto before = peerPartitions(dir, image);
    const auto after = peerPartitions(dir, out);
    EXPECT_TRUE(after.at("vendor_a") == before.at("vendor_a"));
    const std::string fs = dir / "system_a.ext4";
    test::writeFile(fs, after.at("system_a"));
    mustRun("e2fsck -fn " + shellQuote(fs) + " >/dev/null");
    const test::CommandResult ls = run(cli("ls " + shellQuote(out) + " --part system_a /"));
    EXPECT_NE(ls.out.find("data"), std::string::npos) << ls.out;
    EXPECT_EQ(ls.out.find("big"), std::string::npos) << ls.out;
    // The other partitions' extents did not move.
    const test::CommandResult a = run(cli("info " + shellQuote(image)));
    const test::CommandResult b = run(cli("info " + shellQuote(out)));
    auto vendorFacts = [](const std::string& text) {
        const size_t at = text.find("  vendor_a");
        return text.substr(at, text.find("holds:", at) - at);
    };
    EXPECT_EQ(vendorFacts(a.out), vendorFacts(b.out));
}

TEST_F(SuperTest, AReplacedPartitionGrowsWithinItsGroupOrIsRefusedNamingIt) {
    const std::string repl = dir / "repl";
    std::filesystem::create_directories(repl);
    test::writeFile(repl + "/vendor_a", test::pattern(3u << 20, 5));
    const std::string out = dir / "grown.img";
    mustRun(cli("edit " + shellQuote(image) + " -e " +
                shellQuote("add --force " + repl + "/vendor_a /") + " -o " + shellQuote(out)));
    const auto after = peerPartitions(dir, out);
    EXPECT_TRUE(after.at("vendor_a") == test::pattern(3u << 20, 5));
    EXPECT_TRUE(after.at("system_a") == shape.parts[0].contents);

    test::writeFile(repl + "/vendor_a", test::pattern(6u << 20, 5));
    const test::CommandResult r = run(cli("edit " + shellQuote(image) + " -e " +
                                          shellQuote("add --force " + repl + "/vendor_a /") +
                                          " -o " + shellQuote(dir / "refused.img")));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("group main"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("8388608"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "refused.img"));
}

TEST_F(SuperTest, SparseInSparseOut) {
    const std::string simg = dir / "super.simg";
    mustRun("img2simg " + shellQuote(image) + " " + shellQuote(simg));
    const std::string out = dir / "edited.simg";
    mustRun(
        cli("edit " + shellQuote(simg) + " --part system_a -e 'mkdir /x' -o " + shellQuote(out)));
    const Bytes head = test::readFile(out);
    ASSERT_GE(head.size(), 4u);
    EXPECT_EQ(load32(head.data()), 0xED26FF3Au);
    const std::string raw = dir / "edited.raw";
    mustRun("simg2img " + shellQuote(out) + " " + shellQuote(raw));
    const auto parts = peerPartitions(dir, raw);
    EXPECT_TRUE(parts.at("vendor_a") == peerPartitions(dir, image).at("vendor_a"));
    const test::CommandResult plain = run(
        cli("convert " + shellQuote(simg) + " " + shellQuote(dir / "plain.img") + " --no-sparse"));
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(load32(test::readFile(dir / "plain.img").data()), 0xED26FF3Au);
    // The choice reaches the super image around an edited partition too.
    mustRun(cli("edit " + shellQuote(simg) + " --part system_a --no-sparse -e 'mkdir /y' -o " +
                shellQuote(dir / "plain2.img")));
    EXPECT_TRUE(peerPartitions(dir, dir / "plain2.img").at("vendor_a") ==
                peerPartitions(dir, image).at("vendor_a"));
}

// pack-super builds what lpmake would: 7-Zip reads every partition back, the
// groups and attributes are as given, and what does not fit is refused.
TEST_F(SuperTest, PackSuperBuildsWhatThePeerReads) {
    const std::string ext4 = dir / "system.ext4";
    const std::string vendor = dir / "vendor.img";
    test::writeFile(vendor, test::pattern(700000, 8));
    mustRun("img2simg " + shellQuote(ext4) + " " + shellQuote(dir / "system.simg"));
    const std::string out = dir / "packed.img";
    mustRun(
        cli("pack-super -o " + shellQuote(out) +
            " --device-size 24M --metadata-slots 3 --virtual-ab --group main:12M"
            " --partition system_a:readonly:auto:main --partition vendor_a:readonly,updated:1M:main"
            " --partition system_b:readonly:0:main --image system_a=" +
            shellQuote(dir / "system.simg") + " --image vendor_a=" + shellQuote(vendor)));
    const auto parts = peerPartitions(dir, out);
    EXPECT_TRUE(parts.at("system_a") == test::readFile(ext4));
    ASSERT_EQ(parts.at("vendor_a").size(), 1u << 20);
    EXPECT_TRUE(Bytes(parts.at("vendor_a").begin(), parts.at("vendor_a").begin() + 700000) ==
                test::readFile(vendor));
    EXPECT_TRUE(parts.at("system_b").empty());
    const test::CommandResult info = run(cli("info " + shellQuote(out)));
    for (const char* want :
         {"metadata version:  10.2", "header flags:      virtual A/B",
          "slot 2:", "group main:", "readonly, updated", "block device super: 25165824 bytes"})
        EXPECT_NE(info.out.find(want), std::string::npos) << want << "\n" << info.out;

    struct Refusal {
        std::string args;
        const char* says;
    };
    for (const Refusal& r :
         {Refusal{"--device-size 24M --partition a:none:64K --image a=" + shellQuote(vendor),
                  "larger than partition a"},
          Refusal{"--device-size 24M --partition a:none:auto:nogroup", "names group nogroup"},
          Refusal{"--device-size 4M --group g:1M --partition a:none:2M:g", "group g"},
          Refusal{"--device-size 4M --partition a:none:8M", "has only"},
          Refusal{"--device-size 4M --partition a:sticky:1M", "sticky"}}) {
        const test::CommandResult x =
            run(cli("pack-super -o " + shellQuote(dir / "no.img") + " " + r.args));
        EXPECT_EQ(x.status, 1) << r.args;
        EXPECT_NE(x.err.find(r.says), std::string::npos) << r.args << "\n" << x.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "no.img"));
    }
}

// Each copy of the metadata is checked on its own: a damaged one is passed
// over, naming it, and the next good one is read.
TEST(SuperCopies, DamagedCopiesFallBackAndSaySo) {
    TempDir dir;
    SuperFixture s;
    s.minor = 2;
    s.headerFlags = 1;
    s.slots = 3;
    s.parts.push_back({"odm", 4 | 1, 0, test::pattern(8192, 1), 1, 0});
    const std::string path = dir / "super.img";
    struct Case {
        uint64_t at;
        const char* warning; // empty: no warning
        bool opens;
    };
    const uint64_t slot = s.metadataMaxSize;
    const Case cases[] = {
        {0, "", true},
        {test::kSuperSlot0 + 20, "primary metadata of slot 0", true},
        {test::kSuperSlot0 + 300, "tables' SHA-256", true},
        {4096 + 50, "geometry cannot be used", true},
    };
    for (const Case& c : cases) {
        test::writeSuperFixture(s, path);
        if (c.at) {
            std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(c.at));
            f.put('\x5a');
        }
        auto img = loadimage(path);
        ASSERT_EQ(img->root()->children.size(), 1u);
        std::string all;
        for (const std::string& w : img->warnings())
            all += w + "\n";
        if (*c.warning)
            EXPECT_NE(all.find(c.warning), std::string::npos) << all;
        else
            EXPECT_TRUE(all.empty()) << all;
        const auto facts = img->memberFacts(img->root()->children[0]->entry);
        EXPECT_EQ(facts[1].second, "readonly, updated");
    }
    // Every copy of every slot damaged: nothing to read.
    test::writeSuperFixture(s, path);
    {
        std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
        for (uint32_t copy = 0; copy < s.slots * 2; ++copy) {
            f.seekp(static_cast<std::streamoff>(test::kSuperSlot0 + copy * slot));
            f.put('\0');
        }
    }
    EXPECT_THROW(loadimage(path), Error);
}

// Random damage anywhere in the metadata never crashes the reader nor makes
// it read outside the image; what opens lists members inside the file.
TEST(SuperCopies, RandomDamageStaysBounded) {
    TempDir dir;
    SuperFixture s;
    s.deviceSize = 4u << 20;
    s.metadataMaxSize = 4096;
    s.slots = 1;
    s.parts.push_back({"a", 0, 0, test::pattern(65536, 1), 3, 4096});
    s.parts.push_back({"b", 0, 0, test::pattern(4096, 2), 1, 0});
    const std::string path = dir / "super.img";
    test::writeSuperFixture(s, path);
    const Bytes good = test::readFile(path);
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        Bytes bad = good;
        const int flips = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < flips; ++i)
            bad[4096 + rng() % (3 * 4096)] = static_cast<std::byte>(rng());
        test::writeFile(path, bad);
        try {
            auto img = loadimage(path);
            for (const auto& c : img->root()->children) {
                Bytes buf(4096);
                img->ReadRange(c->entry, 0, buf);
            }
        } catch (const Error&) {
        }
    }
}

} // namespace
} // namespace korvane
