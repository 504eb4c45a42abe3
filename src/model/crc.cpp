#include "crc.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace korvane {

namespace {

template <typename T, T Poly>
constexpr std::array<std::array<T, 256>, 8> makeTables() {
    std::array<std::array<T, 256>, 8> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        T c = static_cast<T>(i);
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? static_cast<T>((c >> 1) ^ Poly) : static_cast<T>(c >> 1);
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t s = 1; s < 8; ++s)
            t[s][i] = static_cast<T>((t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF]);
    return t;
}

constexpr auto kCrc32c = makeTables<uint32_t, 0x82F63B78u>();
constexpr auto kCrc32 = makeTables<uint32_t, 0xEDB88320u>();
constexpr auto kCrc16 = makeTables<uint16_t, 0xA001>();

// Slicing by eight: eight table lookups per eight bytes.
uint32_t update32(const std::array<std::array<uint32_t, 256>, 8>& t, uint32_t c, ByteSpan data) {
    const std::byte* p = data.data();
    size_t n = data.size();
    while (n >= 8) {
        const uint32_t lo = c ^ load32(p);
        const uint32_t hi = load32(p + 4);
        c = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
            t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0)
        c = (c >> 8) ^ t[0][(c ^ std::to_integer<uint32_t>(*p++)) & 0xFF];
    return c;
}

#if defined(__x86_64__)
// The SSE 4.2 crc32 instruction computes CRC32C eight bytes at a time, but
// each step waits three cycles for the one before. Three streams over three
// lanes of a buffer keep it busy every cycle; their registers are then
// joined. The register update is linear: running a lane from register r
// gives shift(r) ^ (the lane run from 0), where shift is what kLane zero
// bytes do to a register, a linear map taken by tables byte by byte.
constexpr size_t kLane = 256;

__attribute__((target("sse4.2"))) uint64_t crc32cSteps(uint64_t r, const std::byte* p, size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        r = _mm_crc32_u64(r, v);
    }
    return r;
}

struct LaneShift {
    std::array<std::array<uint32_t, 256>, 4> t{};
    LaneShift() {
        const std::array<std::byte, kLane> zeros{};
        for (size_t k = 0; k < 4; ++k)
            for (uint32_t b = 0; b < 256; ++b)
                t[k][b] = static_cast<uint32_t>(crc32cSteps(b << (8 * k), zeros.data(), kLane));
    }
    uint32_t operator()(uint32_t r) const {
        return t[0][r & 0xFF] ^ t[1][(r >> 8) & 0xFF] ^ t[2][(r >> 16) & 0xFF] ^ t[3][r >> 24];
    }
};

__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t c, ByteSpan data) {
    static const LaneShift shift;
    const std::byte* p = data.data();
    size_t n = data.size();
    for (; n >= 3 * kLane; p += 3 * kLane, n -= 3 * kLane) {
        uint64_t a = c, b = 0, d = 0;
        for (size_t i = 0; i < kLane; i += 8) {
            uint64_t x, y, z;
            std::memcpy(&x, p + i, 8);
            std::memcpy(&y, p + kLane + i, 8);
            std::memcpy(&z, p + 2 * kLane + i, 8);
            a = _mm_crc32_u64(a, x);
            b = _mm_crc32_u64(b, y);
            d = _mm_crc32_u64(d, z);
        }
        c = shift(shift(static_cast<uint32_t>(a)) ^ static_cast<uint32_t>(b)) ^
            static_cast<uint32_t>(d);
    }
    c = static_cast<uint32_t>(crc32cSteps(c, p, n));
    p += n / 8 * 8;
    for (n %= 8; n > 0; ++p, --n)
        c = _mm_crc32_u8(c, std::to_integer<uint8_t>(*p));
    return c;
}

const bool kHaveCrc32cInstruction = __builtin_cpu_supports("sse4.2");
#endif

} // namespace

uint32_t crc32c(uint32_t seed, ByteSpan data) {
#if defined(__x86_64__)
    if (kHaveCrc32cInstruction)
        return crc32cHardware(seed, data);
#endif
    return update32(kCrc32c, seed, data);
}

uint32_t crc32(uint32_t previous, ByteSpan data) {
    return ~update32(kCrc32, ~previous, data);
}

uint32_t crc32Raw(uint32_t seed, ByteSpan data) {
    return update32(kCrc32, seed, data);
}

uint16_t crc16(uint16_t seed, ByteSpan data) {
    uint16_t c = seed;
    for (std::byte b : data)
        c = static_cast<uint16_t>((c >> 8) ^ kCrc16[0][(c ^ std::to_integer<uint16_t>(b)) & 0xFF]);
    return c;
}

} // namespace korvane
