// Writing SquashFS images, read back by the peers: unsquashfs (listing and
// extraction), the kernel (a loop mount) and 7-Zip; what the writer keeps
// like the source, and what it refuses or warns about.
#include "fs/registry.h"
#include "model/error.h"
#include "squashfs_testutil.h"
#include "support/tree_nodes.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <filesystem>
#include <gtest/gtest.h>

using namespace korvane;
using namespace korvane::test;

namespace {

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

// The superblock facts unsquashfs -s prints, one a line.
std::string peerFacts(const std::string& image) {
    return run("TZ=UTC unsquashfs -s " + shellQuote(image)).out;
}

bool says(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

SaveRequest squashfsRequest(const std::string& path, FormatOptions options = {},
                            bool likeSource = false) {
    SaveRequest req;
    req.path = path;
    req.type = "squashfs";
    req.options = std::move(options);
    req.likeSource = likeSource;
    return req;
}

class SquashfsWrite : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveProgram("mksquashfs") || !haveProgram("unsquashfs"))
            GTEST_SKIP() << "squashfs-tools are not installed";
        src = dir / "src";
        makeSampleTree(src);
    }
    TempDir dir;
    std::string src;
};

// A folder packed with every compressor reads back, through every peer, as
// the folder it was.
TEST_F(SquashfsWrite, PeersReadWhatIsPacked) {
    const std::string want = statTree(src, true);
    for (const char* comp : kCompressors) {
        SCOPED_TRACE(comp);
        const std::string image = dir / (std::string(comp) + ".sqfs");
        CommandResult r = run(cli("pack " + shellQuote(src) + " " + shellQuote(image) +
                                  " --to squashfs --comp " + comp));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(says(peerFacts(image), std::string("Compression ") + comp));
        EXPECT_EQ(std::filesystem::file_size(image) % 4096, 0u);

        auto img = openImageFile(image);
        EXPECT_EQ(korvaneListing(*img), peerListing(image));
        const std::string peer = dir / "peer";
        unsquashfs(image, peer);
        EXPECT_EQ(statTree(peer, true), want);
        EXPECT_EQ(diskTree(peer, false), diskTree(src, false));
        std::filesystem::remove_all(peer);

        const std::string mnt = dir / "mnt";
        LoopMount mount(image, mnt);
        if (mount.ok()) {
            EXPECT_EQ(statTree(mnt, true), want);
        } else if (std::string(comp) == "gzip") {
            std::printf("[  NOTE    ] the kernel was not asked: %s\n", mount.error().c_str());
        }

        // 7-Zip reads no LZ4 SquashFS image (not mksquashfs's either).
        if (haveProgram("7zz") && std::string(comp) != "lz4") {
            r = run("7zz l -ba " + shellQuote(image));
            EXPECT_EQ(r.status, 0) << r.out << r.err;
            for (const char* name : {"lib/modules/big.ko", "many/f1299.dat", "etc/hosts"})
                EXPECT_TRUE(says(r.out, name)) << name << "\n" << r.out;
        }
    }
}

// Converting an image keeps its compressor and its options, block size and
// time; options given override them.
TEST_F(SquashfsWrite, LikeTheSource) {
    const std::string source = dir / "source.sqfs";
    mksquashfs(src, source, "-comp xz -b 65536 -Xbcj x86 -mkfs-time 1600000000");
    const std::string out = dir / "out.sqfs";
    CommandResult r = run(cli("convert " + shellQuote(source) + " " + shellQuote(out)));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string facts = peerFacts(out);
    EXPECT_TRUE(says(facts, "Compression xz")) << facts;
    EXPECT_TRUE(says(facts, "Block size 65536")) << facts;
    EXPECT_TRUE(says(facts, "x86")) << facts;
    EXPECT_TRUE(says(facts, "Sun Sep 13 12:26:40 2020")) << facts;
    const std::string peer = dir / "peer";
    unsquashfs(out, peer);
    EXPECT_EQ(statTree(peer, true), statTree(src, true));

    r = run(cli("convert " + shellQuote(source) + " " + shellQuote(out) +
                " --comp zstd --comp-level 19 --block-size 256K"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(says(peerFacts(out), "Compression zstd")) << peerFacts(out);
    EXPECT_TRUE(says(peerFacts(out), "Block size 262144"));
    EXPECT_TRUE(says(run(cli("info " + shellQuote(out))).out, "zstd (level 19)"));

    const struct {
        const char* args;
        const char* says;
    } refused[] = {
        {"--block-size 12288", "--block-size takes a power of two"},
        {"--block-size 2M", "--block-size takes a number from 4096 to 1048576"},
        {"--comp lz4 --comp-level 3", "--comp-level: lz4 takes no level"},
        {"--comp gzip --comp-level 12", "gzip takes levels from 1 to 9, not 12"},
        {"--comp brotli", "--comp"},
    };
    for (const auto& c : refused) {
        r = run(cli("convert " + shellQuote(source) + " " + shellQuote(dir / "no.sqfs") + " " +
                    c.args));
        EXPECT_NE(r.status, 0) << c.args;
        EXPECT_TRUE(says(r.err, c.says)) << c.args << ": " << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "no.sqfs"));
    }
}

// An image Korvane read, written again, reads back the same; one thread or
// several write the same bytes.
TEST_F(SquashfsWrite, RewritingIsExactAndThreadsAgree) {
    const std::string source = dir / "source.sqfs";
    mksquashfs(src, source, "-comp gzip");
    auto img = openImageFile(source);
    std::string previous;
    for (const char* jobs : {"1", "2", "5"}) {
        const std::string out = dir / (std::string("jobs") + jobs + ".sqfs");
        ASSERT_TRUE(saveas(*img, squashfsRequest(out, {{"jobs", jobs}}, true)));
        const std::string bytes = toString(readFile(out));
        if (!previous.empty()) {
            EXPECT_TRUE(bytes == previous) << jobs << " threads wrote other bytes";
        }
        previous = bytes;
    }
    auto again = openImageFile(dir / "jobs1.sqfs");
    EXPECT_EQ(korvaneListing(*again), korvaneListing(*img));
    const std::string a = dir / "a";
    const std::string b = dir / "b";
    extractAll(*img, a);
    extractAll(*again, b);
    EXPECT_EQ(statTree(a, true), statTree(b, true));
}

// What SquashFS cannot hold is refused before a byte is written, naming the
// object; what it holds only in part is written with a warning.
TEST_F(SquashfsWrite, RefusesAndWarns) {
    const std::string out = dir / "out.sqfs";
    auto save = [&](Timg& img, std::vector<Message>* warnings = nullptr) {
        return saveas(img, squashfsRequest(out), warnings);
    };
    const struct {
        const char* what;
        std::function<void(Timg&, Node*)> make;
        const char* says;
    } refused[] = {
        {"hard link to a folder",
         [](Timg& img, Node* root) {
             addHardlink(img, root, "l", addNode(img, root, "d", kTypeDirectory, 0755));
         },
         "/l is a hard link to a folder"},
        {"device number",
         [](Timg& img, Node* root) {
             addSpecial(img, root, "dev", kTypeSpecial, kModeCharDevice | 0600, {5000, 1});
         },
         "/dev has 5000:1"},
        {"empty link target", [](Timg& img, Node* root) { addSymlink(img, root, "s", ""); },
         "/s is 0 bytes long"},
        {"long name",
         [](Timg& img, Node* root) { addFile(img, root, std::string(257, 'x'), bytesOf("x")); },
         "is 257 bytes long"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.what);
        auto img = newimage();
        c.make(*img, img->root());
        try {
            save(*img);
            ADD_FAILURE() << "saved";
        } catch (const Error& e) {
            EXPECT_TRUE(says(e.what(), c.says)) << e.what();
        }
        EXPECT_FALSE(std::filesystem::exists(out));
    }

    auto img = newimage();
    Node* f = addFile(*img, img->root(), "old", bytesOf("before 1970"));
    f->entry.mtime = -86400;
    f->entry.xattrs = {{"system.posix_acl_access", "acl"}, {"user.kept", "yes"}};
    std::vector<Message> warnings;
    ASSERT_TRUE(save(*img, &warnings));
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_TRUE(says(warnings[0].english(), "the time of /old was moved"));
    EXPECT_TRUE(says(warnings[1].english(), "system.posix_acl_access of /old is left out"));
    auto back = openImageFile(out);
    const Node* old = findPath(back->root(), "old");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(old->entry.mtime, 0);
    EXPECT_EQ(old->entry.xattrs, (std::vector<Xattr>{{"user.kept", "yes"}}));
}

// A cancelled save leaves nothing behind.
TEST_F(SquashfsWrite, CancelLeavesNothing) {
    struct Canceller : WorkSink {
        Timg* img = nullptr;
        void report(int64_t, int64_t, int kind, const Message&, uint8_t) override {
            if (kind == 5)
                img->cancel = 1;
        }
    } sink;
    auto img = openImageFile([&] {
        const std::string image = dir / "source.sqfs";
        mksquashfs(src, image);
        return image;
    }());
    sink.img = img.get();
    img->onwk = &sink;
    const std::string out = dir / "out.sqfs";
    EXPECT_FALSE(saveas(*img, squashfsRequest(out)));
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              2) // src and source.sqfs
        << "a temporary file was left behind";
}

} // namespace
