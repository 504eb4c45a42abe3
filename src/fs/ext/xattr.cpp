#include "xattr.h"

#include "ext2_format.h"

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
    const char* text;
};

// The indexes the kernel shows; 2, 3 and 8 name one attribute each.
constexpr Prefix kPrefixes[] = {
    {1, "user."},
    {2, "system.posix_acl_access"},
    {3, "system.posix_acl_default"},
    {4, "trusted."},
    {6, "security."},
    {7, "system."},
    {8, "system.richacl"},
};

bool hasId(uint16_t tag) {
    return tag == kAclUser || tag == kAclGroup;
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

std::string xattrName(uint8_t index, const std::string& suffix) {
    if (index == xa::kIndexSystem && suffix == "data")
        return {};
    for (const Prefix& pre : kPrefixes)
        if (pre.index == index)
            return pre.text + suffix;
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

} // namespace korvane::ext2
