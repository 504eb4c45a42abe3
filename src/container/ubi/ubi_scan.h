// Attaching a UBI image the way the kernel does without a fastmap: every
// PEB's headers are read and classified, and each LEB of each volume is
// mapped to the PEB that holds its newest copy.
#pragma once

#include "model/image_source.h"
#include "model/message.h"
#include "ubi_headers.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace korvane::ubi {

struct Geometry {
    uint32_t pebSize = 0;
    uint32_t vidHdrOffset = 0;
    uint32_t dataOffset = 0;
    uint64_t pebCount = 0; // whole PEBs and a last one cut short
    uint32_t lebSize() const { return pebSize - dataOffset; }
};

// The PEB size candidates: powers of two and three times powers of two
// from 4 KiB to 16 MiB, smallest first.
const std::vector<uint32_t>& pebSizeCandidates();

// The geometry of the image whose first EC header is first: its PEB size is
// the smallest candidate at which another EC header with the same offsets
// checks out. Nothing when no candidate fits (why says what was wrong).
std::optional<Geometry> findGeometry(const ImageSource& src, const EcHeader& first,
                                     Message* why = nullptr);

// One mapped LEB: where its newest copy is, and what its VID header says.
struct MappedLeb {
    uint32_t volId = 0;
    uint32_t lnum = 0;
    uint64_t peb = 0;
    uint8_t volType = 0;
    uint32_t dataSize = 0;
    uint32_t usedEbs = 0;
    uint32_t dataPad = 0;
    uint32_t dataCrc = 0;
    uint64_t sqnum = 0;
    bool copyFlag = false;
};

struct ScanResult {
    Geometry geometry;
    uint64_t used = 0;    // PEBs holding a LEB (older copies included)
    uint64_t free = 0;    // an EC header and no VID header
    uint64_t erased = 0;  // all FF where the EC header would be
    uint64_t corrupt = 0; // an EC or VID header that does not check out
    uint64_t fastmap = 0; // PEBs of a fastmap, not needed by a full scan
    uint64_t stale = 0;   // older copies of a LEB
    uint64_t foreign = 0; // EC headers with other offsets, unknown internal volumes
    uint64_t ecMin = 0, ecMax = 0, ecSum = 0, ecCount = 0;
    uint32_t imageSeq = 0;
    uint64_t seqMismatch = 0;
    uint8_t version = 0;
    // By volume id, then LEB number.
    std::vector<MappedLeb> lebs;
};

// Scans every PEB. Damage becomes a warning through warn (the first PEBs by
// number, the rest counted); progress(done, total) is called now and then
// and returns false to stop (the scan then throws Error "cancelled").
ScanResult scanPebs(const ImageSource& src, const Geometry& g,
                    const std::function<void(Message)>& warn,
                    const std::function<bool(uint64_t, uint64_t)>& progress);

// Whether the data CRC in a VID header matches the LEB's data_size bytes.
bool lebDataCrcOk(const ImageSource& src, const Geometry& g, const MappedLeb& l);

} // namespace korvane::ubi
