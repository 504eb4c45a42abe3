#include "csum.h"

#include "ext2_format.h"
#include "model/crc.h"
#include "superblock.h"

#include <array>
#include <cstring>
#include <optional>

namespace korvane::ext2::csum {

namespace {

uint32_t crcLe32(uint32_t seed, uint32_t v) {
    std::byte le[4];
    store32(le, v);
    return crc32c(seed, ByteSpan(le, 4));
}

// crc32c over data with the n bytes at skipAt taken as zeros.
uint32_t crcSkipping(uint32_t seed, ByteSpan data, size_t skipAt, size_t n) {
    static constexpr std::byte kZeros[8]{};
    uint32_t c = crc32c(seed, data.first(skipAt));
    c = crc32c(c, ByteSpan(kZeros, n));
    return crc32c(c, data.subspan(skipAt + n));
}

// Whether the inode's extra fields reach i_checksum_hi.
bool inodeHasHigh(ByteSpan raw) {
    return raw.size() > kGoodOldInodeSize &&
           kGoodOldInodeSize + load16(raw.data() + ino::kExtraIsize) >= ino::kChecksumHi + 2;
}

// Where an extent block's tail sits by its header's eh_max, if it fits.
std::optional<size_t> extentTailAt(ByteSpan block) {
    const size_t tail = ext::kHeaderSize + ext::kEntrySize * load16(block.data() + ext::kMax);
    if (tail + ext::kTailSize > block.size())
        return std::nullopt;
    return tail;
}

uint32_t dirLeaf(ByteSpan block, uint32_t seed) {
    return crc32c(seed, block.first(block.size() - dt::kTailSize));
}

} // namespace

uint32_t fsSeed(const std::array<uint8_t, 16>& uuid) {
    return crc32c(~0u, ByteSpan(reinterpret_cast<const std::byte*>(uuid.data()), uuid.size()));
}

uint32_t inodeSeed(uint32_t fsSeed, uint32_t ino, uint32_t generation) {
    return crcLe32(crcLe32(fsSeed, ino), generation);
}

uint32_t superblock(const std::byte* sb) {
    return crc32c(~0u, ByteSpan(sb, sb::kChecksum));
}

bool superblockOk(const std::byte* sb) {
    return superblock(sb) == load32(sb + sb::kChecksum);
}

void setSuperblock(std::byte* sb) {
    store32(sb + sb::kChecksum, superblock(sb));
}

uint16_t groupDesc(const std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed) {
    const uint32_t c =
        crcSkipping(crcLe32(fsSeed, group), ByteSpan(desc, descSize), gd::kChecksum, 2);
    return static_cast<uint16_t>(c & 0xFFFF);
}

uint16_t groupDescCrc16(const std::byte* desc, size_t descSize, uint32_t group,
                        const std::array<uint8_t, 16>& uuid) {
    std::byte le[4];
    store32(le, group);
    uint16_t c = crc16(0xFFFF, ByteSpan(reinterpret_cast<const std::byte*>(uuid.data()), 16));
    c = crc16(c, ByteSpan(le, 4));
    c = crc16(c, ByteSpan(desc, gd::kChecksum));
    if (descSize > gd::kChecksum + 2)
        c = crc16(c, ByteSpan(desc + gd::kChecksum + 2, descSize - gd::kChecksum - 2));
    return c;
}

bool groupDescOk(const Superblock& s, uint32_t group, const std::byte* desc) {
    const size_t size = s.has(kIncompat64bit) ? s.descSize : kDescSize;
    const uint16_t c = s.metadataCsum() ? groupDesc(desc, size, group, s.csumSeed)
                                        : groupDescCrc16(desc, size, group, s.uuid);
    return c == load16(desc + gd::kChecksum);
}

void setGroupDesc(std::byte* desc, size_t descSize, uint32_t group, uint32_t fsSeed) {
    store16(desc + gd::kChecksum, groupDesc(desc, descSize, group, fsSeed));
}

void setGroupDescCrc16(std::byte* desc, size_t descSize, uint32_t group,
                       const std::array<uint8_t, 16>& uuid) {
    store16(desc + gd::kChecksum, groupDescCrc16(desc, descSize, group, uuid));
}

uint32_t bitmap(uint32_t fsSeed, ByteSpan bits) {
    return crc32c(fsSeed, bits);
}

uint32_t inode(ByteSpan raw, uint32_t seed) {
    // The sum counts the checksum fields as zeros. Over a copy with them
    // cleared it is one run over the record instead of five short ones, each
    // waiting on the last (an inode is summed for every object listed).
    std::array<std::byte, 1024> small;
    Bytes large; // inodes are seldom larger than 256 bytes, never in practice than 1 KiB
    std::byte* copy = small.data();
    if (raw.size() > small.size()) {
        large.resize(raw.size());
        copy = large.data();
    }
    std::memcpy(copy, raw.data(), raw.size());
    std::memset(copy + ino::kChecksumLo, 0, 2);
    if (inodeHasHigh(raw))
        std::memset(copy + ino::kChecksumHi, 0, 2);
    return crc32c(seed, ByteSpan(copy, raw.size()));
}

bool inodeOk(const Superblock& s, uint32_t ino, ByteSpan raw) {
    const uint32_t seed = inodeSeed(s.csumSeed, ino, load32(raw.data() + ino::kGeneration));
    const uint32_t c = inode(raw, seed);
    const uint32_t stored = load16(raw.data() + ino::kChecksumLo);
    if (inodeHasHigh(raw))
        return (stored | uint32_t{load16(raw.data() + ino::kChecksumHi)} << 16) == c;
    return stored == (c & 0xFFFF);
}

void setInode(std::byte* p, size_t inodeSize, uint32_t seed) {
    const ByteSpan raw(p, inodeSize);
    const uint32_t c = inode(raw, seed);
    store16(p + ino::kChecksumLo, static_cast<uint16_t>(c & 0xFFFF));
    if (inodeHasHigh(raw))
        store16(p + ino::kChecksumHi, static_cast<uint16_t>(c >> 16));
}

bool extentBlockOk(uint32_t seed, ByteSpan block) {
    const std::optional<size_t> tail = extentTailAt(block);
    return tail && crc32c(seed, block.first(*tail)) == load32(block.data() + *tail);
}

void setExtentBlock(std::byte* block, size_t blockSize, uint32_t seed) {
    const ByteSpan b(block, blockSize);
    if (const std::optional<size_t> tail = extentTailAt(b))
        store32(block + *tail, crc32c(seed, b.first(*tail)));
}

bool dirLeafOk(uint32_t seed, ByteSpan block) {
    const size_t tail = block.size() - dt::kTailSize;
    return dirLeaf(block, seed) == load32(block.data() + tail + dt::kTailChecksum);
}

void setDirBlock(std::byte* block, size_t blockSize, uint32_t seed) {
    const ByteSpan b(block, blockSize);
    store32(block + blockSize - dt::kTailSize + dt::kTailChecksum, dirLeaf(b, seed));
}

bool dirIndexOk(uint32_t seed, ByteSpan block, size_t countAt) {
    const size_t limit = load16(block.data() + countAt);
    const size_t count = load16(block.data() + countAt + 2);
    const size_t tailAt = countAt + limit * dt::kDxEntrySize;
    if (count > limit || tailAt + dt::kDxTailSize > block.size())
        return false;
    uint32_t c = crc32c(seed, block.first(countAt + count * dt::kDxEntrySize));
    c = crcSkipping(c, block.subspan(tailAt, dt::kDxTailSize), 4, 4);
    return c == load32(block.data() + tailAt + 4);
}

uint32_t xattrBlock(ByteSpan block, uint64_t blockNr, uint32_t fsSeed) {
    std::byte le[8];
    store32(le, static_cast<uint32_t>(blockNr));
    store32(le + 4, static_cast<uint32_t>(blockNr >> 32));
    return crcSkipping(crc32c(fsSeed, ByteSpan(le, 8)), block, xa::kBlockChecksum, 4);
}

bool xattrBlockOk(uint32_t fsSeed, uint64_t blockNr, ByteSpan block) {
    return xattrBlock(block, blockNr, fsSeed) == load32(block.data() + xa::kBlockChecksum);
}

void setXattrBlock(std::byte* block, size_t blockSize, uint64_t blockNr, uint32_t fsSeed) {
    store32(block + xa::kBlockChecksum, xattrBlock(ByteSpan(block, blockSize), blockNr, fsSeed));
}

} // namespace korvane::ext2::csum
