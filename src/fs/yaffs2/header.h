// The object header: the first 512 bytes of a header chunk, and the
// name-value area after it that holds the object's extended attributes.
#pragma once

#include "layout.h"
#include "model/bytes.h"
#include "model/entry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace korvane::yaffs2 {

enum HeaderType : uint32_t {
    kHdrUnknown = 0,
    kHdrFile = 1,
    kHdrSymlink = 2,
    kHdrDirectory = 3,
    kHdrHardlink = 4,
    kHdrSpecial = 5,
};

// Object header field offsets.
namespace hdr {
constexpr size_t kType = 0;
constexpr size_t kParent = 4;
constexpr size_t kChecksum = 8;
constexpr size_t kName = 10;
constexpr size_t kNameSize = 256;
constexpr size_t kMode = 268;
constexpr size_t kUid = 272;
constexpr size_t kGid = 276;
constexpr size_t kAtime = 280;
constexpr size_t kMtime = 284;
constexpr size_t kCtime = 288;
constexpr size_t kFileSize = 292;
constexpr size_t kEquivId = 296;
constexpr size_t kAlias = 300;
constexpr size_t kAliasSize = 160;
constexpr size_t kRdev = 460;
constexpr size_t kFileSizeHigh = 496;
} // namespace hdr

struct ObjectHeader {
    uint32_t type = kHdrUnknown;
    uint32_t parent = 0;
    std::string name; // up to the first zero byte
    uint32_t mode = 0;
    uint32_t uid = 0;
    uint32_t gid = 0;
    uint32_t atime = 0;
    uint32_t mtime = 0;
    uint32_t ctime = 0;
    uint32_t fileSize = 0;
    uint32_t equivId = 0;
    std::string alias; // symbolic links: the target, up to the first zero byte
    uint32_t rdev = 0;
    std::vector<Xattr> xattrs;
};

// Decodes the header at the start of a chunk's data area of dataSize bytes,
// with the attributes after it.
ObjectHeader decodeHeader(const std::byte* p, uint32_t dataSize = kDataSize,
                          ByteOrder order = ByteOrder::kLittle);

// Lays a header into the chunk data area at p (dataSize bytes), which is first
// filled with fill: type, parent, checksum FFFF, the name (at most 255 bytes,
// zero-padded), mode, owner, times; the file size for files (FFFFFFFF
// otherwise); the equivalent id of a hard link; FFFFFFFF and the zero-padded
// target (at most 159 bytes) for a symbolic link; the device number of a
// special file. The high word of the file size is set to FFFFFFFF ("not
// used"), so that readers that honour it do not take the fill bytes for part
// of the size. The attributes follow the header, ended by zeros; the caller
// checks first that they fit (xattrsFit).
void encodeHeader(const ObjectHeader& h, std::byte* p, std::byte fill,
                  uint32_t dataSize = kDataSize, ByteOrder order = ByteOrder::kLittle);

// The header that keeps entry e in a chunk: its type (devices, FIFOs and
// sockets are special files), file-type and permission bits (a hard link
// whose mode names no type takes its target's), owner, times (moved into
// 1970 to 2106), size, link target, device number (old encoding) and
// attributes (none for a hard link, whose attributes are its target's).
// The name, parent and equivalent id are the caller's.
ObjectHeader headerFromEntry(const TImgEntry& e, const TImgEntry* linkTarget = nullptr);

// Bytes the name-value records of xattrs take.
uint64_t xattrBytes(const std::vector<Xattr>& xattrs);
// Bytes the name-value area of a header chunk offers: the records must end
// before its last byte.
uint32_t xattrSpace(uint32_t dataSize);

} // namespace korvane::yaffs2
