// Tyaffs2obj: a YAFFS2 image. Opening finds the image's layout (or takes the
// one given), then the scan decides which chunks count and in which order,
// picks every object's newest header, builds the tree and indexes each
// object's data chunks, so that reading a file touches only its own chunks.
#pragma once

#include "detect.h"
#include "ecc.h"
#include "layout.h"
#include "model/timg.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace korvane {

namespace yaffs2 {
class Scanner;
}

class Tyaffs2obj : public Timg {
public:
    // What the scan found, for `info` and for the save parameters.
    struct ScanInfo {
        uint64_t chunkCount = 0; // records in the image, a last one cut short included
        uint32_t tagOffset = yaffs2::kTagOffsetPlain; // where the tags start in a record
        size_t runsKept = 0;
        size_t runsDropped = 0;
        size_t headers = 0; // header chunks met, older copies included
        size_t objects = 0; // objects in the tree, root included
        size_t leftOut = 0; // objects whose folder is missing or removed
        size_t badBlocks = 0;
        uint64_t tagEccCorrected = 0;  // chunks whose tags had a flipped bit
        uint64_t tagEccFailed = 0;     // chunks skipped: their tags cannot be put right
        uint64_t dataEccCorrected = 0; // 256-byte groups with a flipped bit
        uint64_t dataEccFailed = 0;    // groups that cannot be put right
    };

    // Where an object's chunks are: its newest header and its data chunks.
    struct ObjChunks {
        int64_t headerChunk = -1; // index into chunkTable, -1 for none
        int64_t firstChunk = -1;  // first chunk of the object in sequence order
        uint32_t dataBegin = 0;   // range in the data index
        uint32_t dataEnd = 0;
    };

    Tyaffs2obj() = default;
    // Reads with what the user says about the layout; the rest is found.
    explicit Tyaffs2obj(yaffs2::LayoutHints hints) : hints_(std::move(hints)) {}

    // Reads with this layout instead of finding one.
    void setLayout(const yaffs2::Layout& layout) { fixed_ = layout; }

    // Finds the layout (or takes the one set or named by the hints) and scans
    // the image. Throws Error listing what was tried when no layout checks out.
    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "YAFFS2"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ScanInfo& scanInfo() const { return info_; }
    // The layout the image was read with, and how it was found.
    const yaffs2::Layout& layout() const { return detection_.layout; }
    const yaffs2::Detection& detection() const { return detection_; }

    // Positions of the kept chunks, in sequence order (older first).
    std::vector<uint32_t> chunkTable;
    // Indexed by object id.
    std::vector<ObjChunks> objChunks;

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    friend class yaffs2::Scanner;

    struct DataRef {
        uint32_t chunk;   // chunk position in the image
        uint32_t chunkId; // 1-based data chunk number
        uint32_t bytes;   // valid bytes in the chunk
    };
    // A bit the data ECC puts right in a chunk's page.
    struct Fix {
        uint32_t chunk;
        yaffs2::EccFix fix;
    };

    const std::byte* record(uint64_t position) const;
    // The chunk's page, corrected by its data ECC (in scratch when it needed
    // a fix).
    const std::byte* page(uint32_t position, Bytes& scratch) const;
    // The page p of the chunk at position, corrected like page() does.
    const std::byte* withFixes(uint32_t position, const std::byte* p, Bytes& scratch) const;
    bool hasFixes(uint32_t position) const;
    void applyFixes(uint32_t position, uint64_t from, uint64_t to, std::byte* out) const;
    bool decodeEntry(uint32_t id, TImgEntry& entry) const;
    // The entry of object id from its header chunk's page c.
    void decodeEntryAt(uint32_t id, const std::byte* c, TImgEntry& entry) const;
    // The object's data chunks from chunk id first on (sorted by chunk id).
    std::pair<const DataRef*, const DataRef*> dataFrom(uint32_t objId, uint32_t first) const;
    void scan(JobReporter& rep);

    yaffs2::LayoutHints hints_;
    std::optional<yaffs2::Layout> fixed_;
    yaffs2::Detection detection_;
    ScanInfo info_;
    std::vector<DataRef> dataIndex_;
    std::vector<Fix> fixes_; // by chunk position
    Bytes lastRecord_;       // a short last record, padded to full size
};

} // namespace korvane
