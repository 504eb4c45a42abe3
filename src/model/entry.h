// TImgEntry: the record of one filesystem object, kept on its tree node.
#pragma once

#include "devnum.h"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace korvane {

// Object types as every reader, the edit commands and both writers use them.
enum ObjType : uint8_t {
    kTypeUnknown = 0,
    kTypeFile = 1,
    kTypeSymlink = 2,
    kTypeDirectory = 3,
    kTypeHardlink = 4,
    kTypeSpecial = 5, // YAFFS2 special file; EXT character device
    kTypeBlockDevice = 6,
    kTypeOther = 7, // EXT FIFO, socket and anything else
};

// POSIX file-type bits of a mode word.
constexpr uint32_t kModeTypeMask = 0170000;
constexpr uint32_t kModeSocket = 0140000;
constexpr uint32_t kModeSymlink = 0120000;
constexpr uint32_t kModeFile = 0100000;
constexpr uint32_t kModeBlockDevice = 0060000;
constexpr uint32_t kModeDirectory = 0040000;
constexpr uint32_t kModeCharDevice = 0020000;
constexpr uint32_t kModeFifo = 0010000;
constexpr uint32_t kModePermissionMask = 07777;

// The object type of a mode's file-type bits, as the readers give it: a
// character device is kTypeSpecial, a block device kTypeBlockDevice, FIFOs
// and sockets kTypeOther; bits that name no type kTypeUnknown.
constexpr uint8_t objTypeForMode(uint32_t mode) {
    switch (mode & kModeTypeMask) {
    case kModeFile:
        return kTypeFile;
    case kModeDirectory:
        return kTypeDirectory;
    case kModeSymlink:
        return kTypeSymlink;
    case kModeCharDevice:
        return kTypeSpecial;
    case kModeBlockDevice:
        return kTypeBlockDevice;
    case kModeFifo:
    case kModeSocket:
        return kTypeOther;
    default:
        return kTypeUnknown;
    }
}

// One extended attribute: its full name ("security.selinux", "user.x") and
// its value, both as bytes.
struct Xattr {
    std::string name;
    std::string value;

    friend bool operator==(const Xattr&, const Xattr&) = default;
};

// The extended attributes of one object. Many objects of an image often have
// the same ones (one attribute block that thousands of inodes share), so a
// list shares its items with the lists it was copied from or made from the
// same set, and copies them only when it is changed. Reading is as a vector's
// (begin/end, size, empty, operator[], and a const std::vector<Xattr>& where
// one is wanted); changes go through push_back, emplace_back, insert, erase,
// clear, assignment and the iterators of a list that is not const (which
// stop the sharing, so const access is the cheap one).
class XattrList {
public:
    using Items = std::vector<Xattr>;
    using value_type = Xattr;
    using size_type = Items::size_type;
    using const_iterator = Items::const_iterator;
    using iterator = Items::iterator;

    XattrList() = default;
    XattrList(Items items) { assign(std::move(items)); }
    XattrList(std::initializer_list<Xattr> items) : XattrList(Items(items)) {}
    // A list of the items `shared` holds, which stay shared.
    static XattrList sharing(std::shared_ptr<const Items> shared) {
        XattrList l;
        if (shared && !shared->empty())
            l.items_ = std::move(shared);
        l.madeHere_ = false;
        return l;
    }
    XattrList& operator=(Items items) {
        assign(std::move(items));
        return *this;
    }
    XattrList& operator=(std::initializer_list<Xattr> items) { return *this = Items(items); }

    const Items& items() const { return items_ ? *items_ : emptyItems(); }
    operator const Items&() const { return items(); }
    // The shared items, for building other lists from them; null when empty.
    const std::shared_ptr<const Items>& shared() const { return items_; }

    const_iterator begin() const { return items().begin(); }
    const_iterator end() const { return items().end(); }
    // Iterators that may change the items: the list stops sharing them.
    iterator begin() { return items_ ? own().begin() : iterator(); }
    iterator end() { return items_ ? own().end() : iterator(); }
    size_type size() const { return items().size(); }
    bool empty() const { return !items_ || items_->empty(); }
    const Xattr& operator[](size_type i) const { return items()[i]; }
    const Xattr& front() const { return items().front(); }
    const Xattr& back() const { return items().back(); }

    void push_back(Xattr x) { own().push_back(std::move(x)); }
    template <typename... Args>
    Xattr& emplace_back(Args&&... args) {
        return own().emplace_back(std::forward<Args>(args)...);
    }
    template <typename It>
    void insert(const_iterator pos, It first, It last) {
        const auto at = pos - items().cbegin();
        Items& v = own();
        v.insert(v.begin() + at, first, last);
    }
    void erase(const_iterator pos) {
        const auto at = pos - items().cbegin();
        Items& v = own();
        v.erase(v.begin() + at);
    }
    void clear() {
        items_.reset();
        madeHere_ = true;
    }

    friend bool operator==(const XattrList& a, const XattrList& b) {
        return a.items_ == b.items_ || a.items() == b.items();
    }
    friend bool operator==(const XattrList& a, const Items& b) { return a.items() == b; }

private:
    static const Items& emptyItems() {
        static const Items kEmpty;
        return kEmpty;
    }
    void assign(Items items) {
        madeHere_ = true;
        if (items.empty())
            items_.reset();
        else
            items_ = std::make_shared<Items>(std::move(items));
    }
    // The items, copied first when other lists share them or they came from
    // elsewhere.
    Items& own() {
        if (!items_ || items_.use_count() > 1 || !madeHere_)
            assign(items_ ? *items_ : Items{});
        if (!items_)
            items_ = std::make_shared<Items>();
        // Made here, not const, and held by this list alone.
        return const_cast<Items&>(*items_);
    }

    std::shared_ptr<const Items> items_;
    bool madeHere_ = true; // items_ points at a non-const Items this class made
};

struct TImgEntry {
    std::string name; // the image's own bytes (UTF-8), whole
    uint8_t objType = kTypeUnknown;
    uint32_t mode = 0; // type bits (where the source has them) and permission bits
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint64_t size = 0;
    // Seconds since 1970-01-01 (negative before it) and nanoseconds.
    int64_t atime = 0;
    int64_t ctime = 0;
    int64_t mtime = 0;
    uint32_t atimeNs = 0;
    uint32_t objId = 0; // among the 4-byte fields, where it fills what would be padding
    uint32_t ctimeNs = 0;
    uint32_t mtimeNs = 0;
    std::string alias; // symbolic link target, the image's own bytes, whole
    DevNum rdev;       // device number of a character or block device
    XattrList xattrs;  // extended attributes, in the order the source gave
    // -1: contents in the image; >= 0: offset in the working file; -2 and
    // below: a file on disk (Timg::referToFile).
    int64_t dataPos = -1;
    uint32_t linkInfo = 0; // hard link target id (YAFFS2, EXT second names) or link count
    int32_t picIndex = -1;
};

// The file-type bits an object of the entry's type carries in a saved image.
// Special files keep the kind their mode names (YAFFS2 keeps devices, FIFOs
// and sockets alike as type 5); without one, type 5 is a character device, 6
// a block device and 7 a FIFO. A hard link has the bits its mode names, a
// regular file's when it names none.
inline uint32_t fileTypeBits(const TImgEntry& e) {
    const uint32_t t = e.mode & kModeTypeMask;
    switch (e.objType) {
    case kTypeFile:
        return kModeFile;
    case kTypeSymlink:
        return kModeSymlink;
    case kTypeDirectory:
        return kModeDirectory;
    case kTypeHardlink:
        return t ? t : kModeFile;
    default:
        if (t == kModeCharDevice || t == kModeBlockDevice || t == kModeFifo || t == kModeSocket)
            return t;
        return e.objType == kTypeBlockDevice ? kModeBlockDevice
               : e.objType == kTypeOther     ? kModeFifo
                                             : kModeCharDevice;
    }
}

} // namespace korvane
