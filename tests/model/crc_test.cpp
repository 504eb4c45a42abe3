#include "model/crc.h"
#include "model/digest.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

using namespace korvane;

namespace {

ByteSpan text(const char* s) {
    return asBytes(s);
}

// The published check values of each algorithm ("123456789"), a long input
// across the eight-byte steps, and continuing a CRC in pieces.
TEST(Crc, CheckValuesAndPieces) {
    EXPECT_EQ(~crc32c(~0u, text("123456789")), 0xE3069283u);
    EXPECT_EQ(crc32(0, text("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc16(0, text("123456789")), 0xBB3D); // CRC-16/ARC
    EXPECT_EQ(crc32(0, {}), 0u);
    EXPECT_EQ(crc32Raw(~0u, text("123456789")), 0x340BC6D9u); // CRC-32/JAMCRC, UBI's form
    EXPECT_EQ(crc32Raw(0, {}), 0u);

    std::mt19937 rng(7);
    Bytes data(5000);
    for (auto& b : data)
        b = static_cast<std::byte>(rng());
    // CRC32C bit by bit, against the hardware path where there is one, on
    // every length around the eight-byte steps and from any seed.
    auto bitwise = [](uint32_t c, ByteSpan d) {
        for (std::byte b : d) {
            c ^= std::to_integer<uint32_t>(b);
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        }
        return c;
    };
    // ...and around the three-lane rounds of 768 bytes, from odd addresses.
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 40; ++n)
        lengths.push_back(n);
    for (size_t n : {767u, 768u, 769u, 1535u, 1536u, 1543u, 4096u, 4999u})
        lengths.push_back(n);
    for (size_t n : lengths) {
        const ByteSpan d = ByteSpan(data).subspan(n % 3, std::min(n, data.size() - n % 3));
        EXPECT_EQ(crc32c(0x12345678u + static_cast<uint32_t>(n), d),
                  bitwise(0x12345678u + static_cast<uint32_t>(n), d))
            << n;
    }
    for (size_t cut : {0u, 1u, 7u, 8u, 333u, 999u}) {
        ByteSpan all(data), a = all.first(cut), b = all.subspan(cut);
        EXPECT_EQ(crc32c(crc32c(~0u, a), b), crc32c(~0u, all)) << cut;
        EXPECT_EQ(crc32(crc32(0, a), b), crc32(0, all)) << cut;
        EXPECT_EQ(crc16(crc16(0xFFFF, a), b), crc16(0xFFFF, all)) << cut;
        EXPECT_EQ(crc32Raw(crc32Raw(0, a), b), crc32Raw(0, all)) << cut;
    }
}

// The published "abc" test vectors of SHA-1, SHA-256 and SHA-512 (FIPS
// 180-2), whole and fed in pieces.
TEST(Digest, CheckValuesAndPieces) {
    const struct {
        DigestKind kind;
        const char* hex;
    } cases[] = {
        {DigestKind::kSha1, "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {DigestKind::kSha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {DigestKind::kSha512, "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
                              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f"},
    };
    auto hex = [](const Bytes& b) {
        std::string s;
        for (std::byte x : b) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", std::to_integer<unsigned>(x));
            s += two;
        }
        return s;
    };
    for (const auto& c : cases) {
        EXPECT_EQ(digestLength(c.kind) * 2, std::strlen(c.hex));
        EXPECT_EQ(hex(digestOf(c.kind, text("abc"))), c.hex);
        Digest d(c.kind);
        d.update(text("a"));
        d.update({});
        d.update(text("bc"));
        EXPECT_EQ(hex(d.finish()), c.hex);
    }
}

} // namespace
