// The JFFS2 on-disk records. A JFFS2 image is a log of nodes laid out in
// erase blocks; nothing says where anything is, so readers scan every block.
// Every node starts with the same 12-byte header and is followed by the next
// node at the next multiple of 4 bytes. Fields are in the byte order the image
// was made for (little- or big-endian, the same for the whole image).
//
//   erase block (64 KiB by default)
//   +-------------+--------+--------+-----+--------+-------------------+---------+
//   | cleanmarker | dirent | inode  | ... | inode  | FF FF FF ... (or  | summary |
//   | (optional)  |        | + data |     | + data | padding node)     | (opt.)  |
//   +-------------+--------+--------+-----+--------+-------------------+---------+
//
//   node header          dirent (40 + name)           inode (68 + data)
//    0 magic   u16        12 pino     u32               12 ino      u32   44 offset   u32
//    2 type    u16        16 version  u32               16 version  u32   48 csize    u32
//    4 totlen  u32        20 ino      u32 (0: unlink)   20 mode     u32   52 dsize    u32
//    8 hdr_crc u32        24 mctime   u32               24 uid      u16   56 compr    u8
//                         28 nsize    u8                26 gid      u16   57 usercompr u8
//                         29 type     u8 (DT_*)         28 isize    u32   58 flags    u16
//                         30 unused   u16               32 atime    u32   60 data_crc u32
//                         32 node_crc u32               36 mtime    u32   64 node_crc u32
//                         36 name_crc u32               40 ctime    u32   68 data...
//                         40 name...
//
//   xattr (32 + name + NUL + value)     xref (28)            summary (32 + entries)
//    12 xid       u32                    12 ino     u32       12 sum_num  u32
//    16 version   u32                    16 xid     u32       16 cln_mkr  u32
//    20 xprefix   u8                     20 xseqno  u32       20 padded   u32
//    21 name_len  u8                     24 node_crc u32      24 sum_crc  u32
//    22 value_len u16                                         28 node_crc u32
//    24 data_crc  u32                                         32 entries, FF fill, and
//    28 node_crc  u32                                            the marker: offset u32,
//    32 name, NUL, value                                         magic u32 (end of block)
//
// The header checksum covers bytes 0-7 with the "accurate" bit of the type
// set: clearing that bit (how NOR flash marks a node obsolete in place) leaves
// the checksum valid. Node checksums cover the fixed fields before them; data
// and name checksums cover the bytes after the fixed part. All are CRC32 with
// seed 0 and no final inversion (jffs2_crc.h).
#pragma once

#include "model/bytes.h"

#include <cstddef>
#include <cstdint>

namespace korvane::jffs2 {

constexpr uint16_t kMagic = 0x1985;
constexpr uint16_t kOldMagic = 0x1984; // JFFS2 before Linux 2.4.10, not readable
constexpr uint32_t kSummaryMagic = 0x02851885;

// Node types: the low bits name the kind, the top two bits say what a reader
// that does not know the kind must do, and bit 13 is cleared when a node is
// obsoleted in place.
constexpr uint16_t kCompatMask = 0xC000;
constexpr uint16_t kIncompat = 0xC000;
constexpr uint16_t kRoCompat = 0x8000;
constexpr uint16_t kRwCompatCopy = 0x4000;
constexpr uint16_t kRwCompatDelete = 0x0000;
constexpr uint16_t kAccurate = 0x2000;

constexpr uint16_t kTypeDirent = kIncompat | kAccurate | 1;
constexpr uint16_t kTypeInode = kIncompat | kAccurate | 2;
constexpr uint16_t kTypeCleanmarker = kRwCompatDelete | kAccurate | 3;
constexpr uint16_t kTypePadding = kRwCompatDelete | kAccurate | 4;
constexpr uint16_t kTypeSummary = kRwCompatDelete | kAccurate | 6;
constexpr uint16_t kTypeXattr = kIncompat | kAccurate | 8;
constexpr uint16_t kTypeXref = kIncompat | kAccurate | 9;

// Compression of an inode node's data.
enum Compr : uint8_t {
    kComprNone = 0,
    kComprZero = 1, // a hole: no data, dsize zeros
    kComprRtime = 2,
    kComprRubinMips = 3,
    kComprCopy = 4,
    kComprDynRubin = 5,
    kComprZlib = 6,
    kComprLzo = 7,
};

// Names and symbolic link targets the kernel accepts.
constexpr size_t kMaxNameLen = 254;
constexpr size_t kMaxSymlinkLen = 254;
// Data per inode node: one memory page of the machine the image is for.
constexpr uint32_t kPageSize = 4096;
// A data node is split at the end of an erase block only when this much of
// its data still fits there.
constexpr uint32_t kMinDataLen = 128;
constexpr uint32_t kDefaultEraseBlock = 64u << 10;

// Where the next node starts after one of totlen bytes.
constexpr uint64_t padded(uint64_t n) {
    return (n + 3) & ~uint64_t{3};
}

// Node header.
namespace hdr {
constexpr size_t kMagic = 0;
constexpr size_t kType = 2;
constexpr size_t kTotlen = 4;
constexpr size_t kCrc = 8;
constexpr size_t kSize = 12;
constexpr size_t kCrcSpan = 8;
static_assert(kCrc + 4 == kSize);
} // namespace hdr

namespace dirent {
constexpr size_t kPino = 12;
constexpr size_t kVersion = 16;
constexpr size_t kIno = 20;
constexpr size_t kMctime = 24;
constexpr size_t kNsize = 28;
constexpr size_t kType = 29;
constexpr size_t kUnused = 30;
constexpr size_t kNodeCrc = 32;
constexpr size_t kNameCrc = 36;
constexpr size_t kSize = 40;
static_assert(kNameCrc + 4 == kSize);
} // namespace dirent

namespace inode {
constexpr size_t kIno = 12;
constexpr size_t kVersion = 16;
constexpr size_t kMode = 20;
constexpr size_t kUid = 24;
constexpr size_t kGid = 26;
constexpr size_t kIsize = 28;
constexpr size_t kAtime = 32;
constexpr size_t kMtime = 36;
constexpr size_t kCtime = 40;
constexpr size_t kOffset = 44;
constexpr size_t kCsize = 48;
constexpr size_t kDsize = 52;
constexpr size_t kCompr = 56;
constexpr size_t kUserCompr = 57;
constexpr size_t kFlags = 58;
constexpr size_t kDataCrc = 60;
constexpr size_t kNodeCrc = 64;
constexpr size_t kSize = 68;
static_assert(kNodeCrc + 4 == kSize);
} // namespace inode

namespace xattr {
constexpr size_t kXid = 12;
constexpr size_t kVersion = 16;
constexpr size_t kPrefix = 20;
constexpr size_t kNameLen = 21;
constexpr size_t kValueLen = 22;
constexpr size_t kDataCrc = 24;
constexpr size_t kNodeCrc = 28;
constexpr size_t kSize = 32;
static_assert(kNodeCrc + 4 == kSize);
} // namespace xattr

namespace xref {
constexpr size_t kIno = 12;
constexpr size_t kXid = 16;
constexpr size_t kSeqno = 20;
constexpr size_t kNodeCrc = 24;
constexpr size_t kSize = 28;
static_assert(kNodeCrc + 4 == kSize);
// An odd sequence number marks a reference that was removed.
constexpr uint32_t kDeleteMarker = 1;
} // namespace xref

namespace summary {
constexpr size_t kSumNum = 12;
constexpr size_t kCleanmarker = 16;
constexpr size_t kPadded = 20;
constexpr size_t kSumCrc = 24;
constexpr size_t kNodeCrc = 28;
constexpr size_t kSize = 32;
static_assert(kNodeCrc + 4 == kSize);
// The marker in the last 8 bytes of a summarised erase block.
constexpr size_t kMarkerOffset = 0;
constexpr size_t kMarkerMagic = 4;
constexpr size_t kMarkerSize = 8;
static_assert(kMarkerMagic + 4 == kMarkerSize);
} // namespace summary

// Extended attribute name prefixes.
enum XPrefix : uint8_t {
    kXPrefixUser = 1,
    kXPrefixSecurity = 2,
    kXPrefixAclAccess = 3,  // the whole name is system.posix_acl_access
    kXPrefixAclDefault = 4, // system.posix_acl_default
    kXPrefixTrusted = 5,
};

// The byte order of an image's fields.
enum class ByteOrder : uint8_t { kLittle, kBig };

// Loads and stores of one image's fields.
class Endian {
public:
    explicit Endian(ByteOrder order = ByteOrder::kLittle) : big_(order == ByteOrder::kBig) {}

    ByteOrder order() const { return big_ ? ByteOrder::kBig : ByteOrder::kLittle; }
    uint16_t u16(const std::byte* p) const {
        return big_ ? static_cast<uint16_t>(std::to_integer<uint16_t>(p[0]) << 8 |
                                            std::to_integer<uint16_t>(p[1]))
                    : load16(p);
    }
    uint32_t u32(const std::byte* p) const { return big_ ? load32be(p) : load32(p); }
    void put16(std::byte* p, uint16_t v) const {
        if (!big_) {
            store16(p, v);
            return;
        }
        p[0] = static_cast<std::byte>(v >> 8);
        p[1] = static_cast<std::byte>(v & 0xFF);
    }
    void put32(std::byte* p, uint32_t v) const {
        if (big_)
            store32be(p, v);
        else
            store32(p, v);
    }

private:
    bool big_;
};

} // namespace korvane::jffs2
