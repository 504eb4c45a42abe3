#include "image_chain.h"

#include "loadimage.h"
#include "model/error.h"
#include "model/tree.h"
#include "saveas.h"
#include "source/image_data.h"
#include "source/materialize.h"

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace korvane {

ImageChain::ImageChain(std::unique_ptr<Timg> img, std::string path) : path_(std::move(path)) {
    links_.push_back({std::move(img), {}, 0});
}

ImageChain::ImageChain(ImageChain&&) noexcept = default;
ImageChain& ImageChain::operator=(ImageChain&& other) noexcept {
    for (const std::string& t : temporaries_)
        std::remove(t.c_str());
    path_ = std::move(other.path_);
    links_ = std::move(other.links_);
    temporaries_ = std::move(other.temporaries_);
    return *this;
}

ImageChain::~ImageChain() {
    // Inner images read through the outer ones: close them first.
    while (!links_.empty())
        links_.pop_back();
    for (const std::string& t : temporaries_)
        std::remove(t.c_str());
}

ImageChain ImageChain::open(const std::string& path, const std::vector<std::string>& members,
                            WorkSink* sink, const OpenOptions& opt) {
    OpenOptions outer = opt;
    if (!members.empty()) {
        outer.format.clear(); // --format names what the last member is
        outer.factsOnly = false;
    }
    ImageChain chain(loadimage(path, sink, outer), path);
    for (size_t i = 0; i < members.size(); ++i) {
        Timg& top = chain.top();
        const Node* node = findPath(top.root(), members[i]);
        if (!node || node == top.root()) {
            std::string names;
            if (top.isContainer())
                for (const auto& c : top.root()->children)
                    names += (names.empty() ? "" : ", ") + c->entry.name;
            throw Error(names.empty() ? msg("%1 holds nothing named %2", path, members[i])
                                      : msg("%1 has no member named %2; its members are %3", path,
                                            members[i], names));
        }
        OpenOptions inner = opt;
        if (i + 1 < members.size()) {
            inner.format.clear();
            inner.factsOnly = false;
        }
        chain.enter(node, sink, inner);
    }
    return chain;
}

std::unique_ptr<Timg> ImageChain::releaseTop() {
    std::unique_ptr<Timg> img = std::move(links_.back().img);
    links_.pop_back();
    return img;
}

std::vector<std::string> ImageChain::memberNames() const {
    std::vector<std::string> names;
    for (size_t i = 1; i < links_.size(); ++i)
        names.push_back(links_[i].member);
    return names;
}

std::shared_ptr<const ImageSource> ImageChain::bytesOf(Timg& img, const Node* node) {
    const TImgEntry& e = node->entry;
    if (e.objType != kTypeFile)
        throw Error(msg("%1 is not a file, so it holds no image", node->text));
    std::shared_ptr<const ImageSource> bytes = img.memberSource(e);
    if (!bytes)
        bytes = entrySource(img, e);
    return bytes;
}

std::shared_ptr<const ImageSource> ImageChain::bytesOf(size_t level) const {
    if (level == 0)
        return ImageData::mapFile(path_);
    const Node* node = links_[level - 1].img->nodeFor(links_[level].memberId);
    if (!node)
        throw Error(msg("%1 is no longer in the image around it", links_[level].member));
    return bytesOf(*links_[level - 1].img, node);
}

void ImageChain::enter(const Node* node, WorkSink* sink, const OpenOptions& opt) {
    Timg& outer = top();
    std::shared_ptr<const ImageSource> bytes = bytesOf(outer, node);
    if (bytes->size() == 0)
        throw Error(msg("%1 is empty", node->text));
    std::unique_ptr<Timg> img;
    try {
        img = openBytes(std::move(bytes), sink, opt);
    } catch (const Error& err) {
        throw Error(msg("%1: %2", node->text, err.message()));
    }
    links_.push_back({std::move(img), node->text, node->entry.objId});
}

void ImageChain::leave() {
    if (links_.size() > 1)
        links_.pop_back();
}

bool ImageChain::modified() const {
    for (const Link& l : links_)
        if (l.img->modified)
            return true;
    return false;
}

void ImageChain::cancel() {
    for (const Link& l : links_)
        l.img->cancel = 1;
}

namespace {

// A file beside target for the image of a member while the image around it
// is written.
std::string memberFileBeside(const std::string& target, size_t level) {
    return target + ".member-" + std::to_string(level) + "-" + std::to_string(::getpid());
}

} // namespace

bool ImageChain::save(const SaveRequest& req, std::vector<Message>* warnings) {
    if (links_.size() == 1)
        return saveas(top(), req, warnings);
    SaveRequest inner = req;
    inner.path = memberFileBeside(req.path, links_.size() - 1);
    temporaries_.push_back(inner.path);
    if (!saveas(top(), inner, warnings))
        return false;
    for (size_t level = links_.size() - 1; level-- > 0;) {
        Timg& outer = *links_[level].img;
        Node* member = outer.nodeFor(links_[level + 1].memberId);
        if (!member)
            throw Error(msg("%1 is no longer in the image around it", links_[level + 1].member));
        struct stat st {};
        if (::stat(inner.path.c_str(), &st) != 0)
            throwSystemError(msg("cannot read %1", inner.path), errno);
        TImgEntry& e = member->entry;
        e.dataPos = outer.referToFile(inner.path, FileStamp::of(st), true);
        e.size = static_cast<uint64_t>(st.st_size);
        outer.modified = true;
        SaveRequest around =
            sameAsSource(outer, level == 0 ? req.path : memberFileBeside(req.path, level));
        // The choices of the request that the writer around takes
        // (--no-sparse for a super image, --keep-avb-footer for a boot image).
        if (const FormatRow* w = writerOf(around.type))
            for (const FormatOption& fo : w->options)
                if (auto v = optionText(req.options, fo.name))
                    around.options[fo.name] = *v;
        if (level > 0)
            temporaries_.push_back(around.path);
        WorkSink* sink = outer.onwk;
        outer.onwk = top().onwk;
        const bool done = saveas(outer, around, warnings);
        outer.onwk = sink;
        if (!done)
            return false;
        inner = around;
    }
    for (Link& l : links_)
        l.img->modified = false;
    return true;
}

} // namespace korvane
