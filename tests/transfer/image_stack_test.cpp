// The image stack: what the probes decide for each kind of bytes, sources
// made of stretches of another, images opened inside images and saved back
// around them.
#include "model/error.h"
#include "model/tree.h"
#include "source/extent_source.h"
#include "source/image_data.h"
#include "support/testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/edit.h"
#include "transfer/image_chain.h"
#include "transfer/loadimage.h"
#include "transfer/saveas.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <unistd.h>

namespace korvane {
namespace {

using test::CommandResult;
using test::run;
using test::shellQuote;
using test::TempDir;

std::string cli(const std::string& args) {
    return std::string(KORVANE_CLI) + " " + args;
}

void mustRun(const std::string& command) {
    CommandResult r = run(command);
    ASSERT_EQ(r.status, 0) << command << "\n" << r.out << r.err;
}

// A small YAFFS2 image with a folder and a file.
Bytes yaffs2Image() {
    test::Yaffs2Builder b;
    b.root();
    b.dir(257, 1, "etc");
    b.file(258, 257, "hosts", test::pattern(3000, 7));
    return b.bytes();
}

// An ext4 image of folder src (mke2fs -d).
void makeExt4(const std::string& src, const std::string& image, const std::string& size = "4M") {
    mustRun("mke2fs -q -F -t ext4 -d " + shellQuote(src) + " " + shellQuote(image) + " " + size);
}

std::string formatOfBytes(Bytes bytes) {
    Identification id = identify(ImageData::fromBytes(std::move(bytes)));
    std::string layers;
    for (const std::string& l : id.layers)
        layers += l + ">";
    return id.probes.empty() ? layers + "none" : layers + id.probes.front().format->name;
}

TEST(ImageStack, ProbesPickTheFormatByItsStructure) {
    TempDir dir;
    // An ext4 image holding a YAFFS2 image as a file, and the reverse.
    std::filesystem::create_directories(dir / "src");
    test::writeFile(dir / "src/flash.yaffs2", yaffs2Image());
    makeExt4(dir / "src", dir / "ext4-with-yaffs2.img");
    makeExt4(dir / "src", dir / "plain.ext4", "1M");
    const Bytes ext4 = test::readFile(dir / "plain.ext4");
    test::Yaffs2Builder y;
    y.root();
    y.file(257, 1, "ext.img", ext4);
    mustRun("img2simg " + shellQuote(dir / "plain.ext4") + " " + shellQuote(dir / "plain.simg"));

    std::mt19937 rng(5);
    Bytes noise(1 << 20);
    for (auto& b : noise)
        b = static_cast<std::byte>(rng());
    const struct {
        const char* what;
        Bytes bytes;
        const char* format;
    } cases[] = {
        {"ext4", ext4, "ext"},
        {"YAFFS2", yaffs2Image(), "yaffs2"},
        {"sparse ext4", test::readFile(dir / "plain.simg"), "sparse>ext"},
        {"ext4 holding a YAFFS2 image", test::readFile(dir / "ext4-with-yaffs2.img"), "ext"},
        {"YAFFS2 holding an ext4 image", y.bytes(), "yaffs2"},
        {"random bytes", noise, "none"},
        {"zeros", Bytes(1 << 20), "none"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formatOfBytes(c.bytes), c.format) << c.what;
    // The YAFFS2 layout statistics are not gathered over bytes another probe
    // verified (mke2fs's ext4 has checksums).
    for (const ProbeResult& p : identify(ImageData::fromBytes(ext4)).probes)
        EXPECT_STRNE(p.format->name, "yaffs2");
}

TEST(ImageStack, ExtentSourcesReadExactlyTheirBytes) {
    std::mt19937 rng(11);
    Bytes parentBytes(64 << 10);
    for (auto& b : parentBytes)
        b = static_cast<std::byte>(rng());
    std::shared_ptr<const ImageSource> parent = ImageData::fromBytes(parentBytes);
    for (int round = 0; round < 200; ++round) {
        // Random extents, some of zeros, some running past the parent.
        std::vector<SourceExtent> extents;
        Bytes expected;
        for (int n = 1 + static_cast<int>(rng() % 5); n > 0; --n) {
            SourceExtent x{1 + rng() % 9000, rng() % (70 << 10), rng() % 4 == 0};
            extents.push_back(x);
            for (uint64_t i = 0; i < x.length; ++i)
                expected.push_back(x.zero || x.at + i >= parentBytes.size()
                                       ? std::byte{0}
                                       : parentBytes[x.at + i]);
        }
        ExtentSource src(parent, extents);
        ASSERT_EQ(src.size(), expected.size());
        for (int probe = 0; probe < 20; ++probe) {
            const uint64_t at = rng() % (expected.size() + 100);
            Bytes got(rng() % 5000);
            (probe % 2 ? src.readThrough(at, got) : src.read(at, got));
            for (size_t i = 0; i < got.size(); ++i)
                ASSERT_EQ(got[i], at + i < expected.size() ? expected[at + i] : std::byte{0})
                    << "round " << round << " at " << at + i;
            if (const std::byte* p = src.contiguous(at, got.size())) {
                ASSERT_EQ(0, std::memcmp(p, expected.data() + at, got.size()));
            }
        }
    }
    // A range is one extent: its bytes, nothing before or after.
    auto range = rangeSource(parent, 1000, 3000);
    Bytes got(3000);
    range->read(0, got);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), parentBytes.begin() + 1000));
    EXPECT_NE(range->contiguous(0, 3000), nullptr);
    EXPECT_EQ(range->contiguous(1, 3000), nullptr);
}

// Where an image says a file's bytes are stored as they read (for copies
// the kernel makes), the file holds exactly what reading gives: ext4 plain
// and sparse, EROFS.
TEST(ImageStack, StoredContentsHoldWhatReadingGives) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    std::mt19937 rng(3);
    for (uint64_t size : {1ull, 4095ull, 4096ull, 70000ull, 3ull << 20}) {
        Bytes b(size);
        for (auto& x : b)
            x = static_cast<std::byte>(rng());
        test::writeFile(dir / ("src/f" + std::to_string(size)), b);
    }
    mustRun("truncate -s 8M " + shellQuote(dir / "src/holes") + " && printf x | dd of=" +
            shellQuote(dir / "src/holes") + " bs=1 seek=5000000 conv=notrunc status=none");
    makeExt4(dir / "src", dir / "a.img", "16M");
    mustRun("img2simg " + shellQuote(dir / "a.img") + " " + shellQuote(dir / "a.simg"));
    std::vector<std::string> images = {"a.img", "a.simg"};
    if (test::haveProgram("mkfs.erofs")) {
        mustRun("mkfs.erofs " + shellQuote(dir / "a.erofs") + " " + shellQuote(dir / "src") +
                " >/dev/null");
        images.push_back("a.erofs");
    }
    for (const std::string& name : images) {
        auto img = loadimage(dir / name);
        uint64_t stored = 0;
        for (const char* path : {"f1", "f4095", "f4096", "f70000", "f3145728", "holes"}) {
            const Node* n = findPath(img->root(), path);
            ASSERT_NE(n, nullptr) << name << " " << path;
            const TImgEntry& e = n->entry;
            for (uint64_t pos = 0; pos < e.size;) {
                const ContentRange r = img->nextData(e, pos);
                if (r.begin >= r.end)
                    break;
                pos = r.begin;
                // Pieces of an odd length, so that most start inside a block.
                const auto s = img->storedContents(e, pos, std::min<uint64_t>(r.end - pos, 100003));
                const uint64_t len = s ? s->length : std::min<uint64_t>(r.end - pos, 4096);
                ASSERT_GT(len, 0u);
                Bytes want(len), got(len);
                ASSERT_EQ(img->ReadRange(e, pos, want), len);
                if (s) {
                    ASSERT_EQ(
                        ::pread(s->file.fd, got.data(), len, static_cast<off_t>(s->file.offset)),
                        static_cast<ssize_t>(len));
                    ASSERT_EQ(got, want) << name << " " << path << " at " << pos;
                    stored += len;
                }
                pos += len;
            }
        }
        EXPECT_GT(stored, 3u << 20) << name;
    }
}

// The tree of an image as lines, for comparing two reads of it.
std::string treeText(Timg& img) {
    return test::describeTree(img);
}

TEST(ImageStack, ImagesInsideImagesOpenAndSaveOutward) {
    if (!test::haveProgram("img2simg") || !test::haveProgram("e2fsck"))
        GTEST_SKIP() << "needs img2simg and e2fsck";
    TempDir dir;
    std::filesystem::create_directories(dir / "inner/etc");
    std::filesystem::create_directories(dir / "outer");
    test::writeFile(dir / "inner/etc/hosts", std::string("127.0.0.1 localhost\n"));
    makeExt4(dir / "inner", dir / "outer/system.img", "2M");
    test::writeFile(dir / "outer/flash.yaffs2", yaffs2Image());
    makeExt4(dir / "outer", dir / "outer.img", "8M");
    mustRun("img2simg " + shellQuote(dir / "outer.img") + " " + shellQuote(dir / "outer.simg"));

    // Nested: a sparse ext4 image, its file system.img, which is ext4 again,
    // lists as the plain image does; a YAFFS2 image inside opens too.
    ImageChain chain = ImageChain::open(dir / "outer.simg", {"system.img"});
    ASSERT_EQ(chain.depth(), 2u);
    EXPECT_EQ(chain.top().formatId(), "ext");
    auto plain = loadimage(dir / "outer/system.img");
    EXPECT_EQ(treeText(chain.top()), treeText(*plain));
    ImageChain flash = ImageChain::open(dir / "outer.img", {"/flash.yaffs2"});
    EXPECT_EQ(flash.top().formatId(), "yaffs2");
    EXPECT_NE(findPath(flash.top().root(), "etc/hosts"), nullptr);

    // An edit inside is saved into the image around it, which stays sparse
    // ext4 and passes e2fsck, as does the image inside.
    Timg& inner = chain.top();
    newdir(inner, inner.root()->entry.objId, "added");
    inner.modified = true;
    ASSERT_TRUE(chain.save(sameAsSource(inner, dir / "saved.simg")));
    ImageChain back = ImageChain::open(dir / "saved.simg", {"system.img"});
    EXPECT_EQ(back.at(0).layers(), std::vector<std::string>{"sparse"});
    EXPECT_NE(findPath(back.top().root(), "added"), nullptr);
    EXPECT_NE(findPath(back.top().root(), "etc/hosts"), nullptr);
    mustRun("simg2img " + shellQuote(dir / "saved.simg") + " " + shellQuote(dir / "saved.img"));
    mustRun("e2fsck -fn " + shellQuote(dir / "saved.img"));
    mustRun(cli("cat " + shellQuote(dir / "saved.img") + " /system.img > " +
                shellQuote(dir / "system-back.img")));
    mustRun("e2fsck -fn " + shellQuote(dir / "system-back.img"));

    // The same from korvane-cli: --part reaches the image inside.
    CommandResult r = run(cli("ls " + shellQuote(dir / "saved.simg") + " --part system.img /"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("/added"), std::string::npos) << r.out;
    r = run(cli("ls " + shellQuote(dir / "saved.simg") + " --part nope /"));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("nope"), std::string::npos) << r.err;
}

TEST(ImageStack, EditAndConvertKeepAnExtImageHoldingYaffs2) {
    TempDir dir;
    std::filesystem::create_directories(dir / "src");
    test::writeFile(dir / "src/flash.yaffs2", yaffs2Image());
    makeExt4(dir / "src", dir / "a.img");
    mustRun(cli("edit " + shellQuote(dir / "a.img") + " -e 'mkdir /new'"));
    mustRun(cli("convert " + shellQuote(dir / "a.img") + " " + shellQuote(dir / "b.img")));
    for (const char* name : {"a.img", "b.img"}) {
        auto img = loadimage(dir / name);
        EXPECT_EQ(img->formatName(), "EXT4") << name;
        EXPECT_NE(findPath(img->root(), "new"), nullptr) << name;
        mustRun("e2fsck -fn " + shellQuote(dir / name));
    }
    // info names what it found and, when asked, opens the bytes as another
    // format.
    CommandResult r = run(cli("info " + shellQuote(dir / "a.img")));
    EXPECT_NE(r.out.find("identified by:"), std::string::npos) << r.out;
    r = run(cli("ls --format yaffs2 " + shellQuote(dir / "a.img")));
    EXPECT_EQ(r.status, 1) << r.out;
}

} // namespace
} // namespace korvane
