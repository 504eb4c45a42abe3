#include "tags1.h"

#include "fs/yaffs2/ecc.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace korvane::yaffs1 {

namespace {

constexpr size_t kTagPlaces[8] = {spare::kTags0,     spare::kTags0 + 1, spare::kTags0 + 2,
                                  spare::kTags0 + 3, spare::kTags4,     spare::kTags4 + 1,
                                  spare::kTags6,     spare::kTags6 + 1};
constexpr uint32_t kEccMask = 0xFFFu << kEccShift;

} // namespace

void gatherTags(const std::byte* sp, std::byte* tags8) {
    for (size_t k = 0; k < 8; ++k)
        tags8[k] = sp[kTagPlaces[k]];
}

void gatherDataEcc(const std::byte* sp, std::byte* ecc6) {
    std::memcpy(ecc6, sp + spare::kEcc1, spare::kEccSize);
    std::memcpy(ecc6 + spare::kEccSize, sp + spare::kEcc2, spare::kEccSize);
}

uint32_t tagEcc(const std::byte* tags8) {
    std::byte t[8];
    std::memcpy(t, tags8, 8);
    store32(t + 4, load32(t + 4) & ~kEccMask);
    uint32_t ecc = 0;
    uint32_t bit = 0;
    for (std::byte b : t)
        for (unsigned k = 0; k < 8; ++k) {
            ++bit;
            if (std::to_integer<unsigned>(b) & (1u << k))
                ecc ^= bit;
        }
    return ecc;
}

TagState readTags(const std::byte* sp, Tags1& tags) {
    if (std::all_of(sp, sp + kSpareSize, [](std::byte b) { return b == std::byte{0xFF}; }))
        return TagState::kErased;
    if (std::popcount(std::to_integer<unsigned>(sp[spare::kPageStatus])) < 7)
        return TagState::kDeleted;
    std::byte t[8];
    gatherTags(sp, t);
    TagState state = TagState::kClean;
    const uint32_t syndrome = ((load32(t + 4) & kEccMask) >> kEccShift) ^ tagEcc(t);
    if (syndrome > 64)
        return TagState::kFailed;
    if (syndrome != 0) {
        // The number of the flipped bit, counted from 1 as the ECC counts.
        const uint32_t at = syndrome - 1;
        t[at / 8] ^= static_cast<std::byte>(1u << (at % 8));
        state = TagState::kCorrected;
    }
    const uint32_t w0 = load32(t), w1 = load32(t + 4);
    tags.chunkId = w0 & kMaxChunkId;
    tags.serial = (w0 >> kSerialShift) & 3;
    tags.byteCount = w0 >> kBytesShift;
    tags.objectId = w1 & kMaxObjectId;
    return state;
}

void writeSpare(std::byte* sp, const Tags1& tags, const std::byte* page) {
    std::memset(sp, 0xFF, kSpareSize);
    std::byte t[8];
    // With 512-byte pages the byte count's high bits are not used: 3.
    store32(t, (tags.chunkId & kMaxChunkId) | (tags.serial & 3) << kSerialShift |
                   (tags.byteCount & 0x3FF) << kBytesShift);
    store32(t + 4, (tags.objectId & kMaxObjectId) | 3u << kBytesHighShift);
    store32(t + 4, load32(t + 4) | tagEcc(t) << kEccShift);
    for (size_t k = 0; k < 8; ++k)
        sp[kTagPlaces[k]] = t[k];
    std::byte ecc[6];
    yaffs2::storeDataEcc(page, kPageSize, yaffs2::kEccYaffs, ecc);
    std::memcpy(sp + spare::kEcc1, ecc, spare::kEccSize);
    std::memcpy(sp + spare::kEcc2, ecc + spare::kEccSize, spare::kEccSize);
}

} // namespace korvane::yaffs1
