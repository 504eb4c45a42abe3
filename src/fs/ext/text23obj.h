// Text23obj: an EXT2, EXT3 or ext4 image. Init checks the superblock, reads
// the group descriptors and, when the journal needs recovery, replays it in
// memory; Open walks the directory tree from the root inode and gives every
// directory entry a node. Contents are read through each inode's block map,
// extent tree or inline data, from whatever source holds the image (a
// mapping, an Android sparse image, the replayed journal over either).
#pragma once

#include "blockmap.h"
#include "inode.h"
#include "model/timg.h"
#include "superblock.h"
#include "xattr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane {

class Text23obj : public Timg {
public:
    // What the walk found, for `info`.
    struct ReadInfo {
        size_t objects = 0;    // nodes in the tree, root included
        size_t hardLinks = 0;  // second and later names of an inode
        size_t skipped = 0;    // entries left out because they were damaged
        uint32_t replayed = 0; // journal transactions replayed
        uint64_t replayedBlocks = 0;
        size_t badChecksums = 0; // metadata whose checksum did not match
    };

    Text23obj();
    ~Text23obj() override;

    // Takes the image bytes, checks the superblock and recovers the journal
    // when it needs it; throws Error when the image is not an EXT
    // filesystem this reader can read.
    void Init(std::shared_ptr<const ImageSource> image) override;
    void Open() override;
    // Regular files, directories and symbolic links have contents.
    uint64_t contentSize(const TImgEntry& e) const override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    // "EXT2", "EXT3" or "EXT4", by the features the image uses.
    std::string formatName() const override;
    // Without the tree (not opened), the facts leave out what the walk
    // counts, and the checksums are those of the superblock and descriptors.
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ext2::Superblock& superblock() const { return sb_; }
    uint32_t blockSize() const { return sb_.blockSize; }
    const ReadInfo& readInfo() const { return info_; }
    // The image as the reader sees it (after journal recovery).
    const ImageSource& source() const { return *src_; }
    // Inode n as the image holds it; false when n is out of range, its table
    // is not in the image or its group marks it unused.
    bool loadInodeAt(uint32_t n, ext2::Inode& inode) const;

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;
    std::optional<StoredContents> storedImageContents(const TImgEntry& e, uint64_t offset,
                                                      uint64_t n) override;

private:
    // Where an inode's contents are: in the inode itself (fast symbolic
    // links, inline data) or in blocks that map finds.
    struct Contents {
        std::unique_ptr<ext2::BlockMapper> map;
        Bytes inlineBytes;
    };
    struct Frame;

    void loadGeometry();
    void recoverJournal();
    // Inode n's on-disk bytes (a pointer into the image or a copy in
    // scratch, s.inodeSize bytes), or empty when n is out of range, its table
    // is not in the image or its group marks it unused.
    ByteSpan rawInode(uint32_t n, std::byte* scratch) const;
    // Where inode n lies in the image, when its table is there.
    std::optional<uint64_t> inodeOffset(uint32_t n) const;
    // rawInode for the walk: read with system calls, a window of the table
    // at a time, into inodeWindow_ (valid until the next call).
    ByteSpan scanInode(uint32_t n);
    Contents contentsOf(const ext2::Inode& inode, ByteSpan raw) const;
    // Contents of the object entry names (its inode read again).
    Contents contentsOf(const TImgEntry& e) const;
    void decodeEntry(uint32_t n, const ext2::Inode& inode, ByteSpan raw, TImgEntry& entry);
    void readXattrs(uint32_t n, const ext2::Inode& inode, ByteSpan raw, TImgEntry& entry);
    // The attributes of entries as programs see them; inlineHolder: leave out
    // the one that holds the rest of an inline file's data.
    std::vector<Xattr> convertXattrs(const std::vector<ext2::RawXattr>& found,
                                     bool inlineHolder) const;
    // The attributes of attribute block b (read for inode n), decoded once
    // per walk.
    std::shared_ptr<const std::vector<Xattr>> blockXattrs(uint32_t n, uint64_t b);
    std::string readAlias(const ext2::Inode& inode, ByteSpan raw) const;
    // The run at logical of a map, blocks the image does not hold (outside
    // the filesystem, past the end of the file) as a hole.
    ext2::BlockRun heldRun(const ext2::BlockMapper& map, uint64_t logical) const;
    // Reads from contents c of a size-byte object.
    void readContents(const Contents& c, uint64_t size, uint64_t offset, MutableByteSpan out) const;

    // Walks the tree below root, depth first, with an explicit stack.
    void ScanDirectory(Node* root, JobReporter& rep);
    Frame frameFor(Node* folder);
    bool loadDirChunk(Frame& f);
    // The entry at f.pos (ino 0 for an unused one), moving past it; false when
    // the folder's entries are damaged from there on.
    bool nextDirEntry(Frame& f, uint32_t& ino, std::string& name);
    // The entry for a name of inode ino, or none when the inode cannot be
    // shown (damage reported, naming where).
    std::optional<TImgEntry> entryFor(uint32_t ino, const std::function<std::string()>& where);
    // Checks what is cheap to check of a new inode: its checksum and extent
    // tree.
    void checkInode(uint32_t n, const ext2::Inode& inode, ByteSpan raw,
                    const std::function<std::string()>& where);
    // Hangs a node for entry under parent; a second name of an inode becomes
    // a hard link with a fresh id.
    Node* AddEntryNode(Node* parent, TImgEntry entry);
    // Reports damage met by the walk (the first ones by name, the rest
    // counted); leftOut counts an entry that could not be shown. Outside
    // Open (GetEntry of an object without a node) damage is not reported.
    void damage(Message message, bool leftOut = true);

    ext2::Superblock sb_;
    std::vector<ext2::GroupDesc> groups_;
    const ImageSource* src_ = nullptr;
    std::unique_ptr<ImageSource> overlay_; // the replayed journal over image()
    std::unique_ptr<ext2::BlockDevice> dev_;
    // Attribute blocks already read (many inodes share one), and the lists
    // of inodes that add the same attributes of their own to one block.
    std::unordered_map<uint64_t, std::shared_ptr<const std::vector<Xattr>>> xattrBlocks_;
    std::unordered_map<std::string, std::shared_ptr<const std::vector<Xattr>>> xattrSets_;
    // Folder blocks read by the walk, and the folder that read each: no
    // damaged image can make the walk repeat itself.
    std::unordered_map<uint64_t, const Node*> dirBlockOwner_;
    uint64_t dirBytes_ = 0; // bytes of the folder blocks in dirBlockOwner_
    // The walk's window of an inode table, and folder-block buffers of
    // frames that ended, for the next ones.
    Bytes inodeWindow_;
    uint64_t windowAt_ = 0;
    size_t windowLen_ = 0;
    std::vector<Bytes> spareBlocks_;
    ReadInfo info_;
    size_t damageReported_ = 0;
    bool scanning_ = false;
};

} // namespace korvane
