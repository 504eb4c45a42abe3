#include "fs/yaffs2/ecc.h"
#include "fs/yaffs2/header.h"
#include "fs/yaffs2/tags.h"
#include "support/yaffs2_builder.h"

#include <bit>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace korvane;
using namespace korvane::yaffs2;

namespace {

using Ecc = std::array<uint8_t, 3>;

Bytes group(std::initializer_list<std::pair<size_t, uint8_t>> set) {
    Bytes g(256, std::byte{0});
    for (auto [at, v] : set)
        g[at] = std::byte{v};
    return g;
}

TEST(DataEcc, PublishedVectors) {
    Bytes zero = group({});
    EXPECT_EQ(yaffsEcc256(zero.data()), (Ecc{0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(nandEcc256(zero.data()), (Ecc{0xFF, 0xFF, 0xFF}));

    Bytes b5 = group({{5, 0x01}});
    EXPECT_EQ(yaffsEcc256(b5.data()), (Ecc{0x99, 0xAA, 0xAB}));
    EXPECT_EQ(nandEcc256(b5.data()), (Ecc{0xAA, 0x99, 0xAB}));

    Bytes b200 = group({{200, 0x80}});
    EXPECT_EQ(yaffsEcc256(b200.data()), (Ecc{0x6A, 0x5A, 0x57}));
    EXPECT_EQ(nandEcc256(b200.data()), (Ecc{0x5A, 0x6A, 0x57}));

    Bytes ramp(256);
    for (size_t i = 0; i < 256; ++i)
        ramp[i] = static_cast<std::byte>(i);
    EXPECT_EQ(nandEcc256(ramp.data()), (Ecc{0xFF, 0xFF, 0xFF}));
}

// The algorithms as published, byte by byte, to check the word-wise ones.
Ecc referenceEcc(const Bytes& d, bool nand) {
    auto parity = [](unsigned x) { return static_cast<unsigned>(std::popcount(x) & 1); };
    unsigned col = 0, lp = 0, lpp = 0;
    for (unsigned i = 0; i < 256; ++i) {
        unsigned b = std::to_integer<unsigned>(d[i]);
        unsigned t = parity(b) | parity(b & 0x55) << 2 | parity(b & 0xAA) << 3 |
                     parity(b & 0x33) << 4 | parity(b & 0xCC) << 5 | parity(b & 0x0F) << 6 |
                     parity(b & 0xF0) << 7;
        col ^= t;
        if (t & 1) {
            lp ^= i;
            lpp ^= ~i & 0xFF;
        }
    }
    auto bitOf = [](unsigned v, unsigned n) { return (v >> n) & 1u; };
    if (!nand) {
        auto pack = [&](unsigned hi) {
            unsigned v = 0;
            for (unsigned k = 0; k < 4; ++k)
                v = (v << 2) | bitOf(lp, hi - k) << 1 | bitOf(lpp, hi - k);
            return static_cast<uint8_t>(~v);
        };
        return {pack(3), pack(7), static_cast<uint8_t>(~col | 3)};
    }
    unsigned t1 = 0, t2 = 0;
    for (unsigned k = 0; k < 4; ++k) {
        t1 |= bitOf(lp, 7 - k) << (7 - 2 * k) | bitOf(lpp, 7 - k) << (6 - 2 * k);
        t2 |= bitOf(lp, 3 - k) << (7 - 2 * k) | bitOf(lpp, 3 - k) << (6 - 2 * k);
    }
    unsigned reg1 = (col >> 2) & 0x3F; // the NAND table holds the same parities, shifted
    return {static_cast<uint8_t>(~t1), static_cast<uint8_t>(~t2),
            static_cast<uint8_t>((~reg1 << 2) | 3)};
}

TEST(DataEcc, MatchesTheByteWiseAlgorithmOnRandomData) {
    uint32_t x = 12345;
    for (int round = 0; round < 2000; ++round) {
        Bytes g(256);
        int density = round % 4;
        for (auto& b : g) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<std::byte>(density == 0 && (x >> 8) % 64 ? 0 : x & 0xFF);
        }
        ASSERT_EQ(yaffsEcc256(g.data()), referenceEcc(g, false)) << round;
        ASSERT_EQ(nandEcc256(g.data()), referenceEcc(g, true)) << round;
    }
}

TEST(DataEcc, PageStoresThreeBytesPerGroupAndNoneLeavesBytes) {
    Bytes data(4096, std::byte{0});
    data[3 * 256 + 5] = std::byte{0x01};
    Bytes out(48, std::byte{0x5C});
    storeDataEcc(data.data(), 4096, kEccNone, out.data());
    EXPECT_EQ(out, Bytes(48, std::byte{0x5C}));
    storeDataEcc(data.data(), 4096, kEccYaffs, out.data());
    for (size_t g = 0; g < 16; ++g) {
        Ecc want = g == 3 ? Ecc{0x99, 0xAA, 0xAB} : Ecc{0xFF, 0xFF, 0xFF};
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(std::to_integer<uint8_t>(out[g * 3 + k]), want[k]) << "group " << g;
    }
}

// Any single flipped bit, in the data or in the stored ECC, is put right;
// two in one group are reported, never "corrected" into other data.
TEST(DataEcc, CorrectsOneFlippedBitAndReportsTwo) {
    std::mt19937 rng(7);
    for (EccKind kind : {kEccYaffs, kEccNand}) {
        for (int round = 0; round < 300; ++round) {
            Bytes page = korvane::test::pattern(1024, static_cast<uint32_t>(round));
            Bytes ecc(12);
            storeDataEcc(page.data(), 1024, kind, ecc.data());
            Bytes damaged = page;
            const size_t at = rng() % 1024;
            damaged[at] ^= static_cast<std::byte>(1u << (rng() % 8));
            std::vector<EccFix> fixes;
            PageEccCheck c = checkDataEcc(damaged.data(), 1024, kind, ecc.data(), fixes);
            ASSERT_EQ(c.corrected, 1u);
            ASSERT_EQ(c.failed, 0u);
            ASSERT_EQ(fixes.size(), 1u);
            damaged[fixes[0].offset] ^= std::byte{fixes[0].mask};
            ASSERT_EQ(damaged, page) << kind << " " << round;

            Bytes badEcc = ecc;
            badEcc[rng() % 12] ^= static_cast<std::byte>(1u << (rng() % 8));
            fixes.clear();
            c = checkDataEcc(page.data(), 1024, kind, badEcc.data(), fixes);
            EXPECT_EQ(c.corrected, 1u);
            EXPECT_TRUE(fixes.empty()) << "a flip in the ECC leaves the data alone";

            Bytes two = page;
            const size_t g = (at / 256) * 256;
            two[g + 1] ^= std::byte{0x01};
            two[g + 200] ^= std::byte{0x10};
            fixes.clear();
            c = checkDataEcc(two.data(), 1024, kind, ecc.data(), fixes);
            EXPECT_EQ(c.failed, 1u);
            EXPECT_TRUE(fixes.empty());
        }
    }
    Bytes page(512, std::byte{0x33});
    Bytes unwritten(6, std::byte{0xFF});
    std::vector<EccFix> fixes;
    PageEccCheck c = checkDataEcc(page.data(), 512, kEccYaffs, unwritten.data(), fixes);
    EXPECT_EQ(c.corrected + c.failed, 0u) << "an ECC that was never written is not checked";
}

TEST(TagEcc, CorrectsEveryFlippedBitInBothByteOrders) {
    for (ByteOrder order : {ByteOrder::kLittle, ByteOrder::kBig}) {
        Bytes spare(28, std::byte{0});
        const PackedTags want{0x1234, 0x10000101, 0x80000102, 2048};
        storeTags(spare.data(), want, order);
        storeTagEcc(spare.data() + 16, computeTagEcc(spare.data()), order);
        PackedTags got;
        ASSERT_EQ(readCheckedTags(spare.data(), order, got), EccResult::kClean);
        ASSERT_EQ(got, want);
        for (size_t bit = 0; bit < 28 * 8; ++bit) {
            if (bit / 8 >= 17 && bit / 8 < 20)
                continue; // padding after the column parity: not covered
            if (bit / 8 == 16 && bit % 8 >= 6)
                continue; // the column parity has six bits
            Bytes d = spare;
            d[bit / 8] ^= static_cast<std::byte>(1u << (bit % 8));
            ASSERT_EQ(readCheckedTags(d.data(), order, got), EccResult::kCorrected) << bit;
            ASSERT_EQ(got, want) << bit;
        }
        Bytes two = spare;
        two[0] ^= std::byte{0x01};
        two[9] ^= std::byte{0x40};
        EXPECT_EQ(readCheckedTags(two.data(), order, got), EccResult::kFailed);
    }
    // Big-endian tags whose ECC was taken over the little-endian fields, as
    // packers on a PC write them.
    Bytes spare(28, std::byte{0});
    storeTags(spare.data(), {0x1000, 258, 1, 77});
    storeTagEcc(spare.data() + 16, computeTagEcc(spare.data()));
    storeTags(spare.data(), {0x1000, 258, 1, 77}, ByteOrder::kBig);
    PackedTags got;
    EXPECT_NE(readCheckedTags(spare.data(), ByteOrder::kBig, got), EccResult::kFailed);
    EXPECT_EQ(got, (PackedTags{0x1000, 258, 1, 77}));
}

TEST(TagEcc, Vectors) {
    Bytes tags(16);
    storeTags(tags.data(), {0x1000, 1, 0, 0xFFFF});
    EXPECT_EQ(computeTagEcc(tags.data()), (TagEcc{0x30, 5, 5}));
    Bytes zero(16, std::byte{0});
    EXPECT_EQ(computeTagEcc(zero.data()), (TagEcc{0, 0, 0}));

    Bytes stored(12, std::byte{0xEE});
    storeTagEcc(stored.data(), {0x30, 5, 5});
    EXPECT_EQ(loadTagEcc(stored.data()), (TagEcc{0x30, 5, 5}));
    EXPECT_EQ(stored[1], std::byte{0xEE}) << "padding bytes are not written";
}

TEST(ObjectHeader, EncodeDecodeKeepsFieldsAndTerminatesLongNames) {
    ObjectHeader h;
    h.type = kHdrSymlink;
    h.parent = 300;
    h.name = std::string(300, 'n'); // longer than the field holds
    h.mode = 0120777;
    h.uid = 0x12345;
    h.gid = 7;
    h.atime = 1;
    h.mtime = 2;
    h.ctime = 3;
    h.alias = std::string(200, 't');
    Bytes p(kHeaderSize);
    encodeHeader(h, p.data(), std::byte{0x01}, kHeaderSize);
    EXPECT_EQ(p[hdr::kName + 255], std::byte{0}) << "a 255-byte name still ends with zero";
    EXPECT_EQ(load16(p.data() + hdr::kChecksum), 0xFFFF);
    EXPECT_EQ(load32(p.data() + hdr::kFileSize), 0xFFFFFFFFu);
    EXPECT_EQ(load32(p.data() + hdr::kEquivId), 0xFFFFFFFFu);
    EXPECT_EQ(p[hdr::kRdev], std::byte{0x01}) << "fields the type does not use keep the fill";
    ObjectHeader d = decodeHeader(p.data(), kHeaderSize);
    EXPECT_EQ(d.name, std::string(255, 'n'));
    EXPECT_EQ(d.alias, std::string(159, 't'));
    EXPECT_EQ(d.parent, 300u);
    EXPECT_EQ(d.uid, 0x12345u);
    EXPECT_EQ(d.mode, 0120777u);
    EXPECT_EQ(d.ctime, 3u);
}

TEST(ObjectHeader, FileSizeHighWordIsMarkedUnused) {
    ObjectHeader h;
    h.type = kHdrFile;
    h.fileSize = 5;
    Bytes p(kHeaderSize);
    encodeHeader(h, p.data(), std::byte{0x01}, kHeaderSize);
    EXPECT_EQ(load32(p.data() + hdr::kFileSize), 5u);
    EXPECT_EQ(load32(p.data() + hdr::kFileSizeHigh), 0xFFFFFFFFu);
    EXPECT_EQ(load32(p.data() + hdr::kEquivId), 0x01010101u);
}

// The name-value records after the header: kept in both byte orders; the
// fills of headers without attributes (01, FF, 00) read as none; a record
// running past the area ends the list.
TEST(ObjectHeader, ExtendedAttributesInTheNameValueArea) {
    const std::vector<Xattr> xattrs = {
        {"security.selinux", std::string("u:object_r:system_file:s0\0", 27)},
        {"user.empty", ""},
        {"security.capability", std::string(20, '\x01')}};
    for (ByteOrder order : {ByteOrder::kLittle, ByteOrder::kBig}) {
        ObjectHeader h;
        h.type = kHdrDirectory;
        h.xattrs = xattrs;
        Bytes p(2048);
        encodeHeader(h, p.data(), std::byte{0x01}, 2048, order);
        EXPECT_EQ(loadWord(p.data() + kHeaderSize, order), 4u + 17 + 27);
        EXPECT_EQ(decodeHeader(p.data(), 2048, order).xattrs, xattrs);
    }
    for (std::byte fill : {std::byte{0x01}, std::byte{0xFF}, std::byte{0}}) {
        ObjectHeader h;
        h.type = kHdrFile;
        Bytes p(2048);
        encodeHeader(h, p.data(), fill, 2048);
        EXPECT_TRUE(decodeHeader(p.data(), 2048).xattrs.empty());
    }
    Bytes p(1024, std::byte{0});
    store32(p.data() + kHeaderSize, 4 + 2 + 3);
    std::memcpy(p.data() + kHeaderSize + 4, "a\0xyz", 5);
    store32(p.data() + kHeaderSize + 9, 600); // past the end of the area
    EXPECT_EQ(decodeHeader(p.data(), 1024).xattrs, (std::vector<Xattr>{{"a", "xyz"}}));
    EXPECT_EQ(xattrSpace(2048), 1535u);
    EXPECT_EQ(xattrBytes(xattrs), 4u + 17 + 27 + 4 + 11 + 4 + 20 + 20);
}

} // namespace
