#include "tags.h"

#include <algorithm>
#include <cstring>

namespace korvane::yaffs2 {

PackedTags loadTags(const std::byte* p, ByteOrder o) {
    return {loadWord(p, o), loadWord(p + 4, o), loadWord(p + 8, o), loadWord(p + 12, o)};
}

void storeTags(std::byte* p, const PackedTags& t, ByteOrder o) {
    storeWord(p, t.sequence, o);
    storeWord(p + 4, t.objectId, o);
    storeWord(p + 8, t.chunkId, o);
    storeWord(p + 12, t.byteCount, o);
}

TagEcc loadTagEcc(const std::byte* p, ByteOrder o) {
    return {std::to_integer<uint8_t>(p[0]), loadWord(p + 4, o), loadWord(p + 8, o)};
}

void storeTagEcc(std::byte* p, const TagEcc& e, ByteOrder o) {
    p[0] = static_cast<std::byte>(e.colParity);
    storeWord(p + 4, e.lineParity, o);
    storeWord(p + 8, e.lineParityPrime, o);
}

EccResult readCheckedTags(const std::byte* p, ByteOrder order, PackedTags& tags) {
    std::byte t[kTagsSize];
    std::memcpy(t, p, kTagsSize);
    EccResult r = correctTags(t, loadTagEcc(p + kTagsSize, order));
    if (r == EccResult::kFailed && order == ByteOrder::kBig) {
        // The ECC of the tags in little-endian order, as packers on a PC
        // compute it before they turn the fields around.
        std::byte le[kTagsSize];
        for (size_t w = 0; w < kTagsSize; w += 4)
            std::reverse_copy(p + w, p + w + 4, le + w);
        EccResult again = correctTags(le, loadTagEcc(p + kTagsSize, ByteOrder::kLittle));
        if (again != EccResult::kFailed) {
            tags = loadTags(le, ByteOrder::kLittle);
            return again;
        }
    }
    tags = loadTags(t, order);
    return r;
}

bool erasedTags(const std::byte* p) {
    return std::all_of(p, p + kTagsSize, [](std::byte b) { return b == std::byte{0xFF}; });
}

} // namespace korvane::yaffs2
