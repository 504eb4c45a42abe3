// The scan of a JFFS2 image: every erase block is walked node by node, each
// node's checksums are checked, and what the tree is built from is kept in
// small records (the nodes themselves stay in the image). Also how the image
// is laid out: byte order, erase block size, cleanmarkers.
#pragma once

#include "jffs2_format.h"
#include "model/image_source.h"
#include "model/work.h"
#include "tjffs2obj.h"
#include "xattr_node.h"

#include <atomic>
#include <optional>
#include <string>
#include <vector>

namespace korvane::jffs2 {

// JFFS2 keeps flash offsets in 32 bits: nodes past 4 GiB cannot exist.
constexpr uint64_t kMaxImageBytes = 1ull << 32;

// What the reader keeps an index of at most; an image of more nodes of a
// kind is read as far as that goes, and the rest is counted as not read.
// Each is far beyond what a flash partition holds (a million inode nodes
// take several GiB of flash), and keeps the index under 100 MiB: 20 bytes an
// inode node, 24 a directory entry.
constexpr size_t kMaxInodeNodes = 1u << 20;
constexpr size_t kMaxDirents = 1u << 20;
constexpr size_t kMaxNameBytes = 64u << 20;
constexpr size_t kMaxXattrNodes = 1u << 18;
constexpr size_t kMaxXrefs = 1u << 20;

// One inode node: who it belongs to, its version and where its data goes.
struct InodeRef {
    uint32_t ino;
    uint32_t version;
    uint32_t at; // where the node lies in the image; bit 0 set for a hole (kComprZero)
    uint32_t offset;
    uint32_t dsize;

    uint32_t pos() const { return at & ~1u; }
    bool hole() const { return at & 1u; }
};

// One directory entry; its name is names[nameAt, nameAt + nameLen).
struct DirentRef {
    uint32_t pino;
    uint32_t version;
    uint32_t ino;
    uint32_t mctime;
    uint32_t nameAt;
    uint8_t nameLen;
    uint8_t type;
};

// One xattr node.
struct XattrRef {
    uint32_t xid;
    uint32_t version;
    uint32_t pos;
};

struct ScanResult {
    std::vector<InodeRef> inodes;
    std::vector<DirentRef> dirents;
    std::string names;
    std::vector<XattrRef> xattrs;
    std::vector<Xref> xrefs;
};

// The byte order of the first nodes whose header checks out, looking at
// most limit bytes in (erased stretches are passed over quickly); nothing when
// no node header checks out there. Also gives where the first such node lies.
std::optional<ByteOrder> detectOrder(const ImageSource& src, uint64_t limit,
                                     uint64_t* firstNode = nullptr, unsigned* nodesSeen = nullptr);

// Scans src (in the given byte order) node by node. Fills info and geo;
// what it read around goes to warnings. Reports progress as kind 2; throws
// Error("cancelled") when cancel is set.
ScanResult scanNodes(const ImageSource& src, ByteOrder order, Tjffs2obj::ScanInfo& info,
                     Tjffs2obj::Geometry& geo, std::vector<Message>& warnings, JobReporter& rep,
                     const std::atomic<int>& cancel);

} // namespace korvane::jffs2
