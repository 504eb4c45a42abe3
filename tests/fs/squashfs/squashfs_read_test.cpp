// Reading SquashFS images mksquashfs made: every compressor, block sizes,
// fragments or none, uncompressed tables; the tree against `unsquashfs
// -lln`, the extracted files against unsquashfs's extraction.
#include "model/error.h"
#include "squashfs_testutil.h"
#include "support/yaffs2_builder.h"
#include "transfer/image_chain.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <thread>

using namespace korvane;
using namespace korvane::test;

namespace {

class SquashfsRead : public ::testing::Test {
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

// One image for each way mksquashfs lays out what Korvane reads; each is
// listed, read and extracted as unsquashfs does it.
TEST_F(SquashfsRead, MatchesUnsquashfsForEveryLayout) {
    const char* const layouts[] = {
        "-comp gzip",
        "-comp xz",
        "-comp lzo",
        "-comp lz4",
        "-comp zstd",
        "-comp gzip -b 4096",
        "-comp xz -b 1048576 -Xbcj x86",
        "-comp gzip -Xcompression-level 1 -Xwindow-size 10",
        "-comp lz4 -Xhc",
        "-comp lzo -Xalgorithm lzo1x_1",
        "-comp zstd -Xcompression-level 3",
        "-noI -noD -noF -noX -noId",
        "-no-fragments",
        "-always-use-fragments",
        "-no-xattrs -no-duplicates -no-exports",
    };
    for (const char* layout : layouts) {
        SCOPED_TRACE(layout);
        const std::string image = dir / "img.sqfs";
        mksquashfs(src, image, layout);
        auto img = openImageFile(image);
        ASSERT_EQ(img->formatName(), "SquashFS");
        EXPECT_TRUE(img->warnings().empty()) << img->warnings().front();
        EXPECT_EQ(korvaneListing(*img), peerListing(image));

        const std::string ours = dir / "ours";
        const std::string peer = dir / "peer";
        extractAll(*img, ours);
        unsquashfs(image, peer);
        EXPECT_EQ(statTree(ours, true), statTree(peer, true));
        EXPECT_EQ(diskTree(ours, false), diskTree(peer, false));
        std::filesystem::remove_all(ours);
        std::filesystem::remove_all(peer);
    }
}

// Holes stay holes, hard links are links, and `info` names what the
// superblock says.
TEST_F(SquashfsRead, HolesLinksAndFacts) {
    const std::string image = dir / "img.sqfs";
    mksquashfs(src, image, "-comp xz -b 65536");
    auto img = openImageFile(image);
    Node* sparse = findPath(img->root(), "lib/sparse.img");
    ASSERT_NE(sparse, nullptr);
    std::vector<ContentRange> data;
    for (uint64_t at = 0; at < sparse->entry.size;) {
        const ContentRange r = img->nextData(sparse->entry, at);
        if (r.begin == r.end)
            break;
        data.push_back(r);
        at = r.end;
    }
    ASSERT_EQ(data.size(), 1u);
    EXPECT_EQ(data[0].begin, 1u << 20);
    EXPECT_EQ(data[0].end, (1u << 20) + 65536);

    const Node* link = findPath(img->root(), "many/hosts.link");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->entry.objType, kTypeHardlink);
    EXPECT_EQ(img->nodeFor(link->entry.linkInfo), findPath(img->root(), "etc/hosts"));

    std::map<std::string, std::string> facts;
    for (auto& [label, value] : img->describe())
        facts[label] = value;
    EXPECT_EQ(facts["compression"], "xz");
    EXPECT_EQ(facts["block size"], "65536");
    EXPECT_EQ(facts["hard links"], "2");
    EXPECT_EQ(facts["left out"], "0");
}

// A SquashFS image that is a file of another image is read where it lies:
// no copy of it is made.
TEST_F(SquashfsRead, InsideAnotherImageInPlace) {
    if (!haveProgram("mke2fs"))
        GTEST_SKIP() << "e2fsprogs are not installed";
    const std::string outer = dir / "outer";
    std::filesystem::create_directories(outer);
    mksquashfs(src, outer + "/system.sqfs", "-comp zstd");
    const std::string ext = dir / "outer.ext4";
    ASSERT_EQ(
        run("mke2fs -q -F -t ext4 -d " + shellQuote(outer) + " " + shellQuote(ext) + " 16M").status,
        0);
    ImageChain chain = ImageChain::open(ext, {"/system.sqfs"});
    Timg& img = chain.top();
    ASSERT_EQ(img.formatName(), "SquashFS");
    EXPECT_EQ(img.data(), nullptr) << "the member was copied into a file of its own";
    EXPECT_EQ(korvaneListing(img), peerListing(outer + "/system.sqfs"));
    const Node* ko = findPath(img.root(), "lib/modules/big.ko");
    ASSERT_NE(ko, nullptr);
    Bytes bytes(static_cast<size_t>(ko->entry.size));
    ASSERT_EQ(img.ReadRange(ko->entry, 0, MutableByteSpan(bytes)), bytes.size());
    EXPECT_EQ(bytes, readFile(src + "/lib/modules/big.ko"));
}

// On an image large enough for the workers that unpack ahead, readers on
// several threads at once, each going through files and their fragments
// out of order, get the files' bytes. gzip keeps state in its decompressor,
// and the inodes fill several metadata blocks: each reader must unpack them
// with a decompressor of its own.
TEST_F(SquashfsRead, ReadersOnManyThreadsShareTheUnpackedBlocks) {
    const std::string big = dir / "big";
    std::filesystem::create_directories(big);
    std::vector<Bytes> contents;
    for (uint32_t i = 0; i < 400; ++i) {
        contents.push_back(pattern(i % 40 == 0 ? (1u << 20) + i * 4099 : i * 150, 100 + i));
        writeFile(big + "/f" + std::to_string(i), contents.back());
    }
    const std::string image = dir / "big.sqfs";
    mksquashfs(big, image, "-comp gzip -b 65536");
    ASSERT_GE(std::filesystem::file_size(image), 4u << 20) << "too small to be read ahead";
    auto img = openImageFile(image);
    std::vector<std::thread> readers;
    std::vector<int> wrong(4, 0);
    for (size_t t = 0; t < wrong.size(); ++t)
        readers.emplace_back([&, t] {
            for (size_t k = 0; k < contents.size(); ++k) {
                const size_t i = (k * 7 + t * 13) % contents.size();
                const Node* n = findPath(img->root(), "f" + std::to_string(i));
                Bytes got(contents[i].size());
                try {
                    if (!n || img->ReadRange(n->entry, 0, MutableByteSpan(got)) != got.size() ||
                        got != contents[i])
                        ++wrong[t];
                } catch (const Error&) {
                    ++wrong[t];
                }
            }
        });
    for (std::thread& r : readers)
        r.join();
    EXPECT_EQ(wrong, std::vector<int>(wrong.size(), 0));
}

} // namespace
