#include "yaffs2/yaffs2_format.h"

#include <bit>
#include <gtest/gtest.h>

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

TEST(DataEcc, ChunkStoresEightGroupsAndNoneLeavesBytes) {
    Bytes data(kDataSize, std::byte{0});
    data[3 * 256 + 5] = std::byte{0x01};
    Bytes out(kDataEccSize, std::byte{0x5C});
    storeDataEcc(data.data(), kEccNone, out.data());
    EXPECT_EQ(out, Bytes(kDataEccSize, std::byte{0x5C}));
    storeDataEcc(data.data(), kEccYaffs, out.data());
    for (size_t g = 0; g < 8; ++g) {
        Ecc want = g == 3 ? Ecc{0x99, 0xAA, 0xAB} : Ecc{0xFF, 0xFF, 0xFF};
        for (size_t k = 0; k < 3; ++k)
            EXPECT_EQ(std::to_integer<uint8_t>(out[g * 3 + k]), want[k]) << "group " << g;
    }
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
    encodeHeader(h, p.data(), std::byte{0x01});
    EXPECT_EQ(p[hdr::kName + 255], std::byte{0}) << "a 255-byte name still ends with zero";
    EXPECT_EQ(load16(p.data() + hdr::kChecksum), 0xFFFF);
    EXPECT_EQ(load32(p.data() + hdr::kFileSize), 0xFFFFFFFFu);
    EXPECT_EQ(load32(p.data() + hdr::kEquivId), 0xFFFFFFFFu);
    EXPECT_EQ(p[hdr::kRdev], std::byte{0x01}) << "fields the type does not use keep the fill";
    ObjectHeader d = decodeHeader(p.data());
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
    encodeHeader(h, p.data(), std::byte{0x01});
    EXPECT_EQ(load32(p.data() + hdr::kFileSize), 5u);
    EXPECT_EQ(load32(p.data() + hdr::kFileSizeHigh), 0xFFFFFFFFu);
    EXPECT_EQ(load32(p.data() + hdr::kEquivId), 0x01010101u);
}

} // namespace
