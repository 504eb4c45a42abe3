// The ECC algorithms of YAFFS2 images: the data ECC of pages (3 bytes per 256
// data bytes, by the YAFFS algorithm or the Linux MTD software NAND ECC), and
// the ECC of the 16 tag bytes. Each corrects one flipped bit and detects two.
#pragma once

#include "layout.h"
#include "model/bytes.h"

#include <array>
#include <cstdint>
#include <vector>

namespace korvane::yaffs2 {

// The data ECC of one 256-byte group, three bytes in stored order.
std::array<uint8_t, 3> yaffsEcc256(const std::byte* group);
std::array<uint8_t, 3> nandEcc256(const std::byte* group);

// Writes the data ECC of a page (3 bytes per 256) to out.
void storeDataEcc(const std::byte* page, uint32_t pageSize, EccKind kind, std::byte* out);

// One bit to flip in a page: the fix for a single flipped bit.
struct EccFix {
    uint32_t offset; // in the page
    uint8_t mask;
};

struct PageEccCheck {
    unsigned corrected = 0; // groups with one flipped bit (in the data or the ECC)
    unsigned failed = 0;    // groups with more
};

// Checks a page against its stored data ECC, appending a fix for every
// flipped data bit to fixes. An ECC area that is all FF was never written and
// is not checked.
PageEccCheck checkDataEcc(const std::byte* page, uint32_t pageSize, EccKind kind,
                          const std::byte* stored, std::vector<EccFix>& fixes);

// The ECC of a short buffer as YAFFS computes it for tags.
struct TagEcc {
    uint8_t colParity = 0;
    uint32_t lineParity = 0;
    uint32_t lineParityPrime = 0;

    friend bool operator==(const TagEcc&, const TagEcc&) = default;
};

TagEcc computeTagEcc(const std::byte* tags16);

enum class EccResult : uint8_t {
    kClean,     // the ECC agrees
    kCorrected, // one flipped bit, in the data or in the ECC, was put right
    kFailed,    // more than one bit is wrong
};

// Checks 16 tag bytes against their stored ECC; corrects one flipped bit in
// tags16.
EccResult correctTags(std::byte* tags16, const TagEcc& stored);

} // namespace korvane::yaffs2
