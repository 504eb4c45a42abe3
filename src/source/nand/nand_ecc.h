// The ECC schemes the spare-area layer knows: the Hamming codes of the Linux
// MTD software ECC and of YAFFS (3 bytes per 256 data bytes, the functions
// YAFFS2 images use), and the MTD Hamming code over 512-byte steps (3 bytes
// per 512, built from the two 256-byte halves). Where the ECC bytes sit in
// the spare area is found on a sample of pages: a run of bytes at any
// offset, or the split placement of small-page chips (bytes 0-3 and 6-7,
// around the bad-block marker).
#pragma once

#include "model/bytes.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvane::nand {

enum class EccScheme : uint8_t { kYaffs256, kNand256, kNand512 };

struct EccLayout {
    EccScheme scheme = EccScheme::kNand256;
    uint32_t step = 256;             // data bytes per 3 ECC bytes
    std::vector<uint16_t> positions; // spare bytes holding the ECC, in order

    std::string describe() const;
};

// The 3 ECC bytes of one 512-byte step, as the MTD software ECC stores them.
std::array<uint8_t, 3> nandEcc512(const std::byte* step);

// The ECC of a whole page by scheme, 3 bytes per step, into out.
void computeEcc(EccScheme scheme, const std::byte* page, uint32_t pageSize, std::byte* out);

struct EccCheck {
    unsigned corrected = 0; // steps with one flipped bit, in the data or the ECC
    unsigned failed = 0;    // steps with more
};

// Checks page (pageSize bytes) against the ECC its spare area holds and puts
// single flipped data bits right in place. A spare whose ECC bytes are all
// FF was never given an ECC and is not checked.
EccCheck correctPage(const EccLayout& l, std::byte* page, uint32_t pageSize,
                     const std::byte* spare);

// The scheme and placement that the sampled pages (each a page and its
// spare area, pageSize + spareSize bytes) agree on, if any: at least three
// of four pages whose data is not blank must match it.
std::optional<EccLayout> detectEcc(const std::vector<Bytes>& samples, uint32_t pageSize,
                                   uint32_t spareSize);

} // namespace korvane::nand
