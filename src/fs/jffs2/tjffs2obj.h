// Tjffs2obj: a JFFS2 image. Opening scans every node of every erase block
// (the format has no index), keeps for each inode its node with the highest
// version and a map of which node holds each range of its data, resolves
// directory entries (newest per name; removals drop the name) into the tree
// and ties extended attributes to their inodes. Contents are decompressed
// node by node as they are read.
#pragma once

#include "jffs2_format.h"
#include "model/timg.h"

#include <array>
#include <cstdint>
#include <vector>

namespace korvane {

namespace jffs2 {
struct ScanResult;
}

class Tjffs2obj : public Timg {
public:
    // What the image says of itself: what a save like the source keeps.
    struct Geometry {
        uint32_t eraseBlock = jffs2::kDefaultEraseBlock;
        // How the erase block size was found: "cleanmarkers", "summaries",
        // "node placement" or "not found" (the default was taken).
        const char* eraseBlockFrom = "not found";
        jffs2::ByteOrder order = jffs2::ByteOrder::kLittle;
        bool cleanmarkers = false;
        uint32_t cleanmarkerSize = 12;
        // The compression of most data nodes (kComprNone when no data node
        // is compressed).
        uint8_t compr = jffs2::kComprZlib;
        uint64_t contentEnd = 0; // the end of the last node
        bool summaries = false;
    };

    // What the scan met, for `info`.
    struct ScanInfo {
        uint64_t nodes = 0; // nodes whose header checks out, obsolete ones included
        uint64_t inodeNodes = 0;
        uint64_t dirents = 0;
        uint64_t xattrNodes = 0;
        uint64_t xrefNodes = 0;
        uint64_t cleanmarkers = 0;
        uint64_t paddingNodes = 0;
        uint64_t summaryNodes = 0;
        uint64_t obsolete = 0;                // nodes marked obsolete in place
        uint64_t badNodes = 0;                // nodes whose node, name or data checksum fails
        uint64_t unknown = 0;                 // nodes of types the format does not define
        uint64_t dirtyBytes = 0;              // bytes that are neither erased nor part of a node
        uint64_t notIndexed = 0;              // nodes past what the reader keeps an index of
        std::array<uint64_t, 8> comprNodes{}; // data nodes by compression (kComprNone..kComprLzo)
        uint64_t inodes = 0;                  // inodes with nodes
        uint64_t objects = 0;                 // objects in the tree, root included
        uint64_t unnamed = 0;                 // inodes no directory entry names (deleted)
        uint64_t hardLinks = 0;
    };

    Tjffs2obj();
    ~Tjffs2obj() override;

    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "JFFS2"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const Geometry& geometry() const { return geometry_; }
    const ScanInfo& scanInfo() const { return info_; }

    // A range of an inode's data and the node that holds it.
    struct Frag {
        uint32_t start; // in the file
        uint32_t length;
        uint32_t node; // where the inode node lies in the image
    };

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    struct Build;

    void build(jffs2::ScanResult& r, JobReporter& rep);
    // The frags of object id, sorted by start.
    std::pair<const Frag*, const Frag*> fragsOf(uint32_t id) const;
    // The decompressed data of the inode node at pos (its dsize bytes) and,
    // in nodeOffset, where it goes in its file; from a cache of the last
    // node the calling thread read. Throws Error naming e when the node
    // cannot be read.
    const Bytes& nodeData(const TImgEntry& e, uint32_t pos, uint32_t& nodeOffset);

    Geometry geometry_;
    ScanInfo info_;
    std::vector<Frag> frags_;
    // Per object id: its frags, [fragBegin_[id], fragEnd_[id]).
    std::vector<uint32_t> fragBegin_;
    std::vector<uint32_t> fragEnd_;
    uint64_t imageNumber_ = 0;
};

} // namespace korvane
