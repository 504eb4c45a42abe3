#include "csum.h"

#include "ext2_format.h"
#include "model/crc.h"
#include "superblock.h"

namespace korvane::ext2 {

namespace {

uint32_t crcOfWord(uint32_t seed, uint32_t v) {
    std::byte le[4];
    store32(le, v);
    return crc32c(seed, ByteSpan(le, 4));
}

// crc32c over data with the n bytes at skipAt taken as zeros.
uint32_t crcSkipping(uint32_t seed, ByteSpan data, size_t skipAt, size_t n) {
    static const std::byte zeros[8]{};
    uint32_t c = crc32c(seed, data.first(skipAt));
    c = crc32c(c, ByteSpan(zeros, n));
    return crc32c(c, data.subspan(skipAt + n));
}

} // namespace

uint32_t superblockChecksum(const std::byte* sb) {
    return crc32c(~0u, ByteSpan(sb, sb::kChecksum));
}

uint16_t groupDescChecksum(const Superblock& s, uint32_t group, const std::byte* desc) {
    const size_t size = s.has(kIncompat64bit) ? s.descSize : kDescSize;
    const ByteSpan d(desc, size);
    if (s.metadataCsum()) {
        const uint32_t c = crcSkipping(crcOfWord(s.csumSeed, group), d, gd::kChecksum, 2);
        return static_cast<uint16_t>(c & 0xFFFF);
    }
    std::byte uuid[16];
    for (size_t i = 0; i < 16; ++i)
        uuid[i] = std::byte{s.uuid[i]};
    std::byte le[4];
    store32(le, group);
    uint16_t c = crc16(0xFFFF, ByteSpan(uuid, 16));
    c = crc16(c, ByteSpan(le, 4));
    c = crc16(c, d.first(gd::kChecksum));
    if (size > gd::kChecksum + 2)
        c = crc16(c, d.subspan(gd::kChecksum + 2));
    return c;
}

uint32_t inodeSeed(const Superblock& s, uint32_t ino, uint32_t generation) {
    return crcOfWord(crcOfWord(s.csumSeed, ino), generation);
}

bool inodeChecksumOk(const Superblock& s, uint32_t ino, ByteSpan raw) {
    const uint32_t seed = inodeSeed(s, ino, load32(raw.data() + ino::kGeneration));
    const bool large = raw.size() > kGoodOldInodeSize;
    const bool hasHigh =
        large && kGoodOldInodeSize + load16(raw.data() + ino::kExtraIsize) >= ino::kChecksumHi + 2;
    uint32_t c = crcSkipping(seed, raw.first(kGoodOldInodeSize), ino::kChecksumLo, 2);
    if (large) {
        const ByteSpan rest = raw.subspan(kGoodOldInodeSize);
        const size_t hiAt = ino::kChecksumHi - kGoodOldInodeSize;
        c = hasHigh ? crcSkipping(c, rest, hiAt, 2) : crc32c(c, rest);
    }
    uint32_t stored = load16(raw.data() + ino::kChecksumLo);
    if (hasHigh)
        return (stored | uint32_t{load16(raw.data() + ino::kChecksumHi)} << 16) == c;
    return stored == (c & 0xFFFF);
}

bool extentBlockChecksumOk(uint32_t seed, ByteSpan block) {
    const size_t tail = ext::kHeaderSize + ext::kEntrySize * load16(block.data() + ext::kMax);
    if (tail + ext::kTailSize > block.size())
        return false;
    return crc32c(seed, block.first(tail)) == load32(block.data() + tail);
}

bool dirLeafChecksumOk(uint32_t seed, ByteSpan block) {
    const size_t tail = block.size() - dt::kTailSize;
    return crc32c(seed, block.first(tail)) == load32(block.data() + tail + dt::kTailChecksum);
}

bool dirIndexChecksumOk(uint32_t seed, ByteSpan block, size_t countAt) {
    const size_t limit = load16(block.data() + countAt);
    const size_t count = load16(block.data() + countAt + 2);
    const size_t tailAt = countAt + limit * dt::kDxEntrySize;
    if (count > limit || tailAt + dt::kDxTailSize > block.size())
        return false;
    uint32_t c = crc32c(seed, block.first(countAt + count * dt::kDxEntrySize));
    c = crcSkipping(c, block.subspan(tailAt, dt::kDxTailSize), 4, 4);
    return c == load32(block.data() + tailAt + 4);
}

bool xattrBlockChecksumOk(const Superblock& s, uint64_t b, ByteSpan block) {
    std::byte le[8];
    store32(le, static_cast<uint32_t>(b));
    store32(le + 4, static_cast<uint32_t>(b >> 32));
    const uint32_t c =
        crcSkipping(crc32c(s.csumSeed, ByteSpan(le, 8)), block, xa::kBlockChecksum, 4);
    return c == load32(block.data() + xa::kBlockChecksum);
}

} // namespace korvane::ext2
