// Tyaffs2obj: a YAFFS2 image. The scan decides which chunks count and in which
// order, picks every object's newest header, builds the tree and indexes each
// object's data chunks, so that reading a file touches only its own chunks.
#pragma once

#include "model/timg.h"
#include "yaffs2_format.h"

#include <cstdint>
#include <vector>

namespace korvane {

class Tyaffs2obj : public Timg {
public:
    // What the scan found, for `info` and for the save parameters.
    struct ScanInfo {
        uint64_t chunkCount = 0;
        uint32_t tagOffset = yaffs2::kTagOffsetPlain;
        // The 16-bit word before the tags of the first programmed chunk: -1
        // (FF FF) when the image carries the erase marker.
        int16_t firstSpareWord = 0;
        size_t runsKept = 0;
        size_t runsDropped = 0;
        size_t headers = 0; // header chunks met, older copies included
        size_t objects = 0; // objects in the tree, root included
        size_t leftOut = 0; // objects whose folder is missing or removed
    };

    // Where an object's chunks are: its newest header and its data chunks.
    struct ObjChunks {
        int64_t headerChunk = -1; // index into chunkTable, -1 for none
        int64_t firstChunk = -1;  // first chunk of the object in sequence order
        uint32_t dataBegin = 0;   // range in the data index
        uint32_t dataEnd = 0;
    };

    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "YAFFS2"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ScanInfo& scanInfo() const { return info_; }

    // Positions of the kept chunks, in sequence order (older first).
    std::vector<uint32_t> chunkTable;
    // Indexed by object id.
    std::vector<ObjChunks> objChunks;

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    struct DataRef {
        uint32_t chunk;   // chunk position in the image
        uint32_t chunkId; // 1-based data chunk number
        uint32_t bytes;   // valid bytes in the chunk
    };

    const std::byte* chunk(uint64_t position) const;
    bool decodeEntry(uint32_t id, TImgEntry& entry) const;
    // The object's data chunks from chunk id first on (sorted by chunk id).
    std::pair<const DataRef*, const DataRef*> dataFrom(uint32_t objId, uint32_t first) const;
    void scan(JobReporter& rep);

    ScanInfo info_;
    std::vector<DataRef> dataIndex_;
    Bytes lastChunk_; // a short last chunk, padded to full size
};

} // namespace korvane
