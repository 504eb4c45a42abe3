// Terofsobj: an EROFS image. Init reads the superblock, the device table and
// the long attribute prefixes; Open walks the directories once, from the
// root, giving every dirent a node (a second name of an inode becomes a hard
// link), with the inodes of what is no folder decoded by workers meanwhile.
// Contents are read extent by extent through the inode's map (what it needs
// of the inode kept from the walk): flat blocks and inline tails, chunks,
// and compressed clusters decoded by the Debian libraries, never a whole
// file at once.
#pragma once

#include "inode.h"
#include "map.h"
#include "model/timg.h"
#include "super.h"
#include "xattr.h"

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane {

class Terofsobj : public Timg {
public:
    // What the walk found, for `info`.
    struct ReadInfo {
        size_t objects = 0;
        size_t hardLinks = 0;
        size_t skipped = 0;
        size_t compressedFiles = 0;
    };
    struct Device {
        std::string tag;
        uint64_t blocks = 0;
        uint32_t mappedBlkaddr = 0;
    };

    Terofsobj();
    ~Terofsobj() override;

    void Init(std::shared_ptr<const ImageSource> image) override;
    void Open() override;
    bool GetEntry(uint32_t id, TImgEntry& entry) override;
    std::string formatName() const override { return "EROFS"; }
    std::vector<std::pair<std::string, std::string>> describe() const override;

    const erofs::Superblock& superblock() const { return sb_; }
    const ReadInfo& readInfo() const { return info_; }
    bool usesCompression() const { return info_.compressedFiles > 0; }
    // The nid of object id (a hard link's own id gives its target's nid);
    // ~0 when the id has none.
    uint64_t nidOf(uint32_t id) const;

protected:
    size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) override;
    ContentRange nextImageData(const TImgEntry& e, uint64_t offset) override;
    std::optional<StoredContents> storedImageContents(const TImgEntry& e, uint64_t offset,
                                                      uint64_t n) override;

private:
    struct Decoded;
    struct Pending;
    // Problems with entries listed one by one; the rest are counted.
    static constexpr size_t kDamageListed = 100;
    // A problem found while decoding an inode: reported by the walk, in its
    // order.
    struct Note {
        Message text;
        bool leftOut;
    };
    // What decoding inodes keeps on one thread of the walk: the shared
    // attributes read so far (by id), and the problems found.
    struct Scratch {
        std::unordered_map<uint32_t, Xattr> shared;
        std::vector<Note> notes;
    };
    // What reading an object's contents needs of its inode, kept from the
    // walk so that reading does not fetch the inode again.
    struct ObjInode {
        static constexpr uint16_t kUnread = 0xffff; // no format has every bit
        uint64_t nid = ~uint64_t{0};
        uint64_t size = 0;
        uint32_t u = 0;
        uint16_t format = kUnread;
        uint16_t xattrCount = 0;
    };

    // The most a thread's window of inodes and their attributes holds.
    static constexpr size_t kMetadataWindow = 16u << 10;
    // Reads inode nid through the thread's metadata window. readAhead: how
    // many bytes from the inode on to read into the window when it does not
    // hold the inode (the caller knows the inodes it reads next lie there).
    erofs::Inode readInode(uint64_t nid, size_t readAhead = 0) const;
    // The image's bytes [at, at + n) from the thread's metadata window,
    // reading [at, at + max(n, readAhead)) into it when it does not hold
    // them; [at, at + n) lies inside the image.
    ByteSpan metadata(uint64_t at, size_t n, size_t readAhead = 0) const;
    // The inode of object id for reading its contents: as the walk kept it,
    // else read from the image.
    erofs::Inode contentsInode(const TImgEntry& e) const;
    void keepInode(uint32_t id, const erofs::Inode& inode);
    // Decodes inode into e. Safe on any thread: what is wrong goes to
    // scratch.notes.
    void decodeEntry(const erofs::Inode& inode, TImgEntry& e, Scratch& scratch);
    void readXattrs(const erofs::Inode& inode, TImgEntry& e, Scratch& scratch);
    std::string readAlias(const erofs::Inode& inode);
    // Reads [offset, offset + out.size()) of inode's contents (inside its
    // size) into out. depth guards the packed inode against holding
    // fragments itself.
    void readContents(const erofs::Inode& inode, uint64_t offset, MutableByteSpan out,
                      int depth = 0);
    // Decodes the encoded extent x into out (x.llen bytes).
    void decodeInto(const erofs::Inode& inode, const erofs::Extent& x, MutableByteSpan out);
    // The decoded bytes of an encoded extent (cached: neighbouring reads
    // share it).
    std::shared_ptr<const Decoded> decode(const erofs::Inode& inode, const erofs::Extent& x);
    void loadDevices();
    void loadLongPrefixes();
    void walk(Node* root, const erofs::Inode& rootInode, JobReporter& rep);
    void damage(Message m, bool leftOut = true);
    void damage(Scratch& scratch);

    erofs::Superblock sb_;
    const ImageSource* src_ = nullptr;
    uint64_t readerId_ = 0; // tells this reader's cached inode blocks from another's
    erofs::LongPrefixes longPrefixes_;
    std::vector<Device> devices_;
    std::vector<ObjInode> inodes_; // by object id
    ReadInfo info_;
    size_t damageReported_ = 0;
    bool scanning_ = false;
    std::mutex cacheMutex_;
    std::shared_ptr<const Decoded> cache_;
};

} // namespace korvane
