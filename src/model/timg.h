// Timg: one open image. It owns the image bytes, the object tree, the node
// table, the id counter and the working file; nothing about an image is
// process-wide, so several images can be open at once.
#pragma once

#include "bytes.h"
#include "entry.h"
#include "image_source.h"
#include "message.h"
#include "node.h"
#include "source/image_data.h"
#include "work.h"
#include "workfile.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <utility>
#include <vector>

namespace korvane {

// Object ids stay below this bound, so the node table never grows past 16 Mi
// slots. No format Korvane reads or writes holds that many objects.
constexpr uint32_t kObjIdLimit = 1u << 24;

// What tells that a file on disk is still the one that was taken: its
// device, inode and size, and its modification and change times (any write
// or change of its attributes moves the change time on).
struct FileStamp {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    struct timespec mtime {};
    struct timespec ctime {};

    static FileStamp of(const struct stat& st) {
        return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                static_cast<uint64_t>(st.st_size), st.st_mtim, st.st_ctim};
    }
    friend bool operator==(const FileStamp& a, const FileStamp& b) {
        auto same = [](const timespec& x, const timespec& y) {
            return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
        };
        return a.device == b.device && a.inode == b.inode && a.size == b.size &&
               same(a.mtime, b.mtime) && same(a.ctime, b.ctime);
    }
};

// Where contents lie in a file as they read: the piece, and its length.
struct StoredContents {
    FileRange file;
    uint64_t length = 0;
};
// A range of an object's contents, [begin, end) in bytes.
struct ContentRange {
    uint64_t begin = 0;
    uint64_t end = 0;
};

// ReadContent hands out whole files up to this size; larger ones are read in
// ranges.
constexpr uint64_t kWholeReadLimit = 256ull << 20;

// How much of an image a walk may touch before its pages are let go.
constexpr uint64_t kResidentBudget = 32ull << 20;
// What one page fault of a mapped image may make resident (the kernel maps
// the cached pages around the one asked for).
constexpr uint64_t kFaultAround = 64u << 10;

class Timg {
public:
    Timg();
    Timg(const Timg&) = delete;
    Timg& operator=(const Timg&) = delete;
    virtual ~Timg();

    // Passes a work event to the installed sink, if any.
    void DoWork(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag);

    // Takes the image bytes and clears the node table; the source's problems
    // become the first warnings. The bytes may be shared with the members
    // of a container that were opened from them.
    virtual void Init(std::shared_ptr<const ImageSource> data);
    // Reads the image and builds the tree. Runs synchronously on the calling
    // thread, reporting through onwk. Throws Error when the image cannot be
    // read at all; damage it can read around is listed in warnings().
    virtual void Open() = 0;
    // Fills entry for object id and, for an object with contents (see
    // contentSize), its bytes in a zero-filled buffer of size rounded up to
    // whole KiB. Returns false when the id names no object. Throws Error when
    // contents cannot be read or are larger than kWholeReadLimit: this is a
    // helper for small files; everything else reads in ranges.
    bool ReadContent(uint32_t id, TImgEntry& entry, Bytes& buffer);

    // The length of e's contents: a regular file's size (and, where the
    // format keeps them as contents, a directory's or symbolic link's); 0
    // for objects without contents.
    virtual uint64_t contentSize(const TImgEntry& e) const;
    // Reads out.size() bytes of e's contents starting at offset into out (fewer
    // only where the contents end; 0 at or past the end). Holes, and data the
    // image has lost, read as zeros. e is an entry of this image (from a node
    // or GetEntry). Throws Error when the contents cannot be read. Safe to call
    // from several threads at once as long as the tree does not change.
    size_t ReadRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out);
    // The first range at or after offset that holds data; the bytes between
    // data ranges are holes (they read as zeros and need no space). begin ==
    // end == contentSize(e) when no data follows.
    ContentRange nextData(const TImgEntry& e, uint64_t offset);
    // Where bytes of e's contents from offset on (at most n) lie in a file as
    // they read, neither encoded nor moved: for a copy the kernel makes file
    // to file. nullopt when they do not (compressed, a hole, contents added
    // or edited since the image was read, a format that does not say).
    std::optional<StoredContents> storedContents(const TImgEntry& e, uint64_t offset, uint64_t n);
    // Fills entry for object id: the node's entry when the id has a node,
    // otherwise decoded from the image. Returns false when the id names nothing.
    virtual bool GetEntry(uint32_t id, TImgEntry& entry) = 0;

    // "YAFFS2", "EXT2", "EXT3".
    virtual std::string formatName() const = 0;
    // The registry name of the format that read the image ("ext",
    // "yaffs2"); set by opening.
    const std::string& formatId() const { return formatId_; }
    void setFormatId(std::string id) { formatId_ = std::move(id); }
    // The byte layers the image's bytes came through, outermost first
    // ("sparse"): saving like the source writes them again.
    const std::vector<std::string>& layers() const { return layers_; }
    void setLayers(std::vector<std::string> layers) { layers_ = std::move(layers); }

    // Whether the tree is a container's list of members (partitions,
    // volumes, the parts of a boot image), each of which opens as an image
    // of its own.
    virtual bool isContainer() const { return false; }
    // The bytes of member e of a container as they lie in the image
    // (nullptr when e is no member, or its contents were replaced).
    virtual std::shared_ptr<const ImageSource> memberSource(const TImgEntry& e) const {
        (void)e;
        return nullptr;
    }
    // Facts about member e of a container for `info` (label/value pairs: its
    // group, its extents, its attributes).
    virtual std::vector<std::pair<std::string, std::string>> memberFacts(const TImgEntry& e) const {
        (void)e;
        return {};
    }
    // Facts about the image for `korvane-cli info`, as label/value pairs.
    virtual std::vector<std::pair<std::string, std::string>> describe() const = 0;

    // The next free object id (maxObjId + 1), which raises maxObjId. Ids are
    // never handed out twice while the image is open. Throws Error when the
    // next id would reach kObjIdLimit.
    uint32_t newobjid();

    // The node of object id, or nullptr.
    Node* nodeFor(uint32_t id) const { return id < nodeTable.size() ? nodeTable[id] : nullptr; }
    // Points id's slot at node (nullptr clears it), growing the table as needed.
    void setNode(uint32_t id, Node* node);

    Node* root() const { return root_.get(); }
    // Replaces the whole tree (readers call this when they are done).
    void setRoot(std::unique_ptr<Node> root) { root_ = std::move(root); }

    // The image bytes when they lie in memory in one piece (a plain mapping),
    // otherwise nullptr: readers of other sources go through image().
    const std::byte* data() const { return image_ ? image_->contiguous(0, size()) : nullptr; }
    size_t size() const { return image_ ? static_cast<size_t>(image_->size()) : 0; }
    const ImageSource* image() const { return image_.get(); }
    const std::shared_ptr<const ImageSource>& sharedImage() const { return image_; }

    // Counts n bytes of the image that a reader just went through; after
    // every kResidentBudget of them the image's pages are let go, so that
    // memory stays bounded however large the image is. Thread-safe.
    void noteRead(uint64_t n) const;
    // The same for a small read at a place in the image: reads that fall in
    // the stretch a fault mapped for the previous one count nothing.
    void noteReadAt(uint64_t offset, uint64_t n) const;

    // Contents left in a file on disk until they are read, for a run that
    // writes its image at once (copying every file first would only cost
    // time): returns the dataPos for the entry. Reading checks, when it
    // opens the file and when it reaches its end, that path is still the
    // file it was when stamp was taken (FileStamp) and throws when not. A
    // file that takes as many blocks as its size has no holes to look for.
    int64_t referToFile(std::string path, const FileStamp& stamp, bool mayHaveHoles);

    // The working file, created on first use.
    WorkFile& workfile();
    bool hasWorkfile() const { return workfile_ != nullptr; }

    // What the reader could not read, or read around: in English, and as
    // messages for the user's language.
    const std::vector<std::string>& warnings() const { return warnings_; }
    const std::vector<Message>& warningMessages() const { return warningMessages_; }
    void warn(Message message);

    WorkSink* onwk = nullptr;
    std::atomic<int> cancel{0};
    // Set by every change to the tree (edits, adding files); the caller
    // clears it when a save starts.
    bool modified = false;
    std::vector<Node*> nodeTable;
    uint32_t maxObjId = 0;

protected:
    // The format's part of ReadRange and nextData for contents in the image
    // (dataPos == -1); offset < contentSize(e) and out is not empty or past
    // the end. The default nextData calls everything data.
    virtual size_t readImageRange(const TImgEntry& e, uint64_t offset, MutableByteSpan out) = 0;
    virtual ContentRange nextImageData(const TImgEntry& e, uint64_t offset);
    // The format's part of storedContents (offset < contentSize(e), n > 0).
    virtual std::optional<StoredContents> storedImageContents(const TImgEntry& e, uint64_t offset,
                                                              uint64_t n) {
        (void)e;
        (void)offset;
        (void)n;
        return std::nullopt;
    }

private:
    struct DiskFile {
        std::string path;
        FileStamp stamp;
        bool mayHaveHoles;
    };
    // Throws when the open file fd is no longer the file of stamp.
    static void checkStamp(int fd, const DiskFile& f);
    // The same at the end of the file, which is closed then.
    static void checkStampAndClose(int fd, const DiskFile& f);
    DiskFile diskFileOf(const TImgEntry& e);
    // The descriptor of e's disk file (file: diskFileOf(e)) on this thread,
    // opened and checked on first use; each thread's last one stays open
    // for the reads that follow, so reading needs no lock.
    int diskFileFd(const TImgEntry& e, const DiskFile& file);

    std::shared_ptr<const ImageSource> image_;
    std::string formatId_;
    std::vector<std::string> layers_;
    std::vector<DiskFile> diskFiles_;
    std::mutex diskMutex_;    // guards diskFiles_
    const uint64_t instance_; // tells this image's open disk files from another's
    mutable std::atomic<uint64_t> readSinceRelease_{0};
    mutable std::atomic<uint64_t> lastStretch_{~uint64_t{0}};
    std::unique_ptr<Node> root_;
    std::unique_ptr<WorkFile> workfile_;
    std::vector<std::string> warnings_;
    std::vector<Message> warningMessages_;
};

// A zero-filled buffer for size bytes, rounded up to whole KiB.
Bytes contentBuffer(uint64_t size);

// The buffer size consumers stream contents through.
constexpr size_t kStreamBuffer = 1u << 20;

// Hands fn(offset, ByteSpan) every piece of e's data in order, each at most
// buffer.size() bytes; holes are passed over (the bytes between pieces read
// as zeros). Stops and returns false when fn returns false.
template <typename Fn>
bool forEachData(Timg& img, const TImgEntry& e, MutableByteSpan buffer, Fn&& fn) {
    const uint64_t total = img.contentSize(e);
    uint64_t pos = 0;
    while (pos < total) {
        ContentRange r = img.nextData(e, pos);
        if (r.begin >= r.end)
            break;
        for (pos = r.begin; pos < r.end;) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), r.end - pos));
            size_t got = img.ReadRange(e, pos, buffer.first(want));
            if (got == 0)
                return true;
            if (!fn(pos, ByteSpan(buffer.data(), got)))
                return false;
            pos += got;
        }
    }
    return true;
}

} // namespace korvane
