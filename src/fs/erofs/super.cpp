#include "super.h"

#include "model/crc.h"
#include "model/error.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvane::erofs {

namespace {

struct FeatureName {
    bool incompat;
    uint32_t bit;
    const char* name;
};

const FeatureName kFeatureNames[] = {
    {false, kCompatSbChecksum, "sb_csum"},
    {false, kCompatMtime, "mtime"},
    {false, kCompatXattrFilter, "xattr_filter"},
    {false, 0x8, "shared_ea_in_metabox"},
    {false, kCompatPlainXattrPrefix, "plain_xattr_pfx"},
    {false, 0x20, "ishare_xattrs"},
    {true, kIncompatZeroPadding, "0padding"},
    {true, kIncompatComprCfgs, "compr_cfgs"},
    {true, kIncompatChunkedFile, "chunked_file"},
    {true, kIncompatDeviceTable, "device_table"},
    {true, kIncompatZtailpacking, "ztailpacking"},
    {true, kIncompatFragments, "fragments"},
    {true, kIncompatXattrPrefixes, "xattr_prefixes"},
    {true, kIncompat48Bit, "48bit"},
    {true, kIncompatMetabox, "metabox"},
};

} // namespace

uint16_t Superblock::algorithms() const {
    if (has(kIncompatComprCfgs))
        return u1;
    return 1u << kAlgLz4;
}

uint32_t superblockChecksum(ByteSpan block, uint32_t blockSize) {
    size_t len = blockSize > kSuperOffset ? blockSize - kSuperOffset : blockSize;
    len = std::min(len, block.size() - kSuperOffset);
    const ByteSpan part = block.subspan(kSuperOffset, len);
    static const std::byte zeros[4]{};
    uint32_t crc = crc32c(~0u, part.first(sb::kChecksum));
    crc = crc32c(crc, ByteSpan(zeros, 4));
    return crc32c(crc, part.subspan(sb::kChecksum + 4));
}

Superblock loadSuperblock(ByteSpan block) {
    if (block.size() < kSuperOffset + sb::kSize)
        throw Error(
            msg("not an EROFS image: %1 bytes are too few to hold a superblock", block.size()));
    const std::byte* p = block.data() + kSuperOffset;
    if (load32(p + sb::kMagic) != kMagic)
        throw Error(msg("not an EROFS image: no EROFS magic at byte 1024"));
    Superblock s;
    s.compat = load32(p + sb::kFeatureCompat);
    s.incompat = load32(p + sb::kFeatureIncompat);
    s.blockBits = std::to_integer<uint8_t>(p[sb::kBlockBits]);
    if (s.blockBits < kMinBlockBits || s.blockBits > kMaxBlockBits)
        throw Error(msg("the EROFS superblock gives a block size of 2^%1 bytes; Korvane reads "
                        "512 bytes to 64 KiB",
                        s.blockBits));
    s.blockSize = 1u << s.blockBits;
    if (const uint32_t unknown = s.incompat & ~kIncompatKnown) {
        std::string names;
        for (const FeatureName& f : kFeatureNames)
            if (f.incompat && (unknown & f.bit))
                names += (names.empty() ? "" : " ") + std::string(f.name);
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", unknown);
        throw Error(msg("the EROFS image uses features Korvane does not read: %1",
                        names.empty() ? std::string(hex) : names));
    }
    s.extSlots = std::to_integer<uint8_t>(p[sb::kExtSlots]);
    if (kSuperOffset + s.sbSize() > std::max<size_t>(block.size(), s.blockSize))
        throw Error(msg("the EROFS superblock claims %1 extension slots, more than its block holds",
                        s.extSlots));
    s.rootNid = load16(p + sb::kRootNid);
    s.inos = load64(p + sb::kInos);
    s.epoch = static_cast<int64_t>(load64(p + sb::kEpoch));
    s.fixedNsec = load32(p + sb::kFixedNsec);
    s.blocks = load32(p + sb::kBlocks);
    s.metaBlkaddr = load32(p + sb::kMetaBlkaddr);
    s.xattrBlkaddr = load32(p + sb::kXattrBlkaddr);
    for (size_t i = 0; i < 16; ++i)
        s.uuid[i] = std::to_integer<uint8_t>(p[sb::kUuid + i]);
    s.volumeName = zeroTerminated(p + sb::kVolumeName, sb::kVolumeNameSize);
    s.u1 = load16(p + sb::kU1);
    s.extraDevices = load16(p + sb::kExtraDevices);
    s.devtSlotOff = load16(p + sb::kDevtSlotOff);
    s.dirBlockBits = std::to_integer<uint8_t>(p[sb::kDirBlockBits]);
    s.xattrPrefixCount = std::to_integer<uint8_t>(p[sb::kXattrPrefixCount]);
    s.xattrPrefixStart = load32(p + sb::kXattrPrefixStart);
    s.packedNid = load64(p + sb::kPackedNid);
    s.buildTime = load32(p + sb::kBuildTime);
    s.checksum = load32(p + sb::kChecksum);
    if (s.dirBlockBits != 0)
        throw Error(msg("the EROFS image keeps directories in blocks of another size than its "
                        "data (dirblkbits %1), which Korvane does not read",
                        s.dirBlockBits));
    if (s.compat & kCompatSbChecksum)
        s.checksumOk = block.size() >= std::min<size_t>(s.blockSize, 4096) &&
                       superblockChecksum(block, s.blockSize) == s.checksum;
    return s;
}

void storeSuperblock(const Superblock& s, MutableByteSpan block) {
    std::byte* p = block.data() + kSuperOffset;
    std::memset(p, 0, s.sbSize());
    store32(p + sb::kMagic, kMagic);
    store32(p + sb::kFeatureCompat, s.compat);
    p[sb::kBlockBits] = std::byte{s.blockBits};
    p[sb::kExtSlots] = std::byte{s.extSlots};
    store16(p + sb::kRootNid, static_cast<uint16_t>(s.rootNid));
    store64(p + sb::kInos, s.inos);
    store64(p + sb::kEpoch, static_cast<uint64_t>(s.epoch));
    store32(p + sb::kFixedNsec, s.fixedNsec);
    store32(p + sb::kBlocks, static_cast<uint32_t>(s.blocks));
    store32(p + sb::kMetaBlkaddr, s.metaBlkaddr);
    store32(p + sb::kXattrBlkaddr, s.xattrBlkaddr);
    for (size_t i = 0; i < 16; ++i)
        p[sb::kUuid + i] = std::byte{s.uuid[i]};
    std::memcpy(p + sb::kVolumeName, s.volumeName.data(),
                std::min(s.volumeName.size(), sb::kVolumeNameSize));
    store32(p + sb::kFeatureIncompat, s.incompat);
    store16(p + sb::kU1, s.u1);
    store16(p + sb::kExtraDevices, s.extraDevices);
    store16(p + sb::kDevtSlotOff, s.devtSlotOff);
    p[sb::kXattrPrefixCount] = std::byte{s.xattrPrefixCount};
    store32(p + sb::kXattrPrefixStart, s.xattrPrefixStart);
    store64(p + sb::kPackedNid, s.packedNid);
    store32(p + sb::kBuildTime, s.buildTime);
    if (s.compat & kCompatSbChecksum)
        store32(p + sb::kChecksum, superblockChecksum(block, s.blockSize));
}

std::vector<std::string> featureNames(const Superblock& s) {
    std::vector<std::string> out;
    for (const FeatureName& f : kFeatureNames)
        if (((f.incompat ? s.incompat : s.compat) & f.bit) != 0)
            out.emplace_back(f.name);
    return out;
}

} // namespace korvane::erofs
