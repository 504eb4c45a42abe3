// The UBIFS on-flash layout. A UBIFS volume is a row of LEBs; everything in
// them is a node, 8-byte aligned, starting with a 24-byte common header
// (magic, CRC32 of the rest of the node, sequence number, length, type):
//
//   LEB 0            superblock node: geometry, key format, compression
//   LEB 1, 2         master nodes, newest last in each: the index root, the
//                    log's start, the commit number
//   LEB 3 ...        the log (log_lebs LEBs): a commit start node, then a
//                    reference node for every bud (a LEB of the journal)
//   then             the LEB properties tree (lpt_lebs) and the orphan area
//                    (orph_lebs)
//   main area        data, inode, directory entry nodes and the index: a
//                    B+-tree of index nodes whose branches carry keys and
//                    point at nodes (level 0: leaf nodes)
//
// A key is 8 bytes in the simple format: the inode number, then the key type
// in the top 3 bits and a block number or name hash in the low 29. Keys
// order by inode number, then type, then the low bits, so as one 64-bit
// number (inode << 32 | second word) they compare as the index orders them.
// All numbers are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::ubifs {

constexpr uint32_t kNodeMagic = 0x06101831;
constexpr uint32_t kBlockSize = 4096;
constexpr uint32_t kMinLebSize = 15 * 1024;
constexpr uint32_t kMaxLebSize = 16u << 20;
constexpr uint32_t kMaxNameLen = 255;
constexpr uint32_t kMaxInoData = kBlockSize;
constexpr uint32_t kRootIno = 1;
constexpr uint32_t kKeyLen = 8;        // simple key format
constexpr uint32_t kKeyFieldSize = 16; // room for a key in keyed nodes
constexpr uint32_t kMaxLevels = 512;
constexpr uint8_t kPaddingByte = 0xCE;

// The LEBs of the fixed areas.
constexpr uint32_t kSbLnum = 0;
constexpr uint32_t kMstLnum = 1;
constexpr uint32_t kMstLebs = 2;
constexpr uint32_t kLogLnum = 3;

enum NodeType : uint8_t {
    kInoNode = 0,
    kDataNode = 1,
    kDentNode = 2,
    kXentNode = 3,
    kTrunNode = 4,
    kPadNode = 5,
    kSbNode = 6,
    kMstNode = 7,
    kRefNode = 8,
    kIdxNode = 9,
    kCsNode = 10,
    kOrphNode = 11,
    kAuthNode = 12,
};

// Key types (the same numbers as the node types they index).
enum KeyType : uint8_t {
    kInoKey = 0,
    kDataKey = 1,
    kDentKey = 2,
    kXentKey = 3,
};
constexpr uint32_t kKeyLowBits = 29;
constexpr uint32_t kKeyLowMask = (1u << kKeyLowBits) - 1;

enum Compression : uint16_t {
    kComprNone = 0,
    kComprLzo = 1,
    kComprZlib = 2,
    kComprZstd = 3,
};

// Inode types of directory entries.
enum InodeType : uint8_t {
    kItypeReg = 0,
    kItypeDir = 1,
    kItypeLnk = 2,
    kItypeBlk = 3,
    kItypeChr = 4,
    kItypeFifo = 5,
    kItypeSock = 6,
    kItypeCount = 7,
};

// Superblock flags.
constexpr uint32_t kFlagBigLpt = 0x02;
constexpr uint32_t kFlagSpaceFixup = 0x04;
constexpr uint32_t kFlagDoubleHash = 0x08;
constexpr uint32_t kFlagEncryption = 0x10;
constexpr uint32_t kFlagAuthentication = 0x20;

// Inode flags.
constexpr uint32_t kInodeCompr = 0x01;
constexpr uint32_t kInodeXattr = 0x20; // the inode holds an attribute's value
constexpr uint32_t kInodeCrypt = 0x40;

// Master node flags.
constexpr uint32_t kMstDirty = 1;

// Common header.
namespace ch {
constexpr size_t kMagic = 0;
constexpr size_t kCrc = 4;
constexpr size_t kSqnum = 8;
constexpr size_t kLen = 16;
constexpr size_t kNodeType = 20;
constexpr size_t kGroupType = 21;
constexpr size_t kSize = 24;
static_assert(kGroupType + 1 + 2 == kSize); // two bytes of padding end it
} // namespace ch

// The CRC covers a node from this byte to its end.
constexpr size_t kCrcFrom = ch::kSqnum;

// Inode node.
namespace ino {
constexpr size_t kKey = 24;
constexpr size_t kCreatSqnum = 40;
constexpr size_t kSize = 48;
constexpr size_t kAtimeSec = 56;
constexpr size_t kCtimeSec = 64;
constexpr size_t kMtimeSec = 72;
constexpr size_t kAtimeNsec = 80;
constexpr size_t kCtimeNsec = 84;
constexpr size_t kMtimeNsec = 88;
constexpr size_t kNlink = 92;
constexpr size_t kUid = 96;
constexpr size_t kGid = 100;
constexpr size_t kMode = 104;
constexpr size_t kFlags = 108;
constexpr size_t kDataLen = 112;
constexpr size_t kXattrCnt = 116;
constexpr size_t kXattrSize = 120;
constexpr size_t kXattrNames = 128;
constexpr size_t kComprType = 132;
constexpr size_t kData = 160;
constexpr size_t kNodeSize = kData;
static_assert(kComprType + 2 + 26 == kNodeSize);
} // namespace ino

// Directory entry and extended attribute entry nodes.
namespace dent {
constexpr size_t kKey = 24;
constexpr size_t kInum = 40;
constexpr size_t kType = 49;
constexpr size_t kNlen = 50;
constexpr size_t kCookie = 52;
constexpr size_t kName = 56;
constexpr size_t kNodeSize = kName;
static_assert(kCookie + 4 == kNodeSize);
} // namespace dent

// Data node.
namespace data {
constexpr size_t kKey = 24;
constexpr size_t kSize = 40;
constexpr size_t kComprType = 44;
constexpr size_t kComprSize = 46;
constexpr size_t kData = 48;
constexpr size_t kNodeSize = kData;
static_assert(kComprSize + 2 == kNodeSize);
} // namespace data

// Truncation node (journal only).
namespace trun {
constexpr size_t kInum = 24;
constexpr size_t kOldSize = 40;
constexpr size_t kNewSize = 48;
constexpr size_t kNodeSize = 56;
static_assert(kNewSize + 8 == kNodeSize);
} // namespace trun

// Padding node.
namespace pad {
constexpr size_t kPadLen = 24;
constexpr size_t kNodeSize = 28;
static_assert(kPadLen + 4 == kNodeSize);
} // namespace pad

// Superblock node.
namespace sb {
constexpr size_t kKeyHash = 26;
constexpr size_t kKeyFmt = 27;
constexpr size_t kFlags = 28;
constexpr size_t kMinIoSize = 32;
constexpr size_t kLebSize = 36;
constexpr size_t kLebCnt = 40;
constexpr size_t kMaxLebCnt = 44;
constexpr size_t kMaxBudBytes = 48;
constexpr size_t kLogLebs = 56;
constexpr size_t kLptLebs = 60;
constexpr size_t kOrphLebs = 64;
constexpr size_t kJheadCnt = 68;
constexpr size_t kFanout = 72;
constexpr size_t kLsaveCnt = 76;
constexpr size_t kFmtVersion = 80;
constexpr size_t kDefaultCompr = 84;
constexpr size_t kRpUid = 88;
constexpr size_t kRpGid = 92;
constexpr size_t kRpSize = 96;
constexpr size_t kTimeGran = 104;
constexpr size_t kUuid = 108;
constexpr size_t kRoCompatVersion = 124;
constexpr size_t kHmac = 128;
constexpr size_t kHmacWkm = 192;
constexpr size_t kHashAlgo = 256;
constexpr size_t kNodeSize = 4096;
static_assert(kHashAlgo + 2 + 3838 == kNodeSize);
} // namespace sb

// Master node.
namespace mst {
constexpr size_t kHighestInum = 24;
constexpr size_t kCmtNo = 32;
constexpr size_t kFlags = 40;
constexpr size_t kLogLnum = 44;
constexpr size_t kRootLnum = 48;
constexpr size_t kRootOffs = 52;
constexpr size_t kRootLen = 56;
constexpr size_t kGcLnum = 60;
constexpr size_t kIheadLnum = 64;
constexpr size_t kIheadOffs = 68;
constexpr size_t kIndexSize = 72;
constexpr size_t kTotalFree = 80;
constexpr size_t kTotalDirty = 88;
constexpr size_t kTotalUsed = 96;
constexpr size_t kTotalDead = 104;
constexpr size_t kTotalDark = 112;
constexpr size_t kLptLnum = 120;
constexpr size_t kLptOffs = 124;
constexpr size_t kNheadLnum = 128;
constexpr size_t kNheadOffs = 132;
constexpr size_t kLtabLnum = 136;
constexpr size_t kLtabOffs = 140;
constexpr size_t kLsaveLnum = 144;
constexpr size_t kLsaveOffs = 148;
constexpr size_t kLscanLnum = 152;
constexpr size_t kEmptyLebs = 156;
constexpr size_t kIdxLebs = 160;
constexpr size_t kLebCnt = 164;
constexpr size_t kHashRootIdx = 168;
constexpr size_t kHashLpt = 232;
constexpr size_t kHmac = 296;
constexpr size_t kNodeSize = 512;
static_assert(kHmac + 64 + 152 == kNodeSize);
} // namespace mst

// Reference node (log).
namespace ref {
constexpr size_t kLnum = 24;
constexpr size_t kOffs = 28;
constexpr size_t kJhead = 32;
constexpr size_t kNodeSize = 64;
static_assert(kJhead + 4 + 28 == kNodeSize);
} // namespace ref

// Commit start node (log).
namespace cs {
constexpr size_t kCmtNo = 24;
constexpr size_t kNodeSize = 32;
static_assert(kCmtNo + 8 == kNodeSize);
} // namespace cs

// Index node and its branches (each: LEB, offset, length, key, and in an
// authenticated filesystem the hash of the node it points at).
namespace idx {
constexpr size_t kChildCnt = 24;
constexpr size_t kLevel = 26;
constexpr size_t kBranches = 28;
constexpr size_t kNodeSize = kBranches;
static_assert(kLevel + 2 == kNodeSize);
} // namespace idx
namespace branch {
constexpr size_t kLnum = 0;
constexpr size_t kOffs = 4;
constexpr size_t kLen = 8;
constexpr size_t kKey = 12;
constexpr size_t kSize = kKey + kKeyLen; // without a hash
static_assert(kLen + 4 == kKey);
} // namespace branch

// The longest nodes the reader takes: an inode with its largest data, and a
// data node with a whole block (compressed data never grows beyond it).
constexpr uint32_t kMaxInoNodeSize = ino::kNodeSize + kMaxInoData;
constexpr uint32_t kMaxDataNodeSize = data::kNodeSize + kBlockSize;
constexpr uint32_t kMaxDentNodeSize = dent::kNodeSize + kMaxNameLen + 1;

} // namespace korvane::ubifs
