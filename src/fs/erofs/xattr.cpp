#include "xattr.h"

#include <cstring>

namespace korvane::erofs {

namespace {

struct Prefix {
    uint8_t index;
    const char* text;
};

// Longer prefixes first, so that storedName takes the one that covers most.
const Prefix kPrefixes[] = {
    {kXattrIndexAclAccess, "system.posix_acl_access"},
    {kXattrIndexAclDefault, "system.posix_acl_default"},
    {kXattrIndexSecurity, "security."},
    {kXattrIndexTrusted, "trusted."},
    {kXattrIndexLustre, "lustre."},
    {kXattrIndexUser, "user."},
};

} // namespace

std::string shortPrefix(uint8_t index) {
    for (const Prefix& p : kPrefixes)
        if (p.index == index)
            return p.text;
    return {};
}

std::optional<std::string> xattrName(uint8_t index, std::string_view suffix,
                                     const LongPrefixes& longPrefixes) {
    std::string prefix;
    if (index & kXattrLongPrefix) {
        const size_t i = index & ~kXattrLongPrefix;
        if (i >= longPrefixes.size())
            return std::nullopt;
        prefix = longPrefixes[i];
    } else {
        prefix = shortPrefix(index);
        if (prefix.empty())
            return std::nullopt;
    }
    return prefix + std::string(suffix);
}

std::optional<Message> parseEntry(ByteSpan region, size_t& pos, const LongPrefixes& longPrefixes,
                                  Xattr& out) {
    if (pos + xe::kRecordSize > region.size())
        return msg("an attribute entry at byte %1 is cut off", pos);
    const std::byte* e = region.data() + pos;
    const size_t nameLen = std::to_integer<size_t>(e[xe::kNameLen]);
    const uint8_t index = std::to_integer<uint8_t>(e[xe::kNameIndex]);
    const size_t valueSize = load16(e + xe::kValueSize);
    const size_t size = entrySize(nameLen, valueSize);
    if (pos + xe::kRecordSize + nameLen + valueSize > region.size())
        return msg("the attribute entry at byte %1 runs past its area", pos);
    const std::string_view suffix(reinterpret_cast<const char*>(e + xe::kRecordSize), nameLen);
    const std::optional<std::string> name = xattrName(index, suffix, longPrefixes);
    if (!name)
        return msg("the attribute entry at byte %1 has an unknown name index %2", pos, index);
    out.name = *name;
    out.value.assign(reinterpret_cast<const char*>(e + xe::kRecordSize + nameLen), valueSize);
    pos = std::min(pos + size, region.size());
    return std::nullopt;
}

std::optional<StoredName> storedName(const std::string& name) {
    for (const Prefix& p : kPrefixes) {
        const size_t n = std::strlen(p.text);
        if (name.size() >= n && name.compare(0, n, p.text) == 0) {
            // An ACL's name is the whole prefix; "user." and the others need
            // something after them.
            const bool whole = p.index == kXattrIndexAclAccess || p.index == kXattrIndexAclDefault;
            if (whole != (name.size() == n))
                continue;
            if (p.index == kXattrIndexLustre)
                return std::nullopt;
            return StoredName{p.index, name.substr(n)};
        }
    }
    return std::nullopt;
}

void appendEntry(Bytes& out, const StoredName& n, const std::string& value) {
    const size_t at = out.size();
    out.resize(at + entrySize(n.suffix.size(), value.size()), std::byte{0});
    std::byte* e = out.data() + at;
    e[xe::kNameLen] = static_cast<std::byte>(n.suffix.size());
    e[xe::kNameIndex] = std::byte{n.index};
    store16(e + xe::kValueSize, static_cast<uint16_t>(value.size()));
    std::memcpy(e + xe::kRecordSize, n.suffix.data(), n.suffix.size());
    std::memcpy(e + xe::kRecordSize + n.suffix.size(), value.data(), value.size());
}

} // namespace korvane::erofs
