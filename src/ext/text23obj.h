// Text23obj: an EXT2 or EXT3 image. Open walks the directory tree from the
// root inode and gives every directory entry a node; contents are read through
// each inode's block map straight from the mapped image.
#pragma once

#include "ext2_format.h"
#include "model/timg.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

class Text23obj : public Timg {
public:
    // What the walk found, for `info`.
    struct ReadInfo {
        size_t objects = 0;   // nodes in the tree, root included
        size_t hardLinks = 0; // second and later names of an inode
        size_t skipped = 0;   // entries left out because they were damaged
    };

    // Takes the image bytes and checks the superblock; throws Error when the
    // image is not an EXT2/EXT3 filesystem this reader can read.
    void Init(std::unique_ptr<ImageData> image) override;
    void Open() override;
    // Regular files, directories and symbolic links have contents.
    uint64_t contentSize(const TImgEntry& e) const override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override;
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ext2::Superblock& superblock() const { return sb_; }
    uint32_t blockSize() const { return sb_.blockSize; }
    const ReadInfo& readInfo() const { return info_; }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    using BlockMap = std::array<uint32_t, ext2::kBlockSlots>;

    // The bytes of block b, or nullptr when it is 0 or not wholly inside both
    // the filesystem and the file (such blocks read as zeros).
    const std::byte* blockData(uint64_t b) const;
    // The raw inode n, or nullptr when n is out of range or its table is not
    // in the image.
    const std::byte* inodeData(uint32_t n) const;
    bool loadInodeAt(uint32_t n, ext2::Inode& inode) const;
    void decodeEntry(uint32_t n, const ext2::Inode& inode, TImgEntry& entry) const;
    bool fastSymlink(const TImgEntry& entry) const;
    std::string readAlias(const TImgEntry& entry, bool fast) const;

    // The physical block of a logical block, 0 for a hole.
    uint32_t blockAt(const BlockMap& map, uint64_t logical) const;
    // As blockAt; for a hole, holes also tells how many logical blocks from
    // this one on are certainly holes (a missing indirect block covers many).
    uint32_t lookupBlock(const BlockMap& map, uint64_t logical, uint64_t& holes) const;
    // Calls fn(logical, physical) for every mapped block below count.
    template <typename Fn>
    void mapBlocks(const BlockMap& map, uint64_t count, Fn&& fn) const;
    template <typename Fn>
    void walkIndirect(uint32_t block, int level, uint64_t& logical, uint64_t count, Fn& fn) const;
    // Copies size bytes of the file with this block map to out; holes and
    // blocks outside the image stay as they are (zero).
    void readBlocks(const BlockMap& map, uint64_t size, std::byte* out) const;

    // Walks the tree below root, depth first, with an explicit stack.
    void ScanDirectory(Node* root, JobReporter& rep);
    // Hangs a node for entry under parent; a second name of an inode becomes
    // a hard link with a fresh id.
    Node* AddEntryNode(Node* parent, TImgEntry entry);
    // Reports damage met by the walk (the first ones by name, the rest
    // counted); leftOut counts an entry that could not be shown.
    void damage(std::string message, bool leftOut = true);

    ext2::Superblock sb_;
    std::vector<uint64_t> inodeTables_; // per group; 0 when unknown
    ReadInfo info_;
    size_t damageReported_ = 0;
};

} // namespace korvane
