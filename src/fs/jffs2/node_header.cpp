#include "node_header.h"

#include "jffs2_crc.h"

#include <cstring>

namespace korvane::jffs2 {

namespace {

uint32_t headerCrc(const std::byte* p, const Endian& e) {
    std::byte span[hdr::kCrcSpan];
    std::memcpy(span, p, sizeof span);
    e.put16(span + hdr::kType, static_cast<uint16_t>(e.u16(p + hdr::kType) | kAccurate));
    return jffs2Crc(span, sizeof span);
}

} // namespace

NodeHeader loadHeader(const std::byte* p, const Endian& e) {
    return {e.u16(p + hdr::kMagic), e.u16(p + hdr::kType), e.u32(p + hdr::kTotlen)};
}

bool headerOk(const std::byte* p, const Endian& e) {
    return e.u16(p + hdr::kMagic) == kMagic && e.u32(p + hdr::kCrc) == headerCrc(p, e);
}

void storeHeader(std::byte* p, uint16_t type, uint32_t totlen, const Endian& e) {
    e.put16(p + hdr::kMagic, kMagic);
    e.put16(p + hdr::kType, type);
    e.put32(p + hdr::kTotlen, totlen);
    e.put32(p + hdr::kCrc, headerCrc(p, e));
}

} // namespace korvane::jffs2
