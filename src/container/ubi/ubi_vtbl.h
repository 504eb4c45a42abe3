// The volume table: two copies in the layout volume, one record per volume
// id. A record that checks out in one copy is taken from it; where both check
// out and differ, the first copy wins, as an interrupted table update leaves
// the second copy the older one.
#pragma once

#include "ubi_scan.h"

#include <functional>
#include <optional>
#include <vector>

namespace korvane::ubi {

struct TableVolume {
    uint32_t id = 0;
    VolumeRecord record;
};

struct VolumeTable {
    bool found = false;               // at least one copy was mapped and read
    uint32_t slots = 0;               // records per copy
    std::vector<TableVolume> volumes; // records in use, by id
};

// The records that can be read of the layout volume's LEBs in lebs (sorted
// by volume id and LEB number).
VolumeTable readVolumeTable(const ImageSource& src, const Geometry& g,
                            const std::vector<MappedLeb>& lebs,
                            const std::function<void(Message)>& warn);

} // namespace korvane::ubi
