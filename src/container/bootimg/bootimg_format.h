// Android boot images: boot.img (header versions 0 to 4), init_boot.img (a
// version 4 boot image without a kernel) and vendor_boot.img (versions 3 and
// 4), and the AVB footer a signed image ends with.
//
//   boot v0-v2 (page size from the header)   boot v3-v4 (pages of 4096)
//   +----------------------+                 +----------------------+
//   | header (1 page)      |                 | header (1 page)      |
//   | kernel               |                 | kernel               |
//   | ramdisk              |                 | ramdisk              |
//   | second stage         |                 | boot signature (v4)  |
//   | recovery DTBO (v1+)  |                 +----------------------+
//   | DTB (v2)             |
//   +----------------------+
//   vendor_boot v3-v4 (page size from the header)
//   +----------------------+
//   | header (its pages)   |
//   | vendor ramdisk(s)    |  v4: several, listed in the ramdisk table
//   | DTB                  |
//   | ramdisk table (v4)   |
//   | bootconfig (v4)      |
//   +----------------------+
//
// Every section starts on a page boundary; the header's sizes count bytes.
// All numbers little-endian, except the AVB footer's and vbmeta's, which
// are big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korvane::bootimg {

constexpr char kBootMagic[] = "ANDROID!";
constexpr char kVendorMagic[] = "VNDRBOOT";
constexpr size_t kMagicSize = 8;
constexpr uint32_t kPageV3 = 4096;

// boot.img versions 0 to 2.
namespace v0 {
constexpr size_t kKernelSize = 8;
constexpr size_t kKernelAddr = 12;
constexpr size_t kRamdiskSize = 16;
constexpr size_t kRamdiskAddr = 20;
constexpr size_t kSecondSize = 24;
constexpr size_t kSecondAddr = 28;
constexpr size_t kTagsAddr = 32;
constexpr size_t kPageSize = 36;
constexpr size_t kHeaderVersion = 40;
constexpr size_t kOsVersion = 44;
constexpr size_t kName = 48;          // 16 bytes
constexpr size_t kCmdline = 64;       // 512 bytes
constexpr size_t kId = 576;           // 32 bytes: SHA-1 of the sections and their sizes
constexpr size_t kExtraCmdline = 608; // 1024 bytes
constexpr size_t kSizeV0 = 1632;
constexpr size_t kRecoveryDtboSize = 1632;   // v1
constexpr size_t kRecoveryDtboOffset = 1636; // u64, v1
constexpr size_t kHeaderSize = 1644;         // v1
constexpr size_t kSizeV1 = 1648;
constexpr size_t kDtbSize = 1648; // v2
constexpr size_t kDtbAddr = 1652; // u64, v2
constexpr size_t kSizeV2 = 1660;
constexpr size_t kNameBytes = 16;
constexpr size_t kCmdlineBytes = 512;
constexpr size_t kExtraCmdlineBytes = 1024;
static_assert(kExtraCmdline + kExtraCmdlineBytes == kSizeV0);
static_assert(kHeaderSize + 4 == kSizeV1);
static_assert(kDtbAddr + 8 == kSizeV2);
} // namespace v0

// boot.img versions 3 and 4.
namespace v3 {
constexpr size_t kKernelSize = 8;
constexpr size_t kRamdiskSize = 12;
constexpr size_t kOsVersion = 16;
constexpr size_t kHeaderSize = 20;
constexpr size_t kReserved = 24; // 16 bytes
constexpr size_t kHeaderVersion = 40;
constexpr size_t kCmdline = 44; // 1536 bytes
constexpr size_t kSizeV3 = 1580;
constexpr size_t kSignatureSize = 1580; // v4
constexpr size_t kSizeV4 = 1584;
constexpr size_t kCmdlineBytes = 1536;
static_assert(kCmdline + kCmdlineBytes == kSizeV3);
static_assert(kSignatureSize + 4 == kSizeV4);
} // namespace v3

// vendor_boot.img versions 3 and 4.
namespace vnd {
constexpr size_t kHeaderVersion = 8;
constexpr size_t kPageSize = 12;
constexpr size_t kKernelAddr = 16;
constexpr size_t kRamdiskAddr = 20;
constexpr size_t kVendorRamdiskSize = 24;
constexpr size_t kCmdline = 28; // 2048 bytes
constexpr size_t kTagsAddr = 2076;
constexpr size_t kName = 2080; // 16 bytes
constexpr size_t kHeaderSize = 2096;
constexpr size_t kDtbSize = 2100;
constexpr size_t kDtbAddr = 2104; // u64
constexpr size_t kSizeV3 = 2112;
constexpr size_t kTableSize = 2112; // v4
constexpr size_t kTableEntryNum = 2116;
constexpr size_t kTableEntrySize = 2120;
constexpr size_t kBootconfigSize = 2124;
constexpr size_t kSizeV4 = 2128;
constexpr size_t kCmdlineBytes = 2048;
constexpr size_t kNameBytes = 16;
static_assert(kCmdline + kCmdlineBytes == kTagsAddr);
static_assert(kDtbAddr + 8 == kSizeV3);
static_assert(kBootconfigSize + 4 == kSizeV4);
} // namespace vnd

// An entry of vendor_boot v4's ramdisk table.
namespace vrt {
constexpr size_t kSize = 0;     // u32: bytes of this ramdisk
constexpr size_t kOffset = 4;   // u32: where it starts in the vendor ramdisk section
constexpr size_t kType = 8;     // u32: 0 none, 1 platform, 2 recovery, 3 DLKM
constexpr size_t kName = 12;    // 32 bytes
constexpr size_t kBoardId = 44; // 16 u32
constexpr size_t kEntrySize = 108;
constexpr size_t kNameBytes = 32;
static_assert(kBoardId + 64 == kEntrySize);
} // namespace vrt

// The AVB footer: the last 64 bytes of a signed partition image.
namespace avbf {
constexpr char kMagic[] = "AVBf";
constexpr size_t kVersionMajor = 4;  // u32 BE
constexpr size_t kVersionMinor = 8;  // u32 BE
constexpr size_t kOriginalSize = 12; // u64 BE: the image before signing
constexpr size_t kVbmetaOffset = 20; // u64 BE
constexpr size_t kVbmetaSize = 28;   // u64 BE
constexpr size_t kReserved = 36;     // 28 bytes
constexpr size_t kSize = 64;
static_assert(kReserved + 28 == kSize);
} // namespace avbf

// The vbmeta image the footer points at: a header, an authentication block
// (hash and signature), an auxiliary block (public key, descriptors).
namespace avbh {
constexpr char kMagic[] = "AVB0";
constexpr size_t kRequiredMajor = 4;      // u32 BE
constexpr size_t kRequiredMinor = 8;      // u32 BE
constexpr size_t kAuthSize = 12;          // u64 BE
constexpr size_t kAuxSize = 20;           // u64 BE
constexpr size_t kAlgorithm = 28;         // u32 BE
constexpr size_t kDescriptorsOffset = 96; // u64 BE, in the auxiliary block
constexpr size_t kDescriptorsSize = 104;  // u64 BE
constexpr size_t kRollbackIndex = 112;    // u64 BE
constexpr size_t kFlags = 120;            // u32 BE
constexpr size_t kRollbackLocation = 124; // u32 BE
constexpr size_t kReleaseString = 128;    // 48 bytes
constexpr size_t kSize = 256;
static_assert(kReleaseString + 48 + 80 == kSize);
constexpr uint64_t kTagHash = 2;
// A hash descriptor after its 16-byte tag and length.
constexpr size_t kHashImageSize = 16;    // u64 BE
constexpr size_t kHashAlgorithm = 24;    // 32 bytes, "sha256"
constexpr size_t kHashNameLength = 56;   // u32 BE
constexpr size_t kHashSaltLength = 60;   // u32 BE
constexpr size_t kHashDigestLength = 64; // u32 BE
constexpr size_t kHashFixedSize = 132;   // then name, salt, digest
} // namespace avbh

} // namespace korvane::bootimg
