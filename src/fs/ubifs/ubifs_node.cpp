#include "ubifs_node.h"

#include "container/ubi/ubi_crc.h"

#include <algorithm>
#include <cstring>

namespace korvane::ubifs {

uint32_t nodeCrc(ByteSpan node) {
    return ubiCrc32(node.subspan(kCrcFrom));
}

void sealNode(MutableByteSpan node, uint8_t type, uint64_t sqnum) {
    std::byte* p = node.data();
    store32(p + ch::kMagic, kNodeMagic);
    store64(p + ch::kSqnum, sqnum);
    store32(p + ch::kLen, static_cast<uint32_t>(node.size()));
    p[ch::kNodeType] = std::byte{type};
    store32(p + ch::kCrc, nodeCrc(node));
}

std::optional<NodeHeader> loadHeader(const std::byte* p) {
    if (load32(p + ch::kMagic) != kNodeMagic)
        return std::nullopt;
    NodeHeader h;
    h.sqnum = load64(p + ch::kSqnum);
    h.len = load32(p + ch::kLen);
    h.type = std::to_integer<uint8_t>(p[ch::kNodeType]);
    return h;
}

LebReader::LebReader(const ImageSource& src, uint32_t lebSize, uint32_t lebCount)
    : src_(src), lebSize_(lebSize), lebCount_(lebCount) {}

bool LebReader::read(uint32_t lnum, uint32_t offs, MutableByteSpan out) const {
    if (lnum >= lebCount_ || offs > lebSize_ || out.size() > lebSize_ - offs)
        return false;
    const uint64_t at = uint64_t{lnum} * lebSize_ + offs;
    const uint64_t size = src_.size();
    // What the volume does not hold was never written: erased flash.
    const size_t inside =
        at >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(out.size(), size - at));
    if (inside > 0) {
        src_.read(at, out.first(inside));
        if (noteRead)
            noteRead(at, inside);
    }
    std::memset(out.data() + inside, 0xFF, out.size() - inside);
    return true;
}

bool LebReader::readNode(const NodeLoc& loc, Bytes& buf, std::optional<uint8_t> want,
                         Message* why) const {
    auto fail = [&](Message m) {
        if (why)
            *why = std::move(m);
        return false;
    };
    if (loc.len < ch::kSize)
        return fail(msg("a node of %1 bytes is too short", loc.len));
    buf.resize(loc.len);
    if (!read(loc.lnum, loc.offs, MutableByteSpan(buf)))
        return fail(msg("LEB %1 offset %2 (%3 bytes) lies outside the volume", loc.lnum, loc.offs,
                        loc.len));
    const std::optional<NodeHeader> h = loadHeader(buf.data());
    if (!h)
        return fail(msg("no node at LEB %1 offset %2", loc.lnum, loc.offs));
    if (h->len != loc.len)
        return fail(msg("the node at LEB %1 offset %2 is %3 bytes long, not %4", loc.lnum, loc.offs,
                        h->len, loc.len));
    if (want && h->type != *want)
        return fail(msg("the node at LEB %1 offset %2 is of type %3, not %4", loc.lnum, loc.offs,
                        h->type, *want));
    if (load32(buf.data() + ch::kCrc) != nodeCrc(buf))
        return fail(msg("the node at LEB %1 offset %2 fails its CRC", loc.lnum, loc.offs));
    return true;
}

namespace {

constexpr uint32_t align8(uint32_t v) {
    return (v + 7) & ~7u;
}

bool allFF(const std::byte* p, size_t n) {
    return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0xFF}; });
}

} // namespace

LebScan scanLeb(const LebReader& r, uint32_t lnum, uint32_t offs,
                const std::function<bool(const ScannedNode&)>& fn) {
    LebScan s;
    s.end = offs;
    const uint32_t lebSize = r.lebSize();
    if (offs >= lebSize || lnum >= r.lebCount())
        return s;
    Bytes buf(lebSize - offs);
    r.read(lnum, offs, MutableByteSpan(buf));
    uint32_t pos = offs;
    auto at = [&](uint32_t p) { return buf.data() + (p - offs); };
    while (pos + ch::kSize <= lebSize) {
        const std::byte* p = at(pos);
        if (const std::optional<NodeHeader> h = loadHeader(p)) {
            if (h->len < ch::kSize || h->len > lebSize - pos ||
                load32(p + ch::kCrc) != nodeCrc(ByteSpan(p, h->len)))
                break;
            uint32_t next = align8(pos + h->len);
            if (h->type == kPadNode) {
                if (h->len < pad::kNodeSize)
                    break;
                const uint64_t end = uint64_t{pos} + h->len + load32(p + pad::kPadLen);
                if (end > lebSize)
                    break;
                next = static_cast<uint32_t>(end);
            } else {
                ++s.nodes;
                if (!fn({pos, *h, ByteSpan(p, h->len)})) {
                    s.end = next;
                    return s;
                }
            }
            pos = std::min(next, lebSize);
            s.end = pos;
            continue;
        }
        if (p[0] == std::byte{kPaddingByte}) {
            uint32_t q = pos;
            while (q < lebSize && *at(q) == std::byte{kPaddingByte})
                ++q;
            pos = std::min(align8(q), lebSize);
            s.end = pos;
            continue;
        }
        break;
    }
    s.end = pos;
    s.clean = pos >= lebSize || allFF(at(pos), lebSize - pos);
    return s;
}

} // namespace korvane::ubifs
