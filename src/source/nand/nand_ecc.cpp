#include "nand_ecc.h"

#include "fs/yaffs2/ecc.h"

#include <algorithm>
#include <bit>
#include <map>

namespace korvane::nand {

namespace {

constexpr uint32_t kEccBytes = 3;

yaffs2::EccKind kindOf(EccScheme s) {
    return s == EccScheme::kYaffs256 ? yaffs2::kEccYaffs : yaffs2::kEccNand;
}

uint32_t stepOf(EccScheme s) {
    return s == EccScheme::kNand512 ? 512 : 256;
}

bool allFF(const std::byte* p, size_t n) {
    return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0xFF}; });
}

// Every pair of syndrome bits (a line parity and its complement, a column
// parity and its complement) has exactly one bit set: one flipped data bit.
bool onePerPair(unsigned s) {
    return ((s ^ (s >> 1)) & 0x55u) == 0x55u;
}

EccCheck check512(std::byte* page, uint32_t pageSize, const std::byte* stored) {
    EccCheck r;
    for (uint32_t s = 0; s < pageSize / 512; ++s) {
        std::byte* step = page + size_t{s} * 512;
        const std::array<uint8_t, 3> c = nandEcc512(step);
        unsigned d[3];
        for (int k = 0; k < 3; ++k)
            d[k] = (std::to_integer<unsigned>(stored[s * kEccBytes + k]) ^ c[k]) & 0xFFu;
        if ((d[0] | d[1] | d[2]) == 0)
            continue;
        if (onePerPair(d[0]) && onePerPair(d[1]) && onePerPair(d[2])) {
            // Odd bits of the line parities spell the byte's index: bits 0-3
            // in the second byte, 4-7 in the first, bit 8 in bit 1 of the
            // third; odd column parities spell the bit.
            unsigned index = 0;
            for (unsigned k = 0; k < 4; ++k) {
                index |= ((d[1] >> (2 * k + 1)) & 1u) << k;
                index |= ((d[0] >> (2 * k + 1)) & 1u) << (k + 4);
            }
            index |= ((d[2] >> 1) & 1u) << 8;
            const unsigned bit = ((d[2] >> 3) & 1u) | ((d[2] >> 4) & 2u) | ((d[2] >> 5) & 4u);
            step[index] ^= static_cast<std::byte>(1u << bit);
            ++r.corrected;
        } else if (std::popcount(d[0]) + std::popcount(d[1]) + std::popcount(d[2]) == 1) {
            ++r.corrected; // the ECC itself took the hit
        } else {
            ++r.failed;
        }
    }
    return r;
}

struct Placement {
    EccScheme scheme;
    std::vector<uint16_t> positions;
};

std::vector<Placement> placements(uint32_t pageSize, uint32_t spareSize) {
    std::vector<Placement> out;
    for (EccScheme s : {EccScheme::kNand256, EccScheme::kYaffs256, EccScheme::kNand512}) {
        const uint32_t need = pageSize / stepOf(s) * kEccBytes;
        if (pageSize % stepOf(s) != 0 || need > spareSize)
            continue;
        for (uint32_t at = 0; at + need <= spareSize; ++at) {
            Placement p{s, {}};
            for (uint32_t i = 0; i < need; ++i)
                p.positions.push_back(static_cast<uint16_t>(at + i));
            out.push_back(std::move(p));
        }
        // Small-page chips keep byte 5 for the bad-block marker and put the
        // ECC around it.
        if (need == 6 && spareSize >= 8)
            out.push_back({s, {0, 1, 2, 3, 6, 7}});
    }
    return out;
}

} // namespace

std::array<uint8_t, 3> nandEcc512(const std::byte* step) {
    // Each parity over 512 bytes is the XOR of the parities over its two
    // halves; the pair for the ninth index bit is the parity of each half
    // as a whole, which its column parities of even and odd bits give.
    const std::array<uint8_t, 3> a = yaffs2::nandEcc256(step);
    const std::array<uint8_t, 3> b = yaffs2::nandEcc256(step + 256);
    const unsigned lo0 = ~a[0] & 0xFFu, lo1 = ~a[1] & 0xFFu, lo2 = ~a[2] & 0xFFu;
    const unsigned hi0 = ~b[0] & 0xFFu, hi1 = ~b[1] & 0xFFu, hi2 = ~b[2] & 0xFFu;
    const unsigned parityLo = ((lo2 >> 2) ^ (lo2 >> 3)) & 1u;
    const unsigned parityHi = ((hi2 >> 2) ^ (hi2 >> 3)) & 1u;
    const unsigned c0 = lo0 ^ hi0;
    const unsigned c1 = lo1 ^ hi1;
    const unsigned c2 = ((lo2 ^ hi2) & 0xFCu) | parityHi << 1 | parityLo;
    return {static_cast<uint8_t>(~c0 & 0xFFu), static_cast<uint8_t>(~c1 & 0xFFu),
            static_cast<uint8_t>(~c2 & 0xFFu)};
}

void computeEcc(EccScheme scheme, const std::byte* page, uint32_t pageSize, std::byte* out) {
    if (scheme != EccScheme::kNand512) {
        yaffs2::storeDataEcc(page, pageSize, kindOf(scheme), out);
        return;
    }
    for (uint32_t s = 0; s < pageSize / 512; ++s) {
        const std::array<uint8_t, 3> e = nandEcc512(page + size_t{s} * 512);
        for (uint32_t k = 0; k < kEccBytes; ++k)
            out[s * kEccBytes + k] = std::byte{e[k]};
    }
}

EccCheck correctPage(const EccLayout& l, std::byte* page, uint32_t pageSize,
                     const std::byte* spare) {
    const size_t need = size_t{pageSize} / l.step * kEccBytes;
    if (l.positions.size() < need)
        return {};
    std::byte stored[kEccBytes * 64];
    for (size_t i = 0; i < need; ++i)
        stored[i] = spare[l.positions[i]];
    if (allFF(stored, need))
        return {};
    if (l.scheme == EccScheme::kNand512)
        return check512(page, pageSize, stored);
    std::vector<yaffs2::EccFix> fixes;
    const yaffs2::PageEccCheck c =
        yaffs2::checkDataEcc(page, pageSize, kindOf(l.scheme), stored, fixes);
    for (const yaffs2::EccFix& f : fixes)
        page[f.offset] ^= static_cast<std::byte>(f.mask);
    return {c.corrected, c.failed};
}

std::optional<EccLayout> detectEcc(const std::vector<Bytes>& samples, uint32_t pageSize,
                                   uint32_t spareSize) {
    const std::vector<Placement> tried = placements(pageSize, spareSize);
    if (tried.empty())
        return std::nullopt;
    std::vector<uint32_t> hits(tried.size(), 0);
    uint32_t telling = 0;
    std::map<EccScheme, Bytes> computed;
    for (const Bytes& s : samples) {
        if (s.size() < size_t{pageSize} + spareSize)
            continue;
        const std::byte* spare = s.data() + pageSize;
        for (EccScheme scheme : {EccScheme::kNand256, EccScheme::kYaffs256, EccScheme::kNand512}) {
            if (pageSize % stepOf(scheme) != 0)
                continue;
            Bytes& c = computed[scheme];
            c.resize(pageSize / stepOf(scheme) * kEccBytes);
            computeEcc(scheme, s.data(), pageSize, c.data());
        }
        // Blank pages (all FF or all zeros) have an ECC of all FF: they tell
        // nothing.
        if (allFF(computed[EccScheme::kNand256].data(), computed[EccScheme::kNand256].size()))
            continue;
        ++telling;
        for (size_t i = 0; i < tried.size(); ++i) {
            const Bytes& c = computed[tried[i].scheme];
            bool same = true;
            for (size_t k = 0; k < c.size() && same; ++k)
                same = spare[tried[i].positions[k]] == c[k];
            hits[i] += same ? 1 : 0;
        }
    }
    if (telling < 2)
        return std::nullopt;
    const auto best = std::max_element(hits.begin(), hits.end());
    if (*best * 4 < telling * 3)
        return std::nullopt;
    const Placement& p = tried[static_cast<size_t>(best - hits.begin())];
    return EccLayout{p.scheme, stepOf(p.scheme), p.positions};
}

std::string EccLayout::describe() const {
    const char* name = scheme == EccScheme::kYaffs256 ? "YAFFS Hamming ECC, 3 bytes per 256"
                       : scheme == EccScheme::kNand256
                           ? "MTD software Hamming ECC, 3 bytes per 256"
                           : "MTD software Hamming ECC, 3 bytes per 512";
    std::string where;
    const bool run =
        !positions.empty() && positions.back() - positions.front() + 1u == positions.size();
    if (run) {
        where = "spare bytes " + std::to_string(positions.front()) + " to " +
                std::to_string(positions.back());
    } else {
        for (uint16_t p : positions)
            where += (where.empty() ? "spare bytes " : ", ") + std::to_string(p);
    }
    return std::string(name) + " data bytes, in " + where;
}

} // namespace korvane::nand
