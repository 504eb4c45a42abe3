// Tyaffs1obj: a YAFFS1 image (512-byte pages, 16-byte spares). Opening walks
// every page once, as the YAFFS1 driver scans a partition: blocks marked bad
// and deleted pages are skipped, each page's tags are checked with their ECC,
// and among copies of a header or a data chunk the serial numbers decide
// which counts. Contents are read chunk by chunk, corrected by the data ECC.
#pragma once

#include "fs/yaffs2/ecc.h"
#include "model/timg.h"
#include "yaffs1_format.h"

#include <cstdint>
#include <vector>

namespace korvane {

class Tyaffs1obj : public Timg {
public:
    struct ScanInfo {
        uint64_t pages = 0;
        uint64_t erased = 0;
        uint64_t deleted = 0; // pages deleted in place
        uint64_t badBlocks = 0;
        uint64_t tagEccCorrected = 0;
        uint64_t tagEccFailed = 0;
        uint64_t dataEccCorrected = 0; // 256-byte halves with a flipped bit
        uint64_t dataEccFailed = 0;
        uint64_t replaced = 0; // older copies of headers and chunks
        uint64_t headers = 0;
        uint64_t objects = 0;    // in the tree, root included
        uint64_t leftOut = 0;    // objects whose folder is missing or that were deleted
        uint64_t notIndexed = 0; // data pages past what the reader keeps an index of
    };

    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "YAFFS1"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ScanInfo& scanInfo() const { return info_; }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    // A data chunk: the scan collects every copy, then keeps the current
    // one of each, sorted by object and chunk id.
    struct DataRef {
        uint32_t objectId;
        uint32_t chunkId; // 1-based
        uint32_t page;    // the chunk's page in the image
        uint16_t bytes;
        uint8_t serial;
    };
    struct Fix {
        uint32_t page;
        yaffs2::EccFix fix;
    };
    struct Scan;

    std::pair<const DataRef*, const DataRef*> dataFrom(uint32_t id, uint32_t firstChunk) const;
    void applyFixes(uint32_t page, uint64_t from, uint64_t to, std::byte* out) const;

    ScanInfo info_;
    std::vector<DataRef> data_;
    std::vector<uint32_t>
        dataBegin_;          // per object id: its chunks, [dataBegin_[id], dataBegin_[id + 1])
    std::vector<Fix> fixes_; // by page
};

} // namespace korvane
