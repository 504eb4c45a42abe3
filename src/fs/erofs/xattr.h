// EROFS extended attributes: entries (a name index, the rest of the name and
// the value, padded to 4 bytes) inline after an inode or shared in the
// attribute area, with the short name prefixes and the image's table of long
// ones. Reading and writing use the same prefix table.
#pragma once

#include "erofs_format.h"
#include "model/entry.h"
#include "model/message.h"

#include <optional>
#include <string>
#include <vector>

namespace korvane::erofs {

// The prefix a short name index stands for ("user.", "security.",
// "system.posix_acl_access"); empty for an index without one.
std::string shortPrefix(uint8_t index);

// The long prefixes of an image, by index (each a short prefix and an infix,
// joined).
using LongPrefixes = std::vector<std::string>;

// The full name of an entry's name index and suffix; nullopt when the index
// names no prefix this image has.
std::optional<std::string> xattrName(uint8_t index, std::string_view suffix,
                                     const LongPrefixes& longPrefixes);

// Bytes an entry takes (4-byte aligned).
constexpr size_t entrySize(size_t nameLen, size_t valueSize) {
    return (xe::kRecordSize + nameLen + valueSize + 3) / 4 * 4;
}

// Decodes the entry at pos of region into out and moves pos past it. Returns
// why it could not (the entry runs out of the region, its index names no
// prefix).
std::optional<Message> parseEntry(ByteSpan region, size_t& pos, const LongPrefixes& longPrefixes,
                                  Xattr& out);

// How a name is stored: the short prefix index that covers the longest part
// of it and the rest; nullopt for names outside the user., trusted.,
// security. and system.posix_acl_* namespaces.
struct StoredName {
    uint8_t index;
    std::string suffix;
};
std::optional<StoredName> storedName(const std::string& name);

// Appends the entry for x (named as storedName says) to out.
void appendEntry(Bytes& out, const StoredName& n, const std::string& value);

} // namespace korvane::erofs
