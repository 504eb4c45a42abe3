// Damaged and hostile SquashFS images: cut short, claiming sizes and counts
// they do not hold, folders that contain their ancestors, and random damage.
// The reader stays bounded, keeps what it can read and says what it left out.
#include "fs/squashfs/squashfs_format.h"
#include "fuzz/fuzz_support.h"
#include "model/error.h"
#include "squashfs_testutil.h"
#include "support/yaffs2_builder.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <sys/xattr.h>

using namespace korvane;
using namespace korvane::test;
namespace sq = korvane::squashfs;

namespace {

bool warned(const Timg& img, const std::string& part) {
    for (const std::string& w : img.warnings())
        if (w.find(part) != std::string::npos)
            return true;
    return false;
}

// The offset of the first place in bytes [from, to) where pattern lies.
size_t find(const Bytes& bytes, const Bytes& pattern, size_t from = 0, size_t to = SIZE_MAX) {
    to = std::min(to, bytes.size());
    auto it =
        std::search(bytes.begin() + static_cast<ptrdiff_t>(from),
                    bytes.begin() + static_cast<ptrdiff_t>(to), pattern.begin(), pattern.end());
    return it == bytes.begin() + static_cast<ptrdiff_t>(to)
               ? SIZE_MAX
               : static_cast<size_t>(it - bytes.begin());
}

Bytes le32(uint32_t v) {
    Bytes b(4);
    store32(b.data(), v);
    return b;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class SquashfsRobustness : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveProgram("mksquashfs"))
            GTEST_SKIP() << "squashfs-tools are not installed";
        src = dir / "src";
        makeSampleTree(src);
        // Tables stored as they are, so that the tests can find and change
        // the records.
        plain = dir / "plain.sqfs";
        mksquashfs(src, plain, "-noI -noD -noF -noX -noId");
        bytes = readFile(plain);
    }
    std::unique_ptr<Timg> openChanged(const Bytes& changed) {
        const std::string path = dir / "changed.sqfs";
        writeFile(path, changed);
        return openImageFile(path);
    }
    uint64_t super64(size_t at) const { return sq::load64(bytes.data() + at); }

    TempDir dir;
    std::string src;
    std::string plain;
    Bytes bytes;
};

// Cut anywhere, an image is refused with a reason or opens with what it
// holds; contents past the cut fail to read, they never read as garbage.
TEST_F(SquashfsRobustness, CutShort) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < 60; ++i)
        cuts.push_back(bytes.size() * i / 60);
    for (size_t table : {sq::sb::kInodeTable, sq::sb::kDirectoryTable, sq::sb::kFragmentTable,
                         sq::sb::kIdTable, sq::sb::kXattrTable})
        for (size_t delta : {0, 1, 9})
            cuts.push_back(static_cast<size_t>(super64(table)) + delta);
    for (size_t cut : cuts) {
        SCOPED_TRACE(cut);
        fuzz::fuzzImage("squashfs", reinterpret_cast<const uint8_t*>(bytes.data()), cut);
    }
    // Only the attributes lie past this cut: the tree is whole.
    const size_t cut = static_cast<size_t>(super64(sq::sb::kXattrTable)) + 4;
    auto img = openChanged(Bytes(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(cut)));
    EXPECT_TRUE(warned(*img, "the image is cut short")) << img->warnings().front();
    EXPECT_TRUE(warned(*img, "extended attributes"));
    EXPECT_NE(findPath(img->root(), "lib/modules/big.ko"), nullptr);
}

// Inodes, tables and attributes that claim more than the image holds cost
// nothing: the reader says so and reads on.
TEST_F(SquashfsRobustness, ClaimsAreChecked) {
    // A tree whose tables fit one metadata block each, so that the records
    // to change lie in one piece.
    const std::string tree = dir / "claims";
    std::filesystem::create_directories(tree + "/lib");
    writeFile(tree + "/lib/random.bin", pattern(300000, 5));
    writeFile(tree + "/lib/block.bin", pattern(131072, 6));
    writeFile(tree + "/hosts", "127.0.0.1 localhost\n");
    std::filesystem::create_symlink("../etc/hosts", tree + "/lib/hosts.sym");
    ASSERT_EQ(::lsetxattr((tree + "/lib/random.bin").c_str(), "user.big",
                          std::string(3000, 'x').data(), 3000, 0),
              0);
    const std::string image = dir / "claims.sqfs";
    mksquashfs(tree, image, "-noI -noD -noF -noX -noId");
    const Bytes clean = readFile(image);
    const size_t inodes = static_cast<size_t>(sq::load64(clean.data() + sq::sb::kInodeTable));
    const size_t folders = static_cast<size_t>(sq::load64(clean.data() + sq::sb::kDirectoryTable));
    Bytes changed = clean;

    // A file of 2^60 bytes (its extended inode: it has attributes).
    size_t file = SIZE_MAX;
    for (size_t at = inodes; at + sq::xfile::kSize < folders && file == SIZE_MAX; ++at)
        if (load16(clean.data() + at) == sq::kExtFile &&
            sq::load64(clean.data() + at + sq::xfile::kFileSize) == 300000)
            file = at;
    ASSERT_NE(file, SIZE_MAX);
    sq::store64(changed.data() + file + sq::xfile::kFileSize, uint64_t{1} << 60);
    // A link target of 4 GiB.
    const size_t link = find(clean, join({le32(12), bytesOf("../etc/hosts")}), inodes, folders);
    ASSERT_NE(link, SIZE_MAX);
    store32(changed.data() + link, 0xFFFFFFFF);
    // An attribute value of 2 GiB (mksquashfs stores it out of line).
    const size_t value = find(clean, join({le32(3000), bytesOf("xxxxxxxx")}), folders);
    ASSERT_NE(value, SIZE_MAX);
    store32(changed.data() + value, 0x7FFFFFF0);
    // 4 billion fragments.
    store32(changed.data() + sq::sb::kFragmentCount, 0xFFFFFFFF);

    auto img = openChanged(changed);
    EXPECT_TRUE(warned(*img, "/lib/hosts.sym: its inode cannot be read; left out"));
    EXPECT_EQ(findPath(img->root(), "lib/hosts.sym"), nullptr);
    EXPECT_TRUE(warned(*img, "/lib/random.bin: its extended attributes cannot be read"));
    EXPECT_TRUE(warned(*img, "the fragment table counts 4294967295 entries"));
    const Node* random = findPath(img->root(), "lib/random.bin");
    ASSERT_NE(random, nullptr);
    EXPECT_EQ(random->entry.size, uint64_t{1} << 60);
    Bytes piece(4096);
    EXPECT_THROW(img->ReadRange(random->entry, 0, MutableByteSpan(piece)), Error);
    // What does not need the fragment table still reads.
    const Node* block = findPath(img->root(), "lib/block.bin");
    ASSERT_NE(block, nullptr);
    Bytes whole(static_cast<size_t>(block->entry.size));
    ASSERT_EQ(img->ReadRange(block->entry, 0, MutableByteSpan(whole)), whole.size());
    EXPECT_EQ(whole, pattern(131072, 6));
    const Node* hosts = findPath(img->root(), "hosts");
    ASSERT_NE(hosts, nullptr);
    EXPECT_THROW(img->ReadRange(hosts->entry, 0, MutableByteSpan(piece)), Error);
}

// A folder that names an ancestor (or a folder read before) is left out: the
// walk ends.
TEST_F(SquashfsRobustness, FolderLoops) {
    const std::string tree = dir / "loop";
    std::filesystem::create_directories(tree + "/outer/inner-loop");
    writeFile(tree + "/file", "x");
    const std::string image = dir / "loop.sqfs";
    mksquashfs(tree, image, "-noI -noD -noF -noX -noId");
    Bytes changed = readFile(image);
    // The listing of /outer: a header and one entry, "inner-loop", whose
    // inode the header and entry point at; point them at the root instead.
    const size_t name =
        find(changed, bytesOf("inner-loop"),
             static_cast<size_t>(sq::load64(changed.data() + sq::sb::kDirectoryTable)));
    ASSERT_NE(name, SIZE_MAX);
    const size_t entry = name - sq::dirent::kSize;
    const size_t header = entry - sq::dirhdr::kSize;
    const uint64_t root = sq::load64(changed.data() + sq::sb::kRootInode);
    store32(changed.data() + header + sq::dirhdr::kStartBlock, static_cast<uint32_t>(root >> 16));
    store16(changed.data() + entry + sq::dirent::kOffset, static_cast<uint16_t>(root & 0xFFFF));

    writeFile(dir / "changed.sqfs", changed);
    auto img = openImageFile(dir / "changed.sqfs");
    EXPECT_TRUE(warned(*img, "/outer/inner-loop: names a folder whose listing was read before"));
    EXPECT_NE(findPath(img->root(), "outer"), nullptr);
    EXPECT_EQ(findPath(img->root(), "outer/inner-loop"), nullptr);
    EXPECT_NE(findPath(img->root(), "file"), nullptr);
}

// Random damage anywhere in small images, stored and compressed: every image
// opens or is refused, and all it lists reads consistently (the fuzzing
// harness's checks).
TEST_F(SquashfsRobustness, RandomDamage) {
    const std::string small = dir / "small";
    std::filesystem::create_directories(small + "/d");
    writeFile(small + "/d/a", "alpha");
    writeFile(small + "/b", bytesOf(std::string(20000, 'b')));
    std::filesystem::create_symlink("d/a", small + "/s");
    for (const char* layout : {"-noI -noD -noF -noX -noId", "-comp xz", "-comp lz4 -b 4096"}) {
        const std::string image = dir / "small.sqfs";
        mksquashfs(small, image, layout);
        const Bytes clean = readFile(image);
        std::mt19937 rng(7);
        for (int round = 0; round < 300; ++round) {
            Bytes b = clean;
            const int changes = 1 + static_cast<int>(rng() % 6);
            for (int k = 0; k < changes; ++k)
                b[rng() % b.size()] = static_cast<std::byte>(rng());
            fuzz::fuzzImage("squashfs", reinterpret_cast<const uint8_t*>(b.data()), b.size());
        }
    }
}

} // namespace
