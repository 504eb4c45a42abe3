#include "lp_metadata.h"

#include "model/digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace korvane::lp {

namespace {

constexpr size_t kChecksumBytes = 32;

// SHA-256 of bytes with the checksum field at `at` taken as zeros: the one
// routine that checks and sets the geometry's and the header's checksums.
Bytes checksumWithout(ByteSpan bytes, size_t at) {
    Bytes copy(bytes.begin(), bytes.end());
    std::memset(copy.data() + at, 0, kChecksumBytes);
    return digestOf(DigestKind::kSha256, copy);
}

bool sameBytes(const Bytes& digest, const std::byte* stored) {
    return digest.size() == kChecksumBytes &&
           std::memcmp(digest.data(), stored, kChecksumBytes) == 0;
}

void storeName(std::byte* p, const std::string& name) {
    std::memset(p, 0, part::kNameBytes);
    std::memcpy(p, name.data(), std::min(name.size(), part::kNameBytes));
}

struct Table {
    uint32_t offset = 0;
    uint32_t count = 0;
    uint32_t entrySize = 0;
};

Table loadTable(const std::byte* p) {
    return {load32(p + td::kOffset), load32(p + td::kNumEntries), load32(p + td::kEntrySize)};
}

void storeTable(std::byte* p, const Table& t) {
    store32(p + td::kOffset, t.offset);
    store32(p + td::kNumEntries, t.count);
    store32(p + td::kEntrySize, t.entrySize);
}

// Whether the table lies inside the tables and has the entry size expected.
bool tableFits(const Table& t, uint32_t tablesSize, size_t entrySize) {
    if (t.entrySize != entrySize || t.offset > tablesSize)
        return false;
    return uint64_t{t.count} * t.entrySize <= tablesSize - t.offset;
}

} // namespace

std::vector<Extent> Metadata::extentsOf(const Partition& p) const {
    if (p.firstExtent > extents.size() || p.numExtents > extents.size() - p.firstExtent)
        return {};
    return {extents.begin() + p.firstExtent, extents.begin() + p.firstExtent + p.numExtents};
}

uint64_t Metadata::sizeOf(const Partition& p) const {
    uint64_t sectors = 0;
    for (const Extent& x : extentsOf(p))
        sectors += x.sectors;
    return sectors * kSectorSize;
}

std::string nameField(const std::byte* p) {
    return zeroTerminated(p, part::kNameBytes);
}

std::optional<Geometry> parseGeometry(ByteSpan block, Message* why) {
    if (block.size() < geo::kSize) {
        *why = msg("the geometry is cut short");
        return std::nullopt;
    }
    const std::byte* p = block.data();
    if (load32(p + geo::kMagic) != kGeometryMagic) {
        *why = msg("no geometry magic");
        return std::nullopt;
    }
    if (load32(p + geo::kStructSize) != geo::kSize) {
        *why = msg("the geometry claims %1 bytes instead of %2", load32(p + geo::kStructSize),
                   geo::kSize);
        return std::nullopt;
    }
    if (!sameBytes(checksumWithout(block.first(geo::kSize), geo::kChecksum), p + geo::kChecksum)) {
        *why = msg("the geometry's SHA-256 checksum does not match");
        return std::nullopt;
    }
    Geometry g;
    g.metadataMaxSize = load32(p + geo::kMetadataMaxSize);
    g.slotCount = load32(p + geo::kMetadataSlotCount);
    g.logicalBlockSize = load32(p + geo::kLogicalBlockSize);
    if (g.slotCount == 0 || g.slotCount > kMaxSlots) {
        *why = msg("the geometry names %1 metadata slots (1 to %2 are allowed)", g.slotCount,
                   kMaxSlots);
        return std::nullopt;
    }
    if (g.metadataMaxSize < hdr::kSizeV12 || g.metadataMaxSize % kSectorSize != 0 ||
        g.metadataMaxSize > kMaxMetadataSize) {
        *why = msg("the geometry gives each metadata copy %1 bytes (a multiple of 512 up to %2 "
                   "is allowed)",
                   g.metadataMaxSize, kMaxMetadataSize);
        return std::nullopt;
    }
    if (g.logicalBlockSize == 0 || g.logicalBlockSize % kSectorSize != 0) {
        *why = msg("the geometry's logical block size %1 is not a multiple of 512",
                   g.logicalBlockSize);
        return std::nullopt;
    }
    return g;
}

Bytes serializeGeometry(const Geometry& g) {
    Bytes block(kGeometrySize);
    std::byte* p = block.data();
    store32(p + geo::kMagic, kGeometryMagic);
    store32(p + geo::kStructSize, geo::kSize);
    store32(p + geo::kMetadataMaxSize, g.metadataMaxSize);
    store32(p + geo::kMetadataSlotCount, g.slotCount);
    store32(p + geo::kLogicalBlockSize, g.logicalBlockSize);
    const Bytes sum = checksumWithout(ByteSpan(p, geo::kSize), geo::kChecksum);
    std::memcpy(p + geo::kChecksum, sum.data(), kChecksumBytes);
    return block;
}

std::optional<Metadata> readMetadata(const ImageSource& src, uint64_t offset, const Geometry& g,
                                     Message* why) {
    if (offset > src.size() || src.size() - offset < hdr::kSizeV10) {
        *why = msg("the copy lies past the end of the image");
        return std::nullopt;
    }
    Bytes header = readBytes(src, offset, hdr::kSizeV12);
    const std::byte* h = header.data();
    if (load32(h + hdr::kMagic) != kHeaderMagic) {
        *why = msg("no metadata header magic");
        return std::nullopt;
    }
    Metadata m;
    m.major = load16(h + hdr::kMajor);
    m.minor = load16(h + hdr::kMinor);
    if (m.major != kMajorVersion || m.minor > kMinorVersionMax) {
        *why = msg("metadata version %1.%2, which Korvane does not read (10.0 to 10.2)", m.major,
                   m.minor);
        return std::nullopt;
    }
    const uint32_t headerSize = load32(h + hdr::kHeaderSize);
    const size_t expected = m.minor >= kMinorExpandedHeader ? hdr::kSizeV12 : hdr::kSizeV10;
    if (headerSize != expected) {
        *why = msg("a metadata header of %1 bytes where version 10.%2 has %3", headerSize, m.minor,
                   expected);
        return std::nullopt;
    }
    header.resize(headerSize);
    h = header.data();
    if (!sameBytes(checksumWithout(header, hdr::kHeaderChecksum), h + hdr::kHeaderChecksum)) {
        *why = msg("the metadata header's SHA-256 checksum does not match");
        return std::nullopt;
    }
    const uint32_t tablesSize = load32(h + hdr::kTablesSize);
    if (tablesSize > g.metadataMaxSize - headerSize) {
        *why = msg("the tables claim %1 bytes, more than the copy's %2", tablesSize,
                   g.metadataMaxSize);
        return std::nullopt;
    }
    const Bytes tables = readBytes(src, offset + headerSize, tablesSize);
    if (src.size() - offset - headerSize < tablesSize) {
        *why = msg("the tables run past the end of the image");
        return std::nullopt;
    }
    if (!sameBytes(digestOf(DigestKind::kSha256, tables), h + hdr::kTablesChecksum)) {
        *why = msg("the metadata tables' SHA-256 checksum does not match");
        return std::nullopt;
    }
    const Table parts = loadTable(h + hdr::kPartitions);
    const Table exts = loadTable(h + hdr::kExtents);
    const Table groups = loadTable(h + hdr::kGroups);
    const Table devs = loadTable(h + hdr::kBlockDevices);
    if (!tableFits(parts, tablesSize, part::kSize) || !tableFits(exts, tablesSize, ext::kSize) ||
        !tableFits(groups, tablesSize, grp::kSize) || !tableFits(devs, tablesSize, dev::kSize)) {
        *why = msg("a table of the metadata lies outside the tables or has entries of the wrong "
                   "size");
        return std::nullopt;
    }
    if (devs.count == 0) {
        *why = msg("the metadata names no block device");
        return std::nullopt;
    }
    m.flags = m.minor >= kMinorExpandedHeader ? load32(h + hdr::kFlags) : 0;
    uint32_t allowed = part::kAttrMaskV0;
    if (m.minor >= kMinorUpdatedAttr)
        allowed |= part::kAttrMaskV1;
    const std::byte* t = tables.data();
    for (uint32_t i = 0; i < parts.count; ++i) {
        const std::byte* e = t + parts.offset + size_t{i} * part::kSize;
        Partition p;
        p.name = nameField(e + part::kName);
        p.attributes = load32(e + part::kAttributes);
        p.firstExtent = load32(e + part::kFirstExtent);
        p.numExtents = load32(e + part::kNumExtents);
        p.group = load32(e + part::kGroupIndex);
        if (p.attributes & ~allowed) {
            *why = msg("partition %1 has attributes %2, which version 10.%3 does not have", p.name,
                       attributeText(p.attributes), m.minor);
            return std::nullopt;
        }
        if (uint64_t{p.firstExtent} + p.numExtents > exts.count || p.group >= groups.count) {
            *why = msg("partition %1 points outside the extent or group table", p.name);
            return std::nullopt;
        }
        m.partitions.push_back(std::move(p));
    }
    for (uint32_t i = 0; i < exts.count; ++i) {
        const std::byte* e = t + exts.offset + size_t{i} * ext::kSize;
        Extent x;
        x.sectors = load64(e + ext::kNumSectors);
        x.type = load32(e + ext::kTargetType);
        x.targetData = load64(e + ext::kTargetData);
        x.targetSource = load32(e + ext::kTargetSource);
        if (x.type != ext::kLinear && x.type != ext::kZero) {
            *why = msg("an extent of unknown type %1", x.type);
            return std::nullopt;
        }
        if (x.type == ext::kLinear && x.targetSource >= devs.count) {
            *why = msg("an extent lies on block device %1, which the metadata does not name",
                       x.targetSource);
            return std::nullopt;
        }
        if (x.sectors > (UINT64_MAX / kSectorSize) ||
            (x.type == ext::kLinear && x.targetData > (UINT64_MAX / kSectorSize) - x.sectors)) {
            *why = msg("an extent of %1 sectors at sector %2 overflows", x.sectors, x.targetData);
            return std::nullopt;
        }
        m.extents.push_back(x);
    }
    for (uint32_t i = 0; i < groups.count; ++i) {
        const std::byte* e = t + groups.offset + size_t{i} * grp::kSize;
        m.groups.push_back(
            {nameField(e + grp::kName), load32(e + grp::kFlags), load64(e + grp::kMaximumSize)});
    }
    for (uint32_t i = 0; i < devs.count; ++i) {
        const std::byte* e = t + devs.offset + size_t{i} * dev::kSize;
        BlockDevice d;
        d.firstLogicalSector = load64(e + dev::kFirstLogicalSector);
        d.alignment = load32(e + dev::kAlignment);
        d.alignmentOffset = load32(e + dev::kAlignmentOffset);
        d.size = load64(e + dev::kDeviceSize);
        d.name = nameField(e + dev::kPartitionName);
        d.flags = load32(e + dev::kFlags);
        m.devices.push_back(std::move(d));
    }
    if (totalMetadataSize(g.metadataMaxSize, g.slotCount) >
        m.devices[0].firstLogicalSector * kSectorSize) {
        *why = msg("the first logical sector %1 lies inside the metadata",
                   m.devices[0].firstLogicalSector);
        return std::nullopt;
    }
    return m;
}

Bytes serializeMetadata(const Metadata& m) {
    const size_t headerSize = m.minor >= kMinorExpandedHeader ? hdr::kSizeV12 : hdr::kSizeV10;
    const Table parts{0, static_cast<uint32_t>(m.partitions.size()), part::kSize};
    const Table exts{static_cast<uint32_t>(parts.offset + parts.count * part::kSize),
                     static_cast<uint32_t>(m.extents.size()), ext::kSize};
    const Table groups{static_cast<uint32_t>(exts.offset + exts.count * ext::kSize),
                       static_cast<uint32_t>(m.groups.size()), grp::kSize};
    const Table devs{static_cast<uint32_t>(groups.offset + groups.count * grp::kSize),
                     static_cast<uint32_t>(m.devices.size()), dev::kSize};
    const size_t tablesSize = devs.offset + devs.count * dev::kSize;
    Bytes out(headerSize + tablesSize);
    std::byte* t = out.data() + headerSize;
    for (size_t i = 0; i < m.partitions.size(); ++i) {
        const Partition& p = m.partitions[i];
        std::byte* e = t + parts.offset + i * part::kSize;
        storeName(e + part::kName, p.name);
        store32(e + part::kAttributes, p.attributes);
        store32(e + part::kFirstExtent, p.firstExtent);
        store32(e + part::kNumExtents, p.numExtents);
        store32(e + part::kGroupIndex, p.group);
    }
    for (size_t i = 0; i < m.extents.size(); ++i) {
        const Extent& x = m.extents[i];
        std::byte* e = t + exts.offset + i * ext::kSize;
        store64(e + ext::kNumSectors, x.sectors);
        store32(e + ext::kTargetType, x.type);
        store64(e + ext::kTargetData, x.targetData);
        store32(e + ext::kTargetSource, x.targetSource);
    }
    for (size_t i = 0; i < m.groups.size(); ++i) {
        std::byte* e = t + groups.offset + i * grp::kSize;
        storeName(e + grp::kName, m.groups[i].name);
        store32(e + grp::kFlags, m.groups[i].flags);
        store64(e + grp::kMaximumSize, m.groups[i].maximumSize);
    }
    for (size_t i = 0; i < m.devices.size(); ++i) {
        const BlockDevice& d = m.devices[i];
        std::byte* e = t + devs.offset + i * dev::kSize;
        store64(e + dev::kFirstLogicalSector, d.firstLogicalSector);
        store32(e + dev::kAlignment, d.alignment);
        store32(e + dev::kAlignmentOffset, d.alignmentOffset);
        store64(e + dev::kDeviceSize, d.size);
        storeName(e + dev::kPartitionName, d.name);
        store32(e + dev::kFlags, d.flags);
    }
    std::byte* h = out.data();
    store32(h + hdr::kMagic, kHeaderMagic);
    store16(h + hdr::kMajor, m.major);
    store16(h + hdr::kMinor, m.minor);
    store32(h + hdr::kHeaderSize, static_cast<uint32_t>(headerSize));
    store32(h + hdr::kTablesSize, static_cast<uint32_t>(tablesSize));
    const Bytes tablesSum = digestOf(DigestKind::kSha256, ByteSpan(t, tablesSize));
    std::memcpy(h + hdr::kTablesChecksum, tablesSum.data(), kChecksumBytes);
    storeTable(h + hdr::kPartitions, parts);
    storeTable(h + hdr::kExtents, exts);
    storeTable(h + hdr::kGroups, groups);
    storeTable(h + hdr::kBlockDevices, devs);
    if (headerSize == hdr::kSizeV12)
        store32(h + hdr::kFlags, m.flags);
    const Bytes headerSum = checksumWithout(ByteSpan(h, headerSize), hdr::kHeaderChecksum);
    std::memcpy(h + hdr::kHeaderChecksum, headerSum.data(), kChecksumBytes);
    return out;
}

std::string attributeText(uint32_t attributes) {
    static const struct {
        uint32_t bit;
        const char* name;
    } kNames[] = {{part::kAttrReadonly, "readonly"},
                  {part::kAttrSlotSuffixed, "slot-suffixed"},
                  {part::kAttrUpdated, "updated"},
                  {part::kAttrDisabled, "disabled"}};
    std::string text;
    for (const auto& n : kNames)
        if (attributes & n.bit) {
            text += (text.empty() ? "" : ", ") + std::string(n.name);
            attributes &= ~n.bit;
        }
    if (attributes != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", attributes);
        text += (text.empty() ? "" : ", ") + std::string(hex);
    }
    return text.empty() ? "none" : text;
}

} // namespace korvane::lp
