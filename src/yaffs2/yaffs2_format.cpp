#include "yaffs2_format.h"

#include <algorithm>
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

PackedTags loadTags(const std::byte* p) {
    return {load32(p), load32(p + 4), load32(p + 8), load32(p + 12)};
}

void storeTags(std::byte* p, const PackedTags& t) {
    store32(p, t.sequence);
    store32(p + 4, t.objectId);
    store32(p + 8, t.chunkId);
    store32(p + 12, t.byteCount);
}

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

TagEcc loadTagEcc(const std::byte* p) {
    return {std::to_integer<uint8_t>(p[0]), load32(p + 4), load32(p + 8)};
}

void storeTagEcc(std::byte* p, const TagEcc& e) {
    p[0] = static_cast<std::byte>(e.colParity);
    store32(p + 4, e.lineParity);
    store32(p + 8, e.lineParityPrime);
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

void storeDataEcc(const std::byte* data2048, EccKind kind, std::byte* out24) {
    if (kind == kEccNone)
        return;
    for (size_t g = 0; g < 8; ++g) {
        auto e =
            kind == kEccYaffs ? yaffsEcc256(data2048 + g * 256) : nandEcc256(data2048 + g * 256);
        for (size_t k = 0; k < 3; ++k)
            out24[g * 3 + k] = static_cast<std::byte>(e[k]);
    }
}

ObjectHeader decodeHeader(const std::byte* p) {
    ObjectHeader h;
    h.type = load32(p + hdr::kType);
    h.parent = load32(p + hdr::kParent);
    h.name = zeroTerminated(p + hdr::kName, hdr::kNameSize);
    h.mode = load32(p + hdr::kMode);
    h.uid = load32(p + hdr::kUid);
    h.gid = load32(p + hdr::kGid);
    h.atime = load32(p + hdr::kAtime);
    h.mtime = load32(p + hdr::kMtime);
    h.ctime = load32(p + hdr::kCtime);
    h.fileSize = load32(p + hdr::kFileSize);
    h.equivId = load32(p + hdr::kEquivId);
    h.alias = zeroTerminated(p + hdr::kAlias, hdr::kAliasSize);
    h.rdev = load32(p + hdr::kRdev);
    return h;
}

void encodeHeader(const ObjectHeader& h, std::byte* p, std::byte fill) {
    std::memset(p, std::to_integer<int>(fill), kHeaderSize);
    store32(p + hdr::kType, h.type);
    store32(p + hdr::kParent, h.parent);
    store16(p + hdr::kChecksum, 0xFFFF);
    std::memset(p + hdr::kName, 0, hdr::kNameSize + 2); // name and its two padding bytes
    std::memcpy(p + hdr::kName, h.name.data(), std::min(h.name.size(), hdr::kNameSize - 1));
    store32(p + hdr::kMode, h.mode);
    store32(p + hdr::kUid, h.uid);
    store32(p + hdr::kGid, h.gid);
    store32(p + hdr::kAtime, h.atime);
    store32(p + hdr::kMtime, h.mtime);
    store32(p + hdr::kCtime, h.ctime);
    store32(p + hdr::kFileSize, h.type == kHdrFile ? h.fileSize : 0xFFFFFFFF);
    switch (h.type) {
    case kHdrFile:
        store32(p + hdr::kFileSizeHigh, 0xFFFFFFFF);
        break;
    case kHdrHardlink:
        store32(p + hdr::kEquivId, h.equivId);
        break;
    case kHdrSymlink:
        store32(p + hdr::kEquivId, 0xFFFFFFFF);
        std::memset(p + hdr::kAlias, 0, hdr::kAliasSize);
        std::memcpy(p + hdr::kAlias, h.alias.data(), std::min(h.alias.size(), hdr::kAliasSize - 1));
        break;
    case kHdrSpecial:
        store32(p + hdr::kRdev, h.rdev);
        break;
    default:
        break;
    }
}

} // namespace korvane::yaffs2
