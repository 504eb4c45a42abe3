// The SquashFS 4.0 on-disk records as named offsets (all little-endian).
// libsquashfs reads and writes the tables; Korvane decodes these records
// itself where the library would allocate by what a damaged image claims
// before checking it: the fixed part of an inode (a file's block count, a
// link target's length, a folder index's names) and the extended attribute
// pairs (a value's length).
//
//   0      96   96+2+n                                         bytes_used
//   +------+----+-----------+--------+--------+---------+-----+--------+
//   | super| opt| data and  | inode  | folder | fragment| ids | xattrs |
//   | block|    | fragments | table  | table  | +export |     |        |
//   +------+----+-----------+--------+--------+---------+-----+--------+
//
// The inode and folder tables are chains of metadata blocks: a 16-bit header
// (bit 15 set: stored uncompressed; the rest: the stored length) and at most
// 8 KiB of data. A reference names a block by its offset from the table's
// start (bits 16 to 47) and a byte in its data (bits 0 to 15).
#pragma once

#include "model/bytes.h"

#include <cstdint>

namespace korvane::squashfs {

inline uint64_t load64(const std::byte* p) {
    return uint64_t{load32(p)} | uint64_t{load32(p + 4)} << 32;
}

inline void store64(std::byte* p, uint64_t v) {
    store32(p, static_cast<uint32_t>(v));
    store32(p + 4, static_cast<uint32_t>(v >> 32));
}

constexpr uint32_t kMagic = 0x73717368;        // "hsqs"
constexpr uint32_t kMagicSwapped = 0x68737173; // "sqsh": big-endian images of 3.x and before
constexpr uint16_t kVersionMajor = 4;
constexpr uint16_t kVersionMinor = 0;
constexpr uint32_t kMinBlockSize = 4096;
constexpr uint32_t kMaxBlockSize = 1u << 20;
constexpr uint32_t kDefaultBlockSize = 128u << 10;
constexpr uint32_t kMetaBlockSize = 8192;
constexpr uint16_t kMetaUncompressed = 0x8000;
constexpr uint64_t kNoTable = ~uint64_t{0};
constexpr uint32_t kNoFragment = 0xFFFFFFFF;
constexpr uint32_t kNoXattr = 0xFFFFFFFF;
// Images are padded to a multiple of this, as the kernel reads them.
constexpr uint32_t kDevBlockSize = 4096;
// Data block sizes: bit 24 set means stored uncompressed; 0 is a hole.
constexpr uint32_t kBlockUncompressed = 1u << 24;
constexpr uint32_t kBlockSizeMask = kBlockUncompressed - 1;
// The longest name the kernel takes.
constexpr uint32_t kMaxNameLength = 256;

// Superblock, at byte 0.
namespace sb {
constexpr size_t kMagic = 0;
constexpr size_t kInodeCount = 4;
constexpr size_t kModTime = 8;
constexpr size_t kBlockSize = 12;
constexpr size_t kFragmentCount = 16;
constexpr size_t kCompression = 20;
constexpr size_t kBlockLog = 22;
constexpr size_t kFlags = 24;
constexpr size_t kIdCount = 26;
constexpr size_t kVersionMajor = 28;
constexpr size_t kVersionMinor = 30;
constexpr size_t kRootInode = 32;
constexpr size_t kBytesUsed = 40;
constexpr size_t kIdTable = 48;
constexpr size_t kXattrTable = 56;
constexpr size_t kInodeTable = 64;
constexpr size_t kDirectoryTable = 72;
constexpr size_t kFragmentTable = 80;
constexpr size_t kExportTable = 88;
constexpr size_t kSize = 96;
static_assert(kExportTable + 8 == kSize);
} // namespace sb

// The compressor's options, after the superblock where its flags say so: a
// metadata block header (stored, of the record's length), then the record.
// Those of zstd and lz4 (the library reads them but keeps nothing of them):
namespace copt {
constexpr size_t kHeader = sb::kSize;
constexpr size_t kRecord = kHeader + 2;
constexpr size_t kZstdLevel = 0;
constexpr size_t kZstdSize = 4;
static_assert(kZstdLevel + 4 == kZstdSize);
constexpr size_t kLz4Version = 0;
constexpr size_t kLz4Flags = 4;
constexpr size_t kLz4Size = 8;
static_assert(kLz4Flags + 4 == kLz4Size);
constexpr uint32_t kLz4HighCompression = 1;
} // namespace copt

// Inode types.
enum InodeType : uint16_t {
    kDir = 1,
    kFile = 2,
    kSymlink = 3,
    kBlockDev = 4,
    kCharDev = 5,
    kFifo = 6,
    kSocket = 7,
    kExtDir = 8,
    kExtFile = 9,
    kExtSymlink = 10,
    kExtBlockDev = 11,
    kExtCharDev = 12,
    kExtFifo = 13,
    kExtSocket = 14,
};
// The basic type of an extended one (folder entries name basic types).
constexpr uint16_t basicType(uint16_t type) {
    return type > kSocket ? static_cast<uint16_t>(type - kSocket) : type;
}

// The part every inode begins with.
namespace ino {
constexpr size_t kType = 0;
constexpr size_t kMode = 2; // permission bits (writers also store the type bits)
constexpr size_t kUidIndex = 4;
constexpr size_t kGidIndex = 6;
constexpr size_t kMtime = 8;
constexpr size_t kNumber = 12;
constexpr size_t kSize = 16;
static_assert(kNumber + 4 == kSize);
} // namespace ino

// A folder (kDir), after the common part.
namespace dir {
constexpr size_t kStartBlock = 16; // of its listing, from the folder table's start
constexpr size_t kNlink = 20;
constexpr size_t kFileSize = 24; // u16: the listing's length + 3
constexpr size_t kOffset = 26;   // u16
constexpr size_t kParent = 28;
constexpr size_t kSize = 32;
static_assert(kParent + 4 == kSize);
} // namespace dir

// A folder with an index or attributes (kExtDir); index entries follow.
namespace xdir {
constexpr size_t kNlink = 16;
constexpr size_t kFileSize = 20;
constexpr size_t kStartBlock = 24;
constexpr size_t kParent = 28;
constexpr size_t kIndexCount = 32; // u16
constexpr size_t kOffset = 34;     // u16
constexpr size_t kXattr = 36;
constexpr size_t kSize = 40;
static_assert(kXattr + 4 == kSize);
} // namespace xdir

// A regular file (kFile); its block sizes (u32 each) follow.
namespace file {
constexpr size_t kBlocksStart = 16;
constexpr size_t kFragment = 20;
constexpr size_t kFragmentOffset = 24;
constexpr size_t kFileSize = 28;
constexpr size_t kSize = 32;
static_assert(kFileSize + 4 == kSize);
} // namespace file

// A regular file of 64-bit sizes, links or attributes (kExtFile).
namespace xfile {
constexpr size_t kBlocksStart = 16; // u64
constexpr size_t kFileSize = 24;    // u64
constexpr size_t kSparse = 32;      // u64: bytes of holes
constexpr size_t kNlink = 40;
constexpr size_t kFragment = 44;
constexpr size_t kFragmentOffset = 48;
constexpr size_t kXattr = 52;
constexpr size_t kSize = 56;
static_assert(kXattr + 4 == kSize);
} // namespace xfile

// A symbolic link (kSymlink, kExtSymlink): the target follows, then for
// kExtSymlink a u32 attribute index.
namespace link {
constexpr size_t kNlink = 16;
constexpr size_t kTargetSize = 20;
constexpr size_t kSize = 24;
static_assert(kTargetSize + 4 == kSize);
} // namespace link

// A device (kBlockDev, kCharDev; the extended ones add a u32 attribute index).
namespace dev {
constexpr size_t kNlink = 16;
constexpr size_t kRdev = 20; // the kernel's "new" encoding
constexpr size_t kSize = 24;
constexpr size_t kXattr = 24;
constexpr size_t kExtSize = 28;
static_assert(kRdev + 4 == kSize && kXattr + 4 == kExtSize);
} // namespace dev

// A FIFO or socket (the extended ones add a u32 attribute index).
namespace ipc {
constexpr size_t kNlink = 16;
constexpr size_t kSize = 20;
constexpr size_t kXattr = 20;
constexpr size_t kExtSize = 24;
static_assert(kNlink + 4 == kSize && kXattr + 4 == kExtSize);
} // namespace ipc

// A folder listing: a header, then up to 256 entries whose inodes lie in one
// metadata block, each followed by its name.
namespace dirhdr {
constexpr size_t kCount = 0; // entries - 1
constexpr size_t kStartBlock = 4;
constexpr size_t kInodeNumber = 8;
constexpr size_t kSize = 12;
static_assert(kInodeNumber + 4 == kSize);
} // namespace dirhdr
namespace dirent {
constexpr size_t kOffset = 0;    // u16: of the inode in its metadata block
constexpr size_t kInodeDiff = 2; // s16: from the header's inode number
constexpr size_t kType = 4;      // u16: basic inode type
constexpr size_t kNameSize = 6;  // u16: name length - 1
constexpr size_t kSize = 8;
static_assert(kNameSize + 2 == kSize);
} // namespace dirent

// A fragment table entry.
namespace frag {
constexpr size_t kStart = 0; // u64
constexpr size_t kBlockSize = 8;
constexpr size_t kUnused = 12;
constexpr size_t kSize = 16;
static_assert(kUnused + 4 == kSize);
} // namespace frag

// Extended attributes. The superblock points at the id table header, which
// gives where the pairs start and lists the metadata blocks of the id
// table; an id names a run of pairs. A pair's value may be stored elsewhere
// (kXattrOutOfLine: the value is then a u64 reference to it).
namespace xid {
constexpr size_t kPairsStart = 0; // u64
constexpr size_t kIds = 8;
constexpr size_t kUnused = 12;
constexpr size_t kHeaderSize = 16;
static_assert(kUnused + 4 == kHeaderSize);
constexpr size_t kRef = 0; // u64: of the first pair, from kPairsStart
constexpr size_t kCount = 8;
constexpr size_t kBytes = 12;
constexpr size_t kSize = 16;
static_assert(kBytes + 4 == kSize);
} // namespace xid
namespace xkey {
constexpr size_t kType = 0;     // u16: prefix, and kXattrOutOfLine
constexpr size_t kNameSize = 2; // u16: without the prefix
constexpr size_t kSize = 4;
static_assert(kNameSize + 2 == kSize);
} // namespace xkey
namespace xvalue {
constexpr size_t kValueSize = 0;
constexpr size_t kSize = 4;
static_assert(kValueSize + 4 == kSize);
} // namespace xvalue
constexpr uint16_t kXattrOutOfLine = 0x100;
constexpr uint16_t kXattrPrefixMask = 0xFF;

} // namespace korvane::squashfs
