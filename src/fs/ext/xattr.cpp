#include "xattr.h"

#include "ext2_format.h"
#include "model/error.h"

#include <algorithm>
#include <string_view>

namespace korvane::ext2 {

namespace {

constexpr uint32_t kAclDiskVersion = 1;
constexpr uint32_t kAclXattrVersion = 2;
constexpr uint16_t kAclUser = 0x02;
constexpr uint16_t kAclGroup = 0x08;
constexpr uint32_t kAclUndefinedId = 0xFFFFFFFF;
constexpr uint16_t kAclKnownTags = 0x01 | kAclUser | 0x04 | kAclGroup | 0x10 | 0x20;

struct Prefix {
    uint8_t index;
    std::string_view text;
    bool whole; // the prefix is the attribute's whole name
};

// The indexes the kernel shows; 2, 3 and 8 name one attribute each.
constexpr Prefix kPrefixes[] = {
    {1, "user.", false},
    {2, "system.posix_acl_access", true},
    {3, "system.posix_acl_default", true},
    {4, "trusted.", false},
    {6, "security.", false},
    {7, "system.", false},
    {8, "system.richacl", true},
};

constexpr uint8_t kAclAccess = 2;
constexpr uint8_t kAclDefault = 3;

bool hasId(uint16_t tag) {
    return tag == kAclUser || tag == kAclGroup;
}

bool isAcl(uint8_t index) {
    return index == kAclAccess || index == kAclDefault;
}

// The prefix of a full name: a whole name first, else the prefix it starts
// with (a name that is only the prefix has none).
const Prefix* prefixOf(const std::string& name) {
    for (const Prefix& p : kPrefixes)
        if (p.whole && name == p.text)
            return &p;
    for (const Prefix& p : kPrefixes)
        if (!p.whole && name.size() > p.text.size() && name.starts_with(p.text))
            return &p;
    return nullptr;
}

size_t pad4(size_t n) {
    return (n + 3) & ~size_t{3};
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

std::optional<Message> parseXattrs(ByteSpan region, size_t entriesAt, size_t valueBase,
                                   std::vector<RawXattr>& out) {
    const std::byte* p = region.data();
    const size_t end = region.size();
    for (size_t at = entriesAt; at + 4 <= end && load32(p + at) != 0;) {
        if (at + xa::kEntryHeaderSize > end)
            return msg("an attribute entry runs past its region");
        const size_t nameLen = std::to_integer<size_t>(p[at + xa::kNameLen]);
        if (at + xa::kName + nameLen > end)
            return msg("an attribute name runs past its region");
        RawXattr x;
        x.index = std::to_integer<uint8_t>(p[at + xa::kNameIndex]);
        x.suffix.assign(reinterpret_cast<const char*>(p + at + xa::kName), nameLen);
        x.valueInode = load32(p + at + xa::kValueInode);
        x.valueSize = load32(p + at + xa::kValueSize);
        if (x.valueInode == 0) {
            const size_t offset = valueBase + load16(p + at + xa::kValueOffset);
            if (x.valueSize > end || offset > end - x.valueSize)
                return msg("the value of attribute %1 runs past its region", x.suffix);
            x.value.assign(reinterpret_cast<const char*>(p + offset), x.valueSize);
        }
        out.push_back(std::move(x));
        at += (xa::kEntryHeaderSize + nameLen + 3) & ~size_t{3};
    }
    return std::nullopt;
}

bool isInlineDataHolder(const RawXattr& x) {
    return x.index == xa::kIndexSystem && x.suffix == "data" && x.valueInode == 0;
}

bool isAclIndex(uint8_t index) {
    return isAcl(index);
}

std::string xattrName(uint8_t index, const std::string& suffix) {
    for (const Prefix& pre : kPrefixes)
        if (pre.index == index)
            return std::string(pre.text) + suffix;
    return {};
}

std::optional<std::string> aclFromDisk(const std::string& disk) {
    const auto* p = reinterpret_cast<const std::byte*>(disk.data());
    if (disk.size() < 4 || load32(p) != kAclDiskVersion)
        return std::nullopt;
    std::string out(4, '\0');
    store32(reinterpret_cast<std::byte*>(out.data()), kAclXattrVersion);
    for (size_t at = 4; at < disk.size();) {
        if (at + 4 > disk.size())
            return std::nullopt;
        const uint16_t tag = load16(p + at);
        if (!(tag & kAclKnownTags) || (tag & (tag - 1)))
            return std::nullopt;
        uint32_t id = kAclUndefinedId;
        if (hasId(tag)) {
            if (at + 8 > disk.size())
                return std::nullopt;
            id = load32(p + at + 4);
        }
        std::byte e[8];
        store16(e, tag);
        store16(e + 2, load16(p + at + 2));
        store32(e + 4, id);
        out.append(reinterpret_cast<const char*>(e), 8);
        at += hasId(tag) ? 8 : 4;
    }
    return out;
}

std::optional<std::string> aclToDisk(const std::string& xattr) {
    const auto* p = reinterpret_cast<const std::byte*>(xattr.data());
    if (xattr.size() < 4 || (xattr.size() - 4) % 8 != 0 || load32(p) != kAclXattrVersion)
        return std::nullopt;
    std::string out(4, '\0');
    store32(reinterpret_cast<std::byte*>(out.data()), kAclDiskVersion);
    for (size_t at = 4; at < xattr.size(); at += 8) {
        const uint16_t tag = load16(p + at);
        if (!(tag & kAclKnownTags) || (tag & (tag - 1)))
            return std::nullopt;
        const size_t n = hasId(tag) ? 8 : 4;
        out.append(reinterpret_cast<const char*>(p + at), n);
    }
    return out;
}

std::vector<StoredXattr> storedXattrs(const std::vector<Xattr>& attrs, const std::string& where) {
    std::vector<StoredXattr> out;
    for (const Xattr& a : attrs) {
        const Prefix* p = prefixOf(a.name);
        if (!p)
            throw Error(msg("%1: EXT keeps attributes named user.*, trusted.*, security.* or "
                            "system.*, not %2",
                            where, a.name));
        StoredXattr x;
        x.index = p->index;
        x.name = a.name.substr(p->text.size());
        if (x.name.size() > kMaxNameLength)
            throw Error(msg("%1: the attribute name %2 is too long", where, a.name));
        if (isAcl(x.index)) {
            std::optional<std::string> disk = aclToDisk(a.value);
            if (!disk)
                throw Error(msg("%1: the value of %2 is not a POSIX ACL", where, a.name));
            x.value = std::move(*disk);
        } else {
            x.value = a.value;
        }
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
