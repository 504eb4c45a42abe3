#include "ext_check.h"

#include "inode.h"
#include "model/error.h"
#include "model/texts.h"

#include <algorithm>
#include <climits>
#include <unordered_set>

namespace korvane::ext2 {

namespace {

bool isDevice(const TImgEntry& e) {
    const uint32_t t = fileTypeBits(e);
    return e.objType >= kTypeSpecial && (t == kModeCharDevice || t == kModeBlockDevice);
}

// The first time of e that an inode without (with) extra fields cannot hold.
bool timesFit(const TImgEntry& e, bool extra) {
    for (int64_t t : {e.atime, e.mtime, e.ctime})
        if (t < INT32_MIN || t > (extra ? kMaxExtraTime : INT32_MAX))
            return false;
    return true;
}

class TreeCheck {
public:
    TreeCheck(const Timg& img, const AbsoluteIndex& tree, const ExtFormat& f,
              std::vector<Message>* warnings)
        : img_(img), tree_(tree), f_(f), warnings_(warnings), kind_(kindName(f.kind)) {}

    void run();

private:
    void checkChildNames(const Node* dir, bool isRoot);
    void checkObject(const Node* n);

    const Timg& img_;
    const AbsoluteIndex& tree_;
    const ExtFormat& f_;
    std::vector<Message>* warnings_;
    std::string kind_;
    std::vector<bool> written_;
    std::vector<uint32_t> names_; // names of each written object
};

void TreeCheck::checkChildNames(const Node* dir, bool isRoot) {
    std::unordered_set<std::string_view> seen;
    uint64_t subdirs = 0;
    for (const auto& c : dir->children) {
        if (c->entry.objType < kTypeFile || c->entry.objType > kTypeOther)
            throw Error(msg("%1: an object of a type %2 does not know, which it cannot hold",
                            wherePath(c.get()), kind_));
        if (!IsWritten(*c, isRoot))
            continue;
        if (c->text.size() > kMaxNameLength)
            throw Error(msg("%1: the name is longer than 255 bytes, which %2 cannot hold",
                            wherePath(c.get()), kind_));
        if (!safeFileName(c->text))
            throw Error(msg("%1: the name is empty, \".\" or \"..\", or holds \"/\" or a NUL "
                            "byte, which %2 cannot hold",
                            wherePath(c.get()), kind_));
        if (!seen.insert(c->text).second)
            throw Error(msg("%1: the name is used twice in its folder, which %2 cannot hold",
                            wherePath(c.get()), kind_));
        subdirs += c->isDirectory();
    }
    if (subdirs + 2 > kLinkMax && !f_.has(kRoCompatDirNlink))
        throw Error(msg("%1 holds %2 folders; %3 keeps at most %4 folders in one folder",
                        isRoot ? std::string("/") : wherePath(dir), subdirs, kind_, kLinkMax - 2));
}

void TreeCheck::checkObject(const Node* n) {
    const TImgEntry& e = n->entry;
    const bool extra = f_.inodeSize > kGoodOldInodeSize;
    if (isDevice(e) && !fitsNewDev(e.rdev))
        throw Error(msg("EXT keeps device numbers of at most 4095:1048575; %1 has %2:%3",
                        wherePath(n), e.rdev.major, e.rdev.minor));
    if (warnings_ && !timesFit(e, extra)) {
        if (extra)
            warnings_->push_back(msg("%1: a time before 1901 or after 2310 does not fit an "
                                     "EXT inode; it was moved into that range",
                                     wherePath(n)));
        else
            warnings_->push_back(msg("%1: a time before 1901 or from 2038 on does not fit a "
                                     "128-byte inode; it was moved into that range",
                                     wherePath(n)));
    }
    if (e.objType == kTypeHardlink) {
        const Node* t = LinkTarget(img_, tree_, n);
        if (!t)
            throw Error(
                msg("the target of the hard link was deleted; cannot save %1", wherePath(n)));
        if (t->isDirectory())
            throw Error(
                msg("%1: a hard link to a folder, which %2 cannot hold", wherePath(n), kind_));
        const size_t ti = tree_.indexOf(t);
        if (!written_[ti])
            throw Error(
                msg("%1: the hard link's target %2 is not saved", wherePath(n), wherePath(t)));
        if (++names_[ti] > kLinkMax)
            throw Error(msg("%1 has more than %2 names, which %3 cannot hold", wherePath(t),
                            kLinkMax, kind_));
    } else if (e.objType == kTypeSymlink) {
        const uint64_t most = std::min<uint64_t>(f_.blockSize, 4096) - 1;
        if (e.alias.empty() || e.alias.find('\0') != std::string::npos || e.alias.size() > most)
            throw Error(msg("%1: a symbolic link target must be 1 to %2 bytes without NUL bytes",
                            wherePath(n), most));
    } else if (e.objType == kTypeFile) {
        const uint64_t most =
            f_.extents() ? uint64_t{0xFFFFFFFF} * f_.blockSize : maxFileSize(f_.blockSize);
        if (e.size > most)
            throw Error(msg("%1 has %2 bytes; a file of %3 holds at most %4", wherePath(n), e.size,
                            kind_, most));
        // Without huge_file an inode counts its blocks in 32 bits of sectors.
        if (!f_.has(kRoCompatHugeFile) && e.size / 512 >= 0xFFFFFFFFull)
            throw Error(msg("%1 has %2 bytes; a file of %3 without huge_file holds less than "
                            "2 TiB",
                            wherePath(n), e.size, kind_));
    }
}

void TreeCheck::run() {
    Node* root = tree_.at(0);
    for (const auto& c : root->children)
        if (warnings_ && c->text == kLostFoundName && !c->isDirectory() && IsWritten(*c, true))
            warnings_->push_back(msg("/lost+found is not a folder: it is saved as /%1, and a new "
                                     "lost+found is made",
                                     escapedName(WrittenName(*c, true))));
    written_.assign(tree_.size(), false);
    names_.assign(tree_.size(), 1);
    ForEachWritten(tree_, [&](const Node*, size_t i) { written_[i] = true; });
    ForEachWritten(tree_, [&](const Node* n, size_t) {
        if (n->isDirectory() || n == root)
            checkChildNames(n, n == root);
        checkObject(n);
    });
}

} // namespace

std::string wherePath(const Node* n) {
    return escapedName("/" + pathFromRoot(n));
}

// The object a hard link names, following links to links; nullptr when the
// chain ends at a node that is no longer in the tree.
const Node* LinkTarget(const Timg& img, const AbsoluteIndex& tree, const Node* link) {
    const Node* t = hardlinkTarget(img, link);
    return t && tree.indexOf(t) != AbsoluteIndex::npos ? t : nullptr;
}

void CheckTree(const Timg& img, const AbsoluteIndex& tree, const ExtFormat& f,
               std::vector<Message>* warnings) {
    TreeCheck(img, tree, f, warnings).run();
}

} // namespace korvane::ext2
