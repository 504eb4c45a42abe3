#include "ext_csum.h"

#include "ext2_format.h"
#include "model/crc.h"

namespace korvane::ext2::csum {

namespace {

uint32_t crcOf(uint32_t seed, const std::byte* p, size_t n) {
    return crc32c(seed, ByteSpan(p, n));
}

uint32_t crcLe32(uint32_t seed, uint32_t v) {
    std::byte b[4];
    store32(b, v);
    return crcOf(seed, b, 4);
}

// crc32c of [p, p + n) with the field of fieldSize bytes at field read as zero.
uint32_t crcWithout(uint32_t seed, const std::byte* p, size_t n, size_t field, size_t fieldSize) {
    static constexpr std::byte kZeros[4] = {};
    uint32_t c = crcOf(seed, p, field);
    c = crcOf(c, kZeros, fieldSize);
    return crcOf(c, p + field + fieldSize, n - field - fieldSize);
}

} // namespace

uint32_t fsSeed(const std::array<uint8_t, 16>& uuid) {
    return crcOf(~0u, reinterpret_cast<const std::byte*>(uuid.data()), uuid.size());
}

uint32_t inodeSeed(uint32_t fsSeed, uint32_t ino, uint32_t generation) {
    return crcLe32(crcLe32(fsSeed, ino), generation);
}

void setSuperblock(std::byte* s) {
    store32(s + sb::kChecksum, crcOf(~0u, s, sb::kChecksum));
}

void setGroupDesc(std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed) {
    const uint32_t c = crcWithout(crcLe32(fsSeed, group), desc, descSize, gd::kChecksum, 2);
    store16(desc + gd::kChecksum, static_cast<uint16_t>(c & 0xFFFF));
}

void setGroupDescCrc16(std::byte* desc, size_t descSize, uint32_t group,
                       const std::array<uint8_t, 16>& uuid) {
    std::byte le[4];
    store32(le, group);
    uint16_t c = crc16(0xFFFF, ByteSpan(reinterpret_cast<const std::byte*>(uuid.data()), 16));
    c = crc16(c, ByteSpan(le, 4));
    c = crc16(c, ByteSpan(desc, gd::kChecksum));
    if (descSize > gd::kChecksum + 2)
        c = crc16(c, ByteSpan(desc + gd::kChecksum + 2, descSize - gd::kChecksum - 2));
    store16(desc + gd::kChecksum, c);
}

uint32_t bitmap(uint32_t fsSeed, ByteSpan bits) {
    return crc32c(fsSeed, bits);
}

void setInode(std::byte* p, size_t inodeSize, uint32_t seed) {
    const bool hasHi = inodeSize > kGoodOldInodeSize &&
                       kGoodOldInodeSize + load16(p + ino::kExtraIsize) >= ino::kChecksumHi + 2;
    store16(p + ino::kChecksumLo, 0);
    if (hasHi)
        store16(p + ino::kChecksumHi, 0);
    const uint32_t c = crcOf(seed, p, inodeSize);
    store16(p + ino::kChecksumLo, static_cast<uint16_t>(c & 0xFFFF));
    if (hasHi)
        store16(p + ino::kChecksumHi, static_cast<uint16_t>(c >> 16));
}

void setExtentBlock(std::byte* block, size_t blockSize, uint32_t seed) {
    const size_t tail =
        ext::kHeaderSize + (blockSize - ext::kHeaderSize) / ext::kEntrySize * ext::kEntrySize;
    store32(block + tail, crcOf(seed, block, tail));
}

void setDirBlock(std::byte* block, size_t blockSize, uint32_t seed) {
    const size_t tail = blockSize - dt::kTailSize;
    store32(block + tail + dt::kTailChecksum, crcOf(seed, block, tail));
}

void setXattrBlock(std::byte* block, size_t blockSize, uint64_t blockNr, uint32_t fsSeed) {
    std::byte le[8];
    store32(le, static_cast<uint32_t>(blockNr));
    store32(le + 4, static_cast<uint32_t>(blockNr >> 32));
    const uint32_t c = crcWithout(crcOf(fsSeed, le, 8), block, blockSize, xa::kBlockChecksum, 4);
    store32(block + xa::kBlockChecksum, c);
}

} // namespace korvane::ext2::csum
