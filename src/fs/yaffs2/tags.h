// The packed tags every chunk carries, their ECC, and the numbers they hold:
// sequence numbers, reserved object ids and the extra header information.
#pragma once

#include "ecc.h"
#include "layout.h"
#include "model/bytes.h"

#include <cstdint>

namespace korvane::yaffs2 {

constexpr uint32_t kSeqLowest = 0x1000; // the writer's sequence number
constexpr uint32_t kSeqHighest = 0xEFFFFF00;
constexpr uint32_t kSeqErased = 0xFFFFFFFF;
constexpr uint32_t kSeqCheckpoint = 0x21;

constexpr uint32_t kObjIdRoot = 1;
constexpr uint32_t kObjIdSummary = 0x10;
constexpr uint32_t kFirstOrdinaryId = 257;
// Object ids a filesystem hands out stay below this bound.
constexpr uint32_t kMaxObjId = 0x3FFFF;

// Chunk id bit 31 marks a header chunk whose tags carry extra header
// information: the parent id in the chunk id, the type in the object id's top
// four bits.
constexpr uint32_t kExtraHeaderFlag = 0x80000000;
constexpr uint32_t kExtraFlagsMask = 0xF0000000;
constexpr unsigned kExtraTypeShift = 28;

struct PackedTags {
    uint32_t sequence = 0;
    uint32_t objectId = 0;
    uint32_t chunkId = 0;
    uint32_t byteCount = 0;

    friend bool operator==(const PackedTags&, const PackedTags&) = default;
};

PackedTags loadTags(const std::byte* p, ByteOrder order = ByteOrder::kLittle);
void storeTags(std::byte* p, const PackedTags& t, ByteOrder order = ByteOrder::kLittle);

TagEcc loadTagEcc(const std::byte* p, ByteOrder order = ByteOrder::kLittle);
// Writes the 12 bytes; the three padding bytes after the column parity are
// left as they are.
void storeTagEcc(std::byte* p, const TagEcc& e, ByteOrder order = ByteOrder::kLittle);

// Checks the tags at p against the ECC after them and gives the tags, with a
// single flipped bit corrected. Big-endian images are written two ways: with
// the ECC over the stored (big-endian) tags, as a big-endian board writes
// them, and with the ECC over the little-endian tags, as packers running on a
// PC write them; both are accepted.
EccResult readCheckedTags(const std::byte* p, ByteOrder order, PackedTags& tags);

// Tags of an erased chunk: every byte FF.
bool erasedTags(const std::byte* p);

} // namespace korvane::yaffs2
