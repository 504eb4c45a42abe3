#include "xattr_node.h"

#include "fs/ext/xattr.h"
#include "jffs2_crc.h"
#include "node_header.h"

#include <cstring>
#include <string_view>

namespace korvane::jffs2 {

namespace {

struct PrefixName {
    uint8_t prefix;
    std::string_view text;
    bool whole; // the text is the whole name (the ACLs)
};

constexpr PrefixName kPrefixes[] = {
    {kXPrefixUser, "user.", false},
    {kXPrefixSecurity, "security.", false},
    {kXPrefixAclAccess, "system.posix_acl_access", true},
    {kXPrefixAclDefault, "system.posix_acl_default", true},
    {kXPrefixTrusted, "trusted.", false},
};

bool isAcl(uint8_t prefix) {
    return prefix == kXPrefixAclAccess || prefix == kXPrefixAclDefault;
}

constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroup = 0x08;

// The compact ACL form with every field turned to the other byte order; from
// says the order it is in. Nothing when an entry runs past the end.
std::optional<std::string> swappedAcl(const std::string& acl, const Endian& from) {
    std::string out = acl;
    auto* p = reinterpret_cast<std::byte*>(out.data());
    const Endian to(from.order() == ByteOrder::kBig ? ByteOrder::kLittle : ByteOrder::kBig);
    if (out.size() < 4)
        return std::nullopt;
    to.put32(p, from.u32(p));
    for (size_t at = 4; at < out.size();) {
        if (at + 4 > out.size())
            return std::nullopt;
        const uint16_t tag = from.u16(p + at);
        to.put16(p + at, tag);
        to.put16(p + at + 2, from.u16(p + at + 2));
        at += 4;
        if (tag == kAclUser || tag == kAclGroup) {
            if (at + 4 > out.size())
                return std::nullopt;
            to.put32(p + at, from.u32(p + at));
            at += 4;
        }
    }
    return out;
}

} // namespace

XattrCheck checkXattrNode(const std::byte* p, uint32_t totlen, const Endian& e) {
    if (jffs2Crc(p, xattr::kNodeCrc) != e.u32(p + xattr::kNodeCrc))
        return XattrCheck::kBadNodeCrc;
    const uint32_t nameLen = std::to_integer<uint8_t>(p[xattr::kNameLen]);
    const uint32_t data = nameLen + 1 + e.u16(p + xattr::kValueLen);
    if (xattr::kSize + data > totlen || padded(xattr::kSize + data) != padded(totlen))
        return XattrCheck::kBadLength;
    if (jffs2Crc(p + xattr::kSize, data) != e.u32(p + xattr::kDataCrc))
        return XattrCheck::kBadDataCrc;
    return XattrCheck::kOk;
}

XattrDatum decodeXattrNode(const std::byte* p, const Endian& e) {
    XattrDatum d;
    d.xid = e.u32(p + xattr::kXid);
    d.version = e.u32(p + xattr::kVersion);
    d.prefix = std::to_integer<uint8_t>(p[xattr::kPrefix]);
    const size_t nameLen = std::to_integer<uint8_t>(p[xattr::kNameLen]);
    const auto* data = reinterpret_cast<const char*>(p + xattr::kSize);
    d.name.assign(data, nameLen);
    d.value.assign(data + nameLen + 1, e.u16(p + xattr::kValueLen));
    return d;
}

uint32_t xattrNodeSize(const XattrDatum& d) {
    return static_cast<uint32_t>(xattr::kSize + d.name.size() + 1 + d.value.size());
}

void encodeXattrNode(const XattrDatum& d, std::byte* out, const Endian& e) {
    std::memset(out, 0, xattr::kSize);
    const uint32_t size = xattrNodeSize(d);
    // The kernel writes the padded length here, unlike in other nodes.
    storeHeader(out, kTypeXattr, static_cast<uint32_t>(padded(size)), e);
    e.put32(out + xattr::kXid, d.xid);
    e.put32(out + xattr::kVersion, d.version);
    out[xattr::kPrefix] = static_cast<std::byte>(d.prefix);
    out[xattr::kNameLen] = static_cast<std::byte>(d.name.size());
    e.put16(out + xattr::kValueLen, static_cast<uint16_t>(d.value.size()));
    std::byte* data = out + xattr::kSize;
    std::memcpy(data, d.name.data(), d.name.size());
    data[d.name.size()] = std::byte{0};
    std::memcpy(data + d.name.size() + 1, d.value.data(), d.value.size());
    const size_t dataLen = size - xattr::kSize;
    e.put32(out + xattr::kDataCrc, jffs2Crc(data, dataLen));
    e.put32(out + xattr::kNodeCrc, jffs2Crc(out, xattr::kNodeCrc));
    std::memset(out + size, 0, padded(size) - size);
}

bool xrefOk(const std::byte* p, uint32_t totlen, const Endian& e) {
    return padded(totlen) == padded(xref::kSize) &&
           jffs2Crc(p, xref::kNodeCrc) == e.u32(p + xref::kNodeCrc);
}

Xref decodeXref(const std::byte* p, const Endian& e) {
    return {e.u32(p + xref::kIno), e.u32(p + xref::kXid), e.u32(p + xref::kSeqno)};
}

void encodeXref(const Xref& r, std::byte* out, const Endian& e) {
    storeHeader(out, kTypeXref, xref::kSize, e);
    e.put32(out + xref::kIno, r.ino);
    e.put32(out + xref::kXid, r.xid);
    e.put32(out + xref::kSeqno, r.seqno);
    e.put32(out + xref::kNodeCrc, jffs2Crc(out, xref::kNodeCrc));
}

std::optional<Xattr> xattrOf(const XattrDatum& d, const Endian& e) {
    for (const PrefixName& p : kPrefixes) {
        if (p.prefix != d.prefix)
            continue;
        if (!isAcl(d.prefix))
            return Xattr{std::string(p.text) + d.name, d.value};
        std::optional<std::string> le = d.value;
        if (e.order() == ByteOrder::kBig)
            le = swappedAcl(d.value, e);
        std::optional<std::string> value = le ? ext2::aclFromDisk(*le) : std::nullopt;
        if (!value)
            return std::nullopt;
        return Xattr{std::string(p.text), *value};
    }
    return std::nullopt;
}

std::optional<XattrDatum> datumOf(const Xattr& x, const Endian& e) {
    for (const PrefixName& p : kPrefixes) {
        if (p.whole ? x.name != p.text : !x.name.starts_with(p.text))
            continue;
        XattrDatum d;
        d.prefix = p.prefix;
        if (!p.whole) {
            d.name = x.name.substr(p.text.size());
            d.value = x.value;
            return d;
        }
        std::optional<std::string> disk = ext2::aclToDisk(x.value);
        if (disk && e.order() == ByteOrder::kBig)
            disk = swappedAcl(*disk, Endian(ByteOrder::kLittle));
        if (!disk)
            return std::nullopt;
        d.value = std::move(*disk);
        return d;
    }
    return std::nullopt;
}

} // namespace korvane::jffs2
