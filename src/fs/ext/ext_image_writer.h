// The EXT image writer's parts, shared by the files that hold them: the walk
// of the tree (ext_write_tree.cpp), each inode and its data
// (ext_write_inode.cpp) and the finishing metadata: journal, bitmaps,
// descriptors and superblock copies (ext_write_finish.cpp). Not installed.
#pragma once

#include "csum.h"
#include "ext_planner.h"
#include "inode_table_out.h"
#include "model/error.h"
#include "model/timg.h"
#include "source/sparse/sparse_writer.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::ext2 {

// The refusal of a tree of more objects than the image has inodes.
Message tooManyObjects(uint64_t inodes);

// Where one object's contents come from: a regular file of the image, read
// in pieces, or bytes in memory (folders, link targets, the journal's head,
// the rest of which is zero).
struct Contents {
    const TImgEntry* file = nullptr;
    ByteSpan bytes;
    uint64_t size = 0;
    bool zeroTail = false; // the blocks past bytes must read as zeros
};

// Writes one planned image. The output is a new file: every byte the writer
// does not write reads as zero.
class ExtImageWriter {
public:
    ExtImageWriter(Timg& img, const AbsoluteIndex& tree, const ExtFormat& f, const ImagePlan& plan,
                   ImageOut& out, JobReporter& rep, int64_t now)
        : img_(img), tree_(tree), f_(f), plan_(plan), geo_(plan.geo), layout_(plan.geo), out_(out),
          rep_(rep), now_(now), alloc_(geo_.blocksCount, layout_.reserved(), geo_.firstDataBlock()),
          bs_(geo_.blockSize), isz_(geo_.inodeSize),
          inodeCount_(static_cast<uint32_t>(plan.cost.inodesNeeded)),
          table_(geo_, layout_, out,
                 static_cast<uint32_t>(std::min<uint64_t>(inodeCount_, geo_.inodesCount()))),
          inode_(isz_), written_(inodeCount_ + 1, false), usedDirs_(geo_.groupCount(), 0),
          fsSeed_(csum::fsSeed(f.uuid)) {}

    // Writes every inode, directory and file, then the journal. Returns
    // false when the cancel flag stopped it.
    bool WriteTree();

    // The rest of the inode tables, bitmaps, free counts, descriptors and
    // superblock copies.
    void complete();
    uint64_t fillBlockBitmap(uint32_t g, Bytes& bitmap, size_t& r) const;
    uint64_t fillInodeBitmap(uint32_t g, Bytes& bitmap, uint32_t& highest) const;

private:
    struct Frame {
        Frame(Node* dir, uint32_t n, uint32_t blockSize, bool tail)
            : node(dir), ino(n), builder(&entries, blockSize, tail) {}
        Node* node;
        uint32_t ino;
        size_t next = 0;
        uint64_t subdirs = 0;
        Bytes entries;
        DirectoryBuilder builder;
    };
    // Attribute blocks inodes share: where the current one is, and how many
    // more inodes may use it.
    struct Shared {
        uint32_t block = 0;
        uint32_t left = 0;
        uint32_t refs = 0; // inodes still to come for this set
    };

    bool csum() const { return geo_.has(kRoCompatMetadataCsum); }
    bool extents() const { return geo_.has(kIncompatExtents); }
    bool filetype() const { return geo_.has(kIncompatFiletype); }
    bool extra() const { return isz_ > kGoodOldInodeSize; }
    uint32_t inodeOf(const Node* n) const {
        if (n == lostFound_)
            return kLostFoundIno;
        return static_cast<uint32_t>(InodeFor(tree_.indexOf(n)));
    }
    uint32_t inodeSeed(uint32_t ino) const { return csum::inodeSeed(fsSeed_, ino, 0); }
    void checkInode(uint32_t n) const {
        if (n == 0 || n > inodeCount_ || n > geo_.inodesCount())
            throw Error(tooManyObjects(geo_.inodesCount()));
    }
    void writeBlock(uint32_t b, ByteSpan bytes) { out_.writeAt(uint64_t{b} * bs_, bytes); }

    std::unique_ptr<Frame> openDirectory(Node* dir, uint32_t ino, uint32_t parentIno);
    void closeDirectory(Frame& f);
    void addEntry(Frame& f, uint32_t ino, const std::string& name, const TImgEntry& target);
    uint32_t writeChild(Node* c);
    void writeLostFound();
    // Empty entries that fill lost+found up to its planned blocks.
    void padLostFound(Bytes& contents) const;
    void writeJournal();
    void sealDirectory(Bytes& entries, uint32_t ino);

    // Writes inode n with its data; returns the inode (valid until the next
    // one is written).
    ByteSpan WriteInode(uint32_t n, const Contents& data, const TImgEntry& e);
    uint64_t writeData(uint32_t n, const Contents& data, std::byte* map);
    void note(uint64_t logical, uint32_t physical);
    void flushRun();
    uint64_t writeXattrs(std::byte* p, const TImgEntry& e);

    Bytes buildSuperblock(uint32_t group, uint64_t freeBlocks, uint64_t freeInodes);

    Timg& img_;
    const AbsoluteIndex& tree_;
    const ExtFormat& f_;
    const ImagePlan& plan_;
    const Geometry& geo_;
    Layout layout_;
    ImageOut& out_;
    JobReporter& rep_;
    const int64_t now_;
    BlockAllocator alloc_;
    const uint32_t bs_;
    const uint32_t isz_;
    const uint32_t inodeCount_; // the highest inode used
    InodeTableOut table_;
    Bytes inode_;   // the inode being written
    Bytes journal_; // the journal's inode, which the superblocks copy in part
    std::vector<bool> written_;
    std::vector<uint32_t> usedDirs_;
    const uint32_t fsSeed_;
    const Node* lostFound_ = nullptr; // the tree's own lost+found folder
    std::unordered_map<std::string, Shared> shared_;
    Bytes buffer_;
    // The object being written and its run of data blocks that follow one
    // another both in the file and on disk.
    const Contents* data_ = nullptr;
    std::vector<ExtentRun> extents_;
    uint64_t runLogical_ = 0;
    uint32_t runBlock_ = 0;
    uint64_t runBlocks_ = 0;
};

} // namespace korvane::ext2
