// Little- and big-endian load/store helpers for on-disk structures, and the
// owning byte buffer type used for contents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane {

using Bytes = std::vector<std::byte>;
using ByteSpan = std::span<const std::byte>;
using MutableByteSpan = std::span<std::byte>;

inline uint16_t load16(const std::byte* p) {
    return static_cast<uint16_t>(std::to_integer<uint16_t>(p[0]) |
                                 (std::to_integer<uint16_t>(p[1]) << 8));
}

inline uint32_t load32(const std::byte* p) {
    return std::to_integer<uint32_t>(p[0]) | (std::to_integer<uint32_t>(p[1]) << 8) |
           (std::to_integer<uint32_t>(p[2]) << 16) | (std::to_integer<uint32_t>(p[3]) << 24);
}

inline uint32_t load32be(const std::byte* p) {
    return (std::to_integer<uint32_t>(p[0]) << 24) | (std::to_integer<uint32_t>(p[1]) << 16) |
           (std::to_integer<uint32_t>(p[2]) << 8) | std::to_integer<uint32_t>(p[3]);
}

inline void store16(std::byte* p, uint16_t v) {
    p[0] = static_cast<std::byte>(v & 0xFF);
    p[1] = static_cast<std::byte>(v >> 8);
}

inline void store32(std::byte* p, uint32_t v) {
    p[0] = static_cast<std::byte>(v & 0xFF);
    p[1] = static_cast<std::byte>((v >> 8) & 0xFF);
    p[2] = static_cast<std::byte>((v >> 16) & 0xFF);
    p[3] = static_cast<std::byte>(v >> 24);
}

inline void store32be(std::byte* p, uint32_t v) {
    p[0] = static_cast<std::byte>(v >> 24);
    p[1] = static_cast<std::byte>((v >> 16) & 0xFF);
    p[2] = static_cast<std::byte>((v >> 8) & 0xFF);
    p[3] = static_cast<std::byte>(v & 0xFF);
}

inline uint16_t load16be(const std::byte* p) {
    return static_cast<uint16_t>((std::to_integer<uint16_t>(p[0]) << 8) |
                                 std::to_integer<uint16_t>(p[1]));
}

inline uint64_t load64(const std::byte* p) {
    return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32;
}

inline uint64_t load64be(const std::byte* p) {
    return uint64_t{load32be(p)} << 32 | load32be(p + 4);
}

inline void store16be(std::byte* p, uint16_t v) {
    p[0] = static_cast<std::byte>(v >> 8);
    p[1] = static_cast<std::byte>(v & 0xFF);
}

inline void store64(std::byte* p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v));
    store32(p + 4, static_cast<uint32_t>(v >> 32));
}

inline void store64be(std::byte* p, uint64_t v) {
    store32be(p, static_cast<uint32_t>(v >> 32));
    store32be(p + 4, static_cast<uint32_t>(v));
}

// Bytes up to the first zero byte, at most max of them.
inline std::string zeroTerminated(const std::byte* p, size_t max) {
    if (max == 0) // p may be null then, which memchr does not allow
        return {};
    const void* end = std::memchr(p, 0, max);
    size_t n = end ? static_cast<size_t>(static_cast<const std::byte*>(end) - p) : max;
    return std::string(reinterpret_cast<const char*>(p), n);
}

inline ByteSpan asBytes(std::string_view s) {
    return {reinterpret_cast<const std::byte*>(s.data()), s.size()};
}

} // namespace korvane
