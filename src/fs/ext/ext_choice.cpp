#include "ext_choice.h"

#include "model/error.h"
#include "text23obj.h"

#include <bit>
#include <random>

namespace korvane {

using namespace ext2;

namespace {

constexpr size_t kLabelSize = sb::kVolumeNameSize;

// The UUID of the EXT2/EXT3 images Korvane has always written.
std::array<uint8_t, 16> classicUuid() {
    std::array<uint8_t, 16> u{};
    for (size_t i = 0; i < u.size(); ++i)
        u[i] = static_cast<uint8_t>(13 * (i + 1));
    return u;
}

constexpr uint32_t kExt4Compat = kCompatHasJournal | kCompatExtAttr | kCompatDirIndex;
constexpr uint32_t kExt4Incompat = kIncompatFiletype | kIncompatExtents | kIncompatFlexBg;
constexpr uint32_t kExt4RoCompat = kRoCompatSparseSuper | kRoCompatLargeFile | kRoCompatHugeFile |
                                   kRoCompatDirNlink | kRoCompatExtraIsize | kRoCompatMetadataCsum;

// The features Korvane writes in an image of kind.
void writable(ExtKind kind, uint32_t& compat, uint32_t& incompat, uint32_t& roCompat) {
    compat = kCompatExtAttr | kCompatDirIndex;
    incompat = kIncompatFiletype;
    roCompat = kRoCompatSparseSuper | kRoCompatLargeFile;
    if (kind != ExtKind::kExt2)
        compat |= kCompatHasJournal;
    if (kind == ExtKind::kExt4) {
        incompat |= kIncompatExtents | kIncompatFlexBg;
        roCompat |= kRoCompatHugeFile | kRoCompatDirNlink | kRoCompatExtraIsize |
                    kRoCompatMetadataCsum | kRoCompatGdtCsum;
    }
}

} // namespace

std::array<uint8_t, 16> randomUuid() {
    std::random_device rd;
    std::array<uint8_t, 16> u{};
    for (size_t i = 0; i < u.size(); i += 4) {
        const uint32_t v = rd();
        for (size_t k = 0; k < 4; ++k)
            u[i + k] = static_cast<uint8_t>(v >> (8 * k));
    }
    u[6] = static_cast<uint8_t>((u[6] & 0x0F) | 0x40); // version 4
    u[8] = static_cast<uint8_t>((u[8] & 0x3F) | 0x80); // RFC 4122 variant
    return u;
}

std::optional<ExtSource> extSourceOf(const Timg& img) {
    const auto* ext = dynamic_cast<const Text23obj*>(&img);
    if (!ext)
        return std::nullopt;
    const Superblock& s = ext->superblock();
    ExtSource src;
    const std::string name = img.formatName();
    src.kind = name == "EXT4" ? ExtKind::kExt4 : name == "EXT3" ? ExtKind::kExt3 : ExtKind::kExt2;
    src.blockSize = s.blockSize;
    src.inodeSize = s.inodeSize;
    src.inodesCount = s.inodesCount;
    src.blocksCount = s.blocksCount;
    src.imageBytes = ext->source().size();
    src.label = s.volumeName;
    src.uuid = s.uuid;
    src.hashSeed = s.hashSeed;
    src.hashVersion = s.defHashVersion;
    src.hashFlags = s.flags & (kFlagsSignedHash | kFlagsUnsignedHash);
    src.compat = s.compat;
    src.incompat = s.incompat;
    src.roCompat = s.roCompat;
    return src;
}

std::optional<std::array<uint8_t, 16>> parseUuid(const std::string& text) {
    std::array<uint8_t, 16> u{};
    size_t digits = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-' && (i == 8 || i == 13 || i == 18 || i == 23) && text.size() == 36)
            continue;
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : -1;
        if (v < 0 || digits >= 32)
            return std::nullopt;
        u[digits / 2] = static_cast<uint8_t>(u[digits / 2] << 4 | v);
        ++digits;
    }
    if (digits != 32)
        return std::nullopt;
    return u;
}

std::string uuidText(const std::array<uint8_t, 16>& u) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < u.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[u[i] >> 4];
        out += hex[u[i] & 0xF];
    }
    return out;
}

namespace {

// The geometry, names and features of the EXT image being saved, as far as
// an image of kind can keep them.
void keepSource(ExtFormat& f, const ExtSource& src, ExtKind kind, const ExtSaveParams& p) {
    f.blockSize = src.blockSize;
    f.inodeSize = src.inodeSize;
    f.inodes = src.inodesCount;
    f.inodeRatio = false;
    f.size = src.blocksCount * src.blockSize;
    // A damaged superblock may claim more than the file holds (terabytes
    // in a few MiB): then the size and inodes follow the tree.
    if (f.size > src.imageBytes) {
        f.sizeNote = msg("the source image claims %1 bytes but holds %2; the new image is "
                         "sized to the tree instead",
                         f.size, src.imageBytes);
        f.size = 0;
        f.inodes = 0;
        f.inodeRatio = true;
    }
    f.label = p.label.value_or(src.label);
    f.uuid = src.uuid;
    if (src.hashVersion != 0 || src.hashSeed != std::array<uint8_t, 16>{}) {
        f.hashSeed = src.hashSeed;
        f.hashVersion = src.hashVersion;
    }
    if (src.hashFlags)
        f.hashFlags = src.hashFlags;
    uint32_t wc, wi, wr;
    writable(kind, wc, wi, wr);
    f.compat = (src.compat & wc) | (f.compat & kCompatHasJournal);
    f.incompat = (src.incompat & wi) | (f.incompat & kIncompatExtents);
    f.roCompat = src.roCompat & wr;
    if (kind == ExtKind::kExt4 && src.kind != ExtKind::kExt4) {
        f.compat |= kExt4Compat;
        f.incompat |= kExt4Incompat;
        f.roCompat |= kExt4RoCompat;
    }
    if (kind == ExtKind::kExt4 && src.kind == ExtKind::kExt4 && !(src.compat & kCompatHasJournal))
        f.compat &= ~uint32_t{kCompatHasJournal};
    f.style = f.roCompat & kRoCompatSparseSuper || kind == ExtKind::kExt4
                  ? LayoutStyle::kStandard
                  : LayoutStyle::kEveryGroup;
}

} // namespace

ExtFormat extFormatFor(ExtKind kind, const ExtSaveParams& p, const Timg& img) {
    const std::optional<ExtSource> src = p.likeSource ? extSourceOf(img) : std::nullopt;
    ExtFormat f;
    f.kind = kind;
    if (p.label && p.label->size() > kLabelSize)
        throw Error(msg("a label holds at most %1 bytes; \"%2\" has %3", kLabelSize, *p.label,
                        p.label->size()));
    f.label = p.label.value_or("");
    const bool geometry = (p.blockSize && p.blockSize != kMinBlockSize) ||
                          (p.inodeSize && p.inodeSize != kGoodOldInodeSize) || p.inodes || p.size;
    if (kind != ExtKind::kExt4 && !src && !geometry) {
        f.classic = true;
        f.style = LayoutStyle::kEveryGroup;
        f.compat = kind == ExtKind::kExt3 ? uint32_t{kCompatHasJournal} : 0;
        f.uuid = p.uuid.value_or(classicUuid());
        return f;
    }
    f.classic = false;
    if (kind == ExtKind::kExt4) {
        f.style = LayoutStyle::kStandard;
        f.blockSize = 4096;
        f.inodeSize = 256;
        f.compat = kExt4Compat;
        f.incompat = kExt4Incompat;
        f.roCompat = kExt4RoCompat;
        f.uuid = randomUuid();
    } else {
        f.style = LayoutStyle::kEveryGroup;
        f.compat = kind == ExtKind::kExt3 ? uint32_t{kCompatHasJournal} : 0;
        f.uuid = classicUuid();
    }
    f.inodeRatio = true;
    f.hashSeed = randomUuid();
    f.hashVersion = kHashHalfMd4;
    f.hashFlags = kFlagsSignedHash;
    if (src)
        keepSource(f, *src, kind, p);
    if (p.blockSize)
        f.blockSize = p.blockSize;
    if (p.inodeSize)
        f.inodeSize = p.inodeSize;
    if (p.inodes)
        f.inodes = p.inodes;
    if (p.size || p.sizeFromTree)
        f.size = p.size;
    if (p.uuid)
        f.uuid = *p.uuid;
    // Sizes from a source are checked as those given: Korvane writes no
    // others.
    if (f.blockSize != 1024 && f.blockSize != 2048 && f.blockSize != 4096)
        throw Error(msg("the block size must be 1024, 2048 or 4096 bytes, not %1", f.blockSize));
    if (f.inodeSize < 128 || f.inodeSize > 1024 || !std::has_single_bit(f.inodeSize))
        throw Error(msg("the inode size must be 128, 256, 512 or 1024 bytes, not %1", f.inodeSize));
    if (f.inodeSize > f.blockSize)
        throw Error(
            msg("the inode size (%1) cannot exceed the block size (%2)", f.inodeSize, f.blockSize));
    if (f.inodeSize == kGoodOldInodeSize)
        f.roCompat &= ~uint32_t{kRoCompatExtraIsize};
    if (f.roCompat & kRoCompatMetadataCsum)
        f.roCompat &= ~uint32_t{kRoCompatGdtCsum};
    if (f.style == LayoutStyle::kEveryGroup)
        f.roCompat &= ~uint32_t{kRoCompatSparseSuper};
    if (!(f.compat & kCompatDirIndex))
        f.hashVersion = 0;
    return f;
}

} // namespace korvane
