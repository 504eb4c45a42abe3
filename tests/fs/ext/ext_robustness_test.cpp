// Damaged EXT images must open (or be refused with a message) and read
// without a fault: the suite runs under AddressSanitizer and UBSan. Each
// variant corrupts one structure of a valid image: the superblock, the group
// descriptors, an inode, a block map, an indirect block or a directory block.
#include "ext_testutil.h"
#include "fs/ext/ext2_format.h"
#include "model/error.h"
#include "source/image_data.h"
#include "support/yaffs2_builder.h"
#include "transfer/loadimage.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>

using namespace korvane;
using namespace korvane::test;

namespace {

struct Base {
    Bytes bytes;
    uint32_t blockSize = 0;
    uint64_t blocksCount = 0;
    size_t gdtOffset = 0;
    std::vector<size_t> inodes;    // byte offsets of the inodes in use
    std::vector<size_t> dirBlocks; // byte offsets of directory blocks
    std::vector<size_t> indirect;  // byte offsets of indirect blocks
};

Base describeBase(Bytes bytes) {
    Base b;
    auto img = openExt(bytes);
    EXPECT_TRUE(img->warnings().empty());
    const ext2::Superblock& s = img->superblock();
    b.blockSize = s.blockSize;
    b.blocksCount = s.blocksCount;
    b.gdtOffset = ext2::descriptorBlock(s, 0) * s.blockSize;
    const uint64_t table = load32(bytes.data() + b.gdtOffset + ext2::gd::kInodeTable);
    forEachPreorder(img->root(), [&](Node* n) {
        const TImgEntry& e = n->entry;
        if (e.objType == kTypeHardlink)
            return;
        b.inodes.push_back(table * s.blockSize + (e.objId - 1) * size_t{s.inodeSize});
        ext2::Inode inode;
        ASSERT_TRUE(img->loadInodeAt(e.objId, inode));
        if (e.objType == kTypeDirectory)
            for (size_t i = 0; i < 12 && inode.blocks[i]; ++i)
                b.dirBlocks.push_back(size_t{inode.blocks[i]} * s.blockSize);
        for (size_t i = ext2::kIndirectSlot; i < ext2::kBlockSlots; ++i)
            if (e.objType == kTypeFile && inode.blocks[i])
                b.indirect.push_back(size_t{inode.blocks[i]} * s.blockSize);
    });
    // Extent-mapped objects keep no block numbers in i_block: keep what lies
    // in the image.
    for (auto* v : {&b.dirBlocks, &b.indirect})
        std::erase_if(*v, [&](size_t at) { return at + s.blockSize > bytes.size(); });
    EXPECT_FALSE(b.dirBlocks.empty());
    if (b.indirect.empty()) // extents and inline data: damage the inodes' i_block instead
        b.indirect = b.inodes;
    b.bytes = std::move(bytes);
    return b;
}

std::vector<Base> baseImages() {
    TempDir t;
    const std::string src = t / "src";
    std::filesystem::create_directories(src + "/d/e/f");
    writeFile(src + "/empty", std::string());
    writeFile(src + "/d/small", pattern(700, 1));
    writeFile(src + "/d/e/thirteen", pattern(13 * 1024 + 5, 2));
    writeFile(src + "/d/e/f/double", pattern(300 * 1024, 3));
    writeFile(src + "/d/quad", pattern(1040 * 4096 / 8, 4));
    std::filesystem::create_symlink("d/small", src + "/fast");
    std::filesystem::create_symlink(std::string(80, 'q'), src + "/d/slow");
    std::filesystem::create_hard_link(src + "/d/small", src + "/d/e/hard");
    for (int i = 0; i < 40; ++i)
        writeFile(src + "/d/e/name_long_enough_to_fill_blocks_" + std::to_string(i), "x");
    std::vector<Base> out;
    const char* makers[] = {
        "mke2fs -q -F -t ext2 -b 1024 -I 128 -N 96 -d SRC IMG 2M",
        "mke2fs -q -F -t ext2 -b 4096 -I 256 -N 96 -d SRC IMG 2M",
        "genext2fs -b 2048 -N 96 -d SRC IMG",
        "mke2fs -q -F -t ext4 -b 1024 -N 96 -d SRC IMG 4M",
        "mke2fs -q -F -t ext4 -b 4096 -N 96 -O inline_data -d SRC IMG 4M",
    };
    for (std::string cmd : makers) {
        const std::string image = t / "base.img";
        cmd.replace(cmd.find("SRC"), 3, shellQuote(src));
        cmd.replace(cmd.find("IMG"), 3, shellQuote(image));
        mustRun(cmd);
        out.push_back(describeBase(readFile(image)));
    }
    return out;
}

uint32_t interesting(std::mt19937& rng, const Base& b) {
    switch (rng() % 8) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return 0xFFFFFFFF;
    case 3:
        return static_cast<uint32_t>(b.blocksCount - 1 + rng() % 3);
    case 4:
        return static_cast<uint32_t>(rng() % b.blocksCount);
    case 5:
        return 0x80000000u >> (rng() % 32);
    case 6:
        return static_cast<uint32_t>(rng() % 64);
    default:
        return static_cast<uint32_t>(rng());
    }
}

template <typename T>
const T& pick(std::mt19937& rng, const std::vector<T>& v) {
    return v[rng() % v.size()];
}

void scribble(std::mt19937& rng, Bytes& img, size_t at, size_t span, int count) {
    for (int k = 0; k < count; ++k)
        img[std::min(at + rng() % span, img.size() - 1)] = static_cast<std::byte>(rng());
}

void store32At(Bytes& img, size_t at, uint32_t v) {
    if (at + 4 <= img.size())
        store32(img.data() + at, v);
}

void corrupt(std::mt19937& rng, const Base& b, Bytes& img) {
    const size_t bs = b.blockSize;
    switch (rng() % 8) {
    case 0: // superblock bytes
        scribble(rng, img, ext2::kSuperblockOffset, 264, 1 + static_cast<int>(rng() % 4));
        break;
    case 1: // a superblock field
        store32At(img, ext2::kSuperblockOffset + 4 * (rng() % 27), interesting(rng, b));
        break;
    case 2: // group descriptors
        if (rng() % 2)
            store32At(img, b.gdtOffset + 4 * (rng() % 8), interesting(rng, b));
        else
            scribble(rng, img, b.gdtOffset, 64, 1 + static_cast<int>(rng() % 4));
        break;
    case 3: // inode fields
        scribble(rng, img, pick(rng, b.inodes), ext2::kInodeReadSize,
                 1 + static_cast<int>(rng() % 6));
        break;
    case 4: // block maps
        for (int k = 0, n = 1 + static_cast<int>(rng() % 3); k < n; ++k)
            store32At(img, pick(rng, b.inodes) + ext2::ino::kBlockMap + 4 * (rng() % 15),
                      interesting(rng, b));
        break;
    case 5: // indirect blocks
        for (int k = 0, n = 1 + static_cast<int>(rng() % 4); k < n; ++k)
            store32At(img, pick(rng, b.indirect) + 4 * (rng() % (bs / 4)), interesting(rng, b));
        break;
    case 6: { // directory entries
        size_t block = pick(rng, b.dirBlocks);
        if (rng() % 2) {
            scribble(rng, img, block, bs, 1 + static_cast<int>(rng() % 8));
        } else {
            // Walk to a random entry and damage its header.
            size_t at = 0;
            for (int hops = static_cast<int>(rng() % 12); hops > 0; --hops) {
                uint16_t len = load16(img.data() + block + at + 4);
                if (len < 8 || at + len + 8 > bs)
                    break;
                at += len;
            }
            if (rng() % 2)
                store32At(img, block + at, interesting(rng, b));
            else
                store16(img.data() + block + at + 4 + 2 * (rng() % 2),
                        static_cast<uint16_t>(interesting(rng, b)));
        }
        break;
    }
    default: // anywhere
        scribble(rng, img, 0, img.size(), 1 + static_cast<int>(rng() % 64));
        break;
    }
}

void readEverything(Timg& img, std::mt19937& rng) {
    TImgEntry e;
    Bytes buf;
    auto read = [&](uint32_t id) {
        try {
            if (img.GetEntry(id, e) && e.size <= (64u << 20))
                img.ReadContent(id, e, buf);
        } catch (const Error&) {
            // A size no block map can hold is refused; that is the answer.
        }
    };
    forEachPreorder(img.root(), [&](Node* n) { read(n->entry.objId); });
    for (int i = 0; i < 20; ++i)
        read(static_cast<uint32_t>(rng() % (img.maxObjId + 2)));
    img.describe();
}

TEST(ExtRobustness, DamagedImagesNeverFault) {
    std::vector<Base> bases = baseImages();
    ASSERT_EQ(bases.size(), 5u);
    std::mt19937 rng(20261208);
    constexpr int kVariants = 3000;
    int opened = 0;
    for (int v = 0; v < kVariants; ++v) {
        const Base& b = bases[rng() % bases.size()];
        Bytes img = b.bytes;
        corrupt(rng, b, img);
        if (rng() % 16 == 0)
            img.resize(std::max<size_t>(4, rng() % img.size())); // cut short as well
        Text23obj obj;
        try {
            obj.Init(ImageData::fromBytes(std::move(img)));
            obj.Open();
        } catch (const Error&) {
            continue; // refused with a message
        }
        ++opened;
        readEverything(obj, rng);
    }
    // Most damage is survivable: the walk keeps what it can read.
    EXPECT_GT(opened, kVariants / 2);
}

// Android sparse images with damaged headers, chunk headers or data: opened
// through format detection, they open with warnings or are refused.
TEST(ExtRobustness, DamagedSparseImagesNeverFault) {
    std::vector<Base> bases = baseImages();
    const Base& b = bases[3];
    const Bytes sparse = makeSparse(b.bytes, b.blockSize, true);
    std::mt19937 rng(141);
    int opened = 0;
    for (int v = 0; v < 600; ++v) {
        Bytes img = sparse;
        switch (v % 3) {
        case 0: // a header field
            store32At(img, 4 * (rng() % 7), interesting(rng, b));
            break;
        case 1: // the first chunk headers
            store32At(img, 28 + 4 * (rng() % 24), interesting(rng, b));
            break;
        default:
            scribble(rng, img, 0, img.size(), 1 + static_cast<int>(rng() % 16));
            break;
        }
        if (rng() % 8 == 0)
            img.resize(rng() % img.size());
        try {
            std::unique_ptr<Timg> t = openBytes(ImageData::fromBytes(std::move(img)), nullptr);
            ++opened;
            readEverything(*t, rng);
        } catch (const Error&) {
        }
    }
    EXPECT_GT(opened, 100);
}

} // namespace
