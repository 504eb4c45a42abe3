// The pieces of the ext4 reader that do arithmetic of their own: the sparse
// chunk map (reads and CRC checks over fills and runs of zeros), attribute
// entries that run out of their region, POSIX ACLs in both forms.
#include "ext_testutil.h"
#include "fs/ext/xattr.h"
#include "model/error.h"
#include "source/image_data.h"
#include "source/materialize.h"
#include "source/sparse/sparse_format.h"
#include "source/sparse/sparse_source.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace korvane;
using namespace korvane::test;

namespace {

// Gives every CRC32 chunk of a sparse image a block count, which readers
// ignore.
void crcChunksClaimBlocks(Bytes& image, uint32_t blocks) {
    using namespace sparse;
    for (size_t at = kFileHeaderSize; at + kChunkHeaderSize <= image.size();
         at += load32(image.data() + at + ch::kTotalSize))
        if (load16(image.data() + at + ch::kType) == kChunkCrc32)
            store32(image.data() + at + ch::kBlocks, blocks);
}

// Random images of zero, filled and random blocks, as sparse images with CRC
// chunks (in odd rounds claiming blocks): no problem is found, any range
// reads as the expanded bytes, by read and by readThrough, the runs of zeros
// the map knows hold only zeros, and a copy in one piece (which passes over
// them) equals the image.
TEST(Ext4Units, SparseReadsEqualTheExpandedImage) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 20; ++round) {
        const uint32_t bs = 1024u << (rng() % 3);
        Bytes image(bs * (1 + rng() % 300));
        for (size_t b = 0; b < image.size() / bs;) {
            const size_t run = std::min<size_t>(1 + rng() % 20, image.size() / bs - b);
            const int kind = static_cast<int>(rng() % 3);
            const uint32_t word = static_cast<uint32_t>(rng());
            for (size_t i = b * bs; i < (b + run) * bs; i += 4)
                store32(image.data() + i, kind == 0   ? 0
                                          : kind == 1 ? word
                                                      : static_cast<uint32_t>(rng()));
            b += run;
        }
        Bytes sparseImage = makeSparse(image, bs, true);
        if (round % 2)
            crcChunksClaimBlocks(sparseImage, 3);
        auto src = openSparse(ImageData::fromBytes(std::move(sparseImage)));
        ASSERT_TRUE(src->problems().empty()) << src->problems().front().english();
        ASSERT_EQ(src->size(), image.size());
        for (int k = 0; k < 50; ++k) {
            const size_t at = rng() % image.size();
            const size_t n = std::min<size_t>(rng() % (3 * bs), image.size() - at + 100);
            Bytes got(n);
            src->read(at, MutableByteSpan(got));
            Bytes want(n);
            std::copy_n(image.begin() + static_cast<long>(at), std::min(n, image.size() - at),
                        want.begin());
            ASSERT_TRUE(got == want) << "round " << round << " at " << at << " n " << n;
            src->readThrough(at, MutableByteSpan(got));
            ASSERT_TRUE(got == want) << "readThrough, round " << round << " at " << at;
            Bytes scratch(n);
            if (at + n <= image.size()) {
                ByteSpan v = view(*src, at, n, scratch.data());
                ASSERT_TRUE(std::equal(v.begin(), v.end(), want.begin()));
            }
            const uint64_t zeros = src->zerosUntil(at);
            ASSERT_GE(zeros, at);
            ASSERT_LE(zeros, image.size());
            ASSERT_TRUE(std::all_of(image.begin() + static_cast<long>(at),
                                    image.begin() + static_cast<long>(zeros),
                                    [](std::byte b) { return b == std::byte{0}; }))
                << "round " << round << " at " << at << " zeros until " << zeros;
        }
        auto copy = inOnePiece(std::move(src));
        ASSERT_TRUE(readBytes(*copy, 0, image.size()) == image) << "round " << round;
    }
}

// A copy larger than it may take is refused before anything is written: a
// sparse image of one block claiming 16 TiB.
TEST(Ext4Units, ACopyInOnePieceStaysWithinItsLimit) {
    Bytes block(4096, std::byte{0x5A});
    Bytes sparseImage = makeSparse(block, 4096, false);
    store32(sparseImage.data() + sparse::fh::kTotalBlocks, 0xFFFFFFFF);
    std::shared_ptr<const ImageSource> src =
        openSparse(ImageData::fromBytes(std::move(sparseImage)));
    ASSERT_EQ(src->size(), uint64_t{0xFFFFFFFF} * 4096);
    EXPECT_EQ(src->zerosUntil(4096), src->size());
    EXPECT_THROW(inOnePiece(src, nullptr, 64u << 20), Error);
    EXPECT_THROW(inOnePiece(src), Error); // no temporary folder has 16 TiB free
}

TEST(Ext4Units, AttributeEntriesStayInTheirRegion) {
    // One entry "user.ab" = "xyz" in a 64-byte region, values from offset 0.
    auto region = [] {
        Bytes r(64);
        r[0] = std::byte{2};       // name length
        r[1] = std::byte{1};       // user.
        store16(r.data() + 2, 40); // value offset
        store32(r.data() + 8, 3);  // value size
        r[16] = std::byte{'a'};
        r[17] = std::byte{'b'};
        std::memcpy(r.data() + 40, "xyz", 3);
        return r;
    };
    struct Case {
        const char* what;
        size_t at;
        uint32_t value; // stored as 32 bits at `at`, or 16 for the offset
        bool ok;
    };
    const Case cases[] = {
        {"sound", 0, 0, true},
        {"value past the end", 2, 62, false},
        {"value size past the end", 8, 100, false},
        {"huge value size", 8, 0xFFFFFFF0u, false},
        {"name past the end", 0, 0xFF, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes r = region();
        if (c.at == 2)
            store16(r.data() + 2, static_cast<uint16_t>(c.value));
        else if (c.at == 0 && c.value)
            r[0] = static_cast<std::byte>(c.value);
        else if (c.value)
            store32(r.data() + c.at, c.value);
        std::vector<ext2::RawXattr> out;
        auto why = ext2::parseXattrs(r, 0, 0, out);
        EXPECT_EQ(!why, c.ok) << (why ? why->english() : "");
        if (c.ok) {
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(ext2::xattrName(out[0].index, out[0].suffix), "user.ab");
            EXPECT_EQ(out[0].value, "xyz");
        }
    }
    EXPECT_EQ(ext2::xattrName(7, "data"), "system.data");
    EXPECT_EQ(ext2::xattrName(2, ""), "system.posix_acl_access");
    EXPECT_EQ(ext2::xattrName(42, "x"), "");
}

TEST(Ext4Units, AclsInBothForms) {
    // user::rw-, user:1000:rw-, group::r--, mask::rw-, other::r--
    const std::string disk("\x01\x00\x00\x00"
                           "\x01\x00\x06\x00"
                           "\x02\x00\x06\x00\xe8\x03\x00\x00"
                           "\x04\x00\x04\x00"
                           "\x10\x00\x06\x00"
                           "\x20\x00\x04\x00",
                           28);
    const std::string xattr("\x02\x00\x00\x00"
                            "\x01\x00\x06\x00\xff\xff\xff\xff"
                            "\x02\x00\x06\x00\xe8\x03\x00\x00"
                            "\x04\x00\x04\x00\xff\xff\xff\xff"
                            "\x10\x00\x06\x00\xff\xff\xff\xff"
                            "\x20\x00\x04\x00\xff\xff\xff\xff",
                            44);
    EXPECT_EQ(ext2::aclFromDisk(disk), xattr);
    EXPECT_EQ(ext2::aclToDisk(xattr), disk);
    EXPECT_FALSE(ext2::aclFromDisk(disk.substr(0, 14))) << "an entry cut short";
    EXPECT_FALSE(ext2::aclFromDisk(std::string("\x02\x00\x00\x00", 4))) << "wrong version";
    EXPECT_FALSE(ext2::aclToDisk(xattr.substr(0, 10)));
}

} // namespace
