// The YAFFS2 image layout: 2048-byte chunks with a 64-byte spare area, packed
// tags, object headers, and the ECC of tags and data.
#pragma once

#include "model/bytes.h"

#include <array>
#include <cstdint>
#include <string>

namespace korvane::yaffs2 {

constexpr size_t kDataSize = 2048;
constexpr size_t kSpareSize = 64;
constexpr size_t kChunkSize = kDataSize + kSpareSize; // 2112
constexpr size_t kHeaderSize = 512;

// Tags sit at the head of the spare area, or after an FF FF erase marker.
constexpr size_t kTagOffsetPlain = 2048;
constexpr size_t kTagOffsetMarked = 2050;
constexpr size_t kTagsSize = 16;
constexpr size_t kTagEccSize = 12;
constexpr size_t kDataEccOffset = 2088;
constexpr size_t kDataEccSize = 24;
// A last partial chunk counts when it still holds its data and tags at 2048.
constexpr size_t kMinPartialChunk = kTagOffsetPlain + kTagsSize; // 2064

constexpr uint32_t kSeqLowest = 0x1000; // the writer's sequence number
constexpr uint32_t kSeqErased = 0xFFFFFFFF;
constexpr uint32_t kSeqCheckpoint = 0x21;

constexpr uint32_t kObjIdRoot = 1;
constexpr uint32_t kObjIdSummary = 0x10;
constexpr uint32_t kFirstOrdinaryId = 257;
// Object ids a filesystem hands out stay below this bound.
constexpr uint32_t kMaxObjId = 0x3FFFF;

// Chunk id bit 31 marks a header chunk whose tags carry extra header
// information: the parent id in the chunk id, the type in the object id's top
// four bits.
constexpr uint32_t kExtraHeaderFlag = 0x80000000;
constexpr uint32_t kExtraFlagsMask = 0xF0000000;
constexpr unsigned kExtraTypeShift = 28;

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

struct PackedTags {
    uint32_t sequence = 0;
    uint32_t objectId = 0;
    uint32_t chunkId = 0;
    uint32_t byteCount = 0;

    friend bool operator==(const PackedTags&, const PackedTags&) = default;
};

PackedTags loadTags(const std::byte* p);
void storeTags(std::byte* p, const PackedTags& t);

struct TagEcc {
    uint8_t colParity = 0;
    uint32_t lineParity = 0;
    uint32_t lineParityPrime = 0;

    friend bool operator==(const TagEcc&, const TagEcc&) = default;
};

TagEcc computeTagEcc(const std::byte* tags16);
TagEcc loadTagEcc(const std::byte* p);
// Writes the 12 bytes; the three padding bytes after the column parity are left as they are.
void storeTagEcc(std::byte* p, const TagEcc& e);

// The data ECC of one 256-byte group, three bytes in stored order.
std::array<uint8_t, 3> yaffsEcc256(const std::byte* group);
std::array<uint8_t, 3> nandEcc256(const std::byte* group);

enum EccKind : uint8_t { kEccNone = 0, kEccYaffs = 1, kEccNand = 2 };

// Writes the 24-byte data ECC of a chunk's 2048 data bytes to out.
void storeDataEcc(const std::byte* data2048, EccKind kind, std::byte* out24);

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
    std::string alias; // up to the first zero byte
    uint32_t rdev = 0;
};

// Decodes the 512 header bytes at p.
ObjectHeader decodeHeader(const std::byte* p);

// Lays a header into the 512 bytes at p, which are first filled with fill:
// type, parent, checksum FFFF, the name (at most 255 bytes, zero-padded),
// mode, owner, times; the file size for files (FFFFFFFF otherwise); the
// equivalent id of a hard link; FFFFFFFF and the zero-padded target (at most
// 159 bytes) for a symbolic link; the device number of a special file. The
// high word of the file size is set to FFFFFFFF ("not used"), so that readers
// that honour it do not take the fill bytes for part of the size.
void encodeHeader(const ObjectHeader& h, std::byte* p, std::byte fill);

} // namespace korvane::yaffs2
