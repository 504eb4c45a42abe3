// How a YAFFS2 image lies on NAND pages: the page and spare sizes, where the
// tags are and whether their ECC follows them, the byte order of tags and
// headers, and where the data ECC is. One Layout value describes an image; the
// detector finds it, the scanner and the reader read with it and the writer
// writes with it.
#pragma once

#include "model/bytes.h"
#include "model/message.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace korvane::yaffs2 {

enum class ByteOrder : uint8_t { kLittle, kBig };

// A 32-bit field of tags, headers or attribute records, in the image's order.
inline uint32_t loadWord(const std::byte* p, ByteOrder o) {
    return o == ByteOrder::kBig ? load32be(p) : load32(p);
}
inline void storeWord(std::byte* p, uint32_t v, ByteOrder o) {
    if (o == ByteOrder::kBig)
        store32be(p, v);
    else
        store32(p, v);
}

// The data ECC of a page: 3 bytes per 256 data bytes, by the YAFFS algorithm
// or by the Linux MTD software NAND ECC.
enum EccKind : uint8_t { kEccNone = 0, kEccYaffs = 1, kEccNand = 2 };

constexpr uint32_t kTagsSize = 16;
constexpr uint32_t kTagEccSize = 12;
constexpr uint32_t kHeaderSize = 512;

constexpr uint32_t kMinPageSize = 512;
constexpr uint32_t kMaxPageSize = 16384;
constexpr uint32_t kMaxSpareSize = 2048;

struct Layout {
    uint32_t pageSize = 2048;
    // Spare (out-of-band) bytes after each page; 0 for images of pages only
    // (inband tags).
    uint32_t spareSize = 64;
    // Where the tags start in the spare area (ignored with inband tags).
    uint32_t tagOffset = 0;
    // Tags in the last 16 bytes of each page, which then holds 16 data bytes
    // less; such tags never carry an ECC.
    bool inbandTags = false;
    // The 12-byte tag ECC follows the tags.
    bool tagEcc = true;
    // The byte order of the tags, and of the headers unless swappedHeaders.
    ByteOrder order = ByteOrder::kLittle;
    // Headers in the other byte order than the tags: the classic image
    // maker's byte-swap option turns the headers big-endian and leaves the
    // tags little-endian.
    bool swappedHeaders = false;
    EccKind dataEcc = kEccNone;
    uint32_t dataEccOffset = 0; // in the spare area
    // Pages per erase block, as far as the image shows it (0: not known).
    // Reading skips blocks marked bad only when it is known.
    uint32_t pagesPerBlock = 0;

    // The byte order of object headers (and the attributes after them).
    ByteOrder headerOrder() const {
        if (!swappedHeaders)
            return order;
        return order == ByteOrder::kBig ? ByteOrder::kLittle : ByteOrder::kBig;
    }
    // One page and its spare: the unit the image repeats.
    uint32_t recordSize() const { return pageSize + spareSize; }
    // File bytes one chunk holds.
    uint32_t chunkDataSize() const { return inbandTags ? pageSize - kTagsSize : pageSize; }
    // Where the tags start in a record.
    uint32_t tagsAt() const { return inbandTags ? pageSize - kTagsSize : pageSize + tagOffset; }
    // Tags and, where present, their ECC.
    uint32_t tagBytes() const { return kTagsSize + (tagEcc && !inbandTags ? kTagEccSize : 0); }
    uint32_t dataEccBytes() const { return pageSize / 256 * 3; }
    // The first spare byte is left to the bad-block marker (FF in good blocks).
    bool hasBadBlockMarker() const;
    // A last record cut short still counts when it holds this many bytes.
    uint32_t minRecordBytes() const { return tagsAt() + tagBytes(); }

    friend bool operator==(const Layout&, const Layout&) = default;
};

// The layout new images are made in and the one Korvane writes unless told
// otherwise: 2048-byte pages with a 64-byte spare, tags at its head with
// their ECC, little-endian, no data ECC.
inline constexpr Layout kDefaultLayout{};

// Figures of the default layout, for new images.
constexpr size_t kDataSize = 2048;
constexpr size_t kSpareSize = 64;
constexpr size_t kChunkSize = kDataSize + kSpareSize;
// Record offsets of the tags in the default layout: at the head of the spare
// area, or after an FF FF erase marker; and of the data ECC at its end.
constexpr size_t kTagOffsetPlain = 2048;
constexpr size_t kTagOffsetMarked = 2050;
constexpr size_t kDataEccOffset = 2088;

// What makes the layout unusable (a field out of range, the tags or the data
// ECC outside the spare area or over each other), or nothing when it is fine.
std::optional<Message> layoutProblem(const Layout& l);

// "4096+128, tags at spare offset 2 with ECC, little-endian, YAFFS data ECC at
// spare offset 80": for messages, and in English.
Message layoutMessage(const Layout& l);
// "big-endian", or "big-endian headers, little-endian tags".
Message orderMessage(const Layout& l);
std::string describeLayout(const Layout& l);

// Where a writer puts the data ECC: right before the tags when they stand
// behind room for it (after the bad-block marker), otherwise at the end of the
// spare area. Returns nothing when it fits nowhere.
std::optional<uint32_t> standardDataEccOffset(const Layout& l);

// The layout of the description's writer for a geometry: tags at the head of
// the spare area (after an FF FF erase marker when marker is set), with their
// ECC, and the given data ECC in its standard place (none when it does not
// fit). Inband layouts keep their tags in the page.
Layout plainLayout(Layout geometry, bool marker, EccKind ecc);

// Layouts boards commonly use, by name ("4096+128", "2048 inband", ...): the
// presets the app offers and the cases the tests cover.
struct NamedLayout {
    const char* name;
    Layout layout;
};
std::span<const NamedLayout> commonLayouts();

} // namespace korvane::yaffs2
