// TImgEntry: the record of one filesystem object, kept on its tree node.
#pragma once

#include "devnum.h"

#include <array>
#include <cstdint>
#include <string>
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
// and sockets kTypeOther.
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
    default:
        return kTypeOther;
    }
}

// One extended attribute: its full name ("security.selinux", "user.x") and
// its value, both as bytes.
struct Xattr {
    std::string name;
    std::string value;

    friend bool operator==(const Xattr&, const Xattr&) = default;
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
    std::string alias;         // symbolic link target, the image's own bytes, whole
    DevNum rdev;               // device number of a character or block device
    std::vector<Xattr> xattrs; // extended attributes, in the order the source gave
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
