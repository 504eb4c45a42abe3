#include "yaffs1_builder.h"

#include "fs/yaffs2/ecc.h"

#include <algorithm>
#include <cstring>

namespace korvane::test {

namespace {

constexpr size_t kPage = 512;
constexpr size_t kRecord = 528;
// Where tag bytes 0 to 7 sit in the spare area.
constexpr size_t kTagAt[8] = {0, 1, 2, 3, 6, 7, 11, 12};

// The number (1 to 64) of each set bit of the 8 tag bytes, XORed; the ECC
// field (bits 18 to 29 of the second word) counts as zeros.
uint32_t eccOf(const std::byte* tags) {
    uint32_t ecc = 0;
    for (unsigned bit = 0; bit < 64; ++bit) {
        const unsigned wordBit = bit % 32;
        if (bit >= 32 && wordBit >= 18 && wordBit <= 29)
            continue;
        if (std::to_integer<unsigned>(tags[bit / 8]) >> (bit % 8) & 1u)
            ecc ^= bit + 1;
    }
    return ecc;
}

void dataEcc(const std::byte* page, std::byte* spare) {
    for (size_t half = 0; half < 2; ++half) {
        const auto e = yaffs2::yaffsEcc256(page + half * 256);
        for (size_t k = 0; k < 3; ++k)
            spare[(half ? 13 : 8) + k] = static_cast<std::byte>(e[k]);
    }
}

} // namespace

void Yaffs1Builder::page(const Yaffs1Page& p, ByteSpan data) {
    const size_t at = image_.size();
    image_.resize(at + kRecord, std::byte{0});
    std::byte* page = image_.data() + at;
    std::memcpy(page, data.data(), std::min(data.size(), kPage));
    std::byte* spare = page + kPage;
    std::memset(spare, 0xFF, 16);
    std::byte tags[8];
    store32(tags, p.chunkId | p.serial << 20 | (p.bytes & 0x3FF) << 22);
    store32(tags + 4, p.objectId | 3u << 30);
    store32(tags + 4, load32(tags + 4) | eccOf(tags) << 18);
    for (size_t k = 0; k < 8; ++k)
        spare[kTagAt[k]] = tags[k];
    if (p.deleted)
        spare[4] = std::byte{0};
    spare[5] = p.blockStatus;
    dataEcc(page, spare);
}

void Yaffs1Builder::header(uint32_t id, const yaffs2::ObjectHeader& h, uint32_t serial,
                           uint32_t shadows) {
    Bytes page(kPage);
    yaffs2::encodeHeader(h, page.data(), std::byte{0xFF}, kPage);
    if (shadows)
        store32(page.data() + 504, shadows);
    this->page({id, 0, serial, 0x3FF}, page);
}

void Yaffs1Builder::file(uint32_t id, ByteSpan contents, uint32_t serial) {
    for (size_t off = 0; off < contents.size(); off += kPage) {
        const size_t n = std::min(kPage, contents.size() - off);
        page({id, static_cast<uint32_t>(off / kPage + 1), serial, static_cast<uint32_t>(n)},
             contents.subspan(off, n));
    }
}

void Yaffs1Builder::erased(size_t pages) {
    image_.insert(image_.end(), pages * kRecord, std::byte{0xFF});
}

void Yaffs1Builder::flip(size_t k, size_t offset, unsigned bit) {
    image_[k * kRecord + offset] ^= static_cast<std::byte>(1u << bit);
}

yaffs2::ObjectHeader Yaffs1Builder::make(uint32_t type, uint32_t parent, const std::string& name,
                                         uint32_t mode) {
    yaffs2::ObjectHeader h;
    h.type = type;
    h.parent = parent;
    h.name = name;
    h.mode = mode;
    h.atime = 1000;
    h.mtime = 2000;
    h.ctime = 3000;
    return h;
}

std::string yaffs1Pages(const Bytes& image) {
    std::string out;
    for (size_t at = 0; at + kRecord <= image.size(); at += kRecord) {
        const std::byte* page = image.data() + at;
        const std::byte* spare = page + kPage;
        if (std::all_of(spare, spare + 16, [](std::byte b) { return b == std::byte{0xFF}; })) {
            out += "erased\n";
            continue;
        }
        if (spare[4] != std::byte{0xFF}) {
            out += "deleted\n";
            continue;
        }
        std::byte tags[8];
        for (size_t k = 0; k < 8; ++k)
            tags[k] = spare[kTagAt[k]];
        const uint32_t w0 = load32(tags), w1 = load32(tags + 4);
        out += "obj " + std::to_string(w1 & 0x3FFFF) + " chunk " + std::to_string(w0 & 0xFFFFF) +
               " serial " + std::to_string(w0 >> 20 & 3) + " bytes " + std::to_string(w0 >> 22);
        if ((w1 >> 18 & 0xFFF) != eccOf(tags) || w1 >> 30 != 3)
            out += " tag-ecc-bad";
        std::byte want[16];
        std::memcpy(want, spare, 16);
        dataEcc(page, want);
        if (std::memcmp(want + 8, spare + 8, 3) != 0 || std::memcmp(want + 13, spare + 13, 3) != 0)
            out += " data-ecc-bad";
        out += "\n";
    }
    return out;
}

} // namespace korvane::test
