#include "node_header.h"

#include "jffs2_crc.h"

#include <algorithm>
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

HeaderRun followHeaders(ByteSpan bytes, const Endian& e, uint64_t end, unsigned max) {
    HeaderRun run;
    for (uint64_t at = 0; run.nodes < max && at + hdr::kSize <= bytes.size();) {
        if (load32(bytes.data() + at) == 0xFFFFFFFF) {
            at += 4;
            continue;
        }
        const NodeHeader h = loadHeader(bytes.data() + at, e);
        if (!headerOk(bytes.data() + at, e) || h.totlen < hdr::kSize ||
            h.totlen > end - std::min(end, at)) {
            run.broken = true;
            break;
        }
        ++run.nodes;
        at += padded(h.totlen);
    }
    return run;
}

void storeHeader(std::byte* p, uint16_t type, uint32_t totlen, const Endian& e) {
    e.put16(p + hdr::kMagic, kMagic);
    e.put16(p + hdr::kType, type);
    e.put32(p + hdr::kTotlen, totlen);
    e.put32(p + hdr::kCrc, headerCrc(p, e));
}

} // namespace korvane::jffs2
