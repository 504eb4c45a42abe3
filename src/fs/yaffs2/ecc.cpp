#include "ecc.h"

#include <bit>
#include <cstring>

namespace korvane::yaffs2 {

namespace {

constexpr unsigned parity(unsigned x) {
    unsigned p = 0;
    for (; x; x >>= 1)
        p ^= x & 1u;
    return p;
}

// Column-parity table of the YAFFS ECC.
constexpr std::array<uint8_t, 256> makeYaffsTable() {
    std::array<uint8_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = parity(b) | parity(b & 0x55) << 2 | parity(b & 0xAA) << 3 |
                     parity(b & 0x33) << 4 | parity(b & 0xCC) << 5 | parity(b & 0x0F) << 6 |
                     parity(b & 0xF0) << 7;
        t[b] = static_cast<uint8_t>(v);
    }
    return t;
}

// Precalculated table of the Linux MTD software NAND ECC.
constexpr std::array<uint8_t, 256> makeNandTable() {
    std::array<uint8_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = parity(b & 0x55) | parity(b & 0xAA) << 1 | parity(b & 0x33) << 2 |
                     parity(b & 0xCC) << 3 | parity(b & 0x0F) << 4 | parity(b & 0xF0) << 5 |
                     parity(b) << 6;
        t[b] = static_cast<uint8_t>(v);
    }
    return t;
}

constexpr auto kYaffsTable = makeYaffsTable();
constexpr auto kNandTable = makeNandTable();

uint8_t bit(unsigned v, unsigned n) {
    return static_cast<uint8_t>((v >> n) & 1u);
}

} // namespace

TagEcc computeTagEcc(const std::byte* tags16) {
    uint8_t col = 0;
    uint32_t lp = 0, lpp = 0;
    for (uint32_t i = 0; i < kTagsSize; ++i) {
        uint8_t t = kYaffsTable[std::to_integer<uint8_t>(tags16[i])];
        col ^= t;
        if (t & 1) {
            lp ^= i;
            lpp ^= ~i;
        }
    }
    return {static_cast<uint8_t>((col >> 2) & 0x3F), lp, lpp};
}

namespace {

// What both data ECC algorithms need from a 256-byte group. Every column
// parity bit is a parity of masked data bits, so it is linear: the parities of
// the XOR of all bytes. The line parity is the XOR of the indices of the bytes
// with odd parity; the complement parity follows from it and their count.
struct GroupParity {
    uint8_t xorAll;
    uint8_t lp;
    uint8_t lpp;
};

GroupParity groupParity(const std::byte* group) {
    uint64_t acc = 0;
    uint64_t words[4] = {}; // bit j of word w: parity of byte 64w + j
    for (int w = 0; w < 4; ++w) {
        uint64_t bits = 0;
        for (int k = 0; k < 8; ++k) {
            uint64_t v;
            std::memcpy(&v, group + w * 64 + k * 8, 8);
            acc ^= v;
            v ^= v >> 4;
            v ^= v >> 2;
            v ^= v >> 1;
            v &= 0x0101010101010101ull;
            bits |= ((v * 0x0102040810204080ull) >> 56) << (k * 8);
        }
        words[w] = bits;
    }
    acc ^= acc >> 32;
    acc ^= acc >> 16;
    acc ^= acc >> 8;
    // Masks of the bit positions j (0..63) whose bit k is set.
    static constexpr uint64_t kIndexBit[6] = {0xAAAAAAAAAAAAAAAAull, 0xCCCCCCCCCCCCCCCCull,
                                              0xF0F0F0F0F0F0F0F0ull, 0xFF00FF00FF00FF00ull,
                                              0xFFFF0000FFFF0000ull, 0xFFFFFFFF00000000ull};
    unsigned lp = 0;
    uint64_t all = words[0] ^ words[1] ^ words[2] ^ words[3];
    for (unsigned k = 0; k < 6; ++k)
        lp |= (static_cast<unsigned>(std::popcount(all & kIndexBit[k])) & 1u) << k;
    lp |= (static_cast<unsigned>(std::popcount(words[1]) + std::popcount(words[3])) & 1u) << 6;
    lp |= (static_cast<unsigned>(std::popcount(words[2]) + std::popcount(words[3])) & 1u) << 7;
    unsigned odd = static_cast<unsigned>(std::popcount(words[0]) + std::popcount(words[1]) +
                                         std::popcount(words[2]) + std::popcount(words[3]));
    unsigned lpp = (odd & 1u) ? lp ^ 0xFFu : lp;
    return {static_cast<uint8_t>(acc & 0xFF), static_cast<uint8_t>(lp), static_cast<uint8_t>(lpp)};
}

} // namespace

std::array<uint8_t, 3> yaffsEcc256(const std::byte* group) {
    GroupParity g = groupParity(group);
    unsigned col = kYaffsTable[g.xorAll];
    auto pack = [&](unsigned hi) {
        unsigned v = 0;
        for (int k = 0; k < 4; ++k) {
            unsigned b = hi - static_cast<unsigned>(k);
            v = (v << 2) | (bit(g.lp, b) << 1) | bit(g.lpp, b);
        }
        return static_cast<uint8_t>(~v & 0xFF);
    };
    return {pack(3), pack(7), static_cast<uint8_t>((~col | 0x03) & 0xFF)};
}

std::array<uint8_t, 3> nandEcc256(const std::byte* group) {
    GroupParity g = groupParity(group);
    unsigned reg1 = kNandTable[g.xorAll] & 0x3Fu;
    unsigned reg3 = g.lp, reg2 = g.lpp;
    unsigned a = 0x80;
    auto interleave = [&]() {
        unsigned b = 0x80, t = 0;
        for (int k = 0; k < 4; ++k) {
            if (reg3 & a)
                t |= b;
            b >>= 1;
            if (reg2 & a)
                t |= b;
            b >>= 1;
            a >>= 1;
        }
        return t;
    };
    unsigned t1 = interleave();
    unsigned t2 = interleave();
    return {static_cast<uint8_t>(~t1 & 0xFF), static_cast<uint8_t>(~t2 & 0xFF),
            static_cast<uint8_t>(((~reg1 & 0xFF) << 2 | 0x03) & 0xFF)};
}

void storeDataEcc(const std::byte* page, uint32_t pageSize, EccKind kind, std::byte* out) {
    if (kind == kEccNone)
        return;
    for (uint32_t g = 0; g < pageSize / 256; ++g) {
        auto e = kind == kEccYaffs ? yaffsEcc256(page + g * 256) : nandEcc256(page + g * 256);
        for (size_t k = 0; k < 3; ++k)
            out[g * 3 + k] = static_cast<std::byte>(e[k]);
    }
}

namespace {

bool oneBit(unsigned a, unsigned b, unsigned c) {
    return std::popcount(a) + std::popcount(b) + std::popcount(c) == 1;
}

// The position (0..7) of a flipped bit in its byte, from the column parity
// differences of the odd bits, of bits 2, 3, 6, 7 and of the high nibble,
// found at bits 0, 2 and 4 of pairs.
unsigned flippedBit(unsigned pairs) {
    return (pairs & 1u) | (pairs >> 1 & 2u) | (pairs >> 2 & 4u);
}

} // namespace

PageEccCheck checkDataEcc(const std::byte* page, uint32_t pageSize, EccKind kind,
                          const std::byte* stored, std::vector<EccFix>& fixes) {
    PageEccCheck r;
    const uint32_t groups = pageSize / 256;
    if (kind == kEccNone)
        return r;
    bool written = false;
    for (uint32_t i = 0; i < groups * 3 && !written; ++i)
        written = stored[i] != std::byte{0xFF};
    if (!written)
        return r;
    for (uint32_t g = 0; g < groups; ++g) {
        auto c = kind == kEccYaffs ? yaffsEcc256(page + g * 256) : nandEcc256(page + g * 256);
        unsigned d[3];
        for (int k = 0; k < 3; ++k)
            d[k] = (std::to_integer<unsigned>(stored[g * 3 + k]) ^ c[k]) & 0xFFu;
        if ((d[0] | d[1] | d[2]) == 0)
            continue;
        // A flipped data bit changes one bit of every pair: the line parity
        // and its complement, and the column parities of its position.
        if (((d[0] ^ d[0] >> 1) & 0x55) == 0x55 && ((d[1] ^ d[1] >> 1) & 0x55) == 0x55 &&
            ((d[2] ^ d[2] >> 1) & 0x54) == 0x54) {
            // The YAFFS ECC keeps the low half of the byte index in its first
            // byte, the NAND ECC the high half.
            unsigned lo = kind == kEccYaffs ? d[0] : d[1];
            unsigned hi = kind == kEccYaffs ? d[1] : d[0];
            unsigned index = 0;
            for (unsigned n = 0; n < 4; ++n) {
                index |= ((lo >> (2 * n + 1)) & 1u) << n;
                index |= ((hi >> (2 * n + 1)) & 1u) << (n + 4);
            }
            const unsigned bit = flippedBit(d[2] >> 3 & 0x15);
            fixes.push_back({g * 256 + index, static_cast<uint8_t>(1u << bit)});
            ++r.corrected;
        } else if (oneBit(d[0], d[1], d[2])) {
            ++r.corrected; // the ECC itself took the hit
        } else {
            ++r.failed;
        }
    }
    return r;
}

EccResult correctTags(std::byte* tags16, const TagEcc& stored) {
    const TagEcc c = computeTagEcc(tags16);
    const unsigned dcol = (stored.colParity ^ c.colParity) & 0x3Fu;
    const uint32_t dlp = stored.lineParity ^ c.lineParity;
    const uint32_t dlpp = stored.lineParityPrime ^ c.lineParityPrime;
    if (dcol == 0 && dlp == 0 && dlpp == 0)
        return EccResult::kClean;
    if (((dcol ^ dcol >> 1) & 0x15) == 0x15 && (dlp ^ dlpp) == 0xFFFFFFFFu && dlp < kTagsSize) {
        const unsigned bit = flippedBit(dcol >> 1 & 0x15);
        tags16[dlp] ^= static_cast<std::byte>(1u << bit);
        return EccResult::kCorrected;
    }
    if (std::popcount(dcol) + std::popcount(dlp) + std::popcount(dlpp) == 1)
        return EccResult::kCorrected;
    return EccResult::kFailed;
}

} // namespace korvane::yaffs2
