// Extended attributes: an xattr node holds one name and value (its datum,
// numbered by xid; the highest version counts), an xref node ties a datum to
// an inode (the highest sequence number for an inode and xid counts; an odd
// one removed the tie). POSIX ACLs are stored in the compact form ext4 uses,
// in the image's byte order.
#pragma once

#include "jffs2_format.h"
#include "model/entry.h"

#include <cstdint>
#include <optional>
#include <string>

namespace korvane::jffs2 {

struct XattrDatum {
    uint32_t xid = 0;
    uint32_t version = 0;
    uint8_t prefix = 0;
    std::string name;  // after the prefix; empty for the ACLs
    std::string value; // as stored
};

struct Xref {
    uint32_t ino = 0;
    uint32_t xid = 0;
    uint32_t seqno = 0;

    bool removed() const { return (seqno & xref::kDeleteMarker) != 0; }
};

enum class XattrCheck : uint8_t { kOk, kBadNodeCrc, kBadLength, kBadDataCrc };

// Checks an xattr node of totlen bytes at p (totlen >= xattr::kSize).
XattrCheck checkXattrNode(const std::byte* p, uint32_t totlen, const Endian& e);
XattrDatum decodeXattrNode(const std::byte* p, const Endian& e);
// Bytes an xattr node of d takes (before padding).
uint32_t xattrNodeSize(const XattrDatum& d);
void encodeXattrNode(const XattrDatum& d, std::byte* out, const Endian& e);

// Checks an xref node (xref::kSize bytes at p): its length and checksum.
bool xrefOk(const std::byte* p, uint32_t totlen, const Endian& e);
Xref decodeXref(const std::byte* p, const Endian& e);
void encodeXref(const Xref& r, std::byte* out, const Endian& e);

// The attribute a datum stands for, as programs see it ("user.comment",
// ACLs in the form getfattr shows); nothing when its prefix is not known or
// an ACL is malformed.
std::optional<Xattr> xattrOf(const XattrDatum& d, const Endian& e);
// The datum (xid and version left 0) that keeps x; nothing when its name has
// no prefix JFFS2 holds or an ACL value is malformed.
std::optional<XattrDatum> datumOf(const Xattr& x, const Endian& e);

// Longest name after the prefix, and longest value, that a node can hold.
constexpr size_t kMaxXattrName = 255;
constexpr size_t kMaxXattrValue = 0xFFFF;

} // namespace korvane::jffs2
