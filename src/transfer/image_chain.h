// A chain of open images: the image a file holds, and images held by it
// opened in place, one inside the other (a sparse super.img, its partition
// system_a, which is EROFS). Any member of a container, and any regular file
// of a filesystem, opens as an image of its own. Saving the innermost image
// writes every image around it anew, outward, each like its source.
#pragma once

#include "fs/open_options.h"
#include "fs/registry.h"
#include "model/timg.h"

#include <memory>
#include <string>
#include <vector>

namespace korvane {

class ImageChain {
public:
    ImageChain() = default;
    // A chain of one image (a new image, or one opened by the caller); path
    // is the file it was read from, empty for none.
    explicit ImageChain(std::unique_ptr<Timg> img, std::string path = {});
    ImageChain(ImageChain&&) noexcept;
    ImageChain& operator=(ImageChain&&) noexcept;
    ~ImageChain();

    // Opens the image in the file at path, then each of members in turn, a
    // path inside the image before it ("system_a", "/boot/ramdisk"). Throws
    // Error naming the file or the member that could not be opened.
    static ImageChain open(const std::string& path, const std::vector<std::string>& members,
                           WorkSink* sink = nullptr, const OpenOptions& opt = {});
    // The same with the members opt names.
    static ImageChain open(const std::string& path, WorkSink* sink, const OpenOptions& opt) {
        return open(path, opt.members, sink, opt);
    }

    bool empty() const { return links_.empty(); }
    // A chain stands for its top image where one image is wanted.
    Timg* operator->() const { return &top(); }
    Timg& operator*() const { return top(); }
    // The innermost image: the one being browsed and edited.
    Timg& top() const { return *links_.back().img; }
    std::unique_ptr<Timg> releaseTop();
    // Image level (0 the file's own, depth() - 1 the top).
    Timg& at(size_t level) const { return *links_[level].img; }
    size_t depth() const { return links_.size(); }
    const std::string& path() const { return path_; }
    // The names of the members opened, outermost first (empty for a chain
    // of one image).
    std::vector<std::string> memberNames() const;

    // Opens node (a member or a regular file of the top image) as an image in
    // place; it becomes the top. Throws Error, leaving the chain as it was.
    void enter(const Node* node, WorkSink* sink = nullptr, const OpenOptions& opt = {});
    // Closes the top image (which must not be the only one); the image it
    // was opened from is the top again.
    void leave();

    // The bytes image level was opened from, before any byte layer was
    // unwrapped: the file for level 0, the member for the others.
    std::shared_ptr<const ImageSource> bytesOf(size_t level) const;
    // The bytes of node, a member or a regular file of img, as an image
    // would be opened from them.
    static std::shared_ptr<const ImageSource> bytesOf(Timg& img, const Node* node);

    // Whether an image of the chain has unsaved edits.
    bool modified() const;
    // Whether saves left member files that closing the chain removes.
    bool holdsTemporaries() const { return !temporaries_.empty(); }
    // Sets the cancel flag of every image of the chain.
    void cancel();

    // Saves the top image as req says. In a chain of one image this is
    // saveas(top(), req). Otherwise the top image is written to a file of
    // its own beside req.path, becomes the new contents of its member, and
    // the image around it is saved like its source, and so on outward; the
    // outermost is written to req.path. Returns false when cancelled.
    // Throws Error (a container that cannot take the new member says why).
    bool save(const SaveRequest& req, std::vector<Message>* warnings = nullptr);

private:
    struct Link {
        std::unique_ptr<Timg> img;
        std::string member; // its name in the image before it
        uint32_t memberId = 0;
    };
    std::string path_;
    std::vector<Link> links_;
    std::vector<std::string> temporaries_; // member files written by saves
};

} // namespace korvane
