// Raw NAND dumps: every page followed by its spare (out-of-band) area, as a
// programmer or `nanddump --oob` reads a chip. The layer finds the page,
// spare and erase block sizes from what the data holds once the spare areas
// are taken out: at the start of every erase block (UBI's EC headers, JFFS2's
// nodes), or at the places the one header of an image written page by page
// names (SquashFS's tables). It gives the data bytes of every page in order,
// skips blocks marked bad (they read as erased flash) and, where the spare
// areas carry an ECC it knows, puts single flipped bits right as it reads.
#pragma once

#include "model/image_source.h"
#include "model/message.h"
#include "nand_ecc.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace korvane::nand {

struct Geometry {
    uint32_t pageSize = 0;
    uint32_t spareSize = 0;
    uint32_t pagesPerBlock = 0; // 0: not known (nothing in the data marks the blocks)

    uint32_t recordSize() const { return pageSize + spareSize; }
    // A block as it lies in the dump, spare areas included.
    uint64_t rawBlockSize() const { return uint64_t{pagesPerBlock} * recordSize(); }
};

// What the data of an erase block starts with, for telling a dump's geometry
// from another.
struct BlockSignature {
    const char* name; // "UBI", "JFFS2"
    // How many data bytes from the block's start check() wants, judging by
    // the first kSignatureHead of them; 0 when they start no such block.
    size_t (*need)(const std::byte* first);
    // How well those bytes bear the signature out: 0 not, 1 in part, 2 fully.
    int (*check)(ByteSpan head);
};
constexpr size_t kSignatureHead = 64;

// What an image written page by page starts with, for telling a dump's page
// and spare size from another when only its start says what it holds.
struct ImageHeader {
    const char* name; // "SquashFS"
    // Whether the first kSignatureHead data bytes start such an image.
    bool (*starts)(ByteSpan head);
    // How many places the header names hold what it says, read through
    // data (the bytes in one page and spare size, or as they stand); 0 when
    // any does not.
    unsigned (*fits)(const ImageSource& data);
};

struct Detection {
    Geometry geometry;
    const char* what = ""; // the signature's or header's name
    uint32_t sampled = 0;  // blocks looked at that were not erased
    uint32_t matched = 0;  // of them, those whose start bears the signature out
    uint32_t places = 0;   // for a header: the places it names that check out
    std::optional<EccLayout> ecc;
};

// The geometry of raw, when its data (and not raw itself) starts its erase
// blocks with one of signatures; nothing otherwise. Erased blocks, the
// first ones too, tell nothing.
std::optional<Detection> detectDump(const ImageSource& raw,
                                    std::span<const BlockSignature> signatures);

// The page and spare size of raw, when its data (and not raw itself) starts
// with header and holds what header names where it says so; nothing
// otherwise. Nothing in such data marks the erase blocks: their size is not
// known.
std::optional<Detection> detectDump(const ImageSource& raw, const ImageHeader& header);

// The data bytes of the dump. Reads the whole dump once to count bad blocks
// and ECC corrections; pages the ECC cannot put right are problems of the
// source and read as they stand.
std::unique_ptr<ImageSource> openSpareStrip(std::shared_ptr<const ImageSource> raw,
                                            const Detection& d);

// "2048+64, 64 pages a block" (or "2048+64, erase block size not known"),
// for `info` and for messages.
std::string geometryText(const Geometry& g);
Message geometryMessage(const Geometry& g);

} // namespace korvane::nand
