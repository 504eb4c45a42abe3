// Tsquashfsobj: a SquashFS 4.0 image, read through libsquashfs. Init reads
// the superblock, the compressor's options and the owner, fragment and
// attribute tables; Open walks the folder table once from the root and
// gives every entry a node, keeping of each object only where its inode is
// (a side table by object id), from which its contents are read in ranges.
// The image's bytes come from any source (a file, a member of a container,
// a sparse image), never copied into a file of their own.
#pragma once

#include "model/timg.h"

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane {

namespace squashfs {
struct Volume;
struct InodeInfo;
} // namespace squashfs

class Tsquashfsobj : public Timg {
public:
    // What the walk found, for `info`.
    struct ReadInfo {
        size_t objects = 0;   // nodes in the tree, root included
        size_t hardLinks = 0; // second and later names of an inode
        size_t skipped = 0;   // entries left out because they were damaged
    };

    Tsquashfsobj();
    ~Tsquashfsobj() override;

    // Takes the image bytes and reads the superblock and tables; throws
    // Error when the bytes hold no SquashFS 4.0 image Korvane can read.
    void Init(std::shared_ptr<const ImageSource> image) override;
    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "SquashFS"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const squashfs::Volume& volume() const { return *vol_; }
    const ReadInfo& readInfo() const { return info_; }

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;

private:
    struct Walk;

    void loadTables();
    // The entry of the object whose inode is info; id is its object id.
    TImgEntry entryOf(const squashfs::InodeInfo& info, const std::string& path);
    uint64_t refOf(const TImgEntry& e) const;
    // Damage met by the walk (the first ones by name, the rest counted);
    // leftOut counts an entry that could not be shown.
    void damage(Message message, bool leftOut = true);
    void walkFolders(Node* root, Walk& walk);

    std::unique_ptr<squashfs::Volume> vol_;
    // The inode reference of every object, by object id.
    std::vector<uint64_t> refs_;
    // Attribute sets read during the walk (many inodes share one).
    std::unordered_map<uint32_t, std::vector<Xattr>> xattrSets_;
    ReadInfo info_;
    size_t damageReported_ = 0;
};

} // namespace korvane
