// Finding an image's layout. The detector reads a sample of pages, tries the
// candidate layouts on them and keeps the one whose tags and headers check out
// best; what the user says about the layout narrows the candidates.
#pragma once

#include "layout.h"
#include "model/bytes.h"
#include "model/message.h"

#include <cstdint>
#include <optional>

namespace korvane::yaffs2 {

// What the user says about an image's layout; every field that is set
// overrides the guess.
struct LayoutHints {
    std::optional<uint32_t> pageSize;
    std::optional<uint32_t> spareSize;
    std::optional<uint32_t> tagOffset; // in the spare area
    std::optional<ByteOrder> order;
    bool inbandTags = false;
    bool noTagEcc = false;

    bool any() const {
        return pageSize || spareSize || tagOffset || order || inbandTags || noTagEcc;
    }
    // Page size, spare size and the place of the tags are all given.
    bool complete() const { return pageSize && spareSize && (tagOffset || inbandTags); }
    // The layout the hints name (little-endian, with tag ECC, unless they say
    // otherwise); only meaningful when complete().
    Layout layout() const;
    // base with what the hints set put in: the tag ECC stays where it still
    // fits, the data ECC keeps its kind and moves to its standard place when
    // it no longer fits where it was (or is dropped when it fits nowhere).
    Layout applyTo(Layout base) const;
};

struct Detection {
    Layout layout;
    int confidence = 0;   // 0 to 100
    uint32_t sampled = 0; // sampled pages that were neither erased nor zero
    uint32_t passed = 0;  // of them, those whose tags (and header) check out
    bool given = false;   // the hints named the whole layout
};

// The layout of the image, or nothing when no candidate checks out; then
// refusal (when given) says what was tried and how close it came. When the
// hints name a whole layout it is taken even if little checks out (with a
// confidence of 0). The data ECC is found on the sample too; pagesPerBlock is
// left to the scan.
std::optional<Detection> detectLayout(ByteSpan image, const LayoutHints& hints = {},
                                      Message* refusal = nullptr);

// The bid of the YAFFS2 reader on an image: the detector's confidence (at
// least 1 when a layout was found), 0 when nothing checks out.
int bidLayout(ByteSpan image, const LayoutHints& hints = {});

} // namespace korvane::yaffs2
