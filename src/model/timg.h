// Timg: one open image. It owns the image bytes, the object tree, the node
// table, the id counter and the working file; nothing about an image is
// process-wide, so several images can be open at once.
#pragma once

#include "bytes.h"
#include "entry.h"
#include "image_data.h"
#include "node.h"
#include "work.h"
#include "workfile.h"

#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

// Object ids stay below this bound, so the node table never grows past 16 Mi
// slots. No format Korvane reads or writes holds that many objects.
constexpr uint32_t kObjIdLimit = 1u << 24;

class Timg {
public:
    Timg();
    Timg(const Timg&) = delete;
    Timg& operator=(const Timg&) = delete;
    virtual ~Timg();

    // Passes a work event to the installed sink, if any.
    void DoWork(int64_t pos, int64_t max, int kind, const std::string& message, uint8_t flag);

    // Takes the image bytes and clears the node table.
    virtual void Init(std::unique_ptr<ImageData> data);
    // Reads the image and builds the tree. Runs synchronously on the calling
    // thread, reporting through onwk. Throws Error when the image cannot be
    // read at all; damage it can read around is listed in warnings().
    virtual void Open() = 0;
    // Fills entry for object id and, for a regular file of non-zero size (and,
    // where the format says so, other objects with contents), its bytes in a
    // zero-filled buffer of size rounded up to whole KiB. Returns false when
    // the id names no object. Throws Error when contents cannot be read.
    virtual bool ReadContent(uint32_t id, TImgEntry& entry, Bytes& buffer) = 0;
    // Fills entry for object id: the node's entry when the id has a node,
    // otherwise decoded from the image. Returns false when the id names nothing.
    virtual bool GetEntry(uint32_t id, TImgEntry& entry) = 0;

    // "YAFFS2", "EXT2", "EXT3".
    virtual std::string formatName() const = 0;
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

    const std::byte* data() const { return image_ ? image_->data() : nullptr; }
    size_t size() const { return image_ ? image_->size() : 0; }
    const ImageData* image() const { return image_.get(); }

    // The working file, created on first use.
    WorkFile& workfile();
    bool hasWorkfile() const { return workfile_ != nullptr; }

    const std::vector<std::string>& warnings() const { return warnings_; }
    void warn(std::string message) { warnings_.push_back(std::move(message)); }

    WorkSink* onwk = nullptr;
    std::atomic<int> cancel{0};
    // Set by every change to the tree (edits, adding files); the caller
    // clears it when a save starts.
    bool modified = false;
    std::vector<Node*> nodeTable;
    uint32_t maxObjId = 0;

protected:
    // Copies the contents of a file added from disk out of the working file.
    void readAdded(const TImgEntry& entry, Bytes& buffer);

private:
    std::unique_ptr<ImageData> image_;
    std::unique_ptr<Node> root_;
    std::unique_ptr<WorkFile> workfile_;
    std::vector<std::string> warnings_;
};

// A zero-filled buffer for size bytes, rounded up to whole KiB.
Bytes contentBuffer(uint64_t size);

} // namespace korvane
