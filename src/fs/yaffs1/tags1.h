// YAFFS1 tags in a page's spare area, their ECC, and the page's status.
#pragma once

#include "model/bytes.h"
#include "yaffs1_format.h"

#include <cstdint>

namespace korvane::yaffs1 {

struct Tags1 {
    uint32_t chunkId = 0;
    uint32_t serial = 0;
    uint32_t byteCount = 0;
    uint32_t objectId = 0;

    friend bool operator==(const Tags1&, const Tags1&) = default;
};

enum class TagState : uint8_t {
    kErased,    // the whole spare is FF: never written
    kDeleted,   // the page status byte was cleared: deleted in place
    kClean,     // the tags' ECC agrees
    kCorrected, // one flipped bit was put right
    kFailed,    // the ECC cannot put them right
};

// Reads the tags of a spare area (16 bytes), checking them with their ECC.
TagState readTags(const std::byte* spare, Tags1& tags);

// Fills a spare area: tags with their ECC, page and block status FF, and the
// data ECC of page (512 bytes).
void writeSpare(std::byte* spare, const Tags1& tags, const std::byte* page);

// The 8 tag bytes of a spare area, and the spare positions they come from.
void gatherTags(const std::byte* spare, std::byte* tags8);

// The tag ECC of 8 tag bytes (their ECC field counted as zeros).
uint32_t tagEcc(const std::byte* tags8);

// The 6 data ECC bytes of a spare area, in page order.
void gatherDataEcc(const std::byte* spare, std::byte* ecc6);

} // namespace korvane::yaffs1
