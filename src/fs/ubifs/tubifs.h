// Tubifs: a UBIFS filesystem, from a UBI volume or from an image mkfs.ubifs
// wrote. Opening reads the superblock and the newest master node, replays
// the journal in memory and builds the tree from the root inode down, as the
// kernel looks objects up: each folder's entries, each object's inode and
// extended attributes by their keys in the index, with what the journal
// changed laid over it. Contents are found block by block the same way and
// decompressed as they are read. Nothing the index holds but the tree is
// kept in memory, so an index full of things no folder names costs nothing.
#pragma once

#include "model/timg.h"
#include "ubifs_index.h"
#include "ubifs_journal.h"
#include "ubifs_leaf.h"
#include "ubifs_super.h"

#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

namespace korvane {

class Tubifs : public Timg {
public:
    struct ReadInfo {
        size_t objects = 0;   // nodes of the tree, root included
        size_t hardLinks = 0; // second and later names of an inode
        size_t leftOut = 0;   // entries not shown: damaged, or naming nothing
        uint64_t damagedNodes = 0;
        uint64_t indexNodes = 0; // index nodes read to build the tree
        ubifs::ReplayStats replay;
        uint32_t masterLeb = 0; // the master LEB whose node was taken
        bool mastersDiffer = false;
    };

    Tubifs();
    ~Tubifs() override;

    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "UBIFS"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const ubifs::Superblock& superblock() const { return sb_; }
    const ubifs::Master& master() const { return master_; }
    const ReadInfo& readInfo() const { return info_; }
    // The UBIFS inode number of object e (0 for none).
    uint32_t inodeNumber(const TImgEntry& e) const {
        return e.objId < inums_.size() ? inums_[e.objId] : 0;
    }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    void readSuperblock();
    void readMaster();
    enum class Lookup : uint8_t { kFound, kAbsent, kDamaged };
    // The inode of inum as the journal left it, decoded into n (whose data
    // lies in buf). A deleted inode is absent; one that cannot be read is
    // reported as damage, naming the object at path.
    Lookup loadInode(uint32_t inum, const std::string& path, Bytes& buf, ubifs::InodeNode& n);
    // Hands fn each directory entry (type kDentKey) or extended attribute
    // entry (kXentKey) of inode inum.
    void forEachEntry(uint32_t inum, uint8_t type, const std::string& path,
                      const std::function<void(ubifs::DentNode&)>& fn);
    std::unique_ptr<Node> makeNode(uint32_t inum, const ubifs::InodeNode& n, std::string name,
                                   const std::string& path);
    void buildTree(JobReporter& rep);
    void damage(Message m);
    // The inode number behind object e; throws Error when e is none of ours.
    uint32_t inumOf(const TImgEntry& e) const;
    // Hands fn the data nodes of inode inum for blocks [first, last], in
    // order, as the journal left them. Throws Error where the index is
    // damaged.
    void forEachBlock(uint32_t inum, uint32_t first, uint32_t last, const TImgEntry& e,
                      const std::function<bool(uint32_t, const ubifs::NodeLoc&)>& fn) const;

    ubifs::Superblock sb_;
    ubifs::Master master_;
    std::unique_ptr<ubifs::LebReader> reader_;
    std::unique_ptr<ubifs::IndexTree> index_;
    ubifs::Overlay overlay_;
    std::vector<uint32_t> inums_; // inode number by object id
    std::unordered_set<uint32_t> encrypted_;
    ReadInfo info_;
    size_t damageReported_ = 0;
};

} // namespace korvane
