#include "xattr_pack.h"

#include "ext2_format.h"
#include "model/error.h"

#include <algorithm>
#include <string_view>

namespace korvane::ext2 {

namespace {

struct Prefix {
    std::string_view text;
    uint8_t index;
};

// Longer prefixes first: the two ACL names are whole names of "system.".
constexpr Prefix kPrefixes[] = {
    {"system.posix_acl_access", 2},
    {"system.posix_acl_default", 3},
    {"user.", 1},
    {"trusted.", 4},
    {"security.", 6},
    {"system.", 7},
};

constexpr uint8_t kAclAccess = 2;
constexpr uint8_t kAclDefault = 3;
// POSIX ACLs: the attribute value carries version 2 and 8-byte entries; EXT
// keeps version 1 with the id only where a tag has one.
constexpr uint32_t kAclXattrVersion = 2;
constexpr uint32_t kAclDiskVersion = 1;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint16_t kAclTags = 0x01 | 0x02 | 0x04 | 0x08 | 0x10 | 0x20;

size_t pad4(size_t n) {
    return (n + 3) & ~size_t{3};
}

std::string aclToDisk(const std::string& v, const std::string& where, const std::string& name) {
    auto bad = [&] { return Error(msg("%1: the value of %2 is not a POSIX ACL", where, name)); };
    const auto* p = reinterpret_cast<const std::byte*>(v.data());
    if (v.size() < 4 || (v.size() - 4) % 8 != 0 || load32(p) != kAclXattrVersion)
        throw bad();
    std::string out(4, '\0');
    store32(reinterpret_cast<std::byte*>(out.data()), kAclDiskVersion);
    for (size_t at = 4; at < v.size(); at += 8) {
        const uint16_t tag = load16(p + at);
        if ((tag & ~kAclTags) != 0 || tag == 0)
            throw bad();
        const bool withId = tag == kAclUser || tag == kAclGroup;
        out.append(v, at, withId ? 8 : 4);
    }
    return out;
}

uint32_t entryHash(const StoredXattr& x) {
    uint32_t h = 0;
    for (unsigned char c : x.name)
        h = (h << 5) ^ (h >> 27) ^ c;
    std::string padded = x.value;
    padded.resize(pad4(padded.size()), '\0');
    const auto* p = reinterpret_cast<const std::byte*>(padded.data());
    for (size_t at = 0; at < padded.size(); at += 4)
        h = (h << 16) ^ (h >> 16) ^ load32(p + at);
    return h;
}

size_t entryBytes(const StoredXattr& x) {
    return xa::kEntryHeaderSize + pad4(x.name.size());
}

// Writes entries from `entries` on and values downward from `valuesEnd`;
// value offsets count from `base`. Returns the entries' hashes.
std::vector<uint32_t> lay(const std::vector<const StoredXattr*>& xs, std::byte* entries,
                          std::byte* valuesEnd, const std::byte* base) {
    std::vector<uint32_t> hashes;
    std::byte* e = entries;
    std::byte* v = valuesEnd;
    for (const StoredXattr* x : xs) {
        uint16_t offs = 0;
        if (!x->value.empty()) {
            v -= pad4(x->value.size());
            std::copy_n(reinterpret_cast<const std::byte*>(x->value.data()), x->value.size(), v);
            offs = static_cast<uint16_t>(v - base);
        }
        const uint32_t hash = entryHash(*x);
        e[xa::kNameLen] = static_cast<std::byte>(x->name.size());
        e[xa::kNameIndex] = static_cast<std::byte>(x->index);
        store16(e + xa::kValueOffset, offs);
        store32(e + xa::kValueInode, 0);
        store32(e + xa::kValueSize, static_cast<uint32_t>(x->value.size()));
        store32(e + xa::kEntryHash, hash);
        std::copy_n(reinterpret_cast<const std::byte*>(x->name.data()), x->name.size(),
                    e + xa::kEntryHeaderSize);
        e += entryBytes(*x);
        hashes.push_back(hash);
    }
    return hashes;
}

} // namespace

std::vector<StoredXattr> storedXattrs(const std::vector<Xattr>& attrs, const std::string& where) {
    std::vector<StoredXattr> out;
    for (const Xattr& a : attrs) {
        const Prefix* p = nullptr;
        for (const Prefix& c : kPrefixes) {
            const bool whole = c.index == kAclAccess || c.index == kAclDefault;
            if (whole ? a.name == c.text : a.name.starts_with(c.text)) {
                p = &c;
                break;
            }
        }
        if (!p || (p->index != kAclAccess && p->index != kAclDefault && a.name == p->text))
            throw Error(msg("%1: EXT keeps attributes named user.*, trusted.*, security.* or "
                            "system.*, not %2",
                            where, a.name));
        StoredXattr x;
        x.index = p->index;
        x.name = a.name.substr(p->text.size());
        if (x.name.size() > kMaxNameLength)
            throw Error(msg("%1: the attribute name %2 is too long", where, a.name));
        x.value = x.index == kAclAccess || x.index == kAclDefault
                      ? aclToDisk(a.value, where, a.name)
                      : a.value;
        out.push_back(std::move(x));
    }
    std::sort(out.begin(), out.end(), [](const StoredXattr& a, const StoredXattr& b) {
        if (a.index != b.index)
            return a.index < b.index;
        if (a.name.size() != b.name.size())
            return a.name.size() < b.name.size();
        return a.name < b.name;
    });
    for (size_t i = 1; i < out.size(); ++i)
        if (out[i].index == out[i - 1].index && out[i].name == out[i - 1].name)
            throw Error(msg("%1: an attribute is named twice", where));
    return out;
}

PackedXattrs packXattrs(const std::vector<Xattr>& attrs, uint32_t room, uint32_t blockSize,
                        const std::string& where) {
    PackedXattrs out;
    if (attrs.empty())
        return out;
    const std::vector<StoredXattr> stored = storedXattrs(attrs, where);
    // The inode's room: magic, entries, a zero word, values.
    std::vector<const StoredXattr*> inInode, inBlock;
    size_t used = 4 + 4;
    for (const StoredXattr& x : stored) {
        const size_t need = entryBytes(x) + pad4(x.value.size());
        if (inBlock.empty() && used + need <= room) {
            inInode.push_back(&x);
            used += need;
        } else {
            inBlock.push_back(&x);
        }
    }
    if (!inInode.empty()) {
        out.inode.assign(room, std::byte{0});
        store32(out.inode.data(), xa::kMagic);
        std::byte* first = out.inode.data() + 4;
        lay(inInode, first, out.inode.data() + room, first);
    }
    if (!inBlock.empty()) {
        size_t need = xa::kBlockHeaderSize + 4;
        for (const StoredXattr* x : inBlock)
            need += entryBytes(*x) + pad4(x->value.size());
        if (need > blockSize)
            throw Error(msg("%1: its extended attributes do not fit: the ones that do not fit "
                            "the inode need %2 bytes of the %3-byte attribute block",
                            where, need, blockSize));
        out.block.assign(blockSize, std::byte{0});
        std::byte* b = out.block.data();
        store32(b, xa::kMagic);
        store32(b + xa::kBlocks, 1);
        uint32_t hash = 0;
        for (uint32_t h : lay(inBlock, b + xa::kBlockHeaderSize, b + blockSize, b)) {
            if (h == 0) {
                hash = 0;
                break;
            }
            hash = (hash << 16) ^ (hash >> 16) ^ h;
        }
        store32(b + xa::kHash, hash);
    }
    return out;
}

} // namespace korvane::ext2
