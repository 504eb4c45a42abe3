// Device numbers: one type for every format, and the encodings the formats
// store. The kernel's "old" encoding packs an 8-bit major and an 8-bit minor
// in 16 bits; the "new" one packs a 12-bit major and a 20-bit minor in 32 bits
// so that numbers below 256 read the same in both.
#pragma once

#include <cstdint>

namespace korvane {

struct DevNum {
    uint32_t major = 0;
    uint32_t minor = 0;

    friend bool operator==(const DevNum&, const DevNum&) = default;
};

constexpr bool fitsOldDev(DevNum d) {
    return d.major < 256 && d.minor < 256;
}

constexpr bool fitsNewDev(DevNum d) {
    return d.major < 4096 && d.minor < (1u << 20);
}

constexpr uint32_t encodeOldDev(DevNum d) {
    return (d.major & 0xFF) << 8 | (d.minor & 0xFF);
}

constexpr DevNum decodeOldDev(uint32_t v) {
    return {(v >> 8) & 0xFF, v & 0xFF};
}

constexpr uint32_t encodeNewDev(DevNum d) {
    return (d.minor & 0xFF) | (d.major & 0xFFF) << 8 | (d.minor & ~0xFFu) << 12;
}

constexpr DevNum decodeNewDev(uint32_t v) {
    return {(v & 0xFFF00) >> 8, (v & 0xFF) | ((v >> 12) & 0xFFF00)};
}

// EXT inodes keep a device number in the block map: the old encoding in
// block 0 when it fits, otherwise 0 there and the new encoding in block 1.
constexpr DevNum decodeExtDev(uint32_t block0, uint32_t block1) {
    return block0 != 0 ? decodeOldDev(block0) : decodeNewDev(block1);
}

} // namespace korvane
