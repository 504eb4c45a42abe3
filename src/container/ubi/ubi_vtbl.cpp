#include "ubi_vtbl.h"

#include "ubi_format.h"

#include <algorithm>
#include <cstring>

namespace korvane::ubi {

namespace {

// A copy of the table: its bytes, or nothing when its LEB is not mapped.
std::optional<Bytes> tableCopy(const ImageSource& src, const Geometry& g,
                               const std::vector<MappedLeb>& lebs, uint32_t lnum, size_t bytes) {
    for (const MappedLeb& l : lebs)
        if (l.volId == kLayoutVolumeId && l.lnum == lnum) {
            Bytes b(bytes);
            src.readThrough(l.peb * g.pebSize + g.dataOffset, MutableByteSpan(b));
            return b;
        }
    return std::nullopt;
}

bool allZero(const std::byte* p, size_t n) {
    return std::all_of(p, p + n, [](std::byte b) { return b == std::byte{0}; });
}

} // namespace

VolumeTable readVolumeTable(const ImageSource& src, const Geometry& g,
                            const std::vector<MappedLeb>& lebs,
                            const std::function<void(Message)>& warn) {
    VolumeTable t;
    t.slots = std::min<uint32_t>(kMaxVolumes, static_cast<uint32_t>(g.lebSize() / vtbl::kSize));
    const size_t bytes = size_t{t.slots} * vtbl::kSize;
    const std::optional<Bytes> copies[kLayoutVolumeLebs] = {tableCopy(src, g, lebs, 0, bytes),
                                                            tableCopy(src, g, lebs, 1, bytes)};
    t.found = copies[0] || copies[1];
    if (!t.found)
        return t;
    for (uint32_t c = 0; c < kLayoutVolumeLebs; ++c)
        if (!copies[c])
            warn(msg("copy %1 of the volume table is missing; the other one is read", c + 1));
    uint32_t differing = 0;
    for (uint32_t slot = 0; slot < t.slots; ++slot) {
        std::optional<VolumeRecord> rec[kLayoutVolumeLebs];
        bool blank[kLayoutVolumeLebs] = {true, true};
        for (uint32_t c = 0; c < kLayoutVolumeLebs; ++c) {
            if (!copies[c])
                continue;
            const std::byte* p = copies[c]->data() + size_t{slot} * vtbl::kSize;
            rec[c] = loadVolumeRecord(p);
            blank[c] = erased(p, vtbl::kSize) || allZero(p, vtbl::kSize);
        }
        if (!rec[0] && !rec[1]) {
            if (!blank[0] || !blank[1])
                warn(msg("the volume table record of volume %1 does not check out in either "
                         "copy; the volume is left out",
                         slot));
            continue;
        }
        const VolumeRecord& r = rec[0] ? *rec[0] : *rec[1];
        if (rec[0] && rec[1] &&
            std::memcmp(copies[0]->data() + size_t{slot} * vtbl::kSize,
                        copies[1]->data() + size_t{slot} * vtbl::kSize, vtbl::kSize) != 0)
            ++differing;
        if (r.reservedPebs == 0)
            continue;
        t.volumes.push_back({slot, r});
    }
    if (differing)
        warn(msg("the two copies of the volume table differ in %1 records; the first copy is "
                 "read",
                 differing));
    return t;
}

} // namespace korvane::ubi
